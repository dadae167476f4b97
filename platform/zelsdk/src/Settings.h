// The simulator's start-up settings from the environment (ZELSIM_CAMERA,
// ZELSIM_SIZE, ZELSIM_FRAMES, ZELSIM_DOWNLOAD_MS, ZELSIM_EVF_EVENT,
// ZELSIM_FAIL, ZELSIM_SEND_LOG), read once per process. A bad value is reported on standard error
// and the default used.
#ifndef ZELSDK_SRC_SETTINGS_H
#define ZELSDK_SRC_SETTINGS_H

#include "FailureInjector.h"

#include <cstdint>
#include <string>

namespace [[gnu::visibility("hidden")]] zelsdk {

// An unsigned 32-bit number, decimal or 0x hex, as ZELSIM_* and zelsim take
// them; false for anything else.
bool ParseU32(const std::string& text, uint32_t& value);

struct Settings {
    // Reads the environment; the ZELSIM_FAIL entries go to failures.
    void Read(FailureInjector& failures);
    std::string SizeText() const;

    std::string startCamera = "standard"; // a model name, or "none"
    int width = 960;
    int height = 640;
    std::string framesFolder; // empty for the test pattern
    // A file that gets a line "<frame> <ns>" for every download: the
    // camera's frame index (the folder's picture frame % count) and the
    // stamp's time. Benchmarks that read a number in the pixels find the
    // frame's time there. Empty: none.
    std::string sendLog;
    uint32_t downloadMs = 4;
    // The live-view property event is handled before the write that switched
    // live view returns, as some cameras' drivers report it, rather than
    // 40 ms after.
    bool evfEventBeforeReturn = false;
};

} // namespace gnu::visibility("hidden")]]zelsdk

#endif
