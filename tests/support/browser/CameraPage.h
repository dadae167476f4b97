// The test page that captures a camera in a browser (camera-page.html),
// served by a PageServer, and what it reports read back as a CameraView.
#ifndef CVL_TESTS_SUPPORT_BROWSER_CAMERAPAGE_H
#define CVL_TESTS_SUPPORT_BROWSER_CAMERAPAGE_H

#include "PageServer.h"
#include "Picture.h"

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace cvl::test {

// One report of the page.
struct CameraView {
    int sequence = 0;
    std::string phase; // "starting", "asking", "playing" or "error"
    int attempts = 0;  // getUserMedia calls (a camera not found yet is asked for again)
    std::string error; // the getUserMedia error, "Name: message"
    std::vector<std::string> labels; // every camera's label
    std::string label;               // the captured track's label
    int width = 0;                   // the video's size as played
    int height = 0;
    int frames = 0;     // frame callbacks the page got so far
    int presented = 0;  // frames the browser presented since the first (some
                        // without a callback when the page was busy)
    int distinct = 0;   // callbacks whose picture differed from the one before
    double seconds = 0; // from the first of them to the last
    Picture picture;    // the picture sampled on the page's grid
    std::string agent;

    bool Playing() const { return phase == "playing"; }
    // Phase, attempts, error, label, size and frames in one line, for a
    // failing test's message.
    std::string Summary() const;
    // Frames presented per second between an earlier view and this one.
    double RateSince(const CameraView& earlier) const;
    // New pictures per second between an earlier view and this one.
    double DistinctRateSince(const CameraView& earlier) const;
};

CameraView ReadCameraView(const PageReport& report);

class CameraPage {
public:
    // Adds the page to server as /camera.html.
    explicit CameraPage(PageServer& server);

    // The page's URL; width and height (when above 0) are the size asked
    // for, hold makes its load wait for PageServer::ReleaseHold.
    std::string Url(int width = 0, int height = 0, bool hold = false) const;
    // Until a report after the first `after` satisfies accept, or timeout;
    // the view (sequence 0 when none came).
    CameraView WaitForView(const std::function<bool(const CameraView&)>& accept,
                           std::chrono::milliseconds timeout, size_t after = 0) const;
    // Reports received so far.
    size_t Reports() const { return m_server.Reports().size(); }
    // The newest view, or an empty one.
    CameraView Latest() const;

private:
    PageServer& m_server;
};

} // namespace cvl::test

#endif
