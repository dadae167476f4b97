// The simulated camera's settings (ISO, aperture, shutter speed, exposure
// compensation, white balance, live-view size, zoom and its position) and
// its focus: their values, the values each model allows, and the look of
// the picture that follows from them.
#ifndef ZELSDK_SRC_CONTROLS_H
#define ZELSDK_SRC_CONTROLS_H

#include <ZelSDK/ZelSDK.h>

#include <cstdint>
#include <string>
#include <vector>

namespace [[gnu::visibility("hidden")]] zelsdk {

enum class Model;

// How a picture is to be changed before it is downloaded; the default look
// leaves it as it is.
struct Look {
    // Brightness as a factor per channel: the exposure and the white
    // balance's tint together.
    float gain[3] = {1.0f, 1.0f, 1.0f};
    // The part of the picture shown: a magnification around a centre in
    // thousandths of the picture.
    uint32_t zoom = 1;
    uint32_t centreX = 500;
    uint32_t centreY = 500;
    // Box blur radius in pixels of the output, 0 when in focus.
    int blur = 0;
    // The live-view size when it is smaller than the camera's largest,
    // which is base: pictures of another size (a folder's) are scaled by
    // the same ratio. 0 keeps the picture's own size.
    int width = 0;
    int height = 0;
    int baseWidth = 0;
    int baseHeight = 0;

    bool Neutral() const;
    bool operator==(const Look& other) const;
    bool operator!=(const Look& other) const { return !(*this == other); }
};

class Controls {
public:
    // The model's settings at their start values; the live-view size is the
    // largest the model offers, which is the picture's own size.
    Controls(Model model, int width, int height);

    // Whether the camera has the setting; false for other properties.
    bool Has(uint32_t property) const;
    uint32_t Get(uint32_t property) const;
    // The values allowed now: none for the zoom position (any point).
    std::vector<uint32_t> Allowed(uint32_t property) const;
    // Stores an allowed value: ZEL_ERR_INVALID_PARAMETER otherwise (and the
    // value stays). True in changed when the value differs from before.
    ZelError Set(uint32_t property, uint32_t value, bool& changed);

    // The focus: autofocus brings it to the subject, a drive moves it by
    // one step of size 1 to 3 (the parameter of ZEL_CMD_DRIVE_FOCUS).
    void Autofocus() { m_focus = 0; }
    ZelError DriveFocus(int32_t parameter);
    int FocusOffset() const { return m_focus; }

    Look PictureLook() const;

    // The property of a setting's name ("iso", "zoom-position"), 0 if none.
    static uint32_t PropertyByName(const std::string& name);
    // "iso=400 aperture=56 ..." for zelsim status.
    std::string Describe() const;

private:
    Model m_model;
    int m_width;
    int m_height;
    uint32_t m_iso = 400;
    uint32_t m_aperture = 56;
    uint32_t m_shutter = ZEL_SHUTTER(1, 60);
    uint32_t m_compensation = 0;
    uint32_t m_whiteBalance = ZEL_WB_AUTO;
    uint32_t m_size;
    uint32_t m_zoom = 1;
    uint32_t m_zoomPosition = ZEL_POINT(500, 500);
    // Focus steps away from the subject; 0 is sharp.
    int m_focus = 0;
};

} // namespace gnu::visibility("hidden")]]zelsdk

#endif
