#include "Settings.h"

#include "Camera.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace zelsdk {

bool ParseU32(const std::string& text, uint32_t& value) {
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (errno || *end || text[0] == '-' || v > 0xffffffffull)
        return false;
    value = static_cast<uint32_t>(v);
    return true;
}

void Settings::Read(FailureInjector& failures) {
    const char* camera = std::getenv("ZELSIM_CAMERA");
    startCamera = camera ? camera : "standard";
    Model model;
    if (startCamera != "none" && !ParseModel(startCamera, model)) {
        std::fprintf(stderr, "zelsim: ZELSIM_CAMERA=%s unknown, using standard\n", camera);
        startCamera = "standard";
    }
    if (const char* size = std::getenv("ZELSIM_SIZE")) {
        int w = 0, h = 0;
        char extra = 0;
        if (std::sscanf(size, "%dx%d%c", &w, &h, &extra) == 2 && w >= 16 && h >= 16 && w <= 8192 &&
            h <= 8192) {
            width = w;
            height = h;
        } else {
            std::fprintf(stderr, "zelsim: ZELSIM_SIZE=%s invalid, using 960x640\n", size);
        }
    }
    const char* frames = std::getenv("ZELSIM_FRAMES");
    framesFolder = frames ? frames : "";
    const char* sent = std::getenv("ZELSIM_SEND_LOG");
    sendLog = sent ? sent : "";
    if (const char* ms = std::getenv("ZELSIM_DOWNLOAD_MS")) {
        uint32_t v;
        if (ParseU32(ms, v) && v <= 10000)
            downloadMs = v;
        else
            std::fprintf(stderr, "zelsim: ZELSIM_DOWNLOAD_MS=%s invalid\n", ms);
    }
    if (const char* evf = std::getenv("ZELSIM_EVF_EVENT")) {
        const std::string when = evf;
        if (when == "before-return" || when == "after-return")
            evfEventBeforeReturn = when == "before-return";
        else
            std::fprintf(stderr, "zelsim: ZELSIM_EVF_EVENT=%s invalid, using after-return\n", evf);
    }
    if (const char* fail = std::getenv("ZELSIM_FAIL")) {
        std::stringstream list(fail);
        std::string item;
        while (std::getline(list, item, ',')) {
            size_t eq = item.find('=');
            std::string name = item.substr(0, eq);
            std::string rest = eq == std::string::npos ? "" : item.substr(eq + 1);
            size_t colon = rest.find(':');
            uint32_t code = 0, count = 1;
            bool ok = FailureInjector::IsKnownCall(name) && ParseU32(rest.substr(0, colon), code) &&
                      (colon == std::string::npos || ParseU32(rest.substr(colon + 1), count));
            if (ok)
                failures.Set(name, code, count);
            else
                std::fprintf(stderr, "zelsim: ZELSIM_FAIL entry '%s' ignored\n", item.c_str());
        }
    }
}

std::string Settings::SizeText() const {
    return std::to_string(width) + "x" + std::to_string(height);
}

} // namespace zelsdk
