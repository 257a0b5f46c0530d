// The window at the sizes and in the corners a real registry brings: many
// rows, names a registry script cannot carry, keys that cannot be read, long
// values, value names with backslashes, focus, the Enter key, the selection
// without the focus, and a high DPI.

#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <set>

#include "tests/support/window_driver.h"
#include "test_window.h"
#include "registry/memory_registry.h"
#include "registry/root_keys.h"
#include "registry/win32_registry.h"
#include "scratch_key.h"
#include "test_files.h"
#include "ui/message_pump.h"

namespace keyscour {
namespace {

using namespace testing;

constexpr wchar_t kSuccess[] = L"Items have been replaced successfully.";

class RealSizeTest : public ::testing::Test {
protected:
    // Searches S for text and presses the button, answering Yes and then OK.
    std::vector<SeenBox> SearchAndReplace(FormDriver& ui, const std::wstring& text, ControlId button = kCommand2) {
        ui.Search(3, L"S", text);
        ui.Type(kTxtReplace, L"fresh");
        MessageBoxAnswerer boxes({IDYES, IDOK});
        ui.Click(button);
        return boxes.seen;
    }
    std::size_t Writes() const { return recorder.CountOf(RegistryOp::kSetValue); }

    MemoryRegistry memory;
    RecordingRegistry recorder{memory};
    TempFolder undo;
};

TEST_F(RealSizeTest, ThousandsOfRowsAreEachWrittenOnceWithOneUndoFile) {
    constexpr int kRows = 4000;
    for (int i = 0; i < kRows; ++i)
        memory.PutString(kLocalMachine, L"S\\K" + std::to_wstring(i), L"v", L"needle " + std::to_wstring(i));
    memory.AddKey(kLocalMachine, L"S\\needle key");  // a key-name row, never written
    FormDriver ui(recorder, undo.Path());
    const auto boxes = SearchAndReplace(ui, L"needle");
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[1].text, kSuccess);
    ASSERT_EQ(ui.Rows().size(), static_cast<std::size_t>(kRows + 1));

    std::set<std::wstring> written;
    for (const auto& call : recorder.Calls())
        if (call.op == RegistryOp::kSetValue) written.insert(std::to_wstring(call.key) + L"|" + call.text);
    EXPECT_EQ(Writes(), static_cast<std::size_t>(kRows));
    EXPECT_EQ(written.size(), static_cast<std::size_t>(kRows)) << "each value once";
    for (int i : {0, 1234, kRows - 1})
        EXPECT_EQ(StringOf(memory, kLocalMachine, L"S\\K" + std::to_wstring(i), L"v"), L"fresh");
    EXPECT_EQ(recorder.OpenHandles(), 0);

    const auto files = undo.Files();
    ASSERT_EQ(files.size(), 1u);
    const std::wstring script = ReadUtf16File(files[0]);
    EXPECT_EQ(std::count(script.begin(), script.end(), L'['), kRows);
    EXPECT_NE(script.find(L"[HKEY_LOCAL_MACHINE\\S\\K1234]\r\n\"v\"=\"needle 1234\"\r\n"), std::wstring::npos);
    EXPECT_TRUE(ui.IsRed(0));
    EXPECT_TRUE(ui.IsRed(kRows - 1));
}

TEST_F(RealSizeTest, ANameWithALineBreakRefusesTheWholeReplace) {
    memory.PutString(kLocalMachine, L"S\\K1", L"v", L"needle");
    memory.PutString(kLocalMachine, L"S\\K2", L"two\nlines", L"needle");
    memory.PutString(kLocalMachine, L"S\\K3", L"v", L"needle");
    FormDriver ui(recorder, undo.Path());
    const auto boxes = SearchAndReplace(ui, L"needle");
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_NE(boxes[1].text.find(L"line break"), std::wstring::npos) << "why";
    EXPECT_NE(boxes[1].text.find(L"row 2 (HKEY_LOCAL_MACHINE\\S\\K2\\two\\nlines)"), std::wstring::npos) << "which row";
    EXPECT_EQ(Writes(), 0u);
    EXPECT_TRUE(undo.Files().empty());
    for (int row = 0; row < 3; ++row) EXPECT_FALSE(ui.IsRed(row));
    EXPECT_EQ(StringOf(memory, kLocalMachine, L"S\\K1", L"v"), L"needle");
}

TEST_F(RealSizeTest, AKeyThatCannotBeReadRefusesTheReplace) {
    for (int i = 1; i <= 3; ++i) memory.PutString(kLocalMachine, L"S\\K" + std::to_wstring(i), L"v", L"needle");
    FormDriver ui(recorder, undo.Path());
    ui.Search(3, L"S", L"needle");
    ASSERT_EQ(ui.Rows().size(), 3u);
    memory.MarkUnreadable(kLocalMachine, L"S\\K2");  // since the search, say by another program
    ui.Type(kTxtReplace, L"fresh");
    MessageBoxAnswerer boxes({IDYES, IDOK});
    ui.Click(kCommand2);
    ASSERT_EQ(boxes.seen.size(), 2u);
    EXPECT_NE(boxes.seen[1].text.find(L"Could not read the registry key"), std::wstring::npos) << boxes.seen[1].text.size();
    EXPECT_EQ(Writes(), 0u);
    EXPECT_TRUE(undo.Files().empty());
}

TEST_F(RealSizeTest, ALongValueDoesNotHideTheHitsAfterIt) {
    std::wstring longText(10000, L'x');
    memory.PutString(kLocalMachine, L"S", L"a", L"needle");
    memory.PutString(kLocalMachine, L"S", L"long", longText);
    memory.PutString(kLocalMachine, L"S", L"b", L"needle");
    memory.PutString(kLocalMachine, L"S", L"c", longText + L"needle");
    FormDriver ui(memory, undo.Path());
    ui.Search(3, L"S", L"needle");
    const auto rows = ui.Rows();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[1][1], L"S\\b");
    EXPECT_EQ(rows[2][2], longText + L"needle") << "read through the list whole";
}

