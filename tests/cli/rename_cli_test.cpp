// keyscour-cli renaming what holds the text, in hives it writes: the path
// move of an admin (data, value names and key names in one replace) and
// its undo to the hive it was, the drive-letter swap of a SYSTEM hive in
// three steps and back, each refusal made before anything is written,
// and search --in listing what a replace would touch.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <set>

#include "base/utf16.h"
#include "base/utf8.h"
#include "registry/hive/hive_registry.h"
#include "registry/value_forms.h"
#include "tests/cli/cli_runner.h"
#include "tests/support/blank_hive.h"
#include "tests/support/hive_structure.h"

namespace keyscour {
namespace {

namespace fs = std::filesystem;
using testing::CliRun;
using testing::RunCli;
using Bytes = std::vector<std::uint8_t>;

using Value = HiveValue;

Bytes Dword(std::uint32_t n) { return {static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8), 0, 0}; }

std::string Faults(const std::wstring& path) {
    const std::string read = testing::ReadFileBytes(path);
    std::string text;
    for (const auto& fault : testing::HiveStructureFaults(Bytes(read.begin(), read.end()))) text += fault + "\n";
    return text;
}

class RenameCli : public ::testing::Test {
protected:
    void Build(const std::wstring& name, const std::vector<Value>& values) {
        hive = folder.Path(name);
        ASSERT_TRUE(MakeHiveOf(ToUtf8(hive), values));
    }
    std::vector<std::wstring> UndoFiles() const {
        std::vector<std::wstring> files;
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(ToUtf8(folder.Path(L"undo")), error))
            files.push_back(FromUtf8(entry.path().string()));
        std::sort(files.begin(), files.end());
        return files;
    }
    CliRun Replace(std::vector<std::wstring> arguments) {
        arguments.insert(arguments.begin(), {L"replace", L"--hive", hive});
        for (const auto* more : {L"--yes", L"--format", L"jsonl", L"--undo-dir"}) arguments.push_back(more);
        arguments.push_back(folder.Path(L"undo"));
        return RunCli(arguments);
    }
    // The rows of a JSON Lines output of one kind, each "key|name|new".
    static std::set<std::string> Rows(const std::string& out, const std::string& kind) {
        std::set<std::string> rows;
        for (const auto& line : testing::Lines(out)) {
            const auto record = nlohmann::json::parse(line);
            if (record["kind"] != kind) continue;
            std::string row = record["key"].get<std::string>() + "|" +
                              (record["name"].is_null() ? std::string("(key)") : record["name"].get<std::string>());
            if (record.contains("new_name")) row += "|" + record["new_name"].get<std::string>();
            if (record.contains("new_key")) row += "|" + record["new_key"].get<std::string>();
            rows.insert(row);
        }
        return rows;
    }
    std::optional<std::pair<std::uint32_t, Bytes>> Read(const std::wstring& key, const std::wstring& name) {
        return ReadHiveValue(ToUtf8(hive), key, name);
    }
    testing::ScratchFolder folder;
    std::wstring hive;
};

// A program moved from C:\OldApp to C:\NewApp, as Windows keeps it: paths
// as value names (Installer\Folders, SharedDLLs, AppCompatFlags\Layers),
// as data, and its name in key names (its vendor key, App Paths).
const std::vector<Value> kSoftware{
    {L"Microsoft\\Windows\\CurrentVersion\\Installer\\Folders", L"C:\\OldApp\\", 1, StringData(L"")},
    {L"Microsoft\\Windows\\CurrentVersion\\Installer\\Folders", L"C:\\Other\\", 1, StringData(L"")},
    {L"Microsoft\\Windows\\CurrentVersion\\SharedDLLs", L"C:\\OldApp\\shared.dll", 4, Dword(2)},
    {L"Microsoft\\Windows NT\\CurrentVersion\\AppCompatFlags\\Layers", L"C:\\OLDAPP\\app.exe", 1,
     StringData(L"~ RUNASADMIN")},
    {L"Microsoft\\Windows\\CurrentVersion\\App Paths\\oldapp.exe", L"", 1, StringData(L"C:\\OldApp\\oldapp.exe")},
    {L"Microsoft\\Windows\\CurrentVersion\\App Paths\\oldapp.exe", L"Path", 2, StringData(L"C:\\OldApp")},
    {L"Vendor\\OldApp", L"Note", 1, StringData(L"kept as it is")},
    {L"Vendor\\OldApp\\OldApp inner", L"Deep", 1, StringData(L"C:\\OldApp\\deep")},
    {L"Vendor\\Unrelated", L"x", 3, {1, 2, 3}},
};

