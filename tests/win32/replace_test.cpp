// The replace commands through the real window: questions and notices
// answered as a user would, writes checked in the store, and the undo file
// imported back with the platform's own reg.exe.

#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include "tests/support/window_driver.h"
#include "test_window.h"
#include "test_files.h"
#include "registry/memory_registry.h"
#include "registry/root_keys.h"
#include "registry/win32_registry.h"
#include "scratch_key.h"

namespace keyscour {
namespace {

using namespace testing;
namespace fs = std::filesystem;

constexpr wchar_t kTitle[] = L"Quillon Keyscour";
constexpr wchar_t kSuccess[] = L"Items have been replaced successfully.";

class ReplaceTest : public ::testing::Test {
protected:
    ReplaceTest() {
        for (int i = 1; i <= 5; ++i)
            memory.PutString(kLocalMachine, L"S\\K" + std::to_wstring(i), L"v", L"needle " + std::to_wstring(i));
    }
    std::wstring Value(int i) { return StringOf(memory, kLocalMachine, L"S\\K" + std::to_wstring(i), L"v"); }

    // Searches S for text, then replaces with the replacement through the
    // button, answering Yes and OK; gives the boxes seen.
    static std::vector<SeenBox> SearchAndReplace(FormDriver& ui, const std::wstring& text,
                                                 const std::wstring& replacement, ControlId button = kCommand2) {
        ui.Search(3, L"S", text);
        ui.Type(kTxtReplace, replacement);
        MessageBoxAnswerer boxes({IDYES, IDOK});
        ui.Click(button);
        return boxes.seen;
    }

    MemoryRegistry memory;
    TempFolder undo;
};

TEST_F(ReplaceTest, EmptyBoxAsksNothingAndNoWritesNothing) {
    FormDriver ui(memory, undo.Path());
    ui.Search(3, L"S", L"needle");
    ASSERT_EQ(ui.Rows().size(), 5u);

    MessageBoxAnswerer boxes({IDNO, IDNO});
    ui.Click(kCommand2);
    ui.Click(kCommand3);
    EXPECT_TRUE(boxes.seen.empty());

    ui.Type(kTxtReplace, L"fresh");
    ui.Click(kCommand2);
    ui.Select({0});
    ui.Click(kCommand3);
    ASSERT_EQ(boxes.seen.size(), 2u);
    EXPECT_EQ(boxes.seen[0].title, kTitle);
    EXPECT_EQ(boxes.seen[0].text, L"Are you sure you want to replace the Registry values with: fresh");
    EXPECT_TRUE(boxes.seen[0].yesNo);
    EXPECT_EQ(boxes.seen[1].text, L"Are you sure you want to replace the selected Registry values with: fresh");
    for (int i = 1; i <= 5; ++i) EXPECT_EQ(Value(i), L"needle " + std::to_wstring(i));
    for (int row = 0; row < 5; ++row) EXPECT_FALSE(ui.IsRed(row));
    EXPECT_TRUE(undo.Files().empty());
}

TEST_F(ReplaceTest, ReplaceSelectedWritesOnlyTheSelectedRows) {
    FormDriver ui(memory, undo.Path());
    ui.Search(3, L"S", L"needle");
    ui.Type(kTxtReplace, L"fresh");
    ui.Select({1, 3});
    MessageBoxAnswerer boxes({IDYES, IDOK});
    ui.Click(kCommand3);
    ASSERT_EQ(boxes.seen.size(), 2u);
    EXPECT_EQ(boxes.seen[0].text, L"Are you sure you want to replace the selected Registry values with: fresh");
    EXPECT_EQ(boxes.seen[1].text, kSuccess);
    EXPECT_EQ(boxes.seen[1].title, kTitle);
    EXPECT_FALSE(boxes.seen[1].yesNo);
    const std::vector<std::wstring> expected{L"needle 1", L"fresh", L"needle 3", L"fresh", L"needle 5"};
    for (int i = 1; i <= 5; ++i) {
        EXPECT_EQ(Value(i), expected[i - 1]);
        EXPECT_EQ(ui.IsRed(i - 1), expected[i - 1] == L"fresh");
    }
    // The rows keep the data the search found.
    EXPECT_EQ(ui.Rows()[1][2], L"needle 2");
    // Drawn red: the window answers the list's custom draw from the row.
    for (int row : {0, 1}) {
        NMLVCUSTOMDRAW draw{};
        draw.nmcd.hdr = {ui.Item(kListView1), static_cast<UINT_PTR>(kListView1), static_cast<UINT>(NM_CUSTOMDRAW)};
        draw.nmcd.dwDrawStage = CDDS_ITEMPREPAINT;
        draw.nmcd.dwItemSpec = static_cast<DWORD_PTR>(row);
        draw.clrText = CLR_DEFAULT;
        const LRESULT answer = SendMessageW(ui.Window(), WM_NOTIFY, kListView1, reinterpret_cast<LPARAM>(&draw));
        EXPECT_EQ(answer, row == 1 ? CDRF_NEWFONT : CDRF_DODEFAULT);
        EXPECT_EQ(draw.clrText, row == 1 ? RGB(255, 0, 0) : CLR_DEFAULT);
    }
    ASSERT_EQ(undo.Files().size(), 1u);

    // No row selected: nothing written, and still the notice.
    ui.Select({});
    ui.Type(kTxtReplace, L"other");
    boxes.Answer(IDYES);
    boxes.Answer(IDOK);
    ui.Click(kCommand3);
    ASSERT_EQ(boxes.seen.size(), 4u);
    EXPECT_EQ(boxes.seen[3].text, kSuccess);
    EXPECT_EQ(Value(2), L"fresh");
    EXPECT_EQ(Value(1), L"needle 1");
}

TEST_F(ReplaceTest, SpacesAreAskedAboutAndWrittenAsTheyAre) {
    FormDriver ui(memory, undo.Path());
    const auto seen = SearchAndReplace(ui, L"needle 2", L"   ");
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].text, L"Are you sure you want to replace the Registry values with:    ");
    EXPECT_EQ(Value(2), L"   ");
    EXPECT_TRUE(ui.IsRed(0));
}