TEST(RealSizeRealRegistry, AValueNameWithABackslashIsReplacedInPlaceAndRestored) {
    ScratchKey scratch;
    scratch.PutString(L"Dir", L"sub\\name", L"needle here");
    Win32Registry registry;
    TempFolder undo;
    FormDriver ui(registry, undo.Path());
    ui.Search(2, scratch.Path(), L"needle");
    ASSERT_EQ(ui.Rows().size(), 1u);
    ui.Type(kTxtReplace, L"fresh");
    MessageBoxAnswerer boxes({IDYES, IDOK});
    ui.Click(kCommand2);
    ASSERT_EQ(boxes.seen.size(), 2u);
    EXPECT_EQ(boxes.seen[1].text, kSuccess);
    const auto now = scratch.Get(L"Dir", L"sub\\name");
    EXPECT_EQ(now.type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(now.data, (std::vector<std::uint8_t>{'f', 0, 'r', 0, 'e', 0, 's', 0, 'h', 0, 0, 0}));
    EXPECT_FALSE(scratch.KeyExists(L"Dir\\sub")) << "no key made from the name";

    const auto files = undo.Files();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(RunAndWait(L"reg.exe import \"" + files[0].wstring() + L"\""), 0u);
    EXPECT_EQ(scratch.Get(L"Dir", L"sub\\name").data, WithTerminator(L"needle here"));
    EXPECT_FALSE(scratch.KeyExists(L"Dir\\sub"));
}

// Hands pending messages to the window as the program's loop does.
void PumpAsTheProgramDoes(HWND window) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (IsDialogMessageW(window, &msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

TEST_F(RealSizeTest, FocusComesBackToWhereItWasAfterMinimiseAndRestore) {
    memory.PutString(kLocalMachine, L"S\\K1", L"v", L"needle");
    FormDriver ui(memory, undo.Path());
    ui.Search(3, L"S", L"needle");
    ui.Type(kTxtReplace, L"fresh");
    {
        MessageBoxAnswerer boxes({IDNO});
        ui.Click(kCommand3);  // a question, answered No: the button had the focus then
        ASSERT_EQ(boxes.seen.size(), 1u);
    }
    for (ControlId id : {kTxtReplace, kText1, kListView1}) {
        SetFocus(ui.Item(id));
        PumpAsTheProgramDoes(ui.Window());
        ShowWindow(ui.Window(), SW_MINIMIZE);
        PumpAsTheProgramDoes(ui.Window());
        ShowWindow(ui.Window(), SW_RESTORE);
        SetForegroundWindow(ui.Window());
        PumpAsTheProgramDoes(ui.Window());
        EXPECT_EQ(GetFocus(), ui.Item(id)) << id;
    }
}

TEST_F(RealSizeTest, EnterInTheReplacementBoxStartsNothing) {
    for (int i = 1; i <= 3; ++i) memory.PutString(kLocalMachine, L"S\\K" + std::to_wstring(i), L"v", L"needle");
    FormDriver ui(recorder, undo.Path());
    ui.Search(3, L"S", L"needle");
    ui.Select({1});
    ui.Type(kTxtReplace, L"fresh");
    recorder.Clear();
    SetFocus(ui.Item(kTxtReplace));
    for (UINT message : {WM_KEYDOWN, WM_CHAR, WM_KEYUP}) PostMessageW(ui.Item(kTxtReplace), message, VK_RETURN, 0);
    PumpAsTheProgramDoes(ui.Window());
    EXPECT_TRUE(recorder.Calls().empty()) << "no search ran";
    EXPECT_EQ(ui.Rows().size(), 3u);
    EXPECT_TRUE(result_list::IsSelected(ui.Item(kListView1), 1));
    EXPECT_EQ(ui.Text(kTxtReplace), L"fresh");
    EXPECT_EQ(GetFocus(), ui.Item(kTxtReplace));
}

TEST_F(RealSizeTest, SelectedRowsShowWithAndWithoutTheFocusAndRedStaysRed) {
    for (int i = 1; i <= 3; ++i) memory.PutString(kLocalMachine, L"S\\K" + std::to_wstring(i), L"v", L"needle");
    FormDriver ui(memory, undo.Path());
    ui.Search(3, L"S", L"needle");
    auto drawn = [&](int row, UINT state) {
        NMLVCUSTOMDRAW draw{};
        draw.nmcd.hdr = {ui.Item(kListView1), static_cast<UINT_PTR>(kListView1), static_cast<UINT>(NM_CUSTOMDRAW)};
        draw.nmcd.dwDrawStage = CDDS_ITEMPREPAINT;
        draw.nmcd.dwItemSpec = static_cast<DWORD_PTR>(row);
        draw.nmcd.uItemState = state;
        draw.clrText = CLR_DEFAULT;
        draw.clrTextBk = CLR_DEFAULT;
        SendMessageW(ui.Window(), WM_NOTIFY, kListView1, reinterpret_cast<LPARAM>(&draw));
        return draw;
    };
    SetFocus(ui.Item(kTxtReplace));
    const auto unfocused = drawn(0, CDIS_SELECTED);
    EXPECT_EQ(unfocused.nmcd.uItemState & CDIS_SELECTED, 0u) << "the list's own pale colours are not used";
    const COLORREF window = GetSysColor(COLOR_WINDOW);
    const int distance = std::abs(GetRValue(unfocused.clrTextBk) - GetRValue(window)) +
                         std::abs(GetGValue(unfocused.clrTextBk) - GetGValue(window)) +
                         std::abs(GetBValue(unfocused.clrTextBk) - GetBValue(window));
    EXPECT_GT(distance, 90) << "seen on the window's background";
    EXPECT_EQ(drawn(1, 0).clrTextBk, CLR_DEFAULT) << "unselected rows as the list draws them";
    SetFocus(ui.Item(kListView1));
    EXPECT_EQ(drawn(0, CDIS_SELECTED).clrTextBk, GetSysColor(COLOR_HIGHLIGHT));

    // A red row stays red when selected.
    ui.Select({2});
    ui.Type(kTxtReplace, L"fresh");
    MessageBoxAnswerer boxes({IDYES, IDOK});
    ui.Click(kCommand3);
    EXPECT_EQ(drawn(2, CDIS_SELECTED).clrText, RGB(255, 0, 0));
    SetFocus(ui.Item(kText1));
    EXPECT_EQ(drawn(2, CDIS_SELECTED).clrText, RGB(255, 0, 0));
}

TEST_F(RealSizeTest, TheStatusTextIsOneLineShortenedInTheMiddleAndAnswersWhole) {
    FormDriver ui(memory, undo.Path());
    const std::wstring path = L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\CLSID\\{00000000-0000-0000-0000-000000000000}"
                              L"\\InprocServer32\\A very long tail of the key";
    SetWindowTextW(ui.Item(kLabel3), path.c_str());
    EXPECT_EQ(ui.Text(kLabel3), path);
    HWND label = ui.Item(kLabel3);
    RECT client{};
    GetClientRect(label, &client);
    HDC dc = GetDC(label);
    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(label, WM_GETFONT, 0, 0)));
    const std::wstring shown = ShortenedInTheMiddle(dc, path, client.right);
    SIZE size{};
    GetTextExtentPoint32W(dc, shown.c_str(), static_cast<int>(shown.size()), &size);
    SelectObject(dc, old);
    ReleaseDC(label, dc);
    EXPECT_LE(size.cx, client.right);
    EXPECT_TRUE(shown.starts_with(L"HKEY_LOCAL")) << "the start stays";
    EXPECT_TRUE(shown.ends_with(L"of the key")) << "the end stays";
    EXPECT_NE(shown.find(L"\u2026"), std::wstring::npos);
    EXPECT_EQ(ShortenedInTheMiddle(GetDC(label), L"Done!", client.right), L"Done!");
}

}  // namespace
}  // namespace keyscour

