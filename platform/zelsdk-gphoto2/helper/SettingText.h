// How the texts and numbers of libgphoto2's configuration widgets become the
// SDK's setting values and back ("1/60", "0.0167s", "f/5.6", "+1.3", "1.333",
// "Daylight", "1024x768"). The helper keeps the C locale, so the texts are
// libgphoto2's own, untranslated, with '.' as the decimal point. No
// libgphoto2 in here.
#ifndef ZELSDK_GPHOTO2_SETTINGTEXT_H
#define ZELSDK_GPHOTO2_SETTINGTEXT_H

#include <cstdint>
#include <string>

namespace zelgp {

// The SDK value a widget's text stands for; false for a text that stands for
// none of the SDK's values ("Bulb", "Manual", "Color Temperature").
bool ValueOfText(uint32_t property, const std::string& text, uint32_t& value);
// The SDK value of a range widget's number.
bool ValueOfNumber(uint32_t property, float number, uint32_t& value);
// A range widget's number for an SDK value.
float NumberOfValue(uint32_t property, uint32_t value);
// A free-text widget's text for an SDK value.
std::string TextOfValue(uint32_t property, uint32_t value);

} // namespace zelgp

#endif
