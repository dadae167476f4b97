// Telling the stock status frames of the installation from live frames, and
// the JPEG information of both.
#include "cvlhost/JpegHeader.h"
#include "cvlhost/StockFrames.h"

#include "EvfFrame.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace cvl::host;
using Bytes = std::vector<uint8_t>;

Bytes Resource(const std::string& name) {
    std::string contents;
    EXPECT_TRUE(cvl::test::ReadFile(cvl::test::BinaryDir() + "/resources/" + name, contents));
    return Bytes(contents.begin(), contents.end());
}

TEST(StockFrames, EachStockFrameIsItsKindAndAnythingElseIsLive) {
    const StockFrames stock;
    const Bytes error = Resource("error.jpg");
    const Bytes busy = Resource("errorBusy.jpg");
    const Bytes none = Resource("errorNoDevice.jpg");
    EXPECT_EQ(stock.Kind(error.data(), error.size()), FrameKind::Error);
    EXPECT_EQ(stock.Kind(busy.data(), busy.size()), FrameKind::Busy);
    EXPECT_EQ(stock.Kind(none.data(), none.size()), FrameKind::Disconnected);

    // The client library's frames compare the same as bytes.
    EvfFrame frame;
    frame.LoadBusyFrame();
    EXPECT_EQ(stock.Kind(frame), FrameKind::Busy);

    // One byte changed, one byte short, or nothing at all: no stock frame.
    Bytes changed = busy;
    changed[changed.size() / 2] ^= 0x01;
    EXPECT_EQ(stock.Kind(changed.data(), changed.size()), FrameKind::Live);
    EXPECT_EQ(stock.Kind(busy.data(), busy.size() - 1), FrameKind::Live);
    EXPECT_EQ(stock.Kind(nullptr, 0), FrameKind::Live);
    EvfFrame empty;
    EXPECT_EQ(stock.Kind(empty), FrameKind::Live);
}

TEST(StockFrames, TheStatusPicturesAre960x640ColourJpegs) {
    for (const char* name : {"error.jpg", "errorBusy.jpg", "errorNoDevice.jpg"}) {
        const Bytes jpeg = Resource(name);
        JpegInfo info;
        ASSERT_TRUE(ReadJpegInfo(jpeg.data(), jpeg.size(), info)) << name;
        EXPECT_EQ(info.width, 960) << name;
        EXPECT_EQ(info.height, 640) << name;
        EXPECT_EQ(info.components, 3) << name;
        EXPECT_NE(info.sampling, JpegSampling::Unknown) << name;
        EXPECT_FALSE(info.progressive) << name;
    }
}

} // namespace