namespace keyscour {
namespace {

using namespace testing;

constexpr wchar_t kDesktopKey[] = L"Control Panel\\Desktop";
constexpr wchar_t kDpiChild[] = L"KEYSCOUR_DPI_CHILD";

// The pixels of the logo tile's blue in the top of the painted window, and where they lie.
struct LogoPixels {
    int count = 0;
    int outside = 0;  // of them outside the rectangle given
};
LogoPixels FindLogo(HWND window, const RECT& link) {
    RECT client{};
    GetClientRect(window, &client);
    const RECT topRight{0, 0, client.right, client.bottom / 3};
    const auto pixels = Printed(window, topRight);
    LogoPixels found;
    std::size_t i = 0;
    for (int y = topRight.top; y < topRight.bottom; ++y)
        for (int x = topRight.left; x < topRight.right; ++x, ++i) {
            const COLORREF c = pixels[i];
            // #2f6db5, the mark's blue, give or take the smoothing.
            if (std::abs(GetRValue(c) - 0x2f) + std::abs(GetGValue(c) - 0x6d) + std::abs(GetBValue(c) - 0xb5) > 24)
                continue;
            ++found.count;
            if (x < link.left || x >= link.right || y < link.top || y >= link.bottom) ++found.outside;
        }
    return found;
}

// The checks at whatever DPI this process has: the link area lies over the
// logo, and the window doubled by the first search stays inside the work area.
void CheckLayoutAtThisDpi() {
    MemoryRegistry memory;
    memory.PutString(kLocalMachine, L"S", L"v", L"needle");
    FormDriver ui(memory);
    ASSERT_TRUE(ui.created);
    const LogoPixels logo = FindLogo(ui.Window(), RectInParent(ui.Item(kLabel5)));
    EXPECT_GT(logo.count, 200) << "the logo is painted";
    EXPECT_EQ(logo.outside, 0) << "every pixel of it under the link area";

    ui.Search(3, L"S", L"needle");
    RECT outer{};
    GetWindowRect(ui.Window(), &outer);
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    GetMonitorInfoW(MonitorFromWindow(ui.Window(), MONITOR_DEFAULTTONEAREST), &monitor);
    EXPECT_GE(outer.top, monitor.rcWork.top);
    EXPECT_LE(outer.bottom, monitor.rcWork.bottom) << "the list's bottom can be reached";
    RECT list = RectInParent(ui.Item(kListView1));
    RECT client{};
    GetClientRect(ui.Window(), &client);
    EXPECT_EQ(list.bottom, client.bottom);
    EXPECT_GT(list.bottom - list.top, 100);
}

TEST(Layout, LinkOverTheLogoAndTheWindowOnTheScreenAt96Dpi) {
    if (GetEnvironmentVariableW(kDpiChild, nullptr, 0) != 0) GTEST_SKIP() << "the child runs only the 144 DPI check";
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    ASSERT_EQ(dpi, 96);
    CheckLayoutAtThisDpi();
}

TEST(Layout, LinkOverTheLogoAndTheWindowOnTheScreenAt144Dpi) {
    if (GetEnvironmentVariableW(kDpiChild, nullptr, 0) != 0) {
        HDC screen = GetDC(nullptr);
        const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
        ReleaseDC(nullptr, screen);
        ASSERT_EQ(dpi, 144) << "LogPixels not taken";
        CheckLayoutAtThisDpi();
        return;
    }
    // The DPI is read when a process starts: set it in the test prefix, run
    // this test again as a child, and put the setting back.
    unique_hkey desktop;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kDesktopKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, desktop.put(),
                              nullptr),
              ERROR_SUCCESS);
    const DWORD highDpi = 144;
    RegSetValueExW(desktop.get(), L"LogPixels", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&highDpi), sizeof highDpi);
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    TempFolder output;
    fs::create_directories(output.Path());
    const std::wstring log = output.Path() + L"\\child.txt";
    SetEnvironmentVariableW(kDpiChild, L"1");
    const DWORD code = RunAndWait(L"cmd.exe /c \"\"" + std::wstring(self) +
                                  L"\" --gtest_filter=Layout.*144Dpi > \"" + log + L"\" 2>&1\"");
    SetEnvironmentVariableW(kDpiChild, nullptr);
    RegDeleteValueW(desktop.get(), L"LogPixels");
    std::ifstream in(fs::path(log), std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(code, 0u) << text;
    EXPECT_NE(text.find("[  PASSED  ] 1 test"), std::string::npos) << text;
}

}  // namespace
}  // namespace keyscour
