// The registry script reader and writer: both encodings, both headers,
// continuations, every hex(N) form, removals, and what the writer refuses.

#include <gtest/gtest.h>

#include "base/utf16.h"
#include "base/utf8.h"
#include "registry/memory_registry.h"
#include "registry/script/reg_script.h"
#include "registry/script/reg_script_apply.h"
#include "registry/root_keys.h"

namespace keyscour {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::vector<std::uint8_t> Utf16File(const std::wstring& text) {
    Bytes bytes{0xFF, 0xFE};
    const auto body = EncodeUtf16Le(text);
    bytes.insert(bytes.end(), body.begin(), body.end());
    return bytes;
}

void Apply(MemoryRegistry& tree, const std::wstring& text) {
    ApplyRegScript(text, tree, [](const std::wstring& key) { return SplitFullKeyName(key); });
}

const std::wstring kScript =
    L"Windows Registry Editor Version 5.00\r\n"
    L"\r\n"
    L"; a comment\r\n"
    L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Fab]\r\n"
    L"\"Path\"=\"C:\\\\Program Files\\\\\\\"Fab\\\"\"\r\n"
    L"@=\"default\"\r\n"
    L"\"Count\"=dword:0000001a\r\n"
    L"\"Bin\"=hex:00,0a,\\\r\n"
    L"  ff\r\n"
    L"\"Exp\"=hex(2):25,00,41,00,25,00,00,00\r\n"
    L"\"Multi\"=hex(7):61,00,00,00,62,00,00,00,00,00\r\n"
    L"\"Q\"=hex(b):01,02,03,04,05,06,07,08\r\n"
    L"\"Odd\"=hex(12345):09\r\n"
    L"\"None\"=hex(0):\r\n"
    L"\"\u00FCml\u00E4ut \U0001F511\"=\"\u043A\u043B\u044E\u0447\"\r\n"
    L"\r\n"
    L"[HKCU\\Software\\Gone]\r\n"
    L"\"x\"=\"1\"\r\n"
    L"[-HKEY_CURRENT_USER\\Software\\Gone]\r\n"
    L"[HKEY_CURRENT_USER\\Software\\Kept]\r\n"
    L"\"drop\"=\"1\"\r\n"
    L"\"drop\"=-\r\n";

