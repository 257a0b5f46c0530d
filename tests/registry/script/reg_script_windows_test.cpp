// Registry scripts read as Windows' importer reads them, group by group:
// lines it reads that look odd, lines it skips alone while importing the
// rest, lines it rejects, and the terminator it gives text read from hex.
// Each case is a file of its own; what must exist, what must not, and
// which lines are said to be skipped.

#include <gtest/gtest.h>

#include <optional>

#include "base/utf16.h"
#include "base/utf8.h"
#include "registry/memory_registry.h"
#include "registry/root_keys.h"
#include "registry/script/reg_script.h"
#include "registry/script/reg_script_apply.h"
#include "tests/support/reg_round_trip.h"
#include "tests/support/reg_script_generator.h"

namespace keyscour {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Text(const std::wstring& text, bool terminated = true) {
    Bytes bytes = EncodeUtf16Le(text);
    if (terminated) bytes.insert(bytes.end(), {0, 0});
    return bytes;
}

std::wstring Hex(const Bytes& bytes) {
    std::wstring hex;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        wchar_t two[4];
        std::swprintf(two, 4, L"%02x", bytes[i]);
        hex += (i ? L"," : L"") + std::wstring(two);
    }
    return hex;
}

struct Value {
    std::wstring key;  // below HKEY_CURRENT_USER
    std::wstring name;
    std::uint32_t type;
    Bytes data;
};

struct Case {
    const char* what;
    std::wstring body;  // after the header and the key line [HKEY_CURRENT_USER\T]
    std::vector<Value> present;
    std::vector<std::wstring> absent;  // value names in T
    std::vector<std::size_t> skipped;  // lines said, counting the header as line 1
};

constexpr wchar_t kHead[] = L"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\T]\r\n";

void Check(const Case& item, const std::wstring& head = kHead) {
    SCOPED_TRACE(item.what);
    MemoryRegistry tree;
    std::vector<std::size_t> skipped;
    RegScriptReading reading;
    reading.skipped = [&](std::size_t line, const std::wstring&) { skipped.push_back(line); };
    ApplyRegScript(head + item.body, tree, [](const std::wstring& key) { return SplitFullKeyName(key); }, reading);
    for (const Value& value : item.present) {
        const auto read = tree.GetValue(kCurrentUser, value.key, value.name);
        ASSERT_TRUE(read) << ToUtf8(value.key) << " " << ToUtf8(value.name);
        EXPECT_EQ(read->type, value.type) << ToUtf8(value.name);
        EXPECT_EQ(read->data, value.data) << ToUtf8(value.name);
    }
    for (const auto& name : item.absent) EXPECT_FALSE(tree.GetValue(kCurrentUser, L"T", name)) << ToUtf8(name);
    EXPECT_EQ(skipped, item.skipped);
}

