#include "ui/form1.h"

#include <commctrl.h>
#include <commdlg.h>
#include <shellapi.h>
#include <windowsx.h>

#include <algorithm>

#include "anim/mavi.h"
#include "registry/root_keys.h"
#include "ui/message_pump.h"
#include "ui/plain_controls.h"
#include "ui/publisher.h"
#include "ui/resource_ids.h"
#include "ui/list_commands.h"
#include "ui/result_list.h"
#include "ui/window_text.h"

namespace keyscour {

namespace {

using namespace design;

constexpr wchar_t kClassName[] = L"KeyscourForm1";
constexpr wchar_t kIdleTitle[] = L"Quillon Keyscour - Find and Replace in Registry";
constexpr wchar_t kStopCaption[] = L"&Stop Search";
constexpr wchar_t kStartCaption[] = L"&Start Search";
constexpr wchar_t kClipLibrary[] = L"shell32.dll";
constexpr std::int32_t kClipId = 151;
constexpr DWORD kWindowStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
constexpr DWORD kWindowExStyle = 0;

bool IsLabel(int id) {
    const Control& control = Find(static_cast<ControlId>(id));
    return control.id == id && control.kind == Kind::kLabel;
}

// A control's place in the client area, in pixels.
RECT PixelRect(const Control& control, const Twips& twips) {
    const int left = twips.ToPixels(AbsoluteLeft(control));
    const int top = twips.ToPixels(AbsoluteTop(control));
    return {left, top, left + twips.ToPixels(control.width), top + twips.ToPixels(control.height)};
}

// The window's rectangle moved and cut to lie inside the work area of its
// monitor; a rectangle that fits already is left as it is. At a high DPI
// the doubled window would otherwise reach past the bottom of the screen,
// and with it the list's last rows and scroll bar.
RECT FittedToWorkArea(HWND window, RECT rect) {
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    if (!GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), &monitor)) return rect;
    const RECT& work = monitor.rcWork;
    const LONG height = std::min(rect.bottom - rect.top, work.bottom - work.top);
    if (rect.bottom > work.bottom) rect.top = work.bottom - height;
    rect.top = std::max(rect.top, work.top);
    rect.bottom = rect.top + height;
    return rect;
}

COLORREF InkColour(Ink ink) {
    switch (ink) {
    case Ink::kGrey: return kGrey;
    case Ink::kWindowText:
    case Ink::kDefault: break;
    }
    return GetSysColor(COLOR_WINDOWTEXT);
}

struct ClassAndStyle {
    const wchar_t* className;
    DWORD style;
    DWORD exStyle;
};

ClassAndStyle ClassFor(const Control& control) {
    switch (control.kind) {
    case Kind::kFrame: return {plain_controls::kFrameClass, WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS, 0};
    case Kind::kComboBox:
        return {WC_COMBOBOXW, WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST, 0};
    case Kind::kTextBox:
        return {WC_EDITW, WS_CHILD | WS_VISIBLE | WS_TABSTOP | ES_AUTOHSCROLL, WS_EX_CLIENTEDGE};
    case Kind::kLabel:
        // Notify: a label takes the mouse over its rectangle, as the
        // window's hover rules expect; no prefix: key names may hold '&'.
        return {WC_STATICW, WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX | SS_NOTIFY, 0};
    case Kind::kButton:
    {
        // Notify: the window follows where the focus goes (BN_SETFOCUS).
        const DWORD kind = control.id == kCommand1 ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON;
        return {WC_BUTTONW, WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_NOTIFY | kind, 0};
    }
    case Kind::kCheckBox:
        return {WC_BUTTONW, WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_AUTOCHECKBOX | BS_NOTIFY, 0};
    case Kind::kPictureBox: return {plain_controls::kPictureClass, WS_CHILD | WS_BORDER | WS_CLIPCHILDREN, 0};
    case Kind::kListView: break;  // made by the result list itself
    }
    return {WC_STATICW, WS_CHILD, 0};
}

}  // namespace

