// A 5x7 bitmap font and a plain RGB canvas, for the pictures that the project
// draws itself: the stock status frames and the simulated camera's live view.
#ifndef CVL_PLATFORM_IMAGING_BITMAPFONT_H
#define CVL_PLATFORM_IMAGING_BITMAPFONT_H

#include <cstdint>
#include <string>
#include <vector>

namespace cvl::imaging {

struct Color {
    uint8_t r, g, b;
};

// An RGB picture, 3 bytes a pixel, rows top to bottom.
class Canvas {
public:
    Canvas(int width, int height, Color background);

    int Width() const { return m_width; }
    int Height() const { return m_height; }
    const std::vector<uint8_t>& Pixels() const { return m_pixels; }
    std::vector<uint8_t>& Pixels() { return m_pixels; }

    // Fills the rectangle, clipped to the canvas.
    void FillRect(int x, int y, int width, int height, Color color);
    void FillCircle(int centreX, int centreY, int radius, Color color);
    // Draws text with its top left corner at (x, y), each font pixel scale
    // pixels wide. Lower-case letters are drawn as capitals; characters the
    // font lacks are drawn as blanks.
    void DrawText(int x, int y, const std::string& text, int scale, Color color);
    // Draws text centred horizontally on the canvas.
    void DrawTextCentred(int y, const std::string& text, int scale, Color color);

    static int TextWidth(const std::string& text, int scale);
    static constexpr int kGlyphWidth = 5;
    static constexpr int kGlyphHeight = 7;

private:
    int m_width;
    int m_height;
    std::vector<uint8_t> m_pixels;
};

} // namespace cvl::imaging

#endif