TEST(RegScriptAsWindowsReadsIt, LinesItReadsAreRead) {
    const std::vector<Case> cases{
        {"a # comment line between values", L"\"a\"=\"1\"\r\n# comment\r\n\"b\"=\"2\"\r\n",
         {{L"T", L"a", 1, Text(L"1")}, {L"T", L"b", 1, Text(L"2")}}, {}, {}},
        {"a ; comment after a value", L"\"Wine39a\"=\"Value1\"  ;comment\r\n\"d\"=dword:00000002 ;c\r\n\"h\"=hex:01,02 ;c\r\n",
         {{L"T", L"Wine39a", 1, Text(L"Value1")}, {L"T", L"d", 4, {2, 0, 0, 0}}, {L"T", L"h", 3, {1, 2}}}, {}, {}},
        {"comments and blank lines inside continued hex data",
         L"\"m\"=hex(7):" + Hex(Text(L"Line ", false)) + L",\\\r\n  " + Hex(Text(L"con", false)) +
             L",\\;comment\r\n\r\n; a whole comment line\r\n  " + Hex(Text(L"cat")) + L",00,00\r\n\"after\"=\"x\"\r\n",
         {{L"T", L"m", 7, Text(std::wstring(L"Line concat\0", 12))}, {L"T", L"after", 1, Text(L"x")}}, {}, {}},
        {"white space after dword: and around data", L"\"d\"=dword:  00000008\r\n\"e\"  =  \"x\"  \r\n",
         {{L"T", L"d", 4, {8, 0, 0, 0}}, {L"T", L"e", 1, Text(L"x")}}, {}, {}},
        {"dword: up to its first character that is no digit", L"\"d\"=dword:1234;5678\r\n\"z\"=dword:0\r\n",
         {{L"T", L"d", 4, {0x34, 0x12, 0, 0}}, {L"T", L"z", 4, {0, 0, 0, 0}}}, {}, {}},
        {"trailing backslashes in a key path", L"[HKEY_CURRENT_USER\\T\\Subkey1f\\\\]\r\n\"v\"=\"1\"\r\n",
         {{L"T\\Subkey1f", L"v", 1, Text(L"1")}}, {}, {}},
        {"a ']' inside a key name, and a blank before the closing one",
         L"[HKEY_CURRENT_USER\\T\\App [x86]]\r\n\"v\"=\"1\"\r\n[HKEY_CURRENT_USER\\T\\sp ]\r\n\"w\"=\"2\"\r\n",
         {{L"T\\App [x86]", L"v", 1, Text(L"1")}, {L"T\\sp ", L"w", 1, Text(L"2")}}, {}, {}},
        {"blanks before a key line and a value line", L"  [HKEY_CURRENT_USER\\T\\In]\r\n\t\"v\"=\"1\"\r\n",
         {{L"T\\In", L"v", 1, Text(L"1")}}, {}, {}},
        {"lone CR and LF end lines", L"\"a\"=\"1\"\r\"b\"=\"2\"\n\"c\"=\"3\"\r\n",
         {{L"T", L"a", 1, Text(L"1")}, {L"T", L"b", 1, Text(L"2")}, {L"T", L"c", 1, Text(L"3")}}, {}, {}},
        {"escapes Windows reads, any other character standing for itself", L"\"e\"=\"\\q\\\\\\\"\\n\"\r\n",
         {{L"T", L"e", 1, Text(L"q\\\"\n")}}, {}, {}},
        {"hex(N) with a type past the known ones, and hex(): as type 0", L"\"t\"=hex(12345):09\r\n\"z\"=hex():01\r\n",
         {{L"T", L"t", 0x12345, {9}}, {L"T", L"z", 0, {1}}}, {}, {}},
    };
    for (const Case& item : cases) Check(item);
}

TEST(RegScriptAsWindowsReadsIt, TheWindows31FormSetsDefaultValuesOfClassesRootKeysOnly) {
    MemoryRegistry tree;
    std::vector<std::size_t> skipped;
    RegScriptReading reading;
    reading.skipped = [&](std::size_t line, const std::wstring&) { skipped.push_back(line); };
    ApplyRegScript(L"REGEDIT\r\nHKEY_CLASSES_ROOT\\Software\\T\\w31 = Value0\r\nHKEY_CLASSES_ROOT\\Software\\T\\two =Value1  \r\n"
                   L"[HKEY_CURRENT_USER\\T]\r\n  HKEY_CLASSES_ROOT\\Software\\T\\indented = no\r\n",
                   tree, [](const std::wstring& key) { return SplitFullKeyName(key); }, reading);
    ASSERT_TRUE(tree.GetValue(kClassesRoot, L"Software\\T\\w31", L""));
    EXPECT_EQ(tree.GetValue(kClassesRoot, L"Software\\T\\w31", L"")->data, Text(L"Value0"));
    ASSERT_TRUE(tree.GetValue(kClassesRoot, L"Software\\T\\two", L""));
    EXPECT_EQ(tree.GetValue(kClassesRoot, L"Software\\T\\two", L"")->data, Text(L"Value1  "));
    EXPECT_FALSE(tree.KeyExists(kCurrentUser, L"T"));
    EXPECT_FALSE(tree.KeyExists(kClassesRoot, L"Software\\T\\indented"));
    EXPECT_EQ(skipped, (std::vector<std::size_t>{4, 5}));
}

