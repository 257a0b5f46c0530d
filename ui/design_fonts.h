#pragma once
// The window design's three fonts, made for the window's DPI.

#include <windows.h>

#include "base/win32_handles.h"
#include "ui/form1_design.h"

namespace keyscour {

class DesignFonts {
public:
    explicit DesignFonts(int dpi);
    HFONT For(design::Font font) const;

private:
    unique_hfont regular_, bold_, large_;
};

}  // namespace keyscour
