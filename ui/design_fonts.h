#pragma once
// The window design's three fonts, made for the window's DPI.
//
// The design was laid out for "MS Sans Serif". Where the platform has no
// such face (a bare Wine prefix maps it to a wider sans), the substitute is
// made just small enough that the design's one-line captions still fit.

#include <windows.h>

#include <span>

#include "base/win32_handles.h"
#include "ui/form1_design.h"

namespace keyscour {

struct FittedCaption {
    const wchar_t* text;
    design::Font font;
    int widthPixels;  // the room the design gives it
};

class DesignFonts {
public:
    DesignFonts(int dpi, std::span<const FittedCaption> captions);
    HFONT For(design::Font font) const;
    double Scale() const { return scale_; }

private:
    unique_hfont regular_, bold_, large_;
    double scale_ = 1.0;
};

}  // namespace keyscour
