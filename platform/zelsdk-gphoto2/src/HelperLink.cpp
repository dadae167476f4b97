#include "HelperLink.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace zelgp {

namespace {

// libgphoto2's own PTP/IP timeouts are 2.5 s a read; detection on USB and an
// initialisation take several reads. A helper that takes longer is stuck.
constexpr int kDeadlineMs = 20000;
constexpr int kStopGraceMs = 5000;
constexpr auto kReportInterval = std::chrono::seconds(10);
constexpr int kHelperSocket = 3;

int RemainingMs(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Reads or writes size bytes on a non-blocking socket before the deadline.
bool Transfer(int fd, uint8_t* data, size_t size, bool reading,
              std::chrono::steady_clock::time_point deadline) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = reading ? recv(fd, data + done, size - done, 0)
                                  : send(fd, data + done, size - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            return false;
        pollfd ready = {fd, static_cast<short>(reading ? POLLIN : POLLOUT), 0};
        const int left = RemainingMs(deadline);
        if (left == 0 || (poll(&ready, 1, left) < 0 && errno != EINTR))
            return false;
    }
    return true;
}

} // namespace

HelperLink::~HelperLink() {
    Stop();
}

std::string HelperLink::HelperPath() {
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(&HelperLink::HelperPath), &info) == 0 || !info.dli_fname)
        return "";
    std::string path = info.dli_fname;
    const size_t slash = path.rfind('/');
    path = slash == std::string::npos ? "." : path.substr(0, slash);
    return path + "/zelsdk-gphoto2-helper";
}

uint64_t HelperLink::Generation() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_pid > 0 ? m_generation : 0;
}

void HelperLink::ReportLocked(const char* what) {
    const auto now = std::chrono::steady_clock::now();
    if (m_reported && now - m_lastReport < kReportInterval)
        return;
    m_reported = true;
    m_lastReport = now;
    std::fprintf(stderr, "zelsdk-gphoto2: %s\n", what);
}

bool HelperLink::StartLocked() {
    const std::string program = HelperPath();
    int pair[2];
    if (program.empty() || socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        return false;
    // The helper gets its end as descriptor 3, /dev/null for standard input
    // and output, this process's standard error, and nothing else: every
    // other descriptor is closed in it whatever its close-on-exec flag.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pair[1], kHelperSocket);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addclosefrom_np(&actions, kHelperSocket + 1);
    // Signals as a new program expects them, whatever this thread blocks.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    std::string name = program;
    char* argv[] = {name.data(), nullptr};
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    close(pair[1]);
    if (spawned != 0) {
        close(pair[0]);
        ReportLocked("cannot start the helper zelsdk-gphoto2-helper beside the library");
        return false;
    }
    fcntl(pair[0], F_SETFL, fcntl(pair[0], F_GETFL) | O_NONBLOCK);
    m_pid = pid;
    m_fd = pair[0];
    ++m_generation;
    return true;
}

void HelperLink::EndLocked(bool force) {
    if (m_fd >= 0)
        close(m_fd);
    m_fd = -1;
    if (m_pid <= 0)
        return;
    if (force)
        kill(m_pid, SIGKILL);
    // Without its socket the helper ends by itself; one that does not within
    // the grace time is killed.
    int status = 0;
    for (int waited = 0; waitpid(m_pid, &status, WNOHANG) == 0; waited += 10) {
        if (waited >= kStopGraceMs) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, &status, 0);
            break;
        }
        usleep(10000);
    }
    m_pid = -1;
}

bool HelperLink::Call(const WireWriter& request, Answer& answer) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_pid <= 0 && !StartLocked())
        return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDeadlineMs);
    std::vector<uint8_t> message = request.Message();
    uint32_t length = 0;
    const bool sent = Transfer(m_fd, message.data(), message.size(), false, deadline);
    bool read =
        sent && Transfer(m_fd, reinterpret_cast<uint8_t*>(&length), sizeof length, true, deadline);
    // Nothing beyond the bound is read: the helper is out of step.
    read = read && length <= kMaxAnswerBytes;
    std::vector<uint8_t> body;
    if (read) {
        body.resize(length);
        read = Transfer(m_fd, body.data(), body.size(), true, deadline);
    }
    WireReader in(body.data(), body.size());
    if (!read || !in.U32(answer.error) || !in.U8(answer.flags)) {
        ReportLocked(sent ? "the helper ended or did not answer in time; it is started again"
                          : "the helper ended; it is started again");
        EndLocked(true);
        return false;
    }
    const size_t head = sizeof answer.error + sizeof answer.flags;
    answer.body.assign(body.begin() + static_cast<std::ptrdiff_t>(head), body.end());
    answer.generation = m_generation;
    // A retiring helper's successor starts at once, for the same reason as
    // the first.
    if (answer.flags & kAnswerRetiring) {
        EndLocked(false);
        StartLocked();
    }
    return true;
}

void HelperLink::Start() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_pid <= 0)
        StartLocked();
}

void HelperLink::Stop() {
    std::lock_guard<std::mutex> lock(m_mutex);
    EndLocked(false);
}

} // namespace zelgp
