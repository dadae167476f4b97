// The simulated camera: its model, its state in a session and the event
// handlers registered on it. One Camera is one plug-in: plugging a camera in
// again makes a new one, so references to the old one stay unplugged.
#ifndef ZELSDK_SRC_CAMERA_H
#define ZELSDK_SRC_CAMERA_H

#include "Controls.h"

#include <ZelSDK/ZelSDK.h>

#include <chrono>
#include <cstdint>
#include <string>

// The simulator's internals stay out of the library's exported symbols, as
// the process that loads the SDK has C++ symbols of its own.
namespace [[gnu::visibility("hidden")]] zelsdk {

using Clock = std::chrono::steady_clock;

enum class Model { Standard, Lumidrift, Unusable };

// The name zelsim and ZELSIM_CAMERA use for a model ("standard", ...).
const char* ModelName(Model model);
bool ParseModel(const std::string& text, Model& model);

// How long the camera takes to answer: the property event after a live-view
// write, and the lens barrel after the remote-shooting command.
constexpr auto kEvfEventDelay = std::chrono::milliseconds(40);
constexpr auto kLensDelay = std::chrono::milliseconds(100);
// How long a settings write and an autofocus take, inside the call.
constexpr auto kSettingDelay = std::chrono::milliseconds(20);
constexpr auto kAutofocusDelay = std::chrono::milliseconds(100);

struct Camera {
    // The device record's description text ("Orvak ...") and usable field.
    const char* Description() const;
    uint32_t Usable() const { return model == Model::Unusable ? 0 : 1; }

    // What a call that needs a session gets: device not found when the
    // camera is unplugged, session not open without one, else 0.
    ZelError SessionError() const;

    // Whether the property exists on this model (with or without a session).
    bool HasProperty(uint32_t property) const;
    uint32_t Property(uint32_t property) const;

    // Starts the live-view frame clock: the first frame comes after a warm-up,
    // then one every frame period.
    void StartLiveView(Clock::time_point now);
    // The number of the newest frame produced by now, when it is newer than
    // the last one served (lastServed); false when no new frame is there.
    bool NewFrame(Clock::time_point now, int64_t& frame) const;
    // Ending the session ends live view and remote shooting, without events.
    void EndSession();

    Model model = Model::Standard;
    bool attached = true;
    uint64_t cameraId = 0; // object id of its camera reference, 0 when none
    ZelPropertyEventHandler propertyHandler = nullptr;
    void* propertyContext = nullptr;
    ZelObjectEventHandler objectHandler = nullptr;
    void* objectContext = nullptr;
    ZelStateEventHandler stateHandler = nullptr;
    void* stateContext = nullptr;
    bool session = false;
    uint32_t saveTarget = 0;
    uint32_t evfOutput = 0;
    bool evfOn = false;
    Clock::time_point evfStart;
    int64_t lastServed = -1;
    uint32_t lens = 0;
    // The settings and the focus; replaced by the model's when plugged in.
    Controls controls{Model::Standard, 960, 640};
};

} // namespace gnu::visibility("hidden")]]zelsdk

#endif
