// The camera page in a headless browser until its capture has started. A
// capture that the browser's own thread check ended
// (HeadlessBrowser::CaptureCheckFailed) is started again in a new run, at
// most kCaptureStarts times in all, and each such start is printed; any
// other error is the view's to report.
#ifndef CVL_TESTS_SUPPORT_BROWSER_CAMERARUN_H
#define CVL_TESTS_SUPPORT_BROWSER_CAMERARUN_H

#include "CameraPage.h"
#include "HeadlessBrowser.h"

#include <chrono>
#include <functional>
#include <string>

namespace cvl::test {

constexpr int kCaptureStarts = 3;

// Opens url and waits for a view that accept takes or that has an error.
CameraView OpenCameraPage(HeadlessBrowser& browser, const CameraPage& page, const std::string& url,
                          const std::function<bool(const CameraView&)>& accept,
                          std::chrono::milliseconds timeout);

// Chromium only: a PNG of url, a page that loads /hold (CameraPage::Url with
// hold), whose hold is released once a view satisfies ready or has an
// error. False when no picture was taken.
bool ScreenshotCameraPage(HeadlessBrowser& browser, PageServer& server, const CameraPage& page,
                          const std::string& url,
                          const std::function<bool(const CameraView&)>& ready,
                          const std::string& pngPath, int width, int height);

} // namespace cvl::test

#endif