Form1::Form1(Registry& registry, Options options) : registry_(registry), options_(std::move(options)) {
    if (!options_.saveFile) {
        options_.saveFile = [](HWND owner, const wchar_t* title) -> std::optional<std::pair<std::wstring, int>> {
            wchar_t path[32768] = L"";
            OPENFILENAMEW dialog{};
            dialog.lStructSize = sizeof dialog;
            dialog.hwndOwner = owner;
            dialog.lpstrFilter = L"Registration Files (*.reg)\0*.reg\0CSV (*.csv)\0*.csv\0";
            dialog.nFilterIndex = 1;
            dialog.lpstrFile = path;
            dialog.nMaxFile = 32768;
            dialog.lpstrTitle = title;
            dialog.lpstrDefExt = L"reg";
            dialog.Flags = OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR | OFN_EXPLORER;
            if (!GetSaveFileNameW(&dialog)) return std::nullopt;
            return std::make_pair(std::wstring(path), static_cast<int>(dialog.nFilterIndex));
        };
    }
    if (!options_.shellExecute) {
        options_.shellExecute = [](HWND hwnd, const wchar_t* operation, const wchar_t* file,
                                   const wchar_t* parameters, const wchar_t* directory, int show) {
            ShellExecuteW(hwnd, operation, file, parameters, directory, show);
        };
    }
}

Form1::~Form1() {
    if (hwnd_) DestroyWindow(hwnd_);
}

bool Form1::Create(HINSTANCE instance) {
    static const ATOM atom = [instance] {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = &Window<Form1>::Procedure;
        wc.hInstance = instance;
        wc.hIcon = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDI_KEYSCOUR), IMAGE_ICON,
                                                 GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), LR_SHARED));
        wc.hIconSm = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDI_KEYSCOUR), IMAGE_ICON,
                                                   GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON),
                                                   LR_SHARED));
        wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        wc.lpszClassName = kClassName;
        return RegisterClassExW(&wc);
    }();
    if (!atom || !plain_controls::Register(instance)) return false;

    // The design's client area at the screen's DPI, centred in the work area.
    twips_ = Twips::ForWindow(nullptr);
    RECT frame{0, 0, twips_.ToPixels(kClientWidth), twips_.ToPixels(kClientHeight)};
    AdjustWindowRectEx(&frame, kWindowStyle, FALSE, kWindowExStyle);
    const int width = frame.right - frame.left;
    const int height = frame.bottom - frame.top;
    RECT work{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    const int left = work.left + (work.right - work.left - width) / 2;
    const int top = work.top + (work.bottom - work.top - height) / 2;

    return CreateWindowExW(kWindowExStyle, kClassName, L"Form1", kWindowStyle, left, top, width, height, nullptr,
                           nullptr, instance, this) != nullptr;
}

void Form1::Show(int showCommand) {
    ShowWindow(hwnd_, showCommand);
    UpdateWindow(hwnd_);
    SetFocus(Control(kCombo1));
}

