#include "ui/message_pump.h"

namespace keyscour {

namespace {

void Dispatch(HWND dialog, MSG& msg) {
    if (dialog && IsWindow(dialog) && IsDialogMessageW(dialog, &msg)) return;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
}

}  // namespace

void YieldPump::PumpPending(HWND dialog) {
    const auto now = std::chrono::steady_clock::now();
    const bool paint = now - lastPaint_ >= frame_;
    const UINT which = PM_QS_INPUT | PM_QS_POSTMESSAGE | PM_QS_SENDMESSAGE | (paint ? PM_QS_PAINT : 0);
    if (paint && onFrame_) onFrame_();
    MSG msg;
    bool quit = false;
    while (!quit && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE | which)) {
        if (msg.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(msg.wParam));
            quit = true;
        } else {
            Dispatch(dialog, msg);
        }
    }
    if (paint) lastPaint_ = now;
}

int RunMessageLoop(HWND dialog) {
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) Dispatch(dialog, msg);
    return static_cast<int>(msg.wParam);
}

}  // namespace keyscour
