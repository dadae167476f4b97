// cvl-web's connection limits and request-head deadline on real sockets, with
// the guard's clock driven by the test, and its one line per burst.
#include "BurstLog.h"
#include "ConnectionGuard.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace cvl::web;
using Clock = std::chrono::steady_clock;
using std::chrono::seconds;

// Connections whose server ends the guard holds; the test watches the
// client ends.
class Sockets {
public:
    ~Sockets() {
        for (const auto& [server, client] : m_pairs) {
            close(server);
            close(client);
        }
    }
    // A new connection of client, registered with guard.
    ConnectionGuard::Connection* Open(ConnectionGuard& guard, const std::string& client) {
        int ends[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
            return nullptr;
        m_pairs.emplace_back(ends[0], ends[1]);
        return guard.Opened(ends[0], client);
    }
    // Whether the guard shut connection i down (its client end reads the end).
    bool Closed(size_t i) const {
        char byte;
        return recv(m_pairs[i].second, &byte, 1, MSG_DONTWAIT) == 0;
    }
    size_t ClosedCount() const {
        size_t count = 0;
        for (size_t i = 0; i < m_pairs.size(); ++i)
            count += Closed(i);
        return count;
    }

private:
    std::vector<std::pair<int, int>> m_pairs;
};

// The lines written to a temporary file.
std::string Text(std::FILE* file) {
    std::string text;
    std::rewind(file);
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, file))
        text += buffer;
    return text;
}

class Guard : public testing::Test {
protected:
    // Closed after the log, which writes an open burst when it goes.
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> m_owned{std::tmpfile(), &std::fclose};
    std::FILE* m_file = m_owned.get();
    BurstLog m_log{m_file};
    ConnectionGuard m_guard{m_log};
    Sockets m_sockets;
};

TEST_F(Guard, AFullClientMakesRoomFromItsOldestWaitingConnectionOrIsRefused) {
    std::vector<ConnectionGuard::Connection*> mine;
    for (unsigned i = 0; i < ConnectionGuard::kPerClientLimit; ++i) {
        ASSERT_TRUE(m_guard.Admit("10.0.0.1"));
        mine.push_back(m_sockets.Open(m_guard, "10.0.0.1"));
    }
    m_guard.RequestStarted(mine[0]); // being answered: never closed to make room
    ASSERT_TRUE(m_guard.Admit("10.0.0.1"));
    EXPECT_FALSE(m_sockets.Closed(0));
    EXPECT_TRUE(m_sockets.Closed(1));
    EXPECT_EQ(m_sockets.ClosedCount(), 1u);
    m_sockets.Open(m_guard, "10.0.0.1");
    // Another address is not touched by this one's limit.
    EXPECT_TRUE(m_guard.Admit("10.0.0.2"));
    EXPECT_EQ(m_sockets.ClosedCount(), 1u);

    // Every connection of the address being answered: nothing to close, refused.
    for (size_t i = 1; i < mine.size(); ++i)
        m_guard.RequestStarted(mine[i]);
    m_guard.Closed(mine[1]); // the library ends the one that was shut down
    ASSERT_TRUE(m_guard.Admit("10.0.0.1"));
    ConnectionGuard::Connection* last = m_sockets.Open(m_guard, "10.0.0.1");
    m_guard.RequestStarted(last);
    EXPECT_FALSE(m_guard.Admit("10.0.0.1"));
    EXPECT_EQ(m_guard.Live(), ConnectionGuard::kPerClientLimit);

    m_log.Flush();
    const std::string text = Text(m_file);
    EXPECT_NE(text.find("1 connection(s) refused"), std::string::npos) << text;
    EXPECT_NE(text.find("2 connection(s) closed"), std::string::npos) << text;
    EXPECT_EQ(m_log.Lines(), 1u);
}

TEST_F(Guard, AtTheTotalLimitTheOldestWaitingConnectionOfAnyClientGoes) {
    for (unsigned i = 0; i < ConnectionGuard::kConnectionLimit; ++i) {
        const std::string client = "10.0." + std::to_string(i / 50) + "." + std::to_string(i);
        ASSERT_TRUE(m_guard.Admit(client));
        m_sockets.Open(m_guard, client);
    }
    EXPECT_EQ(m_sockets.ClosedCount(), 0u);
    EXPECT_TRUE(m_guard.Admit("192.168.1.1"));
    EXPECT_TRUE(m_sockets.Closed(0));
    EXPECT_EQ(m_sockets.ClosedCount(), 1u);
    EXPECT_EQ(m_guard.Live(), ConnectionGuard::kConnectionLimit - 1);
}

