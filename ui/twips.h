#pragma once
// The window's design is in twips, 1/1440 inch; pixels follow the DPI.

#include <windows.h>

#include <cmath>

namespace keyscour {

class Twips {
public:
    explicit Twips(int dpi) : dpi_(dpi > 0 ? dpi : 96) {}

    int ToPixels(double twips) const { return static_cast<int>(std::lround(twips * dpi_ / 1440.0)); }
    double FromPixels(int pixels) const { return pixels * 1440.0 / dpi_; }
    int Dpi() const { return dpi_; }

    static Twips ForWindow(HWND hwnd) {
        HDC dc = GetDC(hwnd);
        const int dpi = dc ? GetDeviceCaps(dc, LOGPIXELSY) : 96;
        if (dc) ReleaseDC(hwnd, dc);
        return Twips(dpi);
    }

private:
    int dpi_;
};

}  // namespace keyscour
