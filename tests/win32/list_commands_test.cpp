// The result list's context menu and keys, through the real window: the
// clipboard, key paths, regedit's remembered key, exports read back and
// imported with reg.exe, Select All, and Esc.

#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include "tests/support/window_driver.h"
#include "test_window.h"
#include "registry/memory_registry.h"
#include "registry/root_keys.h"
#include "registry/win32_registry.h"
#include "scratch_key.h"
#include "test_files.h"
#include "ui/list_commands.h"
#include "ui/message_pump.h"

namespace keyscour {
namespace {

using namespace testing;

std::wstring ClipboardText(HWND owner) {
    std::wstring text;
    if (!OpenClipboard(owner)) return L"<no clipboard>";
    if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
        if (const auto* chars = static_cast<const wchar_t*>(GlobalLock(data))) {
            text = chars;
            GlobalUnlock(data);
        }
    }
    CloseClipboard();
    return text;
}

void Command(FormDriver& ui, int command) { SendMessageW(ui.Window(), WM_COMMAND, MAKEWPARAM(command, 0), 0); }

class ListCommandsTest : public ::testing::Test {
protected:
    ListCommandsTest() {
        memory.PutString(kCurrentUser, L"S\\App", L"Path", L"C:\\Fab \u00FCber\\\U0001F511");
        memory.PutString(kCurrentUser, L"S\\App", L"", L"fab default");
        memory.PutString(kCurrentUser, L"S\\App", L"Tabbed", L"fab\tand \"quotes\"");
        memory.AddKey(kCurrentUser, L"S\\Fab Key");
    }
    MemoryRegistry memory;
};

TEST_F(ListCommandsTest, CopyPutsTheRowsAsTabSeparatedText) {
    FormDriver ui(memory);
    ui.Search(2, L"S", L"fab");
    ASSERT_EQ(ui.Rows().size(), 4u);
    ui.Select({0});
    Command(ui, list_commands::kCopy);
    EXPECT_EQ(ClipboardText(ui.Window()), L"HKEY_CURRENT_USER\tS\\App\\Path\tC:\\Fab \u00FCber\\\U0001F511\r\n");
    ui.Select({1, 2});
    Command(ui, list_commands::kCopy);
    EXPECT_EQ(ClipboardText(ui.Window()), L"HKEY_CURRENT_USER\tS\\App\\\tfab default\r\n"
                                          L"HKEY_CURRENT_USER\tS\\App\\Tabbed\t\"fab\tand \"\"quotes\"\"\"\r\n");
}

TEST_F(ListCommandsTest, CopyKeyPathGivesTheKeyOfEachKindOfRow) {
    FormDriver ui(memory);
    ui.Search(2, L"S", L"fab");
    const auto rows = ui.Rows();
    for (int row = 0; row < 4; ++row) {
        ui.Select({row});
        Command(ui, list_commands::kCopyKeyPath);
        const bool keyRow = rows[static_cast<std::size_t>(row)][2] == L"*";
        EXPECT_EQ(ClipboardText(ui.Window()), keyRow ? L"HKEY_CURRENT_USER\\S\\Fab Key" : L"HKEY_CURRENT_USER\\S\\App")
            << row;  // a value row, the default value's row and a key-name row
    }
}

TEST_F(ListCommandsTest, OpenInRegistryEditorRemembersTheKeyAndStartsIt) {
    FormDriver ui(memory);
    ui.Search(2, L"S", L"fab");
    ui.Select({1});
    Command(ui, list_commands::kOpenInRegedit);
    const auto lastKey = memory.GetValue(kCurrentUser, list_commands::kRegeditKey, L"LastKey");
    ASSERT_TRUE(lastKey);
    EXPECT_EQ(lastKey->type, value_type::kString);
    EXPECT_EQ(StringOf(memory, kCurrentUser, list_commands::kRegeditKey, L"LastKey"), L"Computer\\HKEY_CURRENT_USER\\S\\App");
    ASSERT_EQ(ui.shellCalls.size(), 1u);
    EXPECT_EQ(ui.shellCalls[0].file, L"regedit.exe");
    EXPECT_EQ(ui.shellCalls[0].operation, L"open");
}

TEST_F(ListCommandsTest, SelectAllByMenuAndByCtrlAOnlyInTheList) {
    FormDriver ui(memory);
    ui.Search(2, L"S", L"fab");
    HWND list = ui.Item(kListView1);
    Command(ui, list_commands::kSelectAll);
    EXPECT_EQ(ListView_GetSelectedCount(list), 4u);
    ui.Select({});
    BYTE keys[256] = {};
    GetKeyboardState(keys);
    keys[VK_CONTROL] = 0x80;
    SetKeyboardState(keys);
    SetFocus(ui.Item(kText1));
    SendMessageW(ui.Item(kText1), WM_KEYDOWN, 'A', 0);
    EXPECT_EQ(ListView_GetSelectedCount(list), 0u) << "in a text box Ctrl+A is the box's";
    SetFocus(list);
    SendMessageW(list, WM_KEYDOWN, 'A', 0);
    EXPECT_EQ(ListView_GetSelectedCount(list), 4u);
    ui.Select({0});
    SendMessageW(list, WM_KEYDOWN, 'C', 0);
    keys[VK_CONTROL] = 0;
    SetKeyboardState(keys);
    EXPECT_TRUE(ClipboardText(ui.Window()).starts_with(L"HKEY_CURRENT_USER\tS\\App\\Path\t"));
}

TEST_F(ListCommandsTest, TheMenuOpensOnTheListWithItsCommands) {
    FormDriver ui(memory);
    ui.Search(2, L"S", L"fab");
    ui.Select({0});
    static std::vector<std::wstring> items;
    items.clear();
    // The menu's own loop runs this timer; it reads the menu and closes it.
    const UINT_PTR timer = SetTimer(nullptr, 0, 50, [](HWND, UINT, UINT_PTR, DWORD) {
        HWND popup = FindWindowW(L"#32768", nullptr);
        if (!popup || !items.empty()) return;
        HMENU menu = reinterpret_cast<HMENU>(SendMessageW(popup, MN_GETHMENU, 0, 0));
        for (int i = 0; i < GetMenuItemCount(menu); ++i) {
            wchar_t text[64] = {};
            GetMenuStringW(menu, static_cast<UINT>(i), text, 64, MF_BYPOSITION);
            items.push_back(text);
        }
        EndMenu();
    });
    SendMessageW(ui.Window(), WM_CONTEXTMENU, reinterpret_cast<WPARAM>(ui.Item(kListView1)), MAKELPARAM(-1, -1));
    KillTimer(nullptr, timer);
    EXPECT_EQ(items, (std::vector<std::wstring>{L"&Copy\tCtrl+C", L"Copy &Key Path", L"&Open in Registry Editor", L"",
                                                L"Export &Selected...", L"Export &All...", L"", L"Select A&ll\tCtrl+A"}));
}

TEST_F(ListCommandsTest, EscStopsASearchAndDoesNothingWhileIdle) {
    for (int i = 0; i < 200; ++i) memory.PutString(kCurrentUser, L"W\\K" + std::to_wstring(i), L"v", L"fab");
    HookedRegistry hooked(memory);
    FormDriver ui(hooked);
    int calls = 0;
    hooked.onCall = [&](const RegistryCall&) {
        if (++calls == 50) PostMessageW(ui.Item(kText1), WM_KEYDOWN, VK_ESCAPE, 0);
    };
    SetFocus(ui.Item(kText1));
    ui.Search(2, L"W", L"fab");
    hooked.onCall = nullptr;
    EXPECT_EQ(ui.Text(kLabel3), L"Terminated by user!");
    EXPECT_LT(ui.Rows().size(), 200u);

    PostMessageW(ui.Item(kText1), WM_KEYDOWN, VK_ESCAPE, 0);
    YieldPump pump;
    pump.PumpPending(ui.Window());
    EXPECT_TRUE(IsWindow(ui.Window())) << "Esc while idle closes nothing";
    EXPECT_EQ(ui.Text(kLabel3), L"Terminated by user!");
}

TEST_F(ListCommandsTest, CsvExportHoldsTheRowsAndTheirDataReadAtExport) {
    TempFolder folder;
    std::filesystem::create_directories(folder.Path());
    FormDriver ui(memory);
    ui.Search(2, L"S", L"fab");
    memory.PutString(kCurrentUser, L"S\\App", L"Path", L"changed since, \"quoted\"");
    ui.saveAnswer = std::make_pair(folder.Path() + L"\\all.csv", 2);
    Command(ui, list_commands::kExportAll);
    EXPECT_EQ(ui.saveTitles, std::vector<std::wstring>{L"Export All"});
    std::ifstream in(std::filesystem::path(folder.Path() + L"\\all.csv"), std::ios::binary);
    const std::string csv((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(csv,
              "\xEF\xBB\xBFRoot Key,Sub Key,Value,Type,Data\r\n"
              "HKEY_CURRENT_USER,S\\App\\Path,C:\\Fab \xC3\xBC" "ber\\\xF0\x9F\x94\x91,REG_SZ,\"changed since, \"\"quoted\"\"\"\r\n"
              "HKEY_CURRENT_USER,S\\App\\,fab default,REG_SZ,fab default\r\n"
              "HKEY_CURRENT_USER,S\\App\\Tabbed,\"fab\tand \"\"quotes\"\"\",REG_SZ,\"fab\tand \"\"quotes\"\"\"\r\n"
              "HKEY_CURRENT_USER,S\\Fab Key,*,,\r\n");
}

TEST(ListCommandsRealRegistry, RegExportImportsBackWithTheSameValuesAndTypes) {
    ScratchKey scratch;
    const std::vector<BYTE> binary{0, 1, 0xFE};
    const wchar_t multi[] = L"fab one\0two\0";
    scratch.PutString(L"E", L"Sz", L"fab \"quoted\" \\ path");
    scratch.Put(L"E", L"Bin", REG_BINARY, binary.data(), static_cast<DWORD>(binary.size()));  // not a hit
    scratch.Put(L"E", L"Multi", REG_MULTI_SZ, multi, sizeof multi);
    scratch.PutString(L"E", L"", L"fab default");
    scratch.AddKey(L"E\\fab key");
    const std::vector<std::wstring> names{L"Sz", L"Multi", L""};
    std::vector<ScratchKey::Value> before;
    for (const auto& name : names) before.push_back(scratch.Get(L"E", name));

    Win32Registry registry;
    TempFolder folder;
    std::filesystem::create_directories(folder.Path());
    FormDriver ui(registry);
    ui.Search(2, scratch.Path(), L"fab");
    ASSERT_EQ(ui.Rows().size(), 4u);
    ui.saveAnswer = std::make_pair(folder.Path() + L"\\all.reg", 1);
    Command(ui, list_commands::kExportAll);
    RegDeleteTreeW(HKEY_CURRENT_USER, scratch.Below(L"E").c_str());
    ASSERT_FALSE(scratch.KeyExists(L"E"));

    EXPECT_EQ(RunAndWait(L"reg.exe import \"" + folder.Path() + L"\\all.reg\""), 0u);
    for (std::size_t i = 0; i < names.size(); ++i) {
        const auto restored = scratch.Get(L"E", names[i]);
        EXPECT_EQ(restored.type, before[i].type) << i;
        EXPECT_EQ(restored.data, before[i].data) << i;
    }
    EXPECT_TRUE(scratch.KeyExists(L"E\\fab key")) << "a key-name row as its section";
    EXPECT_FALSE(scratch.Get(L"E", L"Bin").exists) << "only the rows are exported";
}

}  // namespace
}  // namespace keyscour
