// The rename marks of an undo file: read back as written, refused when
// they do not read, and renamed back the latest first, a refused undo
// leaving the registry as it found it.

#include <gtest/gtest.h>

#include "registry/memory_registry.h"
#include "registry/root_keys.h"
#include "registry/undo/rename_marks.h"
#include "tests/support/forwarding_registry.h"

namespace keyscour {
namespace {

KeyPlacer RootPlacer() {
    return [](const std::wstring& fullKey) { return SplitFullKeyName(fullKey); };
}

TEST(RenameMarks, ReadBackAsWrittenWithQuotesAndBackslashesInNames) {
    const RenameMark key{true, L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor", L"New \"quoted\" \\ name", L"Old"};
    const RenameMark value{false, L"HKEY_CURRENT_USER\\K", L"C:\\New\\a.dll", L"C:\\Old\\a.dll"};
    const std::wstring script = L"Windows Registry Editor Version 5.00\r\n\r\n" + RenameMarkLine(value) + L"\r\n[HKEY_CURRENT_USER\\K]\r\n\"C:\\\\New\\\\a.dll\"=-\r\n\r\n" +
                                RenameMarkLine(key) + L"\r\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\X]\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Old]\r\n\"v\"=\"x\"\r\n" +
                                std::wstring(kRenamedKeyEnd) + L"\r\n\r\n[HKEY_CURRENT_USER\\After]\r\n";
    const MarkedScript marked = ReadRenameMarks(script);
    ASSERT_EQ(marked.renames.size(), 2u);
    EXPECT_FALSE(marked.renames[0].key);
    EXPECT_EQ(marked.renames[0].newName, value.newName);
    EXPECT_EQ(marked.renames[0].oldName, value.oldName);
    EXPECT_TRUE(marked.renames[1].key);
    EXPECT_EQ(marked.renames[1].where, key.where);
    EXPECT_EQ(marked.renames[1].newName, key.newName);
    // The key's block is blanked, its lines kept; what lies outside stays.
    EXPECT_EQ(std::count(marked.rest.begin(), marked.rest.end(), L'\n'), std::count(script.begin(), script.end(), L'\n'));
    EXPECT_EQ(marked.rest.find(L"Vendor\\Old"), std::wstring::npos);
    EXPECT_NE(marked.rest.find(L"\"C:\\\\New\\\\a.dll\"=-"), std::wstring::npos);
    EXPECT_NE(marked.rest.find(L"[HKEY_CURRENT_USER\\After]"), std::wstring::npos);
}

TEST(RenameMarks, MarksThatDoNotReadAreRefusedWithTheirLine) {
    const std::wstring mark = RenameMarkLine({true, L"HKEY_CURRENT_USER\\K", L"new", L"old"});
    for (const auto& [script, line] : std::vector<std::pair<std::wstring, std::size_t>>{
             {L"a\r\n;keyscour-cli renamed key \"HKEY_CURRENT_USER\\\\K\" \"new\"\r\n", 2},
             {L";keyscour-cli renamed value \"K\" \"new\" \"old\" extra\r\n", 1},
             {L";keyscour-cli renamed value \"K\" \"new\" \"old\r\n", 1},
             {mark + L"\r\n[-HKEY_CURRENT_USER\\K\\new]\r\n", 1},
             {std::wstring(kRenamedKeyEnd) + L"\r\n", 1},
             {mark + L"\r\n" + mark + L"\r\n", 2},
         }) {
        try {
            ReadRenameMarks(script);
            ADD_FAILURE() << "read: line " << line;
        } catch (const RegScriptError& error) {
            EXPECT_EQ(error.line, line);
        }
    }
}

// Renamed deepest first, renamed back the latest first: each mark's path
// holds when its turn comes.
TEST(RenameMarks, RenamedBackTheLatestFirst) {
    MemoryRegistry registry;
    registry.PutString(kCurrentUser, L"A\\New\\Inner New", L"v new", L"x");
    const std::vector<RenameMark> renames{
        {false, L"HKEY_CURRENT_USER\\A\\Old\\Inner Old", L"v new", L"v old"},
        {true, L"HKEY_CURRENT_USER\\A\\Old", L"Inner New", L"Inner Old"},
        {true, L"HKEY_CURRENT_USER\\A", L"New", L"Old"},
    };
    RenameBack(renames, registry, RootPlacer());
    EXPECT_TRUE(registry.GetValue(kCurrentUser, L"A\\Old\\Inner Old", L"v old"));
    EXPECT_FALSE(registry.KeyExists(kCurrentUser, L"A\\New"));
}

TEST(RenameMarks, AnUndoThatCannotRenameBackPutsBackWhatItRenamed) {
    MemoryRegistry memory;
    memory.PutString(kCurrentUser, L"A\\New\\Inner New", L"v", L"x");
    memory.AddKey(kCurrentUser, L"A\\New\\Inner Old");  // the name the second rename back wants: taken
    memory.AddKey(kCurrentUser, L"B\\New");
    const std::vector<RenameMark> renames{
        {true, L"HKEY_CURRENT_USER\\A\\New", L"Inner New", L"Inner Old"},
        {true, L"HKEY_CURRENT_USER\\B", L"New", L"Old"},
    };
    try {
        RenameBack(renames, memory, RootPlacer());
        ADD_FAILURE() << "renamed back";
    } catch (const RegScriptError& error) {
        EXPECT_NE(error.message.find(L"that name is taken"), std::wstring::npos);
    }
    EXPECT_TRUE(memory.KeyExists(kCurrentUser, L"B\\New")) << "B was renamed back, and then again as it was";
    EXPECT_FALSE(memory.KeyExists(kCurrentUser, L"B\\Old"));
    EXPECT_TRUE(memory.GetValue(kCurrentUser, L"A\\New\\Inner New", L"v"));

    // A rename the registry refuses midway: the same.
    FaultyRegistry faulty(memory);
    faulty.FailNth(RegistryOp::kRenameKey, 2, status::kAccessDenied);
    memory.AddKey(kCurrentUser, L"C\\New");
    const std::vector<RenameMark> more{
        {true, L"HKEY_CURRENT_USER\\C", L"New", L"Old"},
        {true, L"HKEY_CURRENT_USER\\B", L"New", L"Old"},
    };
    EXPECT_THROW(RenameBack(more, faulty, RootPlacer()), RegScriptError);
    EXPECT_TRUE(memory.KeyExists(kCurrentUser, L"B\\New"));
    EXPECT_TRUE(memory.KeyExists(kCurrentUser, L"C\\New"));
}

TEST(MemoryRegistryRenames, KeysAndValuesKeepWhatTheyHoldAndRefuseTakenNames) {
    MemoryRegistry registry;
    registry.PutString(kUsers, L"P\\alpha\\sub", L"deep", L"d");
    registry.PutString(kUsers, L"P\\alpha", L"a", L"1");
    registry.PutString(kUsers, L"P\\alpha", L"b", L"2");
    registry.AddKey(kUsers, L"P\\beta");
    EXPECT_EQ(registry.RenameKey(kUsers, L"P\\alpha", L"BETA"), status::kAlreadyExists);
    EXPECT_EQ(registry.RenameKey(kUsers, L"P\\alpha", L"a\\b"), status::kBadPathname);
    EXPECT_EQ(registry.RenameKey(kUsers, L"P\\alpha", L"Zeta"), status::kSuccess);
    EXPECT_EQ(registry.GetValue(kUsers, L"P\\zeta\\sub", L"deep")->data.size(), 4u);
    KeyHandle key = 0;
    ASSERT_EQ(registry.CreateKey(kUsers, L"P\\Zeta", key), status::kSuccess);
    wchar_t name[16];
    ASSERT_EQ(registry.EnumKey(key, 0, name, 16), status::kSuccess);
    EXPECT_EQ(registry.RenameValue(key, L"a", L"B"), status::kAlreadyExists);
    EXPECT_EQ(registry.RenameValue(key, L"a", L"A"), status::kSuccess);
    std::uint32_t nameChars = 16, type = 0, bytes = 16;
    std::uint8_t data[16];
    ASSERT_EQ(registry.EnumValue(key, 0, name, nameChars, type, data, bytes), status::kSuccess);
    EXPECT_EQ(std::wstring(name), L"A") << "a change of case, in its place";
    registry.CloseKey(key);
    ASSERT_EQ(registry.OpenKey(kUsers, L"P", key), status::kSuccess);
    ASSERT_EQ(registry.EnumKey(key, 1, name, 16), status::kSuccess);
    EXPECT_EQ(std::wstring(name), L"Zeta") << "listed where its new name sorts";
    registry.CloseKey(key);
}

}  // namespace
}  // namespace keyscour
