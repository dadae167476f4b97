#include "CameraRun.h"

#include <atomic>
#include <cstdio>
#include <thread>

namespace cvl::test {

namespace {

// Whether the run is to be started again: its capture ended on the
// browser's thread check and starts are left.
bool StartAgain(const HeadlessBrowser& browser, int start, const std::string& what) {
    if (start + 1 >= kCaptureStarts || !browser.CaptureCheckFailed())
        return false;
    std::printf("%s, start %d: the browser's PipeWire capture ended on its own thread check; "
                "starting it again\n",
                what.c_str(), start + 1);
    std::fflush(stdout);
    return true;
}

} // namespace

CameraView OpenCameraPage(HeadlessBrowser& browser, const CameraPage& page, const std::string& url,
                          const std::function<bool(const CameraView&)>& accept,
                          std::chrono::milliseconds timeout) {
    CameraView view;
    for (int start = 0; start < kCaptureStarts; ++start) {
        const size_t reports = page.Reports();
        if (!browser.Open(url))
            return view;
        view = page.WaitForView([&](const CameraView& v) { return !v.error.empty() || accept(v); },
                                timeout, reports);
        if (view.error.empty() || !StartAgain(browser, start, "camera page"))
            break;
    }
    return view;
}

bool ScreenshotCameraPage(HeadlessBrowser& browser, PageServer& server, const CameraPage& page,
                          const std::string& url,
                          const std::function<bool(const CameraView&)>& ready,
                          const std::string& pngPath, int width, int height) {
    bool taken = false;
    for (int start = 0; start < kCaptureStarts; ++start) {
        const size_t reports = page.Reports();
        server.Hold();
        std::atomic<bool> ended{false};
        std::thread release([&] {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
            while (!ended && std::chrono::steady_clock::now() < deadline) {
                const CameraView v = page.WaitForView(
                    [&](const CameraView& v) { return !v.error.empty() || ready(v); },
                    std::chrono::milliseconds(250), reports);
                if (v.sequence > 0)
                    break;
            }
            server.ReleaseHold();
        });
        std::remove(pngPath.c_str());
        taken = browser.Screenshot(url, pngPath, width, height);
        // The run has ended: its page reports nothing more.
        ended = true;
        release.join();
        if (!StartAgain(browser, start, "camera page screenshot"))
            break;
    }
    return taken;
}

} // namespace cvl::test
