#include "FrameTransport.h"

#include "CVLPaths.h"
#include "RequestText.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <csignal>
#include <cstring>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

Bytes Pattern(int32_t number, size_t size) {
    // Content that can be checked against the number it carries in front.
    Bytes bytes(size);
    uint32_t state = static_cast<uint32_t>(number) * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        state = state * 1103515245u + 12345u;
        bytes[i] = static_cast<unsigned char>(state >> 16);
    }
    if (size >= 4)
        std::memcpy(bytes.data(), &number, 4);
    return bytes;
}

bool IsPattern(const Bytes& bytes, int32_t* number) {
    if (bytes.size() < 4)
        return false;
    std::memcpy(number, bytes.data(), 4);
    return bytes == Pattern(*number, bytes.size());
}

struct Reader {
    FILE* files[kSandboxSlotCount] = {nullptr, nullptr, nullptr};
    int32_t last = -1;
    int32_t slot = 0;
    Bytes frame;
    ~Reader() { ResetSandboxReading(files, last, slot); }
    SandboxReadResult Read() { return ReadSandboxFrame(files, last, slot, frame); }
};

TEST(FrameMessage, BuildsAndParsesTheLengthWordAndRefusesMalformedPayloads) {
    const unsigned char jpeg[] = {0xff, 0xd8, 0x00, 0xff, 0xd9};
    Bytes payload = BuildFrameMessage(jpeg, 5);
    ASSERT_EQ(payload, (Bytes{5, 0, 0, 0, 0xff, 0xd8, 0x00, 0xff, 0xd9}));
    const unsigned char* frame = nullptr;
    int32_t length = -1;
    ASSERT_TRUE(ParseFrameMessage(payload.data(), payload.size(), &frame, &length));
    EXPECT_EQ(length, 5);
    EXPECT_EQ(frame, payload.data() + 4);

    // An empty frame is a 4-byte message with a length word of 0.
    payload = BuildFrameMessage(nullptr, 0);
    EXPECT_EQ(payload, (Bytes{0, 0, 0, 0}));
    ASSERT_TRUE(ParseFrameMessage(payload.data(), payload.size(), &frame, &length));
    EXPECT_EQ(length, 0);

    // A length word of 300 is little-endian.
    Bytes big(304, 7);
    big[0] = 0x2c;
    big[1] = 0x01;
    big[2] = big[3] = 0;
    ASSERT_TRUE(ParseFrameMessage(big.data(), big.size(), &frame, &length));
    EXPECT_EQ(length, 300);

    // Each malformed payload is copied to an exactly sized heap block, so a
    // read beyond it would be caught by the address sanitizer.
    const Bytes malformed[] = {{},
                               {1, 0, 0},
                               {1, 0, 0, 0},
                               {9, 0, 0, 0, 1, 2, 3},
                               {0xff, 0xff, 0xff, 0xff, 1},
                               {0, 0, 0, 0x80, 1, 2}};
    for (const Bytes& bad : malformed) {
        std::unique_ptr<unsigned char[]> exact(new unsigned char[bad.size() + 0]);
        if (!bad.empty())
            std::memcpy(exact.get(), bad.data(), bad.size());
        EXPECT_FALSE(ParseFrameMessage(exact.get(), bad.size(), &frame, &length)) << bad.size();
    }
    EXPECT_FALSE(ParseFrameMessage(nullptr, 8, &frame, &length));
}

TEST(FrameMessage, PortNamesFollowTheServiceIdentifier) {
    EXPECT_EQ(FramePortName("812"), std::string(CVL_SERVICE_IDENTIFIER) + ".Frame.812");
    EXPECT_EQ(FramePortName("sandbox"), CVL_FRAME_PORT_PREFIX "sandbox");
}

TEST(RequestText, BuildsAndSplitsAtTheFirstUnderscore) {
    EXPECT_EQ(BuildRequestText("812", "StartStreaming"), "812_StartStreaming");
    struct Case {
        const char* text;
        const char* sender;
        const char* command;
    } cases[] = {{"812_StartStreaming", "812", "StartStreaming"},
                 {"812_a_b", "812", "a_b"},
                 {"Close", "Close", "Close"},
                 {"_Close", "", "Close"},
                 {"812_", "812", ""},
                 {"", "", ""},
                 {"_", "", ""},
                 {" 812 _ stop ", " 812 ", " stop "}};
    for (const Case& c : cases) {
        std::string sender = "x", command = "y";
        ParseRequestText(c.text, sender, command);
        EXPECT_EQ(sender, c.sender) << c.text;
        EXPECT_EQ(command, c.command) << c.text;
    }
}

TEST(SandboxFrameFile, RecordLayoutAndAcceptanceRules) {
    unsigned char marker[kSandboxMarkerSize];
    for (size_t i = 0; i < kSandboxMarkerSize; ++i)
        marker[i] = static_cast<unsigned char>(0xa0 + i);
    const Bytes frame = Pattern(3, 64);
    Bytes record = BuildSandboxRecord(marker, 258, frame.data(), 64);
    ASSERT_EQ(record.size(), 100u);
    EXPECT_EQ(0, std::memcmp(record.data(), marker, 16));
    EXPECT_EQ(Bytes(record.begin() + 16, record.begin() + 20), (Bytes{2, 1, 0, 0}));
    EXPECT_EQ(Bytes(record.begin() + 20, record.begin() + 84), frame);
    EXPECT_EQ(0, std::memcmp(record.data() + 84, marker, 16));

    int32_t number = 0;
    const unsigned char* bytes = nullptr;
    int32_t length = 0;
    // Exactly 100 bytes with a newer number is accepted.
    ASSERT_TRUE(AcceptSandboxRecord(record.data(), record.size(), -1, &number, &bytes, &length));
    EXPECT_EQ(number, 258);
    EXPECT_EQ(length, 64);
    EXPECT_EQ(bytes, record.data() + 20);
    // Not newer: refused, also for an equal number.
    EXPECT_FALSE(AcceptSandboxRecord(record.data(), record.size(), 258, &number, &bytes, &length));
    // Shorter than 100 bytes (a frame under 64 bytes), whatever the markers.
    Bytes small = BuildSandboxRecord(marker, 5, frame.data(), 63);
    EXPECT_FALSE(AcceptSandboxRecord(small.data(), small.size(), -1, &number, &bytes, &length));
    // Trailing marker differs.
    record.back() ^= 1;
    EXPECT_FALSE(AcceptSandboxRecord(record.data(), record.size(), -1, &number, &bytes, &length));
}