TEST_F(ReplaceTest, AnErrorEndsTheCommandAtItsRowAndTheWindowGoesOn) {
    MemoryRegistry tree;
    tree.PutString(kLocalMachine, L"", L"RootVal", L"needle");
    tree.PutString(kLocalMachine, L"A", L"v1", L"needle");
    tree.PutString(kLocalMachine, L"B", L"", L"needle");  // the unnamed default value
    tree.PutString(kLocalMachine, L"C", L"v3", L"needle");
    FormDriver ui(tree, undo.Path());
    ui.Search(3, L"", L"needle");
    const auto rows = ui.Rows();
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0][1], L"\\RootVal");
    EXPECT_EQ(rows[2][1], L"B\\");

    ui.Type(kTxtReplace, L"fresh");
    MessageBoxAnswerer boxes({IDYES, IDOK});
    ui.Click(kCommand2);
    ASSERT_EQ(boxes.seen.size(), 2u);
    EXPECT_EQ(boxes.seen[1].title, kTitle);
    EXPECT_EQ(boxes.seen[1].text, L"Error -2147220502 (0x800403EA): Key may not be empty");
    EXPECT_EQ(StringOf(tree, kLocalMachine, L"", L"RootVal"), L"fresh");
    EXPECT_EQ(StringOf(tree, kLocalMachine, L"A", L"v1"), L"fresh");
    EXPECT_EQ(StringOf(tree, kLocalMachine, L"B", L""), L"needle");
    EXPECT_EQ(StringOf(tree, kLocalMachine, L"C", L"v3"), L"needle");
    EXPECT_TRUE(ui.IsRed(0));
    EXPECT_TRUE(ui.IsRed(1));
    EXPECT_TRUE(ui.IsRed(2));
    EXPECT_FALSE(ui.IsRed(3));
    EXPECT_EQ(ui.Rows(), rows);

    // Still usable: a new search runs and clears the marks.
    ui.Click(kCommand1);
    EXPECT_EQ(ui.Text(kLabel3), L"Done!");
    EXPECT_FALSE(ui.IsRed(0));
}

TEST_F(ReplaceTest, ExhaustedMemoryIsReportedLikeAnyOtherError) {
    FaultyRegistry faulty(memory);
    faulty.ThrowNth(RegistryOp::kSetValue, 2);
    FormDriver ui(faulty, undo.Path());
    const auto seen = SearchAndReplace(ui, L"needle", L"fresh");
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].text, L"Error 7 (0x00000007): Out of memory");
    EXPECT_EQ(Value(1), L"fresh");
    EXPECT_EQ(Value(2), L"needle 2");
    EXPECT_TRUE(ui.IsRed(1));
    EXPECT_FALSE(ui.IsRed(2));
}

