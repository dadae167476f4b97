#include "cvlhost/JpegHeader.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace cvl::host;

std::vector<uint8_t> StatusFrame() {
    std::string contents;
    EXPECT_TRUE(cvl::test::ReadFile(cvl::test::BinaryDir() + "/resources/error.jpg", contents));
    return std::vector<uint8_t>(contents.begin(), contents.end());
}

// SOI, one comment, then a frame header of the given marker and size.
std::vector<uint8_t> Header(uint8_t marker, int width, int height) {
    return {0xFF,
            0xD8,
            0xFF,
            0xFE,
            0x00,
            0x05,
            'a',
            'b',
            'c',
            0xFF,
            marker,
            0x00,
            0x0B,
            0x08,
            static_cast<uint8_t>(height >> 8),
            static_cast<uint8_t>(height),
            static_cast<uint8_t>(width >> 8),
            static_cast<uint8_t>(width),
            0x01,
            0x01,
            0x11,
            0x00};
}

TEST(JpegSize, ReadsTheFrameHeaderOfBaselineAndProgressiveJpegs) {
    const std::vector<uint8_t> status = StatusFrame();
    int width = 0;
    int height = 0;
    ASSERT_TRUE(ReadJpegSize(status.data(), status.size(), width, height));
    EXPECT_EQ(width, 960);
    EXPECT_EQ(height, 640);

    const std::vector<uint8_t> progressive = Header(0xC2, 3840, 2160);
    ASSERT_TRUE(ReadJpegSize(progressive.data(), progressive.size(), width, height));
    EXPECT_EQ(width, 3840);
    EXPECT_EQ(height, 2160);
}

TEST(JpegSize, RefusesWhatIsNotAWholeHeaderWithoutReadingPastTheBytes) {
    int width = 7;
    int height = 7;
    // Every truncation of a real frame's header (ASan watches the reads: each
    // prefix is a buffer of its own size).
    const std::vector<uint8_t> status = StatusFrame();
    for (size_t length = 0; length < 700 && length < status.size(); ++length) {
        const std::vector<uint8_t> prefix(status.begin(), status.begin() + length);
        int w = 0;
        int h = 0;
        if (ReadJpegSize(prefix.data(), prefix.size(), w, h)) {
            EXPECT_EQ(w, 960) << length;
            EXPECT_EQ(h, 640) << length;
        }
    }
    const std::vector<uint8_t> notJpeg = {'G', 'I', 'F', '8', '9', 'a', 0, 0};
    EXPECT_FALSE(ReadJpegSize(notJpeg.data(), notJpeg.size(), width, height));
    EXPECT_FALSE(ReadJpegSize(nullptr, 10, width, height));
    // A zero size, a frame header too short for its fields, a scan before
    // any frame header, a segment length running past the end.
    const std::vector<uint8_t> zero = Header(0xC0, 0, 480);
    EXPECT_FALSE(ReadJpegSize(zero.data(), zero.size(), width, height));
    const std::vector<uint8_t> shortHeader = {0xFF, 0xD8, 0xFF, 0xC0, 0x00, 0x04, 0x08, 0x01};
    EXPECT_FALSE(ReadJpegSize(shortHeader.data(), shortHeader.size(), width, height));
    const std::vector<uint8_t> scanFirst = {0xFF, 0xD8, 0xFF, 0xDA, 0x00, 0x02, 0xFF, 0xD9};
    EXPECT_FALSE(ReadJpegSize(scanFirst.data(), scanFirst.size(), width, height));
    const std::vector<uint8_t> overlong = {0xFF, 0xD8, 0xFF, 0xFE, 0x7F, 0xFF, 'x', 'y'};
    EXPECT_FALSE(ReadJpegSize(overlong.data(), overlong.size(), width, height));
    // The Huffman table marker (C4) is not a frame header.
    std::vector<uint8_t> huffman = Header(0xC4, 640, 480);
    EXPECT_FALSE(ReadJpegSize(huffman.data(), huffman.size(), width, height));
    EXPECT_EQ(width, 7);
    EXPECT_EQ(height, 7);
}