LRESULT Form1::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        if (!CreateControls()) return -1;
        Form_Load();
        return 0;
    case WM_ERASEBKGND:
        PaintBackdrop(reinterpret_cast<HDC>(wParam));
        return 1;
    case WM_PRINTCLIENT:
        PaintBackdrop(reinterpret_cast<HDC>(wParam));
        return 0;
    case WM_CTLCOLORSTATIC:
        return OnCtlColorStatic(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam));
    case WM_SIZE:
        Form_Resize(static_cast<UINT>(wParam));
        return 0;
    case WM_COMMAND:
        return OnCommand(LOWORD(wParam), HIWORD(wParam));
    case WM_NOTIFY:
        return OnNotify(*reinterpret_cast<NMHDR*>(lParam));
    case WM_CONTEXTMENU:
        OnContextMenu(reinterpret_cast<HWND>(wParam), GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam));
        return 0;
    case WM_MOUSEMOVE:
        Form_MouseMove();
        return 0;
    case WM_SETCURSOR:
        if (OnSetCursor(reinterpret_cast<HWND>(wParam), static_cast<short>(LOWORD(lParam)))) return TRUE;
        break;
    case WM_ACTIVATE:
        OnActivate(LOWORD(wParam) != WA_INACTIVE, HIWORD(wParam) != 0);
        return 0;
    case DM_GETDEFID:
        return MAKELRESULT(kCommand1, DC_HASDEFID);
    case WM_DESTROY:
        Form_Unload();
        if (options_.quitOnClose) PostQuitMessage(0);
        return 0;
    case WM_NCDESTROY:
        controls_.fill(nullptr);  // the children are gone with the window
        break;
    default:
        break;
    }
    return Default(message, wParam, lParam);
}

bool Form1::CreateControls() {
    twips_ = Twips::ForWindow(hwnd_);
    CreateFonts();
    const INITCOMMONCONTROLSEX listClasses{sizeof(INITCOMMONCONTROLSEX), ICC_LISTVIEW_CLASSES};
    InitCommonControlsEx(&listClasses);

    for (const auto& control : kControls) {
        HWND child = CreateControl(control);
        if (!child) return false;
        controls_[static_cast<std::size_t>(control.id - kControls.front().id)] = child;
    }
    // Frames lie beneath what they hold; creation order stays the tab order.
    for (ControlId frame : {kFrame1, kFrame2})
        SetWindowPos(Control(frame), HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    SetWindowSubclass(Control(kLabel5), &Form1::Label5Procedure, 0, reinterpret_cast<DWORD_PTR>(this));
    SetWindowSubclass(Control(kTxtReplace), &Form1::ReplaceBoxProcedure, 0, reinterpret_cast<DWORD_PTR>(this));
    SetWindowSubclass(Control(kListView1), &Form1::ListProcedure, 0, reinterpret_cast<DWORD_PTR>(this));
    status_.Attach(Control(kLabel3));
    LoadArtwork();
    return true;
}

void Form1::CreateFonts() {
    // The captions the design fits on one line, with the room it gives them
    // (a check box keeps about 20 pixels for its box, a button 8 for its edges).
    auto room = [this](ControlId id, int reserved) { return twips_.ToPixels(Find(id).width) - reserved; };
    const FittedCaption captions[] = {
        {L"Search string", Font::kBold, room(kLabel1_0, 0)},
        {L"Root Key", Font::kDefault, room(kLabel1_1, 0)},
        {L"Searching key:", Font::kBold, room(kLabel2, 0)},
        {L"Search result:", Font::kBold, room(kLabel2, 0)},
        {L"Replace Registry Value with:", Font::kBold, room(kLabel4, 0)},
        {L"Match Whole word", Font::kDefault, room(kCheck4, 20)},
        {L"Replace Selected", Font::kDefault, room(kCommand3, 8)},
        {L"Stop Search", Font::kDefault, room(kCommand1, 8)},
    };
    fonts_.emplace(twips_.Dpi(), captions);
}

void Form1::LoadArtwork() {
    HINSTANCE instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(hwnd_, GWLP_HINSTANCE));
    handPointer_.reset(static_cast<HCURSOR>(
        LoadImageW(instance, MAKEINTRESOURCEW(IDC_HAND_POINTER), IMAGE_CURSOR, 32, 32, LR_DEFAULTCOLOR)));

    // The picture grows with the DPI as the controls do, so that the link
    // area stays over the logo; at 96 DPI it is its natural size.
    unique_hbitmap picture(static_cast<HBITMAP>(
        LoadImageW(instance, MAKEINTRESOURCEW(IDB_BACKGROUND), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION)));
    const RECT frames[] = {PixelRect(Find(kFrame1), twips_), PixelRect(Find(kFrame2), twips_)};
    const SIZE natural{kPictureWidthPixels, kPictureHeightPixels};
    const SIZE shown{MulDiv(natural.cx, twips_.Dpi(), 96), MulDiv(natural.cy, twips_.Dpi(), 96)};
    backdrop_.Compose(picture.get(), natural, shown, frames);
}

