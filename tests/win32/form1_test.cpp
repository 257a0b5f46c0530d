// The main window under Wine: created in this process, driven with
// messages, read back from its controls.

#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <new>

#include "base/numbered_error.h"
#include "tests/support/window_driver.h"
#include "test_window.h"
#include "registry/memory_registry.h"
#include "registry/root_keys.h"
#include "registry/win32_registry.h"
#include "scratch_key.h"
#include "ui/message_pump.h"
#include "ui/publisher.h"

namespace keyscour {
namespace {

using namespace testing;
using Row = FormDriver::Row;

constexpr wchar_t kIdleTitle[] = L"Quillon Keyscour - Find and Replace in Registry";

SIZE ClientSize(HWND window) {
    RECT rect{};
    GetClientRect(window, &rect);
    return {rect.right, rect.bottom};
}
RECT Outer(HWND window) {
    RECT rect{};
    GetWindowRect(window, &rect);
    return rect;
}

class Form1Test : public ::testing::Test {
protected:
    Form1Test() {
        memory.PutString(kLocalMachine, L"Soft\\App", L"Path", L"FOO BAR");
        memory.PutString(kLocalMachine, L"Soft\\App", L"Other", L"xx FOO BAR yy");
        memory.AddKey(kLocalMachine, L"Soft\\FOO BAR");
        memory.PutDword(kLocalMachine, L"Soft\\Zed", L"Count", 7);
    }
    MemoryRegistry memory;
};

TEST_F(Form1Test, LoadSetsEveryTextAndTheDesign) {
    FormDriver ui(memory);
    ASSERT_TRUE(ui.created);
    EXPECT_EQ(ui.Title(), kIdleTitle);
    const std::pair<ControlId, std::wstring> texts[] = {
        {kCommand1, L"&Start Search"},   {kFrame1, L"Search location"},
        {kFrame2, L""},                  {kLabel1_0, L"Search string"},
        {kText1, L"FOO BAR"},            {kLabel1_1, L"Root Key"},
        {kLabel1_2, L"Sub Key (optional)"}, {kText2, L""},
        {kCheck4, L"Match Whole word"},  {kLabel2, L"Searching key:"},
        {kLabel3, L""},                  {kLabel4, L"Replace Registry Value with:"},
        {kTxtReplace, L""},              {kCommand2, L"Replace All"},
        {kCommand3, L"Replace Selected"}, {kLabel6, kPublisherTagline},
        {kLabel5, L""},
    };
    for (const auto& [id, text] : texts) EXPECT_EQ(ui.Text(id), text) << id;
    EXPECT_EQ(SendMessageW(ui.Item(kCheck4), BM_GETCHECK, 0, 0), BST_UNCHECKED);

    HWND combo = ui.Item(kCombo1);
    ASSERT_EQ(SendMessageW(combo, CB_GETCOUNT, 0, 0), 8);
    for (int i = 0; i < 8; ++i) {
        wchar_t name[64] = {};
        SendMessageW(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(name));
        EXPECT_EQ(name, kRootKeyTable[i].name);
        EXPECT_EQ(static_cast<KeyHandle>(SendMessageW(combo, CB_GETITEMDATA, i, 0)), kRootKeyTable[i].handle);
    }
    EXPECT_EQ(SendMessageW(combo, CB_GETCURSEL, 0, 0), 3);

    EXPECT_FALSE(ui.Visible(kPicture1));
    EXPECT_FALSE(GetWindowLongPtrW(ui.Item(kPicture1), GWL_STYLE) & WS_BORDER);
    EXPECT_FALSE(ui.Visible(kListView1));
    // Fitted already at the first showing: 2925 twips high, the outer width less 150.
    const RECT listRect = RectInParent(ui.Item(kListView1));
    EXPECT_EQ(listRect.bottom - listRect.top, 195);
    EXPECT_EQ(listRect.right - listRect.left, (Outer(ui.Window()).right - Outer(ui.Window()).left) - 10);
    EXPECT_NEAR(ListView_GetColumnWidth(ui.Item(kListView1), 1), (listRect.right - listRect.left) / 2.0, 1);
    EXPECT_FALSE(ui.Visible(kLabel6));
    EXPECT_EQ(ui.form->MousePointer(), Form1::kPointerDefault);

    // 10245 x 6045 twips at 96 dpi; no maximise or minimise box, no sizing.
    const SIZE client = ClientSize(ui.Window());
    EXPECT_EQ(client.cx, 683);
    EXPECT_EQ(client.cy, 403);
    const LONG_PTR style = GetWindowLongPtrW(ui.Window(), GWL_STYLE);
    EXPECT_FALSE(style & (WS_THICKFRAME | WS_MAXIMIZEBOX | WS_MINIMIZEBOX));
    EXPECT_TRUE(style & WS_SYSMENU);
    // Text2 in Frame1 at (120 + 1260, 1320 + 900) twips.
    EXPECT_EQ(RectInParent(ui.Item(kText2)).left, 92);
    EXPECT_EQ(RectInParent(ui.Item(kText2)).top, 148);
    EXPECT_EQ(SendMessageW(ui.Window(), DM_GETDEFID, 0, 0), MAKELRESULT(kCommand1, DC_HASDEFID));

    // Whatever face the platform gives, the one-line captions fit their labels.
    for (ControlId id : {kLabel1_0, kLabel1_1, kLabel2, kLabel4}) {
        HWND label = ui.Item(id);
        HDC dc = GetDC(label);
        HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(label, WM_GETFONT, 0, 0)));
        const std::wstring text = WindowText(label);
        SIZE size{};
        GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
        SelectObject(dc, old);
        ReleaseDC(label, dc);
        RECT client{};
        GetClientRect(label, &client);
        EXPECT_LE(size.cx, client.right) << std::string(text.begin(), text.end());
    }
}

