// cvl-ptpip-camera: the PTP/IP test camera as a program of its own, for the
// tests and the benchmark. Prints "port <n>" once it listens, then takes one
// command a line on standard input and answers each with one line:
//   away     drop every connection and stop listening      -> ok
//   back     listen on the same port again                 -> ok | failed
//   frames   how many live-view frames it served so far    -> <n>
//   session  whether a host has the session open           -> held | free
//   fault <name> <seconds>  misbehave for that long, then work again -> ok
//            (drop, truncate, stall, deviceinfo, shortack, transaction,
//             oversized; see PtpIpCamera::Fault)
//   quit     end (so does the end of standard input)
//   and the settings' commands (prop, body, without, slow, leave, liveview,
//   focus; see DeviceProperties::Command)
// --numbered LOG: every frame carries its number in the pixels and its send
// time goes to LOG (see PtpIpCamera::NumberFrames); for the benchmarks.
#include "PtpIpCamera.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

int main(int argc, char** argv) {
    int port = 15740, fps = 30, width = 640, height = 480;
    std::string sendLog;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--port")
            port = std::atoi(argv[i + 1]);
        else if (option == "--fps")
            fps = std::atoi(argv[i + 1]);
        else if (option == "--size" && std::sscanf(argv[i + 1], "%dx%d", &width, &height) == 2)
            continue;
        else if (option == "--numbered")
            sendLog = argv[i + 1];
        else {
            std::fprintf(stderr, "usage: cvl-ptpip-camera [--port N] [--fps N] [--size WxH] "
                                 "[--numbered LOG]\n");
            return 2;
        }
    }
    if (fps < 1 || fps > 1000 || width < 16 || height < 16 || width > 8192 || height > 8192) {
        std::fprintf(stderr, "cvl-ptpip-camera: fps 1 to 1000, size 16 to 8192\n");
        return 2;
    }
    cvl::test::PtpIpCamera camera(fps, width, height);
    if (!sendLog.empty() && !camera.NumberFrames(width, height, sendLog)) {
        std::fprintf(stderr, "cvl-ptpip-camera: cannot write %s\n", sendLog.c_str());
        return 1;
    }
    if (!camera.Listen(port)) {
        std::fprintf(stderr, "cvl-ptpip-camera: cannot listen on 127.0.0.1:%d\n", port);
        return 1;
    }
    std::cout << "port " << camera.Port() << std::endl;
    std::string line;
    while (std::getline(std::cin, line)) {
        if (line == "away") {
            camera.Away();
            std::cout << "ok" << std::endl;
        } else if (line == "back") {
            std::cout << (camera.Back() ? "ok" : "failed") << std::endl;
        } else if (line == "frames") {
            std::cout << camera.FramesServed() << std::endl;
        } else if (line == "session") {
            std::cout << (camera.SessionHeld() ? "held" : "free") << std::endl;
        } else if (line.rfind("fault ", 0) == 0) {
            char name[32] = {};
            int seconds = 0;
            cvl::test::PtpIpCamera::Fault fault;
            const bool read = std::sscanf(line.c_str() + 6, "%31s %d", name, &seconds) == 2;
            if (read && seconds >= 0 && cvl::test::PtpIpCamera::FaultNamed(name, fault)) {
                camera.Inject(fault, seconds);
                std::cout << "ok" << std::endl;
            } else {
                std::cout << "unknown" << std::endl;
            }
        } else if (line == "quit") {
            break;
        } else if (std::string reply; camera.Properties().Command(line, reply)) {
            std::cout << reply << std::endl;
        } else {
            std::cout << "unknown" << std::endl;
        }
    }
    return 0;
}
