#include "Controls.h"

#include "Camera.h"

#include <algorithm>
#include <cmath>

namespace zelsdk {

namespace {

constexpr uint32_t kSettingProperties[] = {ZEL_PROP_ISO,           ZEL_PROP_APERTURE,
                                           ZEL_PROP_SHUTTER_SPEED, ZEL_PROP_EXPOSURE_COMPENSATION,
                                           ZEL_PROP_WHITE_BALANCE, ZEL_PROP_EVF_SIZE,
                                           ZEL_PROP_EVF_ZOOM,      ZEL_PROP_EVF_ZOOM_POSITION};
constexpr const char* kSettingNames[] = {
    "iso",           "aperture",       "shutter-speed", "exposure-compensation",
    "white-balance", "live-view-size", "zoom",          "zoom-position"};

// The exposure all settings are measured against: ISO 400, f/5.6, 1/60 s.
constexpr double kReferenceIso = 400.0;
constexpr double kReferenceAperture = 5.6;
constexpr double kReferenceShutter = 1.0 / 60.0;

// Focus drive: the distance each step size moves, and how far it can go.
constexpr int kFocusStep[] = {1, 3, 9};
constexpr int kFocusLimit = 30;

struct Tint {
    float r, g, b;
};
// Per white balance: auto and daylight leave the picture as it is; the
// others tint it as a camera set for that light shows a scene in daylight.
constexpr Tint kTints[] = {
    {1.00f, 1.00f, 1.00f}, // auto
    {1.00f, 1.00f, 0.94f}, // daylight
    {1.12f, 1.00f, 0.84f}, // cloudy
    {0.72f, 0.92f, 1.35f}, // tungsten
    {0.92f, 1.12f, 1.08f}, // fluorescent
    {1.06f, 1.00f, 0.90f}, // flash
    {1.20f, 1.00f, 0.76f}, // shade
};

std::vector<uint32_t> Thirds(int fromThousandths, int toThousandths) {
    std::vector<uint32_t> values;
    for (int third = fromThousandths * 3 / 1000; third <= toThousandths * 3 / 1000; ++third) {
        // Thirds of a stop as cameras give them: 333, 667, 1000, ...
        const int magnitude = (std::abs(third) * 1000 + 1) / 3;
        values.push_back(static_cast<uint32_t>(third < 0 ? -magnitude : magnitude));
    }
    return values;
}

} // namespace

bool Look::Neutral() const {
    return gain[0] == 1.0f && gain[1] == 1.0f && gain[2] == 1.0f && zoom <= 1 && blur == 0 &&
           width == 0;
}

bool Look::operator==(const Look& o) const {
    return gain[0] == o.gain[0] && gain[1] == o.gain[1] && gain[2] == o.gain[2] && zoom == o.zoom &&
           centreX == o.centreX && centreY == o.centreY && blur == o.blur && width == o.width &&
           height == o.height && baseWidth == o.baseWidth && baseHeight == o.baseHeight;
}

Controls::Controls(Model model, int width, int height)
    : m_model(model), m_width(width), m_height(height),
      m_size(ZEL_SIZE(static_cast<uint32_t>(width), static_cast<uint32_t>(height))) {}

bool Controls::Has(uint32_t property) const {
    if (m_model == Model::Unusable)
        return false;
    return std::find(std::begin(kSettingProperties), std::end(kSettingProperties), property) !=
           std::end(kSettingProperties);
}

uint32_t Controls::Get(uint32_t property) const {
    switch (property) {
    case ZEL_PROP_ISO:
        return m_iso;
    case ZEL_PROP_APERTURE:
        return m_aperture;
    case ZEL_PROP_SHUTTER_SPEED:
        return m_shutter;
    case ZEL_PROP_EXPOSURE_COMPENSATION:
        return m_compensation;
    case ZEL_PROP_WHITE_BALANCE:
        return m_whiteBalance;
    case ZEL_PROP_EVF_SIZE:
        return m_size;
    case ZEL_PROP_EVF_ZOOM:
        return m_zoom;
    case ZEL_PROP_EVF_ZOOM_POSITION:
        return m_zoomPosition;
    default:
        return 0;
    }
}

std::vector<uint32_t> Controls::Allowed(uint32_t property) const {
    const bool compact = m_model == Model::Lumidrift;
    const uint32_t w = static_cast<uint32_t>(m_width);
    const uint32_t h = static_cast<uint32_t>(m_height);
    switch (property) {
    case ZEL_PROP_ISO:
        if (compact)
            return {ZEL_ISO_AUTO, 100, 200, 400, 800, 1600, 3200};
        return {ZEL_ISO_AUTO, 100, 200, 400, 800, 1600, 3200, 6400};
    case ZEL_PROP_APERTURE:
        if (compact)
            return {35, 40, 56, 80};
        return {28, 40, 56, 80, 110, 160, 220};
    case ZEL_PROP_SHUTTER_SPEED: {
        std::vector<uint32_t> values;
        if (!compact)
            for (uint32_t seconds : {30u, 15u, 8u, 4u, 2u})
                values.push_back(ZEL_SHUTTER(seconds, 1));
        values.push_back(ZEL_SHUTTER(1, 1));
        values.push_back(ZEL_SHUTTER(3, 10));
        for (uint32_t d : {4u, 8u, 15u, 30u, 60u, 125u, 250u, 500u, 1000u, 2000u})
            values.push_back(ZEL_SHUTTER(1, d));
        if (!compact)
            values.push_back(ZEL_SHUTTER(1, 4000));
        return values;
    }
    case ZEL_PROP_EXPOSURE_COMPENSATION:
        return compact ? Thirds(-2000, 2000) : Thirds(-3000, 3000);
    case ZEL_PROP_WHITE_BALANCE:
        if (compact)
            return {ZEL_WB_AUTO, ZEL_WB_DAYLIGHT, ZEL_WB_CLOUDY, ZEL_WB_TUNGSTEN,
                    ZEL_WB_FLUORESCENT};
        return {ZEL_WB_AUTO,        ZEL_WB_DAYLIGHT, ZEL_WB_CLOUDY, ZEL_WB_TUNGSTEN,
                ZEL_WB_FLUORESCENT, ZEL_WB_FLASH,    ZEL_WB_SHADE};
    case ZEL_PROP_EVF_SIZE:
        // The picture's own size and smaller ones, largest first (even
        // sizes, as encoders like them).
        if (compact)
            return {ZEL_SIZE(w, h), ZEL_SIZE(w / 4 * 2, h / 4 * 2)};
        return {ZEL_SIZE(w, h), ZEL_SIZE(w / 3 * 2 / 2 * 2, h / 3 * 2 / 2 * 2),
                ZEL_SIZE(w / 4 * 2, h / 4 * 2)};
    case ZEL_PROP_EVF_ZOOM:
        if (compact)
            return {1, 3};
        return {1, 5, 10};
    default:
        return {};
    }
}

ZelError Controls::Set(uint32_t property, uint32_t value, bool& changed) {
    changed = false;
    if (!Has(property))
        return ZEL_ERR_PROPERTY_UNAVAILABLE;
    if (property == ZEL_PROP_EVF_ZOOM_POSITION) {
        // Any point is taken, and kept inside the picture.
        value = ZEL_POINT(std::min<uint32_t>(ZEL_POINT_X(value), 1000),
                          std::min<uint32_t>(ZEL_POINT_Y(value), 1000));
    } else {
        const std::vector<uint32_t> allowed = Allowed(property);
        if (std::find(allowed.begin(), allowed.end(), value) == allowed.end())
            return ZEL_ERR_INVALID_PARAMETER;
    }
    uint32_t* slot = property == ZEL_PROP_ISO                     ? &m_iso
                     : property == ZEL_PROP_APERTURE              ? &m_aperture
                     : property == ZEL_PROP_SHUTTER_SPEED         ? &m_shutter
                     : property == ZEL_PROP_EXPOSURE_COMPENSATION ? &m_compensation
                     : property == ZEL_PROP_WHITE_BALANCE         ? &m_whiteBalance
                     : property == ZEL_PROP_EVF_SIZE              ? &m_size
                     : property == ZEL_PROP_EVF_ZOOM              ? &m_zoom
                                                                  : &m_zoomPosition;
    changed = *slot != value;
    *slot = value;
    return ZEL_ERR_OK;
}

ZelError Controls::DriveFocus(int32_t parameter) {
    const int32_t size = parameter < 0 ? -parameter : parameter;
    if (size < 1 || size > 3)
        return ZEL_ERR_INVALID_PARAMETER;
    // Near is towards the camera: the focus moves by the step either way,
    // and stops at the ends of the lens's range.
    const int step = kFocusStep[size - 1];
    m_focus = std::clamp(m_focus + (parameter < 0 ? -step : step), -kFocusLimit, kFocusLimit);
    return ZEL_ERR_OK;
}

Look Controls::PictureLook() const {
    Look look;
    const double iso = m_iso == ZEL_ISO_AUTO ? kReferenceIso : m_iso;
    const double aperture = m_aperture / 10.0;
    const double shutter = static_cast<double>(ZEL_SHUTTER_NUMERATOR(m_shutter)) /
                           std::max<uint32_t>(ZEL_SHUTTER_DENOMINATOR(m_shutter), 1);
    const double stops = static_cast<int32_t>(m_compensation) / 1000.0;
    double exposure = (iso / kReferenceIso) * (shutter / kReferenceShutter) *
                      (kReferenceAperture * kReferenceAperture) / (aperture * aperture) *
                      std::pow(2.0, stops);
    // Whole and round figures stay exact, so the reference look is neutral.
    exposure = std::clamp(exposure, 1.0 / 64, 64.0);
    if (std::fabs(exposure - 1.0) < 0.02)
        exposure = 1.0;
    const Tint& tint = kTints[m_whiteBalance < 7 ? m_whiteBalance : 0];
    look.gain[0] = static_cast<float>(exposure * tint.r);
    look.gain[1] = static_cast<float>(exposure * tint.g);
    look.gain[2] = static_cast<float>(exposure * tint.b);
    look.zoom = m_zoom;
    look.centreX = ZEL_POINT_X(m_zoomPosition);
    look.centreY = ZEL_POINT_Y(m_zoomPosition);
    const int height = static_cast<int>(ZEL_SIZE_HEIGHT(m_size));
    if (m_size != ZEL_SIZE(static_cast<uint32_t>(m_width), static_cast<uint32_t>(m_height))) {
        look.width = static_cast<int>(ZEL_SIZE_WIDTH(m_size));
        look.height = height;
        look.baseWidth = m_width;
        look.baseHeight = m_height;
    }
    // A focus step blurs by about a hundredth of the picture's height.
    const int perStep = std::max(1, height / 100);
    look.blur = m_focus == 0 ? 0 : std::min(std::abs(m_focus) * perStep, std::max(1, height / 8));
    return look;
}

uint32_t Controls::PropertyByName(const std::string& name) {
    for (size_t i = 0; i < sizeof kSettingNames / sizeof kSettingNames[0]; ++i)
        if (name == kSettingNames[i])
            return kSettingProperties[i];
    return 0;
}

std::string Controls::Describe() const {
    std::string text;
    for (size_t i = 0; i < sizeof kSettingNames / sizeof kSettingNames[0]; ++i)
        text += std::string(i ? " " : "") + kSettingNames[i] + "=" +
                std::to_string(static_cast<int32_t>(Get(kSettingProperties[i])));
    return text + " focus=" + std::to_string(m_focus);
}

} // namespace zelsdk
