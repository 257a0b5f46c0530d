// keyscour-cli over hive files the tests make: search, replace read back
// with Debian's hivex tools, undo, the commit that never leaves a half-
// written hive, and input that is not a sound hive.

#include <gtest/gtest.h>

#include <hivex.h>

#include <nlohmann/json.hpp>

#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "base/unicode_case.h"
#include "base/utf16.h"
#include "base/utf8.h"
#include "tests/cli/cli_runner.h"
#include "tests/support/blank_hive.h"
#include "registry/hive/hive_registry.h"
#include "registry/value_forms.h"

namespace keyscour {
namespace {

namespace fs = std::filesystem;
using testing::CliRun;
using testing::RunCli;
using Bytes = std::vector<std::uint8_t>;

std::string ReadBytes(const std::string& path) { return testing::ReadFileBytes(FromUtf8(path)); }

// A host program's standard output, for the hivex tools.
std::string Output(const std::string& command) {
    std::string out;
    if (std::FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        for (std::size_t read; (read = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, read);
        pclose(pipe);
    }
    return out;
}

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

using Value = HiveValue;

const std::vector<Value> kValues{
    {L"Fabrikam\\App", L"Path", 1, StringData(L"C:\\Program Files\\Fabrikam\\app.exe")},
    {L"Fabrikam\\App", L"Exp", 2, StringData(L"%ProgramFiles%\\Fabrikam")},
    {L"Fabrikam\\App", L"List", 7, {'F', 0, 'a', 0, 'b', 0, 0, 0, 'x', 0, 0, 0, 0, 0}},
    {L"Fabrikam\\App", L"Count", 4, {26, 0, 0, 0}},
    {L"Fabrikam\\App", L"Raw", 3, {0xFA, 0xB0}},
    {L"Fabrikam\\App", L"", 1, StringData(L"default fabrikam")},
    {L"Fabrikam\\App\\Deep", L"Note", 1, StringData(L"Fabrikam \u00FCber alles")},
    {L"Other", L"Fab", 1, StringData(L"no match in data")},
};

class HiveCliTest : public ::testing::Test {
protected:
    HiveCliTest() {
        hive = folder.Path(L"SOFTWARE");
        EXPECT_TRUE(MakeHiveOf(ToUtf8(hive), kValues));
    }
    // The value as the hive holds it, read afresh.
    std::optional<std::pair<std::uint32_t, Bytes>> Read(const std::wstring& key, const std::wstring& name) {
        return ReadHiveValue(ToUtf8(hive), key, name);
    }
    std::vector<std::wstring> UndoFiles() const {
        std::vector<std::wstring> files;
        for (const auto& file : folder.Files())
            if (file.find(L"/undo/") != std::wstring::npos) files.push_back(file);
        return files;
    }
    testing::ScratchFolder folder;
    std::wstring hive;
};

TEST_F(HiveCliTest, SearchNamesRowsByTheMount) {
    const CliRun run = RunCli({L"search", L"--hive", hive, L"fab", L"--format", L"csv", L"--quiet"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto lines = testing::Lines(run.out);
    EXPECT_EQ(lines[0], "root,key,name,type,data,matched,user,written,view");
    EXPECT_NE(run.out.find("HKEY_LOCAL_MACHINE,SOFTWARE\\Fabrikam\\App,Path,REG_SZ,C:\\Program Files\\Fabrikam\\app.exe,data,"),
              std::string::npos) << run.out;
    EXPECT_EQ(run.out.find(",Raw,"), std::string::npos) << "fa b0 holds no fab";
    const CliRun below = RunCli({L"search", L"--hive", hive + L"=HKLM\\SOFTWARE\\Wow", L"--key", L"Fabrikam\\App\\Deep",
                                 L"fabrikam", L"--format", L"csv", L"--quiet"});
    ASSERT_EQ(testing::Lines(below.out).size(), 2u) << below.out;
    EXPECT_TRUE(testing::Lines(below.out)[1].starts_with("HKEY_LOCAL_MACHINE,SOFTWARE\\Wow\\Fabrikam\\App\\Deep,Note,"));
}

TEST_F(HiveCliTest, ReplaceReadBackWithHivexAndUndoneExactly) {
    const std::string before = ReadBytes(ToUtf8(hive));
    const CliRun run = RunCli({L"replace", L"--hive", hive, L"fabrikam", L"--with", L"Contoso", L"--yes",
                               L"--undo-dir", folder.Path(L"undo")});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(Output("hivexget " + Quoted(ToUtf8(hive)) + " '\\Fabrikam\\App' Path"), "C:\\Program Files\\Contoso\\app.exe\n");
    EXPECT_EQ(Output("hivexget " + Quoted(ToUtf8(hive)) + " '\\Fabrikam\\App\\Deep' Note"), "Contoso \xC3\xBC" "ber alles\n");
    const std::string exported = Output("hivexregedit --export " + Quoted(ToUtf8(hive)) + " '\\' 2>&1");
    EXPECT_NE(exported.find("[\\Fabrikam\\App]"), std::string::npos) << exported;
    EXPECT_EQ(Read(L"Fabrikam\\App", L"Exp")->first, 2u) << "the type kept";
    EXPECT_EQ(Read(L"Fabrikam\\App", L"Count")->second, (Bytes{26, 0, 0, 0}));
    EXPECT_FALSE(fs::exists(ToUtf8(hive) + ".keyscour-new"));

    const auto files = UndoFiles();
    ASSERT_EQ(files.size(), 1u);
    const std::string script = ReadBytes(ToUtf8(files[0]));
    EXPECT_NE(DecodeUtf16Le(reinterpret_cast<const std::uint8_t*>(script.data()) + 2, script.size() - 2)
                  .find(L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Fabrikam\\App]"),
              std::wstring::npos)
        << "named where the hive is mounted";
    // --wait is an undo's option too: it takes the lock as a replace does.
    const CliRun undo = RunCli({L"undo", L"--hive", hive, files[0], L"--wait", L"1"});
    ASSERT_EQ(undo.exitCode, 0) << undo.err;
    for (const auto& value : kValues) {
        const auto read = Read(value.key, value.name);
        ASSERT_TRUE(read) << ToUtf8(value.name);
        EXPECT_EQ(read->first, value.type) << ToUtf8(value.name);
        EXPECT_EQ(read->second, value.data) << ToUtf8(value.name);
    }
    (void)before;
}

TEST_F(HiveCliTest, UndoRefusesKeysOutsideTheMountBeforeChangingAnything) {
    folder.Write(L"foreign.reg", "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Fabrikam\\App]\r\n"
                                 "\"Path\"=\"changed\"\r\n\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\Elsewhere]\r\n\"x\"=\"y\"\r\n");
    const std::string before = ReadBytes(ToUtf8(hive));
    const CliRun run = RunCli({L"undo", L"--hive", hive, folder.Path(L"foreign.reg"), L"--accept-unterminated"});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find("SYSTEM\\Elsewhere"), std::string::npos) << run.err;
    EXPECT_EQ(ReadBytes(ToUtf8(hive)), before);
}

// HKEY_CLASSES_ROOT writes go where Windows sends them: the user's
// classes where the key is there, else the machine's; a Windows 3.1
// script names nothing else.
TEST_F(HiveCliTest, ClassesRootKeysGoToTheUsersClassesWhereTheyAreThereElseTheMachines) {
    const std::string classes = ToUtf8(folder.Path(L"UsrClass.dat"));
    WriteFileBytes(classes, BlankHive());
    {
        HiveRegistry registry(classes, true);
        KeyHandle key = 0;
        ASSERT_EQ(registry.CreateKey(HiveRegistry::kRoot, L".user", key), 0u);
        registry.CloseKey(key);
        registry.Commit();
    }
    folder.Write(L"win31.reg", "REGEDIT\r\nHKEY_CLASSES_ROOT\\.user = mine\r\nHKEY_CLASSES_ROOT\\.machine = ours\r\n");
    const CliRun run = RunCli({L"undo", L"--hive", hive, L"--hive", FromUtf8(classes), folder.Path(L"win31.reg"),
                               L"--accept-unterminated"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(Read(L"Classes\\.machine", L"")->second, StringData(L"ours"));
    EXPECT_FALSE(Read(L"Classes\\.user", L""));
    HiveRegistry user(classes, false);
    KeyHandle key = 0;
    ASSERT_EQ(user.OpenKey(HiveRegistry::kRoot, L".user", key), 0u);
    std::uint32_t type = 0;
    Bytes data;
    EXPECT_EQ(user.QueryValue(key, L"", type, data), 0u);
    EXPECT_EQ(data, StringData(L"mine"));
    user.CloseKey(key);
    EXPECT_EQ(user.OpenKey(HiveRegistry::kRoot, L".machine", key), status::kNotFound);
}

// The key record of a key as the hive holds it, read afresh: hivex's
// handle is the cell's offset in the file, its fields after the size.
struct KeyRecord {
    std::uint64_t written = 0;
    std::uint32_t longestValueName = 0;  // bytes
    std::uint32_t largestValueData = 0;
};
KeyRecord RecordOf(const std::wstring& hivePath, const std::string& key) {
    KeyRecord record;
    hive_h* h = hivex_open(ToUtf8(hivePath).c_str(), 0);
    EXPECT_NE(h, nullptr);
    if (!h) return record;
    hive_node_h node = hivex_root(h);
    for (std::size_t at = 0; node && at <= key.size();) {
        const std::size_t slash = std::min(key.find('\\', at), key.size());
        node = hivex_node_get_child(h, node, key.substr(at, slash - at).c_str());
        at = slash + 1;
    }
    hivex_close(h);
    const std::string bytes = ReadBytes(ToUtf8(hivePath));
    const auto get32 = [&](std::size_t at) {
        return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at]) | static_cast<unsigned char>(bytes[at + 1]) << 8 |
                                          static_cast<unsigned char>(bytes[at + 2]) << 16 |
                                          static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 3])) << 24);
    };
    EXPECT_NE(node, 0u) << key;
    if (!node) return record;
    record.written = get32(node + 8) | static_cast<std::uint64_t>(get32(node + 12)) << 32;
    record.longestValueName = get32(node + 4 + 60);
    record.largestValueData = get32(node + 4 + 64);
    return record;
}

