// The frame relay's channel on its own: the owner's lock and socket in the
// test's runtime folder, the server's newest-frame sending to a reader that
// does not keep up, and a reader given bytes that break the format.
#include "cvlhost/RelayPlace.h"
#include "cvlhost/RelayReader.h"
#include "cvlhost/RelayServer.h"

#include "EvfFrame.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace cvl::test {
namespace {

using host::FrameKind;
using host::RelayHeader;
using host::RelayPlace;
using host::RelayReader;
using host::RelayServer;
using host::StreamState;
using std::chrono::milliseconds;

// A frame of size bytes, all of them mark.
std::shared_ptr<const EvfFrame> Frame(size_t size, unsigned char mark) {
    const std::vector<unsigned char> bytes(size, mark);
    auto frame = std::make_shared<EvfFrame>();
    frame->LoadFrame(bytes.data(), static_cast<int32_t>(size));
    return frame;
}

// Reads until a message comes or timeout passes.
bool ReadMessage(RelayReader& reader, RelayHeader& header, std::shared_ptr<EvfFrame>& frame,
                 milliseconds timeout = milliseconds(20000)) {
    bool got = false;
    WaitFor(
        [&] {
            const RelayReader::Result result = reader.Read(milliseconds(50), header, frame);
            got = result == RelayReader::Result::Message;
            return result != RelayReader::Result::Nothing;
        },
        timeout);
    return got;
}

TEST(RelayChannel, OneOwnerAtATimeAndAReaderThatLagsGetsTheNewestFrame) {
    RelayPlace owner;
    ASSERT_TRUE(owner.Usable()) << owner.Folder();
    struct stat info;
    ASSERT_EQ(stat(owner.Folder().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    ASSERT_TRUE(owner.TakeOwnership());
    RelayPlace other;
    EXPECT_FALSE(other.TakeOwnership()); // the lock is held
    {
        RelayServer server(owner.ListenFd());
        RelayReader reader(other.Connect());
        ASSERT_TRUE(WaitFor([&] { return server.Readers() == 1; }));

        // 100 frames of 200 kB while the reader reads nothing: it gets a few
        // of them, ending with the newest.
        for (int i = 0; i < 100; ++i)
            server.Offer(Frame(200000, static_cast<unsigned char>(i)), FrameKind::Live,
                         StreamState::Live);
        RelayHeader header;
        std::shared_ptr<EvfFrame> frame;
        int messages = 0;
        while (ReadMessage(reader, header, frame) && frame->GetBuf()[0] != 99)
            ++messages;
        ASSERT_TRUE(frame && frame->GetBufSize() == 200000);
        EXPECT_EQ(frame->GetBuf()[0], 99);
        EXPECT_EQ(frame->GetBuf()[199999], 99);
        EXPECT_LT(messages, 50);
        EXPECT_EQ(header.kind, FrameKind::Live);

        // A change of state alone reaches the reader; with no change the
        // newest frame comes again.
        server.Offer(Frame(1000, 7), FrameKind::Error, StreamState::ServiceNotRunning);
        ASSERT_TRUE(ReadMessage(reader, header, frame));
        EXPECT_EQ(header.state, StreamState::ServiceNotRunning);
        EXPECT_EQ(header.kind, FrameKind::Error);
        ASSERT_TRUE(ReadMessage(reader, header, frame));
        EXPECT_EQ(frame->GetBufSize(), 1000);

        // A reader that sends anything is dropped; a reader of this user
        // past the last place too.
        const int talker = other.Connect();
        ASSERT_GE(talker, 0);
        ASSERT_TRUE(WaitFor([&] { return server.Readers() == 2; }));
        ASSERT_EQ(send(talker, "hello", 5, MSG_NOSIGNAL), 5);
        EXPECT_TRUE(WaitFor([&] { return server.Readers() == 1; }));
        close(talker);
        std::vector<int> many;
        for (int i = 0; i < RelayServer::kMaxReaders + 5; ++i)
            many.push_back(other.Connect());
        EXPECT_TRUE(WaitFor([&] { return server.Readers() == RelayServer::kMaxReaders; }));
        for (int fd : many)
            close(fd);
    }
    // The owner lets go: the socket is gone, the next takes over.
    owner.GiveUp();
    EXPECT_LT(other.Connect(), 0);
    EXPECT_TRUE(other.TakeOwnership());
}

TEST(RelayChannel, AReaderEndsTheConnectionOnBytesThatBreakTheFormat) {
    RelayHeader valid;
    valid.kind = FrameKind::Busy;
    valid.state = StreamState::CameraBusy;
    valid.length = 3000;
    unsigned char good[RelayHeader::kSize];
    valid.Encode(good);

    // Bytes changed one at a time: magic, version, kind, state, padding,
    // length 0 and past the bound.
    std::vector<std::pair<size_t, unsigned char>> changes = {{0, 'X'}, {4, 2}, {5, 4},
                                                             {6, 5},   {7, 1}, {13, 1}};
    for (const auto& change : changes) {
        unsigned char bytes[RelayHeader::kSize];
        std::memcpy(bytes, good, sizeof bytes);
        bytes[change.first] = change.second;
        RelayHeader header;
        EXPECT_FALSE(header.Decode(bytes)) << change.first;
    }
    for (uint32_t length : {0u, RelayHeader::kMaxFrameBytes + 1, 0xffffffffu}) {
        unsigned char bytes[RelayHeader::kSize];
        std::memcpy(bytes, good, sizeof bytes);
        for (int i = 0; i < 4; ++i)
            bytes[8 + i] = static_cast<unsigned char>(length >> (8 * i));
        RelayHeader header;
        EXPECT_FALSE(header.Decode(bytes)) << length;
    }

    // A whole message in small pieces, then a bad header: one message,
    // then the end.
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    RelayReader reader(pair[0]);
    std::string stream(reinterpret_cast<const char*>(good), sizeof good);
    stream += std::string(3000, 'j');
    stream += std::string(RelayHeader::kSize, 'x');
    for (size_t at = 0; at < stream.size(); at += 700)
        ASSERT_GT(send(pair[1], stream.data() + at, std::min<size_t>(700, stream.size() - at),
                       MSG_NOSIGNAL),
                  0);
    RelayHeader header;
    std::shared_ptr<EvfFrame> frame;
    ASSERT_TRUE(ReadMessage(reader, header, frame));
    EXPECT_EQ(header.kind, FrameKind::Busy);
    EXPECT_EQ(header.state, StreamState::CameraBusy);
    EXPECT_EQ(frame->GetBufSize(), 3000);
    EXPECT_EQ(reader.Read(milliseconds(5000), header, frame), RelayReader::Result::Closed);
    close(pair[1]);
}

TEST(RelayChannel, AFolderOpenToOthersIsNotUsed) {
    const RelayPlace first;
    ASSERT_TRUE(first.Usable());
    ASSERT_EQ(chmod(first.Folder().c_str(), 0755), 0);
    const RelayPlace open;
    EXPECT_FALSE(open.Usable());
    RelayPlace owner;
    EXPECT_FALSE(owner.TakeOwnership());
    ASSERT_EQ(chmod(first.Folder().c_str(), 0700), 0);
}

} // namespace
} // namespace cvl::test
