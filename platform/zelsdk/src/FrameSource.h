// The pictures of the live view: a loop of test-pattern pictures encoded
// ahead in a background thread (so that a download never waits for the
// encoder), or the JPEG files of a folder (ZELSIM_FRAMES). It has a lock of
// its own and is used without the simulator's.
#ifndef ZELSDK_SRC_FRAMESOURCE_H
#define ZELSDK_SRC_FRAMESOURCE_H

#include "imaging/BitmapFont.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace [[gnu::visibility("hidden")]] zelsdk {

struct Look;

class FrameSource {
public:
    FrameSource();
    ~FrameSource();

    using Bytes = std::vector<uint8_t>;

    // Size of the test pattern and the folder (empty for none); before Start.
    void Configure(int width, int height, const std::string& folder);
    // Starts the encoder once; later calls, and calls once the loop is
    // complete, do nothing.
    void Start();
    // Stops the encoder; what is encoded stays for the next Start.
    void Stop();
    // Picture n of the loop, null until the first one is ready.
    std::shared_ptr<const Bytes> Picture(uint64_t n);
    // Picture n as the look shows it: the picture itself for the neutral
    // look, else changed and encoded again once, then kept while the look
    // stays (one loop's worth, for the newest look only). Called without
    // the simulator's lock: the first pass through the loop encodes.
    std::shared_ptr<const Bytes> Picture(uint64_t n, const Look& look);
    // What zelsim status shows as the source.
    std::string Describe();

    // The picture as downloaded: a COM segment "zelsim seq=<n> t=<ns>" right
    // after SOI, the rest of the bytes unchanged, so that a receiver can count
    // lost frames and measure the latency.
    static Bytes Stamped(const Bytes& picture, uint64_t sequence, uint64_t monotonicNs);

private:
    void Add(Bytes bytes);
    bool Stopping();
    void Run();
    bool LoadFolder();
    cvl::imaging::Canvas Pattern(int index) const;
    Bytes Draw(int index);

    std::mutex m_mutex;
    std::thread m_thread;
    bool m_stop = false;
    bool m_done = false;
    bool m_usingFolder = false;
    int m_width = 960, m_height = 640, m_target = 48;
    std::string m_folder;
    std::vector<std::shared_ptr<const Bytes>> m_pictures;
    // The pictures in the newest look other than the neutral one, by place
    // in the loop (null until rendered). Defined in the source: the PTP/IP
    // test camera embeds this class and sees none of the settings' types.
    struct LookCache;
    std::unique_ptr<LookCache> m_lookCache;
};

} // namespace gnu::visibility("hidden")]]zelsdk

#endif
