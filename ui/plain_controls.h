#pragma once
// Two controls the platform has no exact match for: a frame that fills
// itself white under an etched border and its caption, and the picture box
// that hosts the busy animation.

#include <windows.h>

namespace keyscour::plain_controls {

inline constexpr wchar_t kFrameClass[] = L"KeyscourFrame";
inline constexpr wchar_t kPictureClass[] = L"KeyscourPicture";

// Registers both classes once per process; false if that failed.
bool Register(HINSTANCE instance);

}  // namespace keyscour::plain_controls