HWND Form1::CreateControl(const design::Control& control) {
    const RECT pixels = PixelRect(control, twips_);
    HWND child = nullptr;
    if (control.kind == Kind::kListView) {
        child = result_list::Create(hwnd_, control.id, pixels, twips_);
    } else {
        const auto [className, style, exStyle] = ClassFor(control);
        const wchar_t* text = control.id == kLabel6 ? kPublisherTagline : control.text;
        // A drop-down's height includes its list.
        const int height = control.kind == Kind::kComboBox ? twips_.ToPixels(control.height) * 10
                                                            : pixels.bottom - pixels.top;
        // Siblings overlap by design (a caption reaches into the box below
        // it); each paints only what is its own.
        const DWORD visible = control.hidden ? 0 : WS_VISIBLE;
        child = CreateWindowExW(exStyle, className, text, (style & ~WS_VISIBLE) | visible | WS_CLIPSIBLINGS,
                                pixels.left, pixels.top,
                                pixels.right - pixels.left, height, hwnd_,
                                reinterpret_cast<HMENU>(static_cast<INT_PTR>(control.id)), nullptr, nullptr);
    }
    if (child) SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(fonts_->For(control.font)), FALSE);
    return child;
}

// ----- the window's events -----

void Form1::Form_Load() {
    SetText(kCommand1, kStartCaption);
    SetWindowTextW(hwnd_, kIdleTitle);
    // Picture1 loses its border.
    HWND picture = Control(kPicture1);
    SetWindowLongPtrW(picture, GWL_STYLE, GetWindowLongPtrW(picture, GWL_STYLE) & ~WS_BORDER);
    SetWindowPos(picture, nullptr, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_FRAMECHANGED);
    OpenStillOrPlaying(false);
    SetText(kFrame1, L"Search location");
    SetText(kLabel1_0, L"Search string");
    SetText(kText1, L"FOO BAR");
    SetText(kLabel1_1, L"Root Key");
    HWND combo = Control(kCombo1);
    for (const auto& root : kRootKeyTable) {
        const std::wstring name(root.name);
        const auto index = SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name.c_str()));
        if (index >= 0) SendMessageW(combo, CB_SETITEMDATA, index, static_cast<LPARAM>(root.handle));
    }
    SendMessageW(combo, CB_SETCURSEL, 3, 0);
    SetText(kLabel1_2, L"Sub Key (optional)");
    SetText(kText2, L"");
    SetText(kCheck4, L"Match Whole word");
    SetText(kLabel2, L"Searching key:");
    SetText(kLabel3, L"");  // a static wraps its words already

    cReg = cKeyscour::Create(registry_, [this] { pump_.PumpPending(hwnd_); });
    cReg->Advise(this);
}

void Form1::Form_Resize(UINT sizeType) {
    if (sizeType == SIZE_MINIMIZED) return;
    if (sizeType == SIZE_MAXIMIZED) ShowList();
    // Back from the task bar: the focus is where it was before.
    if (lastFocus_ && GetActiveWindow() == hwnd_ && !GetFocus()) SetFocus(lastFocus_);

    RECT outer{}, client{};
    GetWindowRect(hwnd_, &outer);
    GetClientRect(hwnd_, &client);
    const float width = static_cast<float>(twips_.FromPixels(outer.right - outer.left)) - 150.0f;
    const float height = static_cast<float>(twips_.FromPixels(client.bottom)) - static_cast<float>(kListTop);
    HWND list = Control(kListView1);
    MoveWindow(list, 0, twips_.ToPixels(kListTop), twips_.ToPixels(width), twips_.ToPixels(height > 0 ? height : 0),
               TRUE);
    result_list::FitColumns(list, twips_);
    mAVI::CenterAnimation(Control(kPicture1));
}

