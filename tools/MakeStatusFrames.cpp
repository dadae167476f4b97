// Draws the three stock status frames that stand in for live video while the
// camera cannot deliver it:
//   error.jpg          waiting for the first live frames
//   errorBusy.jpg      the camera is in use by another program
//   errorNoDevice.jpg  no camera connected
// The output is deterministic, so the build reproduces the same files.
#include "imaging/BitmapFont.h"
#include "imaging/JpegEncoder.h"

#include <cstdio>
#include <string>

using cvl::imaging::Canvas;
using cvl::imaging::Color;

namespace {

constexpr int kWidth = 960;
constexpr int kHeight = 640;
constexpr int kQuality = 90;

const Color kWhite{245, 245, 245};
const Color kDim{190, 196, 210};

// A simple camera: body, viewfinder hump, lens.
void DrawCamera(Canvas& canvas, Color body, Color lens) {
    const int centreX = kWidth / 2;
    const int centreY = 200;
    canvas.FillRect(centreX - 120, centreY - 70, 240, 150, body);
    canvas.FillRect(centreX - 45, centreY - 100, 90, 35, body);
    canvas.FillCircle(centreX, centreY + 5, 55, lens);
    canvas.FillCircle(centreX, centreY + 5, 35, body);
    canvas.FillCircle(centreX, centreY + 5, 20, lens);
}

// A thick diagonal stroke across the camera.
void DrawStrike(Canvas& canvas, Color color) {
    for (int step = 0; step < 300; ++step)
        canvas.FillRect(kWidth / 2 - 150 + step, 50 + step, 14, 14, color);
}

bool Write(const std::string& folder, const char* name, const Canvas& canvas) {
    const std::string path = folder + "/" + name;
    const std::vector<uint8_t> jpeg = cvl::imaging::EncodeJpeg(canvas, kQuality);
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) {
        std::perror(path.c_str());
        return false;
    }
    const bool written = std::fwrite(jpeg.data(), 1, jpeg.size(), file) == jpeg.size();
    return std::fclose(file) == 0 && written;
}

Canvas Waiting() {
    Canvas canvas(kWidth, kHeight, Color{28, 38, 58});
    DrawCamera(canvas, Color{120, 140, 175}, Color{28, 38, 58});
    canvas.DrawTextCentred(360, "WAITING FOR CAMERA", 6, kWhite);
    canvas.DrawTextCentred(440, "STARTING LIVE VIEW", 3, kDim);
    canvas.DrawTextCentred(480, "THE FIRST FRAMES ARE ON THEIR WAY", 3, kDim);
    for (int dot = 0; dot < 3; ++dot)
        canvas.FillCircle(kWidth / 2 - 40 + dot * 40, 560, 9, kWhite);
    return canvas;
}

Canvas Busy() {
    Canvas canvas(kWidth, kHeight, Color{110, 64, 8});
    DrawCamera(canvas, Color{235, 170, 60}, Color{110, 64, 8});
    canvas.DrawTextCentred(360, "CAMERA IN USE", 6, kWhite);
    canvas.DrawTextCentred(440, "ANOTHER PROGRAM IS USING THE CAMERA", 3, Color{250, 222, 170});
    canvas.DrawTextCentred(480, "QUIT IT TO SEE THE LIVE VIEW HERE", 3, Color{250, 222, 170});
    return canvas;
}

Canvas NoDevice() {
    Canvas canvas(kWidth, kHeight, Color{80, 18, 24});
    DrawCamera(canvas, Color{200, 110, 115}, Color{80, 18, 24});
    DrawStrike(canvas, kWhite);
    canvas.DrawTextCentred(390, "NO CAMERA CONNECTED", 6, kWhite);
    canvas.DrawTextCentred(470, "CONNECT A CAMERA OVER USB", 3, Color{240, 190, 190});
    canvas.DrawTextCentred(510, "AND SWITCH IT ON", 3, Color{240, 190, 190});
    return canvas;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make-status-frames <output-folder>\n");
        return 2;
    }
    const std::string folder = argv[1];
    const bool ok = Write(folder, "error.jpg", Waiting()) &&
                    Write(folder, "errorBusy.jpg", Busy()) &&
                    Write(folder, "errorNoDevice.jpg", NoDevice());
    return ok ? 0 : 1;
}
