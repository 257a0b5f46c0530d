// Hive commits that keep everything but the change, tried as an admin
// would: two runs at once, planted and followed links, modes, owners and
// extended attributes, read-only and immutable hives, another user,
// signals at chosen stages, full disks, undo files cut short, and undo
// over several hives.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <filesystem>
#include <future>

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
using Json = nlohmann::json;

std::string ReadBytes(const std::string& path) { return testing::ReadFileBytes(FromUtf8(path)); }

class HiveCommitTest : public ::testing::Test {
protected:
    HiveCommitTest() {
        hive = ToUtf8(folder.Path(L"SOFTWARE"));
        Make(hive);
    }
    static void Make(const std::string& path) {
        WriteFileBytes(path, BlankHive());
        HiveRegistry registry(path, true);
        for (const wchar_t* name : {L"First", L"Second"}) {
            KeyHandle key = 0;
            EXPECT_EQ(registry.CreateKey(HiveRegistry::kRoot, L"App", key), 0u);
            const Bytes data = StringData(std::wstring(L"C:\\Old\\") + name);
            registry.SetValue(key, name, 1, data.data(), static_cast<std::uint32_t>(data.size()));
            registry.CloseKey(key);
        }
        registry.Commit();
    }
    std::wstring Value(const std::string& path, const std::wstring& name) {
        HiveRegistry registry(path, false);
        KeyHandle key = 0;
        if (registry.OpenKey(HiveRegistry::kRoot, L"App", key) != 0) return L"(no key)";
        std::uint32_t type = 0;
        Bytes data;
        const Status status = registry.QueryValue(key, name, type, data);
        registry.CloseKey(key);
        if (status != 0) return L"(none)";
        return DecodeUtf16Le(data.data(), data.size() - 2);
    }
    CliRun Replace(const std::wstring& text, const std::wstring& with, std::vector<std::string> environment = {},
                   std::vector<std::wstring> more = {}) {
        std::vector<std::wstring> arguments{L"replace", L"--hive", FromUtf8(hive), text, L"--with", with, L"--yes",
                                            L"--undo-dir", folder.Path(L"undo")};
        arguments.insert(arguments.end(), more.begin(), more.end());
        return RunCli(arguments, environment);
    }
    std::vector<std::wstring> UndoFiles() const {
        std::vector<std::wstring> files;
        for (const auto& file : folder.Files())
            if (file.find(L"/undo/") != std::wstring::npos) files.push_back(file);
        return files;
    }
    std::vector<std::string> Leftovers() const {
        std::vector<std::string> found;
        for (const auto& entry : fs::directory_iterator(fs::path(hive).parent_path()))
            if (entry.path().filename().string().find(".keyscour-new") != std::string::npos)
                found.push_back(entry.path().string());
        return found;
    }
    testing::ScratchFolder folder;
    std::string hive;
};

