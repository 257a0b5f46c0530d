#pragma once
// Processing the thread's pending messages: the program's own loop and the
// search engine's yield.

#include <windows.h>

#include <chrono>
#include <functional>

namespace keyscour {

// The yield of a search: handles what is queued now and returns. Dialog
// keys (Tab, Enter) go to the dialog window. A WM_QUIT found here is posted
// again, so the outer loop still sees it and the program ends.
//
// Input, posted and sent messages are handled at every call; painting at
// most once per frame interval. The search calls this for every key, and
// repainting the status text and the list that often would cost more than
// the search itself; the texts are set at every key all the same.
class YieldPump {
public:
    // onFrame runs before each frame's painting: what holds its painting
    // between frames lets it paint then.
    explicit YieldPump(std::function<void()> onFrame = {},
                       std::chrono::milliseconds frame = std::chrono::milliseconds(30))
        : onFrame_(std::move(onFrame)), frame_(frame) {}
    void PumpPending(HWND dialog);

private:
    std::function<void()> onFrame_;
    std::chrono::milliseconds frame_;
    std::chrono::steady_clock::time_point lastPaint_{};
};

// Runs until WM_QUIT; returns its exit code.
int RunMessageLoop(HWND dialog);

}  // namespace keyscour