// What RegQueryInfoKey gives as buffer sizes must hold every value after a
// replace, and the key's last-write time must move.
TEST_F(HiveCliTest, AReplaceKeepsTheKeysLimitsAboveItsValuesAndMovesItsLastWriteTime) {
    const KeyRecord before = RecordOf(hive, "Fabrikam\\App"), other = RecordOf(hive, "Other");
    const std::wstring longer(400, L'x');
    const CliRun run = RunCli({L"replace", L"--hive", hive, L"Fabrikam", L"--with", longer, L"--yes", L"--undo-dir",
                               folder.Path(L"undo")});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const KeyRecord after = RecordOf(hive, "Fabrikam\\App");
    std::uint32_t largest = 0, longest = 0;
    for (const wchar_t* name : {L"Path", L"Exp", L"List", L"Count", L"Raw", L""}) {
        const auto value = Read(L"Fabrikam\\App", name);
        ASSERT_TRUE(value);
        largest = std::max(largest, static_cast<std::uint32_t>(value->second.size()));
        longest = std::max(longest, static_cast<std::uint32_t>(std::wcslen(name) * 2));
    }
    EXPECT_GT(largest, 800u);
    EXPECT_GE(after.largestValueData, largest);
    EXPECT_GE(after.longestValueName, longest);
    EXPECT_GT(after.written, before.written) << "the key was written";
    EXPECT_EQ(RecordOf(hive, "Other").written, other.written) << "a key with no change keeps its time";
}