void CheckTree(const MemoryRegistry& tree) {
    const auto get = [&](const wchar_t* name) { return tree.GetValue(kLocalMachine, L"SOFTWARE\\Fab", name); };
    ASSERT_TRUE(get(L"Path"));
    EXPECT_EQ(get(L"Path")->data, EncodeUtf16Le(std::wstring(L"C:\\Program Files\\\"Fab\"", 23)));
    EXPECT_EQ(get(L"Count")->data, (Bytes{0x1a, 0, 0, 0}));
    EXPECT_EQ(get(L"Count")->type, value_type::kDword);
    EXPECT_EQ(get(L"Bin")->data, (Bytes{0x00, 0x0a, 0xff})) << "continued over two lines";
    EXPECT_EQ(get(L"Exp")->type, value_type::kExpandString);
    EXPECT_EQ(get(L"Multi")->data, (Bytes{'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0}));
    EXPECT_EQ(get(L"Q")->type, value_type::kQword);
    EXPECT_EQ(get(L"Odd")->type, 0x12345u);
    EXPECT_TRUE(get(L"None")->data.empty());
    EXPECT_EQ(get(L"\u00FCml\u00E4ut \U0001F511")->data.size(), 10u);
    EXPECT_EQ(get(L"")->type, value_type::kString);
    EXPECT_FALSE(tree.KeyExists(kCurrentUser, L"Software\\Gone"));
    EXPECT_TRUE(tree.KeyExists(kCurrentUser, L"Software\\Kept"));
    EXPECT_FALSE(tree.GetValue(kCurrentUser, L"Software\\Kept", L"drop"));
}

TEST(RegScriptReader, Utf16AndUtf8FilesReadAlike) {
    MemoryRegistry fromUtf16, fromUtf8;
    Apply(fromUtf16, DecodeRegFile(Utf16File(kScript)).text);
    CheckTree(fromUtf16);
    const std::string utf8 = "\xEF\xBB\xBF" + ToUtf8(kScript);
    Apply(fromUtf8, DecodeRegFile(Bytes(utf8.begin(), utf8.end())).text);
    CheckTree(fromUtf8);
}

TEST(RegScriptReader, Regedit4HeaderAndItsEightBitStrings) {
    MemoryRegistry tree;
    Apply(tree, L"REGEDIT4\r\n\r\n[HKEY_USERS\\S]\r\n\"a\"=\"text\"\r\n\"e\"=hex(2):25,41,25,00\r\n");
    EXPECT_EQ(tree.GetValue(kUsers, L"S", L"a")->data, (Bytes{'t', 0, 'e', 0, 'x', 0, 't', 0, 0, 0}));
    EXPECT_EQ(tree.GetValue(kUsers, L"S", L"e")->data, (Bytes{'%', 0, 'A', 0, '%', 0, 0, 0}));
}

TEST(RegScriptReader, OnlyAFileThatIsNoScriptIsRefusedWholeAndExactScriptsRefuseAnyLine) {
    auto lineOf = [](const std::wstring& text, bool exact) -> std::size_t {
        MemoryRegistry tree;
        RegScriptReading reading;
        reading.exact = exact;
        try {
            ApplyRegScript(text, tree, [](const std::wstring& key) { return SplitFullKeyName(key); }, reading);
        } catch (const RegScriptError& error) {
            EXPECT_FALSE(tree.KeyExists(kLocalMachine, L"A")) << "refused before any change";
            return error.line;
        }
        return 999;
    };
    for (const bool exact : {false, true}) {
        EXPECT_EQ(lineOf(L"not a script\r\n", exact), 1u);
        EXPECT_EQ(lineOf(L"", exact), 0u);
        EXPECT_EQ(lineOf(L"\r\nWindows Registry Editor Version 5.00\r\n", exact), 1u) << "a blank first line";
        EXPECT_EQ(lineOf(L"regedit4\r\n", exact), 1u);
    }
    const std::vector<std::pair<std::wstring, std::size_t>> lines{
        {L"Windows Registry Editor Version 5.00\r\n[HKLM\\A]\r\n\"v\"=dword:xyz\r\n", 3},
        {L"Windows Registry Editor Version 5.00\r\n[HKLM\\A]\r\n\"v=\"x\"\r\n", 3},
        {L"Windows Registry Editor Version 5.00\r\n[HKLM\\A]\r\n[HKEY_NOWHERE\\B]\r\n", 3},
        {L"Windows Registry Editor Version 5.00\r\n\"v\"=\"x\"\r\n", 2},
        {L"Windows Registry Editor Version 5.00\r\n[HKLM\\A]\r\n\"v\"=hex:0g\r\n", 3},
        {L"REGEDIT\r\nHKEY_CLASSES_ROOT\\A = x\r\n", 1},
    };
    for (const auto& [text, line] : lines) {
        EXPECT_EQ(lineOf(text, true), line) << ToUtf8(text);
        EXPECT_EQ(lineOf(text, false), 999u) << "read as Windows reads it: " << ToUtf8(text);
    }
}

TEST(RegScriptWriter, EveryFormItWritesReadsBackTheSame) {
    RegScriptWriter writer;
    writer.Key(L"HKEY_CURRENT_USER\\K \"q\"");
    const std::vector<std::pair<std::wstring, std::pair<std::uint32_t, Bytes>>> values{
        {L"plain", {1, {'a', 0, '\\', 0, '"', 0, 0, 0}}},
        {L"bare", {1, {'a', 0}}},
        {L"lines", {1, {'a', 0, '\n', 0, 0, 0}}},
        {L"", {4, {1, 2, 3, 4}}},
        {L"short", {4, {1, 2}}},
        {L"bin", {3, {}}},
        {L"odd", {0x12345, {9}}},
        {L"q\\\"", {11, {1, 2, 3, 4, 5, 6, 7, 8}}},
    };
    for (const auto& [name, value] : values) writer.Value(name, value.first, value.second);
    writer.RemovedValue(L"gone");
    const std::wstring script = writer.Finish();
    EXPECT_NE(script.find(L"\"plain\"=\"a\\\\\\\"\"\r\n"), std::wstring::npos) << "quoted, escaped";
    EXPECT_NE(script.find(L"\"bare\"=hex(1):61,00\r\n"), std::wstring::npos);
    EXPECT_NE(script.find(L"@=dword:04030201\r\n"), std::wstring::npos);
    MemoryRegistry tree;
    tree.PutString(kCurrentUser, L"K \"q\"", L"gone", L"x");
    RegScriptReading exact;
    exact.exact = true;  // as an undo file of Keyscour's own is read
    ApplyRegScript(script, tree, [](const std::wstring& key) { return SplitFullKeyName(key); }, exact);
    for (const auto& [name, value] : values) {
        const auto read = tree.GetValue(kCurrentUser, L"K \"q\"", name);
        ASSERT_TRUE(read) << std::string(name.begin(), name.end());
        EXPECT_EQ(read->type, value.first);
        EXPECT_EQ(read->data, value.second);
    }
    EXPECT_FALSE(tree.GetValue(kCurrentUser, L"K \"q\"", L"gone"));
    EXPECT_FALSE(RegScriptWriter::Carries(L"a\nb"));
    EXPECT_FALSE(RegScriptWriter::Carries(L"a\rb"));
    EXPECT_TRUE(RegScriptWriter::Carries(L"a]b\\c"));
}

}  // namespace
}  // namespace keyscour
