#include "ui/backdrop.h"

namespace keyscour {

namespace {

// A memory DC with one bitmap selected, given back on every path.
class SelectedBitmap {
public:
    explicit SelectedBitmap(HBITMAP bitmap) : dc_(CreateCompatibleDC(nullptr)), selection_(dc_.get(), bitmap) {}
    HDC dc() const { return dc_.get(); }

private:
    unique_hdc dc_;
    ScopedSelection selection_;  // declared after the DC, so undone before it goes
};

}  // namespace

void Backdrop::Compose(HBITMAP picture, SIZE pictureSize, SIZE shownSize, std::span<const RECT> whiteAreas) {
    size_ = shownSize;
    HDC screen = GetDC(nullptr);
    image_.reset(CreateCompatibleBitmap(screen, size_.cx, size_.cy));
    ReleaseDC(nullptr, screen);
    brush_.reset();
    if (!image_) return;
    {
        SelectedBitmap target(image_.get());
        if (!target.dc()) return;
        RECT all{0, 0, size_.cx, size_.cy};
        FillRect(target.dc(), &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
        if (picture) {
            SelectedBitmap source(picture);
            if (pictureSize.cx == size_.cx && pictureSize.cy == size_.cy) {
                BitBlt(target.dc(), 0, 0, size_.cx, size_.cy, source.dc(), 0, 0, SRCCOPY);
            } else {
                // Smooth: the logo and the wordmark must stay legible.
                SetStretchBltMode(target.dc(), HALFTONE);
                SetBrushOrgEx(target.dc(), 0, 0, nullptr);
                StretchBlt(target.dc(), 0, 0, size_.cx, size_.cy, source.dc(), 0, 0, pictureSize.cx, pictureSize.cy,
                           SRCCOPY);
            }
        }
        for (const RECT& area : whiteAreas) FillRect(target.dc(), &area, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    }
    brush_.reset(CreatePatternBrush(image_.get()));
}

void Backdrop::Paint(HDC dc, const RECT& client) const {
    FillRect(dc, &client, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    if (!image_) return;
    SelectedBitmap source(image_.get());
    BitBlt(dc, 0, 0, size_.cx, size_.cy, source.dc(), 0, 0, SRCCOPY);
}

HBRUSH Backdrop::BrushFor(HDC dc, HWND child, HWND window) const {
    if (!brush_) return static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    POINT origin{0, 0};
    MapWindowPoints(child, window, &origin, 1);
    SetBrushOrgEx(dc, -origin.x, -origin.y, nullptr);
    return brush_.get();
}

}  // namespace keyscour
