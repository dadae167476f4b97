// The helper's side of the backend: libgphoto2's context, its camera
// drivers and the sessions open in it, one per port, driven by the library's
// requests one at a time. Everything libgphoto2 does to descriptors, memory
// and signals stays in this process.
#ifndef ZELSDK_GPHOTO2_HELPER_H
#define ZELSDK_GPHOTO2_HELPER_H

#include "Settings.h"
#include "Wire.h"

#include <gphoto2/gphoto2-abilities-list.h>
#include <gphoto2/gphoto2-camera.h>
#include <gphoto2/gphoto2-context.h>
#include <gphoto2/gphoto2-port-info-list.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace zelgp {

class Helper {
public:
    Helper();
    ~Helper();
    Helper(const Helper&) = delete;
    Helper& operator=(const Helper&) = delete;

    bool Ready() const { return m_context && m_abilities; }
    // One request body in, one answer body out; false for a request that
    // is not one (the helper then ends).
    bool Serve(const std::vector<uint8_t>& request, WireWriter& answer);
    // The helper should end once this answer is out: no session is open and
    // a failed initialisation may have left descriptors or memory behind in
    // libgphoto2, or descriptors grew past their bound.
    bool Retiring() const { return m_retiring; }

private:
    struct Outcome {
        uint32_t error = 0;
        bool lost = false;
    };

    void Detect(WireWriter& answer);
    uint32_t Open(const std::string& model, const std::string& port);
    // A new Camera for the port, initialised: a gphoto2 result.
    int Init(const std::string& model, const std::string& port, Camera*& camera);
    Outcome Viewfinder(const std::string& port, bool on);
    Outcome Download(const std::string& port, std::vector<uint8_t>& frame);
    int Preview(Camera* camera, std::vector<uint8_t>& frame);
    // Brings back live view that the body left: the viewfinder switched off
    // and on, or on a body without that setting the session opened anew.
    int RestartLiveView(const std::string& port);
    Outcome Poll(const std::string& port, std::vector<uint32_t>& changed);
    // A setting, its allowed values or a focus command (Op::GetSetting to
    // Op::Command), the answer's body into answer.
    Outcome Setting(Op op, const std::string& port, uint32_t id, uint32_t value,
                    WireWriter& answer);
    uint32_t Close(const std::string& port, bool viewfinderOff);
    void End(const std::string& port, bool polite);
    int SetViewfinder(Camera* camera, bool on);
    // Loaded anew for every detection and open: a camera plugged in since
    // sits on a port the old list does not know.
    GPPortInfoList* Ports();
    void CheckDescriptors();
    void ReportOversized(size_t size);

    GPContext* m_context = nullptr;
    CameraAbilitiesList* m_abilities = nullptr;
    GPPortInfoList* m_ports = nullptr;
    std::map<std::string, Camera*> m_sessions;
    // Of each session: its camera model, and its settings.
    std::map<std::string, std::string> m_models;
    std::map<std::string, Settings> m_settings;
    ContextErrors m_errors;
    int m_baseDescriptors = 0;
    bool m_retiring = false;
    // Oversized frames: one line a burst.
    std::chrono::steady_clock::time_point m_lastReport{};
    bool m_inBurst = false;
    uint64_t m_unreported = 0;
};

// Open descriptors of this process.
int CountDescriptors();

} // namespace zelgp

#endif
