// cvl-bench-gst: runs "cvlsrc framerate=<rate>/1 ! fakesink" for a number of
// seconds and measures, for every new live frame, the time from its download
// (the simulator's stamp) to the moment the buffer leaves the element (a
// probe on cvlsrc's source pad). Ends with the same JSON line as
// cvl-view --json, plus "cpu" (this process's CPU seconds per second: the
// element, the client library and the fakesink).
//
// Usage: cvl-bench-gst [seconds] [rate]   (GST_PLUGIN_PATH names the element)
#include "EvfFrame.h"
#include "cvlhost/FrameStamp.h"
#include "cvlhost/FrameStats.h"
#include "cvlhost/StockFrames.h"

#include <gst/gst.h>

#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>

namespace {

using namespace cvl::host;

struct Probe {
    const StockFrames* stock = nullptr;
    FrameStats stats;
    bool haveLast = false;
    uint64_t lastSequence = 0;
    std::atomic<bool> measuring{false};
};

int64_t MonotonicNs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

double CpuSeconds() {
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

GstPadProbeReturn OnBuffer(GstPad*, GstPadProbeInfo* info, gpointer data) {
    const int64_t now = MonotonicNs();
    Probe* probe = static_cast<Probe*>(data);
    if (!probe->measuring)
        return GST_PAD_PROBE_OK;
    GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    GstMapInfo map;
    if (!gst_buffer_map(buffer, &map, GST_MAP_READ))
        return GST_PAD_PROBE_OK;
    EvfFrame frame;
    frame.LoadFrame(map.data, static_cast<int32_t>(map.size));
    FrameStamp stamp;
    const bool stamped = ReadFrameStamp(map.data, map.size, stamp);
    gst_buffer_unmap(buffer, &map);
    const FrameKind kind = probe->stock->Kind(frame);
    if (kind != FrameKind::Live) {
        probe->stats.RecordStatus(kind);
        return GST_PAD_PROBE_OK;
    }
    const bool unique = !stamped || !probe->haveLast || stamp.sequence != probe->lastSequence;
    probe->stats.RecordLive(unique, stamped ? &stamp : nullptr, now);
    probe->haveLast = stamped;
    probe->lastSequence = stamp.sequence;
    return GST_PAD_PROBE_OK;
}

} // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 20;
    const int rate = argc > 2 ? std::atoi(argv[2]) : 30;
    if (seconds <= 0 || rate <= 0) {
        std::fprintf(stderr, "usage: cvl-bench-gst [seconds] [rate]\n");
        return 2;
    }
    gst_init(&argc, &argv);
    const std::string description =
        "cvlsrc name=src framerate=" + std::to_string(rate) + "/1 ! fakesink sync=false";
    GError* error = nullptr;
    GstElement* pipeline = gst_parse_launch(description.c_str(), &error);
    if (!pipeline || error) {
        std::fprintf(stderr, "cvl-bench-gst: %s\n", error ? error->message : "no pipeline");
        return 1;
    }
    const StockFrames stock;
    Probe probe;
    probe.stock = &stock;
    GstElement* src = gst_bin_get_by_name(GST_BIN(pipeline), "src");
    GstPad* pad = gst_element_get_static_pad(src, "src");
    gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, &OnBuffer, &probe, nullptr);
    gst_object_unref(pad);
    gst_object_unref(src);
    gst_element_set_state(pipeline, GST_STATE_PLAYING);

    // The first live frames end the connection phase; measuring starts then.
    GstBus* bus = gst_element_get_bus(pipeline);
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    bool live = false;
    while (!live && std::chrono::steady_clock::now() < giveUp) {
        GstMessage* message = gst_bus_timed_pop(bus, 100 * GST_MSECOND);
        if (!message)
            continue;
        const GstStructure* structure = gst_message_get_structure(message);
        if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ELEMENT && structure &&
            gst_structure_has_name(structure, "cvlsrc-status")) {
            gboolean isLive = FALSE;
            gst_structure_get_boolean(structure, "live", &isLive);
            live = isLive;
        }
        gst_message_unref(message);
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const double cpuStart = CpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    probe.measuring = true;
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    probe.measuring = false;
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = (CpuSeconds() - cpuStart) / elapsed;
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(bus);
    gst_object_unref(pipeline);

    std::string json = probe.stats.SummaryJson(elapsed);
    char cpuText[64];
    std::snprintf(cpuText, sizeof cpuText, ", \"cpu\": %.4f}", cpu);
    json = json.substr(0, json.rfind('}')) + cpuText;
    std::printf("%s\n", json.c_str());
    return live ? 0 : 1;
}
