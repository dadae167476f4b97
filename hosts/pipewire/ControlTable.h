// The camera's settings as a PipeWire camera node carries its controls: one
// SPA_PARAM_PropInfo per setting (id, name, description, type with its range
// or labelled choices) and one SPA_PARAM_Props with the current values; and
// a Props write read back into the settings and actions it asks for.
//
// Choices (ISO, aperture, ...) are integer menus: the value is the index of
// the choice, the labels are the values as people write them. The choice's
// default is the current value, since a camera body has no default of its
// own. Actions are controls that read as rest: autofocus a boolean that
// focuses once when written true, focus an integer step (-3 to 3; negative
// nearer, positive farther).
//
// Ids: SPA_PROP_exposure (shutter speed) and SPA_PROP_gain (ISO) where SPA
// has one; the others SPA_PROP_START_CUSTOM plus the matching V4L2 camera
// control id, as PipeWire's V4L2 source numbers its cameras' own controls,
// so that pw-v4l2 hands them on under the V4L2 ids.
#ifndef CVL_HOSTS_PIPEWIRE_CONTROLTABLE_H
#define CVL_HOSTS_PIPEWIRE_CONTROLTABLE_H

#include "CVLSettings.h"

#include <spa/pod/builder.h>

#include <cstdint>
#include <string>
#include <vector>

namespace cvl::camera {

// What one Props write asks of the camera: a setting's new value, or an
// action ("autofocus", "focus near 2").
struct ControlWrite {
    bool action = false;
    std::string name;
    std::string value;
};

class ControlTable {
public:
    // The PropInfo and Props ids by setting name; 0 for none.
    static uint32_t PropId(const std::string& name);

    // Takes the settings as the camera lists them now. False when nothing
    // changed that a consumer would see.
    bool Update(const std::vector<CVLSetting>& settings);
    bool Empty() const { return m_controls.empty(); }

    // One PropInfo per control, then one Props, built in builder; false
    // when the builder's memory ran out.
    bool Build(spa_pod_builder& builder, std::vector<const spa_pod*>& params) const;

    // Reads a Props object: the writes it asks for, and one reason for
    // each part that was refused (unknown id, a value of the wrong type or
    // out of range).
    void Read(const spa_pod* props, std::vector<ControlWrite>& writes,
              std::vector<std::string>& refusals) const;

private:
    enum class Kind { Menu, Trigger, Step, Position };
    struct Control {
        uint32_t id = 0;
        Kind kind = Kind::Menu;
        std::string name;
        std::string description;
        std::vector<std::string> choices; // Menu
        int current = 0;                  // Menu: index; Position: thousandths
        int minimum = 0;
        int maximum = 0;

        bool operator==(const Control& other) const;
    };

    static bool ReadInt(const spa_pod* value, int& number);
    void ReadOne(const Control& control, const spa_pod* value, std::vector<ControlWrite>& writes,
                 int position[2], bool& positionWritten, std::vector<std::string>& refusals) const;

    std::vector<Control> m_controls;
};

} // namespace cvl::camera

#endif
