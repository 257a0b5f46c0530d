// keyscour-cli --windows over a Windows folder tree the tests build: the
// hives found as Windows mounts them, names in any case, profiles from
// ProfileList, rows naming their users, CurrentControlSet, a replace over
// several hives with one undo, and every refusal.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <set>

#include "base/utf16.h"
#include "base/utf8.h"
#include "registry/hive/hive_lock.h"
#include "registry/hive/hive_registry.h"
#include "registry/value_forms.h"
#include "tests/cli/cli_runner.h"
#include "tests/support/blank_hive.h"
#include "tests/support/hive_log_writer.h"

namespace keyscour {
namespace {

namespace fs = std::filesystem;
using testing::CliRun;
using testing::RunCli;
using Bytes = std::vector<std::uint8_t>;
using Json = nlohmann::json;

using Value = HiveValue;

Value Text(std::wstring key, std::wstring name, const std::wstring& text, std::uint32_t type = 1) {
    return {std::move(key), std::move(name), type, StringData(text)};
}

Value Dword(std::wstring key, std::wstring name, std::uint32_t number) {
    return {std::move(key), std::move(name), 4,
            {static_cast<std::uint8_t>(number), static_cast<std::uint8_t>(number >> 8),
             static_cast<std::uint8_t>(number >> 16), static_cast<std::uint8_t>(number >> 24)}};
}

// A hive at path holding values; its folders made first.
void MakeHive(const std::string& path, const std::vector<Value>& values) {
    fs::create_directories(fs::path(path).parent_path());
    ASSERT_TRUE(MakeHiveOf(path, values));
}

// A hive left dirty: the file holds before, its .LOG1 the change to after,
// as Windows leaves them when it stops mid-write.
void MakeDirtyHive(const std::string& path, const std::vector<Value>& before, const std::vector<Value>& added) {
    MakeHive(path, before);
    Bytes primary = testing::ReadAllBytes(path);
    std::vector<Value> all = before;
    all.insert(all.end(), added.begin(), added.end());
    const std::string after = path + ".after";
    MakeHive(after, all);
    const Bytes changed = testing::ReadAllBytes(after);
    fs::remove(after);
    const std::uint32_t sequence = testing::Get32(primary, 4) + 1;
    testing::Put32(primary, 4, sequence);
    testing::Seal(primary);
    testing::LogEntry entry{sequence, testing::Get32(changed, 0x28), testing::ChangedPages(primary, changed)};
    ASSERT_TRUE(WriteFileBytes(path, primary));
    ASSERT_TRUE(WriteFileBytes(path + ".LOG1", testing::NewFormatLog(changed, sequence, {entry})));
}

constexpr wchar_t kAlice[] = L"S-1-5-21-7-7-7-1001";
constexpr wchar_t kBob[] = L"S-1-5-21-7-7-7-1002";
const std::wstring kProfiles = L"Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\";

// A volume as Windows leaves it, names in the cases NTFS holds them: a
// folder config spelled Config, one user's NTUSER.DAT upper-case and
// another's lower-case.
class WindowsTreeTest : public ::testing::Test {
protected:
    WindowsTreeTest() : volume(ToUtf8(folder.Path(L"volume"))) {
        config = volume + "/windows/System32/Config";
        MakeHive(config + "/SOFTWARE", SoftwareValues());
        MakeHive(config + "/SYSTEM", {Dword(L"Select", L"Current", 2),
                                      Text(L"ControlSet001\\Services\\Fab", L"ImagePath", L"C:\\Fabrikam\\old.sys"),
                                      Text(L"ControlSet002\\Services\\Fab", L"ImagePath", L"C:\\Fabrikam\\fab.sys")});
        MakeHive(config + "/SAM", {Text(L"SAM\\Domains", L"Note", L"nothing")});
        MakeHive(config + "/security", {Text(L"Policy", L"Note", L"nothing")});
        MakeHive(config + "/DEFAULT", {Text(L"Software\\Fabrikam", L"Home", L"C:\\Fabrikam")});
        MakeHive(config + "/COMPONENTS", {Text(L"Fabrikam", L"Only", L"Fabrikam when named")});
        // LocalSystem's own profile folder is DEFAULT's: never mounted twice.
        MakeHive(config + "/systemprofile/NTUSER.DAT", {Text(L"Software\\Fabrikam", L"Twice", L"Fabrikam")});
        MakeHive(volume + "/windows/ServiceProfiles/LocalService/NTUSER.DAT",
                 {Text(L"Software\\Fabrikam", L"Svc", L"Fabrikam local")});
        MakeHive(volume + "/windows/ServiceProfiles/LocalService/AppData/Local/Microsoft/Windows/UsrClass.dat",
                 {Text(L"Fabrikam.Doc", L"", L"Fabrikam local classes")});
        // NetworkService has no UsrClass.dat.
        MakeHive(volume + "/windows/ServiceProfiles/NetworkService/NTUSER.DAT",
                 {Text(L"Software\\Fabrikam", L"Svc", L"Fabrikam network")});
        MakeHive(volume + "/Users/alice.CONTOSO/NTUSER.DAT",
                 {Text(L"Software\\Fabrikam", L"Docs", L"C:\\Users\\alice.CONTOSO\\Fabrikam")});
        MakeHive(volume + "/Users/alice.CONTOSO/AppData/Local/Microsoft/Windows/UsrClass.dat",
                 {Text(L"Fabrikam.Doc\\shell\\open\\command", L"", L"C:\\Fabrikam\\app.exe \"%1\"")});
        // bob's hive is dirty: his Fabrikam value is only in its log.
        MakeDirtyHive(volume + "/Users/bob/ntuser.dat", {Text(L"Software\\Other", L"Note", L"nothing")},
                      {Text(L"Software\\Fabrikam", L"Recent", L"C:\\Fabrikam\\bob.txt")});
        MakeHive(volume + "/Users/stranger/NTUSER.DAT", {Text(L"Software\\Fabrikam", L"Unknown", L"Fabrikam")});
        // Folders that entries left out name: the profile a .bak entry kept,
        // a folder of the same name as one on another drive.
        MakeHive(volume + "/Users/alice/NTUSER.DAT", {Text(L"Software\\Fabrikam", L"Old", L"Fabrikam before")});
        MakeHive(volume + "/Users/carol/NTUSER.DAT", {Text(L"Software\\Fabrikam", L"OtherDrive", L"Fabrikam on D")});
        for (const char* shared : {"Public", "Default", "All Users"}) fs::create_directories(volume + "/Users/" + shared);
        folder.Write(L"volume/Users/desktop.ini", "[.ShellClassInfo]\r\n");
    }

