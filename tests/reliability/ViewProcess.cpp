#include "ViewProcess.h"

#include "TestSupport.h"

#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

extern char** environ;

namespace cvl::test {

ViewProcess::ViewProcess(const std::vector<std::string>& arguments) {
    static int count = 0;
    const std::string folder = MakeFolder("view" + std::to_string(++count));
    m_out = folder + "/stdout.txt";
    m_err = folder + "/stderr.txt";
    std::string program = Program("cvl-view");
    std::vector<std::string> words = arguments;
    std::vector<char*> argv{program.data()};
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, m_out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_addopen(&actions, 2, m_err.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    if (posix_spawn(&m_pid, program.c_str(), &actions, nullptr, argv.data(), environ) != 0)
        m_pid = -1;
    posix_spawn_file_actions_destroy(&actions);
}

ViewProcess::~ViewProcess() {
    Kill();
}

void ViewProcess::Kill() {
    KillAndReap(m_pid);
}

int ViewProcess::UniqueFrames() const {
    std::string text;
    if (!ReadFile(m_out, text))
        return 0;
    int unique = 0;
    // "<n> s: <calls> calls, <unique> unique, ..."
    for (const std::string& line : SplitLines(text)) {
        std::istringstream words(line);
        std::string second, s, calls, callsWord, count, uniqueWord;
        if (words >> second >> s >> calls >> callsWord >> count >> uniqueWord &&
            uniqueWord == "unique,")
            unique += std::atoi(count.c_str());
    }
    return unique;
}

std::string ViewProcess::Errors() const {
    std::string text;
    ReadFile(m_err, text);
    return text;
}

ProcessFigures FiguresOf(pid_t pid) {
    ProcessFigures figures;
    std::string status;
    if (ReadFile("/proc/" + std::to_string(pid) + "/status", status)) {
        for (const std::string& line : SplitLines(status)) {
            if (line.rfind("Threads:", 0) == 0)
                figures.threads = std::atoi(line.c_str() + 8);
            else if (line.rfind("VmRSS:", 0) == 0)
                figures.rssKb = std::atol(line.c_str() + 6);
        }
    }
    const int descriptors = OpenDescriptors(pid);
    if (descriptors >= 0)
        figures.descriptors = descriptors;
    return figures;
}

} // namespace cvl::test
