#include "TestSupport.h"

#include "CVLPaths.h"

#include <CoreFoundation/CoreFoundation.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <dirent.h>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace cvl::test {

namespace {

std::string g_tempFolder;
std::string g_installRoot;
std::string g_runtimeFolder;

bool MakePath(const std::string& path, mode_t mode = 0755) {
    std::string partial;
    std::stringstream stream(path);
    std::string part;
    while (std::getline(stream, part, '/')) {
        if (part.empty())
            continue;
        partial += "/" + part;
        if (mkdir(partial.c_str(), mode) != 0 && errno != EEXIST)
            return false;
    }
    return true;
}

bool CopyFile(const std::string& from, const std::string& to) {
    std::string contents;
    return ReadFile(from, contents) && WriteFile(to, contents);
}

// The folders and files of the installed layout that unit tests rely on; the
// complete layout comes from StageInstallation.
void StageMinimalLayout(const std::string& root) {
    const std::string resources =
        root + "/Library/CoreMediaIO/Plug-Ins/DAL/Corvalink.plugin/Contents/Resources";
    MakePath(resources + "/sbFrames");
    MakePath(root + "/Library/LaunchAgents");
    MakePath(root + "/Library/Frameworks");
    MakePath(root + "/Applications/Corvalink");
    for (const char* name : {"error.jpg", "errorBusy.jpg", "errorNoDevice.jpg"})
        CopyFile(BinaryDir() + "/resources/" + name, resources + "/" + name);
}

void RemoveTempFolder() {
    if (!g_tempFolder.empty() && !std::getenv("CVL_KEEP_TEST_FOLDER"))
        RunCommand("rm -rf " + ShellQuote(g_tempFolder));
}

} // namespace

const std::string& TempFolder() {
    return g_tempFolder;
}
const std::string& InstallRoot() {
    return g_installRoot;
}
const std::string& RuntimeFolder() {
    return g_runtimeFolder;
}

std::string BinaryDir() {
    return CVL_TEST_BINARY_DIR;
}
std::string SourceDir() {
    return CVL_TEST_SOURCE_DIR;
}
std::string Program(const std::string& name) {
    return BinaryDir() + "/bin/" + name;
}

bool StageInstallation(const std::string& destination) {
    const std::string command = "DESTDIR=" + ShellQuote(destination) + " cmake --install " +
                                ShellQuote(BinaryDir()) + " >/dev/null";
    return RunCommand(command) == 0;
}

std::string MakeFolder(const std::string& name) {
    const std::string path = g_tempFolder + "/" + name;
    MakePath(path);
    return path;
}

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

bool ReadFile(const std::string& path, std::string& contents) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    contents = buffer.str();
    return true;
}

bool WriteFile(const std::string& path, const std::string& contents) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
    return static_cast<bool>(out);
}

bool FileExists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

int RunCommand(const std::string& command, std::string* output) {
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return -1;
    char buffer[4096];
    size_t count;
    while ((count = fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        if (output)
            output->append(buffer, count);
    }
    const int status = pclose(pipe);
    if (status == -1 || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::stringstream stream(text);
    std::string line;
    while (std::getline(stream, line))
        lines.push_back(line);
    return lines;
}

std::string ShellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

void KillAndReap(pid_t& pid) {
    if (pid <= 0)
        return;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    pid = -1;
}

bool CanActAsOtherUser() {
    return geteuid() == 0 && RunCommand("command -v setpriv >/dev/null") == 0;
}

int ProbeAsOtherUser(const std::string& verb, const std::string& argument,
                     const std::string& environment, std::string* output) {
    const std::string id = std::to_string(kOtherUser);
    return RunCommand(environment + " setpriv --reuid=" + id + " --regid=" + id +
                          " --clear-groups " + ShellQuote(Program("cvl-port-probe")) + " " + verb +
                          " " + ShellQuote(argument) + (output ? " 2>&1" : " 2>/dev/null"),
                      output);
}

double CpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i)
        if (i >= 14)
            ticks += std::atof(field.c_str());
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

int OpenDescriptors(pid_t pid) {
    DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (!dir)
        return -1;
    int count = 0;
    while (const dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.')
            ++count;
    closedir(dir);
    return count;
}

int Threads(pid_t pid) {
    std::string status;
    if (!ReadFile("/proc/" + std::to_string(pid) + "/status", status))
        return -1;
    for (const std::string& line : SplitLines(status)) {
        if (line.rfind("Threads:", 0) == 0)
            return std::atoi(line.c_str() + 8);
    }
    return -1;
}

} // namespace cvl::test

int main(int argc, char** argv) {
    using namespace cvl::test;
    char pattern[] = "/tmp/cvl-test-XXXXXX";
    if (!mkdtemp(pattern)) {
        std::perror("mkdtemp");
        return 1;
    }
    g_tempFolder = pattern;
    g_installRoot = g_tempFolder + "/root";
    g_runtimeFolder = g_tempFolder + "/run";
    MakePath(g_installRoot);
    MakePath(g_runtimeFolder, 0700);
    chmod(g_runtimeFolder.c_str(), 0700);
    StageMinimalLayout(g_installRoot);
    setenv("CVL_ROOT", g_installRoot.c_str(), 1);
    setenv("XDG_RUNTIME_DIR", g_runtimeFolder.c_str(), 1);
    std::atexit(RemoveTempFolder);

    testing::InitGoogleMock(&argc, argv);
    return RUN_ALL_TESTS();
}
