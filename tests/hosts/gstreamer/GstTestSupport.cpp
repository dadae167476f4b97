#include "GstTestSupport.h"

#include "EvfFrame.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace cvl::test {

namespace {

// The system plug-ins that the tests' pipelines use.
const char* const kSystemPlugins[] = {
    "libgstcoreelements.so",
    "libgstapp.so",
    "libgstjpeg.so",
    "libgstjpegformat.so",
    "libgstmatroska.so",
    "libgstpipewire.so",
    "libgstvideoconvertscale.so",
    // gst-discoverer-1.0
    "libgstplayback.so",
    "libgsttypefindfunctions.so",
};

std::string SystemPluginFolder() {
    static const std::string folder = [] {
        const std::string path = MakeFolder("gst-system-plugins");
        for (const char* name : kSystemPlugins) {
            const std::string from = std::string(CVL_GST_SYSTEM_PLUGINS) + "/" + name;
            if (symlink(from.c_str(), (path + "/" + name).c_str()) != 0)
                ADD_FAILURE() << "cannot link " << from;
        }
        return path;
    }();
    return folder;
}

} // namespace

std::string GstPluginFolder() {
    return InstallRoot() + "/" CVL_GST_PLUGIN_FOLDER;
}

std::string GstToolEnvironment() {
    std::string environment =
        "GST_PLUGIN_PATH_1_0=" + ShellQuote(GstPluginFolder()) +
        " GST_PLUGIN_SYSTEM_PATH_1_0=" + ShellQuote(SystemPluginFolder()) +
        " GST_REGISTRY_1_0=" + ShellQuote(TempFolder() + "/tool-registry.bin") +
        " GST_REGISTRY_FORK=no";
    const std::string runtime = CVL_SANITIZER_RUNTIME;
    // The tools and the libraries they load are not instrumented: leaks and
    // races of theirs are not this project's. The element's own threads are
    // checked in the test process.
    if (!runtime.empty())
        environment += " LD_PRELOAD=" + ShellQuote(runtime) +
                       " ASAN_OPTIONS=detect_leaks=0 TSAN_OPTIONS=report_bugs=0";
    return environment;
}