TEST_F(Form1Test, LabelsPaintThePictureBeneathThemSoNewTextLeavesNoTrace) {
    FormDriver ui(memory);
    for (ControlId id : {kLabel3, kLabel2, kLabel5}) {
        HWND label = ui.Item(id);
        // Label3 reaches past the client area's right edge; compare what is inside.
        RECT inForm = RectInParent(label);
        inForm.right = std::min<LONG>(inForm.right, ClientSize(ui.Window()).cx);
        const RECT own{0, 0, inForm.right - inForm.left, inForm.bottom - inForm.top};
        SetWindowTextW(label, L"HKEY_LOCAL_MACHINE\\SOFTWARE\\A rather long key name that fills the label");
        EXPECT_NE(Printed(label, own), Printed(ui.Window(), inForm)) << id;  // the text shows
        SetWindowTextW(label, L"");
        EXPECT_EQ(Printed(label, own), Printed(ui.Window(), inForm)) << id;  // and is gone without a trace
    }
}

TEST_F(Form1Test, EnterInTheSearchBoxStartsTheSearch) {
    FormDriver ui(memory);
    SetFocus(ui.Item(kText1));
    PostMessageW(ui.Item(kText1), WM_KEYDOWN, VK_RETURN, 0);
    YieldPump pump;
    pump.PumpPending(ui.Window());  // the program's loop hands dialog keys to the window the same way
    EXPECT_EQ(ui.Rows().size(), 3u);
    EXPECT_EQ(ui.Text(kLabel3), L"Done!");
}

TEST_F(Form1Test, FocusStartsOnTheDropDownAndTabsInDesignOrder) {
    FormDriver ui(memory);
    EXPECT_EQ(GetFocus(), ui.Item(kCombo1));
    std::vector<HWND> order;
    HWND at = ui.Item(kCombo1);
    for (int i = 0; i < 8; ++i) order.push_back(at = GetNextDlgTabItem(ui.Window(), at, FALSE));
    const std::vector<HWND> expected{ui.Item(kText2),   ui.Item(kTxtReplace), ui.Item(kCommand2),
                                     ui.Item(kCommand3), ui.Item(kCommand1),   ui.Item(kCheck4),
                                     ui.Item(kText1),    ui.Item(kCombo1)};
    EXPECT_EQ(order, expected);
}