TEST_F(Guard, ARequestHeadHasItsTimeInAllAndAnsweredRequestsHaveNone) {
    const Clock::time_point start = Clock::now();
    ConnectionGuard::Connection* slow = m_sockets.Open(m_guard, "a");
    ConnectionGuard::Connection* answered = m_sockets.Open(m_guard, "a");
    ConnectionGuard::Connection* again = m_sockets.Open(m_guard, "b");
    m_guard.RequestStarted(answered);
    m_guard.RequestStarted(again);
    m_guard.Check(start + ConnectionGuard::kHeaderSeconds - seconds(1));
    EXPECT_EQ(m_sockets.ClosedCount(), 0u);
    m_guard.Check(start + seconds(3600));
    EXPECT_TRUE(m_sockets.Closed(0));
    EXPECT_FALSE(m_sockets.Closed(1));
    EXPECT_FALSE(m_sockets.Closed(2));

    // Once answered, the next request's time runs from there.
    m_guard.RequestDone(again);
    const Clock::time_point done = Clock::now();
    m_guard.Check(done + ConnectionGuard::kHeaderSeconds - seconds(1));
    EXPECT_FALSE(m_sockets.Closed(2));
    m_guard.Check(done + ConnectionGuard::kHeaderSeconds + seconds(1));
    EXPECT_TRUE(m_sockets.Closed(2));
    EXPECT_FALSE(m_sockets.Closed(1));
    EXPECT_EQ(m_guard.Live(), 1u);

    // The library closes them all; nothing is left to count.
    for (ConnectionGuard::Connection* connection : {slow, answered, again})
        m_guard.Closed(connection);
    EXPECT_EQ(m_guard.Live(), 0u);
}

TEST_F(Guard, StreamPlacesAreCountedAndGivenBack) {
    for (unsigned i = 0; i < ConnectionGuard::kStreamLimit; ++i)
        ASSERT_TRUE(m_guard.TakeStreamPlace());
    EXPECT_FALSE(m_guard.TakeStreamPlace());
    m_guard.ReleaseStreamPlace();
    EXPECT_TRUE(m_guard.TakeStreamPlace());
    EXPECT_LT(ConnectionGuard::kStreamLimit, ConnectionGuard::kConnectionLimit);
}

TEST(BurstLog, ABurstIsOneLineOnceItHasBeenQuietOrHasLastedAMinute) {
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    {
        BurstLog log(file, "web: ");
        const Clock::time_point start = Clock::now();
        for (int i = 0; i < 1800; ++i)
            log.Refused(start);
        log.Library("Failed to parse `Content-Length' header.\n\x1b[31m", start);
        log.Library("another", start);
        log.Tick(start + BurstLog::kQuiet - seconds(1));
        EXPECT_EQ(log.Lines(), 0u);
        log.Tick(start + BurstLog::kQuiet);
        EXPECT_EQ(log.Lines(), 1u);
        log.Tick(start + seconds(100));
        EXPECT_EQ(log.Lines(), 1u);

        // A flood that never pauses still gets a line a minute.
        const Clock::time_point later = start + seconds(200);
        for (int s = 0; s <= 61; ++s) {
            log.Dropped(later + seconds(s));
            log.Tick(later + seconds(s));
        }
        EXPECT_EQ(log.Lines(), 2u);
        log.Dropped(later + seconds(62)); // left open: written when the log goes
    }
    const std::string text = Text(file);
    std::fclose(file);
    EXPECT_EQ(text.rfind("web: 1800 connection(s) refused (over a connection limit), 2 HTTP "
                         "library message(s), the first: Failed to parse `Content-Length' "
                         "header.?[31m (within 0 s)\n",
                         0),
              0u)
        << text;
    EXPECT_NE(text.find("web: 61 connection(s) closed"), std::string::npos) << text;
    EXPECT_NE(text.find("(within 60 s)\nweb: 2 connection(s) closed"), std::string::npos) << text;
}

} // namespace
