#pragma once
// A window bound to a C++ object: the static procedure finds the object in
// the creation parameters at WM_NCCREATE, forwards every message to
// HandleMessage, and unbinds at WM_NCDESTROY. No exception leaves it.

#include <windows.h>

namespace keyscour {

template <typename Derived>
class Window {
public:
    HWND hwnd() const noexcept { return hwnd_; }

protected:
    Window() = default;
    ~Window() = default;
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;

    static LRESULT CALLBACK Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) noexcept {
        Derived* self = nullptr;
        if (message == WM_NCCREATE) {
            self = static_cast<Derived*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
            self->hwnd_ = hwnd;
            SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        } else {
            self = reinterpret_cast<Derived*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
        }
        if (!self) return DefWindowProcW(hwnd, message, wParam, lParam);

        LRESULT result = 0;
        try {
            result = self->HandleMessage(message, wParam, lParam);
        } catch (...) {
            // Handlers report their own failures; what reaches here is dropped
            // rather than unwinding through the platform's frames.
            result = DefWindowProcW(hwnd, message, wParam, lParam);
        }
        if (message == WM_NCDESTROY) {
            SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
            self->hwnd_ = nullptr;
        }
        return result;
    }

    LRESULT Default(UINT message, WPARAM wParam, LPARAM lParam) const {
        return DefWindowProcW(hwnd_, message, wParam, lParam);
    }

    HWND hwnd_ = nullptr;
};

}  // namespace keyscour