// An undo of created keys sets what it keeps and then removes the key: a
// value changed and its key removed after it.
TEST_F(HiveCliTest, AnUndoThatChangesAValueAndThenRemovesItsKeyIsApplied) {
    folder.Write(L"created.reg", "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Fabrikam\\App\\Deep]\r\n"
                                 "\"Note\"=\"changed\"\r\n\r\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Fabrikam\\App\\Deep]\r\n");
    const CliRun run = RunCli({L"undo", L"--hive", hive, folder.Path(L"created.reg"), L"--accept-unterminated"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    HiveRegistry reread(ToUtf8(hive), false);
    KeyHandle key = 0;
    EXPECT_EQ(reread.OpenKey(HiveRegistry::kRoot, L"Fabrikam\\App\\Deep", key), status::kNotFound);
    EXPECT_TRUE(Read(L"Fabrikam\\App", L"Path"));
}

// A key removed and made again in one script: what was looked up of the
// old one is forgotten, and the new one holds only its own values.
TEST_F(HiveCliTest, AKeyRemovedAndMadeAgainInOneUndoHoldsOnlyItsNewValues) {
    folder.Write(L"again.reg", "Windows Registry Editor Version 5.00\r\n\r\n"
                               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Fabrikam\\App\\Deep]\r\n\"Note\"=\"first\"\r\n\r\n"
                               "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Fabrikam\\App]\r\n\r\n"
                               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Fabrikam\\App\\Deep]\r\n\"New\"=\"second\"\r\n");
    const CliRun run = RunCli({L"undo", L"--hive", hive, folder.Path(L"again.reg"), L"--accept-unterminated"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_FALSE(Read(L"Fabrikam\\App\\Deep", L"Note"));
    EXPECT_FALSE(Read(L"Fabrikam\\App", L"Path"));
    ASSERT_TRUE(Read(L"Fabrikam\\App\\Deep", L"New"));
    EXPECT_EQ(Read(L"Fabrikam\\App\\Deep", L"New")->second, StringData(L"second"));
    const std::string check = Output("hivexregedit --export " + Quoted(ToUtf8(hive)) + " '\\' 2>&1");
    EXPECT_NE(check.find("\"New\"=hex(1)"), std::string::npos) << check;
}

// A key below a name that only starts as the mount's does is not below
// the mount: HKLM\SOFTWARE_Backup is no key of the SOFTWARE hive.
TEST_F(HiveCliTest, AKeyWhoseNameOnlyBeginsAsTheMountIsRefused) {
    folder.Write(L"backup.reg", "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE_Backup\\App]\r\n"
                                "\"v\"=\"1\"\r\n");
    const std::string before = ReadBytes(ToUtf8(hive));
    const CliRun run = RunCli({L"undo", L"--hive", hive, folder.Path(L"backup.reg"), L"--accept-unterminated"});
    EXPECT_EQ(run.exitCode, 2) << run.err;
    EXPECT_NE(run.err.find("SOFTWARE_Backup"), std::string::npos) << run.err;
    EXPECT_EQ(ReadBytes(ToUtf8(hive)), before);
}

// NTUSER.DAT at HKCU and UsrClass.dat at HKCU\Software\Classes: a class
// key goes into the inner hive, the deepest mount above it.
TEST_F(HiveCliTest, AnUndoOverAUsersTwoHivesPutsClassKeysInTheInnerOne) {
    const std::string user = ToUtf8(folder.Path(L"NTUSER.DAT")), classes = ToUtf8(folder.Path(L"UsrClass.dat"));
    WriteFileBytes(user, BlankHive());
    WriteFileBytes(classes, BlankHive());
    folder.Write(L"user.reg", "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\Classes\\.x]\r\n"
                              "@=\"class\"\r\n\r\n[HKEY_CURRENT_USER\\Software\\App]\r\n\"v\"=\"user\"\r\n");
    const CliRun run = RunCli({L"undo", L"--hive", FromUtf8(user), L"--hive", FromUtf8(classes), folder.Path(L"user.reg"),
                               L"--accept-unterminated"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    HiveRegistry inner(classes, false), outer(user, false);
    KeyHandle key = 0;
    EXPECT_EQ(inner.OpenKey(HiveRegistry::kRoot, L".x", key), 0u);
    EXPECT_EQ(outer.OpenKey(HiveRegistry::kRoot, L"Software\\Classes", key), status::kNotFound);
    EXPECT_EQ(outer.OpenKey(HiveRegistry::kRoot, L"Software\\App", key), 0u);
}

// Text stored without its terminator comes back exactly from an undo file
// of Keyscour's own, where Windows' reading would add one.
TEST_F(HiveCliTest, AnUndoFileOfOurOwnRestoresUnterminatedTextByteForByte) {
    const Bytes bare = EncodeUtf16Le(L"%Fabrikam%");
    {
        HiveRegistry registry(ToUtf8(hive), true);
        KeyHandle key = 0;
        ASSERT_EQ(registry.CreateKey(HiveRegistry::kRoot, L"Bare", key), 0u);
        registry.SetValue(key, L"Exp", 2, bare.data(), static_cast<std::uint32_t>(bare.size()));
        registry.CloseKey(key);
        registry.Commit();
    }
    const CliRun run = RunCli({L"replace", L"--hive", hive, L"Fabrikam", L"--with", L"Contoso", L"--key", L"Bare",
                               L"--yes", L"--undo-dir", folder.Path(L"undo")});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    ASSERT_NE(Read(L"Bare", L"Exp")->second, bare);
    ASSERT_EQ(UndoFiles().size(), 1u);
    const CliRun undo = RunCli({L"undo", L"--hive", hive, UndoFiles()[0]});
    ASSERT_EQ(undo.exitCode, 0) << undo.err;
    EXPECT_EQ(Read(L"Bare", L"Exp")->second, bare) << "no terminator added";
}

TEST_F(HiveCliTest, AFailingCommitLeavesTheHiveAsItWas) {
    const std::string before = ReadBytes(ToUtf8(hive));
    {
        HiveRegistry registry(ToUtf8(hive), true, [](hive_h*, const char* path) {
            std::FILE* half = std::fopen(path, "wb");  // as a full disk would leave it
            std::fputs("regf", half);
            std::fclose(half);
            errno = ENOSPC;
            return -1;
        });
        KeyHandle key = 0;
        // A new key: hivex writes the new file first.
        ASSERT_EQ(registry.CreateKey(HiveRegistry::kRoot, L"Fabrikam\\App\\New", key), 0u);
        const Bytes data = StringData(L"new");
        registry.SetValue(key, L"Path", 1, data.data(), static_cast<std::uint32_t>(data.size()));
        registry.CloseKey(key);
        EXPECT_THROW(registry.Commit(), HiveError);
    }
    EXPECT_EQ(ReadBytes(ToUtf8(hive)), before);
    for (const auto& entry : fs::directory_iterator(fs::path(ToUtf8(hive)).parent_path()))
        EXPECT_EQ(entry.path().filename().string().find(".keyscour-new"), std::string::npos)
            << "the half-written file is gone: " << entry.path();
}

TEST_F(HiveCliTest, AReplaceThatCouldNotBeCommittedIsRefusedBeforeTheUndoFile) {
    // Read-only for its owner: no commit may replace it, root's neither.
    fs::permissions(ToUtf8(hive), fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    const std::string before = ReadBytes(ToUtf8(hive));
    const CliRun run = RunCli({L"replace", L"--hive", hive, L"fabrikam", L"--with", L"x", L"--yes", L"--undo-dir",
                               folder.Path(L"undo")});
    EXPECT_EQ(run.exitCode, 2) << run.err;
    EXPECT_NE(run.err.find("nothing was replaced"), std::string::npos) << run.err;
    EXPECT_TRUE(UndoFiles().empty());
    EXPECT_EQ(ReadBytes(ToUtf8(hive)), before);
}

TEST_F(HiveCliTest, FilesThatAreNotSoundHivesAreRefusedWithNothingWritten) {
    const std::string good = ReadBytes(ToUtf8(hive));
    std::string badSum = good;
    badSum[0x1FC] = static_cast<char>(badSum[0x1FC] ^ 0x5A);
    const std::vector<std::pair<std::wstring, std::string>> files{
        {L"text", "Windows Registry Editor Version 5.00\r\n"},
        {L"truncated", good.substr(0, 3000)},
        {L"checksum", badSum},
        {L"empty", ""},
    };
    for (const auto& [name, bytes] : files) folder.Write(name, bytes);
    fs::create_directory(ToUtf8(folder.Path(L"folder")));
    for (const wchar_t* name : {L"text", L"truncated", L"checksum", L"empty", L"folder", L"missing"}) {
        const std::wstring path = folder.Path(name) + L"=HKLM\\SOFTWARE";
        const CliRun run = RunCli({L"replace", L"--hive", path, L"fab", L"--with", L"x", L"--yes", L"--undo-dir",
                                   folder.Path(L"undo")});
        EXPECT_EQ(run.exitCode, 2) << ToUtf8(name) << ": " << run.err;
        EXPECT_EQ(testing::Lines(run.err).size(), 1u) << run.err;
        EXPECT_NE(run.err.find(ToUtf8(name)), std::string::npos) << "names the file: " << run.err;
    }
    EXPECT_TRUE(UndoFiles().empty());
    EXPECT_EQ(ReadBytes(ToUtf8(folder.Path(L"checksum"))), badSum);
}

TEST_F(HiveCliTest, DamagedCellsAreSkippedSaidAndEndIn3) {
    // The Deep key's cell loses its signature.
    hive_h* h = hivex_open(ToUtf8(hive).c_str(), 0);
    ASSERT_TRUE(h);
    const hive_node_h app = hivex_node_get_child(h, hivex_node_get_child(h, hivex_root(h), "Fabrikam"), "App");
    const hive_node_h deep = hivex_node_get_child(h, app, "Deep");
    hivex_close(h);
    std::string bytes = ReadBytes(ToUtf8(hive));
    ASSERT_EQ(bytes.substr(deep + 4, 2), "nk");
    bytes[deep + 4] = 'x';
    folder.Write(L"SOFTWARE", bytes);

    const CliRun run = RunCli({L"search", L"--hive", hive, L"fabrikam", L"--format", L"csv", L"--quiet"});
    EXPECT_EQ(run.exitCode, 3) << run.err;
    EXPECT_NE(run.err.find("damaged"), std::string::npos) << run.err;
    EXPECT_NE(run.out.find("Fabrikam\\App,Path"), std::string::npos) << "what can be read is searched";
    const CliRun replace = RunCli({L"replace", L"--hive", hive, L"fabrikam", L"--with", L"x", L"--yes", L"--undo-dir",
                                   folder.Path(L"undo")});
    EXPECT_EQ(replace.exitCode, 3);
    EXPECT_NE(replace.err.find("damaged: "), std::string::npos) << "a replace says what it could not read: " << replace.err;
    EXPECT_EQ(ReadBytes(ToUtf8(hive)), bytes) << "a damaged hive is not written";
    EXPECT_TRUE(UndoFiles().empty());
}

TEST_F(HiveCliTest, MountsByFileNameAndRefusedCombinations) {
    const fs::path other = ToUtf8(folder.Path(L"custom.hiv"));
    fs::copy_file(ToUtf8(hive), other);
    const CliRun unnamed = RunCli({L"search", L"--hive", other.wstring(), L"x"});
    EXPECT_EQ(unnamed.exitCode, 2);
    EXPECT_NE(unnamed.err.find("MOUNT"), std::string::npos);
    const CliRun withRoot = RunCli({L"search", L"--hive", hive, L"--root", L"HKLM", L"x"});
    EXPECT_EQ(withRoot.exitCode, 2);
    EXPECT_NE(withRoot.err.find("--root"), std::string::npos);
    fs::copy_file(ToUtf8(hive), ToUtf8(folder.Path(L"NTUSER.DAT")));
    const CliRun user = RunCli({L"search", L"--hive", folder.Path(L"NTUSER.DAT"), L"--hive", hive, L"^(contoso|app)$",
                                L"--regex", L"--keys-only", L"--format", L"csv", L"--quiet"});
    EXPECT_EQ(user.exitCode, 0) << user.err;
    bool recent = false;
    EXPECT_EQ(testing::MaskedTimes(user.out, &recent),
              "root,key,name,type,data,matched,user,written,view\r\nHKEY_CURRENT_USER,Fabrikam\\App,,,,key,,TIME,\r\n"
              "HKEY_LOCAL_MACHINE,SOFTWARE\\Fabrikam\\App,,,,key,,TIME,\r\n");
    EXPECT_TRUE(recent) << "the keys' times, as the test wrote them: " << user.out;
}

// The records of a JSON Lines run, by kind.
std::vector<nlohmann::json> RecordsOfKind(const std::string& out, const std::string& kind) {
    std::vector<nlohmann::json> records;
    for (const auto& line : testing::Lines(out)) {
        const auto record = nlohmann::json::parse(line, nullptr, false);
        if (!record.is_discarded() && record.value("kind", "") == kind) records.push_back(record);
    }
    return records;
}

TEST_F(HiveCliTest, AReplaceThatCannotKeepItsUndoFileOrFindsNothingChangesNothing) {
    const std::string before = ReadBytes(ToUtf8(hive));
    folder.Write(L"not-a-folder", "a file where the undo folder would go");
    const CliRun unkept = RunCli({L"replace", L"--hive", hive, L"fabrikam", L"--with", L"Contoso", L"--yes",
                                  L"--format", L"jsonl", L"--undo-dir", folder.Path(L"not-a-folder/undo")});
    EXPECT_EQ(unkept.exitCode, 3) << unkept.err;
    EXPECT_TRUE(RecordsOfKind(unkept.out, "change").empty()) << unkept.out;
    ASSERT_FALSE(RecordsOfKind(unkept.out, "summary").empty()) << unkept.out;
    EXPECT_EQ(RecordsOfKind(unkept.out, "summary")[0]["changed"], 0);
    EXPECT_EQ(ReadBytes(ToUtf8(hive)), before);
    EXPECT_TRUE(UndoFiles().empty());

    const CliRun nothing = RunCli({L"replace", L"--hive", hive, L"no such text anywhere", L"--with", L"x", L"--yes",
                                   L"--undo-dir", folder.Path(L"undo")});
    EXPECT_EQ(nothing.exitCode, 1) << nothing.err;
    EXPECT_EQ(ReadBytes(ToUtf8(hive)), before);
    EXPECT_TRUE(UndoFiles().empty());
}

TEST_F(HiveCliTest, WholeValueOverANumberHitWritesAString) {
    const CliRun run = RunCli({L"replace", L"--hive", hive, L"26", L"--whole", L"--whole-value", L"--with", L"thirty",
                               L"--yes", L"--format", L"jsonl", L"--undo-dir", folder.Path(L"undo")});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto changes = RecordsOfKind(run.out, "change");
    ASSERT_EQ(changes.size(), 1u) << run.out;
    EXPECT_EQ(changes[0]["type"], "REG_DWORD");
    EXPECT_EQ(changes[0]["new_type"], "REG_SZ");
    EXPECT_EQ(changes[0]["new"], "thirty");
    const auto read = Read(L"Fabrikam\\App", L"Count");
    ASSERT_TRUE(read);
    EXPECT_EQ(read->first, 1u);
    EXPECT_EQ(read->second, StringData(L"thirty"));
    ASSERT_EQ(UndoFiles().size(), 1u);
    ASSERT_EQ(RunCli({L"undo", L"--hive", hive, UndoFiles()[0]}).exitCode, 0);
    EXPECT_EQ(Read(L"Fabrikam\\App", L"Count"), std::make_pair(4u, Bytes{26, 0, 0, 0}));
}

TEST_F(HiveCliTest, AnUndoThatOnlyRemovesIsCommitted) {
    folder.Write(L"removals.reg", "Windows Registry Editor Version 5.00\r\n\r\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\r\n"
                                  "\r\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Never\\There]\r\n"
                                  "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Fabrikam\\App]\r\n\"Raw\"=-\r\n@=-\r\n");
    const CliRun run =
        RunCli({L"undo", L"--hive", hive, folder.Path(L"removals.reg"), L"--accept-unterminated"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    HiveRegistry reread(ToUtf8(hive), false);
    KeyHandle key = 0;
    EXPECT_EQ(reread.OpenKey(HiveRegistry::kRoot, L"Other", key), status::kNotFound);
    EXPECT_FALSE(Read(L"Fabrikam\\App", L"Raw"));
    EXPECT_FALSE(Read(L"Fabrikam\\App", L""));
    EXPECT_EQ(Read(L"Fabrikam\\App", L"Path")->second, kValues[0].data) << "what the script does not name stays";
}

TEST_F(HiveCliTest, ValuesWhoseKeyAndNameRunTogetherAlikeAreBothKeptAndRestored) {
    {
        HiveRegistry registry(ToUtf8(hive), true);
        for (const auto& [key, name] : {std::pair{L"Run\\A", L"BPath"}, std::pair{L"Run\\AB", L"Path"}}) {
            KeyHandle opened = 0;
            ASSERT_EQ(registry.CreateKey(HiveRegistry::kRoot, key, opened), 0u);
            const Bytes data = StringData(std::wstring(L"fabrikam in ") + key);
            registry.SetValue(opened, name, 1, data.data(), static_cast<std::uint32_t>(data.size()));
            registry.CloseKey(opened);
        }
        registry.Commit();
    }
    const CliRun run = RunCli({L"replace", L"--hive", hive, L"--key", L"Run", L"fabrikam", L"--with", L"contoso",
                               L"--yes", L"--undo-dir", folder.Path(L"undo")});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(Read(L"Run\\A", L"BPath")->second, StringData(L"contoso in Run\\A"));
    EXPECT_EQ(Read(L"Run\\AB", L"Path")->second, StringData(L"contoso in Run\\AB"));
    ASSERT_EQ(UndoFiles().size(), 1u);
    ASSERT_EQ(RunCli({L"undo", L"--hive", hive, UndoFiles()[0]}).exitCode, 0);
    EXPECT_EQ(Read(L"Run\\A", L"BPath")->second, StringData(L"fabrikam in Run\\A"));
    EXPECT_EQ(Read(L"Run\\AB", L"Path")->second, StringData(L"fabrikam in Run\\AB"));
}

// hivex adds a sub key where its own comparison puts it, which is not the
// order of the names upper-cased once characters beyond ASCII come in.
TEST_F(HiveCliTest, KeysInHivexsOrderAreEachFoundByPathReplacedAndRestored) {
    const std::vector<std::wstring> names{L"\u00B5Torrent", L"Zeta", L"\u00C0pp", L"alpha", L"\u00E9t\u00E9",
                                          L"Mmm",          L"b",    L"\u00FCber", L"ETE",   L"_under"};
    {
        HiveRegistry registry(ToUtf8(hive), true);
        for (const auto& name : names) {
            KeyHandle key = 0;
            ASSERT_EQ(registry.CreateKey(HiveRegistry::kRoot, L"Apps\\" + name, key), 0u) << ToUtf8(name);
            const Bytes data = StringData(L"fabrikam " + name);
            registry.SetValue(key, L"v", 1, data.data(), static_cast<std::uint32_t>(data.size()));
            registry.CloseKey(key);
        }
        registry.Commit();
    }
    const auto eachIs = [&](const std::wstring& word) {
        for (const auto& name : names) {
            HiveRegistry reread(ToUtf8(hive), false);
            for (const auto& spelled : {name, UpperCased(name)}) {
                KeyHandle key = 0;
                EXPECT_EQ(reread.OpenKey(HiveRegistry::kRoot, L"Apps\\" + spelled, key), 0u) << ToUtf8(spelled);
                if (key) reread.CloseKey(key);
            }
            const auto value = Read(L"Apps\\" + name, L"v");
            ASSERT_TRUE(value) << ToUtf8(name);
            EXPECT_EQ(value->second, StringData(word + L" " + name)) << ToUtf8(name);
        }
    };
    eachIs(L"fabrikam");
    const CliRun run = RunCli({L"replace", L"--hive", hive, L"fabrikam", L"--with", L"contoso", L"--yes", L"--key",
                               L"Apps", L"--undo-dir", folder.Path(L"undo")});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    eachIs(L"contoso");
    ASSERT_EQ(UndoFiles().size(), 1u);
    ASSERT_EQ(RunCli({L"undo", L"--hive", hive, UndoFiles()[0]}).exitCode, 0);
    eachIs(L"fabrikam");
}

TEST_F(HiveCliTest, AnOutputOverASecondHiveIsRefusedWhateverLiesBesideTheFirst) {
    const std::wstring second = folder.Path(L"SYSTEM");
    WriteFileBytes(ToUtf8(second), BlankHive());
    const std::string before = ReadBytes(ToUtf8(second));
    // A log name that leads nowhere, as a copied folder may hold.
    ASSERT_EQ(::symlink("/nonexistent/SOFTWARE.LOG1", ToUtf8(hive + L".LOG1").c_str()), 0);
    const CliRun run = RunCli({L"search", L"--hive", hive, L"--hive", second, L"fabrikam", L"--output", second});
    EXPECT_EQ(run.exitCode, 2) << run.err;
    EXPECT_NE(run.err.find("is the input"), std::string::npos) << run.err;
    EXPECT_EQ(ReadBytes(ToUtf8(second)), before);
}

}  // namespace
}  // namespace keyscour