TEST_F(HiveCommitTest, TwoReplacesAtOnceBothLastAndASecondRunWithoutWaitIsRefused) {
    // The first run holds its lock across a pause before its commit.
    auto first = std::async(std::launch::async, [&] {
        return Replace(L"Old\\First", L"New\\First", {"KEYSCOUR_TEST_PAUSE_AT=commit:700"});
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    const CliRun refused = Replace(L"Old\\Second", L"New\\Second");
    EXPECT_EQ(refused.exitCode, 2) << refused.err;
    EXPECT_NE(refused.err.find("is being changed by another keyscour-cli (pid "), std::string::npos) << refused.err;
    // A search is never refused, and makes no file.
    const CliRun search = RunCli({L"search", L"--hive", FromUtf8(hive), L"old"});
    EXPECT_EQ(search.exitCode, 0) << search.err;
    const CliRun waited = Replace(L"Old\\Second", L"New\\Second", {}, {L"--wait", L"10"});
    const CliRun done = first.get();
    EXPECT_EQ(done.exitCode, 0) << done.err;
    EXPECT_EQ(waited.exitCode, 0) << waited.err;
    EXPECT_EQ(Value(hive, L"First"), L"C:\\New\\First");
    EXPECT_EQ(Value(hive, L"Second"), L"C:\\New\\Second") << "neither change lost";
    EXPECT_TRUE(Leftovers().empty());
}

// An admin tidies the lock file away, or replaces it, while a run holds
// it: a second run may then lock and commit, and the first must not
// commit over it; its change is refused, never lost unsaid.
TEST_F(HiveCommitTest, ALockFileRemovedOrReplacedWhileHeldCommitsNothingOverTheNextRun) {
    for (const bool replaced : {false, true}) {
        SCOPED_TRACE(replaced ? "replaced" : "removed");
        Make(hive);
        auto first = std::async(std::launch::async, [&] {
            return Replace(L"Old\\First", L"New\\First", {"KEYSCOUR_TEST_PAUSE_AT=commit:1500"});
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        ASSERT_EQ(::unlink((hive + ".keyscour-lock").c_str()), 0);
        if (replaced) folder.Write(FromUtf8(fs::path(hive).filename().string()) + L".keyscour-lock", "tidy\n");
        const CliRun second = Replace(L"Old\\Second", L"New\\Second");
        const CliRun done = first.get();
        EXPECT_EQ(second.exitCode, 0) << second.err;
        EXPECT_EQ(done.exitCode, 3) << done.err;
        EXPECT_NE(done.err.find("lock file was removed or replaced"), std::string::npos) << done.err;
        EXPECT_EQ(Value(hive, L"Second"), L"C:\\New\\Second") << "the second run's change stays";
        EXPECT_EQ(Value(hive, L"First"), L"C:\\Old\\First") << "the first committed nothing";
        EXPECT_TRUE(Leftovers().empty());
    }
}

// A run waiting on a lock file that is tidied away meanwhile must not
// take that file's lock once it is free: it locks the file now at the
// name, and so waits for the run that holds that one.
TEST_F(HiveCommitTest, ARunWaitingOnALockFileTidiedAwayWaitsForTheRunHoldingTheNewOne) {
    auto first = std::async(std::launch::async, [&] {
        return Replace(L"Old\\First", L"Held\\First", {"KEYSCOUR_TEST_PAUSE_AT=commit:1500"});
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto waiting = std::async(std::launch::async, [&] {
        return Replace(L"Old\\Second", L"Waited\\Second", {}, {L"--wait", L"20"});
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_EQ(::unlink((hive + ".keyscour-lock").c_str()), 0);
    auto third = std::async(std::launch::async, [&] {
        return Replace(L"Old\\First", L"Third\\First", {"KEYSCOUR_TEST_PAUSE_AT=commit:2500"});
    });
    const CliRun held = first.get(), waited = waiting.get(), last = third.get();
    EXPECT_EQ(held.exitCode, 3) << held.err;
    EXPECT_EQ(last.exitCode, 0) << last.err;
    EXPECT_EQ(waited.exitCode, 0) << waited.err;
    EXPECT_EQ(Value(hive, L"First"), L"C:\\Third\\First");
    EXPECT_EQ(Value(hive, L"Second"), L"C:\\Waited\\Second") << "the waiting run's change is not lost";
}

// Our names cannot be hijacked: a hard link planted at the lock's name is
// refused and left as it was, a FIFO at a log's name is no log.
TEST_F(HiveCommitTest, AHardLinkAtTheLockNameIsRefusedAndAFifoAtALogsNameIsPassedOver) {
    folder.Write(L"victim", "precious, and longer than a pid");
    ASSERT_EQ(::link(ToUtf8(folder.Path(L"victim")).c_str(), (hive + ".keyscour-lock").c_str()), 0);
    const std::string before = ReadBytes(hive);
    const CliRun refused = Replace(L"Old", L"New");
    EXPECT_EQ(refused.exitCode, 2) << refused.err;
    EXPECT_NE(refused.err.find("not a lock file"), std::string::npos) << refused.err;
    EXPECT_EQ(folder.Read(L"victim"), "precious, and longer than a pid");
    EXPECT_EQ(ReadBytes(hive), before);
    ASSERT_EQ(::unlink((hive + ".keyscour-lock").c_str()), 0);

    ASSERT_EQ(::mkfifo((hive + ".LOG1").c_str(), 0600), 0);
    const std::string cli = KEYSCOUR_CLI_PATH;
    const auto run = [&](const std::string& arguments) {
        const int status = std::system(("timeout 20 \"" + cli + "\" " + arguments + " >/dev/null 2>&1").c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    EXPECT_EQ(run("search --hive \"" + hive + "\" Old"), 0) << "never waits on the FIFO";
    EXPECT_EQ(run("replace --hive \"" + hive + "\" Old --with New --yes --undo-dir \"" + ToUtf8(folder.Path(L"undo")) + "\""), 0);
    EXPECT_EQ(Value(hive, L"First"), L"C:\\New\\First");
}

TEST_F(HiveCommitTest, LinksPlantedBesideTheHiveAreNeverFollowedAndAHiveGivenByALinkIsChangedWhereItIs) {
    folder.Write(L"victim", "precious");
    fs::create_symlink(ToUtf8(folder.Path(L"victim")), hive + ".keyscour-new");
    fs::create_symlink(ToUtf8(folder.Path(L"victim")), hive + ".keyscour-new.1.planted");
    // A pid no system gives is a run that is gone; this test's own is one
    // still at work, whose new file may be its commit under way.
    folder.Write(L"SOFTWARE.keyscour-new.99999999.stale", "left by a killed run");
    const std::wstring live = L"SOFTWARE.keyscour-new." + std::to_wstring(::getpid()) + L".live";
    folder.Write(live, "a live run's");
    const CliRun run = Replace(L"Old\\First", L"New\\First");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("\"kind\":\"change\""), std::string::npos) << "reported once committed: " << run.out;
    EXPECT_NE(run.out.find("\"changed\":1"), std::string::npos) << run.out;
    EXPECT_EQ(folder.Read(L"victim"), "precious");
    EXPECT_FALSE(fs::exists(hive + ".keyscour-new.99999999.stale")) << "removed under the lock";
    EXPECT_EQ(folder.Read(live), "a live run's");
    fs::remove(ToUtf8(folder.Path(live)));

    fs::create_directory(ToUtf8(folder.Path(L"links")));
    const std::string link = ToUtf8(folder.Path(L"links/SOFTWARE"));
    fs::create_symlink(hive, link);
    const CliRun through = RunCli({L"replace", L"--hive", FromUtf8(link), L"Old\\Second", L"--with", L"New\\Second",
                                   L"--yes", L"--undo-dir", folder.Path(L"undo")});
    ASSERT_EQ(through.exitCode, 0) << through.err;
    EXPECT_TRUE(fs::is_symlink(link)) << "the link stays a link";
    EXPECT_EQ(Value(hive, L"Second"), L"C:\\New\\Second") << "the hive it names has the change";

    const std::string hard = ToUtf8(folder.Path(L"hard"));
    fs::create_hard_link(hive, hard);
    const std::string before = ReadBytes(hive);
    const CliRun split = Replace(L"New", L"Old");
    EXPECT_EQ(split.exitCode, 2) << split.err;
    EXPECT_NE(split.err.find("hard links"), std::string::npos) << split.err;
    EXPECT_EQ(ReadBytes(hive), before);
}

// One hive named by two paths takes one lock, the one beside the hive
// itself: a run through a link waits for a run that names the file.
TEST_F(HiveCommitTest, AHiveNamedThroughALinkIsLockedBesideTheHiveItself) {
    fs::create_directory(ToUtf8(folder.Path(L"elsewhere")));
    const std::string link = ToUtf8(folder.Path(L"elsewhere/SOFTWARE"));
    fs::create_symlink(hive, link);
    const int lock = ::open((hive + ".keyscour-lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(lock, 0);
    ASSERT_EQ(::flock(lock, LOCK_EX | LOCK_NB), 0);
    const std::string before = ReadBytes(hive);
    const CliRun run = RunCli({L"replace", L"--hive", FromUtf8(link), L"Old", L"--with", L"New", L"--yes", L"--undo-dir",
                               folder.Path(L"undo")});
    ::close(lock);
    EXPECT_EQ(run.exitCode, 2) << run.err;
    EXPECT_NE(run.err.find("is being changed by another keyscour-cli"), std::string::npos) << run.err;
    EXPECT_EQ(ReadBytes(hive), before);
    EXPECT_FALSE(fs::exists(link + ".keyscour-lock")) << "no lock beside the link";
}

// Where the undo file went is said, and is where the file is.
TEST_F(HiveCommitTest, AReplaceSaysWhereItsUndoFileIs) {
    const CliRun run = Replace(L"Old", L"New");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto files = UndoFiles();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_NE(run.err.find("undo file: " + ToUtf8(files[0]) + "\n"), std::string::npos) << run.err;
}

// A relative XDG_STATE_HOME is ignored, as the XDG rule says: the undo
// file goes below HOME, never below the current folder.
TEST_F(HiveCommitTest, ARelativeStateHomeIsIgnored) {
    const std::string home = ToUtf8(folder.Path(L"home"));
    fs::create_directory(home);
    // A name of this run's own, below the folder the child starts in.
    const std::string relative = "keyscour-relative-state-" + std::to_string(::getpid());
    const CliRun run = RunCli({L"replace", L"--hive", FromUtf8(hive), L"Old", L"--with", L"New", L"--yes"},
                              {"XDG_STATE_HOME=" + relative, "HOME=" + home});
    const bool madeThere = fs::exists(relative);
    std::error_code ignored;
    fs::remove_all(relative, ignored);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("undo file: " + home + "/.local/state/quillon-keyscour/undo/"), std::string::npos) << run.err;
    EXPECT_FALSE(madeThere);
}

TEST_F(HiveCommitTest, ModeOwnerAndExtendedAttributesAreKept) {
    ::chmod(hive.c_str(), 0600);
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown(hive.c_str(), 1234, 2345), 0);
    }
    const bool xattrs = ::setxattr(hive.c_str(), "user.keyscour", "kept", 4, 0) == 0;
    struct stat before {};
    ASSERT_EQ(::stat(hive.c_str(), &before), 0);
    const CliRun run = Replace(L"Old\\First", L"New\\First");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    struct stat after {};
    ASSERT_EQ(::stat(hive.c_str(), &after), 0);
    EXPECT_NE(after.st_ino, before.st_ino) << "a new file took its place";
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(after.st_gid, before.st_gid);
    if (xattrs) {
        char value[16] = {};
        EXPECT_EQ(::getxattr(hive.c_str(), "user.keyscour", value, sizeof value), 4);
        EXPECT_STREQ(value, "kept");
    }
}

TEST_F(HiveCommitTest, HivesThatMayNotBeReplacedAreRefusedBeforeTheUndoFile) {
    const std::string before = ReadBytes(hive);
    auto refusedWith = [&](const char* why) {
        const CliRun run = Replace(L"Old", L"New");
        EXPECT_EQ(run.exitCode, 2) << run.err;
        EXPECT_NE(run.err.find(why), std::string::npos) << run.err;
        EXPECT_TRUE(UndoFiles().empty());
        EXPECT_EQ(ReadBytes(hive), before);
        EXPECT_TRUE(Leftovers().empty());
    };
    ::chmod(hive.c_str(), 0444);
    refusedWith(::geteuid() == 0 ? "read-only" : "may not be written");
    ::chmod(hive.c_str(), 0644);
    // A file system flag set for one refusal, where the mount takes it:
    // an immutable hive, and a folder marked append-only, which takes no
    // rename, root's included.
    const auto refusedWithFlag = [&](const std::string& path, int flag, const char* why) {
        const int file = ::open(path.c_str(), O_RDONLY);
        int flags = 0;
        if (::ioctl(file, FS_IOC_GETFLAGS, &flags) == 0) {
            int marked = flags | flag;
            if (::ioctl(file, FS_IOC_SETFLAGS, &marked) == 0) {
                refusedWith(why);
                ::ioctl(file, FS_IOC_SETFLAGS, &flags);
            }
        }
        ::close(file);
    };
    refusedWithFlag(hive, FS_IMMUTABLE_FL, "immutable");
    refusedWithFlag(fs::path(hive).parent_path().string(), FS_APPEND_FL, "its folder");
    if (::geteuid() != 0) GTEST_SKIP() << "another user's hive needs root to make";
    // Another user may write the folder and the hive, but could not give it back its owner.
    ::chmod(fs::path(hive).parent_path().c_str(), 0777);
    ::chmod(hive.c_str(), 0666);
    const std::string errors = ToUtf8(folder.Path(L"child.err"));
    const pid_t child = ::fork();
    if (child == 0) {
        const int err = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        if (err < 0 || ::dup2(err, 2) < 0) ::_exit(97);
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(99);
        const std::string cli = KEYSCOUR_CLI_PATH;
        const std::string undo = ToUtf8(folder.Path(L"undo"));
        ::execl(cli.c_str(), cli.c_str(), "replace", "--hive", hive.c_str(), "Old", "--with", "New", "--yes",
                "--undo-dir", undo.c_str(), "--quiet", static_cast<char*>(nullptr));
        ::_exit(98);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 2);
    EXPECT_NE(ReadBytes(errors).find("belongs to another user"), std::string::npos) << ReadBytes(errors);
    EXPECT_EQ(ReadBytes(hive), before);
    EXPECT_TRUE(Leftovers().empty());
}

TEST_F(HiveCommitTest, ASignalBeforeTheRenameCommitsNothing) {
    const std::string before = ReadBytes(hive);
    for (const char* seam : {"KEYSCOUR_TEST_SIGNAL_AT=undo:2", "KEYSCOUR_TEST_SIGNAL_AT=write:1",
                             "KEYSCOUR_TEST_SIGNAL_AT=commit:15", "KEYSCOUR_TEST_SIGNAL_AT=commit:1"}) {
        SCOPED_TRACE(seam);
        const CliRun run = Replace(L"Old", L"New", {seam});
        EXPECT_EQ(run.exitCode, 130) << run.err;
        const auto records = testing::Lines(run.out);
        ASSERT_FALSE(records.empty());
        const Json summary = Json::parse(records.back());
        EXPECT_EQ(summary["interrupted"], true);
        EXPECT_EQ(summary["changed"], 0);
        if (std::string_view(seam).find("undo") != std::string_view::npos)
            EXPECT_NE(run.err.find("interrupted; nothing was replaced"), std::string::npos)
                << "stopped before any write, and said so: " << run.err;
        EXPECT_EQ(run.out.find("\"change\""), std::string::npos) << "no change is reported that did not happen";
        EXPECT_EQ(ReadBytes(hive), before);
        EXPECT_TRUE(UndoFiles().empty());
        EXPECT_TRUE(Leftovers().empty());
    }
}

TEST_F(HiveCommitTest, ACommitThatFailsReportsNoChangesAndKeepsNoUndoFile) {
    const std::string before = ReadBytes(hive);
    const std::string cli = KEYSCOUR_CLI_PATH;
    const std::string out = ToUtf8(folder.Path(L"out.jsonl"));
    // The new hive cannot grow past a few blocks: the commit's write fails.
    const std::string command = "ulimit -f 4; \"" + cli + "\" replace --hive \"" + hive +
                                "\" Old --with New --yes --undo-dir \"" + ToUtf8(folder.Path(L"undo")) + "\" > \"" +
                                out + "\" 2>/dev/null";
    const int status = std::system(("bash -c '" + command + "'").c_str());
    EXPECT_EQ(WEXITSTATUS(status), 3);
    const std::string records = ReadBytes(out);
    EXPECT_EQ(records.find("\"change\""), std::string::npos) << records;
    EXPECT_NE(records.find("\"changed\":0"), std::string::npos) << records;
    EXPECT_EQ(ReadBytes(hive), before);
    EXPECT_TRUE(UndoFiles().empty());
    EXPECT_TRUE(Leftovers().empty());
}

TEST_F(HiveCommitTest, AnUndoFileCutShortIsRefusedAtEveryByteAndAnOldOneOnlyWhenAccepted) {
    const CliRun run = Replace(L"Old\\First", L"%SystemRoot%\\system32;C:\\Tools");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    ASSERT_EQ(UndoFiles().size(), 1u);
    const std::string whole = ReadBytes(ToUtf8(UndoFiles()[0]));
    const std::string changed = ReadBytes(hive);
    // Every cut from the start of the value's line to the closing line's end
    // (only its CR LF may go).
    const std::string marker = ToUtf8(L"\"First\"");
    std::string utf16Marker;
    for (std::uint8_t b : EncodeUtf16Le(FromUtf8(marker))) utf16Marker += static_cast<char>(b);
    const std::size_t from = whole.find(utf16Marker);
    ASSERT_NE(from, std::string::npos);
    for (std::size_t cut = from; cut + 4 < whole.size(); cut += 2) {
        folder.Write(L"cut.reg", whole.substr(0, cut));
        const CliRun undo = RunCli({L"undo", L"--hive", FromUtf8(hive), folder.Path(L"cut.reg")});
        ASSERT_EQ(undo.exitCode, 2) << "cut at " << cut << ": " << undo.err;
    }
    EXPECT_EQ(ReadBytes(hive), changed);
    // Without its closing line, as files from before had it: only when accepted.
    const std::wstring text = DecodeUtf16Le(reinterpret_cast<const std::uint8_t*>(whole.data()) + 2, whole.size() - 2);
    const std::wstring body = text.substr(0, text.find(L"; Quillon Keyscour undo file end"));
    std::string old = "\xFF\xFE";
    for (std::uint8_t b : EncodeUtf16Le(body)) old += static_cast<char>(b);
    folder.Write(L"old.reg", old);
    EXPECT_EQ(RunCli({L"undo", L"--hive", FromUtf8(hive), folder.Path(L"old.reg")}).exitCode, 2);
    const CliRun accepted =
        RunCli({L"undo", L"--hive", FromUtf8(hive), folder.Path(L"old.reg"), L"--accept-unterminated"});
    EXPECT_EQ(accepted.exitCode, 0) << accepted.err;
    EXPECT_NE(accepted.err.find("no closing line"), std::string::npos) << accepted.err;
    EXPECT_EQ(Value(hive, L"First"), L"C:\\Old\\First");
}

TEST_F(HiveCommitTest, AHitWhoseNameIsLongerThanTheFirstBufferIsReportedWhole) {
    const std::wstring name(300, L'n');
    {
        HiveRegistry registry(hive, true);
        KeyHandle key = 0;
        ASSERT_EQ(registry.CreateKey(HiveRegistry::kRoot, L"Long", key), 0u);
        const Bytes data = StringData(L"needle");
        registry.SetValue(key, name, 1, data.data(), static_cast<std::uint32_t>(data.size()));
        registry.CloseKey(key);
        registry.Commit();
    }
    const CliRun run = RunCli({L"search", L"--hive", FromUtf8(hive), L"needle"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("\"name\":\"" + ToUtf8(name) + "\""), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\"unreadable\":0"), std::string::npos) << run.out;
}

TEST_F(HiveCommitTest, AReplaceOverTwoHivesIsUndoneByOneUndoAndAHiveNamedTwiceIsRefused) {
    const std::string other = ToUtf8(folder.Path(L"SYSTEM"));
    Make(other);
    const CliRun run = RunCli({L"replace", L"--hive", FromUtf8(hive), L"--hive", FromUtf8(other), L"Old", L"--with",
                               L"New", L"--yes", L"--undo-dir", folder.Path(L"undo")});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(Value(other, L"Second"), L"C:\\New\\Second");
    ASSERT_EQ(UndoFiles().size(), 1u);
    const CliRun undo = RunCli({L"undo", L"--hive", FromUtf8(hive), L"--hive", FromUtf8(other), UndoFiles()[0]});
    ASSERT_EQ(undo.exitCode, 0) << undo.err;
    for (const auto& path : {hive, other})
        for (const wchar_t* name : {L"First", L"Second"})
            EXPECT_EQ(Value(path, name), std::wstring(L"C:\\Old\\") + name) << path;
    const CliRun twice = RunCli({L"search", L"--hive", FromUtf8(hive), L"--hive", folder.Path(L"./SOFTWARE"), L"x"});
    EXPECT_EQ(twice.exitCode, 2);
    EXPECT_NE(twice.err.find("is the same file as"), std::string::npos) << twice.err;
}

}  // namespace
}  // namespace keyscour