TEST_F(Form1Test, SearchFillsTheListInEngineOrderAndEndsDone) {
    HookedRegistry hooked(memory);
    FormDriver ui(hooked);
    std::wstring titleDuring, buttonDuring;
    bool pictureDuring = false;
    hooked.onCall = [&](const RegistryCall& call) {
        if (call.op != RegistryOp::kEnumKey) return;
        titleDuring = ui.Title();
        buttonDuring = ui.Text(kCommand1);
        pictureDuring = ui.Visible(kPicture1);
    };
    ui.Search(3, L"Soft", L"FOO BAR");

    const std::vector<Row> expected{{L"HKEY_LOCAL_MACHINE", L"Soft\\App\\Path", L"FOO BAR"},
                                    {L"HKEY_LOCAL_MACHINE", L"Soft\\App\\Other", L"xx FOO BAR yy"},
                                    {L"HKEY_LOCAL_MACHINE", L"Soft\\FOO BAR", L"*"}};
    EXPECT_EQ(ui.Rows(), expected);
    EXPECT_EQ(titleDuring, L"Searching.....");
    EXPECT_EQ(buttonDuring, L"&Stop Search");
    EXPECT_TRUE(pictureDuring);
    EXPECT_EQ(ui.Text(kLabel3), L"Done!");
    EXPECT_EQ(ui.Text(kLabel2), L"Search result:");
    EXPECT_EQ(ui.Text(kCommand1), L"&Start Search");
    EXPECT_EQ(ui.Title(), kIdleTitle);
    EXPECT_TRUE(ui.Visible(kPicture1));  // the still frame stays shown
    EXPECT_TRUE(ui.Visible(kListView1));
    EXPECT_EQ(ui.form->Rows().Kind(0), FoundValueData);
    EXPECT_EQ(ui.form->Rows().Kind(2), FoundKeyName);

    // Whole-word ticked: flags 6 keep only the exact data; a new start
    // clears the rows first.
    ui.TickWholeWord(true);
    ui.Click(kCommand1);
    const std::vector<Row> whole{{L"HKEY_LOCAL_MACHINE", L"Soft\\App\\Path", L"FOO BAR"},
                                 {L"HKEY_LOCAL_MACHINE", L"Soft\\FOO BAR", L"*"}};
    EXPECT_EQ(ui.Rows(), whole);
}

TEST_F(Form1Test, RowsKeepControlCharactersAndGoAtTheNextStart) {
    memory.PutString(kLocalMachine, L"Soft\\Odd", L"Lines", L"FOO BAR\r\nnext\tline");
    HookedRegistry hooked(memory);
    FormDriver ui(hooked);
    ui.Search(3, L"Soft", L"FOO BAR");
    const auto rows = ui.Rows();
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[3][1], L"Soft\\Odd\\Lines");
    EXPECT_EQ(rows[3][2], L"FOO BAR\r\nnext\tline");

    // The old rows are gone before the new search reads its first key.
    std::size_t rowsAtFirstKey = 99;
    hooked.onCall = [&](const RegistryCall& call) {
        if (call.op == RegistryOp::kOpenKey && rowsAtFirstKey == 99) rowsAtFirstKey = ui.Rows().size();
    };
    ui.Click(kCommand1);
    EXPECT_EQ(rowsAtFirstKey, 0u);
    EXPECT_EQ(ui.Rows(), rows);
}