TEST(RegScriptAsWindowsReadsIt, LinesItSkipsAreSkippedAloneAndTheRestImported) {
    const std::vector<Case> cases{
        {"hex data continued with no comma before the backslash",
         L"\"x\"=hex(2):4c,69,6e,65\\\r\n\"kept\"=\"1\"\r\n", {{L"T", L"kept", 1, Text(L"1")}}, {L"x"}, {4}},
        {"a continuation running into the next value line, which it takes up",
         L"\"x\"=hex:01,\\\r\n\"eaten\"=\"1\"\r\n\"kept\"=\"2\"\r\n", {{L"T", L"kept", 1, Text(L"2")}}, {L"x", L"eaten"}, {4, 5}},
        {"# after a value's data", L"\"s\"=\"1\" #c\r\n\"d\"=dword:1 #c\r\n\"h\"=hex:01 #c\r\n\"kept\"=\"2\"\r\n",
         {{L"T", L"kept", 1, Text(L"2")}}, {L"s", L"d", L"h"}, {4, 5, 6}},
        {"# inside continued data", L"\"h\"=hex:01,\\\r\n#c\r\n\"kept\"=\"2\"\r\n", {{L"T", L"kept", 1, Text(L"2")}}, {L"h"},
         {4, 5}},
        {"a type number over 32 bits", L"\"big\"=hex(100000000):00\r\n\"kept\"=hex(2):00,00\r\n",
         {{L"T", L"kept", 2, {0, 0}}}, {L"big"}, {4}},
        {"=# and =-\"...\"", L"\"t\"=\"keep\"\r\n\"a\"=#\"x\"\r\n\"t\"=-\"Test\"\r\n", {{L"T", L"t", 1, Text(L"keep")}}, {L"a"},
         {5, 6}},
        {"a quoted name split over two lines", L"\"Split \\\r\nname\"=\"x\"\r\n\"kept\"=\"1\"\r\n",
         {{L"T", L"kept", 1, Text(L"1")}}, {L"Split ", L"Split name"}, {4, 5}},
        {"a backslash between bytes", L"\"x\"=hex:25,48\\,4f\r\n\"kept\"=\"1\"\r\n", {{L"T", L"kept", 1, Text(L"1")}}, {L"x"}, {4}},
        {"values after an unknown root and after [-key]",
         L"[HKEY_NOWHERE\\A]\r\n\"x\"=\"1\"\r\n[-HKEY_CURRENT_USER\\T\\Gone]\r\n\"y\"=\"2\"\r\n[HKEY_CURRENT_USER\\T]\r\n\"kept\"=\"3\"\r\n",
         {{L"T", L"kept", 1, Text(L"3")}}, {L"x", L"y"}, {4, 5, 7}},
        {"a key line with a blank after '[' leaves the key before open",
         L"[ HKEY_CURRENT_USER\\T\\Other]\r\n\"here\"=\"1\"\r\n", {{L"T", L"here", 1, Text(L"1")}}, {}, {4}},
        {"a key path with an empty name inside", L"[HKEY_CURRENT_USER\\T\\\\Empty]\r\n\"x\"=\"1\"\r\n", {}, {L"x"}, {4, 5}},
        {"a line that is no key, value or comment", L"garbage\r\n\"kept\"=\"1\"\r\n", {{L"T", L"kept", 1, Text(L"1")}}, {}, {4}},
        {"dword: of nine digits", L"\"d\"=dword:000000001\r\n", {}, {L"d"}, {4}},
        {"a byte over ff", L"\"x\"=hex:01,100\r\n\"kept\"=\"1\"\r\n", {{L"T", L"kept", 1, Text(L"1")}}, {L"x"}, {4}},
        {"a value right after [-key] is said and dropped",
         L"[-HKEY_CURRENT_USER\\T\\Gone]\r\n\"y\"=\"2\"\r\n", {}, {L"y"}, {5}},
    };
    for (const Case& item : cases) Check(item);
}

TEST(RegScriptAsWindowsReadsIt, LinesItRejectsMakeNoValue) {
    const std::vector<Case> cases{
        {"a continued line starting with a comma", L"\"x\"=hex(7):4c,69,6e,65,20\\\r\n,63,00\r\n", {}, {L"x"}, {4, 5}},
        {"dword: continued", L"\"d\"=dword:1234\\\r\n5678\r\n", {}, {L"d"}, {4, 5}},
        {"a string continued", L"\"s\"=\"Test \\\r\nmore\"\r\n", {}, {L"s"}, {4, 5}},
        {"a line holding only a backslash inside hex data", L"\"h\"=hex:01,\\\r\n\\\r\n02\r\n", {}, {L"h"}, {4, 5, 6}},
        {"hex data continued into a blank line and then @=",
         L"\"h\"=hex:01,\\\r\n\r\n@=\"y\"\r\n", {}, {L"h", L""}, {4, 6}},
        {"\\0 inside a string", L"\"n\"=\"Value3\\0Value4\"\r\n", {}, {L"n"}, {4}},
    };
    for (const Case& item : cases) Check(item);
}

