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
#include "registry/undo/replace_transaction.h"
#include "ui/form1.h"
#include "ui/result_list.h"

namespace keyscour {

namespace {

constexpr wchar_t kTitle[] = L"Quillon Keyscour";

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
// drop-down shows now; its path is the "Sub Key" text, whose key path ends
// where the row says.
struct Target {
    std::size_t row;
    KeyHandle root;
    std::wstring path;
    std::size_t keyPathLength;
};

// The rows a command writes, taken once. Key-name rows name a key, not a
// value: written as a value path they would put a stray value into the
// parent key.
std::vector<Target> TargetsOf(const ResultRows& rows, HWND list, bool selectedOnly) {
    std::vector<Target> targets;
    auto take = [&](std::size_t row) {
        if (row >= rows.Count() || rows.Kind(row) == FoundKeyName) return;
        targets.push_back({row, rows.Root(row), std::wstring(rows.Key(row)), rows.KeyPathLength(row)});
    };
    if (selectedOnly) {
        for (int row : result_list::SelectedRows(list)) take(static_cast<std::size_t>(row));
    } else {
        targets.reserve(rows.Count());
        for (std::size_t row = 0; row < rows.Count(); ++row) take(row);
    }
    return targets;
}

// The wait pointer while a command works without yielding.
class WaitPointer {
public:
    WaitPointer() : previous_(SetCursor(LoadCursorW(nullptr, IDC_WAIT))) {}
    ~WaitPointer() { SetCursor(previous_); }
    WaitPointer(const WaitPointer&) = delete;
    WaitPointer& operator=(const WaitPointer&) = delete;

private:
    HCURSOR previous_;
};

// "row 3 (HKEY_CURRENT_USER\\Key\\name)", line breaks shown as \\r and \\n.
std::wstring RowPlace(const ResultRows& rows, std::size_t row) {
    std::wstring place = L"row " + std::to_wstring(row + 1) + L" (" + std::wstring(rows.RootName(row)) + L"\\";
    for (wchar_t c : rows.Key(row)) place += c == L'\r' ? L"\\r" : c == L'\n' ? L"\\n" : std::wstring(1, c);
    return place + L")";
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
    SyncListCount();
    ReleaseListPainting();  // the list paints while the questions cover it
    // The question has gone; what it covered is painted before the work,
    // which does not yield.
    RedrawWindow(hwnd_, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
    const WaitPointer wait;
    try {
        const std::vector<Target> targets = TargetsOf(rows_, list, selectedOnly);
        // The shared sequence, with the window's rules: the "Sub Key" text
        // written as REG_SZ by the writer's own rules, each row red before
        // it is written, and no undo file when there is nothing to keep.
        ReplaceSteps steps;
        steps.count = targets.size();
        steps.undoFolder = options_.undoFolder;
        steps.undoFileWhenEmpty = false;
        steps.capture = [&](std::size_t i, UndoSnapshots& undo) {
            const Target& target = targets[i];
            undo.For(registry_).Capture(target.root, target.path, target.keyPathLength);
        };
        steps.beforeWrite = [&](std::size_t i) { rows_.MarkRed(targets[i].row); };
        steps.write = [&](std::size_t i) {
            const Target& target = targets[i];
            MRegistry::WriteStringValue(registry_, static_cast<std::int32_t>(target.root), target.path,
                                        target.keyPathLength, replacement);
        };
        const ReplaceOutcome outcome = RunReplaceTransaction(steps);
        InvalidateRect(list, nullptr, TRUE);
        switch (outcome.ending) {
        case ReplaceOutcome::Ending::kDone:
            break;
        case ReplaceOutcome::Ending::kCaptureFailed:
            ReportError(outcome.number, L"Nothing was replaced: " + RowPlace(rows_, targets[outcome.failedAt].row) +
                                            L": " + outcome.error);
            return;
        default:
            ReportError(outcome.number, outcome.error);
            return;
        }
    } catch (...) {
        InvalidateRect(list, nullptr, TRUE);
        ReportError(CurrentErrorNumber(), CurrentErrorDescription());
        return;
    }
    Ask(L"Items have been replaced successfully.", MB_OK);
}

void Form1::ReportError(std::int32_t number, const std::wstring& description) {
    wchar_t hex[16];
    std::swprintf(hex, 16, L"0x%08X", static_cast<unsigned>(number));
    Ask(L"Error " + std::to_wstring(number) + L" (" + hex + L"): " + description, MB_OK | MB_ICONERROR);
}

int Form1::Ask(const std::wstring& text, UINT style) { return MessageBoxW(hwnd_, text.c_str(), kTitle, style); }

}  // namespace keyscour
