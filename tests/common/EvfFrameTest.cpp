#include "EvfFrame.h"

#include "CVLPaths.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string Bytes(const EvfFrame& frame) {
    return std::string(reinterpret_cast<const char*>(frame.GetBuf()),
                       static_cast<size_t>(frame.GetBufSize()));
}

TEST(EvfFrame, LoadsCopiesAndReleases) {
    EvfFrame frame;
    EXPECT_EQ(frame.GetBuf(), nullptr);
    EXPECT_EQ(frame.GetBufSize(), 0);

    unsigned char source[] = {1, 2, 3, 4, 5};
    frame.LoadFrame(source, 5);
    source[0] = 9; // the frame keeps a copy, not the caller's buffer
    EXPECT_EQ(Bytes(frame), std::string("\x01\x02\x03\x04\x05", 5));

    frame.LoadFrame(source, 2);
    EXPECT_EQ(frame.GetBufSize(), 2);
    EXPECT_EQ(Bytes(frame), std::string("\x09\x02", 2));

    frame.LoadFrame(nullptr, 0); // zero-length allocation
    EXPECT_NE(frame.GetBuf(), nullptr);
    EXPECT_EQ(frame.GetBufSize(), 0);

    frame.Cleanup();
    frame.Cleanup();
    EXPECT_EQ(frame.GetBuf(), nullptr);
    EXPECT_EQ(frame.GetBufSize(), 0);
}

TEST(EvfFrame, DuplicateIsAnIndependentDeepCopy) {
    EvfFrame copy;
    {
        EvfFrame source;
        const unsigned char bytes[] = {7, 8, 9};
        source.LoadFrame(bytes, 3);
        copy.LoadDuplicate(source);
        EXPECT_NE(copy.GetBuf(), source.GetBuf());
    }
    EXPECT_EQ(Bytes(copy), std::string("\x07\x08\x09", 3));

    EvfFrame empty;
    copy.LoadDuplicate(empty);
    EXPECT_NE(copy.GetBuf(), nullptr);
    EXPECT_EQ(copy.GetBufSize(), 0);
}

TEST(EvfFrame, LoadsFilesAndStatusFrames) {
    const std::string folder = cvl::test::MakeFolder("frames");
    const std::string content("\xff\xd8 jpeg \0 bytes \xff\xd9", 18);
    ASSERT_TRUE(cvl::test::WriteFile(folder + "/a.jpg", content));
    ASSERT_TRUE(cvl::test::WriteFile(folder + "/empty.jpg", ""));

    EvfFrame frame;
    frame.LoadFrameFromFile(folder + "/a.jpg");
    EXPECT_EQ(Bytes(frame), content);

    frame.LoadFrameFromFile(folder + "/empty.jpg");
    EXPECT_NE(frame.GetBuf(), nullptr);
    EXPECT_EQ(frame.GetBufSize(), 0);

    frame.LoadFrameFromFile(folder + "/a.jpg");
    frame.LoadFrameFromFile(folder + "/missing.jpg"); // the old bytes are gone too
    EXPECT_EQ(frame.GetBuf(), nullptr);
    EXPECT_EQ(frame.GetBufSize(), 0);

    // A folder opens but has no measurable length: the frame stays empty.
    frame.LoadFrameFromFile(folder);
    EXPECT_EQ(frame.GetBufSize(), 0);

    struct Case {
        void (EvfFrame::*load)();
        const char* path;
    } cases[] = {{&EvfFrame::LoadErrorFrame, CVL_PATH_ERROR_FRAME},
                 {&EvfFrame::LoadBusyFrame, CVL_PATH_BUSY_FRAME},
                 {&EvfFrame::LoadDisconnectedFrame, CVL_PATH_NO_DEVICE_FRAME}};
    for (const Case& c : cases) {
        std::string expected;
        ASSERT_TRUE(cvl::test::ReadFile(CVLResolvePath(c.path), expected)) << c.path;
        (frame.*c.load)();
        EXPECT_GT(frame.GetBufSize(), 0) << c.path;
        EXPECT_EQ(Bytes(frame), expected) << c.path;
    }

    // Status frames are read anew on every load.
    ASSERT_TRUE(cvl::test::WriteFile(CVLResolvePath(CVL_PATH_BUSY_FRAME), "new"));
    frame.LoadBusyFrame();
    EXPECT_EQ(Bytes(frame), "new");
}

} // namespace