TEST(RegScriptAsWindowsReadsIt, TextFromHexGetsTheTerminatorItLacks) {
    const std::vector<Case> cases{
        {"hex(2) and hex(7) without their terminator",
         L"\"e\"=hex(2):41,00,42,00\r\n\"m\"=hex(7):41,00\r\n\"done\"=hex(7):41,00,00,00,00,00\r\n\"odd\"=hex(2):41\r\n",
         {{L"T", L"e", 2, {0x41, 0, 0x42, 0, 0, 0}},
          {L"T", L"m", 7, {0x41, 0, 0, 0}},
          {L"T", L"done", 7, {0x41, 0, 0, 0, 0, 0}},
          {L"T", L"odd", 2, {0x41, 0, 0, 0}}},
         {}, {}},
        {"hex(1) as Wine stores it", L"\"s\"=hex(1):41,00\r\n", {{L"T", L"s", 1, {0x41, 0, 0, 0}}}, {}, {}},
        {"empty text, and other types, kept as written",
         L"\"empty\"=hex(2):\r\n\"none\"=hex(0):41\r\n\"bin\"=hex:41\r\n\"b3\"=hex(3):41\r\n",
         {{L"T", L"empty", 2, {}}, {L"T", L"none", 0, {0x41}}, {L"T", L"bin", 3, {0x41}}, {L"T", L"b3", 3, {0x41}}}, {}, {}},
    };
    for (const Case& item : cases) Check(item);
    // REGEDIT4: the terminator among the ANSI bytes, then widened.
    Check({"REGEDIT4", L"\"e\"=hex(2):41,42\r\n", {{L"T", L"e", 2, {0x41, 0, 0x42, 0, 0, 0}}}, {}, {}},
          L"REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\T]\r\n");
}

TEST(RegScriptAsWindowsReadsIt, AnExactScriptKeepsItsBytesAndRefusesWhatWindowsWouldSkip) {
    MemoryRegistry tree;
    RegScriptReading exact;
    exact.exact = true;
    ApplyRegScript(std::wstring(kHead) + L"\"e\"=hex(2):41,00\r\n", tree,
                   [](const std::wstring& key) { return SplitFullKeyName(key); }, exact);
    EXPECT_EQ(tree.GetValue(kCurrentUser, L"T", L"e")->data, (Bytes{0x41, 0}));
    EXPECT_THROW(ApplyRegScript(std::wstring(kHead) + L"\"e\"=hex(2):41,00 #x\r\n", tree,
                                [](const std::wstring& key) { return SplitFullKeyName(key); }, exact),
                 RegScriptError);
}

// What the importer test feeds reg.exe, natively: every file is a script,
// and what it gives is written back and read again alike.
TEST(RegScriptAsWindowsReadsIt, EveryGeneratedScriptReadsAndWritesBackAlike) {
    const auto scripts = testing::GenerateRegScripts(20261210, 540, L"Software\\T");
    std::size_t skippedSomewhere = 0;
    for (const auto& script : scripts) {
        EXPECT_EQ(fuzz::ReadAndWriteBack(script.bytes), fuzz::RoundTrip::kSame) << ToUtf8(script.text);
        std::size_t skipped = 0;
        MemoryRegistry tree;
        RegScriptReading reading;
        reading.skipped = [&](std::size_t, const std::wstring&) { ++skipped; };
        ApplyRegScript(DecodeRegFile(script.bytes).text, tree, [](const std::wstring& key) { return SplitFullKeyName(key); },
                       reading);
        skippedSomewhere += skipped > 0;
    }
    EXPECT_GT(skippedSomewhere, scripts.size() / 4) << "the scripts try what Windows skips";
    EXPECT_LT(skippedSomewhere, scripts.size()) << "and what it reads";
}

}  // namespace
}  // namespace keyscour
