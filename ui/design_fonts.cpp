#include "ui/design_fonts.h"

#include <cmath>

namespace keyscour {

namespace {

constexpr wchar_t kFace[] = L"MS Sans Serif";

HFONT MakeFont(double points, int weight, int dpi) {
    LOGFONTW font{};
    font.lfHeight = -static_cast<LONG>(std::lround(points * dpi / 72.0));
    font.lfWeight = weight;
    font.lfCharSet = ANSI_CHARSET;
    font.lfQuality = DEFAULT_QUALITY;
    lstrcpynW(font.lfFaceName, kFace, LF_FACESIZE);
    return CreateFontIndirectW(&font);
}

// The screen's DC, for measuring text.
class MeasuringDc {
public:
    MeasuringDc() : dc_(GetDC(nullptr)) {}
    ~MeasuringDc() { ReleaseDC(nullptr, dc_); }
    MeasuringDc(const MeasuringDc&) = delete;
    MeasuringDc& operator=(const MeasuringDc&) = delete;

    int Width(HFONT font, const wchar_t* text) const {
        const ScopedSelection selected(dc_, font);
        SIZE size{};
        GetTextExtentPoint32W(dc_, text, lstrlenW(text), &size);
        return size.cx;
    }
    bool FaceIs(HFONT font, const wchar_t* face) const {
        const ScopedSelection selected(dc_, font);
        wchar_t actual[LF_FACESIZE] = {};
        GetTextFaceW(dc_, LF_FACESIZE, actual);
        return lstrcmpiW(actual, face) == 0;
    }

private:
    HDC dc_;
};

}  // namespace

DesignFonts::DesignFonts(int dpi, std::span<const FittedCaption> captions) {
    const MeasuringDc dc;
    // 5 % steps, down to three quarters: smaller would no longer be legible.
    for (int percent = 100; percent >= 75; percent -= 5) {
        scale_ = percent / 100.0;
        regular_.reset(MakeFont(8.25 * scale_, FW_NORMAL, dpi));
        bold_.reset(MakeFont(8.25 * scale_, FW_BOLD, dpi));
        if (percent == 100 && dc.FaceIs(regular_.get(), kFace)) break;
        bool fits = true;
        for (const auto& caption : captions) fits = fits && dc.Width(For(caption.font), caption.text) <= caption.widthPixels;
        if (fits) break;
    }
    large_.reset(MakeFont(12 * scale_, FW_BOLD, dpi));
}

HFONT DesignFonts::For(design::Font font) const {
    switch (font) {
    case design::Font::kBold: return bold_.get();
    case design::Font::kLarge: return large_.get();
    case design::Font::kDefault: break;
    }
    return regular_.get();
}

}  // namespace keyscour
