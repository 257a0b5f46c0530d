// What keyscour-cli reads from a .reg file and matches in it, at the edges
// where a slip gives a wrong answer: digits and escapes of the script,
// sections that remove a key, names exactly as long as the needle, empty
// values, fields that break a CSV line, and a replace that writes a number
// hit whole or finds nothing.

#include <gtest/gtest.h>

#include <cstdio>

#include <nlohmann/json.hpp>

#include "base/utf16.h"
#include "base/utf8.h"
#include "tests/cli/cli_runner.h"

namespace keyscour::testing {
namespace {

using Json = nlohmann::json;

constexpr char kHeader[] = "Windows Registry Editor Version 5.00\r\n\r\n";

std::vector<Json> RecordsOfKind(const std::string& out, const std::string& kind) {
    std::vector<Json> records;
    for (const auto& line : Lines(out))
        if (const Json record = Json::parse(line); record["kind"] == kind) records.push_back(record);
    return records;
}

// A .reg output as text: UTF-16LE after its mark.
std::wstring RegText(const std::string& bytes) {
    if (bytes.size() < 2) return {};
    return DecodeUtf16Le(reinterpret_cast<const std::uint8_t*>(bytes.data()) + 2, bytes.size() - 2);
}

class CliRulesTest : public ::testing::Test {
protected:
    std::wstring Script(const std::wstring& name, const std::string& body) {
        folder.Write(name, kHeader + body);
        return folder.Path(name);
    }
    CliRun Search(const std::wstring& file, std::vector<std::wstring> arguments) {
        arguments.insert(arguments.begin(), {L"search", L"--reg-file", file});
        return RunCli(arguments);
    }
    ScratchFolder folder;
};

TEST_F(CliRulesTest, UpperCaseHexDigitsReadAsLowerCaseOnes) {
    const std::string values =
        "\"vDword\"=dword:0000001A\r\n\"vBin\"=hex:AB,Cd,eF,0A\r\n\"vExp\"=hex(2):4A,00,4b,00,00,00\r\n"
        "\"vQword\"=hex(B):FF,00,00,00,00,00,00,00\r\n";
    const std::string lower =
        "\"vDword\"=dword:0000001a\r\n\"vBin\"=hex:ab,cd,ef,0a\r\n\"vExp\"=hex(2):4a,00,4b,00,00,00\r\n"
        "\"vQword\"=hex(b):ff,00,00,00,00,00,00,00\r\n";
    const std::wstring upperFile = Script(L"upper.reg", "[HKEY_CURRENT_USER\\Software\\Hex]\r\n" + values);
    const std::wstring lowerFile = Script(L"lower.reg", "[HKEY_CURRENT_USER\\Software\\Hex]\r\n" + lower);
    const CliRun upper = Search(upperFile, {L"v", L"--names", L"--format", L"reg"});
    const CliRun expected = Search(lowerFile, {L"v", L"--names", L"--format", L"reg"});
    ASSERT_EQ(upper.exitCode, 0) << upper.err;
    EXPECT_EQ(upper.out, expected.out);
    const CliRun json = Search(upperFile, {L"v", L"--names", L"--format", L"jsonl"});
    const auto hits = RecordsOfKind(json.out, "hit");
    ASSERT_EQ(hits.size(), 4u) << json.out;
    EXPECT_EQ(hits[0]["data"], 26);
    EXPECT_EQ(hits[1]["data"], "ab cd ef 0a");
    EXPECT_EQ(hits[2]["data"], "JK");
    EXPECT_EQ(hits[3]["data"], 255);
}

TEST_F(CliRulesTest, EscapesInQuotedStringsGiveTheirCharacters) {
    const std::wstring file = Script(L"escapes.reg", "[HKEY_CURRENT_USER\\Software\\Esc]\r\n"
                                                     "\"a\\\"q\\\\b\"=\"1\\n2\\r3\\\\4\\\"5\"\r\n"
                                                     "\"nul\"=\"5\\06\"\r\n");
    const CliRun run = Search(file, {L"a\"q\\b", L"--names", L"--keys-only", L"--format", L"jsonl"});
    EXPECT_EQ(run.exitCode, 1) << "no key is named so";
    const CliRun reg = Search(file, {L"q\\b", L"--names", L"--format", L"reg"});
    ASSERT_EQ(reg.exitCode, 0) << reg.err;
    // The data holds line breaks: only hex(1) carries them, UTF-16LE.
    EXPECT_NE(RegText(reg.out).find(L"\"a\\\"q\\\\b\"=hex(1):31,00,0a,00,32,00,0d,00,33,00,5c,00,34,00,22,00,35,00,00,00\r\n"),
              std::wstring::npos)
        << ToUtf8(RegText(reg.out));
    // \0 is not an escape Windows reads: that line is skipped, and said.
    EXPECT_EQ(Search(file, {L"5", L"--names", L"--keys-only"}).exitCode, 1);
    EXPECT_NE(reg.err.find("escapes.reg:5: "), std::string::npos) << reg.err;
    EXPECT_EQ(Search(file, {L"nul", L"--names"}).exitCode, 1) << "no value named nul";
}

TEST_F(CliRulesTest, ValuesAfterARemovedKeyAreSkippedNeverAppliedToTheKeyBefore) {
    const std::wstring file = Script(L"removed.reg", "[HKEY_CURRENT_USER\\Software\\Keep]\r\n\"v\"=\"old\"\r\n"
                                                     "\"w\"=\"stays\"\r\n\r\n[-HKEY_CURRENT_USER\\Software\\Keep\\Gone]\r\n"
                                                     "\"v\"=\"injected\"\r\n\"w\"=-\r\n@=\"injected too\"\r\n");
    EXPECT_EQ(Search(file, {L"injected"}).exitCode, 1);
    const CliRun kept = Search(file, {L"stays", L"--format", L"jsonl"});
    ASSERT_EQ(kept.exitCode, 0) << kept.err;
    ASSERT_EQ(RecordsOfKind(kept.out, "hit").size(), 1u);
    EXPECT_EQ(RecordsOfKind(kept.out, "hit")[0]["key"], "Software\\Keep");
    EXPECT_EQ(RecordsOfKind(Search(file, {L"old", L"--format", L"jsonl"}).out, "hit").size(), 1u);
}

TEST_F(CliRulesTest, NamesExactlyAsLongAsTheNeedleMatchInAnyCase) {
    const std::wstring file = Script(L"names.reg", "[HKEY_CURRENT_USER\\Software\\FABRIKAM]\r\n\"Path\"=\"abc\"\r\n"
                                                   "\"x\"=\"abcdefghz\"\r\n\"y\"=\"xxxxxxxxzebra\"\r\n\r\n"
                                                   "[HKEY_CURRENT_USER\\Software\\\xC3\x9Cn\xC3\xAF]\r\n"
                                                   "\"\xC3\x9Cn\xC3\xAF\"=\"\xC3\xBC\"\r\n");
    const auto hitsFor = [&](const std::wstring& text, std::vector<std::wstring> more) {
        more.insert(more.begin(), text);
        more.insert(more.end(), {L"--format", L"jsonl"});
        return RecordsOfKind(Search(file, more).out, "hit").size();
    };
    EXPECT_EQ(hitsFor(L"fabrikam", {L"--keys-only"}), 1u);
    EXPECT_EQ(hitsFor(L"pATH", {L"--names"}), 1u);
    EXPECT_EQ(hitsFor(L"ABC", {L"--whole"}), 1u) << "data as long as the needle";
    EXPECT_EQ(hitsFor(L"ABCDEFGHZ", {}), 1u) << "nine units, the last a z";
    EXPECT_EQ(hitsFor(L"ZEBRA", {}), 1u) << "the needle's first character a z, past the first eight";
    EXPECT_EQ(hitsFor(L"\u00FCN\u00CF", {L"--keys-only"}), 1u) << "beyond ASCII, the full rule";
    EXPECT_EQ(hitsFor(L"\u00FCN\u00CF", {L"--names"}), 2u) << "the key and the value's name";
    EXPECT_EQ(hitsFor(L"\u00DC", {L"--whole"}), 1u);
}

TEST_F(CliRulesTest, EmptyNumbersAndBinariesHoldNoBytesToFind) {
    const std::wstring file = Script(L"empty.reg", "[HKEY_CURRENT_USER\\Software\\Empty]\r\n\"b\"=hex:\r\n"
                                                   "\"d\"=hex(4):\r\n\"n\"=hex(0):\r\n\"q\"=hex(b):\r\n");
    const CliRun run = Search(file, {L"00", L"--format", L"jsonl"});
    EXPECT_EQ(run.exitCode, 1) << run.out;
    EXPECT_TRUE(RecordsOfKind(run.out, "hit").empty()) << run.out;
    EXPECT_EQ(Search(file, {L"0", L"--format", L"jsonl"}).exitCode, 1);
}

// An empty TEXT is in every text: every key and every value is a hit,
// whatever its type, empty data and the unnamed default value included.
TEST_F(CliRulesTest, AnEmptyTextMatchesEveryKeyAndEveryValueOfEveryType) {
    const std::wstring file =
        Script(L"every.reg", "[HKEY_USERS\\S]\r\n@=\"\"\r\n\"sz\"=\"\"\r\n\"x\"=\"text\"\r\n\"e\"=hex(2):\r\n\"b\"=hex:\r\n"
                             "\"n\"=hex(0):\r\n\"d\"=dword:00000000\r\n\"q\"=hex(b):00,00,00,00,00,00,00,00\r\n"
                             "\"m\"=hex(7):00,00\r\n\"o\"=hex(12345):\r\n[HKEY_USERS\\S\\Empty]\r\n"
                             "[HKEY_USERS\\S\\Default]\r\n@=hex(1):\r\n");
    const CliRun run = Search(file, {L"", L"--format", L"jsonl"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto hits = RecordsOfKind(run.out, "hit");
    std::size_t keys = 0, values = 0;
    for (const auto& hit : hits) (hit["name"].is_null() ? keys : values) += 1;
    EXPECT_EQ(keys, 3u) << run.out;
    EXPECT_EQ(values, 11u) << run.out;
    const auto named = RecordsOfKind(Search(file, {L"", L"--names", L"--format", L"jsonl"}).out, "hit");
    ASSERT_EQ(named.size(), hits.size());
    for (const auto& hit : named)
        if (!hit["name"].is_null()) {
            EXPECT_EQ(hit["matched"], Json::parse("[\"name\",\"data\"]")) << hit.dump();
        }
    EXPECT_EQ(RecordsOfKind(Search(file, {L"", L"--keys-only", L"--format", L"jsonl"}).out, "hit").size(), 3u);
}

TEST_F(CliRulesTest, ALoneCarriageReturnOrLineFeedIsQuotedInCsv) {
    const std::wstring file = Script(L"breaks.reg", "[HKEY_CURRENT_USER\\Software\\Breaks]\r\n"
                                                    "\"cr\"=hex(1):78,00,0d,00,79,00,00,00\r\n"
                                                    "\"lf\"=hex(1):78,00,0a,00,79,00,00,00\r\n");
    const CliRun run = Search(file, {L"x", L"--format", L"csv"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find(",cr,REG_SZ,\"x\ry\",data,,,\r\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(",lf,REG_SZ,\"x\ny\",data,,,\r\n"), std::string::npos) << run.out;
}

TEST_F(CliRulesTest, AReplaceOfANumberHitWholeWritesAStringAndOneThatFindsNothingEndsIn1) {
    const std::wstring file = Script(L"numbers.reg", "[HKEY_CURRENT_USER\\Software\\N]\r\n\"Count\"=dword:0000001a\r\n"
                                                     "\"Name\"=\"twenty-six\"\r\n");
    const CliRun run = RunCli({L"replace", L"--reg-file", file, L"26", L"--whole", L"--whole-value", L"--with",
                               L"thirty", L"--output", folder.Path(L"new.reg"), L"--format", L"jsonl"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto changes = RecordsOfKind(run.out, "change");
    ASSERT_EQ(changes.size(), 1u) << run.out;
    EXPECT_EQ(changes[0]["name"], "Count");
    EXPECT_EQ(changes[0]["new_type"], "REG_SZ");
    const std::wstring text = RegText(folder.Read(L"new.reg"));
    EXPECT_NE(text.find(L"\"Count\"=\"thirty\""), std::wstring::npos) << ToUtf8(text);

    const CliRun nothing = RunCli({L"replace", L"--reg-file", file, L"nowhere", L"--with", L"x", L"--output",
                                   folder.Path(L"none.reg"), L"--format", L"jsonl"});
    EXPECT_EQ(nothing.exitCode, 1) << nothing.err;
}

TEST_F(CliRulesTest, CsvSaysWhatMatchedAndRegexReplacesTakeEveryGroupAndEveryCharacter) {
    const std::wstring file = Script(L"rx.reg", "[HKEY_CURRENT_USER\\Software\\Rx]\r\n\"x1\"=\"x1\"\r\n"
                                                "\"ten\"=\"abcdefghij\"\r\n\"gaps\"=\"abc\"\r\n");
    const CliRun csv = Search(file, {L"x1", L"--names", L"--format", L"csv"});
    EXPECT_NE(csv.out.find(",x1,REG_SZ,x1,name data,,,\r\n"), std::string::npos) << csv.out;

    const auto replaced = [&](const std::wstring& pattern, const std::wstring& with) {
        const CliRun run = RunCli({L"replace", L"--reg-file", file, L"--regex", pattern, L"--with", with, L"--output",
                                   folder.Path(L"out.reg"), L"--format", L"jsonl"});
        const auto changes = RecordsOfKind(run.out, "change");
        return changes.size() == 1 ? changes[0]["new"].get<std::string>() : run.out + run.err;
    };
    EXPECT_EQ(replaced(L"^(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)$", L"[$10]"), "[j]") << "$10 is the tenth group";
    EXPECT_EQ(replaced(L"^a(b)c$", L"$1$2"), "b$2") << "a group the pattern lacks stays as written";
    EXPECT_EQ(replaced(L"(?=c$)", L"-"), "ab-c") << "an empty match keeps the character after it";
}

TEST_F(CliRulesTest, DoubleBytePagesDecodeWhole) {
    // Shift-JIS: "日本語" in the data, ASCII around it.
    folder.Write(L"sjis.reg", std::string("REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\J]\r\n\"v\"=\"x") +
                                  "\x93\xFA\x96\x7B\x8C\xEA" + "y\"\r\n");
    const CliRun run = Search(folder.Path(L"sjis.reg"), {L"x\u65E5\u672C\u8A9Ey", L"--encoding", L"932", L"--format", L"jsonl"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(RecordsOfKind(run.out, "hit")[0]["data"], "x\u65E5\u672C\u8A9Ey");
    // A double-byte character last in the file, and hex(2) bytes ending in
    // one: nothing of either is lost, the terminator included.
    folder.Write(L"last.reg", std::string("REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\J]\r\n"
                                          "\"e\"=hex(2):93,fa,96,7b,00\r\n\"t\"=\"\x93\xFA\x96\x7B\""));
    const CliRun last = Search(folder.Path(L"last.reg"), {L"\u65E5\u672C", L"--encoding", L"932", L"--format", L"reg"});
    ASSERT_EQ(last.exitCode, 0) << last.err;
    EXPECT_NE(RegText(last.out).find(L"\"e\"=hex(2):e5,65,2c,67,00,00\r\n"), std::wstring::npos) << ToUtf8(RegText(last.out));
    EXPECT_NE(RegText(last.out).find(L"\"t\"=\"\u65E5\u672C\"\r\n"), std::wstring::npos) << ToUtf8(RegText(last.out));
}

// REGEDIT4's multi-strings stand in ANSI bytes too, each string and the
// list's end kept.
TEST_F(CliRulesTest, Regedit4MultiStringsAreWidenedWhole) {
    folder.Write(L"multi.reg", "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\M]\r\n\"m\"=hex(7):61,62,00,e9,00,00\r\n");
    const CliRun run = Search(folder.Path(L"multi.reg"), {L"ab", L"--format", L"jsonl"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(RecordsOfKind(run.out, "hit")[0]["data"], Json::parse("[\"ab\",\"\u00e9\"]"));
}

// A value name holding a NUL, escaped or raw, would name another value in
// every registry function: its line is skipped.
TEST_F(CliRulesTest, AValueNameHoldingANulIsSkipped) {
    folder.Write(L"holds-a-nul.reg", std::string(kHeader) + "[HKEY_CURRENT_USER\\Software\\N]\r\n\"v\"=\"kept\"\r\n"
                                                    "\"v\\0x\"=\"shadow\"\r\n\"v" + std::string(1, '\0') + "y\"=\"shadow\"\r\n");
    const CliRun run = Search(folder.Path(L"holds-a-nul.reg"), {L"", L"--format", L"jsonl"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    std::vector<Json> values;
    for (const auto& hit : RecordsOfKind(run.out, "hit"))
        if (!hit["name"].is_null()) values.push_back(hit);
    ASSERT_EQ(values.size(), 1u) << run.out;
    EXPECT_EQ(values[0]["name"], "v");
    EXPECT_EQ(values[0]["data"], "kept");
    EXPECT_NE(run.err.find("holds-a-nul.reg:5: "), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("holds-a-nul.reg:6: "), std::string::npos) << run.err;
}

// UTF-8 that encodes a surrogate is no UTF-8: refused when the file is said
// to be UTF-8, read as ANSI otherwise; never a U+FFFD in its place.
TEST_F(CliRulesTest, EncodedSurrogatesAreNoUtf8) {
    folder.Write(L"sur.reg", std::string(kHeader) + "[HKEY_CURRENT_USER\\Software\\S]\r\n\"v\"=\"a\xED\xA0\x80z\"\r\n");
    const CliRun told = Search(folder.Path(L"sur.reg"), {L"a", L"--encoding", L"utf-8"});
    EXPECT_EQ(told.exitCode, 2) << told.err;
    EXPECT_NE(told.err.find("sur.reg:4: "), std::string::npos) << told.err;
    const CliRun guessed = Search(folder.Path(L"sur.reg"), {L"z", L"--format", L"jsonl"});
    ASSERT_EQ(guessed.exitCode, 0) << guessed.err;
    EXPECT_EQ(RecordsOfKind(guessed.out, "hit")[0]["data"], "a\u00ED\u00A0\u20ACz") << "code page 1252";
}


// A replace over a .reg file with renames: its new file, imported after the
// input, leaves what a replace in the registry would: the old names gone,
// each renamed key whole under its new name with the changed data.
TEST_F(CliRulesTest, ANewRegFileOfRenamesImportedAfterItsInputGivesTheRenamedTree) {
    const std::string body =
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\OldCo\\OldApp]\r\n\"C:\\\\OldCo\\\\a.dll\"=dword:00000001\r\n"
        "\"Path\"=\"C:\\\\OldCo\\\\app\"\r\n\"Other\"=hex:01,02\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\OldCo\\OldApp\\Deep]\r\n@=\"kept\"\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\OldCo\\OldApp\\Deep\\OldCo inner]\r\n\"v\"=\"x\"\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Elsewhere]\r\n\"OldCo\"=\"OldCo\"\r\n";
    const std::wstring in = Script(L"in.reg", body);
    const CliRun run = RunCli({L"replace", L"--reg-file", in, L"OldCo", L"--with", L"NewCo", L"--in", L"data,names,keys",
                               L"--output", folder.Path(L"new.reg"), L"--format", L"jsonl"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    // The input and then the new file, as reg import would apply them one after the other.
    const std::string made = folder.Read(L"new.reg");
    const std::wstring madeText = DecodeUtf16Le(reinterpret_cast<const std::uint8_t*>(made.data()) + 2, made.size() - 2);
    const std::string madeBody = ToUtf8(madeText.substr(madeText.find(L"\r\n") + 2));
    const std::wstring both = Script(L"both.reg", body + "\r\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Scratch]\r\n" + madeBody);
    EXPECT_EQ(Search(both, {L"OldCo", L"--in", L"data,names,keys"}).exitCode, 1);
    const CliRun renamed = Search(both, {L"", L"--key", L"SOFTWARE\\NewCo", L"--root", L"HKLM", L"--format", L"csv",
                                         L"--quiet"});
    EXPECT_EQ(renamed.out,
              "root,key,name,type,data,matched,user,written,view\r\n"
              "HKEY_LOCAL_MACHINE,SOFTWARE\\NewCo\\OldApp,,,,key,,,\r\n"
              "HKEY_LOCAL_MACHINE,SOFTWARE\\NewCo\\OldApp,C:\\NewCo\\a.dll,REG_DWORD,1,data,,,\r\n"
              "HKEY_LOCAL_MACHINE,SOFTWARE\\NewCo\\OldApp,Path,REG_SZ,C:\\NewCo\\app,data,,,\r\n"
              "HKEY_LOCAL_MACHINE,SOFTWARE\\NewCo\\OldApp,Other,REG_BINARY,01 02,data,,,\r\n"
              "HKEY_LOCAL_MACHINE,SOFTWARE\\NewCo\\OldApp\\Deep,,,,key,,,\r\n"
              "HKEY_LOCAL_MACHINE,SOFTWARE\\NewCo\\OldApp\\Deep,,REG_SZ,kept,data,,,\r\n"
              "HKEY_LOCAL_MACHINE,SOFTWARE\\NewCo\\OldApp\\Deep\\NewCo inner,,,,key,,,\r\n"
              "HKEY_LOCAL_MACHINE,SOFTWARE\\NewCo\\OldApp\\Deep\\NewCo inner,v,REG_SZ,x,data,,,\r\n")
        << madeBody;
    const CliRun elsewhere = Search(both, {L"NewCo", L"--key", L"SOFTWARE\\Elsewhere", L"--root", L"HKLM", L"--in",
                                           L"names,data", L"--format", L"csv", L"--quiet"});
    EXPECT_EQ(elsewhere.out, "root,key,name,type,data,matched,user,written,view\r\nHKEY_LOCAL_MACHINE,SOFTWARE\\Elsewhere,NewCo,REG_SZ,NewCo,name data,,,\r\n");
}

}  // namespace
}  // namespace keyscour::testing

namespace keyscour::testing {
namespace {

// Keys and values left out: each pattern against a tree whose every key
// and value holds the text, what is left out neither listed nor counted.
TEST_F(CliRulesTest, ExcludedKeysAreNotEnteredAndExcludedNamesNotRead) {
    const std::wstring file = Script(L"tree.reg",
                                     "[HKEY_LOCAL_MACHINE\\SOFTWARE\\App]\r\n\"a\"=\"hay\"\r\n\"Skip1\"=\"hay\"\r\n"
                                     "[HKEY_LOCAL_MACHINE\\SOFTWARE\\App\\Skip]\r\n\"b\"=\"hay\"\r\n"
                                     "[HKEY_LOCAL_MACHINE\\SOFTWARE\\App\\Skip\\Deep]\r\n\"c\"=\"hay\"\r\n"
                                     "[HKEY_LOCAL_MACHINE\\SOFTWARE\\App\\Skipper]\r\n\"d\"=\"hay\"\r\n"
                                     "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other\\x\\y\\Skip]\r\n\"e\"=\"hay\"\r\n"
                                     "[HKEY_CURRENT_USER\\Software\\App\\Skip]\r\n\"f\"=\"hay\"\r\n");
    const auto run = [&](std::vector<std::wstring> exclusions) {
        std::vector<std::wstring> arguments{L"hay", L"--in", L"data", L"--format", L"jsonl"};
        arguments.insert(arguments.end(), exclusions.begin(), exclusions.end());
        const CliRun search = Search(file, arguments);
        std::string names;
        for (const auto& hit : RecordsOfKind(search.out, "hit")) names += hit["name"].get<std::string>();
        const auto summary = RecordsOfKind(search.out, "summary");
        return std::make_pair(names, summary.empty() ? -1 : summary[0]["keys"].get<int>());
    };
    const auto [all, allKeys] = run({});
    EXPECT_EQ(all, "faSkip1bcde");
    // The names listed, and how many keys fewer are walked.
    struct Case {
        std::vector<std::wstring> exclusions;
        std::string names;
        int fewerKeys;
    };
    const Case cases[] = {
        {{L"--exclude", L"SOFTWARE\\App\\Skip"}, "aSkip1de", 3},  // HKCU's Software too
        {{L"--exclude", L"software\\app\\SKIP\\"}, "aSkip1de", 3},
        {{L"--exclude", L"HKLM\\SOFTWARE\\App\\Skip"}, "faSkip1de", 2},
        {{L"--exclude", L"HKEY_CURRENT_USER\\Software\\App\\Skip"}, "aSkip1bcde", 1},
        {{L"--exclude", L"SOFTWARE\\App\\Skip*"}, "aSkip1e", 4},
        {{L"--exclude", L"SOFTWARE\\App\\Ski?"}, "aSkip1de", 3},
        {{L"--exclude", L"**\\Skip"}, "aSkip1d", 4},
        {{L"--exclude", L"SOFTWARE\\**\\Skip"}, "aSkip1d", 4},
        {{L"--exclude", L"HKLM\\SOFTWARE\\*\\Skip"}, "faSkip1de", 2},
        {{L"--exclude", L"HKLM\\**\\Deep"}, "faSkip1bde", 1},
        {{L"--exclude", L"HKLM\\SOFTWARE\\App\\**\\Skip"}, "faSkip1de", 2},  // ** as no key at all
        {{L"--exclude", L"HKLM"}, "f", 10},
        {{L"--exclude", L"SOFTWARE"}, "", 12},
        {{L"--exclude-name", L"skip?"}, "fabcde", 0},
        {{L"--exclude-name", L"*"}, "", 0},
        {{L"--exclude-name", L"[a]"}, "faSkip1bcde", 0},
        {{L"--exclude", L"**\\Skip", L"--exclude-name", L"a"}, "Skip1d", 4},
    };
    for (const auto& [exclusions, expected, fewerKeys] : cases) {
        const auto [names, keys] = run(exclusions);
        EXPECT_EQ(names, expected) << ToUtf8(exclusions[1]);
        EXPECT_EQ(allKeys - keys, fewerKeys) << ToUtf8(exclusions[1]);
    }
    for (const wchar_t* refused : {L"", L"SOFTWARE\\\\App", L"\\"}) {
        const CliRun bad = Search(file, {L"hay", L"--exclude", refused});
        EXPECT_EQ(bad.exitCode, 2) << ToUtf8(refused);
    }
}

// --case-sensitive reaches every compare of a run: data, value names, key
// names, regex and the replace with its renames.
TEST_F(CliRulesTest, CaseSensitiveTakesCaseAsItIsInSearchAndReplace) {
    const std::wstring file = Script(L"case.reg", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Fabrikam]\r\n\"Fabrikam\"=\"fabrikam FABRIKAM Fabrikam\"\r\n"
                                                  "[HKEY_LOCAL_MACHINE\\SOFTWARE\\fabrikam2]\r\n\"fab\"=\"x\"\r\n");
    const auto hits = [&](std::vector<std::wstring> more) {
        std::vector<std::wstring> arguments{L"--in", L"data,names,keys", L"--format", L"jsonl"};
        arguments.insert(arguments.begin(), more.begin(), more.end());
        return RecordsOfKind(Search(file, arguments).out, "hit").size();
    };
    EXPECT_EQ(hits({L"fabrikam"}), 3u);
    EXPECT_EQ(hits({L"fabrikam", L"--case-sensitive"}), 2u) << "the data and the key fabrikam2";
    EXPECT_EQ(hits({L"Fabrikam", L"--case-sensitive"}), 2u) << "the key Fabrikam and its value";
    EXPECT_EQ(hits({L"FABRIKAM", L"--case-sensitive", L"--whole"}), 0u);
    EXPECT_EQ(hits({L"^fab", L"--regex", L"--case-sensitive"}), 3u) << "the data, the key fabrikam2, its value fab";
    const CliRun replace = RunCli({L"replace", L"--reg-file", file, L"Fabrikam", L"--with", L"Contoso", L"--in",
                                   L"data,names,keys", L"--case-sensitive", L"--output", folder.Path(L"new.reg"),
                                   L"--format", L"jsonl"});
    ASSERT_EQ(replace.exitCode, 0) << replace.err;
    const auto changes = RecordsOfKind(replace.out, "change");
    ASSERT_EQ(changes.size(), 1u) << replace.out;
    EXPECT_EQ(changes[0]["new"], "fabrikam FABRIKAM Contoso");
    EXPECT_EQ(RecordsOfKind(replace.out, "rename").size(), 2u) << "the value Fabrikam and the key Fabrikam; not fabrikam2";
}

// --pairs over a file: each hit names the OLD that matched, a replace
// takes every pair in one pass, a swap of names in one pass is refused, and
// the file's faults are refused with their line.
TEST_F(CliRulesTest, PairsFindAndReplaceSeveralTextsInOnePass) {
    const std::wstring file = Script(L"pairs.reg", "[HKEY_CURRENT_USER\\Software\\Alpha]\r\n\"p\"=\"C:\\\\Users\\\\Alice\\\\x\"\r\n"
                                                   "\"q\"=\"c:\\\\users\\\\ALICES~1\"\r\n"
                                                   "[HKEY_CURRENT_USER\\Software\\Beta]\r\n\"r\"=\"none\"\r\n");
    folder.Write(L"moves.txt", "\xEF\xBB\xBF# profile move\r\nC:\\Users\\Alice\tC:\\Users\\alice.CONTOSO\r\n"
                               "C:\\Users\\ALICES~1\tC:\\Users\\ALICE~1.CON\r\n");
    const CliRun search = Search(file, {L"--pairs", folder.Path(L"moves.txt"), L"--format", L"jsonl"});
    ASSERT_EQ(search.exitCode, 0) << search.err;
    const auto hits = RecordsOfKind(search.out, "hit");
    ASSERT_EQ(hits.size(), 2u) << search.out;
    EXPECT_EQ(hits[0]["old"], "C:\\Users\\Alice");
    EXPECT_EQ(hits[1]["old"], "C:\\Users\\ALICES~1");
    const CliRun replace = RunCli({L"replace", L"--reg-file", file, L"--pairs", folder.Path(L"moves.txt"), L"--output",
                                   folder.Path(L"new.reg"), L"--format", L"jsonl"});
    ASSERT_EQ(replace.exitCode, 0) << replace.err;
    const auto changes = RecordsOfKind(replace.out, "change");
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[0]["new"], "C:\\Users\\alice.CONTOSO\\x");
    EXPECT_EQ(changes[1]["new"], "C:\\Users\\ALICE~1.CON");

    folder.Write(L"swap.txt", "Alpha\tBeta\nBeta\tAlpha\n");
    const CliRun swap = RunCli({L"replace", L"--reg-file", file, L"--pairs", folder.Path(L"swap.txt"), L"--in", L"keys",
                                L"--output", folder.Path(L"swapped.reg"), L"--dry-run"});
    EXPECT_EQ(swap.exitCode, 2) << "a swap in one pass is refused: " << swap.err;

    for (const std::vector<std::wstring>& refused :
         {std::vector<std::wstring>{L"search", L"--reg-file", file, L"x", L"--pairs", folder.Path(L"moves.txt")},
          {L"replace", L"--reg-file", file, L"--pairs", folder.Path(L"moves.txt"), L"--with", L"y"},
          {L"replace", L"--reg-file", file, L"x"},
          {L"search", L"--reg-file", file}}) {
        const CliRun run = RunCli(refused);
        EXPECT_EQ(run.exitCode, 2) << run.err;
    }
    folder.Write(L"bad.txt", "a\tb\n# fine\nno tab\n");
    const CliRun bad = Search(file, {L"--pairs", folder.Path(L"bad.txt")});
    EXPECT_EQ(bad.exitCode, 2);
    EXPECT_NE(bad.err.find("bad.txt:3: no tab"), std::string::npos) << bad.err;
}

// --binary-text: a path inside a REG_BINARY is a hit that says how it was
// read, and a replace lists it as skipped, never writing the blob.
TEST_F(CliRulesTest, BinaryTextIsFoundAndNeverReplaced) {
    std::string hex = "01";
    for (const char c : std::string("C:\\Users\\Alice")) {
        char pair[8];
        std::snprintf(pair, sizeof pair, ",%02x,00", static_cast<unsigned char>(c));
        hex += pair;
    }
    const std::wstring file = Script(L"mru.reg", "[HKEY_CURRENT_USER\\Software\\Mru]\r\n\"0\"=hex:" + hex + ",00,00\r\n"
                                                 "\"s\"=\"C:\\\\Users\\\\Alice\"\r\n");
    EXPECT_EQ(Search(file, {L"users\\alice", L"--format", L"jsonl"}).out.find("\"name\":\"0\""), std::string::npos)
        << "without --binary-text a blob is its hex";
    const CliRun search = Search(file, {L"users\\alice", L"--binary-text", L"--format", L"jsonl"});
    ASSERT_EQ(search.exitCode, 0) << search.err;
    const auto hits = RecordsOfKind(search.out, "hit");
    ASSERT_EQ(hits.size(), 2u) << search.out;
    EXPECT_EQ(hits[0]["name"], "0");
    EXPECT_EQ(hits[0]["matched"], Json::array({"binary-utf16"}));
    const CliRun csv = Search(file, {L"users\\alice", L"--binary-text", L"--format", L"csv"});
    EXPECT_NE(csv.out.find(",binary-utf16,"), std::string::npos) << csv.out;

    for (const bool whole : {false, true}) {
        std::vector<std::wstring> arguments{L"replace", L"--reg-file", file, L"Users\\Alice", L"--with", L"Users\\Bob",
                                            L"--binary-text", L"--output", folder.Path(L"new.reg"), L"--format", L"jsonl"};
        if (whole) arguments.push_back(L"--whole-value");
        const CliRun replace = RunCli(arguments);
        ASSERT_EQ(replace.exitCode, 0) << replace.err;
        const auto skips = RecordsOfKind(replace.out, "skip");
        ASSERT_EQ(skips.size(), 1u) << replace.out;
        EXPECT_EQ(skips[0]["name"], "0");
        EXPECT_NE(skips[0]["reason"].get<std::string>().find("binary data"), std::string::npos);
        EXPECT_EQ(RecordsOfKind(replace.out, "change").size(), 1u) << "the string alone";
    }
}

// A value hit by its name through --names, in a replace of data alone, is
// never renamed: renames are asked for with --in names.
TEST_F(CliRulesTest, ANameHitOfADataReplaceIsNeverRenamed) {
    const std::wstring file = Script(L"names.reg", "[HKEY_CURRENT_USER\\Software\\N]\r\n\"OldName\"=\"nothing here\"\r\n");
    const CliRun run = RunCli({L"replace", L"--reg-file", file, L"OldName", L"--with", L"NewName", L"--names", L"--output",
                               folder.Path(L"new.reg"), L"--format", L"jsonl"});
    EXPECT_EQ(RecordsOfKind(run.out, "rename").size(), 0u) << run.out;
    EXPECT_EQ(RecordsOfKind(run.out, "skip").size(), 1u) << run.out;
}

// --help and --version answer on standard output and end with 0, the
// help naming the options this release added.
TEST_F(CliRulesTest, HelpAndVersionEndWithZero) {
    const CliRun help = RunCli({L"search", L"--help"});
    EXPECT_EQ(help.exitCode, 0) << help.err;
    for (const char* option : {"--windows", "--user", "--since", "--exclude", "--pairs", "--case-sensitive",
                               "--binary-text", "--view"})
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
    const CliRun version = RunCli({L"--version"});
    EXPECT_EQ(version.exitCode, 0) << version.err;
    EXPECT_EQ(version.out.rfind("keyscour-cli ", 0), 0u) << version.out;
}

}  // namespace
}  // namespace keyscour::testing
