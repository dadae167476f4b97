#include "CameraRun.h"

#include "TestSupport.h"

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

// Whether the run that writes the log at logPath has had its capture ended
// by the browser's thread check.
bool CheckFailedIn(const std::string& logPath) {
    std::string log;
    return ReadFile(logPath, log) && HeadlessBrowser::ShowsCaptureCheckFailure(log);
}

} // namespace

CameraView OpenCameraPage(HeadlessBrowser& browser, const CameraPage& page, const std::string& url,
                          const std::function<bool(const CameraView&)>& accept,
                          std::chrono::milliseconds timeout) {
    CameraView view;
    for (int start = 0; start < kCaptureStarts; ++start) {
        const size_t reports = page.Reports();
        const std::string logPath = browser.NextRunLogPath();
        if (!browser.Open(url))
            return view;
        // An abort just after the track started leaves the page playing its
        // first frame without an error: the log tells.
        view = page.WaitForView(
            [&](const CameraView& v) {
                return !v.error.empty() || accept(v) || CheckFailedIn(logPath);
            },
            timeout, reports);
        if (accept(view) || !StartAgain(browser, start, "camera page"))
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
        const std::string logPath = browser.NextRunLogPath();
        std::thread release([&] {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
            while (!ended && std::chrono::steady_clock::now() < deadline) {
                const CameraView v = page.WaitForView(
                    [&](const CameraView& v) { return !v.error.empty() || ready(v); },
                    std::chrono::milliseconds(250), reports);
                if (v.sequence > 0 || CheckFailedIn(logPath))
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
