// cvl-camera's picture code with what could go wrong in it: hostile JPEGs
// (no crash, no huge allocation, a failure rather than a half picture), the
// fast 4:2:0 path agreeing with the full decode at sizes that are not whole
// blocks, and the status pictures made at a negotiated size.
#include "JpegCodec.h"
#include "PixelLayout.h"
#include "StatusPictures.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

using namespace cvl::camera;

// Colour bars over a gradient: chroma that changes at every block edge.
YcbcrImage TestPicture(int width, int height) {
    YcbcrImage image;
    image.width = width;
    image.height = height;
    image.pixels.resize(static_cast<size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            uint8_t* p = &image.pixels[(static_cast<size_t>(y) * width + x) * 3];
            const int bar = x * 7 / width;
            p[0] = static_cast<uint8_t>(16 + (x + y) * 200 / (width + height));
            p[1] = static_cast<uint8_t>(64 + bar * 24);
            p[2] = static_cast<uint8_t>(200 - bar * 20 - y * 40 / height);
        }
    }
    return image;
}

std::vector<uint8_t> Jpeg(int width, int height) {
    std::vector<uint8_t> bytes;
    EXPECT_TRUE(EncodeJpeg(TestPicture(width, height), 95, bytes));
    return bytes;
}

TEST(JpegCodec, HostileInputFailsCleanly) {
    YcbcrImage image;
    PlanarImage planar;
    const uint8_t nothing[1] = {0};
    EXPECT_EQ(DecodeJpeg(nothing, 0, 8192, image), DecodeResult::NotJpeg);
    EXPECT_EQ(DecodeJpegPlanar(nullptr, 0, 8192, planar), DecodeResult::NotJpeg);
    const std::string text = "\xFF\xD8 this is no JPEG at all";
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    EXPECT_EQ(DecodeJpeg(bytes, text.size(), 8192, image), DecodeResult::NotJpeg);
    EXPECT_EQ(DecodeJpegPlanar(bytes, text.size(), 8192, planar), DecodeResult::NotJpeg);

    // A whole JPEG whose frame header claims 16384x16384: refused before
    // any pixel memory is taken.
    std::vector<uint8_t> huge = Jpeg(64, 48);
    bool patched = false;
    for (size_t i = 0; i + 9 < huge.size() && !patched; ++i) {
        if (huge[i] == 0xFF && huge[i + 1] == 0xC0) {
            huge[i + 5] = 0x40; // height 0x4000
            huge[i + 6] = 0x00;
            huge[i + 7] = 0x40; // width 0x4000
            huge[i + 8] = 0x00;
            patched = true;
        }
    }
    ASSERT_TRUE(patched);
    EXPECT_EQ(DecodeJpeg(huge.data(), huge.size(), 8192, image), DecodeResult::TooLarge);
    EXPECT_EQ(DecodeJpegPlanar(huge.data(), huge.size(), 8192, planar), DecodeResult::TooLarge);
    EXPECT_TRUE(image.pixels.empty());

    // Cut half way: libjpeg would fill the rest with grey and only warn.
    const std::vector<uint8_t> whole = Jpeg(320, 240);
    EXPECT_EQ(DecodeJpeg(whole.data(), whole.size() / 2, 8192, image), DecodeResult::Damaged);
    EXPECT_EQ(DecodeJpegPlanar(whole.data(), whole.size() / 2, 8192, planar),
              DecodeResult::Damaged);
    EXPECT_EQ(DecodeJpeg(whole.data(), whole.size(), 8192, image), DecodeResult::Ok);
}

// Sizes that are and are not whole 16x16 blocks; every raw format.
TEST(JpegCodec, PlanarPathMatchesTheFullDecode) {
    for (const auto& [width, height] : {std::pair{320, 240}, std::pair{102, 58}}) {
        const std::vector<uint8_t> bytes = Jpeg(width, height);
        YcbcrImage full;
        PlanarImage planar;
        ASSERT_EQ(DecodeJpeg(bytes.data(), bytes.size(), 8192, full), DecodeResult::Ok);
        ASSERT_EQ(DecodeJpegPlanar(bytes.data(), bytes.size(), 8192, planar), DecodeResult::Ok);
        ASSERT_EQ(planar.width, width);
        ASSERT_EQ(planar.height, height);
        for (PixelFormat format : {PixelFormat::I420, PixelFormat::Nv12, PixelFormat::Yuy2}) {
            const size_t size = FrameBytes(format, width, height);
            std::vector<uint8_t> fromFull(size, 0);
            std::vector<uint8_t> fromPlanes(size, 0);
            WriteRaw(full, format, width, height, fromFull.data());
            WritePlanar(planar, format, fromPlanes.data());
            // Luma is the same samples; chroma differs by the averaging of
            // upsampled values only.
            long difference = 0;
            int worst = 0;
            for (size_t i = 0; i < size; ++i) {
                const int d = std::abs(fromFull[i] - fromPlanes[i]);
                difference += d;
                worst = std::max(worst, d);
            }
            EXPECT_LT(static_cast<double>(difference) / static_cast<double>(size), 2.0)
                << PixelFormatName(format) << " " << width << "x" << height;
            EXPECT_LT(worst, 40) << PixelFormatName(format) << " " << width << "x" << height;
            if (format == PixelFormat::I420) {
                for (size_t i = 0; i < static_cast<size_t>(width) * height; ++i)
                    ASSERT_EQ(fromFull[i], fromPlanes[i]) << "luma sample " << i;
            }
        }
    }
}

