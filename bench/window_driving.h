#pragma once
// What the window benchmarks share: a Form1 made for measuring, message
// pumping, answering the window's message boxes, and timing.

#include <windows.h>

#include <chrono>
#include <deque>
#include <memory>
#include <string>

#include "registry/root_keys.h"
#include "ui/form1.h"

namespace keyscour::bench {

using Clock = std::chrono::steady_clock;

inline double MsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

inline void Pump() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

inline int RootIndex(KeyHandle root) {
    for (std::size_t i = 0; i < kRootKeyTable.size(); ++i)
        if (kRootKeyTable[i].handle == root) return static_cast<int>(i);
    return 0;
}

// A shown Form1 that opens no web page; null when it cannot be created.
inline std::unique_ptr<Form1> MakeForm(Registry& registry, const std::wstring& undoFolder = {}) {
    Form1::Options options;
    options.quitOnClose = false;
    options.undoFolder = undoFolder;
    options.shellExecute = [](HWND, const wchar_t*, const wchar_t*, const wchar_t*, const wchar_t*, int) {};
    auto form = std::make_unique<Form1>(registry, std::move(options));
    if (!form->Create(GetModuleHandleW(nullptr))) return nullptr;
    form->Show(SW_SHOWNORMAL);
    Pump();
    return form;
}

inline void SetText(const Form1& form, design::ControlId id, const std::wstring& text) {
    SetWindowTextW(form.Control(id), text.c_str());
}

// Answers the thread's message boxes from a timer that the box's own modal
// loop runs: each box gets the next answer (default: its first button).
class BoxAnswerer {
public:
    explicit BoxAnswerer(std::deque<int> answers) : answers_(std::move(answers)) {
        current_ = this;
        timer_ = SetTimer(nullptr, 0, 10, &BoxAnswerer::Tick);
    }
    ~BoxAnswerer() {
        KillTimer(nullptr, timer_);
        current_ = nullptr;
    }
    BoxAnswerer(const BoxAnswerer&) = delete;
    BoxAnswerer& operator=(const BoxAnswerer&) = delete;
    std::wstring lastText;

private:
    static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
        if (current_) EnumThreadWindows(GetCurrentThreadId(), &BoxAnswerer::Visit, 0);
    }
    static BOOL CALLBACK Visit(HWND window, LPARAM) {
        wchar_t className[16] = {};
        GetClassNameW(window, className, 16);
        if (lstrcmpW(className, L"#32770") != 0 || !IsWindowVisible(window) || current_->answers_.empty()) return TRUE;
        const int answer = current_->answers_.front();
        current_->answers_.pop_front();
        wchar_t text[512] = {};
        GetDlgItemTextW(window, 0xFFFF, text, 512);
        current_->lastText = text;
        PostMessageW(window, WM_COMMAND, MAKEWPARAM(answer, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(window, answer)));
        return FALSE;
    }
    static inline BoxAnswerer* current_ = nullptr;
    std::deque<int> answers_;
    UINT_PTR timer_ = 0;
};

}  // namespace keyscour::bench