pid_t SpawnShell(const std::string& command, const std::string& logFile) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::string shell = "/bin/sh";
    std::string option = "-c";
    std::string text = command;
    char* argv[] = {shell.data(), option.data(), text.data(), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, shell.c_str(), &actions, nullptr, argv, environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

int WaitForChild(pid_t& pid, std::chrono::milliseconds timeout) {
    int status = 0;
    if (pid <= 0 || !WaitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, timeout))
        return -1;
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void InitGStreamer() {
    static const bool initialised = [] {
        if (!FileExists(GstPluginFolder() + "/libgstcvlsrc.so") &&
            !StageInstallation(InstallRoot()))
            ADD_FAILURE() << "cannot stage the installation";
        setenv("GST_PLUGIN_PATH_1_0", GstPluginFolder().c_str(), 1);
        setenv("GST_PLUGIN_SYSTEM_PATH_1_0", SystemPluginFolder().c_str(), 1);
        setenv("GST_REGISTRY_1_0", (TempFolder() + "/registry.bin").c_str(), 1);
        // The element carries this build's sanitizers: load it in this
        // process, not in the plug-in scanner.
        setenv("GST_REGISTRY_FORK", "no", 1);
        gst_init(nullptr, nullptr);
        return true;
    }();
    (void)initialised;
}

Pipeline::Pipeline(const std::string& description) {
    InitGStreamer();
    GError* error = nullptr;
    m_pipeline = gst_parse_launch(description.c_str(), &error);
    if (error) {
        ADD_FAILURE() << "pipeline " << description << ": " << error->message;
        g_error_free(error);
        if (m_pipeline)
            gst_object_unref(m_pipeline);
        m_pipeline = nullptr;
        return;
    }
    GstBus* bus = gst_element_get_bus(m_pipeline);
    gst_bus_set_sync_handler(bus, &Pipeline::OnMessage, this, nullptr);
    gst_object_unref(bus);
    for (const char* name : {"sink", "sink1", "sink2", "sink3"}) {
        GstElement* sink = gst_bin_get_by_name(GST_BIN(m_pipeline), name);
        if (!sink)
            continue;
        g_object_set(sink, "emit-signals", TRUE, "sync", FALSE, nullptr);
        g_signal_connect(sink, "new-sample", G_CALLBACK(&Pipeline::NewSample), this);
        gst_object_unref(sink);
    }
}

Pipeline::~Pipeline() {
    if (!m_pipeline)
        return;
    Stop();
    GstBus* bus = gst_element_get_bus(m_pipeline);
    gst_bus_set_sync_handler(bus, nullptr, nullptr, nullptr);
    gst_object_unref(bus);
    gst_object_unref(m_pipeline);
}

bool Pipeline::Play() {
    return m_pipeline &&
           gst_element_set_state(m_pipeline, GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE;
}

bool Pipeline::Stop(std::chrono::milliseconds bound) {
    if (!m_pipeline)
        return false;
    const auto start = std::chrono::steady_clock::now();
    gst_element_set_state(m_pipeline, GST_STATE_NULL);
    return std::chrono::steady_clock::now() - start < bound;
}

void Pipeline::SendEos() {
    gst_element_send_event(m_pipeline, gst_event_new_eos());
}

GstFlowReturn Pipeline::NewSample(GstElement* sink, gpointer data) {
    Pipeline* self = static_cast<Pipeline*>(data);
    GstSample* sample = nullptr;
    g_signal_emit_by_name(sink, "pull-sample", &sample);
    if (!sample)
        return GST_FLOW_ERROR;
    Buffer record;
    record.arrived = std::chrono::steady_clock::now();
    const std::string name = GST_ELEMENT_NAME(sink);
    record.sink = name == "sink" ? 0 : std::atoi(name.c_str() + 4);
    GstCaps* caps = gst_sample_get_caps(sample);
    if (caps && gst_caps_get_size(caps) > 0) {
        const GstStructure* structure = gst_caps_get_structure(caps, 0);
        gst_structure_get_int(structure, "width", &record.width);
        gst_structure_get_int(structure, "height", &record.height);
    }
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    record.pts = GST_BUFFER_PTS(buffer);
    GstMapInfo map;
    if (caps && gst_structure_has_name(gst_caps_get_structure(caps, 0), "image/jpeg") &&
        gst_buffer_map(buffer, &map, GST_MAP_READ)) {
        EvfFrame frame;
        frame.LoadFrame(map.data, static_cast<int32_t>(map.size));
        record.kind = KindOf(frame);
        if (record.kind == FrameKind::Live)
            FrameSequence(frame, record.sequence);
        if (record.kind == FrameKind::Live && record.sink == 0) {
            pthread_mutex_lock(&self->m_mutex);
            self->m_newestLive.assign(reinterpret_cast<const char*>(map.data), map.size);
            pthread_mutex_unlock(&self->m_mutex);
        }
        gst_buffer_unmap(buffer, &map);
    }
    gst_sample_unref(sample);
    pthread_mutex_lock(&self->m_mutex);
    self->m_buffers.push_back(record);
    pthread_mutex_unlock(&self->m_mutex);
    return GST_FLOW_OK;
}

GstBusSyncReply Pipeline::OnMessage(GstBus*, GstMessage* message, gpointer data) {
    Pipeline* self = static_cast<Pipeline*>(data);
    pthread_mutex_lock(&self->m_mutex);
    switch (GST_MESSAGE_TYPE(message)) {
    case GST_MESSAGE_ELEMENT: {
        const GstStructure* structure = gst_message_get_structure(message);
        if (structure && gst_structure_has_name(structure, "cvlsrc-status")) {
            const char* status = gst_structure_get_string(structure, "status");
            gboolean live = FALSE;
            gst_structure_get_boolean(structure, "live", &live);
            const char* state = gst_structure_get_string(structure, "state");
            if (status && (std::string(status) == "live") == (live == TRUE))
                self->m_statuses.push_back(status);
            else
                self->m_statuses.push_back("malformed");
            self->m_states.push_back(state ? state : "malformed");
        }
        break;
    }
    case GST_MESSAGE_EOS:
        self->m_eos = true;
        break;
    case GST_MESSAGE_WARNING: {
        GError* error = nullptr;
        gchar* debug = nullptr;
        gst_message_parse_warning(message, &error, &debug);
        self->m_warnings.push_back(std::string(error ? error->message : "warning") + " " +
                                   (debug ? debug : ""));
        if (error)
            g_error_free(error);
        g_free(debug);
        break;
    }
    case GST_MESSAGE_ERROR: {
        GError* error = nullptr;
        gst_message_parse_error(message, &error, nullptr);
        if (self->m_error.empty())
            self->m_error = error ? error->message : "error";
        if (error)
            g_error_free(error);
        break;
    }
    default:
        break;
    }
    pthread_mutex_unlock(&self->m_mutex);
    // A sync handler that drops a message releases it.
    gst_message_unref(message);
    return GST_BUS_DROP;
}

std::vector<std::string> Pipeline::Warnings() {
    pthread_mutex_lock(&m_mutex);
    const std::vector<std::string> warnings = m_warnings;
    pthread_mutex_unlock(&m_mutex);
    return warnings;
}

std::string Pipeline::NewestLiveJpeg() {
    pthread_mutex_lock(&m_mutex);
    const std::string jpeg = m_newestLive;
    pthread_mutex_unlock(&m_mutex);
    return jpeg;
}

std::vector<Buffer> Pipeline::Buffers(int sink) {
    pthread_mutex_lock(&m_mutex);
    std::vector<Buffer> copy;
    for (const Buffer& buffer : m_buffers)
        if (buffer.sink == sink)
            copy.push_back(buffer);
    pthread_mutex_unlock(&m_mutex);
    return copy;
}

size_t Pipeline::BufferCount() {
    return Buffers().size();
}

std::vector<std::string> Pipeline::States() {
    pthread_mutex_lock(&m_mutex);
    std::vector<std::string> copy = m_states;
    pthread_mutex_unlock(&m_mutex);
    return copy;
}

bool Pipeline::WaitForState(const std::string& state, std::chrono::milliseconds timeout) {
    return WaitFor(
        [&] {
            const std::vector<std::string> states = States();
            return !states.empty() && states.back() == state;
        },
        timeout);
}

std::vector<std::string> Pipeline::Statuses() {
    pthread_mutex_lock(&m_mutex);
    std::vector<std::string> copy = m_statuses;
    pthread_mutex_unlock(&m_mutex);
    return copy;
}

bool Pipeline::SawEos() {
    pthread_mutex_lock(&m_mutex);
    const bool eos = m_eos;
    pthread_mutex_unlock(&m_mutex);
    return eos;
}

std::string Pipeline::Error() {
    pthread_mutex_lock(&m_mutex);
    const std::string error = m_error;
    pthread_mutex_unlock(&m_mutex);
    return error;
}

bool Pipeline::WaitForBuffers(const std::function<bool(const std::vector<Buffer>&)>& condition,
                              std::chrono::milliseconds timeout) {
    return WaitFor([&] { return condition(Buffers()); }, timeout);
}

bool Pipeline::WaitForStatus(const std::string& status, std::chrono::milliseconds timeout) {
    return WaitFor(
        [&] {
            const std::vector<std::string> statuses = Statuses();
            return !statuses.empty() && statuses.back() == status;
        },
        timeout);
}

size_t DistinctLive(const std::vector<Buffer>& buffers) {
    size_t distinct = 0;
    uint64_t last = 0;
    for (const Buffer& buffer : buffers) {
        if (buffer.kind == FrameKind::Live && buffer.sequence != last) {
            ++distinct;
            last = buffer.sequence;
        }
    }
    return distinct;
}

} // namespace cvl::test
