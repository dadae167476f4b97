// A V4L2 program's view of a camera's controls, for running under pw-v4l2:
// opens /dev/video0, lists every control with VIDIOC_QUERYCTRL (walking
// V4L2_CTRL_FLAG_NEXT_CTRL) and its value with VIDIOC_G_CTRL, one line each:
//   ID<TAB>NAME<TAB>TYPE<TAB>MINIMUM<TAB>MAXIMUM<TAB>STEP<TAB>VALUE<TAB>FLAGS
// With ID=VALUE arguments (hex or decimal) it first sets them with
// VIDIOC_S_CTRL and keeps the device open until VIDIOC_G_CTRL reads each
// value back (at most 30 s), as a program that stays open would see the
// camera take it. Opens with plain open(): v4l2-ctl first looks the path up
// with stat(), which pw-v4l2 does not answer.
#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    const int fd = open("/dev/video0", O_RDWR);
    if (fd < 0) {
        std::fprintf(stderr, "cannot open /dev/video0: %s\n", std::strerror(errno));
        return 1;
    }
    int status = 0;
    std::vector<v4l2_control> written;
    for (int i = 1; i < argc; ++i) {
        v4l2_control control{};
        char* end = nullptr;
        control.id = static_cast<__u32>(std::strtoul(argv[i], &end, 0));
        if (!end || *end != '=') {
            std::fprintf(stderr, "not ID=VALUE: %s\n", argv[i]);
            return 2;
        }
        control.value = static_cast<__s32>(std::strtol(end + 1, nullptr, 0));
        if (ioctl(fd, VIDIOC_S_CTRL, &control) != 0) {
            std::fprintf(stderr, "S_CTRL %s: %s\n", argv[i], std::strerror(errno));
            status = 3;
        }
        written.push_back(control);
    }
    for (const v4l2_control& wanted : written) {
        v4l2_control control = wanted;
        int tries = 0;
        // pw-v4l2 reads the node's params as they come.
        while (ioctl(fd, VIDIOC_G_CTRL, &control) == 0 && control.value != wanted.value &&
               ++tries < 300) {
            usleep(100000);
            control = wanted;
        }
        if (control.value != wanted.value) {
            std::fprintf(stderr, "0x%08x does not read %d\n", wanted.id, wanted.value);
            status = 4;
        }
    }
    v4l2_queryctrl query{};
    query.id = V4L2_CTRL_FLAG_NEXT_CTRL;
    while (ioctl(fd, VIDIOC_QUERYCTRL, &query) == 0) {
        v4l2_control control{};
        control.id = query.id;
        const bool read = ioctl(fd, VIDIOC_G_CTRL, &control) == 0;
        std::printf("0x%08x\t%s\t%u\t%d\t%d\t%d\t%s\t0x%x\n", query.id,
                    reinterpret_cast<const char*>(query.name), query.type, query.minimum,
                    query.maximum, query.step, read ? std::to_string(control.value).c_str() : "?",
                    query.flags);
        query.id |= V4L2_CTRL_FLAG_NEXT_CTRL;
    }
    close(fd);
    return status;
}