TEST_F(RenameCli, APathMoveRenamesDataNamesAndKeysInOneReplaceAndItsUndoGivesTheHiveBack) {
    Build(L"SOFTWARE", kSoftware);
    const std::string before = testing::HiveDump(ToUtf8(hive));
    // What the search lists with --in is what the replace touches.
    const CliRun listed = RunCli({L"search", L"--hive", hive, L"OldApp", L"--in", L"data,names,keys", L"--format",
                                  L"jsonl"});
    ASSERT_EQ(listed.exitCode, 0) << listed.err;
    const CliRun run = Replace({L"OldApp", L"--with", L"NewApp", L"--in", L"data,names,keys"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    std::set<std::string> touched = Rows(run.out, "change");
    for (const auto& row : Rows(run.out, "rename")) touched.insert(row.substr(0, row.rfind('|')));
    EXPECT_EQ(Rows(listed.out, "hit"), touched);
    const auto summary = nlohmann::json::parse(testing::Lines(run.out).back());
    EXPECT_EQ(summary["changed"], 3);
    EXPECT_EQ(summary["renamed_values"], 3);
    EXPECT_EQ(summary["renamed_keys"], 3);
    EXPECT_EQ(Faults(hive), "");

    // Nothing of the old path is left, and what moved holds what it held.
    const CliRun after = RunCli({L"search", L"--hive", hive, L"OldApp", L"--in", L"data,names,keys"});
    EXPECT_EQ(after.exitCode, 1) << after.out;
    const auto expect = [&](const std::wstring& key, const std::wstring& name, const Bytes& data) {
        const auto read = Read(key, name);
        ASSERT_TRUE(read) << ToUtf8(key + L"\\" + name);
        EXPECT_EQ(read->second, data) << ToUtf8(key + L"\\" + name);
    };
    expect(L"Microsoft\\Windows\\CurrentVersion\\SharedDLLs", L"C:\\NewApp\\shared.dll", Dword(2));
    expect(L"Microsoft\\Windows NT\\CurrentVersion\\AppCompatFlags\\Layers", L"C:\\NewApp\\app.exe",
           StringData(L"~ RUNASADMIN"));
    // The new text goes in as given, whatever the case of what it replaces.
    expect(L"Microsoft\\Windows\\CurrentVersion\\App Paths\\NewApp.exe", L"", StringData(L"C:\\NewApp\\NewApp.exe"));
    expect(L"Vendor\\NewApp\\NewApp inner", L"Deep", StringData(L"C:\\NewApp\\deep"));
    expect(L"Vendor\\NewApp", L"Note", StringData(L"kept as it is"));
    EXPECT_FALSE(Read(L"Vendor\\OldApp", L"Note"));

    const auto files = UndoFiles();
    ASSERT_EQ(files.size(), 1u);
    const std::string bytes = testing::ReadFileBytes(files[0]);
    const std::wstring script = DecodeUtf16Le(reinterpret_cast<const std::uint8_t*>(bytes.data()) + 2, bytes.size() - 2);
    EXPECT_NE(script.find(L";keyscour-cli renamed key \"HKEY_LOCAL_MACHINE\\\\SOFTWARE\\\\Vendor\" \"NewApp\" \"OldApp\""),
              std::wstring::npos)
        << ToUtf8(script);
    EXPECT_NE(script.find(L"[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\NewApp\\NewApp inner]"),
              std::wstring::npos)
        << "removed where it ends up, after both renames";
    const CliRun undo = RunCli({L"undo", L"--hive", hive, files[0]});
    ASSERT_EQ(undo.exitCode, 0) << undo.err;
    EXPECT_EQ(Faults(hive), "");
    EXPECT_EQ(testing::HiveDump(ToUtf8(hive)), before);
}

// The undo file alone, as reg import applies it (no rename back): every
// key and value as it was, though keys come back as new keys.
TEST_F(RenameCli, TheUndoFileAsAScriptAloneGivesBackEveryKeyAndValue) {
    Build(L"SOFTWARE", kSoftware);
    const CliRun run = Replace({L"OldApp", L"--with", L"NewApp", L"--in", L"data,names,keys"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto files = UndoFiles();
    ASSERT_EQ(files.size(), 1u);
    // The marks taken out, the closing line with them: a plain registry script.
    const std::string bytes = testing::ReadFileBytes(files[0]);
    std::wstring script = DecodeUtf16Le(reinterpret_cast<const std::uint8_t*>(bytes.data()) + 2, bytes.size() - 2);
    std::wstring plain;
    for (std::size_t at = 0; at < script.size();) {
        std::size_t end = script.find(L'\n', at);
        end = end == std::wstring::npos ? script.size() : end + 1;
        const std::wstring line = script.substr(at, end - at);
        if (line.rfind(L";", 0) != 0) plain += line;
        at = end;
    }
    const Bytes encoded = EncodeUtf16Le(L"\xFEFF" + plain);
    folder.Write(L"plain.reg", std::string(encoded.begin(), encoded.end()));
    const CliRun undo = RunCli({L"undo", L"--hive", hive, folder.Path(L"plain.reg"), L"--accept-unterminated"});
    ASSERT_EQ(undo.exitCode, 0) << undo.err;
    EXPECT_EQ(Faults(hive), "");
    for (const auto& value : kSoftware) {
        const auto read = Read(value.key, value.name);
        ASSERT_TRUE(read) << ToUtf8(value.key + L"\\" + value.name);
        EXPECT_EQ(read->first, value.type);
        EXPECT_EQ(read->second, value.data);
    }
    const CliRun left = RunCli({L"search", L"--hive", hive, L"NewApp", L"--in", L"data,names,keys"});
    EXPECT_EQ(left.exitCode, 1) << left.out;
}

// A Windows that boots with its drive letters swapped: MountedDevices holds
// each letter as a value name. C: to Z:, D: to C:, Z: to D:, then undone
// in reverse; the value order and data stay with each volume.
TEST_F(RenameCli, ADriveLetterSwapInThreeStepsAndItsUndoInReverse) {
    const Bytes first{0x11, 0x22, 0x33, 0x44, 0, 0, 0x10, 0, 0, 0, 0, 0};
    const Bytes second{0x55, 0x66, 0x77, 0x88, 0, 0, 0x20, 0, 0, 0, 0, 0};
    Build(L"SYSTEM", {{L"MountedDevices", L"\\DosDevices\\C:", 3, first},
                      {L"MountedDevices", L"\\DosDevices\\D:", 3, second},
                      {L"MountedDevices", L"\\??\\Volume{0b9d}", 3, first}});
    const std::string before = testing::HiveDump(ToUtf8(hive));
    const std::vector<std::pair<std::wstring, std::wstring>> steps{
        {L"\\DosDevices\\C:", L"\\DosDevices\\Z:"}, {L"\\DosDevices\\D:", L"\\DosDevices\\C:"},
        {L"\\DosDevices\\Z:", L"\\DosDevices\\D:"}};
    std::vector<std::wstring> files;  // in the order made
    for (const auto& [from, to] : steps) {
        const CliRun run = Replace({from, L"--with", to, L"--in", L"names", L"--whole"});
        ASSERT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(Faults(hive), "");
        for (const auto& file : UndoFiles())
            if (std::find(files.begin(), files.end(), file) == files.end()) files.push_back(file);
    }
    EXPECT_EQ(Read(L"MountedDevices", L"\\DosDevices\\C:")->second, second);
    EXPECT_EQ(Read(L"MountedDevices", L"\\DosDevices\\D:")->second, first);
    EXPECT_FALSE(Read(L"MountedDevices", L"\\DosDevices\\Z:"));
    // The swap in one pass is refused: C: would take the name D: still holds.
    const CliRun oneGo = Replace({L"\\DosDevices\\C:", L"--with", L"\\DosDevices\\D:", L"--in", L"names", L"--whole"});
    EXPECT_EQ(oneGo.exitCode, 2);

    ASSERT_EQ(files.size(), 3u);
    for (auto it = files.rbegin(); it != files.rend(); ++it) {
        const CliRun undo = RunCli({L"undo", L"--hive", hive, *it});
        ASSERT_EQ(undo.exitCode, 0) << undo.err;
    }
    EXPECT_EQ(testing::HiveDump(ToUtf8(hive)), before);
}

// A change of case alone, of a value and of a key.
TEST_F(RenameCli, ACaseOnlyRenameIsMadeAndUndone) {
    Build(L"NTUSER.DAT", {{L"Software\\alice", L"alice", 1, StringData(L"C:\\Users\\alice")},
                          {L"Software\\alice\\sub", L"x", 4, Dword(1)}});
    const std::string before = testing::HiveDump(ToUtf8(hive));
    const CliRun run = Replace({L"alice", L"--with", L"Alice", L"--in", L"data,names,keys"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(Faults(hive), "");
    HiveRegistry registry(ToUtf8(hive), false);
    KeyHandle key = 0;
    ASSERT_EQ(registry.OpenKey(HiveRegistry::kRoot, L"Software", key), 0u);
    wchar_t name[256];
    ASSERT_EQ(registry.EnumKey(key, 0, name, 256), 0u);
    EXPECT_EQ(std::wstring(name), L"Alice");
    registry.CloseKey(key);
    ASSERT_EQ(registry.OpenKey(HiveRegistry::kRoot, L"Software\\Alice", key), 0u);
    std::uint32_t nameChars = 256, type = 0, dataBytes = 256;
    std::uint8_t data[256];
    ASSERT_EQ(registry.EnumValue(key, 0, name, nameChars, type, data, dataBytes), 0u);
    EXPECT_EQ(std::wstring(name), L"Alice");
    EXPECT_EQ(StringOf(Bytes(data, data + dataBytes)), L"C:\\Users\\Alice");
    registry.CloseKey(key);
    const auto files = UndoFiles();
    ASSERT_EQ(files.size(), 1u);
    const CliRun undo = RunCli({L"undo", L"--hive", hive, files[0]});
    ASSERT_EQ(undo.exitCode, 0) << undo.err;
    EXPECT_EQ(testing::HiveDump(ToUtf8(hive)), before);
}

// Each refusal, said with the item it concerns, exit 2, nothing written
// and no undo file; --dry-run says the same.
TEST_F(RenameCli, EveryRefusalIsSaidBeforeAnythingIsWritten) {
    Build(L"SOFTWARE", {{L"Values", L"keep-old", 1, StringData(L"x")},
                        {L"Values", L"keep-new", 1, StringData(L"y")},
                        {L"Twins", L"a-old", 1, StringData(L"")},
                        {L"Twins", L"A-OLD-", 1, StringData(L"")},
                        {L"Twins", L"b-OLD", 1, StringData(L"")},
                        {L"Keys\\old", L"", HiveValue::kKeyOnly, {}},
                        {L"Keys\\new", L"", HiveValue::kKeyOnly, {}}});
    const std::string before = testing::ReadFileBytes(hive);
    struct Case {
        std::vector<std::wstring> arguments;
        std::string said;
    };
    const std::vector<Case> cases{
        {{L"old", L"--with", L"new", L"--in", L"names", L"--key", L"Values"}, "already holds a value named \"keep-new\""},
        {{L"(-old-?)", L"--regex", L"--with", L"-new", L"--in", L"names", L"--key", L"Twins"}, "would both be named"},
        {{L"old", L"--with", L"new", L"--in", L"keys", L"--key", L"Keys"}, "already holds a key named \"new\""},
        {{L"old", L"--whole", L"--with", L"", L"--in", L"keys", L"--key", L"Keys"}, "would be empty"},
        {{L"old", L"--with", L"a\\b", L"--in", L"keys", L"--key", L"Keys"}, "would hold a backslash"},
        {{L"old", L"--with", std::wstring(300, L'k'), L"--in", L"keys", L"--key", L"Keys"}, "longer than 255"},
        {{L"keep-old", L"--whole", L"--with", L"", L"--in", L"names", L"--key", L"Values"}, "would be empty"},
        {{L"keep-old", L"--with", std::wstring(16384, L'v'), L"--in", L"names", L"--key", L"Values"},
         "longer than 16383"},
        {{L"old", L"--with", L"a\nb", L"--in", L"names", L"--key", L"Values"}, "line break"},
    };
    for (const auto& [arguments, said] : cases) {
        for (const bool dry : {false, true}) {
            std::vector<std::wstring> run = arguments;
            if (dry) run.push_back(L"--dry-run");
            const CliRun result = Replace(run);
            EXPECT_EQ(result.exitCode, 2) << said << result.err;
            EXPECT_NE(result.err.find(said), std::string::npos) << result.err;
            EXPECT_NE(result.err.find("refused: HKEY_LOCAL_MACHINE\\SOFTWARE\\"), std::string::npos) << result.err;
        }
    }
    EXPECT_EQ(testing::ReadFileBytes(hive), before);
    EXPECT_TRUE(UndoFiles().empty());
    // --in takes the place of --names and --keys-only.
    EXPECT_EQ(RunCli({L"search", L"--hive", hive, L"old", L"--in", L"names", L"--names"}).exitCode, 2);
    EXPECT_EQ(RunCli({L"search", L"--hive", hive, L"old", L"--in", L"keys", L"--keys-only"}).exitCode, 2);
    EXPECT_EQ(RunCli({L"search", L"--hive", hive, L"old", L"--in", L"values"}).exitCode, 2);
}

// A key whose subtree holds a link cannot be written back by a script:
// the rename is refused; the link key itself is never renamed.
TEST_F(RenameCli, AKeyHoldingALinkIsNotRenamed) {
    Build(L"SYSTEM", {{L"OldSet\\Inner", L"x", 1, StringData(L"y")}, {L"OldLink", L"", HiveValue::kKeyOnly, {}}});
    // Flag 0x0010 of Inner's and OldLink's key nodes: links, as CurrentControlSet is.
    std::string bytes = testing::ReadFileBytes(hive);
    for (const char* name : {"Inner", "OldLink"}) {
        const std::size_t named = bytes.find(name);
        ASSERT_NE(named, std::string::npos);
        bytes[named - 0x4C + 2] = static_cast<char>(bytes[named - 0x4C + 2] | 0x10);
    }
    folder.Write(L"SYSTEM", bytes);
    const CliRun run = Replace({L"Old", L"--with", L"New", L"--in", L"keys"});
    EXPECT_EQ(run.exitCode, 2) << run.err;
    EXPECT_NE(run.err.find("SYSTEM\\OldSet\\Inner below it is a link"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("SYSTEM\\OldLink: it is a link"), std::string::npos) << run.err;
    EXPECT_EQ(testing::ReadFileBytes(hive), bytes);
}

// An undo whose renamed key was renamed again since, or whose old name
// was taken, refuses, and leaves the hive as it found it.
TEST_F(RenameCli, AnUndoThatCannotRenameBackRefusesAndChangesNothing) {
    Build(L"SOFTWARE", {{L"Vendor\\OldCo", L"v", 1, StringData(L"OldCo data")}});
    ASSERT_EQ(Replace({L"OldCo", L"--with", L"NewCo", L"--in", L"data,keys"}).exitCode, 0);
    const auto files = UndoFiles();
    ASSERT_EQ(files.size(), 1u);
    {
        HiveRegistry registry(ToUtf8(hive), true);
        KeyHandle key = 0;
        ASSERT_EQ(registry.CreateKey(HiveRegistry::kRoot, L"Vendor\\OldCo", key), 0u);
        registry.CloseKey(key);
        ASSERT_TRUE(registry.Commit());
    }
    const std::string before = testing::ReadFileBytes(hive);
    const CliRun undo = RunCli({L"undo", L"--hive", hive, files[0]});
    EXPECT_EQ(undo.exitCode, 2);
    EXPECT_NE(undo.err.find("back to \"OldCo\" (that name is taken)"), std::string::npos) << undo.err;
    EXPECT_EQ(testing::ReadFileBytes(hive), before);
}

}  // namespace
}  // namespace keyscour
