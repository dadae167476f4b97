#include "FrameSource.h"

#include "LookRenderer.h"

#include "imaging/JpegDecoder.h"
#include "imaging/JpegEncoder.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <dirent.h>

namespace zelsdk {

struct FrameSource::LookCache {
    Look look;
    std::vector<std::shared_ptr<const Bytes>> pictures;
};

FrameSource::FrameSource() : m_lookCache(std::make_unique<LookCache>()) {}

FrameSource::~FrameSource() = default;

void FrameSource::Configure(int width, int height, const std::string& folder) {
    m_width = width;
    m_height = height;
    m_folder = folder;
    // 48 pictures up to a megapixel, fewer above, to bound the memory.
    long pixels = static_cast<long>(width) * height;
    m_target = static_cast<int>(std::clamp(48L * 1000000L / std::max(pixels, 1L), 8L, 48L));
}

void FrameSource::Start() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_thread.joinable() || m_done)
        return;
    m_stop = false;
    m_thread = std::thread([this] { Run(); });
}

void FrameSource::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    if (m_thread.joinable())
        m_thread.join();
}

std::shared_ptr<const FrameSource::Bytes> FrameSource::Picture(uint64_t n) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_pictures.empty())
        return nullptr;
    return m_pictures[n % m_pictures.size()];
}

std::shared_ptr<const FrameSource::Bytes> FrameSource::Picture(uint64_t n, const Look& look) {
    if (look.Neutral())
        return Picture(n);
    std::shared_ptr<const Bytes> original;
    size_t index = 0;
    bool pattern = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_pictures.empty())
            return nullptr;
        index = n % m_pictures.size();
        LookCache& cache = *m_lookCache;
        if (cache.look != look || cache.pictures.size() != m_pictures.size()) {
            cache.look = look;
            cache.pictures.assign(m_pictures.size(), nullptr);
        }
        if (cache.pictures[index])
            return cache.pictures[index];
        original = m_pictures[index];
        pattern = !m_usingFolder;
    }
    // Pattern pictures are drawn again (cheaper than decoding them); a
    // folder's are decoded. A picture that cannot be decoded goes out as it is.
    cvl::imaging::Canvas canvas(1, 1, cvl::imaging::Color{0, 0, 0});
    if (pattern)
        canvas = Pattern(static_cast<int>(index));
    else if (!cvl::imaging::DecodeJpeg(*original, canvas))
        return original;
    auto rendered =
        std::make_shared<const Bytes>(cvl::imaging::EncodeJpeg(RenderLook(canvas, look), 80));
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_lookCache->look == look && index < m_lookCache->pictures.size())
        m_lookCache->pictures[index] = rendered;
    return rendered;
}

std::string FrameSource::Describe() {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string kind = m_usingFolder ? "folder " + m_folder : "test pattern";
    return kind + " (" + std::to_string(m_pictures.size()) + " pictures ready)";
}

FrameSource::Bytes FrameSource::Stamped(const Bytes& picture, uint64_t sequence,
                                        uint64_t monotonicNs) {
    char text[96];
    int n = std::snprintf(text, sizeof text, "zelsim seq=%llu t=%llu",
                          static_cast<unsigned long long>(sequence),
                          static_cast<unsigned long long>(monotonicNs));
    Bytes out;
    out.reserve(picture.size() + static_cast<size_t>(n) + 4);
    out.insert(out.end(), picture.begin(), picture.begin() + 2);
    out.push_back(0xFF);
    out.push_back(0xFE);
    out.push_back(static_cast<uint8_t>((n + 2) >> 8));
    out.push_back(static_cast<uint8_t>((n + 2) & 0xFF));
    out.insert(out.end(), text, text + n);
    out.insert(out.end(), picture.begin() + 2, picture.end());
    return out;
}

void FrameSource::Add(Bytes bytes) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pictures.push_back(std::make_shared<const Bytes>(std::move(bytes)));
}

bool FrameSource::Stopping() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_stop;
}

void FrameSource::Run() {
    if (!m_folder.empty() && LoadFolder()) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_usingFolder = true;
        m_done = true;
        return;
    }
    for (int i = static_cast<int>(m_pictures.size()); i < m_target; ++i) {
        if (Stopping())
            return;
        Add(Draw(i));
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_done = true;
}

// Loads the folder's *.jpg and *.jpeg files in name order, skipping files
// that do not start with the JPEG SOI marker; false when none is left.
bool FrameSource::LoadFolder() {
    std::vector<std::string> names;
    if (DIR* dir = opendir(m_folder.c_str())) {
        while (dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            std::string lower = name;
            for (char& c : lower)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            auto ends = [&](const char* s) {
                size_t n = std::strlen(s);
                return lower.size() > n && lower.compare(lower.size() - n, n, s) == 0;
            };
            if (ends(".jpg") || ends(".jpeg"))
                names.push_back(name);
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        if (Stopping())
            return false;
        std::string path = m_folder + "/" + name;
        FILE* f = std::fopen(path.c_str(), "rb");
        if (!f)
            continue;
        Bytes bytes;
        uint8_t buffer[65536];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
            bytes.insert(bytes.end(), buffer, buffer + n);
        std::fclose(f);
        if (bytes.size() < 4 || bytes[0] != 0xFF || bytes[1] != 0xD8) {
            std::fprintf(stderr, "zelsim: %s is not a JPEG file, skipped\n", path.c_str());
            continue;
        }
        Add(std::move(bytes));
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_pictures.empty())
        std::fprintf(stderr, "zelsim: no JPEG files in %s, playing the test pattern\n",
                     m_folder.c_str());
    return !m_pictures.empty();
}

// Picture index of the loop: colour bars, a sweeping bar, a moving disc and
// "FRAME index", so that every picture of the loop differs.
FrameSource::Bytes FrameSource::Draw(int index) {
    return cvl::imaging::EncodeJpeg(Pattern(index), 80);
}

cvl::imaging::Canvas FrameSource::Pattern(int index) const {
    using namespace cvl::imaging;
    Canvas canvas(m_width, m_height, Color{24, 28, 40});
    const Color bars[] = {{235, 235, 235}, {235, 235, 16}, {16, 235, 235}, {16, 235, 16},
                          {235, 16, 235},  {235, 16, 16},  {16, 16, 235},  {40, 40, 40}};
    int barWidth = std::max(1, m_width / 8);
    for (int b = 0; b < 8; ++b)
        canvas.FillRect(b * barWidth, 0, barWidth, m_height / 4, bars[b]);
    double phase = static_cast<double>(index) / m_target;
    canvas.FillRect(static_cast<int>(phase * m_width), m_height / 4, std::max(4, m_width / 40),
                    m_height - m_height / 4, Color{250, 250, 250});
    int radius = std::max(4, m_height / 12);
    int cx = static_cast<int>((1.0 - phase) * (m_width - 2 * radius)) + radius;
    canvas.FillCircle(cx, m_height * 3 / 4, radius, Color{250, 140, 20});
    int scale = std::max(1, m_height / 12 / Canvas::kGlyphHeight);
    canvas.DrawTextCentred(m_height / 2 - scale * 4, "FRAME " + std::to_string(index), scale,
                           Color{255, 255, 255});
    return canvas;
}

} // namespace zelsdk