TEST_F(ReplaceTest, EachRowIsWrittenUnderItsOwnRootAndKeyNameRowsArePassedOver) {
    MemoryRegistry tree;
    tree.PutString(kCurrentUser, L"S\\A", L"v", L"needle");
    tree.PutString(kLocalMachine, L"S\\B", L"v", L"needle");
    tree.AddKey(kLocalMachine, L"S\\needle key");
    FormDriver ui(tree, undo.Path());
    ui.Search(0, L"S", L"needle");
    ASSERT_EQ(ui.Rows().size(), 3u);
    ui.PickRoot(5);  // another root picked since: the rows still say where they came from

    ui.Type(kTxtReplace, L"fresh");
    MessageBoxAnswerer boxes({IDYES, IDOK});
    ui.Click(kCommand2);
    ASSERT_EQ(boxes.seen.size(), 2u);
    EXPECT_EQ(boxes.seen[1].text, kSuccess);
    EXPECT_EQ(StringOf(tree, kCurrentUser, L"S\\A", L"v"), L"fresh");
    EXPECT_EQ(StringOf(tree, kLocalMachine, L"S\\B", L"v"), L"fresh");
    const int keyRow = ui.Rows()[1][2] == L"*" ? 1 : 2;
    EXPECT_FALSE(ui.IsRed(keyRow));
    EXPECT_FALSE(tree.GetValue(kLocalMachine, L"S", L"needle key"));
    EXPECT_FALSE(tree.KeyExists(kPerformanceData, L"S"));
}

TEST_F(ReplaceTest, AReplaceDuringASearchTakesTheRowsPresentThen) {
    MemoryRegistry tree;
    for (int i = 0; i < 30; ++i) tree.PutString(kLocalMachine, L"W\\K" + std::to_wstring(100 + i), L"v", L"needle");
    HookedRegistry hooked(tree);
    FormDriver ui(hooked, undo.Path());
    ui.Type(kTxtReplace, L"fresh");
    MessageBoxAnswerer boxes({IDYES, IDOK});
    int enumKeys = 0;
    hooked.onCall = [&](const RegistryCall& call) {
        if (call.op == RegistryOp::kEnumKey && ++enumKeys == 10) PostMessageW(ui.Item(kCommand2), BM_CLICK, 0, 0);
    };
    ui.Search(3, L"W", L"needle");
    EXPECT_EQ(ui.Text(kLabel3), L"Done!");
    ASSERT_EQ(boxes.seen.size(), 2u);
    const auto rows = ui.Rows();
    ASSERT_EQ(rows.size(), 30u);
    int red = 0;
    for (int row = 0; row < 30; ++row) {
        const std::wstring key = rows[static_cast<std::size_t>(row)][1];
        const bool written = StringOf(tree, kLocalMachine, key.substr(0, key.size() - 2), L"v") == L"fresh";
        EXPECT_EQ(ui.IsRed(row), written) << row;
        if (ui.IsRed(row)) {
            EXPECT_EQ(row, red++);  // the rows of that moment: a prefix
        }
    }
    EXPECT_GT(red, 0);
    EXPECT_LT(red, 30);
}

TEST_F(ReplaceTest, AnUndoFileThatCannotBeWrittenStopsEveryWrite) {
    fs::create_directories(fs::path(undo.Path()));
    const std::wstring blocked = undo.Path() + L"\\Undo";
    std::ofstream(fs::path(blocked)) << "a file where the folder should be";
    FormDriver ui(memory, blocked);
    const auto seen = SearchAndReplace(ui, L"needle", L"fresh");
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_NE(seen[1].text.find(L"Could not write the undo file"), std::wstring::npos);
    EXPECT_NE(seen[1].text.find(L"(0x80040"), std::wstring::npos);
    for (int i = 1; i <= 5; ++i) EXPECT_EQ(Value(i), L"needle " + std::to_wstring(i));
    for (int row = 0; row < 5; ++row) EXPECT_FALSE(ui.IsRed(row));
}