    static std::vector<Value> SoftwareValues() {
        return {Text(L"Microsoft\\Windows NT\\CurrentVersion", L"SystemRoot", L"C:\\WINDOWS"),
                  Text(kProfiles + L"S-1-5-18", L"ProfileImagePath", L"%systemroot%\\system32\\config\\systemprofile", 2),
                  Text(kProfiles + L"S-1-5-19", L"ProfileImagePath", L"%SystemRoot%\\ServiceProfiles\\LocalService", 2),
                  Text(kProfiles + L"S-1-5-20", L"ProfileImagePath", L"%systemroot%\\ServiceProfiles\\NetworkService", 2),
                  Text(kProfiles + kAlice, L"ProfileImagePath", L"C:\\Users\\alice.CONTOSO"),
                  Text(kProfiles + kBob, L"ProfileImagePath", L"%SystemDrive%\\Users\\Bob", 2),
                  Text(kProfiles + kAlice + L".bak", L"ProfileImagePath", L"C:\\Users\\alice"),
                  Text(kProfiles + L"S-1-5-21-7-7-7-1003", L"ProfileImagePath", L"D:\\Users\\carol"),
                  Text(L"Fabrikam\\App", L"Path", L"C:\\Program Files\\Fabrikam\\app.exe")};
    }

