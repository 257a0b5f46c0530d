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

// A screen DC with one font selected, given back on every path.
class MeasuringDc {
public:
    MeasuringDc() : dc_(GetDC(nullptr)) {}
    ~MeasuringDc() {
        if (old_) SelectObject(dc_, old_);
        ReleaseDC(nullptr, dc_);
    }
    MeasuringDc(const MeasuringDc&) = delete;
    MeasuringDc& operator=(const MeasuringDc&) = delete;

    void Select(HFONT font) {
        HGDIOBJ previous = SelectObject(dc_, font);
        if (!old_) old_ = previous;
    }
    int Width(const wchar_t* text) const {
        SIZE size{};
        GetTextExtentPoint32W(dc_, text, lstrlenW(text), &size);
        return size.cx;
    }
    bool FaceIs(const wchar_t* face) const {
        wchar_t actual[LF_FACESIZE] = {};
        GetTextFaceW(dc_, LF_FACESIZE, actual);
        return lstrcmpiW(actual, face) == 0;
    }

private:
    HDC dc_;
    HGDIOBJ old_ = nullptr;
};

}  // namespace

DesignFonts::DesignFonts(int dpi, std::span<const FittedCaption> captions) {
    MeasuringDc dc;
    for (scale_ = 1.0;; scale_ -= 0.05) {
        regular_.reset(MakeFont(8.25 * scale_, FW_NORMAL, dpi));
        bold_.reset(MakeFont(8.25 * scale_, FW_BOLD, dpi));
        dc.Select(regular_.get());
        if (scale_ == 1.0 && dc.FaceIs(kFace)) break;
        if (scale_ < 0.75) break;  // smaller would no longer be legible
        bool fits = true;
        for (const auto& caption : captions) {
            dc.Select(For(caption.font));
            fits = fits && dc.Width(caption.text) <= caption.widthPixels;
        }
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
