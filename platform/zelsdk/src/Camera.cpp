#include "Camera.h"

namespace zelsdk {

namespace {
constexpr auto kEvfWarmUp = std::chrono::milliseconds(120);
constexpr auto kFramePeriod = std::chrono::milliseconds(20);
} // namespace

const char* ModelName(Model model) {
    return model == Model::Lumidrift  ? "lumidrift"
           : model == Model::Unusable ? "unusable"
                                      : "standard";
}

bool ParseModel(const std::string& text, Model& model) {
    if (text == "standard")
        model = Model::Standard;
    else if (text == "lumidrift")
        model = Model::Lumidrift;
    else if (text == "unusable")
        model = Model::Unusable;
    else
        return false;
    return true;
}

const char* Camera::Description() const {
    return model == Model::Lumidrift  ? "Orvak Lumidrift S20"
           : model == Model::Unusable ? "Orvak Archive 2"
                                      : "Orvak Meridian 80";
}

ZelError Camera::SessionError() const {
    if (!attached)
        return ZEL_ERR_DEVICE_NOT_FOUND;
    if (!session)
        return ZEL_ERR_SESSION_NOT_OPEN;
    return ZEL_ERR_OK;
}

bool Camera::HasProperty(uint32_t property) const {
    return property == ZEL_PROP_SAVE_TARGET || property == ZEL_PROP_EVF_OUTPUT ||
           (property == ZEL_PROP_LENS_BARREL && model == Model::Lumidrift) ||
           controls.Has(property);
}

uint32_t Camera::Property(uint32_t property) const {
    return property == ZEL_PROP_SAVE_TARGET   ? saveTarget
           : property == ZEL_PROP_EVF_OUTPUT  ? evfOutput
           : property == ZEL_PROP_LENS_BARREL ? lens
                                              : controls.Get(property);
}

void Camera::StartLiveView(Clock::time_point now) {
    evfOn = true;
    evfStart = now;
    lastServed = -1;
}

bool Camera::NewFrame(Clock::time_point now, int64_t& frame) const {
    auto since = now - evfStart - kEvfWarmUp;
    int64_t produced = since < Clock::duration::zero() ? -1 : since / kFramePeriod;
    if (produced <= lastServed)
        return false;
    frame = produced;
    return true;
}

void Camera::EndSession() {
    session = false;
    evfOn = false;
    evfOutput &= ~ZEL_EVF_OUTPUT_HOST;
    lens = 0;
}

} // namespace zelsdk
