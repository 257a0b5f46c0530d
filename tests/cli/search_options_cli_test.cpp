// The search options over hives: last-write times as hivex's own hivexml
// reads them from the real hive Windows wrote, and the --since and --until
// filters over them.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <map>
#include <set>

#include "base/utf16.h"
#include "base/utf8.h"
#include "registry/value_forms.h"
#include "tests/support/blank_hive.h"
#include "tests/cli/cli_runner.h"

namespace keyscour {
namespace {

using testing::CliRun;
using testing::RunCli;
using Json = nlohmann::json;

std::string Real(const std::string& name) { return std::string(KEYSCOUR_REAL_HIVES_DIR) + "/dirty-usrclass/" + name; }

std::string Unescaped(std::string text) {
    static const std::pair<const char*, const char*> kEntities[] = {
        {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&apos;", "'"}, {"&amp;", "&"}};
    for (const auto& [entity, character] : kEntities)
        for (std::size_t at = 0; (at = text.find(entity, at)) != std::string::npos; ++at)
            text.replace(at, std::strlen(entity), character);
    return text;
}

// Every key below the root and its mtime, as hivexml writes them.
std::map<std::string, std::string> HivexTimes(const std::string& hive) {
    std::string xml;
    if (std::FILE* pipe = popen(("hivexml '" + hive + "' 2>/dev/null").c_str(), "r")) {
        char buffer[65536];
        for (std::size_t read; (read = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) xml.append(buffer, read);
        pclose(pipe);
    }
    std::map<std::string, std::string> times;
    std::vector<std::string> path;
    for (std::size_t at = 0; at < xml.size();) {
        if (xml.compare(at, 12, "<node name=\"") == 0) {
            const std::size_t end = xml.find('"', at + 12);
            path.push_back(Unescaped(xml.substr(at + 12, end - at - 12)));
            const std::size_t mtime = xml.find("<mtime>", end);
            std::string key;
            for (std::size_t i = 1; i < path.size(); ++i) key += (i > 1 ? "\\" : "") + path[i];
            if (path.size() > 1) times[key] = xml.substr(mtime + 7, 20);
            at = end;
        } else if (xml.compare(at, 7, "</node>") == 0) {
            path.pop_back();
            at += 7;
        } else if (xml.compare(at, 13, "<node name=\"\"") == 0) {
            ++at;
        } else {
            ++at;
        }
    }
    return times;
}

// Every key row of a JSON Lines run below the mount and its written time.
std::map<std::string, std::string> RowTimes(const std::string& out) {
    std::map<std::string, std::string> times;
    for (const auto& line : testing::Lines(out)) {
        const Json record = Json::parse(line);
        if (record["kind"] != "hit" || !record["name"].is_null()) continue;
        const std::string key = record["key"].get<std::string>();
        times[key.substr(key.find('\\') + 1)] = record["written"].is_null() ? "null" : record["written"].get<std::string>();
    }
    return times;
}

class RealHiveTimes : public ::testing::Test {
protected:
    CliRun Keys(const std::string& hive, std::vector<std::wstring> more = {}) {
        std::vector<std::wstring> arguments{L"search", L"--hive", FromUtf8(hive) + L"=HKU\\S-1-5-21-1_Classes", L"",
                                            L"--in", L"keys", L"--format", L"jsonl", L"--quiet"};
        arguments.insert(arguments.end(), more.begin(), more.end());
        return RunCli(arguments);
    }
    testing::ScratchFolder folder;
};

TEST_F(RealHiveTimes, EveryKeysTimeIsHivexsAndTheLogsReplayedGiveTheRecoveredTimes) {
    const std::string recovered = Real("recovered-by-an-independent-parser");
    const auto expected = HivexTimes(recovered);
    ASSERT_GT(expected.size(), 1000u);
    std::set<std::string> distinct;
    for (const auto& [key, time] : expected) distinct.insert(time);
    ASSERT_GT(distinct.size(), 50u) << "times enough to tell keys apart";

    const CliRun clean = Keys(recovered);
    ASSERT_EQ(clean.exitCode, 0) << clean.err;
    EXPECT_TRUE(RowTimes(clean.out) == expected) << RowTimes(clean.out).size() << " keys against " << expected.size();

    // The dirty hive beside its logs: what the replay gives, times and all.
    const CliRun dirty = Keys(Real("UsrClass.dat"));
    ASSERT_EQ(dirty.exitCode, 0) << dirty.err;
    EXPECT_TRUE(RowTimes(dirty.out) == expected);
}

TEST_F(RealHiveTimes, SinceAndUntilKeepTheKeysWrittenInBetween) {
    const std::string recovered = Real("recovered-by-an-independent-parser");
    const auto all = HivexTimes(recovered);
    const auto between = [&](const std::string& since, const std::string& until) {
        std::map<std::string, std::string> kept;
        for (const auto& [key, time] : all)
            if (time >= since && time <= until) kept[key] = time;
        return kept;
    };
    struct Range {
        std::vector<std::wstring> options;
        std::string since, until;
    };
    const Range ranges[] = {
        {{L"--since", L"2018-04-04"}, "2018-04-04T00:00:00Z", "9999"},
        {{L"--until", L"2018-03-27T09:20:03Z"}, "0", "2018-03-27T09:20:03Z"},
        {{L"--since", L"2018-03-27T11:20:03+02:00", L"--until", L"2018-04-05 02:45:21"}, "2018-03-27T09:20:03Z",
         "2018-04-05T02:45:21Z"},
    };
    for (const auto& range : ranges) {
        const auto expected = between(range.since, range.until);
        ASSERT_FALSE(expected.empty()) << range.since;
        ASSERT_LT(expected.size(), all.size()) << range.since;
        const CliRun run = Keys(recovered, range.options);
        EXPECT_EQ(run.exitCode, 0) << run.err;
        EXPECT_TRUE(RowTimes(run.out) == expected) << range.since << ".." << range.until << ": " << RowTimes(run.out).size()
                                                   << " keys against " << expected.size();
        const Json summary = Json::parse(testing::Lines(run.out).back());
        EXPECT_EQ(summary["hits"], expected.size()) << "what is left out is no hit";
    }

    for (const std::vector<std::wstring>& refused : {std::vector<std::wstring>{L"--since", L"2018-02-30"},
                                                     {L"--until", L"yesterday"},
                                                     {L"--since", L"2018-04-04T25:00"},
                                                     {L"--since", L"2018-04-05", L"--until", L"2018-04-04"}}) {
        const CliRun run = Keys(recovered, refused);
        EXPECT_EQ(run.exitCode, 2) << ToUtf8(refused[1]);
        EXPECT_EQ(run.out, "");
    }
    // A .reg file keeps no times: a filter on them is refused.
    folder.Write(L"x.reg", "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\X]\r\n\"a\"=\"b\"\r\n");
    const CliRun reg = RunCli({L"search", L"--reg-file", folder.Path(L"x.reg"), L"b", L"--since", L"2018-01-01"});
    EXPECT_EQ(reg.exitCode, 2);
    EXPECT_NE(reg.err.find("no last-write times"), std::string::npos) << reg.err;
    const CliRun plain = RunCli({L"search", L"--reg-file", folder.Path(L"x.reg"), L"b", L"--format", L"jsonl"});
    EXPECT_NE(plain.out.find("\"written\":null"), std::string::npos) << plain.out;
}

// A replace leaves what is excluded as it was, and its undo file holds
// nothing of it.
TEST(HiveExclusions, AReplaceAndItsUndoFileLeaveOutWhatIsExcluded) {
    testing::ScratchFolder folder;
    const std::string hive = ToUtf8(folder.Path(L"SOFTWARE"));
    ASSERT_TRUE(MakeHiveOf(hive, {{L"App", L"Path", 1, StringData(L"C:\\Old\\app")},
                                  {L"App", L"Keep", 1, StringData(L"C:\\Old\\keep")},
                                  {L"App\\Skip\\Deep", L"Path", 1, StringData(L"C:\\Old\\deep")}}));
    const CliRun run = RunCli({L"replace", L"--hive", FromUtf8(hive), L"C:\\Old", L"--with", L"D:\\New", L"--yes",
                               L"--exclude", L"SOFTWARE\\App\\Skip", L"--exclude-name", L"keep", L"--undo-dir",
                               folder.Path(L"undo"), L"--format", L"jsonl"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(ReadHiveValue(hive, L"App", L"Path")->second, StringData(L"D:\\New\\app"));
    EXPECT_EQ(ReadHiveValue(hive, L"App", L"Keep")->second, StringData(L"C:\\Old\\keep"));
    EXPECT_EQ(ReadHiveValue(hive, L"App\\Skip\\Deep", L"Path")->second, StringData(L"C:\\Old\\deep"));
    std::wstring undo;
    for (const auto& file : folder.Files())
        if (file.find(L"/undo/") != std::wstring::npos) {
            const std::string bytes = testing::ReadFileBytes(file);
            undo = DecodeUtf16Le(reinterpret_cast<const std::uint8_t*>(bytes.data()) + 2, bytes.size() - 2);
        }
    EXPECT_NE(undo.find(L"\"Path\"=\"C:\\\\Old\\\\app\""), std::wstring::npos) << ToUtf8(undo);
    EXPECT_EQ(undo.find(L"Skip"), std::wstring::npos) << ToUtf8(undo);
    EXPECT_EQ(undo.find(L"Keep"), std::wstring::npos) << ToUtf8(undo);
}

}  // namespace
}  // namespace keyscour
