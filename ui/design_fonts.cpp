#include "ui/design_fonts.h"

#include <cmath>

namespace keyscour {

namespace {

HFONT MakeFont(double points, int weight, int dpi) {
    LOGFONTW font{};
    font.lfHeight = -static_cast<LONG>(std::lround(points * dpi / 72.0));
    font.lfWeight = weight;
    font.lfCharSet = ANSI_CHARSET;
    font.lfQuality = DEFAULT_QUALITY;
    lstrcpynW(font.lfFaceName, L"MS Sans Serif", LF_FACESIZE);
    return CreateFontIndirectW(&font);
}

}  // namespace

DesignFonts::DesignFonts(int dpi)
    : regular_(MakeFont(8.25, FW_NORMAL, dpi)), bold_(MakeFont(8.25, FW_BOLD, dpi)), large_(MakeFont(12, FW_BOLD, dpi)) {}

HFONT DesignFonts::For(design::Font font) const {
    switch (font) {
    case design::Font::kBold: return bold_.get();
    case design::Font::kLarge: return large_.get();
    case design::Font::kDefault: break;
    }
    return regular_.get();
}

}  // namespace keyscour
