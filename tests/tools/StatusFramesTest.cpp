#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <jpeglib.h>
#include <string>

namespace {

struct Decoded {
    bool ok = false;
    int width = 0;
    int height = 0;
    bool progressive = true;
    double meanRed = 0, meanGreen = 0, meanBlue = 0;
};

Decoded Decode(const std::string& bytes) {
    Decoded result;
    jpeg_decompress_struct info;
    jpeg_error_mgr errors;
    info.err = jpeg_std_error(&errors);
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(bytes.data()),
                 static_cast<unsigned long>(bytes.size()));
    if (jpeg_read_header(&info, TRUE) == JPEG_HEADER_OK) {
        result.progressive = jpeg_has_multiple_scans(&info);
        jpeg_start_decompress(&info);
        result.width = static_cast<int>(info.output_width);
        result.height = static_cast<int>(info.output_height);
        std::vector<unsigned char> row(info.output_width * info.output_components);
        double sums[3] = {0, 0, 0};
        while (info.output_scanline < info.output_height) {
            JSAMPROW pointer = row.data();
            jpeg_read_scanlines(&info, &pointer, 1);
            for (size_t i = 0; i + 2 < row.size(); i += 3) {
                sums[0] += row[i];
                sums[1] += row[i + 1];
                sums[2] += row[i + 2];
            }
        }
        const double pixels = double(result.width) * result.height;
        result.meanRed = sums[0] / pixels;
        result.meanGreen = sums[1] / pixels;
        result.meanBlue = sums[2] / pixels;
        jpeg_finish_decompress(&info);
        result.ok = true;
    }
    jpeg_destroy_decompress(&info);
    return result;
}

std::string Frame(const std::string& folder, const char* name) {
    std::string bytes;
    EXPECT_TRUE(cvl::test::ReadFile(folder + "/" + name, bytes)) << name;
    return bytes;
}

TEST(StatusFrames, AreBaselineJpegsOfTheLiveViewSize) {
    const std::string folder = cvl::test::BinaryDir() + "/resources";
    for (const char* name : {"error.jpg", "errorBusy.jpg", "errorNoDevice.jpg"}) {
        const Decoded decoded = Decode(Frame(folder, name));
        ASSERT_TRUE(decoded.ok) << name;
        EXPECT_EQ(decoded.width, 960) << name;
        EXPECT_EQ(decoded.height, 640) << name;
        EXPECT_FALSE(decoded.progressive) << name;
    }
}

// Receivers tell status frames apart by their bytes, so the three must differ,
// and at a glance too: waiting is blue, busy is amber, no camera is red.
TEST(StatusFrames, TellTheirSituationsApart) {
    const std::string folder = cvl::test::BinaryDir() + "/resources";
    const Decoded waiting = Decode(Frame(folder, "error.jpg"));
    const Decoded busy = Decode(Frame(folder, "errorBusy.jpg"));
    const Decoded none = Decode(Frame(folder, "errorNoDevice.jpg"));
    EXPECT_GT(waiting.meanBlue, waiting.meanRed);
    EXPECT_GT(busy.meanRed, busy.meanBlue);
    EXPECT_GT(busy.meanGreen, busy.meanBlue);
    EXPECT_GT(none.meanRed, none.meanGreen);
    EXPECT_NE(Frame(folder, "error.jpg"), Frame(folder, "errorBusy.jpg"));
    EXPECT_NE(Frame(folder, "errorBusy.jpg"), Frame(folder, "errorNoDevice.jpg"));
}

TEST(StatusFrames, GeneratorIsDeterministic) {
    const std::string folder = cvl::test::MakeFolder("frames");
    ASSERT_EQ(cvl::test::RunCommand(cvl::test::Program("make-status-frames") + " " + folder), 0);
    const std::string built = cvl::test::BinaryDir() + "/resources";
    for (const char* name : {"error.jpg", "errorBusy.jpg", "errorNoDevice.jpg"})
        EXPECT_EQ(Frame(folder, name), Frame(built, name)) << name;
}

TEST(StatusFrames, GeneratorRejectsBadArguments) {
    EXPECT_EQ(cvl::test::RunCommand(cvl::test::Program("make-status-frames") + " 2>/dev/null"), 2);
    EXPECT_EQ(cvl::test::RunCommand(cvl::test::Program("make-status-frames") +
                                    " /nonexistent/folder 2>/dev/null"),
              1);
}

} // namespace
