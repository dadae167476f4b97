// Shared helpers of the test programs.
//
// Every test program links this library's main(): before any test runs it
// creates a temporary folder holding a staged installation root (CVL_ROOT) and
// a private runtime folder (XDG_RUNTIME_DIR), and removes it at exit. With
// one process per test case, every test has its own installation and ports.
#ifndef CVL_TESTS_SUPPORT_TESTSUPPORT_H
#define CVL_TESTS_SUPPORT_TESTSUPPORT_H

#include "RequestSender.h"

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace cvl::test {

// The per-process temporary folder, the staged root and the runtime folder.
const std::string& TempFolder();
const std::string& InstallRoot();
const std::string& RuntimeFolder();

// Build and source trees of the project.
std::string BinaryDir();
std::string SourceDir();
// A program built into build/bin.
std::string Program(const std::string& name);

// Stages the complete installed layout (cmake --install) under destination.
bool StageInstallation(const std::string& destination);

// Makes a fresh folder under the temporary folder and returns its path.
std::string MakeFolder(const std::string& name);

// Polls condition every few milliseconds until it holds or timeout passes.
bool WaitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds timeout = std::chrono::seconds(10));

bool ReadFile(const std::string& path, std::string& contents);
bool WriteFile(const std::string& path, const std::string& contents);
bool FileExists(const std::string& path);

// text in single quotes for the shell, its own single quotes escaped.
std::string ShellQuote(const std::string& text);

// Runs a shell command, returns its exit status (-1 when it could not run)
// and, when output is given, what it wrote to standard output.
int RunCommand(const std::string& command, std::string* output = nullptr);

// Kills the child process with SIGKILL and waits for it; sets pid to -1.
// Does nothing for a pid of 0 or less.
void KillAndReap(pid_t& pid);
// Open descriptors of a process, -1 when it is gone.
int OpenDescriptors(pid_t pid);
// Threads of a process, -1 when it is gone.
int Threads(pid_t pid);
// A process's user and system CPU seconds so far.
double CpuSeconds(pid_t pid);

// The user that tests run as to play another local user (nobody).
constexpr unsigned kOtherUser = 65534;
// Whether this process may run commands as kOtherUser.
bool CanActAsOtherUser();
// Runs cvl-port-probe with verb and argument as kOtherUser, after the shell
// words in environment (e.g. "env -u XDG_RUNTIME_DIR"); its exit status: 0
// reached, 1 refused, -1 or more when it could not run. With output, its
// standard error is collected there.
int ProbeAsOtherUser(const std::string& verb, const std::string& argument,
                     const std::string& environment = "", std::string* output = nullptr);

// Splits text into lines, without their newline characters.
std::vector<std::string> SplitLines(const std::string& text);

} // namespace cvl::test

#endif