TEST_F(Form1Test, AllRootsSearchesEveryRootAndNothingFoundLeavesTheListEmpty) {
    memory.PutString(kCurrentUser, L"Soft\\A", L"Here", L"needle");
    memory.PutString(kLocalMachine, L"Soft\\B", L"There", L"needle");
    FormDriver ui(memory);
    ui.Search(0, L"Soft", L"needle");
    const std::vector<Row> expected{{L"HKEY_CURRENT_USER", L"Soft\\A\\Here", L"needle"},
                                    {L"HKEY_LOCAL_MACHINE", L"Soft\\B\\There", L"needle"}};
    EXPECT_EQ(ui.Rows(), expected);

    ui.Search(3, L"Soft", L"absent");
    EXPECT_TRUE(ui.Rows().empty());
    EXPECT_EQ(ui.Text(kLabel3), L"Done!");
}

TEST_F(Form1Test, StopDuringSearchKeepsRowsAndSaysTerminated) {
    for (int i = 0; i < 40; ++i) memory.PutString(kLocalMachine, L"Wide\\K" + std::to_wstring(100 + i), L"v", L"hit");
    HookedRegistry hooked(memory);
    FormDriver ui(hooked);
    int enumKeys = 0;
    std::wstring titleAfterStop;
    bool pictureAfterStop = true;
    hooked.onCall = [&](const RegistryCall& call) {
        if (call.op != RegistryOp::kEnumKey) return;
        ++enumKeys;
        if (enumKeys == 10) PostMessageW(ui.Item(kCommand1), BM_CLICK, 0, 0);
        if (enumKeys == 14) {
            titleAfterStop = ui.Title();
            pictureAfterStop = ui.Visible(kPicture1);
        }
    };
    ui.Search(3, L"Wide", L"hit");
    EXPECT_EQ(titleAfterStop, L"Exiting...");
    EXPECT_FALSE(pictureAfterStop);
    EXPECT_EQ(ui.Text(kLabel3), L"Terminated by user!");
    EXPECT_EQ(ui.Title(), kIdleTitle);
    EXPECT_EQ(ui.Text(kCommand1), L"&Start Search");
    EXPECT_FALSE(ui.Visible(kPicture1));
    const auto rows = ui.Rows();
    EXPECT_GT(rows.size(), 0u);
    EXPECT_LT(rows.size(), 40u);
}

TEST_F(Form1Test, EngineErrorsShowTheirNumberWithSign) {
    FaultyRegistry faulty(memory);
    faulty.ThrowNth(RegistryOp::kEnumValue, 1);
    FormDriver ui(faulty);
    ui.Search(3, L"Soft", L"FOO BAR");
    EXPECT_EQ(ui.Text(kLabel3), L"An Error occured! Err number = 7");

    HookedRegistry hooked(memory);
    FormDriver second(hooked);
    hooked.onCall = [](const RegistryCall& call) {
        if (call.op == RegistryOp::kEnumValue) throw NumberedError(-2147220503, L"raised by the registry");
    };
    second.Search(3, L"Soft", L"FOO BAR");
    EXPECT_EQ(second.Text(kLabel3), L"An Error occured! Err number = -2147220503");
    EXPECT_EQ(second.Title(), kIdleTitle);
}

