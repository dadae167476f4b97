// The camera node: one PipeWire stream (output, driver) that publishes the
// camera while the program runs. It offers MJPG and raw formats at the
// live view's size, holds the service's stream only while a consumer
// streams, and hands every consumer the newest picture: a live frame, or the
// status picture that says why there is none.
#ifndef CVL_HOSTS_PIPEWIRE_CAMERANODE_H
#define CVL_HOSTS_PIPEWIRE_CAMERANODE_H

#include "CameraOptions.h"
#include "HeldBuffers.h"
#include "LinkGuard.h"
#include "NodeControls.h"
#include "RunNotice.h"

#include "cvlhost/FrameFeed.h"
#include "cvlhost/PixelLayout.h"
#include "cvlhost/StatusPictures.h"

#include <pipewire/pipewire.h>

#include <chrono>
#include <cstdint>
#include <string>

namespace cvl::camera {

using cvl::host::CapturedFrame;
using cvl::host::DecodeResult;
using cvl::host::FeedFrame;
using cvl::host::FrameFeed;
using cvl::host::FrameKind;
using cvl::host::kMaxLiveSide;
using cvl::host::PixelFormat;
using cvl::host::PlanarImage;
using cvl::host::StatusPictures;
using cvl::host::StreamState;
using cvl::host::YcbcrImage;

class CameraNode {
public:
    explicit CameraNode(const CameraOptions& options);
    // Disconnects and ends the service's stream.
    ~CameraNode();
    CameraNode(const CameraNode&) = delete;
    CameraNode& operator=(const CameraNode&) = delete;

    // Connects to the PipeWire daemon and publishes the node. kExitOk, or
    // kExitNoPipeWire / kExitFailure with a one-line reason in error.
    int Start(std::string& error);

    // Set once the node can no longer work (the daemon went away); the
    // program then ends with kExitFailure. The node sends its own process
    // SIGUSR1 when it happens.
    bool Failed(std::string& reason);

private:
    using Clock = std::chrono::steady_clock;

    // PipeWire callbacks, all on the loop's thread.
    static void OnStateChanged(void* node, pw_stream_state old, pw_stream_state state,
                               const char* error);
    static void OnParamChanged(void* node, uint32_t id, const spa_pod* param);
    static void OnProcess(void* node);
    static void OnAddBuffer(void* node, pw_buffer* buffer);
    static void OnRemoveBuffer(void* node, pw_buffer* buffer);
    static void OnCoreError(void* node, uint32_t id, int seq, int res, const char* message);
    static void OnWake(void* node, uint64_t count);
    static void OnRepeat(void* node, uint64_t expirations);
    static void OnLinger(void* node, uint64_t expirations);
    // From the feed's thread.
    static void WakeFromFeed(void* node);

    void OfferFormats(bool connect);
    void Process();
    // Fills the buffer's memory with the picture to show; the bytes written,
    // or 0 to queue nothing this time.
    size_t Fill(uint8_t* memory, size_t capacity);
    size_t FillLive(const CapturedFrame& frame, uint8_t* memory, size_t capacity);
    size_t FillStatus(FrameKind kind, uint8_t* memory, size_t capacity);
    void BadFrame(const std::string& reason);
    // True once frames of a size other than the offered one have come for
    // long enough to offer theirs.
    bool SizeSettled(int width, int height, uint64_t sequence);
    void Fail(const std::string& reason);
    void ArmTimer(spa_source* timer, std::chrono::milliseconds first,
                  std::chrono::milliseconds interval);

    CameraOptions m_options;
    pw_thread_loop* m_loop = nullptr;
    pw_context* m_context = nullptr;
    pw_core* m_core = nullptr;
    pw_stream* m_stream = nullptr;
    spa_hook m_coreListener{};
    spa_hook m_streamListener{};
    spa_source* m_wake = nullptr;
    spa_source* m_repeat = nullptr;
    spa_source* m_linger = nullptr;

    // Everything below belongs to the loop's thread.
    int m_offerWidth;
    int m_offerHeight;
    bool m_negotiated = false;
    // A size other than the offered one, and since when frames have it.
    int m_newWidth = 0;
    int m_newHeight = 0;
    int m_newSizeFrames = 0; // of them, frames that followed each other
    int m_newSizeSeen = 0;   // of them, distinct frames the node saw
    uint64_t m_newSizeSequence = 0;
    Clock::time_point m_newSizeSince;
    PixelFormat m_format = PixelFormat::Mjpg;
    int m_width = 0;
    int m_height = 0;
    bool m_streaming = false;
    Clock::time_point m_lastQueued;
    uint32_t m_bufferSequence = 0;
    // The time of the picture in the buffer being filled.
    int64_t m_pts = 0;
    bool m_buffersReady = false;
    RunNotice m_badFrames;
    HeldBuffers m_held;
    LinkGuard m_links;
    RunNotice m_slowConsumers;
    YcbcrImage m_decoded;
    PlanarImage m_planar;
    bool m_planarReady = false;
    StatusPictures m_status;

    // Set on the loop's thread, read by the main thread.
    pthread_mutex_t m_failureMutex = PTHREAD_MUTEX_INITIALIZER;
    std::string m_failure;

    // The camera's settings as the node's PropInfo and Props.
    NodeControls m_controls;

    // Last: its thread calls WakeFromFeed, which uses the loop.
    FrameFeed m_feed;
};

} // namespace cvl::camera

#endif
