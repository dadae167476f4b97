#include "UsbSerial.h"

#include <dirent.h>

#include <cstdio>
#include <fstream>

namespace zelgp {

namespace {

// The first line of a small file, or "".
std::string FirstLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

bool Number(const std::string& text, int& value) {
    char rest = 0;
    return std::sscanf(text.c_str(), "%d%c", &value, &rest) == 1 && value >= 0;
}

} // namespace

std::string UsbSerialOf(const std::string& port, const std::string& devices) {
    int bus = -1, device = -1;
    char rest = 0;
    if (port.rfind("usb:", 0) != 0 ||
        std::sscanf(port.c_str() + 4, "%d,%d%c", &bus, &device, &rest) != 2 || bus < 0 ||
        device < 0)
        return "";
    DIR* dir = opendir(devices.c_str());
    if (!dir)
        return "";
    std::string serial;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        const std::string folder = devices + "/" + entry->d_name;
        int busnum = -1, devnum = -1;
        if (Number(FirstLine(folder + "/busnum"), busnum) && busnum == bus &&
            Number(FirstLine(folder + "/devnum"), devnum) && devnum == device) {
            serial = FirstLine(folder + "/serial");
            break;
        }
    }
    closedir(dir);
    return serial;
}

} // namespace zelgp