    CliRun Search(std::vector<std::wstring> more, const std::wstring& text = L"fabrikam") {
        std::vector<std::wstring> arguments{L"search", L"--windows", FromUtf8(volume), text, L"--in", L"data",
                                            L"--format", L"jsonl", L"--quiet"};
        arguments.insert(arguments.end(), more.begin(), more.end());
        return RunCli(arguments);
    }
    // Each hit as "ROOT\\KEY\\NAME user".
    static std::set<std::string> Hits(const CliRun& run) {
        std::set<std::string> hits;
        for (const auto& line : testing::Lines(run.out)) {
            const Json record = Json::parse(line);
            if (record["kind"] != "hit" && record["kind"] != "change") continue;
            const std::string user = record["user"].is_null() ? "-" : record["user"].get<std::string>();
            const std::string name = record["name"].is_null() ? "(key)" : record["name"].get<std::string>();
            hits.insert(record["root"].get<std::string>() + "\\" + record["key"].get<std::string>() + "\\" + name +
                        " " + user);
        }
        return hits;
    }
    std::map<std::string, std::string> HiveFiles() const {
        std::map<std::string, std::string> files;
        for (const auto& entry : fs::recursive_directory_iterator(volume))
            if (entry.is_regular_file() && !entry.path().string().ends_with(".keyscour-lock"))
                files[entry.path().string()] = testing::ReadFileBytes(FromUtf8(entry.path().string()));
        return files;
    }
    // The files of the volume made, removed or changed since before.
    std::set<std::string> ChangedSince(const std::map<std::string, std::string>& before) const {
        std::set<std::string> changed;
        const auto now = HiveFiles();
        for (const auto& [path, bytes] : now)
            if (!before.count(path) || before.at(path) != bytes) changed.insert(path);
        for (const auto& [path, bytes] : before)
            if (!now.count(path)) changed.insert(path);
        return changed;
    }

