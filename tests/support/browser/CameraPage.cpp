#include "CameraPage.h"

#include "TestSupport.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace cvl::test {

namespace {

Picture DecodeGrid(const std::string& grid, const std::string& hex) {
    Picture picture;
    int columns = 0;
    int rows = 0;
    if (std::sscanf(grid.c_str(), "%dx%d", &columns, &rows) != 2 || columns <= 0 || rows <= 0 ||
        hex.size() != static_cast<size_t>(columns) * rows * 6)
        return picture;
    picture.rgb.reserve(hex.size() / 2);
    for (size_t i = 0; i < hex.size(); i += 2) {
        unsigned value = 0;
        if (std::sscanf(hex.c_str() + i, "%2x", &value) != 1)
            return Picture();
        picture.rgb.push_back(static_cast<unsigned char>(value));
    }
    picture.width = columns;
    picture.height = rows;
    return picture;
}

} // namespace

double CameraView::RateSince(const CameraView& earlier) const {
    const double span = seconds - earlier.seconds;
    return span > 0 ? std::max(presented - earlier.presented, frames - earlier.frames) / span : 0;
}

double CameraView::DistinctRateSince(const CameraView& earlier) const {
    const double span = seconds - earlier.seconds;
    return span > 0 ? (distinct - earlier.distinct) / span : 0;
}

std::string CameraView::Summary() const {
    if (sequence == 0)
        return "the page reported nothing";
    return "report " + std::to_string(sequence) + ": phase " + phase + ", " +
           std::to_string(attempts) + " getUserMedia calls" +
           (error.empty() ? "" : ", error \"" + error + "\"") + ", label \"" + label + "\", " +
           std::to_string(width) + "x" + std::to_string(height) + ", " + std::to_string(frames) +
           " frames (" + std::to_string(presented) + " presented, " + std::to_string(distinct) +
           " new pictures) in " + std::to_string(seconds) + " s";
}

CameraView ReadCameraView(const PageReport& report) {
    CameraView view;
    view.sequence = static_cast<int>(report.Number("sequence", 0));
    view.phase = report.Get("phase");
    view.attempts = static_cast<int>(report.Number("attempts", 0));
    view.error = report.Get("error");
    std::istringstream labels(report.Get("labels"));
    std::string label;
    while (std::getline(labels, label, '|'))
        view.labels.push_back(label);
    view.label = report.Get("label");
    view.width = static_cast<int>(report.Number("width", 0));
    view.height = static_cast<int>(report.Number("height", 0));
    view.frames = static_cast<int>(report.Number("frames", 0));
    view.presented = static_cast<int>(report.Number("presented", 0));
    view.distinct = static_cast<int>(report.Number("distinct", 0));
    view.seconds = report.Number("ms", 0) / 1000.0;
    view.picture = DecodeGrid(report.Get("grid"), report.Get("pixels"));
    view.agent = report.Get("agent");
    return view;
}

CameraPage::CameraPage(PageServer& server) : m_server(server) {
    std::string page;
    ReadFile(SourceDir() + "/tests/support/browser/camera-page.html", page);
    m_server.AddFile("/camera.html", "text/html; charset=utf-8", page);
}

std::string CameraPage::Url(int width, int height, bool hold) const {
    std::string query;
    if (width > 0)
        query += "&w=" + std::to_string(width);
    if (height > 0)
        query += "&h=" + std::to_string(height);
    if (hold)
        query += "&hold=1";
    if (!query.empty())
        query[0] = '?';
    return m_server.Url("/camera.html" + query);
}

CameraView CameraPage::WaitForView(const std::function<bool(const CameraView&)>& accept,
                                   std::chrono::milliseconds timeout, size_t after) const {
    const PageReport report = m_server.WaitForReport(
        [&](const PageReport& candidate) { return accept(ReadCameraView(candidate)); }, timeout,
        after);
    return report.fields.empty() ? CameraView() : ReadCameraView(report);
}

CameraView CameraPage::Latest() const {
    const std::vector<PageReport> reports = m_server.Reports();
    return reports.empty() ? CameraView() : ReadCameraView(reports.back());
}

} // namespace cvl::test
