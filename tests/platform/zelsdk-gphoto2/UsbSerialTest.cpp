// A USB camera's serial number by the port libgphoto2 names it by, from a
// folder laid out as the kernel's list of USB devices.
#include "UsbSerial.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace zelgp {
namespace {

void Device(const std::string& folder, const char* busnum, const char* devnum, const char* serial) {
    std::filesystem::create_directories(folder);
    std::ofstream(folder + "/busnum") << busnum << "\n";
    std::ofstream(folder + "/devnum") << devnum << "\n";
    if (serial)
        std::ofstream(folder + "/serial") << serial << "\n";
}

TEST(UsbSerial, FoundByBusAndDeviceNumberAndNothingForOtherPorts) {
    char pattern[] = "/tmp/cvl-usbserial-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string root = pattern;
    Device(root + "/usb1", "1", "1", "0000:00:14.0");
    Device(root + "/1-1", "1", "5", "CAM123");
    Device(root + "/1-1:1.0", "x", "", nullptr); // an interface: no numbers
    Device(root + "/1-2", "1", "6", nullptr);
    Device(root + "/2-1", "2", "5", "OTHER");

    EXPECT_EQ(UsbSerialOf("usb:001,005", root), "CAM123");
    EXPECT_EQ(UsbSerialOf("usb:2,5", root), "OTHER");
    // Plugged in again: another device number, the same serial elsewhere.
    EXPECT_EQ(UsbSerialOf("usb:001,006", root), "");
    EXPECT_EQ(UsbSerialOf("usb:003,005", root), "");
    for (const char* port : {"usb:", "usb:001", "usb:001,005x", "usb:-1,5", "ptpip:127.0.0.1",
                             "serial:/dev/ttyS0", ""})
        EXPECT_EQ(UsbSerialOf(port, root), "") << port;
    EXPECT_EQ(UsbSerialOf("usb:001,005", root + "/missing"), "");
    std::filesystem::remove_all(root);
}

} // namespace
} // namespace zelgp
