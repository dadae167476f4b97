// The texts libgphoto2's drivers print for settings, as the SDK's values:
// the forms of several makers' drivers for one value give the same value,
// and texts that stand for none of the SDK's values give none.
#include "SettingText.h"

#include <ZelSDK/ZelSDK.h>

#include <gtest/gtest.h>

namespace zelgp {
namespace {

uint32_t Of(uint32_t property, const char* text) {
    uint32_t value = 0xDEADBEEF;
    EXPECT_TRUE(ValueOfText(property, text, value)) << text;
    return value;
}

bool None(uint32_t property, const char* text) {
    uint32_t value = 0;
    return !ValueOfText(property, text, value);
}

TEST(SettingText, EachDriverFormOfAValueGivesTheSameValue) {
    for (const char* text : {"1/60", "0.0167s", "1/60s"})
        EXPECT_EQ(Of(ZEL_PROP_SHUTTER_SPEED, text), ZEL_SHUTTER(1, 60)) << text;
    EXPECT_EQ(Of(ZEL_PROP_SHUTTER_SPEED, "0.0080s"), ZEL_SHUTTER(1, 125));
    EXPECT_EQ(Of(ZEL_PROP_SHUTTER_SPEED, "0.0667s"), ZEL_SHUTTER(1, 15));
    EXPECT_EQ(Of(ZEL_PROP_SHUTTER_SPEED, "0.3"), ZEL_SHUTTER(3, 10));
    EXPECT_EQ(Of(ZEL_PROP_SHUTTER_SPEED, "2.5\""), ZEL_SHUTTER(25, 10));
    EXPECT_EQ(Of(ZEL_PROP_SHUTTER_SPEED, "30"), ZEL_SHUTTER(30, 1));
    EXPECT_EQ(Of(ZEL_PROP_SHUTTER_SPEED, "1.0000s"), ZEL_SHUTTER(1, 1));
    for (const char* text : {"f/5.6", "5.6", "F5.6"})
        EXPECT_EQ(Of(ZEL_PROP_APERTURE, text), 56u) << text;
    for (const char* text : {"+1.3", "1.333", "1.333333", "1.3"})
        EXPECT_EQ(Of(ZEL_PROP_EXPOSURE_COMPENSATION, text), 1333u) << text;
    EXPECT_EQ(static_cast<int32_t>(Of(ZEL_PROP_EXPOSURE_COMPENSATION, "-0.7")), -667);
    EXPECT_EQ(static_cast<int32_t>(Of(ZEL_PROP_EXPOSURE_COMPENSATION, "-0.667")), -667);
    EXPECT_EQ(Of(ZEL_PROP_EXPOSURE_COMPENSATION, "0.5"), 500u);
    EXPECT_EQ(Of(ZEL_PROP_EXPOSURE_COMPENSATION, "0"), 0u);
    EXPECT_EQ(Of(ZEL_PROP_ISO, "800"), 800u);
    EXPECT_EQ(Of(ZEL_PROP_ISO, "Auto"), ZEL_ISO_AUTO);
    EXPECT_EQ(Of(ZEL_PROP_WHITE_BALANCE, "Daylight"), ZEL_WB_DAYLIGHT);
    EXPECT_EQ(Of(ZEL_PROP_WHITE_BALANCE, "Automatic"), ZEL_WB_AUTO);
    EXPECT_EQ(Of(ZEL_PROP_WHITE_BALANCE, "Fluorescent: Warm White"), ZEL_WB_FLUORESCENT);
    EXPECT_EQ(Of(ZEL_PROP_EVF_SIZE, "1024x768"), ZEL_SIZE(1024, 768));
    EXPECT_EQ(Of(ZEL_PROP_EVF_SIZE, "XGA"), ZEL_SIZE(1024, 768));
    EXPECT_EQ(Of(ZEL_PROP_EVF_SIZE, "1920x1080 30 60HZ"), ZEL_SIZE(1920, 1080));
    EXPECT_EQ(Of(ZEL_PROP_EVF_ZOOM, "5"), 5u);
}

TEST(SettingText, TextsForNoneOfTheSdkValuesGiveNone) {
    EXPECT_TRUE(None(ZEL_PROP_SHUTTER_SPEED, "Bulb"));
    EXPECT_TRUE(None(ZEL_PROP_SHUTTER_SPEED, "1/0"));
    EXPECT_TRUE(None(ZEL_PROP_APERTURE, "implicit auto"));
    EXPECT_TRUE(None(ZEL_PROP_WHITE_BALANCE, "Manual"));
    EXPECT_TRUE(None(ZEL_PROP_WHITE_BALANCE, "Color Temperature"));
    EXPECT_TRUE(None(ZEL_PROP_EVF_SIZE, "Large"));
    EXPECT_TRUE(None(ZEL_PROP_EVF_SIZE, "0x480"));
    EXPECT_TRUE(None(ZEL_PROP_ISO, "65536x"));
    EXPECT_TRUE(None(ZEL_PROP_EXPOSURE_COMPENSATION, ""));
    EXPECT_TRUE(None(ZEL_PROP_EVF_ZOOM, "0"));
}

TEST(SettingText, WrittenTextsReadBackAsTheirValues) {
    const std::pair<uint32_t, uint32_t> values[] = {
        {ZEL_PROP_SHUTTER_SPEED, ZEL_SHUTTER(1, 60)},
        {ZEL_PROP_SHUTTER_SPEED, ZEL_SHUTTER(3, 10)},
        {ZEL_PROP_SHUTTER_SPEED, ZEL_SHUTTER(30, 1)},
        {ZEL_PROP_APERTURE, 56},
        {ZEL_PROP_EXPOSURE_COMPENSATION, static_cast<uint32_t>(-667)},
        {ZEL_PROP_EVF_SIZE, ZEL_SIZE(640, 480)},
        {ZEL_PROP_EVF_ZOOM, 10},
    };
    for (const auto& [property, value] : values) {
        uint32_t back = 0;
        EXPECT_TRUE(ValueOfText(property, TextOfValue(property, value), back));
        EXPECT_EQ(back, value) << TextOfValue(property, value);
        EXPECT_TRUE(ValueOfNumber(property, NumberOfValue(property, value), back) ||
                    property == ZEL_PROP_EVF_SIZE);
    }
}

} // namespace
} // namespace zelgp
