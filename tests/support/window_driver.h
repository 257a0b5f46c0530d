#pragma once
// Drives a real Form1 the way a user does, with messages, and reads it back,
// for the window's tests and its benchmarks alike. Message boxes are
// answered from a thread timer, which the box's own modal loop dispatches.

#include <windows.h>
#include <commctrl.h>

#include <array>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/forwarding_registry.h"
#include "registry/root_keys.h"
#include "ui/form1.h"
#include "ui/result_list.h"
#include "ui/window_text.h"

namespace keyscour::testing {

using namespace design;

using keyscour::WindowText;

// Every message waiting for this thread's windows, dispatched.
inline void Pump() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

// The place of a root in the window's drop-down.
inline int RootIndex(KeyHandle root) {
    for (std::size_t i = 0; i < kRootKeyTable.size(); ++i)
        if (kRootKeyTable[i].handle == root) return static_cast<int>(i);
    return 0;
}

// Runs a hook after every call of the registry below, in the middle of a
// search: where a user's click would land during a yield.
class HookedRegistry final : public ForwardingRegistry {
public:
    using ForwardingRegistry::ForwardingRegistry;
    std::function<void(const RegistryCall&)> onCall;

private:
    void After(const RegistryCall& call) override {
        if (onCall) onCall(call);
    }
};

struct ShellCall {
    HWND hwnd;
    std::wstring operation, file, parameters, directory;
    int show;
};

struct SeenBox {
    std::wstring title, text;
    bool yesNo = false;  // Yes and No buttons; otherwise OK only
};

class MessageBoxAnswerer {
public:
    // answers: IDYES, IDNO or IDOK, one per box, in order.
    explicit MessageBoxAnswerer(std::deque<int> answers = {}) : answers_(std::move(answers)) {
        current_ = this;
        timer_ = SetTimer(nullptr, 0, 15, &MessageBoxAnswerer::Tick);
    }
    ~MessageBoxAnswerer() {
        KillTimer(nullptr, timer_);
        current_ = nullptr;
    }
    MessageBoxAnswerer(const MessageBoxAnswerer&) = delete;
    MessageBoxAnswerer& operator=(const MessageBoxAnswerer&) = delete;

    void Answer(int id) { answers_.push_back(id); }
    std::vector<SeenBox> seen;

private:
    static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
        if (!current_) return;
        EnumThreadWindows(GetCurrentThreadId(), &MessageBoxAnswerer::Visit, 0);
    }
    static BOOL CALLBACK Visit(HWND window, LPARAM) {
        wchar_t className[16] = {};
        GetClassNameW(window, className, 16);
        auto& self = *current_;
        if (lstrcmpW(className, L"#32770") != 0 || !IsWindowVisible(window)) return TRUE;
        for (HWND handled : self.handled_)
            if (handled == window) return TRUE;
        self.handled_.push_back(window);
        SeenBox box{WindowText(window), WindowText(GetDlgItem(window, 0xFFFF)),
                    GetDlgItem(window, IDYES) != nullptr && GetDlgItem(window, IDNO) != nullptr};
        self.seen.push_back(box);
        int answer = box.yesNo ? IDNO : IDOK;
        if (!self.answers_.empty()) {
            answer = self.answers_.front();
            self.answers_.pop_front();
        }
        PostMessageW(window, WM_COMMAND, MAKEWPARAM(answer, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(window, answer)));
        return TRUE;
    }

    static inline MessageBoxAnswerer* current_ = nullptr;
    std::deque<int> answers_;
    std::vector<HWND> handled_;
    UINT_PTR timer_ = 0;
};

class FormDriver {
public:
    explicit FormDriver(Registry& registry, const std::wstring& undoFolder = {}, bool quitOnClose = false) {
        Form1::Options options;
        options.shellExecute = [this](HWND hwnd, const wchar_t* operation, const wchar_t* file,
                                      const wchar_t* parameters, const wchar_t* directory, int show) {
            shellCalls.push_back({hwnd, operation, file, parameters, directory, show});
        };
        options.saveFile = [this](HWND, const wchar_t* title) {
            saveTitles.push_back(title);
            return saveAnswer;
        };
        options.quitOnClose = quitOnClose;
        options.undoFolder = undoFolder;
        form = std::make_unique<Form1>(registry, std::move(options));
        created = form->Create(GetModuleHandleW(nullptr));
        if (created) form->Show(SW_SHOWNORMAL);
    }

    HWND Window() const { return form->hwnd(); }
    HWND Item(ControlId id) const { return GetDlgItem(form->hwnd(), id); }
    std::wstring Text(ControlId id) const { return WindowText(Item(id)); }
    std::wstring Title() const { return WindowText(form->hwnd()); }
    bool Visible(ControlId id) const { return (GetWindowLongPtrW(Item(id), GWL_STYLE) & WS_VISIBLE) != 0; }

    void Click(ControlId id) const { SendMessageW(Item(id), BM_CLICK, 0, 0); }
    void Type(ControlId id, const std::wstring& text) const {
        SendMessageW(Item(id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
    }
    void PickRoot(int index) const { SendMessageW(Item(kCombo1), CB_SETCURSEL, index, 0); }
    void TickWholeWord(bool ticked) const {
        SendMessageW(Item(kCheck4), BM_SETCHECK, ticked ? BST_CHECKED : BST_UNCHECKED, 0);
    }
    // Runs a whole search; it returns when the search has ended.
    void Search(int rootIndex, const std::wstring& subKey, const std::wstring& text) const {
        PickRoot(rootIndex);
        Type(kText2, subKey);
        Type(kText1, text);
        Click(kCommand1);
    }

    using Row = std::array<std::wstring, 3>;
    std::vector<Row> Rows() const {
        std::vector<Row> rows;
        HWND list = Item(kListView1);
        for (int row = 0; row < result_list::RowCount(list); ++row)
            rows.push_back({result_list::Text(list, row, 0), result_list::Text(list, row, 1),
                            result_list::Text(list, row, 2)});
        return rows;
    }
    // Whether the window has the list draw the row in red: its answer to
    // the list's custom draw of that row, unselected.
    bool IsRed(int row) const {
        NMLVCUSTOMDRAW draw{};
        draw.nmcd.hdr = {Item(kListView1), static_cast<UINT_PTR>(kListView1), static_cast<UINT>(NM_CUSTOMDRAW)};
        draw.nmcd.dwDrawStage = CDDS_ITEMPREPAINT;
        draw.nmcd.dwItemSpec = static_cast<DWORD_PTR>(row);
        draw.clrText = CLR_DEFAULT;
        SendMessageW(Window(), WM_NOTIFY, kListView1, reinterpret_cast<LPARAM>(&draw));
        return draw.clrText == RGB(255, 0, 0);
    }
    void Select(std::initializer_list<int> rows) const {
        HWND list = Item(kListView1);
        ListView_SetItemState(list, -1, 0, LVIS_SELECTED);
        for (int row : rows) ListView_SetItemState(list, row, LVIS_SELECTED, LVIS_SELECTED);
    }

    std::unique_ptr<Form1> form;
    bool created = false;
    std::vector<ShellCall> shellCalls;
    // What the save dialog answers: a path and the filter (1 .reg, 2 CSV).
    std::optional<std::pair<std::wstring, int>> saveAnswer;
    std::vector<std::wstring> saveTitles;
};

}  // namespace keyscour::testing