void Form1::Form_Unload() {
    status_.HoldPainting(false);
    if (!cReg) return;
    cReg->StopSearch();
    cReg->Unadvise();
    cReg.reset();  // a running search keeps its engine alive until it returns
    mAVI::CloseAnimation();
}

void Form1::Form_MouseMove() {
    SetVisible(kLabel6, false);
    mousePointer_ = kPointerDefault;
}

void Form1::Label5_MouseMove() {
    SetVisible(kLabel6, true);
    mousePointer_ = kPointerCustom;
}

void Form1::Label5_Click() { options_.shellExecute(hwnd_, L"open", kPublisherAddress, L"", L"", SW_MAXIMIZE); }

void Form1::Command1_Click() {
    if (Text(kCommand1) == kStopCaption) {
        SetWindowTextW(hwnd_, L"Exiting...");
        cReg->StopSearch();
        SetVisible(kPicture1, false);
        return;
    }

    SetText(kCommand1, kStopCaption);
    if (!listShown_) {
        RECT outer{};
        GetWindowRect(hwnd_, &outer);
        const float top = static_cast<float>(twips_.FromPixels(outer.top)) / 2.0f;
        const float height = static_cast<float>(twips_.FromPixels(outer.bottom - outer.top)) * 2.0f;
        const RECT doubled = FittedToWorkArea(
            hwnd_, {outer.left, twips_.ToPixels(top), outer.right, twips_.ToPixels(top) + twips_.ToPixels(height)});
        SetWindowPos(hwnd_, nullptr, doubled.left, doubled.top, doubled.right - doubled.left,
                     doubled.bottom - doubled.top, SWP_NOZORDER | SWP_NOACTIVATE);
        ShowList();
    }
    rows_.Clear();
    result_list::SetCount(Control(kListView1), 0);
    SetText(kLabel2, L"Searching key:");
    SetText(kLabel3, L"");
    status_.HoldPainting(true);

    HWND combo = Control(kCombo1);
    const auto selected = SendMessageW(combo, CB_GETCURSEL, 0, 0);
    cReg->RootKey(static_cast<KeyHandle>(SendMessageW(combo, CB_GETITEMDATA, selected, 0)));
    cReg->SubKey(Text(kText2));
    const bool wholeWord = SendMessageW(Control(kCheck4), BM_GETCHECK, 0, 0) == BST_CHECKED;
    // Value data always; the whole text only when the box is ticked.
    cReg->SearchFlags(SearchValueData | (wholeWord ? MatchWholeText : 0));
    cReg->SearchString(Text(kText1));
    SetWindowTextW(hwnd_, L"Searching.....");
    OpenStillOrPlaying(true);
    SetVisible(kPicture1, true);

    // The search nests the window's input inside this call; the window may
    // even be closed meanwhile, so nothing of it is touched afterwards.
    const std::shared_ptr<cKeyscour> engine = cReg;
    engine->DoSearch();
}

// ----- the engine's events -----

void Form1::SearchKeyChanged(const std::wstring& sFullKeyName) {
    if (!IsIconic(hwnd_)) status_.SetText(sFullKeyName);
}

void Form1::SearchFound(const std::wstring& sRootKey, const std::wstring& sKey, const std::wstring& sValue,
                        std::int32_t lFound) {
    // The hit without its place: a value name is what follows the last backslash.
    const std::size_t keyPathLength = lFound == FoundKeyName ? sKey.size() : sKey.rfind(L'\\');
    AddRow(RootKeyHandle(sRootKey).value_or(0), sKey, keyPathLength == std::wstring::npos ? 0 : keyPathLength, sValue,
           lFound);
}