TEST(JpegCodec, OtherSamplingIsLeftToTheFullDecode) {
    // A 4:4:4 JPEG, as some cameras send.
    YcbcrImage image = TestPicture(64, 48);
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(EncodeJpeg(image, 90, bytes));
    PlanarImage planar;
    // EncodeJpeg writes 4:2:0; make the sampling 4:4:4 by the header's
    // sampling bytes (luma 0x22 -> 0x11).
    bool patched = false;
    for (size_t i = 0; i + 12 < bytes.size() && !patched; ++i) {
        if (bytes[i] == 0xFF && bytes[i + 1] == 0xC0) {
            bytes[i + 11] = 0x11;
            patched = true;
        }
    }
    ASSERT_TRUE(patched);
    EXPECT_EQ(DecodeJpegPlanar(bytes.data(), bytes.size(), 8192, planar),
              DecodeResult::Unsupported);
}

// A picture to be shown smaller is decoded at a fraction of its size that
// still covers the size shown, and memory taken for a large picture is given
// back once pictures are small again.
TEST(JpegCodec, LargePicturesCostLittleAndLeaveNoMemoryBehind) {
    const std::vector<uint8_t> large = Jpeg(1280, 960);
    YcbcrImage image;
    ASSERT_EQ(DecodeJpeg(large.data(), large.size(), 8192, image, 300, 200), DecodeResult::Ok);
    EXPECT_EQ(image.width, 320); // a quarter: an eighth would not cover 300
    EXPECT_EQ(image.height, 240);
    EXPECT_EQ(image.sourceWidth, 1280);
    EXPECT_EQ(image.sourceHeight, 960);

    ASSERT_EQ(DecodeJpeg(large.data(), large.size(), 8192, image), DecodeResult::Ok);
    EXPECT_EQ(image.width, 1280);
    const std::vector<uint8_t> small = Jpeg(64, 48);
    ASSERT_EQ(DecodeJpeg(small.data(), small.size(), 8192, image), DecodeResult::Ok);
    EXPECT_LT(image.pixels.capacity(), 2u * 64 * 48 * 3);
    PlanarImage planar;
    ASSERT_EQ(DecodeJpegPlanar(large.data(), large.size(), 8192, planar), DecodeResult::Ok);
    ASSERT_EQ(DecodeJpegPlanar(small.data(), small.size(), 8192, planar), DecodeResult::Ok);
    EXPECT_LT(planar.luma.capacity() + planar.cb.capacity() + planar.cr.capacity(),
              2u * 64 * 48 * 3);
}

TEST(StatusPictures, MadeAtTheNegotiatedSizeInEveryFormat) {
    StatusPictures pictures;
    using cvl::host::FrameKind;
    for (FrameKind kind : {FrameKind::Error, FrameKind::Busy, FrameKind::Disconnected}) {
        EXPECT_EQ(pictures.Get(kind, PixelFormat::I420, 320, 240).size(), 320u * 240 * 3 / 2);
        EXPECT_EQ(pictures.Get(kind, PixelFormat::Yuy2, 1920, 1080).size(), 1920u * 1080 * 2);
        const std::vector<uint8_t>& jpeg = pictures.Get(kind, PixelFormat::Mjpg, 640, 480);
        YcbcrImage decoded;
        ASSERT_EQ(DecodeJpeg(jpeg.data(), jpeg.size(), 8192, decoded), DecodeResult::Ok);
        EXPECT_EQ(decoded.width, 640);
        EXPECT_EQ(decoded.height, 480);
    }
    // Different pictures for different states.
    EXPECT_NE(pictures.Get(FrameKind::Busy, PixelFormat::I420, 320, 240),
              pictures.Get(FrameKind::Disconnected, PixelFormat::I420, 320, 240));
}

} // namespace
