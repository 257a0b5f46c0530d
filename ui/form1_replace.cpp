// The replace commands of Form1: the replacement text written as a string
// value into the listed values, all of them or the selected ones, after an
// undo file of their present state has been saved.

#include <cstdio>
#include <new>
#include <vector>

#include "base/numbered_error.h"
#include "engine/internal_error.h"
#include "registry/root_keys.h"
#include "registry/string_writer.h"
#include "registry/undo_snapshot.h"
#include "ui/form1.h"
#include "ui/result_list.h"
#include "ui/undo_file.h"

namespace keyscour {

namespace {

constexpr wchar_t kTitle[] = L"Quillon Keyscour";
constexpr COLORREF kRed = 255;

// The description of the exception being handled; call only inside a catch block.
std::wstring CurrentErrorDescription() {
    try {
        throw;
    } catch (const NumberedError& error) {
        return error.Description();
    } catch (const std::bad_alloc&) {
        return L"Out of memory";
    } catch (...) {
        return L"Internal error";
    }
}

// A row to write: its root is the one it was found under, whatever the
// drop-down shows now, and its path is the "Sub Key" text.
struct Target {
    int row;
    KeyHandle root;
    std::wstring path;
};

// The rows a command writes, taken once. Key-name rows name a key, not a
// value: written as a value path they would put a stray value into the
// parent key.
std::vector<Target> TargetsOf(HWND list, bool selectedOnly) {
    std::vector<Target> targets;
    const int n = result_list::RowCount(list);
    for (int row = 0; row < n; ++row) {
        if (result_list::Kind(list, row) == FoundKeyName) continue;
        if (selectedOnly && !result_list::IsSelected(list, row)) continue;
        targets.push_back({row, RootKeyHandle(result_list::Text(list, row, 0)).value_or(0),
                           result_list::Text(list, row, 1)});
    }
    return targets;
}

}  // namespace

void Form1::Command2_Click() { ReplaceRows(false); }
void Form1::Command3_Click() { ReplaceRows(true); }

void Form1::ReplaceRows(bool selectedOnly) {
    const std::wstring replacement = Text(design::kTxtReplace);
    if (replacement.empty()) return;
    const std::wstring question = selectedOnly
                                      ? L"Are you sure you want to replace the selected Registry values with: "
                                      : L"Are you sure you want to replace the Registry values with: ";
    if (Ask(question + replacement, MB_YESNO) != IDYES) return;

    HWND list = Control(design::kListView1);
    ReleaseListPainting();  // the list paints while the questions cover it
    try {
        const std::vector<Target> targets = TargetsOf(list, selectedOnly);
        UndoSnapshot undo(registry_);
        for (const auto& target : targets) undo.Capture(target.root, target.path);
        if (!undo.Empty())
            undo_file::Write(options_.undoFolder.empty() ? undo_file::DefaultFolder() : options_.undoFolder,
                             undo.Script());
        for (const auto& target : targets) {
            result_list::SetRowColour(list, target.row, kRed);
            MRegistry::WriteStringValue(registry_, static_cast<std::int32_t>(target.root), target.path, replacement);
        }
    } catch (...) {
        ReportError(CurrentErrorNumber(), CurrentErrorDescription());
        return;
    }
    InvalidateRect(list, nullptr, TRUE);
    Ask(L"Items have been replaced successfully.", MB_OK);
}

void Form1::ReportError(std::int32_t number, const std::wstring& description) {
    wchar_t hex[16];
    std::swprintf(hex, 16, L"0x%08X", static_cast<unsigned>(number));
    Ask(L"Error " + std::to_wstring(number) + L" (" + hex + L"): " + description, MB_OK | MB_ICONERROR);
}

int Form1::Ask(const std::wstring& text, UINT style) { return MessageBoxW(hwnd_, text.c_str(), kTitle, style); }

}  // namespace keyscour