// SOI, then a colour baseline frame header whose three components have the
// given sampling factors (horizontal << 4 | vertical).
std::vector<uint8_t> ColourHeader(uint8_t luma, uint8_t cb, uint8_t cr) {
    return {0xFF, 0xD8, 0xFF, 0xC0, 0x00, 0x11, 0x08, 0x01, 0xE0, 0x02, 0x80,
            0x03, 0x01, luma, 0x00, 0x02, cb,   0x01, 0x03, cr,   0x01};
}

TEST(JpegInfo, ReadsComponentsAndSamplingOfTheFirstFrameHeader) {
    const struct {
        uint8_t luma, cb, cr;
        JpegSampling sampling;
    } cases[] = {
        {0x11, 0x11, 0x11, JpegSampling::S444},    {0x21, 0x11, 0x11, JpegSampling::S422},
        {0x22, 0x11, 0x11, JpegSampling::S420},    {0x12, 0x11, 0x11, JpegSampling::S440},
        {0x41, 0x11, 0x11, JpegSampling::S411},    {0x22, 0x11, 0x21, JpegSampling::Unknown},
        {0x32, 0x21, 0x21, JpegSampling::Unknown}, {0x22, 0x00, 0x00, JpegSampling::Unknown},
    };
    for (const auto& c : cases) {
        const std::vector<uint8_t> jpeg = ColourHeader(c.luma, c.cb, c.cr);
        JpegInfo info;
        ASSERT_TRUE(ReadJpegInfo(jpeg.data(), jpeg.size(), info)) << int(c.luma);
        EXPECT_EQ(info.width, 640);
        EXPECT_EQ(info.height, 480);
        EXPECT_EQ(info.components, 3);
        EXPECT_EQ(info.sampling, c.sampling) << int(c.luma) << " " << int(c.cb);
        // Every truncation is refused or read within its bytes.
        for (size_t length = 0; length < jpeg.size(); ++length) {
            const std::vector<uint8_t> prefix(jpeg.begin(), jpeg.begin() + length);
            EXPECT_FALSE(ReadJpegInfo(prefix.data(), prefix.size(), info)) << length;
        }
    }
    // A grey image, and a progressive one.
    JpegInfo info;
    const std::vector<uint8_t> grey = Header(0xC2, 320, 200);
    ASSERT_TRUE(ReadJpegInfo(grey.data(), grey.size(), info));
    EXPECT_EQ(info.sampling, JpegSampling::Grey);
    EXPECT_TRUE(info.progressive);
    EXPECT_STREQ(SamplingName(JpegSampling::S420), "4:2:0");
    // A header that claims three components but holds one is refused.
    std::vector<uint8_t> claims = Header(0xC0, 320, 200);
    claims[18] = 3;
    EXPECT_FALSE(ReadJpegInfo(claims.data(), claims.size(), info));
}

// A whole JPEG ends with its end-of-image marker, also where a camera pads
// the frame after it; one cut short in transfer does not.
TEST(JpegEnd, AWholeJpegHasItsEndOfImageMarkerAndACutOneHasNone) {
    std::vector<uint8_t> whole = StatusFrame();
    ASSERT_GT(whole.size(), kEndOfImageReach);
    EXPECT_TRUE(EndsWithEndOfImage(whole.data(), whole.size()));
    std::vector<uint8_t> padded = whole;
    padded.insert(padded.end(), 300, 0x00);
    EXPECT_TRUE(EndsWithEndOfImage(padded.data(), padded.size()));

    for (size_t cut : {whole.size() - 1, whole.size() / 2, size_t{600}})
        EXPECT_FALSE(EndsWithEndOfImage(whole.data(), cut)) << cut;
    // Padding beyond the reach is a frame without an end as far as the
    // check goes: it reads no further back.
    padded.insert(padded.end(), kEndOfImageReach, 0x00);
    EXPECT_FALSE(EndsWithEndOfImage(padded.data(), padded.size()));
    const uint8_t soiOnly[] = {0xFF, 0xD8, 0x00, 0x00};
    EXPECT_FALSE(EndsWithEndOfImage(soiOnly, sizeof soiOnly));
    EXPECT_FALSE(EndsWithEndOfImage(nullptr, 100));
}

} // namespace
