// A consumer of the camera node inside the test process: GStreamer's
// pipewiresrc linked by WirePlumber, a caps filter that picks the format
// (MJPG or a raw one), and an appsink that gets every picture as RGB. For
// each picture it records the negotiated format and size and what it shows:
// the simulator's colour bars or one of the installation's status pictures.
#ifndef CVL_TESTS_HOSTS_PIPEWIRE_NODECONSUMER_H
#define CVL_TESTS_HOSTS_PIPEWIRE_NODECONSUMER_H

#include "Picture.h"

#include <gst/gst.h>
#include <pthread.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace cvl::test {

enum class Shown { Bars, Waiting, Busy, NoCamera, Other };

const char* ShownName(Shown shown);

struct Consumed {
    std::string format; // "MJPG" or the raw format's name
    int width = 0;
    int height = 0;
    Shown shown = Shown::Other;
    // An MJPG frame that still carries the camera's stamp: passed through.
    bool stamped = false;
    // An MJPG frame that ends with its end-of-image marker (not cut short).
    bool whole = true;
};

class NodeConsumer {
public:
    // caps: "image/jpeg" or "video/x-raw,format=I420" and the like. A
    // stalled consumer links and then takes nothing: its sink is never read.
    explicit NodeConsumer(const std::string& caps, bool stalled = false);
    // An I420 consumer that reads each buffer itself, at whichever of sizes
    // its length fits, whatever size the caps still say: for a size change
    // that GStreamer's source may not pass on as new caps.
    explicit NodeConsumer(const std::vector<std::pair<int, int>>& sizes);
    // Stops the pipeline.
    ~NodeConsumer();
    NodeConsumer(const NodeConsumer&) = delete;
    NodeConsumer& operator=(const NodeConsumer&) = delete;

    bool Play();
    // Leaves the pipeline paused: linked, taking nothing.
    bool Pause();
    void Stop();

    std::vector<Consumed> Frames();
    size_t Count();
    // What left the PipeWire source, whether or not a picture came of it:
    // the buffers and the formats they carried.
    size_t SourceBuffers();
    std::vector<std::string> SourceFormats();
    std::string Error();
    // Until condition holds on the recorded pictures (polled).
    bool WaitFor(const std::function<bool(const std::vector<Consumed>&)>& condition,
                 std::chrono::milliseconds timeout = std::chrono::seconds(30));
    // Until a picture after the first `after` ones shows shown.
    bool WaitForShown(Shown shown, size_t after = 0,
                      std::chrono::milliseconds timeout = std::chrono::seconds(30));

private:
    static GstFlowReturn NewSample(GstElement* sink, gpointer self);
    static GstPadProbeReturn SourceBuffer(GstPad* pad, GstPadProbeInfo* info, gpointer self);

    // read: the sink hands every picture to NewSample.
    void Build(const std::string& description, bool read);

    GstElement* m_pipeline = nullptr;
    std::vector<std::pair<int, int>> m_sizes;
    pthread_mutex_t m_mutex = PTHREAD_MUTEX_INITIALIZER;
    std::vector<Consumed> m_frames;
    // What the source's pad carries now.
    std::string m_format;
    bool m_lastStamped = false;
    bool m_lastWhole = true;
    size_t m_sourceBuffers = 0;
    std::vector<std::string> m_sourceFormats;
};

// What picture shows, by the simulator's bars and the installation's status
// pictures (compared at the picture's size).
Shown Classify(const Picture& picture);

} // namespace cvl::test

#endif
