// keyscour-cli as a child process: its outputs in files, its exit codes,
// over .reg files in both builds and, on Windows, over the real registry.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "base/utf16.h"
#include "base/utf8.h"
#include "tests/cli/cli_runner.h"

#ifdef _WIN32
#include <windows.h>

#include <sddl.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
namespace fs = std::filesystem;
#endif

namespace keyscour::testing {
namespace {

using Json = nlohmann::json;

std::string Utf16File(const std::wstring& text) {
    std::string bytes = "\xFF\xFE";
    for (std::uint8_t b : EncodeUtf16Le(text)) bytes += static_cast<char>(b);
    return bytes;
}

const std::wstring kExport =
    L"Windows Registry Editor Version 5.00\r\n\r\n"
    L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Fabrikam]\r\n"
    L"\"Path\"=\"C:\\\\Program Files\\\\Fabrikam\\\\app.exe\"\r\n"
    L"\"Count\"=dword:0000001a\r\n"
    L"\"List\"=hex(7):46,00,61,00,62,00,00,00,78,00,00,00,00,00\r\n"
    L"\"City\"=\"M\u00DCNCHEN\"\r\n"
    L"\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Fabrikam\\Sub]\r\n"
    L"\"Exp\"=hex(2):25,00,46,00,41,00,42,00,25,00,00,00\r\n"
    L"\r\n[HKEY_CURRENT_USER\\Software\\Other]\r\n"
    L"\"Fab\"=\"no\"\r\n";

std::vector<Json> Records(const std::string& out) {
    std::vector<Json> records;
    for (const auto& line : Lines(out)) records.push_back(Json::parse(line));
    return records;
}

class CliFileTest : public ::testing::Test {
protected:
    CliFileTest() { folder.Write(L"export.reg", Utf16File(kExport)); }
    std::wstring Export() const { return folder.Path(L"export.reg"); }
    ScratchFolder folder;
};

TEST_F(CliFileTest, SearchWritesJsonLinesToAPipeAndExitsByWhatItFound) {
    const CliRun run = RunCli({L"search", L"--reg-file", Export(), L"fab", L"--key", L"SOFTWARE"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto records = Records(run.out);
    ASSERT_EQ(records.size(), 5u) << run.out;
    EXPECT_EQ(records[0]["kind"], "hit");
    EXPECT_EQ(records[0]["key"], "SOFTWARE\\Fabrikam");
    EXPECT_EQ(records[0]["matched"], Json::array({"key"}));
    EXPECT_EQ(records[1]["name"], "Path");
    EXPECT_EQ(records[2]["data"], Json::array({"Fab", "x"}));
    EXPECT_EQ(records[3]["type"], "REG_EXPAND_SZ");
    EXPECT_EQ(records[3]["data"], "%FAB%") << "as stored";
    EXPECT_EQ(records[4]["kind"], "summary");
    EXPECT_EQ(records[4]["hits"], 4);
    EXPECT_EQ(RunCli({L"search", L"--reg-file", Export(), L"nowhere to be found"}).exitCode, 1);
}

TEST_F(CliFileTest, NumbersMatchInDecimalAndHexAndCaseNeedsNoLocale) {
    for (const wchar_t* text : {L"26", L"0x1a"}) {
        const CliRun run = RunCli({L"search", L"--reg-file", Export(), text, L"--whole"});
        ASSERT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(Records(run.out)[0]["data"], 26);
    }
    const CliRun run =
        RunCli({L"search", L"--reg-file", Export(), L"m\u00FCnchen", L"--format", L"csv"}, {"LANG=", "LC_ALL=", "LC_CTYPE="});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(Lines(run.out)[1], "HKEY_LOCAL_MACHINE,SOFTWARE\\Fabrikam,City,REG_SZ,M\xC3\x9CNCHEN,data,,,");
}

TEST_F(CliFileTest, UsageErrorsNameTheirArgument) {
    struct Case {
        std::vector<std::wstring> arguments;
        const char* named;
    };
    const std::vector<Case> cases{
        {{L"search", L"--reg-file", Export(), L"x", L"--root", L"HKXX"}, "--root"},
        {{L"search", L"--reg-file", Export(), L"x", L"--format", L"xml"}, "--format"},
        {{L"search", L"--reg-file", Export(), L"x", L"--type", L"REG_TEXT"}, "--type"},
        {{L"search", L"--reg-file", Export(), L"(", L"--regex"}, "--regex"},
        {{L"search", L"--reg-file", Export(), L"x", L"--key", L"Missing\\Key"}, "--key"},
        {{L"search", L"--reg-file", folder.Path(L"none.reg"), L"x"}, "none.reg"},
        {{L"search", L"--bogus", L"x"}, "--bogus"},
        {{L"search"}, "TEXT"},
        {{L"replace", L"--reg-file", Export(), L"x"}, "--with"},
        {{L"replace", L"--reg-file", Export(), L"x", L"--with", L"y"}, "--output"},
    };
    for (const auto& c : cases) {
        const CliRun run = RunCli(c.arguments);
        EXPECT_EQ(run.exitCode, 2) << c.named;
        EXPECT_NE(run.err.find(c.named), std::string::npos) << run.err;
        EXPECT_EQ(Lines(run.err).size(), 1u) << "one line: " << run.err;
    }
    folder.Write(L"broken.reg", "Windows Registry Editor Version 5.00\r\n[HKLM\\A]\r\n\"v\"=dword:zz\r\n");
    // Windows skips that line alone; --strict refuses the file for it.
    const CliRun broken = RunCli({L"search", L"--reg-file", folder.Path(L"broken.reg"), L"x"});
    EXPECT_EQ(broken.exitCode, 1) << broken.err;
    EXPECT_NE(broken.err.find("skipped: " + ToUtf8(folder.Path(L"broken.reg")) + ":3: "), std::string::npos) << broken.err;
    const CliRun strict = RunCli({L"search", L"--reg-file", folder.Path(L"broken.reg"), L"x", L"--strict"});
    EXPECT_EQ(strict.exitCode, 2);
    EXPECT_NE(strict.err.find("broken.reg: 1 line that Windows would skip (--strict)"), std::string::npos) << strict.err;
}

TEST_F(CliFileTest, ExportedAsRegAndReadBackGivesTheSameHits) {
    const CliRun exported = RunCli({L"search", L"--reg-file", Export(), L"fab", L"--format", L"reg", L"--output",
                                    folder.Path(L"hits.reg"), L"--quiet"});
    ASSERT_EQ(exported.exitCode, 0) << exported.err;
    EXPECT_TRUE(exported.out.empty());
    const std::string bytes = folder.Read(L"hits.reg");
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ(bytes.substr(0, 2), "\xFF\xFE") << "UTF-16LE with its mark";
    const CliRun before = RunCli({L"search", L"--reg-file", Export(), L"fab", L"--format", L"csv", L"--quiet"});
    const CliRun after =
        RunCli({L"search", L"--reg-file", folder.Path(L"hits.reg"), L"fab", L"--format", L"csv", L"--quiet"});
    ASSERT_EQ(after.exitCode, 0) << after.err;
    EXPECT_EQ(after.out, before.out);
}

TEST_F(CliFileTest, ReplaceInARegFileKeepsTypesWritesANewFileAndNeverTheInput) {
    const std::string input = folder.Read(L"export.reg");
    const CliRun run = RunCli({L"replace", L"--reg-file", Export(), L"fab", L"--with", L"Contoso", L"--key",
                               L"SOFTWARE", L"--output", folder.Path(L"new.reg")});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(folder.Read(L"export.reg"), input);
    const auto records = Records(run.out);
    int changes = 0, skips = 0;
    for (const auto& record : records) {
        changes += record["kind"] == "change";
        skips += record["kind"] == "skip";
    }
    EXPECT_EQ(changes, 3);  // Path, List, Exp
    EXPECT_EQ(skips, 0);
    EXPECT_EQ(records.back()["changed"], 3);
    const CliRun read = RunCli({L"search", L"--reg-file", folder.Path(L"new.reg"), L"contoso", L"--quiet"});
    const auto hits = Records(read.out);
    ASSERT_EQ(hits.size(), 4u) << read.out;
    EXPECT_EQ(hits[0]["data"], "C:\\Program Files\\Contosorikam\\app.exe") << "every match replaced, nothing else";
    EXPECT_EQ(hits[1]["type"], "REG_MULTI_SZ");
    EXPECT_EQ(hits[1]["data"], Json::array({"Contoso", "x"}));
    EXPECT_EQ(hits[2]["type"], "REG_EXPAND_SZ");
    EXPECT_EQ(hits[2]["data"], "%Contoso%");

    // Numbers are never changed by a text replace; asked to, nothing is left to do.
    const CliRun numbers = RunCli({L"replace", L"--reg-file", Export(), L"26", L"--with", L"27", L"--output",
                                   folder.Path(L"none.reg")});
    EXPECT_EQ(numbers.exitCode, 1);
    EXPECT_NE(numbers.out.find("\"kind\":\"skip\""), std::string::npos);
}

TEST_F(CliFileTest, ARegexSkipsTextsBeyond32KiUnitsAndSaysSo) {
    std::wstring script = L"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_USERS\\S]\r\n\"big\"=\"" +
                          std::wstring(40000, L'a') + L"\"\r\n\"small\"=\"abc\"\r\n";
    folder.Write(L"big.reg", Utf16File(script));
    const CliRun run = RunCli({L"search", L"--reg-file", folder.Path(L"big.reg"), L"^a+", L"--regex"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto records = Records(run.out);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0]["name"], "small");
    EXPECT_EQ(records[1]["skipped"], 1);
    EXPECT_NE(run.err.find("32768 UTF-16 units"), std::string::npos) << run.err;
}

#ifdef _WIN32

// A key of HKCU that one test owns.
class LiveTest : public ::testing::Test {
protected:
    LiveTest() {
        path_ = L"Software\\Quillon Keyscour Tests\\cli-" + std::to_wstring(GetCurrentProcessId());
        RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
    }
    ~LiveTest() override {
        RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
        RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\Quillon Keyscour Tests");
    }
    void Put(const std::wstring& sub, const std::wstring& name, DWORD type, const std::vector<BYTE>& data) {
        const std::wstring key = sub.empty() ? path_ : path_ + L"\\" + sub;
        RegSetKeyValueW(HKEY_CURRENT_USER, key.c_str(), name.c_str(), type, data.data(), static_cast<DWORD>(data.size()));
    }
    std::vector<BYTE> Get(const std::wstring& sub, const std::wstring& name, DWORD* type = nullptr) {
        const std::wstring key = sub.empty() ? path_ : path_ + L"\\" + sub;
        DWORD bytes = 0, kind = 0;
        if (RegGetValueW(HKEY_CURRENT_USER, key.c_str(), name.c_str(), RRF_RT_ANY | RRF_NOEXPAND, &kind, nullptr,
                         &bytes) != ERROR_SUCCESS)
            return {};
        std::vector<BYTE> data(bytes);
        RegGetValueW(HKEY_CURRENT_USER, key.c_str(), name.c_str(), RRF_RT_ANY | RRF_NOEXPAND, &kind, data.data(), &bytes);
        data.resize(bytes);
        if (type) *type = kind;
        return data;
    }
    static std::vector<BYTE> Text(const std::wstring& text) {
        auto bytes = EncodeUtf16Le(text);
        bytes.insert(bytes.end(), {0, 0});
        return bytes;
    }
    std::wstring path_;
    ScratchFolder undo;
};

TEST_F(LiveTest, SearchReplaceAndTheUndoFileThroughRegImport) {
    const std::wstring wide = L"\u041F\u0443\u0442\u044C \U0001F511";  // non-ANSI text
    Put(L"App", L"Path", REG_SZ, Text(L"C:\\Old\\" + wide));
    Put(L"App", L"Exp", REG_EXPAND_SZ, Text(L"%ProgramFiles%\\Old"));
    Put(L"App", L"List", REG_MULTI_SZ, {'O', 0, 'l', 0, 'd', 0, 0, 0, 'b', 0, 0, 0, 0, 0});
    Put(L"App", L"Num", REG_DWORD, {7, 0, 0, 0});
    const auto listBefore = Get(L"App", L"List");

    const CliRun search = RunCli({L"search", L"old", L"--root", L"HKCU", L"--key", path_});
    ASSERT_EQ(search.exitCode, 0) << search.err;
    EXPECT_EQ(Lines(search.out).size(), 4u) << search.out;  // three values and the summary

    const CliRun refused = RunCli({L"replace", L"old", L"--with", wide, L"--root", L"HKCU", L"--key", path_});
    EXPECT_EQ(refused.exitCode, 2) << "no terminal and no --yes";
    EXPECT_NE(refused.err.find("--yes"), std::string::npos);
    EXPECT_EQ(Get(L"App", L"Path"), Text(L"C:\\Old\\" + wide));

    const CliRun dry = RunCli({L"replace", L"old", L"--with", L"New", L"--root", L"HKCU", L"--key", path_, L"--dry-run",
                               L"--undo-dir", undo.Path(L"u")});
    EXPECT_EQ(dry.exitCode, 0);
    EXPECT_TRUE(undo.Files().empty()) << "a dry run writes nothing, not even the undo file";

    const CliRun done = RunCli({L"replace", L"old", L"--with", wide, L"--root", L"HKCU", L"--key", path_, L"--yes",
                                L"--undo-dir", undo.Path(L"u")});
    ASSERT_EQ(done.exitCode, 0) << done.err;
    DWORD type = 0;
    EXPECT_EQ(Get(L"App", L"Path", &type), Text(L"C:\\" + wide + L"\\" + wide)) << "whole arguments, not ANSI";
    EXPECT_EQ(Get(L"App", L"Exp", &type), Text(L"%ProgramFiles%\\" + wide));
    EXPECT_EQ(type, static_cast<DWORD>(REG_EXPAND_SZ)) << "the type kept";
    EXPECT_EQ(Get(L"App", L"Num"), (std::vector<BYTE>{7, 0, 0, 0}));

    const auto files = undo.Files();
    ASSERT_EQ(files.size(), 1u);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    std::wstring command = L"reg.exe import \"" + files[0] + L"\"";
    ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                               &startup, &process));
    WaitForSingleObject(process.hProcess, 60000);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(Get(L"App", L"Path"), Text(L"C:\\Old\\" + wide));
    EXPECT_EQ(Get(L"App", L"Exp", &type), Text(L"%ProgramFiles%\\Old"));
    EXPECT_EQ(type, static_cast<DWORD>(REG_EXPAND_SZ));
    EXPECT_EQ(Get(L"App", L"List"), listBefore);
}

// An empty TEXT over the live registry: every key and every value, empty
// defaults and empty data of every type included.
TEST_F(LiveTest, AnEmptyTextMatchesEveryKeyAndValue) {
    Put(L"", L"", REG_SZ, {});
    Put(L"", L"sz", REG_SZ, {0, 0});
    Put(L"", L"b", REG_BINARY, {});
    Put(L"", L"n", REG_NONE, {});
    Put(L"", L"d", REG_DWORD, {0, 0, 0, 0});
    Put(L"Sub", L"", REG_EXPAND_SZ, {});
    Put(L"Sub", L"m", REG_MULTI_SZ, {0, 0});
    const CliRun run = RunCli({L"search", L"", L"--root", L"HKCU", L"--key", path_, L"--format", L"jsonl"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    std::size_t keys = 0, values = 0;
    for (const auto& line : Lines(run.out)) {
        if (line.find("\"kind\":\"hit\"") == std::string::npos) continue;
        (line.find("\"name\":null") != std::string::npos ? keys : values) += 1;
    }
    EXPECT_EQ(keys, 1u) << "Sub; the start key itself is where the walk begins" << run.out;
    EXPECT_EQ(values, 7u) << run.out;
}

// Every key and value below the test's key, names in their stored case,
// keys in the order listed, values with type and data.
std::string LiveDump(HKEY root, const std::wstring& path) {
    std::string out;
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return "missing " + ToUtf8(path);
    for (DWORD i = 0;; ++i) {
        wchar_t name[16384];
        DWORD nameChars = 16384, type = 0, bytes = 0;
        if (RegEnumValueW(key, i, name, &nameChars, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS) break;
        std::vector<BYTE> data(bytes);
        nameChars = 16384;
        RegEnumValueW(key, i, name, &nameChars, nullptr, &type, data.data(), &bytes);
        out += "value " + ToUtf8(name) + " " + std::to_string(type) + " " + std::string(data.begin(), data.end()) + "\n";
    }
    std::vector<std::wstring> subKeys;
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        if (RegEnumKeyW(key, i, name, 256) != ERROR_SUCCESS) break;
        subKeys.push_back(name);
    }
    RegCloseKey(key);
    for (const auto& sub : subKeys) out += "key " + ToUtf8(sub) + "\n" + LiveDump(root, path + L"\\" + sub);
    return out;
}

// Renames in the live registry: RegRenameKey for keys, a value written
// under its new name and the old one removed, a change of case through a
// name of its own; then keyscour-cli undo renames back to what it was.
TEST_F(LiveTest, RenamesOfValueNamesAndKeyNamesAndTheirUndo) {
    Put(L"Vendor\\OldApp", L"C:\\OldApp\\a.dll", REG_DWORD, {2, 0, 0, 0});
    Put(L"Vendor\\OldApp", L"Path", REG_SZ, Text(L"C:\\OldApp"));
    Put(L"Vendor\\OldApp\\OldApp inner", L"", REG_SZ, Text(L"inner"));
    Put(L"Vendor\\OldApp\\OldApp inner\\Deeper", L"x", REG_BINARY, {1, 2});
    Put(L"Users\\alice", L"alice", REG_SZ, Text(L"C:\\Users\\alice"));
    Put(L"Users\\alice", L"other", REG_SZ, Text(L"kept"));
    const std::string before = LiveDump(HKEY_CURRENT_USER, path_);

    const CliRun moved = RunCli({L"replace", L"OldApp", L"--with", L"NewApp", L"--in", L"data,names,keys", L"--root",
                                 L"HKCU", L"--key", path_, L"--yes", L"--format", L"jsonl", L"--undo-dir", undo.Path(L"u")});
    ASSERT_EQ(moved.exitCode, 0) << moved.err;
    EXPECT_EQ(Get(L"Vendor\\NewApp", L"C:\\NewApp\\a.dll"), (std::vector<BYTE>{2, 0, 0, 0}));
    EXPECT_EQ(Get(L"Vendor\\NewApp", L"Path"), Text(L"C:\\NewApp"));
    EXPECT_EQ(Get(L"Vendor\\NewApp\\NewApp inner\\Deeper", L"x"), (std::vector<BYTE>{1, 2}));
    EXPECT_TRUE(Get(L"Vendor\\OldApp", L"Path").empty());

    const CliRun cased = RunCli({L"replace", L"alice", L"--with", L"Alice", L"--in", L"data,names,keys", L"--root",
                                 L"HKCU", L"--key", path_, L"--yes", L"--undo-dir", undo.Path(L"u")});
    ASSERT_EQ(cased.exitCode, 0) << cased.err;
    const std::string after = LiveDump(HKEY_CURRENT_USER, path_);
    EXPECT_NE(after.find("key Alice\nvalue Alice 1"), std::string::npos) << after;
    EXPECT_EQ(Get(L"Users\\Alice", L"Alice"), Text(L"C:\\Users\\Alice")) << "the value kept through its change of case";
    EXPECT_EQ(Get(L"Users\\Alice", L"other"), Text(L"kept"));

    // Undone the latest first, each by keyscour-cli undo on the live registry.
    auto files = undo.Files();
    ASSERT_EQ(files.size(), 2u);
    std::sort(files.begin(), files.end(), [](const auto& a, const auto& b) {
        return fs::last_write_time(fs::path(a)) > fs::last_write_time(fs::path(b));
    });
    for (const auto& file : files) {
        const CliRun undone = RunCli({L"undo", file});
        ASSERT_EQ(undone.exitCode, 0) << undone.err;
    }
    EXPECT_EQ(LiveDump(HKEY_CURRENT_USER, path_), before);
}

// A rename through a link would change the key the link leads to; a link
// key is never renamed. A link made as Windows makes one (REG_LINK).
TEST_F(LiveTest, NoRenameReachesThroughALink) {
    Put(L"Target\\OldSet", L"OldValue", REG_SZ, Text(L"x"));
    const std::wstring link = path_ + L"\\OldLink";
    HKEY made = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, link.c_str(), 0, nullptr, REG_OPTION_CREATE_LINK, KEY_ALL_ACCESS,
                              nullptr, &made, nullptr),
              ERROR_SUCCESS);
    // The link's target is a kernel path: \Registry\User\<SID>\<path>.
    wchar_t sid[256] = L"";
    HANDLE token = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    BYTE buffer[256];
    DWORD got = 0;
    GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &got);
    CloseHandle(token);
    LPWSTR text = nullptr;
    ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text);
    wcscpy(sid, text);
    LocalFree(text);
    const std::wstring target = L"\\Registry\\User\\" + std::wstring(sid) + L"\\" + path_ + L"\\Target";
    ASSERT_EQ(RegSetValueExW(made, L"SymbolicLinkValue", 0, REG_LINK, reinterpret_cast<const BYTE*>(target.c_str()),
                             static_cast<DWORD>(target.size() * sizeof(wchar_t))),
              ERROR_SUCCESS);
    RegCloseKey(made);
    const std::string before = LiveDump(HKEY_CURRENT_USER, path_ + L"\\Target");

    const CliRun run = RunCli({L"replace", L"Old", L"--with", L"New", L"--in", L"names,keys", L"--root", L"HKCU",
                               L"--key", path_, L"--yes", L"--undo-dir", undo.Path(L"u")});
    EXPECT_EQ(run.exitCode, 2) << run.err;
    EXPECT_NE(run.err.find("OldLink: it is a link"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("reached through the link"), std::string::npos) << run.err;
    EXPECT_EQ(LiveDump(HKEY_CURRENT_USER, path_ + L"\\Target"), before);
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, link.c_str(), REG_OPTION_OPEN_LINK, DELETE, &opened) == ERROR_SUCCESS) {
        RegDeleteKeyW(opened, L"");
        RegCloseKey(opened);
    }
}

