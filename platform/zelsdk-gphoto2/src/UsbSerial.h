// The serial number of a USB camera on the port libgphoto2 names it by
// ("usb:BUS,DEVICE"), read from the kernel's list of USB devices. A camera
// plugged in again gets a new device number, so the port name changes; its
// serial number stays, and lets the backend find the camera the user named.
#ifndef ZELSDK_GPHOTO2_USBSERIAL_H
#define ZELSDK_GPHOTO2_USBSERIAL_H

#include <string>

namespace zelgp {

// The serial number of the device on port, or "" when the port is not a USB
// one, the device is not listed or has no serial number. devices: the folder
// of the kernel's USB devices (one folder each with busnum, devnum, serial).
std::string UsbSerialOf(const std::string& port,
                        const std::string& devices = "/sys/bus/usb/devices");

} // namespace zelgp

#endif