void Form1::SearchHitFound(const SearchHit& hit) { AddRow(hit.root, hit.sKey, hit.keyPathLength, hit.sValue, hit.lFound); }

void Form1::AddRow(KeyHandle root, const std::wstring& key, std::size_t keyPathLength, const std::wstring& value,
                   std::int32_t kind) {
    HoldListPainting();
    rows_.Add(root, key, keyPathLength, value, kind);
}

// The list learns of new rows at each frame, with one message at most,
// while its painting is held: it would otherwise repaint itself for each.
void Form1::SyncListCount() { result_list::SetCount(Control(kListView1), rows_.Count()); }

void Form1::SearchFinished(std::int32_t lReason) {
    switch (lReason) {
    case ReasonCompleted: SetText(kLabel3, L"Done!"); break;
    case ReasonStopped: SetText(kLabel3, L"Terminated by user!"); break;
    default: SetText(kLabel3, L"An Error occured! Err number = " + std::to_wstring(lReason)); break;
    }
    SetText(kCommand1, kStartCaption);
    SetText(kLabel2, L"Search result:");
    SetWindowTextW(hwnd_, kIdleTitle);
    mAVI::CloseAnimation();
    OpenStillOrPlaying(false);
    status_.HoldPainting(false);
    SyncListCount();
    ReleaseListPainting();
}

// ----- messages -----

LRESULT Form1::OnCtlColorStatic(HDC dc, HWND child) {
    const int id = GetDlgCtrlID(child);
    if (id == kCheck4) {
        SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
        SetBkColor(dc, GetSysColor(COLOR_WINDOW));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
    }
    if (!IsLabel(id)) return Default(WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(child));
    SetTextColor(dc, InkColour(Find(static_cast<ControlId>(id)).ink));
    SetBkMode(dc, TRANSPARENT);
    return reinterpret_cast<LRESULT>(backdrop_.BrushFor(dc, child, hwnd_));
}

LRESULT Form1::OnCommand(int id, int code) {
    if (code == BN_SETFOCUS || code == EN_SETFOCUS || code == CBN_SETFOCUS) {
        OnChildFocus(Control(static_cast<ControlId>(id)));
        return 0;
    }
    if (id == kLabel5) {
        if (code == STN_CLICKED) Label5_Click();
        return 0;
    }
    if (id == IDCANCEL) {
        OnEscape();
        return 0;
    }
    if (code == 0 && id >= list_commands::kCopy && id <= list_commands::kSelectAll) {
        ListCommand(id);
        return 0;
    }
    if (code != BN_CLICKED) return 0;
    switch (id) {
    case kCommand1: Command1_Click(); break;
    case kCommand2: Command2_Click(); break;
    case kCommand3: Command3_Click(); break;
    default: break;
    }
    return 0;
}

LRESULT Form1::OnNotify(NMHDR& header) {
    if (header.idFrom != kListView1) return 0;
    switch (header.code) {
    case NM_CUSTOMDRAW: return result_list::CustomDraw(*reinterpret_cast<NMLVCUSTOMDRAW*>(&header), rows_);
    case LVN_GETDISPINFOW: result_list::FillDisplayInfo(*reinterpret_cast<NMLVDISPINFOW*>(&header), rows_); break;
    case NM_SETFOCUS: OnChildFocus(header.hwndFrom); break;
    default: break;
    }
    return 0;
}

bool Form1::OnSetCursor(HWND over, int hitTest) {
    if (mousePointer_ != kPointerCustom || hitTest != HTCLIENT || !handPointer_) return false;
    // The setting is the window's: it shows over its own surface and over
    // its labels, which have no pointer of their own.
    if (over != hwnd_ && !IsLabel(GetDlgCtrlID(over))) return false;
    SetCursor(handPointer_.get());
    return true;
}