    testing::ScratchFolder folder;
    std::string volume, config;
};

const std::set<std::string> kEveryHit{
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\Fabrikam\\App\\Path -",
    "HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Services\\Fab\\ImagePath -",
    "HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet002\\Services\\Fab\\ImagePath -",
    "HKEY_USERS\\.DEFAULT\\Software\\Fabrikam\\Home -",
    "HKEY_USERS\\S-1-5-19\\Software\\Fabrikam\\Svc LocalService",
    "HKEY_USERS\\S-1-5-19_Classes\\Fabrikam.Doc\\ LocalService",
    "HKEY_USERS\\S-1-5-20\\Software\\Fabrikam\\Svc NetworkService",
    "HKEY_USERS\\S-1-5-21-7-7-7-1001\\Software\\Fabrikam\\Docs alice.CONTOSO",
    "HKEY_USERS\\S-1-5-21-7-7-7-1001_Classes\\Fabrikam.Doc\\shell\\open\\command\\ alice.CONTOSO",
    "HKEY_USERS\\S-1-5-21-7-7-7-1002\\Software\\Fabrikam\\Recent Bob",
};

TEST_F(WindowsTreeTest, EveryHiveWhereWindowsMountsItWithWhoseItIs) {
    const CliRun run = Search({});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(Hits(run), kEveryHit) << run.out;
    // What was left out, each said once; the shared folders without a word.
    for (const char* said : {"S-1-5-21-7-7-7-1001.bak", "D:\\Users\\carol", "stranger"})
        EXPECT_NE(run.err.find(said), std::string::npos) << said << "\n" << run.err;
    for (const char* unsaid : {"Public", "Default\n", "desktop.ini", "All Users", "systemprofile"})
        EXPECT_EQ(run.err.find(unsaid), std::string::npos) << unsaid << "\n" << run.err;
    EXPECT_EQ(run.out.find("\"Twice\""), std::string::npos) << "S-1-5-18 is .DEFAULT, mounted once";
    EXPECT_EQ(run.out.find("Fabrikam when named"), std::string::npos) << "COMPONENTS only with --hive";

    // Another hive of config only when named; it joins the installation's.
    const CliRun named = Search({L"--hive", FromUtf8(config) + L"/COMPONENTS=HKLM\\COMPONENTS"});
    EXPECT_EQ(named.exitCode, 0) << named.err;
    EXPECT_TRUE(Hits(named).count("HKEY_LOCAL_MACHINE\\COMPONENTS\\Fabrikam\\Only -")) << named.out;

    // CSV carries the user last; a table shows it as a column.
    const CliRun csv = RunCli({L"search", L"--windows", FromUtf8(volume), L"alice.CONTOSO\\Fabrikam", L"--format", L"csv",
                               L"--quiet"});
    EXPECT_EQ(testing::MaskedTimes(csv.out),
              "root,key,name,type,data,matched,user,written,view\r\n"
              "HKEY_USERS,S-1-5-21-7-7-7-1001\\Software\\Fabrikam,Docs,REG_SZ,C:\\Users\\alice.CONTOSO\\Fabrikam,"
              "data,alice.CONTOSO,TIME,\r\n");
    const CliRun table = RunCli({L"search", L"--windows", FromUtf8(volume), L"bob.txt", L"--format", L"table", L"--quiet"});
    ASSERT_EQ(testing::Lines(table.out).size(), 2u) << table.out;
    EXPECT_TRUE(testing::Lines(table.out)[0].starts_with("ROOT  USER ")) << table.out;
    EXPECT_NE(testing::Lines(table.out)[0].find(" WRITTEN "), std::string::npos) << table.out;
    EXPECT_NE(testing::Lines(table.out)[1].find(" Bob "), std::string::npos)
        << "the user as ProfileImagePath spells the folder: " << table.out;
}

TEST_F(WindowsTreeTest, UsersRootAndKeyNarrowIt) {
    EXPECT_EQ(Hits(Search({L"--user", L"BOB"})),
              (std::set<std::string>{"HKEY_USERS\\S-1-5-21-7-7-7-1002\\Software\\Fabrikam\\Recent Bob"}));
    std::set<std::string> users;
    for (const auto& hit : kEveryHit)
        if (hit.starts_with("HKEY_USERS\\S-")) users.insert(hit);
    const CliRun serviceAndAlice = Search({L"--user", L"alice.contoso", L"--user", L"LocalService", L"--user",
                                           L"NetworkService", L"--user", L"bob"});
    EXPECT_EQ(Hits(serviceAndAlice), users);
    const CliRun nobody = Search({L"--user", L"carol"});
    EXPECT_EQ(nobody.exitCode, 2);
    EXPECT_NE(nobody.err.find("alice.CONTOSO"), std::string::npos) << "names the profiles there are: " << nobody.err;

    std::set<std::string> machine, usersRoot;
    for (const auto& hit : kEveryHit) (hit.starts_with("HKEY_LOCAL_MACHINE") ? machine : usersRoot).insert(hit);
    EXPECT_EQ(Hits(Search({L"--root", L"HKLM"})), machine);
    EXPECT_EQ(Hits(Search({L"--root", L"HKEY_USERS"})), usersRoot);
    EXPECT_EQ(Hits(Search({L"--root", L"HKU", L"--key", std::wstring(kAlice) + L"_Classes"})),
              (std::set<std::string>{"HKEY_USERS\\S-1-5-21-7-7-7-1001_Classes\\Fabrikam.Doc\\shell\\open\\command\\ "
                                     "alice.CONTOSO"}));
    const std::set<std::string> software{"HKEY_LOCAL_MACHINE\\SOFTWARE\\Fabrikam\\App\\Path -"};
    EXPECT_EQ(Hits(Search({L"--key", L"HKLM\\software\\Fabrikam"})), software);
    EXPECT_EQ(Hits(Search({L"--key", L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Fabrikam\\App"})), software);
    EXPECT_EQ(Hits(Search({L"--root", L"HKLM", L"--key", L"SOFTWARE\\Fabrikam"})), software);
    EXPECT_EQ(Hits(Search({L"--key", std::wstring(L"HKU\\") + kBob})),
              (std::set<std::string>{"HKEY_USERS\\S-1-5-21-7-7-7-1002\\Software\\Fabrikam\\Recent Bob"}));

    for (const std::vector<std::wstring>& refused :
         {std::vector<std::wstring>{L"--key", L"SOFTWARE\\Fabrikam"}, {L"--root", L"HKCU"}, {L"--key", L"HKCR\\x"},
          {L"--key", L"HKLM\\NoSuchHive"}, {L"--reg-file", L"x.reg"}}) {
        const CliRun run = Search(refused);
        EXPECT_EQ(run.exitCode, 2) << ToUtf8(refused[1]) << run.err;
        EXPECT_EQ(run.out, "") << ToUtf8(refused[1]);
    }
    const CliRun noWindows = RunCli({L"search", L"x", L"--user", L"bob", L"--reg-file", folder.Path(L"none.reg")});
    EXPECT_EQ(noWindows.exitCode, 2);
    EXPECT_NE(noWindows.err.find("--user is for --windows"), std::string::npos) << noWindows.err;
}

TEST_F(WindowsTreeTest, ProfilesThatCannotBeMountedAreSaidAndLeftOut) {
    auto values = SoftwareValues();
    values.push_back(Text(kProfiles + L"S-1-5-21-7-7-7-1004", L"ProfileImagePath", L"C:\\USERS\\BOB"));
    values.push_back(Text(kProfiles + L"S-1-5-21-7-7-7-1005", L"ProfileImagePath", L"%USERPROFILE%\\x", 2));
    values.push_back(Dword(kProfiles + L"S-1-5-21-7-7-7-1006", L"ProfileImagePath", 1));
    values.push_back(Text(kProfiles + L"S-1-5-21-7-7-7-1007", L"ProfileImagePath", L"C:\\Users\\..\\..\\outside"));
    MakeHive(ToUtf8(folder.Path(L"outside/NTUSER.DAT")), {Text(L"Software\\Fabrikam", L"Out", L"Fabrikam outside")});
    values.push_back(Text(kProfiles + L"S-1-5-21-7-7-7-1008", L"ProfileImagePath", L"C:\\Users\\gone"));
    MakeHive(config + "/SOFTWARE", values);
    const CliRun run = Search({});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(Hits(run), kEveryHit) << "bob's hive mounted once, under the first entry";
    for (const char* said : {"1004", "%USERPROFILE%", "1006", "1007", "1008"})
        EXPECT_NE(run.err.find(said), std::string::npos) << said << "\n" << run.err;

    // A hive named with --hive where the installation mounts one is refused.
    const CliRun hidden = Search({L"--hive", FromUtf8(config) + L"/COMPONENTS=HKLM\\software"});
    EXPECT_EQ(hidden.exitCode, 2);
    EXPECT_NE(hidden.err.find("where the installation's"), std::string::npos) << hidden.err;
}

// The search options reach an installation's hives too: exclusions by
// real paths and patterns, and the keys' times.
TEST_F(WindowsTreeTest, ExclusionsAndTimesOverAnInstallation) {
    std::set<std::string> expected = kEveryHit;
    for (auto it = expected.begin(); it != expected.end();)
        it = it->find("_Classes") != std::string::npos || it->find("ControlSet001") != std::string::npos
                 ? expected.erase(it)
                 : std::next(it);
    EXPECT_EQ(Hits(Search({L"--exclude", L"HKU\\*_Classes", L"--exclude", L"SYSTEM\\ControlSet001"})), expected);
    const CliRun named = Search({L"--exclude-name", L"SVC", L"--exclude-name", L"?ome"});
    EXPECT_EQ(Hits(named).size(), kEveryHit.size() - 3) << named.out;
    EXPECT_EQ(Hits(Search({L"--since", L"2000-01-01"})), kEveryHit) << "every key was written by the test";
    const CliRun future = Search({L"--since", L"2100-01-01"});
    EXPECT_EQ(future.exitCode, 1);
    EXPECT_TRUE(Hits(future).empty());
}

TEST_F(WindowsTreeTest, CurrentControlSetIsTheOneSelectNames) {
    const CliRun run = Search({L"--key", L"HKLM\\SYSTEM\\currentcontrolset\\Services"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(Hits(run), (std::set<std::string>{"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet002\\Services\\Fab\\ImagePath -"}));
    const std::string said = "CurrentControlSet is ControlSet002";
    ASSERT_NE(run.err.find(said), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find(said, run.err.find(said) + 1), std::string::npos) << "said once: " << run.err;
    EXPECT_EQ(Hits(Search({L"--root", L"HKLM", L"--key", L"SYSTEM\\CurrentControlSet"})), Hits(run));

    // Without Select\Current there is nothing to resolve it to.
    MakeHive(config + "/SYSTEM", {Text(L"ControlSet001\\Services\\Fab", L"ImagePath", L"C:\\Fabrikam\\fab.sys")});
    const CliRun unknown = Search({L"--key", L"HKLM\\SYSTEM\\CurrentControlSet"});
    EXPECT_EQ(unknown.exitCode, 2);
    EXPECT_NE(unknown.err.find("Select\\Current"), std::string::npos) << unknown.err;
}

TEST_F(WindowsTreeTest, AReplaceAcrossHivesAndItsOneUndo) {
    const auto before = HiveFiles();
    const std::wstring undoFolder = folder.Path(L"undo");
    const CliRun run = RunCli({L"replace", L"--windows", FromUtf8(volume), L"Fabrikam", L"--with", L"Contoso", L"--yes",
                               L"--undo-dir", undoFolder, L"--format", L"jsonl", L"--quiet"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(Hits(run), kEveryHit) << "each change says whose hive it is in: " << run.out;
    EXPECT_EQ(ReadHiveValue(config + "/SOFTWARE", L"Fabrikam\\App", L"Path")->second,
              StringData(L"C:\\Program Files\\Contoso\\app.exe"));
    EXPECT_EQ(ReadHiveValue(config + "/SYSTEM", L"ControlSet001\\Services\\Fab", L"ImagePath")->second,
              StringData(L"C:\\Contoso\\old.sys"));
    EXPECT_EQ(ReadHiveValue(volume + "/Users/alice.CONTOSO/NTUSER.DAT", L"Software\\Fabrikam", L"Docs")->second,
              StringData(L"C:\\Users\\alice.CONTOSO\\Contoso"));
    // bob's dirty hive: its log applied, then written.
    EXPECT_EQ(ReadHiveValue(volume + "/Users/bob/ntuser.dat", L"Software\\Fabrikam", L"Recent")->second,
              StringData(L"C:\\Contoso\\bob.txt"));
    EXPECT_EQ(ReadHiveValue(volume + "/Users/bob/ntuser.dat", L"Software\\Other", L"Note")->second, StringData(L"nothing"));
    EXPECT_EQ(ReadHiveValue(config + "/systemprofile/NTUSER.DAT", L"Software\\Fabrikam", L"Twice")->second,
              StringData(L"Fabrikam"))
        << "not a hive of the installation";
    EXPECT_EQ(ReadHiveValue(volume + "/Users/stranger/NTUSER.DAT", L"Software\\Fabrikam", L"Unknown")->second,
              StringData(L"Fabrikam"));
    EXPECT_EQ(testing::ReadFileBytes(FromUtf8(config + "/SAM")), before.at(config + "/SAM")) << "unchanged, untouched";

    std::vector<std::wstring> undoFiles;
    for (const auto& file : folder.Files())
        if (file.find(L"/undo/") != std::wstring::npos && file.ends_with(L".reg")) undoFiles.push_back(file);
    ASSERT_EQ(undoFiles.size(), 1u);
    const std::string script = testing::ReadFileBytes(undoFiles[0]);
    const std::wstring text = DecodeUtf16Le(reinterpret_cast<const std::uint8_t*>(script.data()) + 2, script.size() - 2);
    for (const wchar_t* key : {L"[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet002\\Services\\Fab]",
                               L"[HKEY_USERS\\S-1-5-21-7-7-7-1001_Classes\\Fabrikam.Doc\\shell\\open\\command]",
                               L"[HKEY_USERS\\S-1-5-20\\Software\\Fabrikam]"})
        EXPECT_NE(text.find(key), std::wstring::npos) << "real registry paths: " << ToUtf8(key);

    // A hive the file names no key in is not opened: one that cannot be
    // read, or written, stands in no way of the undo.
    const std::string sam = testing::ReadFileBytes(FromUtf8(config + "/SAM"));
    ASSERT_TRUE(WriteFileBytes(config + "/SAM", Bytes(8192, 0x41)));
    ::chmod((config + "/security").c_str(), 0444);
    const CliRun undo = RunCli({L"undo", L"--windows", FromUtf8(volume), undoFiles[0]});
    ASSERT_EQ(undo.exitCode, 0) << undo.err;
    ::chmod((config + "/security").c_str(), 0644);
    ASSERT_TRUE(WriteFileBytes(config + "/SAM", Bytes(sam.begin(), sam.end())));
    EXPECT_EQ(ReadHiveValue(config + "/SOFTWARE", L"Fabrikam\\App", L"Path")->second,
              StringData(L"C:\\Program Files\\Fabrikam\\app.exe"));
    EXPECT_EQ(ReadHiveValue(volume + "/Users/bob/ntuser.dat", L"Software\\Fabrikam", L"Recent")->second,
              StringData(L"C:\\Fabrikam\\bob.txt"));
    EXPECT_EQ(Hits(Search({})), kEveryHit) << "every hive as it was";
    EXPECT_EQ(testing::ReadFileBytes(FromUtf8(config + "/SAM")), before.at(config + "/SAM"))
        << "a hive the undo file names no key in is neither locked nor written";
}

TEST_F(WindowsTreeTest, AHiveThatCannotBeReadIsSaidAndAWriteRefused) {
    // Unreadable: the search goes on with the others and ends in 3.
    ASSERT_TRUE(WriteFileBytes(volume + "/Users/alice.CONTOSO/NTUSER.DAT", Bytes(8192, 0x41)));
    const CliRun search = Search({});
    EXPECT_EQ(search.exitCode, 3) << search.err;
    std::set<std::string> others = kEveryHit;
    others.erase("HKEY_USERS\\S-1-5-21-7-7-7-1001\\Software\\Fabrikam\\Docs alice.CONTOSO");
    EXPECT_EQ(Hits(search), others);
    EXPECT_NE(search.err.find("S-1-5-21-7-7-7-1001 is not searched"), std::string::npos) << search.err;

    const auto before = HiveFiles();
    const auto replace = [&](std::vector<std::wstring> more = {}) {
        std::vector<std::wstring> arguments{L"replace", L"--windows", FromUtf8(volume), L"Fabrikam", L"--with",
                                            L"Contoso", L"--yes", L"--undo-dir", folder.Path(L"undo")};
        arguments.insert(arguments.end(), more.begin(), more.end());
        return RunCli(arguments);
    };
    const CliRun refused = replace();
    EXPECT_EQ(refused.exitCode, 2) << refused.err;
    EXPECT_EQ(ChangedSince(before), std::set<std::string>{}) << "nothing written, no file left beside a hive";
    EXPECT_FALSE(fs::exists(ToUtf8(folder.Path(L"undo"))));
    // Narrowed away from it, the replace goes ahead.
    EXPECT_EQ(replace({L"--root", L"HKLM"}).exitCode, 0);
    EXPECT_EQ(ReadHiveValue(config + "/SOFTWARE", L"Fabrikam\\App", L"Path")->second,
              StringData(L"C:\\Program Files\\Contoso\\app.exe"));
}

TEST_F(WindowsTreeTest, AMissingReadOnlyOrLockedHiveRefusesAWrite) {
    const auto replace = [&]() {
        return RunCli({L"replace", L"--windows", FromUtf8(volume), L"Fabrikam", L"--with", L"Contoso", L"--yes",
                       L"--undo-dir", folder.Path(L"undo")});
    };
    const auto before = HiveFiles();

    ::chmod((config + "/SAM").c_str(), 0444);
    const CliRun readOnly = replace();
    EXPECT_EQ(readOnly.exitCode, 2) << readOnly.err;
    EXPECT_NE(readOnly.err.find("read-only"), std::string::npos) << readOnly.err;
    EXPECT_EQ(ChangedSince(before), std::set<std::string>{});
    ::chmod((config + "/SAM").c_str(), 0644);

    {
        const HiveLocks held({volume + "/Users/bob/ntuser.dat"}, 0);
        const CliRun locked = replace();
        EXPECT_EQ(locked.exitCode, 2) << locked.err;
        EXPECT_NE(locked.err.find("being changed by another"), std::string::npos) << locked.err;
    }
    EXPECT_EQ(ChangedSince(before), std::set<std::string>{});

    fs::remove(config + "/security");
    const CliRun search = Search({});
    EXPECT_EQ(search.exitCode, 3);
    EXPECT_NE(search.err.find("HKEY_LOCAL_MACHINE\\SECURITY is not searched"), std::string::npos) << search.err;
    EXPECT_EQ(Hits(search), kEveryHit);
    const CliRun missing = replace();
    EXPECT_EQ(missing.exitCode, 2) << missing.err;
    EXPECT_NE(missing.err.find("SECURITY"), std::string::npos) << missing.err;
    EXPECT_EQ(ReadHiveValue(config + "/SOFTWARE", L"Fabrikam\\App", L"Path")->second,
              StringData(L"C:\\Program Files\\Fabrikam\\app.exe"));
}

TEST_F(WindowsTreeTest, AHibernatedWindowsIsSearchedWithAWarningAndNeverWritten) {
    folder.Write(L"volume/hiberfil.sys", std::string("wake") + std::string(4092, '\0'));
    EXPECT_EQ(Search({}).err.find("hibernated"), std::string::npos) << "a resumed Windows clears the mark";
    folder.Write(L"volume/HIBERFIL.SYS", std::string("HIBR") + std::string(4092, '\0'));
    fs::remove(volume + "/hiberfil.sys");
    const CliRun search = Search({});
    EXPECT_EQ(search.exitCode, 0);
    EXPECT_NE(search.err.find("hibernated"), std::string::npos) << search.err;
    EXPECT_NE(search.out.find("\"kind\":\"warning\""), std::string::npos) << search.out;
    EXPECT_EQ(Hits(search), kEveryHit);

    const auto before = HiveFiles();
    const CliRun replace = RunCli({L"replace", L"--windows", FromUtf8(volume), L"Fabrikam", L"--with", L"Contoso",
                                   L"--yes", L"--undo-dir", folder.Path(L"undo")});
    EXPECT_EQ(replace.exitCode, 2);
    EXPECT_NE(replace.err.find("hibernated"), std::string::npos) << replace.err;
    folder.Write(L"x.reg", "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Fabrikam\\App]\r\n"
                           "\"Path\"=\"x\"\r\n");
    const CliRun undo = RunCli({L"undo", L"--windows", FromUtf8(volume), folder.Path(L"x.reg"), L"--accept-unterminated"});
    EXPECT_EQ(undo.exitCode, 2);
    EXPECT_NE(undo.err.find("hibernated"), std::string::npos) << undo.err;
    EXPECT_EQ(ChangedSince(before), std::set<std::string>{});
}

// Rows of a JSON Lines run, each as "ROOT\\KEY\\NAME=DATA".
std::multiset<std::string> Rows(const std::string& out) {
    std::multiset<std::string> rows;
    for (const auto& line : testing::Lines(out)) {
        const Json record = Json::parse(line);
        if (record["kind"] == "hit")
            rows.insert(record["root"].get<std::string>() + "\\" + record["key"].get<std::string>() + "\\" +
                        record["name"].dump() + "=" + record["data"].dump());
    }
    return rows;
}

// The dirty UsrClass.dat a Windows left, with both its logs, as a user's
// classes in the tree (its name in another case than its logs'): every row
// is what a search of the hive an independent parser recovered from the
// same files gives at the same mount.
TEST_F(WindowsTreeTest, ARealDirtyUsrClassDatReadAsTheIndependentParserRecoveredIt) {
    const std::string real = std::string(KEYSCOUR_REAL_HIVES_DIR) + "/dirty-usrclass/";
    const std::string classes = volume + "/Users/alice.CONTOSO/AppData/Local/Microsoft/Windows/";
    fs::remove(classes + "UsrClass.dat");
    fs::copy_file(real + "UsrClass.dat", classes + "usrclass.DAT");
    fs::copy_file(real + "UsrClass.dat.LOG1", classes + "UsrClass.dat.LOG1");
    fs::copy_file(real + "UsrClass.dat.LOG2", classes + "UsrClass.dat.LOG2");
    const std::wstring mount = std::wstring(L"HKU\\") + kAlice + L"_Classes";
    const CliRun tree = RunCli({L"search", L"--windows", FromUtf8(volume), L"e", L"--key", mount, L"--in",
                                L"data,names,keys", L"--format", L"jsonl", L"--quiet"});
    ASSERT_EQ(tree.exitCode, 0) << tree.err;
    EXPECT_NE(tree.err.find("transaction logs were applied"), std::string::npos) << tree.err;
    const CliRun recovered =
        RunCli({L"search", L"--hive", FromUtf8(real + "recovered-by-an-independent-parser") + L"=" + mount, L"e",
                L"--in", L"data,names,keys", L"--format", L"jsonl", L"--quiet"});
    ASSERT_EQ(recovered.exitCode, 0) << recovered.err;
    const auto rows = Rows(tree.out);
    EXPECT_GT(rows.size(), 1000u);
    EXPECT_TRUE(rows == Rows(recovered.out)) << rows.size() << " rows against " << Rows(recovered.out).size();
    for (const auto& line : testing::Lines(tree.out)) {
        const Json record = Json::parse(line);
        if (record["kind"] == "hit") {
            ASSERT_EQ(record["user"], "alice.CONTOSO");
        }
    }
}

TEST(WindowsFolder, WithoutWindowsSystem32ConfigIsRefused) {
    testing::ScratchFolder folder;
    fs::create_directories(ToUtf8(folder.Path(L"volume/Windows/System32")));
    for (const auto& command : {std::vector<std::wstring>{L"search", L"--windows", folder.Path(L"volume"), L"x"},
                                {L"replace", L"--windows", folder.Path(L"volume"), L"x", L"--with", L"y", L"--yes"},
                                {L"undo", L"--windows", folder.Path(L"volume"), folder.Path(L"none.reg")},
                                {L"search", L"--windows", folder.Path(L"nothing here"), L"x"}}) {
        const CliRun run = RunCli(command);
        EXPECT_EQ(run.exitCode, 2) << ToUtf8(command[0]);
        EXPECT_NE(run.err.find("Windows\\System32\\config"), std::string::npos) << run.err;
    }
}

}  // namespace
}  // namespace keyscour
