// Running GStreamer pipelines with cvlsrc inside a test process: GStreamer
// set up to find the element in the test's staged installation and only the
// few system plug-ins the tests use (a registry of the test's own), and a
// pipeline whose appsink "sink" records every buffer and whose bus records
// cvlsrc's status messages.
#ifndef CVL_TESTS_HOSTS_GSTREAMER_GSTTESTSUPPORT_H
#define CVL_TESTS_HOSTS_GSTREAMER_GSTTESTSUPPORT_H

#include "ServiceHarness.h"

#include <gst/gst.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <pthread.h>
#include <sys/types.h>
#include <string>
#include <vector>

namespace cvl::test {

// The staged installation's plug-in folder.
std::string GstPluginFolder();
// The environment for a GStreamer tool that loads cvlsrc from the staged
// installation: variable assignments for the shell, with the sanitizer
// runtime of this build preloaded when the element is built with one.
std::string GstToolEnvironment();
// Starts "sh -c command" in the background with its output going to
// logFile; the caller kills and reaps it (KillAndReap). -1 when it could not
// be started.
pid_t SpawnShell(const std::string& command, const std::string& logFile);
// Waits up to timeout for the child to end; its exit status, or -1.
int WaitForChild(pid_t& pid, std::chrono::milliseconds timeout);

// Stages the installation (if nothing did yet), points GStreamer at it and
// initialises GStreamer once per process.
void InitGStreamer();

struct Buffer {
    int width = 0;
    int height = 0;
    GstClockTime pts = GST_CLOCK_TIME_NONE;
    FrameKind kind = FrameKind::Other;
    uint64_t sequence = 0; // of a live frame
    int sink = 0;          // 0 for the appsink "sink", n for "sink<n>"
    std::chrono::steady_clock::time_point arrived;
};

class Pipeline {
public:
    // gst_parse_launch of the description; the appsinks named "sink" and
    // "sink1" to "sink3" in it have their buffers recorded.
    explicit Pipeline(const std::string& description);
    // Sets the pipeline to NULL.
    ~Pipeline();
    Pipeline(const Pipeline&) = delete;
    Pipeline& operator=(const Pipeline&) = delete;

    bool Valid() const { return m_pipeline != nullptr; }
    GstElement* Element() const { return m_pipeline; }
    bool Play();
    // Sets NULL; false when that did not finish within the bound.
    bool Stop(std::chrono::milliseconds bound = std::chrono::seconds(10));
    void SendEos();

    // The buffers of "sink" (0) or "sink<n>".
    std::vector<Buffer> Buffers(int sink = 0);
    size_t BufferCount();
    // The "status" fields of the cvlsrc status messages, in order.
    std::vector<std::string> Statuses();
    // Their "state" fields (why there is no live picture), in order.
    std::vector<std::string> States();
    bool SawEos();
    std::string Error();
    // The warnings posted on the bus: their message, a blank and their debug text.
    std::vector<std::string> Warnings();
    // The bytes of the newest live frame of "sink".
    std::string NewestLiveJpeg();

    // Until condition holds on the recorded buffers (polled).
    bool WaitForBuffers(const std::function<bool(const std::vector<Buffer>&)>& condition,
                        std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // Until the last status message is status.
    bool WaitForStatus(const std::string& status,
                       std::chrono::milliseconds timeout = std::chrono::seconds(20));

    // Until the last status message's state is state.
    bool WaitForState(const std::string& state,
                      std::chrono::milliseconds timeout = std::chrono::seconds(20));

private:
    static GstFlowReturn NewSample(GstElement* sink, gpointer self);
    static GstBusSyncReply OnMessage(GstBus* bus, GstMessage* message, gpointer self);

    GstElement* m_pipeline = nullptr;
    pthread_mutex_t m_mutex = PTHREAD_MUTEX_INITIALIZER;
    std::vector<Buffer> m_buffers;
    std::vector<std::string> m_statuses;
    std::vector<std::string> m_states;
    bool m_eos = false;
    std::string m_error;
    std::vector<std::string> m_warnings;
    std::string m_newestLive;
};

// Live buffers with distinct sequence numbers among buffers.
size_t DistinctLive(const std::vector<Buffer>& buffers);

} // namespace cvl::test

#endif
