// Hives as Windows leaves them after a crash: the dirty rule, logs of both
// formats replayed into a private copy for a search and before a replace,
// logs that do not check out refused for writing, and logs beside a clean
// hive left alone. The logs are written here from the format's document,
// with real Marvin32 hashes.

#include <gtest/gtest.h>

#include <hivex.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <csignal>
#include <functional>
#include <map>

#include "base/marvin32.h"
#include "base/utf16.h"
#include "base/utf8.h"
#include "tests/cli/cli_runner.h"
#include "tests/support/hive_log_writer.h"
#include "tests/support/blank_hive.h"
#include "registry/hive/hive_logs.h"
#include "registry/hive/hive_registry.h"
#include "registry/value_forms.h"

namespace keyscour {
namespace {

using testing::Bytes;
using testing::ChangedPages;
using testing::CliRun;
using testing::Get32;
using testing::NewFormatLog;
using testing::OldFormatLog;
using testing::Put32;
using testing::RunCli;
using testing::Seal;
using Entry = testing::LogEntry;
using Page = testing::LogPage;
using Json = nlohmann::json;
constexpr std::size_t kBase = 4096;

Bytes ReadAll(const std::string& path) { return testing::ReadAllBytes(path); }
Bytes ImageOf(const HiveLogState& state) { return testing::RecoveredImage(state); }

std::vector<Json> Records(const std::string& out, const std::string& kind) {
    std::vector<Json> records;
    for (const auto& line : testing::Lines(out))
        if (const Json record = Json::parse(line, nullptr, false); !record.is_discarded() && record["kind"] == kind)
            records.push_back(record);
    return records;
}

class HiveLogsTest : public ::testing::Test {
protected:
    // before: a hive with App\v = "old", App\Gone and App\Stays; after: the
    // same hive with the changes Windows had logged: App\Added, App\Gone
    // removed, v = "logged". The hive on disk is before, left dirty at 9/8.
    HiveLogsTest() : path(ToUtf8(folder.Path(L"SOFTWARE"))) {
        WriteFileBytes(path, BlankHive());
        {
            HiveRegistry hive(path, true);
            Set(hive, L"App", L"v", L"old");
            Set(hive, L"App\\Gone", L"g", L"old gone");
            Set(hive, L"App\\Stays", L"s", L"old stays");
            hive.Commit();
        }
        before = ReadAll(path);
        {
            HiveRegistry hive(path, true);
            Set(hive, L"App", L"v", L"logged");
            Set(hive, L"App\\Added", L"a", L"old added");
            KeyHandle root = HiveRegistry::kRoot;
            EXPECT_EQ(hive.DeleteKey(root, L"App\\Gone"), 0u);
            hive.Commit();
        }
        after = ReadAll(path);
        MarkDirty(before, 9, 8);
        pages = ChangedPages(before, after);
        EXPECT_GE(pages.size(), 2u);
    }
    static void Set(HiveRegistry& hive, const std::wstring& key, const std::wstring& name, const std::wstring& text,
                    const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
        SCOPED_TRACE(::testing::Message() << "called from " << file << ":" << line);
        KeyHandle opened = 0;
        EXPECT_EQ(hive.CreateKey(HiveRegistry::kRoot, key, opened), 0u);
        const Bytes data = StringData(text);
        hive.SetValue(opened, name, 1, data.data(), static_cast<std::uint32_t>(data.size()));
        hive.CloseKey(opened);
    }
    void MarkDirty(Bytes hive, std::uint32_t primary, std::uint32_t secondary) {
        Put32(hive, 4, primary);
        Put32(hive, 8, secondary);
        Seal(hive);
        before = hive;
        WriteFileBytes(path, before);
    }
    void Log(const wchar_t* name, const Bytes& bytes) { folder.Write(name, std::string(bytes.begin(), bytes.end())); }
    Entry Whole(std::uint32_t sequence) const { return {sequence, Get32(after, 0x28), pages}; }
    // The recovered hive's bins must be those the changes made when written.
    void ExpectRecoveredAsWritten(const HiveLogState& state, std::uint32_t sequence,
                                  const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
        SCOPED_TRACE(::testing::Message() << "called from " << file << ":" << line);
        ASSERT_TRUE(state.recovered) << ToUtf8(state.failure);
        const Bytes image = ImageOf(state);
        ASSERT_GE(image.size(), kBase + Get32(after, 0x28));
        EXPECT_TRUE(std::equal(after.begin() + kBase, after.begin() + kBase + Get32(after, 0x28), image.begin() + kBase));
        EXPECT_EQ(Get32(image, 4), sequence);
        EXPECT_EQ(Get32(image, 8), sequence);
        EXPECT_EQ(Get32(image, 0x28), Get32(after, 0x28));
        EXPECT_TRUE(BaseBlockChecksOut(image));
    }
    CliRun Search(const std::wstring& text, std::vector<std::wstring> more = {}) {
        std::vector<std::wstring> arguments{L"search", L"--hive", FromUtf8(path), text, L"--format", L"jsonl"};
        arguments.insert(arguments.end(), more.begin(), more.end());
        return RunCli(arguments);
    }
    CliRun Replace() {
        return RunCli({L"replace", L"--hive", FromUtf8(path), L"old", L"--with", L"new", L"--yes", L"--undo-dir",
                       folder.Path(L"undo"), L"--format", L"jsonl"});
    }
    std::vector<std::wstring> FilesIn(const std::wstring& sub) const {
        std::vector<std::wstring> found;
        for (const auto& file : folder.Files())
            if (file.find(folder.Path(sub) + L"/") == 0) found.push_back(file);
        return found;
    }
    testing::ScratchFolder folder;
    std::string path;
    Bytes before, after;
    std::vector<Page> pages;
};

TEST(Marvin32, KnownVectors) {
    constexpr std::uint64_t kSeed = 0x004FB61A001BDBCCull;
    const std::vector<std::pair<Bytes, std::uint64_t>> vectors{
        {{}, 0x30ED35C100CD3C7Dull},
        {{0xAF}, 0x48E73FC77D75DDC1ull},
        {{0xE7, 0x0F}, 0xB5F6E1FC485DBFF8ull},
        {{0x37, 0xF4, 0x95}, 0xF0B07C789B8CF7E8ull},
        {{0x86, 0x42, 0xDC, 0x59}, 0x7008F2E87E9CF556ull},
        {{0x15, 0x3F, 0xB7, 0x98, 0x26}, 0xE6C08C6DA2AFA997ull},
        {{0x09, 0x32, 0xE6, 0x24, 0x6C, 0x47}, 0x6F04BF1A5EA24060ull},
        {{0xAB, 0x42, 0x7E, 0xA8, 0xD1, 0x0F, 0xC7}, 0xE11847E4F0678C41ull},
    };
    for (const auto& [data, hash] : vectors) EXPECT_EQ(Marvin32(data, kSeed), hash) << data.size() << " bytes";
}

TEST_F(HiveLogsTest, ANewFormatLogIsReplayedForASearchAndTheFilesStayAsTheyAre) {
    Log(L"SOFTWARE.LOG1", NewFormatLog(after, 9, {Whole(9)}));
    Log(L"SOFTWARE.LOG2", {});
    const Bytes log = ReadAll(path + ".LOG1");
    const HiveLogState state = CheckTransactionLogs(path);
    EXPECT_TRUE(state.dirty);
    ExpectRecoveredAsWritten(state, 9);
    ASSERT_EQ(state.applied.size(), 1u);
    EXPECT_NE(state.applied[0].find(L"SOFTWARE.LOG1: 1 entry (9)"), std::wstring::npos) << ToUtf8(state.applied[0]);

    const CliRun run = Search(L"old", {L"--names"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    std::vector<std::string> keys;
    for (const auto& hit : Records(run.out, "hit")) keys.push_back(hit["key"].get<std::string>() + "\\" + hit["name"].get<std::string>());
    std::sort(keys.begin(), keys.end());
    EXPECT_EQ(keys, (std::vector<std::string>{"SOFTWARE\\App\\Added\\a", "SOFTWARE\\App\\Stays\\s"}))
        << "what Windows would see after its boot";
    EXPECT_EQ(Records(Search(L"logged").out, "hit").size(), 1u);
    const auto warnings = Records(run.out, "warning");
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0]["message"].get<std::string>().find("SOFTWARE.LOG1: 1 entry"), std::string::npos);
    EXPECT_NE(run.err.find("SOFTWARE.LOG1: 1 entry"), std::string::npos) << run.err;
    EXPECT_EQ(ReadAll(path), before);
    EXPECT_EQ(ReadAll(path + ".LOG1"), log);

    const CliRun raw = Search(L"old", {L"--names", L"--ignore-logs"});
    EXPECT_EQ(Records(raw.out, "hit").size(), 3u) << "the primary as it is on disk: v, Gone and Stays";
    EXPECT_NE(raw.err.find("--ignore-logs"), std::string::npos);
    EXPECT_EQ(RunCli({L"replace", L"--hive", FromUtf8(path), L"old", L"--with", L"x", L"--yes", L"--ignore-logs"}).exitCode, 2);
    EXPECT_EQ(ReadAll(path), before);
}

TEST_F(HiveLogsTest, EntriesGoOnFromOneLogIntoTheOtherAndStopAtABadHashOrAGap) {
    // Three entries as Windows writes them: 9 and 10 in LOG1, then the
    // switch to LOG2, numbered 11; the pages of the bins there were first,
    // then the new bins in two.
    const std::uint32_t oldBins = Get32(before, 0x28);
    std::vector<Entry> parts{{9, oldBins, {}}, {10, Get32(after, 0x28), {}}, {11, Get32(after, 0x28), {}}};
    std::vector<Page> added;
    for (const Page& page : pages) (page.offset < oldBins ? parts[0].pages : added).push_back(page);
    for (std::size_t i = 0; i < added.size(); ++i) parts[1 + (2 * i >= added.size())].pages.push_back(added[i]);
    Log(L"SOFTWARE.LOG1", NewFormatLog(after, 9, {parts[0], parts[1]}));
    Log(L"SOFTWARE.log2", NewFormatLog(after, 11, {parts[2]}));  // any case, as on a case-sensitive mount
    const HiveLogState whole = CheckTransactionLogs(path);
    ExpectRecoveredAsWritten(whole, 11);
    ASSERT_EQ(whole.applied.size(), 2u);
    EXPECT_EQ(ToUtf8(whole.applied[0]), "SOFTWARE.LOG1: 2 entries (9 to 10)");
    EXPECT_EQ(ToUtf8(whole.applied[1]), "SOFTWARE.log2: 1 entry (11)");
    EXPECT_EQ(whole.commitSequence, 12u);

    // A bad hash in the second: only the first applies, as the document
    // says, and LOG2 cannot follow.
    Entry bad = parts[1];
    bad.badHash = true;
    Log(L"SOFTWARE.LOG1", NewFormatLog(after, 9, {parts[0], bad}));
    const HiveLogState first = CheckTransactionLogs(path);
    ASSERT_TRUE(first.recovered) << ToUtf8(first.failure);
    const Bytes image = ImageOf(first);
    EXPECT_EQ(Get32(image, 4), 9u);
    for (const Page& page : parts[0].pages)
        EXPECT_TRUE(std::equal(page.bytes.begin(), page.bytes.end(), image.begin() + kBase + page.offset));
    for (const Page& page : parts[2].pages)
        EXPECT_FALSE(std::equal(page.bytes.begin(), page.bytes.end(), image.begin() + kBase + page.offset))
            << "nothing past the bad entry";
    // Nor from the other log, even where it holds the number that failed.
    Log(L"SOFTWARE.log2", NewFormatLog(after, 10, {parts[1], parts[2]}));
    const HiveLogState stopped = CheckTransactionLogs(path);
    ASSERT_EQ(stopped.applied.size(), 1u);
    EXPECT_EQ(ToUtf8(stopped.applied[0]), "SOFTWARE.LOG1: 1 entry (9)");
    Log(L"SOFTWARE.log2", NewFormatLog(after, 11, {parts[2]}));

    // A gap: 9, then 11.
    Log(L"SOFTWARE.LOG1", NewFormatLog(after, 9, {parts[0]}));
    const HiveLogState gap = CheckTransactionLogs(path);
    ASSERT_TRUE(gap.recovered);
    EXPECT_EQ(Get32(ImageOf(gap), 4), 9u);
    ASSERT_EQ(gap.applied.size(), 1u);
    EXPECT_EQ(ToUtf8(gap.applied[0]), "SOFTWARE.LOG1: 1 entry (9)");
}

// Where Windows starts: the log numbered lower among those not older than
// the hive's secondary number, from that number, whatever the hive's
// primary number is.
TEST_F(HiveLogsTest, ReplayStartsWhereTheLogsBaseBlocksSayAsWindowsStartsIt) {
    struct Case {
        const char* what;
        std::uint32_t primary, secondary;
        std::vector<std::pair<const wchar_t*, Bytes>> logs;
        std::uint32_t last;
        std::vector<std::string> applied;
    };
    Entry garbage = Whole(5);
    for (Page& page : garbage.pages) std::fill(page.bytes.begin(), page.bytes.end(), 0x5A);
    Entry garbage9 = garbage;
    garbage9.sequence = 9;
    const std::vector<Case> cases{
        {"the first entry at the hive's secondary number", 9, 8,
         {{L"SOFTWARE.LOG1", NewFormatLog(after, 8, {Whole(8)})}}, 8, {"SOFTWARE.LOG1: 1 entry (8)"}},
        {"logs far above the hive's numbers", 9, 8,
         {{L"SOFTWARE.LOG1", NewFormatLog(after, 40, {Whole(40), Whole(41)})},
          {L"SOFTWARE.LOG2", NewFormatLog(after, 42, {Whole(42)})}},
         42, {"SOFTWARE.LOG1: 2 entries (40 to 41)", "SOFTWARE.LOG2: 1 entry (42)"}},
        {"a stale LOG2, below the hive's secondary number, passed over", 9, 8,
         {{L"SOFTWARE.LOG1", NewFormatLog(after, 9, {Whole(9)})}, {L"SOFTWARE.LOG2", NewFormatLog(after, 5, {garbage})}},
         9, {"SOFTWARE.LOG1: 1 entry (9)"}},
        {"LOG2 numbered lower goes first", 9, 8,
         {{L"SOFTWARE.LOG1", NewFormatLog(after, 11, {Whole(11)})},
          {L"SOFTWARE.LOG2", NewFormatLog(after, 9, {garbage9, Whole(10)})}},
         11, {"SOFTWARE.LOG2: 2 entries (9 to 10)", "SOFTWARE.LOG1: 1 entry (11)"}},
    };
    for (const Case& item : cases) {
        SCOPED_TRACE(item.what);
        MarkDirty(before, item.primary, item.secondary);
        std::remove((path + ".LOG1").c_str());
        std::remove((path + ".LOG2").c_str());
        for (const auto& [name, bytes] : item.logs) Log(name, bytes);
        const HiveLogState state = CheckTransactionLogs(path);
        ExpectRecoveredAsWritten(state, item.last);
        std::vector<std::string> applied;
        for (const auto& line : state.applied) applied.push_back(ToUtf8(line));
        EXPECT_EQ(applied, item.applied);
    }
}

TEST_F(HiveLogsTest, ABadBaseBlockTakesOnlyTheLogHoldingTheLatestEntries) {
    Bytes broken = before;
    broken[0x30] ^= 0x55;
    WriteFileBytes(path, broken);
    Entry bad = Whole(9);
    bad.badHash = true;  // would stop everything, were LOG1 taken first
    Log(L"SOFTWARE.LOG1", NewFormatLog(after, 9, {bad}));
    Log(L"SOFTWARE.LOG2", NewFormatLog(after, 10, {Whole(10)}));
    const HiveLogState state = CheckTransactionLogs(path);
    ExpectRecoveredAsWritten(state, 10);
    ASSERT_EQ(state.applied.size(), 1u);
    EXPECT_EQ(ToUtf8(state.applied[0]), "SOFTWARE.LOG2: 1 entry (10)");
    EXPECT_EQ(Get32(ImageOf(state), 0x1C), 0u) << "a primary file's type, not the log's";
}

TEST_F(HiveLogsTest, TheBaseBlocksFlagBitComesFromTheLastEntryApplied) {
    Bytes flagged = before;
    Put32(flagged, 0x90, 0x3);
    MarkDirty(flagged, 9, 8);
    Entry first = Whole(9), last = Whole(10);
    first.flags = 1;
    Log(L"SOFTWARE.LOG1", NewFormatLog(after, 9, {first, last}));
    EXPECT_EQ(Get32(ImageOf(CheckTransactionLogs(path)), 0x90), 0x2u);
    last.flags = 1;
    Log(L"SOFTWARE.LOG1", NewFormatLog(after, 9, {Whole(9), last}));
    EXPECT_EQ(Get32(ImageOf(CheckTransactionLogs(path)), 0x90), 0x3u);
}

TEST_F(HiveLogsTest, AnOldFormatLogIsReplayed) {
    Log(L"SOFTWARE.LOG1", OldFormatLog(before, after));
    const HiveLogState state = CheckTransactionLogs(path);
    ExpectRecoveredAsWritten(state, 9);
    ASSERT_EQ(state.applied.size(), 1u);
    EXPECT_NE(state.applied[0].find(L"(old format)"), std::wstring::npos);
    // Of another time: not applicable.
    Bytes other = OldFormatLog(before, after);
    Put32(other, 0x0C, Get32(other, 0x0C) + 1);
    Seal(other);
    Log(L"SOFTWARE.LOG1", other);
    EXPECT_FALSE(CheckTransactionLogs(path).recovered);
}

// An old-format log that Windows was writing when it stopped (its own two
// numbers differ) or that is cut short in its pages is no log to apply.
TEST_F(HiveLogsTest, AnOldFormatLogTornOrCutShortIsRefused) {
    Bytes torn = OldFormatLog(before, after);
    Put32(torn, 8, Get32(torn, 4) - 1);
    Seal(torn);
    Log(L"SOFTWARE.LOG", torn);
    const HiveLogState tornState = CheckTransactionLogs(path);
    EXPECT_FALSE(tornState.recovered);
    EXPECT_EQ(Replace().exitCode, 2);
    EXPECT_EQ(ReadAll(path), before);

    Bytes cut = OldFormatLog(before, after);
    cut.resize(cut.size() - 512);
    Log(L"SOFTWARE.LOG", cut);
    const HiveLogState cutState = CheckTransactionLogs(path);
    EXPECT_FALSE(cutState.recovered);
    EXPECT_NE(cutState.failure.find(L"cut short"), std::wstring::npos) << ToUtf8(cutState.failure);
    EXPECT_EQ(Replace().exitCode, 2);
    EXPECT_EQ(ReadAll(path), before);
}

// An entry whose pages run past its own size names bytes that are not its:
// it does not check out, whatever its hashes say.
TEST_F(HiveLogsTest, AnEntryWhosePagesRunPastItsSizeIsRefused) {
    Bytes log = NewFormatLog(after, 9, {Whole(9)});
    const std::uint32_t size = Get32(log, 512 + 4);
    // The first page's length grown by a page: past the entry's end, yet
    // inside the hive's bins; the hashes made again.
    const std::uint32_t offset = Get32(log, 512 + 40), length = Get32(log, 512 + 44) + 4096;
    ASSERT_LE(offset + length, Get32(after, 0x28));
    Put32(log, 512 + 44, length);
    Bytes entry(log.begin() + 512, log.begin() + 512 + size);
    const std::uint64_t first = Marvin32(std::span(entry).subspan(40), kLogEntrySeed);
    for (int i = 0; i < 8; ++i) entry[24 + i] = static_cast<std::uint8_t>(first >> (8 * i));
    const std::uint64_t second = Marvin32(std::span(entry).first(32), kLogEntrySeed);
    for (int i = 0; i < 8; ++i) entry[32 + i] = static_cast<std::uint8_t>(second >> (8 * i));
    std::copy(entry.begin(), entry.end(), log.begin() + 512);
    log.resize(log.size() + 3 * size, 0x77);  // bytes past the entry that must never be written
    Log(L"SOFTWARE.LOG1", log);
    const HiveLogState state = CheckTransactionLogs(path);
    EXPECT_FALSE(state.recovered);
    EXPECT_NE(state.failure.find(L"outside"), std::wstring::npos) << ToUtf8(state.failure);
}

// The page table counts 8 bytes a page: an entry whose table and pages
// overrun its size by less than a byte a page is refused all the same.
TEST_F(HiveLogsTest, AnEntryWhosePageTableRunsPastItsSizeByAFewBytesIsRefused) {
    Bytes log = NewFormatLog(after, 9, {});
    log.resize(512);
    constexpr std::uint32_t kPages = 60;  // a table of 480 bytes: 520 with the header
    const std::uint32_t size = 512 + kPages * 4096;  // 8 bytes short of 520 + the pages
    Bytes entry(size, 0);
    std::memcpy(entry.data(), "HvLE", 4);
    Put32(entry, 4, size);
    Put32(entry, 12, 9);
    Put32(entry, 16, Get32(after, 0x28));
    Put32(entry, 20, kPages);
    for (std::uint32_t i = 0; i < kPages; ++i) {
        Put32(entry, 40 + 8 * i, 0);
        Put32(entry, 44 + 8 * i, 4096);
    }
    const std::uint64_t first = Marvin32(std::span(entry).subspan(40), kLogEntrySeed);
    for (int i = 0; i < 8; ++i) entry[24 + i] = static_cast<std::uint8_t>(first >> (8 * i));
    const std::uint64_t second = Marvin32(std::span(entry).first(32), kLogEntrySeed);
    for (int i = 0; i < 8; ++i) entry[32 + i] = static_cast<std::uint8_t>(second >> (8 * i));
    log.insert(log.end(), entry.begin(), entry.end());
    Log(L"SOFTWARE.LOG1", log);
    const HiveLogState state = CheckTransactionLogs(path);
    EXPECT_FALSE(state.recovered);
    EXPECT_NE(state.failure.find(L"outside"), std::wstring::npos) << ToUtf8(state.failure);
}

// Logs are found by name ignoring case, every letter of it (an NTFS disk
// mounted on Linux keeps the case Windows gave each file).
TEST(TransactionLogNames, EveryLetterIsMatchedIgnoringCase) {
    testing::ScratchFolder folder;
    folder.Write(L"lazy.hve", "hive");
    folder.Write(L"LAZY.HVE.LOG1", "log");
    folder.Write(L"Lazy.hve.log2", "log");
    folder.Write(L"lazz.hve.LOG1", "another hive's");
    const auto logs = TransactionLogPaths(ToUtf8(folder.Path(L"lazy.hve")));
    ASSERT_EQ(logs.size(), 2u);
    EXPECT_NE(logs[0].find("LAZY.HVE.LOG1"), std::string::npos);
    EXPECT_NE(logs[1].find("Lazy.hve.log2"), std::string::npos);
}

// A commit beside an old-format log numbered above the hive goes past it.
TEST_F(HiveLogsTest, ACommitGoesPastAnOldFormatLogNumberedAboveTheHive) {
    MarkDirty(before, 9, 9);
    Bytes log = OldFormatLog(before, after);
    Put32(log, 4, 40);
    Put32(log, 8, 40);
    Seal(log);
    Log(L"SOFTWARE.LOG", log);
    EXPECT_EQ(CheckTransactionLogs(path).commitSequence, 41u);
    ASSERT_EQ(Replace().exitCode, 0);
    EXPECT_EQ(Get32(ReadAll(path), 4), 41u);
    EXPECT_EQ(Get32(ReadAll(path), 8), 41u);
}

// A dirty hive's only log is an input: an output over it is refused and
// the logged change kept.
TEST_F(HiveLogsTest, AnOutputOverADirtyHivesOnlyLogIsRefused) {
    Log(L"SOFTWARE.LOG1", NewFormatLog(after, 9, {Whole(9)}));
    const Bytes log = ReadAll(path + ".LOG1");
    const CliRun run = Search(L"old", {L"--output", FromUtf8(path + ".LOG1")});
    EXPECT_EQ(run.exitCode, 2) << run.err;
    EXPECT_EQ(ReadAll(path + ".LOG1"), log);
    EXPECT_EQ(Records(Search(L"logged").out, "hit").size(), 1u) << "the logged change is still there";
}

// Sequence numbers wrap past 0xFFFFFFFF: a commit goes past every entry
// as wrapping numbers are ordered, never back below the hive's own.
TEST_F(HiveLogsTest, ACommitGoesPastEntriesNearTheTopOfTheNumbers) {
    struct Case {
        std::uint32_t hive;
        std::uint32_t first;  // of two entries in LOG1
        std::uint32_t commit;
    };
    for (const Case& item : {Case{0xFFFFFFF0u, 0xFFFFFFFEu, 0u}, Case{3, 0xFFFFFFFEu, 4}, Case{0xFFFFFFFFu, 0xFFFFFFFFu, 1}}) {
        SCOPED_TRACE(item.hive);
        MarkDirty(before, item.hive, item.hive);
        Log(L"SOFTWARE.LOG1", NewFormatLog(after, item.first, {Whole(item.first), Whole(item.first + 1)}));
        EXPECT_EQ(CheckTransactionLogs(path).commitSequence, item.commit);
        std::remove((path + ".keyscour-lock").c_str());
        ASSERT_EQ(Replace().exitCode, 0);
        EXPECT_EQ(Get32(ReadAll(path), 4), item.commit);
        EXPECT_EQ(Get32(ReadAll(path), 8), item.commit);
        std::filesystem::remove_all(ToUtf8(folder.Path(L"undo")));
    }
    // And a dirty hive's entries that wrap are replayed in their order.
    MarkDirty(before, 0xFFFFFFFFu, 0xFFFFFFFEu);
    Log(L"SOFTWARE.LOG1", NewFormatLog(after, 0xFFFFFFFFu, {Whole(0xFFFFFFFFu), Whole(0)}));
    const HiveLogState state = CheckTransactionLogs(path);
    ExpectRecoveredAsWritten(state, 0);
    EXPECT_EQ(state.commitSequence, 1u);
}

// A FIFO under a log's name beside a dirty hive is no log: it is neither
// waited on nor copied with the originals.
TEST_F(HiveLogsTest, AFifoUnderALogsNameBesideADirtyHiveIsPassedOver) {
    Log(L"SOFTWARE.LOG1", NewFormatLog(after, 9, {Whole(9)}));
    ASSERT_EQ(::mkfifo((path + ".LOG2").c_str(), 0600), 0);
    const std::string command = "timeout 20 '" + std::string(KEYSCOUR_CLI_PATH) + "' replace --hive '" + path +
                                "' old --with new --yes --undo-dir '" + ToUtf8(folder.Path(L"undo")) + "' >/dev/null 2>&1";
    const int status = std::system(command.c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(Records(Search(L"new added").out, "hit").size(), 1u) << "replayed and committed";
}

// Logs written on a disk of 4 KiB sectors (clustering factor 8) hold
// their first entry at 4096, not 512.
TEST_F(HiveLogsTest, ALogOfFourKilobyteSectorsIsReplayedFromItsSecondSector) {
    Bytes base = NewFormatLog(after, 9, {});
    Put32(base, 0x2C, 8);
    Seal(base);
    base.resize(4096, 0);
    Log(L"SOFTWARE.LOG1", testing::WithLogEntries(base, {Whole(9)}));
    ExpectRecoveredAsWritten(CheckTransactionLogs(path), 9);
}

// A log one number behind the hive, as the write before leaves it: a
// commit still goes past the hive's own number.
TEST_F(HiveLogsTest, ACommitGoesPastTheHiveBesideALogOneBehindIt) {
    MarkDirty(before, 9, 9);
    Log(L"SOFTWARE.LOG1", NewFormatLog(after, 8, {Whole(8)}));
    EXPECT_EQ(CheckTransactionLogs(path).commitSequence, 10u);
    ASSERT_EQ(Replace().exitCode, 0);
    EXPECT_EQ(Get32(ReadAll(path), 4), 10u);
}

// A temporary folder where no file can be made: the copy goes to memory.
TEST_F(HiveLogsTest, WithNoTemporaryFolderTheCopyIsMadeInMemory) {
    Log(L"SOFTWARE.LOG1", NewFormatLog(after, 9, {Whole(9)}));
    const CliRun run = RunCli({L"search", L"--hive", FromUtf8(path), L"logged", L"--format", L"jsonl"},
                              {"TMPDIR=" + ToUtf8(folder.Path(L"no-such-folder"))});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(Records(run.out, "hit").size(), 1u) << "the logs were replayed";
}

// A full temporary folder is not the logs' fault: the message says what
// failed, and where.
TEST_F(HiveLogsTest, APrivateCopyThatCannotBeWrittenIsSaidAsSuch) {
    Log(L"SOFTWARE.LOG1", NewFormatLog(after, 9, {Whole(9)}));
    const std::string temp = ToUtf8(folder.Path(L"tmp"));
    std::filesystem::create_directory(temp);
    // A file size limit below the hive's: the copy's write fails.
    const std::string command = "ulimit -f 8; TMPDIR='" + temp + "' '" + std::string(KEYSCOUR_CLI_PATH) +
                                "' replace --hive '" + path + "' old --with new --yes --undo-dir '" +
                                ToUtf8(folder.Path(L"undo")) + "' 2>'" + temp + "/err'";
    const int status = std::system(("bash -c \"" + command + "\"").c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << status;
    const std::string err = testing::ReadFileBytes(FromUtf8(temp + "/err"));
    EXPECT_NE(err.find("private copy"), std::string::npos) << err;
    EXPECT_NE(err.find(temp), std::string::npos) << err;
    EXPECT_EQ(err.find("boot Windows once"), std::string::npos) << err;
    EXPECT_EQ(ReadAll(path), before);
}

TEST_F(HiveLogsTest, ABaseBlockThatDoesNotCheckOutIsTakenFromTheLog) {
    Bytes broken = before;
    broken[0x30] ^= 0x55;  // its file name, the checksum left as it was
    WriteFileBytes(path, broken);
    Log(L"SOFTWARE.LOG1", NewFormatLog(after, 9, {Whole(9)}));
    const HiveLogState state = CheckTransactionLogs(path);
    EXPECT_TRUE(state.dirty);
    EXPECT_NE(state.reasons[0].find(L"checksum"), std::wstring::npos);
    ExpectRecoveredAsWritten(state, 9);
    EXPECT_EQ(ImageOf(state)[0x30], after[0x30]);
}

TEST_F(HiveLogsTest, AReplaceOverADirtyHiveWritesTheRecoveredHiveAndKeepsTheOriginals) {
    Log(L"SOFTWARE.LOG1", NewFormatLog(after, 9, {Whole(9)}));
    Log(L"SOFTWARE.LOG2", NewFormatLog(after, 9, {}));
    const Bytes log1 = ReadAll(path + ".LOG1"), log2 = ReadAll(path + ".LOG2");
    const CliRun run = Replace();
    ASSERT_EQ(run.exitCode, 0) << run.err;
    // The recovered contents plus the change.
    HiveRegistry reread(path, false);
    KeyHandle key = 0;
    EXPECT_EQ(reread.OpenKey(HiveRegistry::kRoot, L"App\\Gone", key), status::kNotFound);
    ASSERT_EQ(reread.OpenKey(HiveRegistry::kRoot, L"App\\Added", key), 0u);
    std::uint32_t type = 0;
    Bytes data;
    ASSERT_EQ(reread.QueryValue(key, L"a", type, data), 0u);
    EXPECT_EQ(data, StringData(L"new added"));
    // No entry of the logs beside it applies any more.
    const HiveLogState now = CheckTransactionLogs(path);
    EXPECT_FALSE(now.dirty);
    EXPECT_GT(Get32(ReadAll(path), 4), 9u);
    EXPECT_EQ(ReadAll(path + ".LOG1"), log1);
    // The originals, as they were, named in the output.
    const auto originals = Records(run.out, "originals");
    ASSERT_EQ(originals.size(), 1u) << run.out;
    const std::string kept = originals[0]["path"];
    EXPECT_EQ(ReadAll(kept + "/SOFTWARE"), before);
    EXPECT_EQ(ReadAll(kept + "/SOFTWARE.LOG1"), log1);
    EXPECT_EQ(ReadAll(kept + "/SOFTWARE.LOG2"), log2);
    struct stat info {};
    ASSERT_EQ(::stat((kept + "/SOFTWARE").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_NE(run.err.find("originals: " + kept), std::string::npos);

    // Undo gives back the recovered hive's values.
    std::wstring undoFile;
    for (const auto& file : FilesIn(L"undo"))
        if (file.size() > 4 && file.substr(file.size() - 4) == L".reg") undoFile = file;
    ASSERT_FALSE(undoFile.empty());
    ASSERT_EQ(RunCli({L"undo", L"--hive", FromUtf8(path), undoFile}).exitCode, 0);
    EXPECT_EQ(Records(Search(L"old added").out, "hit").size(), 1u);
}

TEST_F(HiveLogsTest, LogsThatCannotBeAppliedRefuseAWriteAndWarnASearch) {
    struct Case {
        const char* what;
        std::function<void()> make;
    };
    const std::vector<Case> cases{
        {"a bad hash in the first entry",
         [&] {
             Entry bad = Whole(9);
             bad.badHash = true;
             Log(L"SOFTWARE.LOG1", NewFormatLog(after, 9, {bad}));
         }},
        {"an entry cut short",
         [&] {
             Bytes log = NewFormatLog(after, 9, {Whole(9)});
             log.resize(log.size() - 512);
             Log(L"SOFTWARE.LOG1", log);
         }},
        {"an entry past the hive's number", [&] { Log(L"SOFTWARE.LOG1", NewFormatLog(after, 9, {Whole(10)})); }},
        {"no log at all", [&] { std::remove((path + ".LOG1").c_str()); }},
        {"a log base block that does not check out while the hive's does not either",
         [&] {
             Bytes broken = before;
             broken[0x30] ^= 0x55;
             WriteFileBytes(path, broken);
             Bytes log = NewFormatLog(after, 9, {Whole(9)});
             log[0x31] ^= 0x55;
             Log(L"SOFTWARE.LOG1", log);
         }},
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.what);
        WriteFileBytes(path, before);
        item.make();
        const Bytes hive = ReadAll(path), log = ReadAll(path + ".LOG1");
        const HiveLogState state = CheckTransactionLogs(path);
        EXPECT_TRUE(state.dirty);
        EXPECT_FALSE(state.recovered);
        EXPECT_FALSE(state.failure.empty());
        const CliRun refused = Replace();
        EXPECT_EQ(refused.exitCode, 2) << refused.err;
        EXPECT_NE(refused.err.find("cannot be applied"), std::string::npos) << refused.err;
        EXPECT_EQ(ReadAll(path), hive);
        EXPECT_EQ(ReadAll(path + ".LOG1"), log);
        EXPECT_TRUE(FilesIn(L"undo").empty()) << "no undo file, no originals";
        // Searched as it is on disk, when hivex can read it that way.
        const CliRun search = Search(L"old");
        EXPECT_NE(search.err.find("cannot be applied"), std::string::npos) << search.err;
        if (BaseBlockChecksOut(hive)) {
            EXPECT_EQ(search.exitCode, 0) << search.err;
            EXPECT_EQ(Records(search.out, "hit").size(), 3u) << "the primary as it is";
        } else {
            EXPECT_EQ(search.exitCode, 2) << search.err;
        }
    }
}

TEST_F(HiveLogsTest, LogsBesideACleanHiveAreLeftAloneAndACommitGoesPastThem) {
    MarkDirty(before, 9, 9);  // clean, at 9
    Log(L"SOFTWARE.LOG1", NewFormatLog(after, 9, {Whole(9), Whole(10)}));
    Log(L"SOFTWARE.LOG2", {});
    const Bytes log = ReadAll(path + ".LOG1");
    const HiveLogState state = CheckTransactionLogs(path);
    EXPECT_FALSE(state.dirty);
    EXPECT_FALSE(state.recovered);
    EXPECT_EQ(state.commitSequence, 11u);
    const CliRun search = Search(L"old");
    EXPECT_EQ(Records(search.out, "warning").size(), 0u) << search.out;
    EXPECT_EQ(Records(search.out, "hit").size(), 3u) << "the primary, not the logs";
    const CliRun run = Replace();
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const Bytes committed = ReadAll(path);
    EXPECT_EQ(Get32(committed, 4), 11u) << "past every entry beside it";
    EXPECT_EQ(Get32(committed, 8), 11u);
    EXPECT_TRUE(BaseBlockChecksOut(committed));
    EXPECT_TRUE(Records(run.out, "originals").empty());
    EXPECT_EQ(ReadAll(path + ".LOG1"), log);
    EXPECT_FALSE(CheckTransactionLogs(path).dirty);
}

TEST_F(HiveLogsTest, ATombstoneIsListedNeverReplacedNorKeptForUndo) {
    MarkDirty(after, 3, 3);
    Bytes hive = ReadAll(path);
    hive_h* h = hivex_open(path.c_str(), 0);
    const hive_node_h app = hivex_node_get_child(h, hivex_root(h), "App");
    const std::size_t vk = hivex_node_get_value(h, app, "v");
    hivex_close(h);
    hive[vk + 20] |= 0x02;  // deleted in this layer
    WriteFileBytes(path, hive);
    const Bytes marked = ReadAll(path);
    const CliRun search = Search(L"v", {L"--names", L"--key", L"App"});
    const auto hits = Records(search.out, "hit");
    ASSERT_EQ(hits.size(), 1u) << search.out;
    EXPECT_EQ(hits[0]["tombstone"], true);
    EXPECT_EQ(hits[0]["type"], "REG_NONE");
    EXPECT_EQ(hits[0]["data"], "");
    const CliRun replace = RunCli({L"replace", L"--hive", FromUtf8(path), L"logged", L"--with", L"x", L"--yes",
                                   L"--undo-dir", folder.Path(L"undo"), L"--format", L"jsonl"});
    EXPECT_EQ(replace.exitCode, 1) << replace.out << replace.err;
    EXPECT_EQ(ReadAll(path), marked);
    EXPECT_TRUE(FilesIn(L"undo").empty());
}

TEST_F(HiveLogsTest, AReplaceOverADirtyHiveThatStopsOrCannotKeepItsOriginalsLeavesNothing) {
    Log(L"SOFTWARE.LOG1", NewFormatLog(after, 9, {Whole(9)}));
    const Bytes log = ReadAll(path + ".LOG1");
    const CliRun stopped = RunCli({L"replace", L"--hive", FromUtf8(path), L"old", L"--with", L"new", L"--yes",
                                   L"--undo-dir", folder.Path(L"undo"), L"--format", L"jsonl"},
                                  {"KEYSCOUR_TEST_SIGNAL_AT=commit"});
    EXPECT_EQ(stopped.exitCode, 130) << stopped.err;
    EXPECT_EQ(ReadAll(path), before);
    EXPECT_EQ(ReadAll(path + ".LOG1"), log);
    EXPECT_TRUE(FilesIn(L"undo").empty()) << "the originals and the undo file go when nothing was committed";
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(ToUtf8(folder.Path(L"undo")), ignored))
        ADD_FAILURE() << "left in the undo folder: " << entry.path();

    folder.Write(L"a-file", "where the undo folder would be");
    const CliRun refused = RunCli({L"replace", L"--hive", FromUtf8(path), L"old", L"--with", L"new", L"--yes",
                                   L"--undo-dir", folder.Path(L"a-file/undo")});
    EXPECT_EQ(refused.exitCode, 2) << refused.err;
    EXPECT_NE(refused.err.find("could not be kept"), std::string::npos) << refused.err;
    EXPECT_EQ(ReadAll(path), before);
}

// A run killed (SIGKILL) mid-replace leaves its undo file's temporary, the
// copies of the dirty hive's files and its new file. The next run under
// the lock settles them by where the kill came: before the rename nothing
// changed, and an undo file would "restore" what never was; after it, the
// undo file is the only way back and is published.
TEST_F(HiveLogsTest, WhatARunKilledBeforeOrAfterItsCommitLeftIsSettledByTheNextRunUnderTheLock) {
    Log(L"SOFTWARE.LOG1", NewFormatLog(after, 9, {Whole(9)}));
    const auto inUndo = [&] {
        std::vector<std::string> names;
        std::error_code ignored;
        for (const auto& entry : std::filesystem::directory_iterator(ToUtf8(folder.Path(L"undo")), ignored))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    };
    const auto kindOf = [](const std::string& name) -> std::string {
        return name.starts_with(".keyscour-undo")                ? "temporary"
               : name.find(" originals ") != std::string::npos ? "originals"
               : name.ends_with(".reg")                       ? "undo"
                                                              : "other:" + name;
    };
    const auto kinds = [&](const std::vector<std::string>& names) {
        std::vector<std::string> found;
        for (const auto& name : names) found.push_back(kindOf(name));
        std::sort(found.begin(), found.end());
        std::string kinds;
        for (const auto& kind : found) kinds += kind + " ";
        return kinds;
    };
    const auto replaceKilledAt = [&](const char* stage) {
        return RunCli({L"replace", L"--hive", FromUtf8(path), L"old", L"--with", L"new", L"--yes", L"--undo-dir",
                       folder.Path(L"undo"), L"--format", L"jsonl"},
                      {std::string("KEYSCOUR_TEST_SIGNAL_AT=") + stage + ":9"});
    };

    // Killed before the rename.
    EXPECT_EQ(replaceKilledAt("commit").exitCode, 128 + SIGKILL);
    EXPECT_EQ(ReadAll(path), before);
    const auto leftBefore = inUndo();
    EXPECT_EQ(kinds(leftBefore), "originals temporary ") << "what the kill leaves, which the next run must settle";
    EXPECT_EQ(Search(L"zzz").err.find("removed"), std::string::npos) << "a search takes no lock and settles nothing";
    const CliRun next = RunCli({L"replace", L"--hive", FromUtf8(path), L"stays", L"--with", L"kept", L"--yes",
                                L"--undo-dir", folder.Path(L"undo"), L"--format", L"jsonl"});
    ASSERT_EQ(next.exitCode, 0) << next.err;
    for (const auto& name : leftBefore)
        EXPECT_NE(next.err.find("removed " + ToUtf8(folder.Path(L"undo/")) + name), std::string::npos)
            << name << " said as removed in: " << next.err;
    EXPECT_EQ(kinds(inUndo()), "originals undo ") << "only the next run's own";
    EXPECT_EQ(Records(Search(L"old added").out, "hit").size(), 1u) << "the killed run's change was never made";

    // Killed after the rename: the change stands, and its undo file with it.
    WriteFileBytes(path, before);
    std::filesystem::remove_all(ToUtf8(folder.Path(L"undo")));
    EXPECT_EQ(replaceKilledAt("committed").exitCode, 128 + SIGKILL);
    EXPECT_EQ(Records(Search(L"new added").out, "hit").size(), 1u);
    EXPECT_EQ(kinds(inUndo()), "originals temporary ");
    const CliRun settles = RunCli({L"replace", L"--hive", FromUtf8(path), L"zzz", L"--with", L"y", L"--yes",
                                   L"--undo-dir", folder.Path(L"undo"), L"--format", L"jsonl"});
    EXPECT_EQ(settles.exitCode, 1) << settles.err;
    EXPECT_NE(settles.err.find("was published: "), std::string::npos) << settles.err;
    EXPECT_NE(settles.err.find("stay in "), std::string::npos) << settles.err;
    ASSERT_EQ(kinds(inUndo()), "originals undo ");
    std::map<std::string, std::string> named;
    for (const auto& name : inUndo()) named[kindOf(name)] = ToUtf8(folder.Path(L"undo/")) + name;
    EXPECT_EQ(ReadAll(named["originals"] + "/SOFTWARE"), before);
    ASSERT_EQ(RunCli({L"undo", L"--hive", FromUtf8(path), FromUtf8(named["undo"])}).exitCode, 0);
    EXPECT_EQ(Records(Search(L"old added").out, "hit").size(), 1u) << "the published file undoes the change";
    const std::string lock = testing::ReadFileBytes(FromUtf8(path + ".keyscour-lock"));
    EXPECT_EQ(lock.find('\n'), lock.size() - 1) << "settled, the lock file holds only a pid: " << lock;
}

// A record in a lock file is text anyone with the folder's rights may have
// written: only this tool's own kinds of files are removed by it.
TEST_F(HiveLogsTest, ALockFilesRecordRemovesNothingButThisToolsOwnLeftovers) {
    MarkDirty(before, 9, 9);
    folder.Write(L"keep/important.txt", "mine");
    folder.Write(L"keep/SOFTWARE originals 2026/file", "a link's target");
    std::filesystem::create_directory_symlink(ToUtf8(folder.Path(L"keep/SOFTWARE originals 2026")),
                                              ToUtf8(folder.Path(L"SOFTWARE originals link")));
    folder.Write(L"SOFTWARE.keyscour-lock", "1\nundo " + ToUtf8(folder.Path(L"keep/important.txt")) +
                                                "\noriginals " + ToUtf8(folder.Path(L"keep")) + "\noriginals " +
                                                ToUtf8(folder.Path(L"SOFTWARE originals link")) + "\n");
    const CliRun run = RunCli({L"replace", L"--hive", FromUtf8(path), L"zzz", L"--with", L"y", L"--yes",
                               L"--undo-dir", folder.Path(L"undo")});
    EXPECT_EQ(run.exitCode, 1) << run.err;
    EXPECT_EQ(testing::ReadFileBytes(folder.Path(L"keep/important.txt")), "mine");
    EXPECT_EQ(testing::ReadFileBytes(folder.Path(L"keep/SOFTWARE originals 2026/file")), "a link's target");
    EXPECT_TRUE(std::filesystem::is_symlink(ToUtf8(folder.Path(L"SOFTWARE originals link"))));
}

TEST_F(HiveLogsTest, AnUndoOverADirtyHiveKeepsTheOriginalsBesideItsFile) {
    Log(L"SOFTWARE.LOG1", NewFormatLog(after, 9, {Whole(9)}));
    folder.Write(L"fix.reg", "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\App]\r\n"
                                  "\"v\"=\"undone\"\r\n");
    const CliRun run = RunCli({L"undo", L"--hive", FromUtf8(path), folder.Path(L"fix.reg"), L"--accept-unterminated"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const std::size_t said = run.err.find("originals: ");
    ASSERT_NE(said, std::string::npos) << run.err;
    const std::string kept = run.err.substr(said + 11, run.err.find('\n', said) - said - 11);
    EXPECT_EQ(kept.rfind(ToUtf8(folder.Path(L"SOFTWARE originals")), 0), 0u) << "beside the undo file: " << kept;
    EXPECT_EQ(ReadAll(kept + "/SOFTWARE"), before) << "kept once committed";
    EXPECT_EQ(Records(Search(L"undone").out, "hit").size(), 1u);
}

}  // namespace
}  // namespace keyscour