TEST(ReplaceRealRegistry, ReplaceAllThenRegImportRestoresEveryValue) {
    ScratchKey scratch;
    const std::vector<std::uint8_t> binary{0x01, 0x00, 0xFE, 0x7F};
    const std::uint64_t qword = 0x1122334455667788ull;
    const wchar_t multi[] = L"first\0second\0";
    scratch.PutString(L"Mix", L"Sz", L"C:\\Old \"quoted\" path");
    scratch.PutString(L"Mix", L"Expand", L"%SystemRoot%\\old", REG_EXPAND_SZ);
    scratch.Put(L"Mix", L"Multi", REG_MULTI_SZ, multi, sizeof multi);
    scratch.PutDword(L"Mix", L"Dword", 0xDEADBEEF);
    scratch.Put(L"Mix", L"Qword", REG_QWORD, &qword, sizeof qword);
    scratch.Put(L"Mix", L"Binary", REG_BINARY, binary.data(), static_cast<DWORD>(binary.size()));
    scratch.PutString(L"Mix\\Gone\\Deep", L"Lost", L"anything");
    // A string stored without its terminator: the count stops short of the
    // NUL, and the character after the count is not one, so none is added.
    scratch.Put(L"Mix", L"Bare", REG_SZ, L"ab", 2);
    ASSERT_EQ(scratch.Get(L"Mix", L"Bare").data, (std::vector<std::uint8_t>{'a', 0}));

    const std::vector<std::wstring> names{L"Sz", L"Expand", L"Multi", L"Dword", L"Qword", L"Binary"};
    std::vector<ScratchKey::Value> before;
    for (const auto& name : names) before.push_back(scratch.Get(L"Mix", name));

    Win32Registry registry;
    TempFolder undo;
    FormDriver ui(registry, undo.Path());
    ui.Search(2, scratch.Path(), L"");  // an empty search string matches every value and key
    ASSERT_GE(ui.Rows().size(), 7u);
    // The key that held a hit goes before the replace, so the write makes it again.
    RegDeleteTreeW(HKEY_CURRENT_USER, scratch.Below(L"Mix\\Gone").c_str());

    ui.Type(kTxtReplace, L"NEW");
    MessageBoxAnswerer boxes({IDYES, IDOK});
    ui.Click(kCommand2);
    ASSERT_EQ(boxes.seen.size(), 2u);
    EXPECT_EQ(boxes.seen[1].text, kSuccess);
    for (const auto& name : names) {
        const auto now = scratch.Get(L"Mix", name);
        EXPECT_EQ(now.type, static_cast<DWORD>(REG_SZ)) << std::string(name.begin(), name.end());
        EXPECT_EQ(now.data, (std::vector<std::uint8_t>{'N', 0, 'E', 0, 'W', 0, 0, 0}));
    }
    EXPECT_TRUE(scratch.KeyExists(L"Mix\\Gone\\Deep"));
    for (int row = 0; row < static_cast<int>(ui.Rows().size()); ++row)
        EXPECT_EQ(ui.IsRed(row), ui.Rows()[static_cast<std::size_t>(row)][2] != L"*");

    const auto files = undo.Files();
    ASSERT_EQ(files.size(), 1u);
    const std::wstring script = ReadUtf16File(files[0]);
    EXPECT_TRUE(script.starts_with(L"\xFEFFWindows Registry Editor Version 5.00\r\n")) ;
    EXPECT_EQ(RunAndWait(L"reg.exe import \"" + files[0].wstring() + L"\""), 0u) << std::string(script.begin(), script.end());
    for (std::size_t i = 0; i < names.size(); ++i) {
        const auto restored = scratch.Get(L"Mix", names[i]);
        EXPECT_EQ(restored.type, before[i].type) << std::string(names[i].begin(), names[i].end());
        EXPECT_EQ(restored.data, before[i].data) << std::string(names[i].begin(), names[i].end());
    }
    EXPECT_FALSE(scratch.KeyExists(L"Mix\\Gone"));
    // The file holds the bare bytes; Wine's importer stores them with a
    // terminator added (Windows' keeps them as they are).
    EXPECT_NE(script.find(L"\"Bare\"=hex(1):61,00\r\n"), std::wstring::npos);
    const auto bare = scratch.Get(L"Mix", L"Bare");
    EXPECT_EQ(bare.type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(bare.data, (std::vector<std::uint8_t>{'a', 0, 0, 0})) << "Wine's reg import adds the NUL";
}

}  // namespace
}  // namespace keyscour