TEST(SandboxFrameFile, ReaderWalksTheRingInStepWithTheWriter) {
    Reader reader;
    // No file at all: disconnected at once (five reads that each slept
    // through their attempts would take 4.95 s), state unchanged.
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(reader.Read(), SandboxReadResult::Missing);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(4500));
    EXPECT_EQ(reader.slot, 0);
    EXPECT_EQ(reader.last, -1);

    ASSERT_TRUE(WriteSandboxFrameFile(0, 0, Pattern(0, 100).data(), 100));
    ASSERT_EQ(reader.Read(), SandboxReadResult::Frame);
    EXPECT_EQ(reader.frame, Pattern(0, 100));
    EXPECT_EQ(reader.slot, 1);

    // The writer laps ahead: slots 1, 2, 0 get numbers 1, 2, 3.
    for (int32_t n = 1; n <= 3; ++n)
        ASSERT_TRUE(WriteSandboxFrameFile(n % 3, n, Pattern(n, 200).data(), 200));
    for (int32_t n = 1; n <= 3; ++n) {
        ASSERT_EQ(reader.Read(), SandboxReadResult::Frame);
        int32_t got = -1;
        ASSERT_TRUE(IsPattern(reader.frame, &got));
        EXPECT_EQ(got, n);
        EXPECT_EQ(reader.last, n);
    }
    // Slot 1 still holds number 1: never delivered twice. After 100 attempts
    // the reader starts over at slot 0 and accepts any number again.
    EXPECT_EQ(reader.Read(), SandboxReadResult::TimedOut);
    EXPECT_EQ(reader.slot, 0);
    EXPECT_EQ(reader.last, -1);
    EXPECT_EQ(reader.files[0], nullptr);
    ASSERT_EQ(reader.Read(), SandboxReadResult::Frame);
    EXPECT_EQ(reader.last, 3);
}

TEST(SandboxFrameFile, ShortAndTornFilesAreNeverAccepted) {
    Reader reader;
    ASSERT_TRUE(WriteSandboxFrameFile(0, 0, nullptr, 0)); // 36 bytes
    EXPECT_EQ(reader.Read(), SandboxReadResult::TimedOut);

    Bytes record = BuildSandboxRecord(Pattern(9, 16).data(), 4, Pattern(4, 80).data(), 80);
    record[record.size() - 1] ^= 0xff;
    ASSERT_TRUE(
        cvl::test::WriteFile(SandboxFramePath(0), std::string(record.begin(), record.end())));
    EXPECT_EQ(reader.Read(), SandboxReadResult::TimedOut);

    // A slot that cannot be opened for writing drops the frame.
    ASSERT_EQ(cvl::test::RunCommand("rm -rf '" +
                                    std::string(CVLResolvePath(CVL_PATH_SANDBOX_FRAMES)) + "'"),
              0);
    EXPECT_FALSE(WriteSandboxFrameFile(0, 0, Pattern(0, 100).data(), 100));
}

// A writer process rewrites the ring at full speed while this process reads
// at full speed: every frame read is whole, and no frame comes twice.
TEST(SandboxFrameFile, WriterAndReaderInTwoProcessesNeverYieldTornOrRepeatedFrames) {
    const pid_t writer = fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        for (int32_t n = 0; n < 2000000; ++n) {
            // Sizes from 64 bytes to about 48 KiB, so writes take several
            // system calls.
            const size_t size = 64 + (static_cast<uint32_t>(n) * 7919u) % 48000u;
            WriteSandboxFrameFile(n % 3, n, Pattern(n, size).data(), static_cast<int32_t>(size));
        }
        _exit(0);
    }

    struct KillOnExit {
        pid_t pid;
        ~KillOnExit() {
            kill(pid, SIGKILL);
            int status = 0;
            waitpid(pid, &status, 0);
        }
    } killWriter{writer};
    ASSERT_TRUE(cvl::test::WaitFor([] {
        return cvl::test::FileExists(SandboxFramePath(0)) &&
               cvl::test::FileExists(SandboxFramePath(1)) &&
               cvl::test::FileExists(SandboxFramePath(2));
    }));

    Reader reader;
    int accepted = 0;
    int32_t previous = -1;
    int misses = 0;
    while (accepted < 1500 && misses < 20) {
        const SandboxReadResult result = reader.Read();
        if (result != SandboxReadResult::Frame) {
            ++misses; // the writer may not have created the slot yet
            continue;
        }
        int32_t number = -1;
        ASSERT_TRUE(IsPattern(reader.frame, &number)) << "torn frame after " << previous;
        ASSERT_GT(number, previous) << "repeated or older frame";
        previous = number;
        ++accepted;
    }
    EXPECT_EQ(accepted, 1500);
}

} // namespace
