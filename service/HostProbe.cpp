#include "HostProbe.h"

#include "Logger.h"

#include <cstdio>
#include <new>

namespace {

// Appends chunk to text; false when the text cannot grow. The standard
// library reports that only by an exception, which ends here.
bool Append(std::string& text, const char* chunk) {
    try {
        text += chunk;
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

} // namespace

std::string exec(const char* command) {
    std::string result;
    FILE* pipe = popen(command, "r");
    if (!pipe) {
        g_logger.Log("error opening pipe");
        return result;
    }
    char buffer[256];
    bool readFailed = false;
    while (fgets(buffer, sizeof buffer, pipe)) {
        if (!Append(result, buffer)) {
            readFailed = true;
            break;
        }
    }
    if (readFailed || ferror(pipe))
        g_logger.Log("error reading pipe");
    pclose(pipe);
    return result;
}

bool EnableSandboxMode() {
    const std::string status = exec("csrutil status");
    g_logger.Log(status);
    if (status.find("disabled") != std::string::npos) {
        g_logger.Log("SIP is disabled");
        g_logger.Log("sandbox mode enabled");
        return true;
    }
    const std::string version = exec("sw_vers");
    g_logger.Log(version);
    if (version.find("10.13") != std::string::npos) {
        g_logger.Log("running High Sierra");
        g_logger.Log("sandbox mode enabled");
        return true;
    }
    g_logger.Log("sandbox mode disabled");
    return false;
}
