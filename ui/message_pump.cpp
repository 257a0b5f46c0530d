#include "ui/message_pump.h"

namespace keyscour {

namespace {

void Dispatch(HWND dialog, MSG& msg) {
    if (dialog && IsWindow(dialog) && IsDialogMessageW(dialog, &msg)) return;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
}

}  // namespace

void PumpPendingMessages(HWND dialog) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(msg.wParam));
            return;
        }
        Dispatch(dialog, msg);
    }
}

int RunMessageLoop(HWND dialog) {
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) Dispatch(dialog, msg);
    return static_cast<int>(msg.wParam);
}

}  // namespace keyscour