TEST_F(Form1Test, FirstStartHalvesTopDoublesHeightAndFitsTheList) {
    FormDriver ui(memory);
    const RECT before = Outer(ui.Window());
    ui.Search(3, L"Soft", L"FOO BAR");
    const RECT after = Outer(ui.Window());
    EXPECT_NEAR(after.top, before.top / 2, 1);
    EXPECT_EQ(after.bottom - after.top, 2 * (before.bottom - before.top));
    EXPECT_EQ(after.left, before.left);

    HWND list = ui.Item(kListView1);
    const RECT listRect = RectInParent(list);
    EXPECT_EQ(listRect.left, 0);
    EXPECT_EQ(listRect.top, 208);
    EXPECT_EQ(listRect.right, (after.right - after.left) - 10);
    EXPECT_EQ(listRect.bottom, ClientSize(ui.Window()).cy);
    const int width = listRect.right - listRect.left;
    EXPECT_NEAR(ListView_GetColumnWidth(list, 0), width / 4.0, 1);
    EXPECT_NEAR(ListView_GetColumnWidth(list, 1), width / 2.0, 1);
    EXPECT_NEAR(ListView_GetColumnWidth(list, 2), width / 4.0, 1);

    // A dragged column snaps back at the next resize; a second start
    // leaves the window where it is.
    ListView_SetColumnWidth(list, 1, 30);
    ui.Click(kCommand1);
    EXPECT_EQ(Outer(ui.Window()).top, after.top);
    EXPECT_EQ(Outer(ui.Window()).bottom, after.bottom);
    SetWindowPos(ui.Window(), nullptr, 0, 0, after.right - after.left + 100, after.bottom - after.top,
                 SWP_NOMOVE | SWP_NOZORDER);
    EXPECT_EQ(RectInParent(list).right, after.right - after.left + 100 - 10);
    EXPECT_NEAR(ListView_GetColumnWidth(list, 1), (after.right - after.left + 90) / 2.0, 1);
}

TEST_F(Form1Test, AListShownByMaximisingIsNotResizedByTheFirstStart) {
    FormDriver ui(memory);
    ShowWindow(ui.Window(), SW_MAXIMIZE);
    EXPECT_TRUE(ui.Visible(kListView1));
    ShowWindow(ui.Window(), SW_RESTORE);
    const RECT before = Outer(ui.Window());
    ui.Search(3, L"Soft", L"FOO BAR");
    const RECT after = Outer(ui.Window());
    EXPECT_EQ(after.top, before.top);
    EXPECT_EQ(after.bottom, before.bottom);
    EXPECT_EQ(ui.Rows().size(), 3u);
}

TEST_F(Form1Test, MinimisedWindowFreezesTheStatusButStillShowsTheResult) {
    HookedRegistry hooked(memory);
    FormDriver ui(hooked);
    std::vector<std::wstring> statusDuring;
    hooked.onCall = [&](const RegistryCall& call) {
        if (call.op == RegistryOp::kEnumKey) statusDuring.push_back(ui.Text(kLabel3));
    };
    ShowWindow(ui.Window(), SW_MINIMIZE);
    ui.Search(3, L"Soft", L"FOO BAR");
    ASSERT_FALSE(statusDuring.empty());
    for (const auto& status : statusDuring) EXPECT_EQ(status, L"");
    EXPECT_EQ(ui.Text(kLabel3), L"Done!");

    ShowWindow(ui.Window(), SW_RESTORE);
    statusDuring.clear();
    ui.Click(kCommand1);
    EXPECT_NE(std::find(statusDuring.begin(), statusDuring.end(), L"HKEY_LOCAL_MACHINE\\Soft\\App"), statusDuring.end());
}

