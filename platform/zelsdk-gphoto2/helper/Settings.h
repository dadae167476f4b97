// The SDK's camera settings and focus commands for one camera in a session,
// on libgphoto2's configuration widgets under the names its drivers give
// them ("iso", "f-number", "shutterspeed", ...; see Settings.cpp). A widget's
// choices are the setting's allowed values: a set picks the choice that
// stands for the value, so that the text written is the driver's own.
//
// libgphoto2 keeps a camera property's description for up to two seconds, so
// a value read right after the camera reported a change may be the old one:
// each change seen is read again once that time has passed, and reported a
// second time when it differs. The event a camera sends for the host's own
// write is no change to report.
#ifndef ZELSDK_GPHOTO2_SETTINGS_H
#define ZELSDK_GPHOTO2_SETTINGS_H

#include <gphoto2/gphoto2-camera.h>
#include <gphoto2/gphoto2-context.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace zelgp {

// What libgphoto2 told the context's error function during a call: its
// driver reports a write the camera refused only there (a single write that
// fails returns "not found" whatever the camera answered).
struct ContextErrors {
    std::vector<std::string> messages;
};

class Settings {
public:
    Settings(Camera* camera, GPContext* context, ContextErrors* errors)
        : m_camera(camera), m_context(context), m_errors(errors) {}
    // The session was opened again on a new Camera.
    void Rebind(Camera* camera) { m_camera = camera; }

    static bool IsSetting(uint32_t property);
    static bool IsCommand(uint32_t command);

    // Each answers an SDK error code; lost is set when libgphoto2 found the
    // connection broken.
    uint32_t Get(uint32_t property, uint32_t& value, bool& lost);
    uint32_t Set(uint32_t property, uint32_t value, bool& lost);
    uint32_t Describe(uint32_t property, std::vector<uint32_t>& values, bool& lost);
    uint32_t Command(uint32_t command, int32_t parameter, bool& lost);

    // A libgphoto2 event's text ("PTP Property 500f changed, ..."): the
    // setting it names, or 0, and a second look at it later.
    uint32_t Noticed(const char* text);
    // The settings seen changed whose second look is due and shows another
    // value than the first.
    void Recheck(std::vector<uint32_t>& changed, bool& lost);
    // A setting changed in the last few seconds: a preview that fails now
    // may come from a body that left live view for it.
    bool ChangedRecently() const;
    // Live view was brought back for the last change: once is enough.
    void ForgetChange() { m_lastChange = {}; }

private:
    struct Found;
    struct Written {
        uint32_t property = 0;
        uint32_t value = 0;
        std::chrono::steady_clock::time_point at;
    };
    struct Pending {
        uint32_t property = 0;
        std::chrono::steady_clock::time_point due;
        bool known = false;
        uint32_t value = 0;
    };
    // The widget of the setting or command: 0 and the widget, or an SDK
    // error (ZEL_ERR_PROPERTY_UNAVAILABLE when the camera has none).
    uint32_t Find(uint32_t id, bool command, Found& found, bool& lost);
    uint32_t Read(uint32_t property, const Found& found, uint32_t& value);
    uint32_t Write(Found& found, bool& lost);
    uint32_t Error(int result, bool& lost);
    uint32_t Autofocus(Found& found, bool& lost);
    uint32_t DriveFocus(Found& found, int32_t parameter, bool& lost);

    Camera* m_camera;
    GPContext* m_context;
    ContextErrors* m_errors;
    // Canon's zoom widget is written, never read: the value last written.
    uint32_t m_zoom = 1;
    std::chrono::steady_clock::time_point m_lastChange{};
    std::vector<Pending> m_pending;
    // The host's own recent writes, whose events the camera echoes.
    std::vector<Written> m_written;
};

} // namespace zelgp

#endif
