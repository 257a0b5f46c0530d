#pragma once
// The status text, which a search sets for every key it enters. The text
// is kept here and handed out at once (WM_GETTEXT), whole; it is painted on
// one line, shortened in the middle where it is too long. While painting is held,
// the label is repainted once per frame instead of at every change. Setting
// a window's text through the platform costs a round trip to the window
// server and an invalidation, which would double the time a search takes.

#include <windows.h>

#include <string>

namespace keyscour {

class StatusLabel {
public:
    StatusLabel() = default;
    ~StatusLabel() = default;
    StatusLabel(const StatusLabel&) = delete;
    StatusLabel& operator=(const StatusLabel&) = delete;

    // Takes over painting and text of a static control; the control keeps
    // its font and asks its parent for colours with WM_CTLCOLORSTATIC.
    void Attach(HWND label);

    // The same as WM_SETTEXT, without the message: even a message to a
    // window of this thread costs a round trip to the window server.
    void SetText(const std::wstring& text);

    // While held, text changes are painted only by Flush.
    void HoldPainting(bool hold);
    void Flush();

private:
    static LRESULT CALLBACK Procedure(HWND label, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                                      DWORD_PTR self);
    void Paint(HDC dc) const;

    HWND label_ = nullptr;
    std::wstring text_;
    bool held_ = false;
    bool dirty_ = false;
};

// text as it fits width pixels in the DC's font: whole, or its start and
// end around an ellipsis.
std::wstring ShortenedInTheMiddle(HDC dc, const std::wstring& text, int width);

}  // namespace keyscour