TEST_F(Form1Test, LinkLabelHoverAndClick) {
    FormDriver ui(memory);
    SendMessageW(ui.Item(kLabel5), WM_MOUSEMOVE, 0, MAKELPARAM(5, 5));
    EXPECT_TRUE(ui.Visible(kLabel6));
    EXPECT_EQ(ui.form->MousePointer(), Form1::kPointerCustom);

    // Other controls change nothing; bare surface resets both.
    SendMessageW(ui.Item(kText1), WM_MOUSEMOVE, 0, MAKELPARAM(5, 5));
    EXPECT_TRUE(ui.Visible(kLabel6));
    SendMessageW(ui.Window(), WM_MOUSEMOVE, 0, MAKELPARAM(600, 150));
    EXPECT_FALSE(ui.Visible(kLabel6));
    EXPECT_EQ(ui.form->MousePointer(), Form1::kPointerDefault);

    for (int click = 0; click < 2; ++click) {
        SendMessageW(ui.Item(kLabel5), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
        SendMessageW(ui.Item(kLabel5), WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
    }
    ASSERT_EQ(ui.shellCalls.size(), 2u);
    for (const auto& call : ui.shellCalls) {
        EXPECT_EQ(call.hwnd, ui.Window());
        EXPECT_EQ(call.operation, L"open");
        EXPECT_EQ(call.file, kPublisherAddress);
        EXPECT_EQ(call.parameters, L"");
        EXPECT_EQ(call.directory, L"");
        EXPECT_EQ(call.show, 3);
    }
    EXPECT_EQ(ui.Title(), kIdleTitle);
}

TEST_F(Form1Test, HandPointerShowsOverTheWindowOnlyWhileCustom) {
    FormDriver ui(memory);
    const LPARAM overClient = MAKELPARAM(HTCLIENT, WM_MOUSEMOVE);
    SendMessageW(ui.Item(kLabel5), WM_MOUSEMOVE, 0, MAKELPARAM(5, 5));
    EXPECT_TRUE(SendMessageW(ui.Window(), WM_SETCURSOR, reinterpret_cast<WPARAM>(ui.Window()), overClient));
    EXPECT_NE(GetCursor(), LoadCursorW(nullptr, IDC_ARROW));
    // A text box keeps its own pointer.
    EXPECT_FALSE(SendMessageW(ui.Window(), WM_SETCURSOR, reinterpret_cast<WPARAM>(ui.Item(kText1)), overClient));
    SendMessageW(ui.Window(), WM_MOUSEMOVE, 0, MAKELPARAM(600, 150));
    EXPECT_FALSE(SendMessageW(ui.Window(), WM_SETCURSOR, reinterpret_cast<WPARAM>(ui.Window()), overClient));
}

TEST_F(Form1Test, ClosingDuringSearchEndsCleanly) {
    for (int i = 0; i < 40; ++i) memory.PutString(kLocalMachine, L"Wide\\K" + std::to_wstring(100 + i), L"v", L"hit");
    HookedRegistry hooked(memory);
    FormDriver ui(hooked, {}, true);
    HWND window = ui.Window();
    int enumKeys = 0, opens = 0, opensAtClose = -1;
    hooked.onCall = [&](const RegistryCall& call) {
        if (call.op == RegistryOp::kOpenKey) ++opens;
        if (call.op != RegistryOp::kEnumKey) return;
        ++enumKeys;
        if (enumKeys == 5) PostMessageW(window, WM_CLOSE, 0, 0);
        if (enumKeys == 6) opensAtClose = opens;  // the close ran in the yield before this call
    };
    ui.Search(3, L"Wide", L"hit");
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(ui.form->hwnd(), nullptr);
    EXPECT_EQ(opens, opensAtClose);  // no key opened after the close: the walk only winds down
    MSG msg;
    EXPECT_TRUE(PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));  // the program would end now
}

TEST(Form1RealRegistry, SearchesAScratchKeyOfCurrentUser) {
    ScratchKey scratch;
    scratch.PutString(L"Paths", L"Home", L"C:\\Old\\Place");
    scratch.PutString(L"Paths\\Deeper", L"Tool", L"c:\\old\\place\\tool.exe");
    scratch.PutDword(L"Paths", L"Number", 5);
    Win32Registry registry;
    FormDriver ui(registry);
    ui.Search(2, scratch.Path(), L"old\\place");
    const std::vector<Row> expected{
        {L"HKEY_CURRENT_USER", scratch.Below(L"Paths\\Home"), L"C:\\Old\\Place"},
        {L"HKEY_CURRENT_USER", scratch.Below(L"Paths\\Deeper\\Tool"), L"c:\\old\\place\\tool.exe"}};
    auto rows = ui.Rows();
    std::sort(rows.begin(), rows.end());
    auto sorted = expected;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(rows, sorted);
    EXPECT_EQ(ui.Text(kLabel3), L"Done!");
}

}  // namespace
}  // namespace keyscour
