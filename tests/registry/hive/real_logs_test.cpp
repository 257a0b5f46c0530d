// A hive Windows 10 left dirty, with the two logs it wrote, against what an
// independent parser recovers from them: the replay must give the same
// bins, and the tests' own log writer must give the same log bytes.

#include <gtest/gtest.h>

#include <hivex.h>

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <tuple>

#include "base/utf16.h"
#include "base/utf8.h"
#include "registry/hive/hive_logs.h"
#include "tests/cli/cli_runner.h"
#include "tests/support/hive_log_writer.h"

namespace keyscour {
namespace {

using testing::Bytes;
using testing::Get32;
using testing::CliRun;
using testing::RunCli;
constexpr std::size_t kBase = 4096;

std::string Real(const std::string& name) { return std::string(KEYSCOUR_REAL_HIVES_DIR) + "/dirty-usrclass/" + name; }

Bytes ReadAll(const std::string& path) { return testing::ReadAllBytes(path); }
Bytes ImageOf(const HiveLogState& state) { return testing::RecoveredImage(state); }

// Every key and value of a hive as hivex reads it: (key path, value name)
// to (type, data); a key's own row has the name "\x01key".
using Rows = std::map<std::pair<std::string, std::string>, std::pair<std::uint32_t, Bytes>>;

void Collect(hive_h* h, hive_node_h node, const std::string& path, Rows& rows) {
    rows[{path, "\x01key"}] = {};
    if (hive_value_h* values = hivex_node_values(h, node)) {
        for (hive_value_h* value = values; *value; ++value) {
            char* name = hivex_value_key(h, *value);
            hive_type type{};
            std::size_t size = 0;
            char* data = hivex_value_value(h, *value, &type, &size);
            rows[{path, name ? name : "?"}] = {static_cast<std::uint32_t>(type),
                                               data ? Bytes(data, data + size) : Bytes{}};
            std::free(name);
            std::free(data);
        }
        std::free(values);
    }
    if (hive_node_h* children = hivex_node_children(h, node)) {
        for (hive_node_h* child = children; *child; ++child) {
            char* name = hivex_node_name(h, *child);
            Collect(h, *child, path + "\\" + (name ? name : "?"), rows);
            std::free(name);
        }
        std::free(children);
    }
}

Rows RowsOf(const std::string& path) {
    Rows rows;
    hive_h* h = hivex_open(path.c_str(), 0);
    EXPECT_NE(h, nullptr) << path;
    if (!h) return rows;
    Collect(h, hivex_root(h), "", rows);
    hivex_close(h);
    return rows;
}

std::size_t Count(const Rows& rows, bool keys) {
    return static_cast<std::size_t>(
        std::count_if(rows.begin(), rows.end(), [&](const auto& row) { return (row.first.second == "\x01key") == keys; }));
}

// The hive and its two logs copied where a test may change them.
class RealDirtyHive : public ::testing::Test {
protected:
    RealDirtyHive() : path(ToUtf8(folder.Path(L"UsrClass.dat"))) {
        for (const char* name : {"UsrClass.dat", "UsrClass.dat.LOG1", "UsrClass.dat.LOG2"}) {
            const Bytes bytes = ReadAll(Real(name));
            folder.Write(FromUtf8(name), std::string(bytes.begin(), bytes.end()));
        }
        recovered = ReadAll(Real("recovered-by-an-independent-parser"));
    }
    testing::ScratchFolder folder;
    std::string path;
    Bytes recovered;
};

TEST_F(RealDirtyHive, ItsLogsReplayToTheBinsAnIndependentParserRecovers) {
    ASSERT_GT(recovered.size(), kBase);
    const HiveLogState state = CheckTransactionLogs(path);
    EXPECT_TRUE(state.dirty);
    ASSERT_TRUE(state.recovered) << ToUtf8(state.failure);
    ASSERT_EQ(state.applied.size(), 2u);
    EXPECT_EQ(ToUtf8(state.applied[0]), "UsrClass.dat.LOG1: 4 entries (287 to 290)");
    EXPECT_EQ(ToUtf8(state.applied[1]), "UsrClass.dat.LOG2: 10 entries (291 to 300)");
    EXPECT_EQ(state.commitSequence, 301u);

    const Bytes image = ImageOf(state);
    const std::uint32_t bins = Get32(recovered, 0x28);
    ASSERT_GE(image.size(), kBase + bins);
    EXPECT_TRUE(std::equal(recovered.begin() + kBase, recovered.begin() + kBase + bins, image.begin() + kBase))
        << "the bins, byte for byte";
    // The base block: only the sequence numbers and the checksum may differ.
    for (std::size_t at = 0; at < kBase; ++at) {
        if ((at >= 4 && at < 12) || (at >= 0x1FC && at < 0x200)) continue;
        ASSERT_EQ(image[at], recovered[at]) << "base block byte " << at;
    }
    EXPECT_EQ(Get32(image, 4), 300u);
    EXPECT_EQ(Get32(image, 8), 300u);
    EXPECT_EQ(Get32(image, 0x1C), 0u) << "a primary file";

    // What hivex reads from either: 6,238 keys and 12,531 values.
    const Rows ours = RowsOf(state.ImagePath());
    EXPECT_EQ(Count(ours, true), 6238u);
    EXPECT_EQ(Count(ours, false), 12531u);
    EXPECT_TRUE(ours == RowsOf(Real("recovered-by-an-independent-parser")));
    const Rows stale = RowsOf(path);
    EXPECT_EQ(Count(stale, true), 6205u) << "the hive as it is on disk";
}

// Each real entry rebuilt from its pages by the tests' writer: the same
// bytes, headers, padding and both hashes included.
TEST_F(RealDirtyHive, TheTestsLogWriterWritesTheRealLogsByteForByte) {
    for (const char* name : {"UsrClass.dat.LOG1", "UsrClass.dat.LOG2"}) {
        SCOPED_TRACE(name);
        const Bytes log = ReadAll(Real(name));
        std::vector<testing::LogEntry> entries;
        std::size_t at = 512;
        while (at + 40 <= log.size() && std::memcmp(log.data() + at, "HvLE", 4) == 0) {
            testing::LogEntry entry{Get32(log, at + 12), Get32(log, at + 16), {}};
            entry.flags = Get32(log, at + 8);
            const std::uint32_t pages = Get32(log, at + 20);
            std::size_t data = at + 40 + 8 * std::size_t{pages};
            for (std::uint32_t i = 0; i < pages; ++i) {
                const std::uint32_t length = Get32(log, at + 40 + 8 * i + 4);
                entry.pages.push_back({Get32(log, at + 40 + 8 * i),
                                       Bytes(log.begin() + static_cast<std::ptrdiff_t>(data),
                                             log.begin() + static_cast<std::ptrdiff_t>(data + length))});
                data += length;
            }
            entries.push_back(std::move(entry));
            at += Get32(log, at + 4);
        }
        ASSERT_GE(entries.size(), 4u);
        const Bytes written = testing::WithLogEntries(Bytes(log.begin(), log.begin() + 512), entries);
        ASSERT_EQ(written.size(), at);
        for (std::size_t i = 0; i < at; ++i) ASSERT_EQ(written[i], log[i]) << "byte " << i;
    }
}

// The same text changed in every string value that holds it, as the tests
// compute it: UTF-16 units compared ignoring ASCII case.
Bytes Replaced(const Bytes& data, const std::u16string& text, const std::u16string& with) {
    std::u16string units(data.size() / 2, u'\0');
    for (std::size_t i = 0; i < units.size(); ++i) units[i] = static_cast<char16_t>(data[2 * i] | data[2 * i + 1] << 8);
    const auto lower = [](char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c; };
    std::u16string result;
    for (std::size_t i = 0; i < units.size();) {
        const bool hit = i + text.size() <= units.size() &&
                         std::equal(text.begin(), text.end(), units.begin() + static_cast<std::ptrdiff_t>(i),
                                    [&](char16_t a, char16_t b) { return lower(a) == lower(b); });
        if (hit) {
            result += with;
            i += text.size();
        } else {
            result += units[i++];
        }
    }
    Bytes bytes;
    for (char16_t unit : result) bytes.insert(bytes.end(), {static_cast<std::uint8_t>(unit), static_cast<std::uint8_t>(unit >> 8)});
    if (data.size() % 2) bytes.push_back(data.back());
    return bytes;
}

TEST_F(RealDirtyHive, AReplaceCommitsTheRecoveredDataWithTheChangeAndItsUndoGivesTheRecoveredDataBack) {
    const Rows before = RowsOf(Real("recovered-by-an-independent-parser"));
    const std::wstring mount = FromUtf8(path) + L"=HKCU\\Software\\Classes";
    const CliRun run = RunCli({L"replace", L"--hive", mount, L"txyewy", L"--with", L"a-much-longer-text-than-it-was",
                               L"--yes", L"--undo-dir", folder.Path(L"undo"), L"--format", L"jsonl", L"--quiet"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("UsrClass.dat.LOG2: 10 entries (291 to 300)"), std::string::npos) << run.err;

    const Rows after = RowsOf(path);
    ASSERT_EQ(after.size(), before.size());
    std::size_t changed = 0;
    for (const auto& [where, value] : before) {
        const auto found = after.find(where);
        ASSERT_NE(found, after.end()) << where.first << " " << where.second;
        const bool text = value.first == 1 || value.first == 2 || value.first == 7;
        const Bytes expected = text ? Replaced(value.second, u"txyewy", u"a-much-longer-text-than-it-was") : value.second;
        changed += expected != value.second;
        EXPECT_EQ(found->second.first, value.first) << where.first << " " << where.second;
        EXPECT_TRUE(found->second.second == expected) << where.first << " " << where.second;
    }
    EXPECT_GT(changed, 100u);
    EXPECT_EQ(Get32(ReadAll(path), 0x1C), 0u);
    EXPECT_FALSE(CheckTransactionLogs(path).dirty);

    std::wstring undoFile;
    for (const auto& file : folder.Files())
        if (file.find(folder.Path(L"undo") + L"/") == 0 && file.size() > 4 && file.substr(file.size() - 4) == L".reg")
            undoFile = file;
    ASSERT_FALSE(undoFile.empty());
    const CliRun undo = RunCli({L"undo", L"--hive", mount, undoFile});
    ASSERT_EQ(undo.exitCode, 0) << undo.err;
    EXPECT_TRUE(RowsOf(path) == before) << "the recovered data, as it was";
}

// An empty TEXT is in every text: each key and each value of a real hive
// is a hit, the default values with no data among them.
TEST_F(RealDirtyHive, AnEmptyTextListsEveryKeyAndEveryValue) {
    const std::string recovered = ToUtf8(folder.Path(L"recovered"));
    folder.Write(L"recovered", std::string(this->recovered.begin(), this->recovered.end()));
    const CliRun run = RunCli({L"search", L"--hive", FromUtf8(recovered) + L"=HKCU\\Software\\Classes", L"", L"--names",
                               L"--format", L"jsonl", L"--quiet"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    std::size_t keys = 0, values = 0, emptyDefaults = 0;
    for (const auto& line : testing::Lines(run.out)) {
        if (line.find("\"kind\":\"hit\"") == std::string::npos) continue;
        (line.find("\"name\":null") != std::string::npos ? keys : values) += 1;
        emptyDefaults += line.find("\"name\":\"\",\"type\":\"REG_SZ\",\"data\":\"\"") != std::string::npos;
    }
    EXPECT_EQ(keys, 6238u - 1) << "every key below the mount";
    EXPECT_EQ(values, 12531u);
    EXPECT_GT(emptyDefaults, 0u);
}

// A hive shorter than its base block says is refused before it is read,
// by search, replace and undo alike, and left as it is.
TEST_F(RealDirtyHive, AHiveCutShortIsRefusedBySearchReplaceAndUndo) {
    const std::uint32_t bins = Get32(recovered, 0x28);
    // The start of the hive bin nearest the middle.
    std::size_t middle = kBase;
    while (middle < kBase + bins / 2) middle += Get32(recovered, middle + 8);
    folder.Write(L"undo.reg", "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\Classes\\x]\r\n"
                              "\"v\"=\"1\"\r\n");
    for (const std::size_t cut : {std::size_t{2000}, kBase + 100, middle, kBase + bins - 4096}) {
        SCOPED_TRACE(cut);
        const std::string cutPath = ToUtf8(folder.Path(L"cut.dat"));
        folder.Write(L"cut.dat", std::string(recovered.begin(), recovered.begin() + static_cast<std::ptrdiff_t>(cut)));
        const std::wstring mount = FromUtf8(cutPath) + L"=HKCU\\Software\\Classes";
        const std::vector<std::vector<std::wstring>> commands{
            {L"search", L"--hive", mount, L"microsoft"},
            {L"replace", L"--hive", mount, L"microsoft", L"--with", L"x", L"--yes", L"--undo-dir", folder.Path(L"u")},
            {L"undo", L"--hive", mount, folder.Path(L"undo.reg"), L"--accept-unterminated"},
        };
        for (const auto& command : commands) {
            const CliRun run = RunCli(command);
            EXPECT_EQ(run.exitCode, 2) << ToUtf8(command[0]) << ": " << run.err;
            if (cut > kBase) {
                EXPECT_NE(run.err.find("cut short"), std::string::npos) << run.err;
            }
            EXPECT_EQ(ReadAll(cutPath).size(), cut);
        }
    }
}

}  // namespace
}  // namespace keyscour
