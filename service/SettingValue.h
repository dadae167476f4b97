// The camera settings the service knows, their names and camera properties,
// and their values as people write them ("800", "5.6", "1/60", "+1.3",
// "daylight", "1024x768") against the 32-bit values the camera holds.
#ifndef CVL_SERVICE_SETTINGVALUE_H
#define CVL_SERVICE_SETTINGVALUE_H

#include <cstdint>
#include <string>

enum SettingId {
    kSettingIso,
    kSettingAperture,
    kSettingShutterSpeed,
    kSettingExposureCompensation,
    kSettingWhiteBalance,
    kSettingLiveViewSize,
    kSettingZoom,
    kSettingZoomPosition,
    kSettingCount
};

const char* SettingName(int id);
uint32_t SettingProperty(int id);
// The setting of that name or camera property, or -1.
int FindSetting(const std::string& name);
int FindSettingByProperty(uint32_t property);
// "iso, aperture, ...": every name, for messages.
std::string SettingNames();

// The value as people write it.
std::string FormatSettingValue(int id, uint32_t value);
// The camera value that text stands for; false when text is no value of the
// setting's form. Values that the camera keeps more precisely than people
// write them (exposure compensation in thousandths) come out as written and
// are matched with SettingValuesMatch.
bool ParseSettingValue(int id, const std::string& text, uint32_t& value);
// Whether a parsed value stands for the camera's value: the same shutter
// time written as a fraction or a decimal, the same exposure compensation to
// a tenth of a stop, otherwise the same number.
bool SettingValuesMatch(int id, uint32_t parsed, uint32_t cameraValue);

#endif