void Form1::OnActivate(bool active, bool minimized) {
    // Keyboard focus comes back to the control that last had it. It is
    // followed as it moves, since a window minimised without another to
    // activate loses its focus before it hears of its deactivation.
    if (active && !minimized && lastFocus_ && IsWindow(lastFocus_)) SetFocus(lastFocus_);
}

void Form1::OnChildFocus(HWND child) {
    if (child && IsChild(hwnd_, child)) lastFocus_ = child;
}

LRESULT CALLBACK Form1::Label5Procedure(HWND label, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR subclassId,
                                        DWORD_PTR self) {
    if (message == WM_MOUSEMOVE) {
        auto* form = reinterpret_cast<Form1*>(self);
        form->Label5_MouseMove();
        if (form->handPointer_) SetCursor(form->handPointer_.get());
    } else if (message == WM_NCDESTROY) {
        RemoveWindowSubclass(label, &Form1::Label5Procedure, subclassId);
    }
    return DefSubclassProc(label, message, wParam, lParam);
}

LRESULT CALLBACK Form1::ReplaceBoxProcedure(HWND box, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR subclassId,
                                            DWORD_PTR) {
    // Enter in the replacement box does nothing: as the default button's
    // key it would start a search and wipe the rows about to be replaced.
    switch (message) {
    case WM_GETDLGCODE:
        if (const auto* msg = reinterpret_cast<const MSG*>(lParam);
            msg && (msg->message == WM_KEYDOWN || msg->message == WM_CHAR) && msg->wParam == VK_RETURN)
            return DefSubclassProc(box, message, wParam, lParam) | DLGC_WANTMESSAGE;
        break;
    case WM_KEYDOWN:
    case WM_CHAR:
        if (wParam == VK_RETURN) return 0;
        break;
    case WM_NCDESTROY: RemoveWindowSubclass(box, &Form1::ReplaceBoxProcedure, subclassId); break;
    default: break;
    }
    return DefSubclassProc(box, message, wParam, lParam);
}

// ----- small helpers -----

void Form1::PaintBackdrop(HDC dc) const {
    RECT client{};
    GetClientRect(hwnd_, &client);
    backdrop_.Paint(dc, client);
}

void Form1::OpenStillOrPlaying(bool bAutoPlay) {
    mAVI::OpenAnimation(Control(kPicture1), kClipLibrary, kClipId, true, bAutoPlay);
}

void Form1::ShowList() {
    listShown_ = true;
    ShowWindow(Control(kListView1), SW_SHOWNA);
}

void Form1::HoldListPainting() {
    if (listHeld_) return;
    listHeld_ = true;
    SendMessageW(Control(kListView1), WM_SETREDRAW, FALSE, 0);
}

void Form1::ReleaseListPainting() {
    if (!listHeld_) return;
    listHeld_ = false;
    HWND list = Control(kListView1);
    SendMessageW(list, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(list, nullptr, TRUE);
}

void Form1::PaintHeldList() {
    using namespace std::chrono;
    const auto begin = steady_clock::now();
    if (!listHeld_ || begin - listPainted_ < listFrame_) return;
    SyncListCount();
    ReleaseListPainting();
    UpdateWindow(Control(kListView1));
    listPainted_ = steady_clock::now();
    listFrame_ = std::max<steady_clock::duration>(milliseconds(30), 8 * (listPainted_ - begin));
}

std::wstring Form1::Text(ControlId id) const { return WindowText(Control(id)); }

void Form1::SetText(ControlId id, const std::wstring& text) { SetWindowTextW(Control(id), text.c_str()); }

void Form1::SetVisible(ControlId id, bool visible) {
    if (IsShown(id) != visible) ShowWindow(Control(id), visible ? SW_SHOWNA : SW_HIDE);
}

bool Form1::IsShown(ControlId id) const { return (GetWindowLongPtrW(Control(id), GWL_STYLE) & WS_VISIBLE) != 0; }

}  // namespace keyscour
