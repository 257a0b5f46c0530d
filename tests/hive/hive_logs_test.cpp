// Hives whose transaction logs were not applied: found from headers alone,
// never written, searched with a warning.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "base/utf8.h"
#include "cli_runner.h"
#include "registry/blank_hive.h"
#include "registry/hive_logs.h"
#include "registry/hive_registry.h"

namespace keyscour {
namespace {

using testing::CliRun;
using testing::RunCli;
using Bytes = std::vector<std::uint8_t>;

void Put32(Bytes& bytes, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// A log of the Windows 8.1 form: its base block in the first sector, then
// one entry per sequence number given, entryBytes each (a real entry holds
// its pages after its header, so it spans sectors).
Bytes NewFormatLog(const std::vector<std::uint32_t>& entries, std::uint32_t ownSequence = 1,
                   std::uint32_t entryBytes = 512) {
    Bytes log(512, 0);
    std::copy_n("regf", 4, log.begin());
    Put32(log, 0x04, ownSequence);
    Put32(log, 0x08, ownSequence);
    Put32(log, 0x1C, 6);
    Put32(log, 0x2C, 1);
    for (std::uint32_t sequence : entries) {
        Bytes entry(entryBytes, 0);
        std::copy_n("HvLE", 4, entry.begin());
        Put32(entry, 4, entryBytes);
        for (std::size_t at = 512; at < entry.size(); ++at) entry[at] = static_cast<std::uint8_t>(at * 7);
        Put32(entry, 12, sequence);
        Put32(entry, 16, 4096);
        log.insert(log.end(), entry.begin(), entry.end());
    }
    return log;
}

std::string ReadAll(const std::string& path) { return testing::ReadFileBytes(FromUtf8(path)); }

class HiveLogsTest : public ::testing::Test {
protected:
    // A SOFTWARE hive with one value, its sequence numbers as given.
    void MakeHive(std::uint32_t primary, std::uint32_t secondary) {
        path = ToUtf8(folder.Path(L"SOFTWARE"));
        WriteFileBytes(path, BlankHive());
        {
            HiveRegistry hive(path, true);
            KeyHandle key = 0;
            hive.CreateKey(HiveRegistry::kRoot, L"App", key);
            const Bytes data{'o', 0, 'l', 0, 'd', 0, 0, 0};
            hive.SetValue(key, L"v", 1, data.data(), static_cast<std::uint32_t>(data.size()));
            hive.CloseKey(key);
            hive.Commit();
        }
        std::string bytes = ReadAll(path);
        Bytes header(bytes.begin(), bytes.begin() + 4096);
        Put32(header, 4, primary);
        Put32(header, 8, secondary);
        Put32(header, 0x1FC, BaseBlockChecksum(header.data()));
        std::copy(header.begin(), header.end(), bytes.begin());
        folder.Write(L"SOFTWARE", bytes);
    }
    void Log(const wchar_t* name, const Bytes& bytes) { folder.Write(name, std::string(bytes.begin(), bytes.end())); }
    CliRun Replace() {
        return RunCli({L"replace", L"--hive", FromUtf8(path), L"old", L"--with", L"new", L"--yes", L"--undo-dir",
                       folder.Path(L"undo")});
    }
    testing::ScratchFolder folder;
    std::string path;
};

TEST_F(HiveLogsTest, EqualSequenceNumbersAreCleanAndWritable) {
    MakeHive(7, 7);
    Log(L"SOFTWARE.LOG1", {});                      // empty, as beside a clean hive
    Log(L"SOFTWARE.LOG2", NewFormatLog({3, 4, 5}));  // older entries only
    EXPECT_FALSE(CheckTransactionLogs(path).dirty);
    const std::string log2 = ReadAll(path + ".LOG2");
    const CliRun run = Replace();
    ASSERT_EQ(run.exitCode, 0) << run.err;
    // After our commit the hive is clean, and the old logs are not touched.
    const std::string bytes = ReadAll(path);
    const Bytes header(bytes.begin(), bytes.begin() + 4096);
    EXPECT_EQ(std::memcmp(header.data() + 4, header.data() + 8, 4), 0);
    std::uint32_t stored = 0;
    std::memcpy(&stored, header.data() + 0x1FC, 4);
    EXPECT_EQ(stored, BaseBlockChecksum(header.data()));
    EXPECT_FALSE(CheckTransactionLogs(path).dirty);
    EXPECT_EQ(ReadAll(path + ".LOG2"), log2);
    EXPECT_EQ(ReadAll(path + ".LOG1"), "");
}

TEST_F(HiveLogsTest, DifferingSequenceNumbersRefuseAReplaceAndWarnASearch) {
    MakeHive(9, 8);
    const std::string before = ReadAll(path);
    const CliRun refused = Replace();
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_NE(refused.err.find("SOFTWARE"), std::string::npos);
    EXPECT_NE(refused.err.find("transaction logs not applied"), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("9 and 8"), std::string::npos) << refused.err;
    EXPECT_EQ(ReadAll(path), before) << "byte for byte";
    EXPECT_FALSE(std::filesystem::exists(ToUtf8(folder.Path(L"undo")))) << "not even the undo file";

    const CliRun search = RunCli({L"search", L"--hive", FromUtf8(path), L"old"});
    EXPECT_EQ(search.exitCode, 0) << search.err;
    const auto lines = testing::Lines(search.out);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0].substr(0, 20), "{\"kind\":\"warning\",\"m") << "the first record";
    EXPECT_NE(lines[1].find("\"kind\":\"hit\""), std::string::npos);
    EXPECT_NE(search.err.find("recent changes may be missing"), std::string::npos) << "people read it too: " << search.err;
    // A log beside it is an input: no output may overwrite it.
    const std::string log = ToUtf8(folder.Path(L"SOFTWARE.LOG1"));
    WriteFileBytes(log, {});
    const CliRun overLog = RunCli({L"search", L"--hive", FromUtf8(path), L"old", L"--output", FromUtf8(log)});
    EXPECT_EQ(overLog.exitCode, 2) << overLog.err;
    EXPECT_NE(overLog.err.find("is the input"), std::string::npos) << overLog.err;
    EXPECT_EQ(ReadAll(log), "");
    const CliRun table = RunCli({L"search", L"--hive", FromUtf8(path), L"old", L"--format", L"csv"});
    EXPECT_EQ(testing::Lines(table.err).size(), 2u) << "one warning line and the summary: " << table.err;
    EXPECT_NE(table.err.find("recent changes may be missing"), std::string::npos);
}

TEST_F(HiveLogsTest, LogsBesideACleanHiveDecideByTheirEntries) {
    MakeHive(5, 5);
    Log(L"SOFTWARE.LOG1", NewFormatLog({4, 5}));  // an entry at the hive's number: not applied
    EXPECT_TRUE(CheckTransactionLogs(path).dirty);
    const std::string before = ReadAll(path);
    EXPECT_EQ(Replace().exitCode, 2);
    EXPECT_EQ(ReadAll(path), before);

    Log(L"SOFTWARE.LOG1", NewFormatLog({2, 3, 4}));  // all older
    EXPECT_FALSE(CheckTransactionLogs(path).dirty);

    Bytes oldFormat = NewFormatLog({}, 6);
    Put32(oldFormat, 0x1C, 1);
    Log(L"SOFTWARE.LOG1", oldFormat);
    EXPECT_TRUE(CheckTransactionLogs(path).dirty) << "an old-format log at a number above the hive's";
    Put32(oldFormat, 0x04, 2);
    Log(L"SOFTWARE.LOG1", oldFormat);
    EXPECT_FALSE(CheckTransactionLogs(path).dirty);
}

TEST_F(HiveLogsTest, ADirtyHiveNamesTheLogEntryPastItsPagesThatWasNotApplied) {
    MakeHive(6, 5);
    Log(L"SOFTWARE.LOG1", NewFormatLog({3, 4, 5}, 1, 512 + 2 * 4096));  // entries holding two pages each
    const HiveLogState state = CheckTransactionLogs(path);
    EXPECT_TRUE(state.dirty);
    ASSERT_EQ(state.reasons.size(), 2u);
    EXPECT_NE(state.reasons[1].find(L"SOFTWARE.LOG1"), std::wstring::npos);
    EXPECT_NE(state.reasons[1].find(L"sequence number 5,"), std::wstring::npos) << ToUtf8(state.reasons[1]);
    const std::string before = ReadAll(path);
    const CliRun run = Replace();
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find("LOG1"), std::string::npos) << run.err;
    EXPECT_EQ(ReadAll(path), before);
}

TEST_F(HiveLogsTest, DamagedLogsCountAsDirtyAndCrashNothing) {
    MakeHive(5, 5);
    const std::vector<Bytes> damaged{
        Bytes{'r', 'e', 'g'},                        // shorter than a header
        Bytes(512, 0xEE),                            // no signature
        [] {
            Bytes log = NewFormatLog({9});
            log[512] = 'X';  // the first entry's signature
            return log;
        }(),
        [] {
            Bytes log = NewFormatLog({9});
            Put32(log, 512 + 4, 100000);  // larger than the file
            return log;
        }(),
    };
    for (const auto& log : damaged) {
        Log(L"SOFTWARE.LOG2", log);
        const HiveLogState state = CheckTransactionLogs(path);
        EXPECT_TRUE(state.dirty);
        ASSERT_FALSE(state.reasons.empty());
        EXPECT_NE(state.reasons[0].find(L"SOFTWARE.LOG2"), std::wstring::npos);
    }
    const CliRun run = Replace();
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find("LOG2"), std::string::npos) << run.err;
}

}  // namespace
}  // namespace keyscour
