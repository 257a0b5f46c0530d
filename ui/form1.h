#pragma once
// Form1, the main window: the search inputs, the start/stop button, the
// status labels, the busy animation, the result list and the replace
// commands, laid out as the window design says.

#include <windows.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/win32_handles.h"
#include "engine/keyscour.h"
#include "registry/registry.h"
#include "ui/backdrop.h"
#include "ui/design_fonts.h"
#include "ui/form1_design.h"
#include "ui/message_pump.h"
#include "ui/result_rows.h"
#include "ui/status_label.h"
#include "ui/twips.h"
#include "ui/window.h"

namespace keyscour {

class Form1 : public Window<Form1>, private cKeyscourEvents {
public:
    // The shell's "open a document" call; tests put a recorder in its place.
    using ShellExecuteFunction = std::function<void(HWND hwnd, const wchar_t* operation, const wchar_t* file,
                                                    const wchar_t* parameters, const wchar_t* directory, int show)>;

    // Asks where to save an export: the path and the chosen filter (1 for
    // .reg, 2 for CSV), or nothing when the user cancels.
    using SaveFileFunction = std::function<std::optional<std::pair<std::wstring, int>>(HWND owner, const wchar_t* title)>;

    struct Options {
        ShellExecuteFunction shellExecute;  // empty: the platform's ShellExecuteW
        SaveFileFunction saveFile;          // empty: the platform's save dialog
        bool quitOnClose = true;            // post WM_QUIT when the window goes
        std::wstring undoFolder;            // empty: %LOCALAPPDATA%\Quillon Keyscour\Undo
    };

    // The registry must outlive the window.
    Form1(Registry& registry, Options options);
    ~Form1();

    // Creates the window and runs its load; it is not shown yet.
    bool Create(HINSTANCE instance);
    void Show(int showCommand);

    // Looked up once: asking the platform for a child costs a round trip,
    // and the search asks for every key.
    HWND Control(design::ControlId id) const {
        const auto slot = static_cast<std::size_t>(id - design::kControls.front().id);
        return slot < controls_.size() ? controls_[slot] : nullptr;
    }
    // The window's pointer setting: 0 the default arrow, 99 the hand.
    int MousePointer() const { return mousePointer_; }
    // The result list's rows, which the list shows.
    const ResultRows& Rows() const { return rows_; }

    static constexpr int kPointerDefault = 0;
    static constexpr int kPointerCustom = 99;

private:
    friend class Window<Form1>;
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);

    bool CreateControls();
    void CreateFonts();
    void LoadArtwork();
    HWND CreateControl(const design::Control& control);
    LRESULT OnCtlColorStatic(HDC dc, HWND child);
    LRESULT OnCommand(int id, int code);
    LRESULT OnNotify(NMHDR& header);
    bool OnSetCursor(HWND over, int hitTest);
    void OnActivate(bool active, bool minimized);
    void OnChildFocus(HWND child);
    void OnContextMenu(HWND over, int x, int y);
    void OnEscape();

    // The result list's commands (form1_list.cpp).
    void ListCommand(int command);
    std::vector<std::size_t> SelectedRows() const;
    void CopyRows();
    void CopyKeyPaths();
    void OpenInRegistryEditor();
    void ExportRows(bool selectedOnly);
    void SelectAllRows();
    static LRESULT CALLBACK ListProcedure(HWND list, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR subclassId,
                                          DWORD_PTR self);

    // The window's events.
    void Form_Load();
    void Form_Resize(UINT sizeType);
    void Form_Unload();
    void Form_MouseMove();
    void Command1_Click();
    void Command2_Click();
    void Command3_Click();
    void Label5_MouseMove();
    void Label5_Click();

    // The engine's events, cReg_SearchFound and its siblings.
    void SearchFound(const std::wstring& sRootKey, const std::wstring& sKey, const std::wstring& sValue,
                     std::int32_t lFound) override;
    void SearchFinished(std::int32_t lReason) override;
    void SearchKeyChanged(const std::wstring& sFullKeyName) override;
    void SearchHitFound(const SearchHit& hit) override;
    void AddRow(KeyHandle root, const std::wstring& key, std::size_t keyPathLength, const std::wstring& value,
                std::int32_t kind);
    void SyncListCount();

    // Replace All (selectedOnly false) and Replace Selected.
    void ReplaceRows(bool selectedOnly);
    void ReportError(std::int32_t number, const std::wstring& description);
    int Ask(const std::wstring& text, UINT style);

    void PaintBackdrop(HDC dc) const;
    void OpenStillOrPlaying(bool bAutoPlay);
    void ShowList();
    // Rows arriving between frames are painted together at a later frame.
    // A whole list can take a long time to paint, so frames for it are
    // spaced to keep its painting to a ninth of the search's time.
    void HoldListPainting();
    void ReleaseListPainting();
    void PaintHeldList();
    std::wstring Text(design::ControlId id) const;
    void SetText(design::ControlId id, const std::wstring& text);
    void SetVisible(design::ControlId id, bool visible);
    bool IsShown(design::ControlId id) const;
    static LRESULT CALLBACK Label5Procedure(HWND label, UINT message, WPARAM wParam, LPARAM lParam,
                                            UINT_PTR subclassId, DWORD_PTR self);
    static LRESULT CALLBACK ReplaceBoxProcedure(HWND box, UINT message, WPARAM wParam, LPARAM lParam,
                                                UINT_PTR subclassId, DWORD_PTR self);

    Registry& registry_;
    std::array<HWND, design::kControls.size()> controls_{};
    Options options_;
    Twips twips_{96};
    std::optional<DesignFonts> fonts_;
    Backdrop backdrop_;
    unique_hcursor handPointer_;
    std::shared_ptr<cKeyscour> cReg;
    int mousePointer_ = kPointerDefault;
    HWND lastFocus_ = nullptr;  // the child that last took the focus
    ResultRows rows_;
    StatusLabel status_;
    bool listShown_ = false;  // the list's own visibility; holding its painting hides its style bit
    bool listHeld_ = false;
    std::chrono::steady_clock::time_point listPainted_{};
    std::chrono::steady_clock::duration listFrame_{};
    YieldPump pump_{[this] {
        status_.Flush();
        PaintHeldList();
    }};
};

}  // namespace keyscour
