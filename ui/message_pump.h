#pragma once
// Processing the thread's pending messages: the program's own loop and the
// search engine's yield.

#include <windows.h>

namespace keyscour {

// Handles what is queued now and returns; dialog keys (Tab, Enter) go to
// the dialog window. A WM_QUIT found here is posted again, so the outer loop
// still sees it and the program ends.
void PumpPendingMessages(HWND dialog);

// Runs until WM_QUIT; returns its exit code.
int RunMessageLoop(HWND dialog);

}  // namespace keyscour