TEST_F(LiveTest, ExitCodesAndAMissingStartKey) {
    Put(L"", L"v", REG_SZ, Text(L"here"));
    EXPECT_EQ(RunCli({L"search", L"here", L"--root", L"HKCU", L"--key", path_}).exitCode, 0);
    EXPECT_EQ(RunCli({L"search", L"absent", L"--root", L"HKCU", L"--key", path_}).exitCode, 1);
    const CliRun missing = RunCli({L"search", L"here", L"--key", path_ + L"\\Nope"});
    EXPECT_EQ(missing.exitCode, 2);
    EXPECT_NE(missing.err.find("--key"), std::string::npos) << missing.err;
    EXPECT_EQ(RunCli({L"replace", L"absent", L"--with", L"x", L"--root", L"HKCU", L"--key", path_, L"--yes",
                      L"--undo-dir", undo.Path(L"u")})
                  .exitCode,
              1);
}

// The live registry's key times (RegQueryInfoKeyW) on every hit, and the
// 32-bit view: a key of HKLM\\Software a 32-bit program writes is kept
// under WOW6432Node; --view 32 finds it where that program sees it, names
// the real path, replaces it there, and its undo file imports from a
// 64-bit reg import back where the value was.
TEST_F(LiveTest, KeyTimesAndThe32BitView) {
    Put(L"App", L"Path", REG_SZ, Text(L"C:\\Old"));
    const CliRun timed = RunCli({L"search", L"old", L"--root", L"HKCU", L"--key", path_, L"--format", L"jsonl"});
    ASSERT_EQ(timed.exitCode, 0) << timed.err;
    bool recent = false;
    EXPECT_NE(MaskedTimes(timed.out, &recent).find("\"written\":\"TIME\""), std::string::npos) << timed.out;
    EXPECT_TRUE(recent) << timed.out;
    EXPECT_EQ(RunCli({L"search", L"old", L"--root", L"HKCU", L"--key", path_, L"--since", L"2100-01-01"}).exitCode, 1)
        << "written before then";
    EXPECT_EQ(RunCli({L"search", L"old", L"--root", L"HKCU", L"--key", path_, L"--since", L"2000-01-01"}).exitCode, 0);
    // Exclusions over the live registry: by the row's full path, and by name.
    EXPECT_EQ(RunCli({L"search", L"old", L"--root", L"HKCU", L"--key", path_, L"--exclude",
                      L"HKCU\\" + path_ + L"\\A*"})
                  .exitCode,
              1);
    EXPECT_EQ(RunCli({L"search", L"old", L"--root", L"HKCU", L"--key", path_, L"--exclude-name", L"p?th"}).exitCode, 1);

    const std::wstring app = L"Software\\Quillon Keyscour View Test " + std::to_wstring(GetCurrentProcessId());
    const std::wstring real = L"Software\\WOW6432Node\\Quillon Keyscour View Test " + std::to_wstring(GetCurrentProcessId());
    // Whatever an earlier run of the same pid left in either view goes first.
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, app.c_str());
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, real.c_str());
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, app.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr,
                              &key, nullptr),
              ERROR_SUCCESS);
    const auto path = Text(L"C:\\Program Files (x86)\\Old\\app.exe");
    RegSetValueExW(key, L"Path", 0, REG_SZ, path.data(), static_cast<DWORD>(path.size()));
    RegCloseKey(key);
    struct Removed {
        std::wstring real;
        ~Removed() { RegDeleteTreeW(HKEY_LOCAL_MACHINE, real.c_str()); }
    } removed{real};
    const auto read = [&](const std::wstring& where) {
        wchar_t text[260] = {};
        DWORD bytes = sizeof text;
        return RegGetValueW(HKEY_LOCAL_MACHINE, where.c_str(), L"Path", RRF_RT_REG_SZ, nullptr, text, &bytes) ==
                       ERROR_SUCCESS
                   ? std::wstring(text)
                   : std::wstring(L"(none)");
    };
    ASSERT_EQ(read(real), L"C:\\Program Files (x86)\\Old\\app.exe") << "kept under WOW6432Node";
    EXPECT_EQ(RunCli({L"search", L"old", L"--root", L"HKLM", L"--key", app}).exitCode, 2) << "the 64-bit view has no such key";

    const CliRun search = RunCli({L"search", L"old", L"--root", L"HKLM", L"--key", app, L"--view", L"32", L"--format",
                                  L"jsonl"});
    ASSERT_EQ(search.exitCode, 0) << search.err;
    const auto records = Records(search.out);
    ASSERT_GE(records.size(), 2u) << search.out;
    // The stored name's case is the system's own: WOW6432Node on Windows, Wow6432Node under Wine.
    const auto lower = [](std::string text) {
        for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return text;
    };
    EXPECT_EQ(lower(records[0]["key"].get<std::string>()), lower(ToUtf8(real))) << "the real path";
    EXPECT_EQ(records[0]["view"], "32");
    EXPECT_EQ(records[0]["view_key"], ToUtf8(app));
    const CliRun csv = RunCli({L"search", L"old", L"--root", L"HKLM", L"--key", app, L"--view", L"32", L"--format",
                               L"csv", L"--quiet"});
    EXPECT_TRUE(Lines(csv.out).at(1).ends_with(",32")) << csv.out;

    const CliRun replace = RunCli({L"replace", L"old", L"--with", L"New", L"--root", L"HKLM", L"--key", app, L"--view",
                                   L"32", L"--yes", L"--undo-dir", undo.Path(L"u")});
    ASSERT_EQ(replace.exitCode, 0) << replace.err;
    EXPECT_EQ(read(real), L"C:\\Program Files (x86)\\New\\app.exe") << "written where the 32-bit program sees it";
    const auto files = undo.Files();
    ASSERT_EQ(files.size(), 1u);
    const std::string script = ReadFileBytes(files[0]);
    const std::wstring text = DecodeUtf16Le(reinterpret_cast<const std::uint8_t*>(script.data()) + 2, script.size() - 2);
    EXPECT_NE(lower(ToUtf8(text)).find(lower(ToUtf8(L"[HKEY_LOCAL_MACHINE\\" + real + L"]"))), std::string::npos)
        << ToUtf8(text);
    const CliRun undone = RunCli({L"undo", files[0]});
    ASSERT_EQ(undone.exitCode, 0) << undone.err;
    EXPECT_EQ(read(real), L"C:\\Program Files (x86)\\Old\\app.exe") << "undone from the 64-bit view, at the real path";

    for (const std::vector<std::wstring>& refused :
         {std::vector<std::wstring>{L"search", L"x", L"--view", L"64"},
          {L"search", L"x", L"--view", L"32", L"--reg-file", undo.Path(L"none.reg")},
          {L"replace", L"x", L"--with", L"y", L"--view", L"32", L"--in", L"keys", L"--yes"}})
        EXPECT_EQ(RunCli(refused).exitCode, 2) << ToUtf8(refused[3]);
}

#endif

}  // namespace
}  // namespace keyscour::testing
