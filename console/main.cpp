// The diagnostic console: a menu on the terminal to follow the service log,
// close the service, and start or stop a sandbox-mode stream. It talks to the
// service through one CVLClient and never receives frames itself.
#include "CVLClient.h"
#include "CVLPaths.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

void WriteLine(const char* text) {
    std::fputs(text, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void WriteMenu() {
    WriteLine("menu:");
    WriteLine("(l) view log");
    WriteLine("(q) quit");
    WriteLine("(r) restart corvalink service");
    WriteLine("(s) start session (sandbox mode)");
    WriteLine("(t) stop session (sandbox mode)");
    std::fputs("> ", stdout);
    std::fflush(stdout);
}

// The path as one shell word: unchanged when it holds only plain characters
// (so the installed path gives the command exactly), quoted otherwise.
std::string ShellWord(const std::string& path) {
    bool plain = !path.empty();
    for (char c : path) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '/' || c == '.' || c == '_' || c == '-' ||
                        c == '+' || c == ',';
        plain = plain && ok;
    }
    if (plain)
        return path;
    std::string quoted = "'";
    for (char c : path)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// Shows the last 100 lines of the service log and follows it until the
// operator interrupts it; an interrupt ends the viewer only, since the shell
// call keeps the console itself from taking it.
void ViewLog() {
    const std::string command = "tail -f -n100 " + ShellWord(CVLResolvePath(CVL_PATH_LOG));
    const int status = std::system(command.c_str());
    (void)status; // the viewer shows its own failures
}

} // namespace

int main() {
    CVLClient client;
    bool running = true;
    while (running) {
        WriteMenu();
        const int key = std::getchar();
        switch (key) {
        case 'l':
            ViewLog();
            break;
        case EOF: // the end of the input ends the console as q does
        case 'q':
            running = false;
            break;
        case 'r':
            client.CloseService();
            break;
        case 's':
            client.StartStreamingSandboxMode();
            break;
        case 't':
            client.StopStreamingSandboxMode();
            break;
        default:
            break;
        }
        // The end of the line typed after the key, whatever it is.
        std::getchar();
        WriteLine("");
    }
    WriteLine("done");
    return 0;
}
