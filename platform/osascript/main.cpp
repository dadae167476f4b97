// osascript: runs one AppleScript statement given with -e.
//
// Only the statement that runs a shell command as administrator is
// understood:
//
//     do shell script "<command>" with administrator privileges
//
// The command text is an AppleScript string: \" stands for a double quote,
// \\ for a backslash, \n, \r and \t for a line feed, carriage return and tab;
// any other backslash sequence is an error. The command runs with /bin/sh
// and its exit status becomes osascript's. Anything else is reported on
// standard error with status 1, and nothing is run.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

class StatementParser {
public:
    explicit StatementParser(const std::string& text) : m_text(text) {}

    // On success command holds the decoded shell command.
    bool Parse(std::string& command, std::string& error) {
        SkipBlanks();
        if (!Word("do") || !Blanks() || !Word("shell") || !Blanks() || !Word("script") ||
            !Blanks()) {
            error = "expected \"do shell script\"";
            return false;
        }
        if (!String(command, error))
            return false;
        if (!Blanks() || !Word("with") || !Blanks() || !Word("administrator") || !Blanks() ||
            !Word("privileges")) {
            error = "expected \"with administrator privileges\" after the command text";
            return false;
        }
        SkipBlanks();
        if (m_position != m_text.size()) {
            error = "unexpected text after \"with administrator privileges\"";
            return false;
        }
        return true;
    }

private:
    static bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

    void SkipBlanks() {
        while (m_position < m_text.size() && IsBlank(m_text[m_position]))
            ++m_position;
    }

    // At least one blank.
    bool Blanks() {
        const size_t start = m_position;
        SkipBlanks();
        return m_position > start;
    }

    bool Word(const char* word) {
        const size_t length = std::strlen(word);
        if (m_text.compare(m_position, length, word) != 0)
            return false;
        m_position += length;
        return true;
    }

    bool String(std::string& value, std::string& error) {
        if (m_position >= m_text.size() || m_text[m_position] != '"') {
            error = "expected a quoted command text after \"do shell script\"";
            return false;
        }
        ++m_position;
        value.clear();
        while (m_position < m_text.size()) {
            const char c = m_text[m_position++];
            if (c == '"')
                return true;
            if (c != '\\') {
                value += c;
                continue;
            }
            if (m_position >= m_text.size())
                break;
            const char escaped = m_text[m_position++];
            switch (escaped) {
            case '"':
            case '\\':
                value += escaped;
                break;
            case 'n':
                value += '\n';
                break;
            case 'r':
                value += '\r';
                break;
            case 't':
                value += '\t';
                break;
            default:
                error = std::string("unknown escape \"\\") + escaped + "\" in the command text";
                return false;
            }
        }
        error = "the command text is not terminated by a double quote";
        return false;
    }

    const std::string m_text;
    size_t m_position = 0;
};

int Usage() {
    std::fprintf(stderr, "usage: osascript -e 'do shell script \"<command>\" with administrator "
                         "privileges'\n");
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3 || std::strcmp(argv[1], "-e") != 0)
        return Usage();

    std::string command;
    std::string error;
    StatementParser parser(argv[2]);
    if (!parser.Parse(command, error)) {
        std::fprintf(stderr, "osascript: syntax error: %s\n", error.c_str());
        return 1;
    }
    std::fflush(nullptr);
    execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    std::fprintf(stderr, "osascript: cannot run /bin/sh: %s\n", std::strerror(errno));
    return 1;
}
