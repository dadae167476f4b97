#include "PlainCameraNode.h"

#include <cstdio>

namespace cvl::test {

PlainCameraNode::PlainCameraNode(const DesktopSession& session, PlainCameraNodeOptions options)
    : m_session(session), m_options(std::move(options)) {}

bool PlainCameraNode::Start() {
    char colour[16];
    std::snprintf(colour, sizeof colour, "0xff%06x", m_options.colour & 0xffffffu);
    const std::string caps = "video/x-raw,format=" + m_options.format +
                             ",width=" + std::to_string(m_options.width) +
                             ",height=" + std::to_string(m_options.height) +
                             ",framerate=" + std::to_string(m_options.framesPerSecond) + "/1";
    // gst-launch joins its arguments and parses them again: the quotes keep
    // the description one value.
    const std::string properties =
        "stream-properties=\"props,media.class=Video/Source,media.role=Camera,"
        "node.description=\\\"" +
        m_options.description + "\\\"\"";
    static int runs = 0;
    const std::string log = m_session.Folder() + "/plain-node-" + std::to_string(++runs) + ".log";
    if (!m_process.Start({"gst-launch-1.0", "videotestsrc", "is-live=true", "pattern=solid-color",
                          std::string("foreground-color=") + colour, "!", caps, "!", "pipewiresink",
                          "mode=provide", properties},
                         m_session.FullClientEnvironment(), log))
        return false;
    return m_session.WaitForNode(m_options.description) && m_process.Running();
}

} // namespace cvl::test
