#pragma once
// What the window's surface shows: the background picture, scaled with the
// screen's DPI (at 96 DPI its natural size), with the frames' white
// interiors on it. Transparent labels paint
// with a brush of the same image, aligned to where they sit, so a label
// whose text changes repaints over exactly the pixels beneath it.

#include <windows.h>

#include <span>

#include "base/win32_handles.h"

namespace keyscour {

class Backdrop {
public:
    // picture may be null: the surface is then plain white. The picture of
    // pictureSize is shown at shownSize.
    void Compose(HBITMAP picture, SIZE pictureSize, SIZE shownSize, std::span<const RECT> whiteAreas);

    // White, with the composed image at the top-left corner.
    void Paint(HDC dc, const RECT& client) const;

    // The brush for a child of `window`, its origin set in `dc` so that the
    // image lines up with the window's client area.
    HBRUSH BrushFor(HDC dc, HWND child, HWND window) const;

private:
    unique_hbitmap image_;
    unique_hbrush brush_;
    SIZE size_{};
};

}  // namespace keyscour
