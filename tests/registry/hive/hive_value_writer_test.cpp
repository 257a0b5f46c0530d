// Value writes into a hive's own cells, checked against the format and
// against the in-memory registry: random sets and deletes committed and
// read back through hivex, the bytes a write may change and those it may
// not, values Windows writes that hivex's own writer loses, and free cells
// taken again.

#include <gtest/gtest.h>

#include <hivex.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <set>

#include "base/unicode_case.h"
#include "base/utf8.h"
#include "tests/cli/cli_runner.h"
#include "tests/support/blank_hive.h"
#include "registry/hive/hive_registry.h"
#include "registry/memory_registry.h"
#include "registry/root_keys.h"
#include "registry/value_forms.h"

namespace keyscour {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::size_t kBase = 4096;

std::uint32_t Get32(const Bytes& bytes, std::size_t at) {
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}
void Put32(Bytes& bytes, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

Bytes ReadHive(const std::string& path) {
    const std::string bytes = testing::ReadFileBytes(FromUtf8(path));
    return Bytes(bytes.begin(), bytes.end());
}

struct Cell {
    std::uint32_t size;
    bool allocated;
};

// Every cell of the hive by its offset, after checking what the format
// asks of bins and cells; a failure names what does not hold.
std::map<std::uint32_t, Cell> CellsOf(const Bytes& hive, std::string& fault) {
    std::map<std::uint32_t, Cell> cells;
    const std::uint32_t binsSize = Get32(hive, 0x28);
    if (Get32(hive, 0x1FC) != BaseBlockChecksum(hive.data())) fault = "the base block's checksum";
    if (Get32(hive, 4) != Get32(hive, 8)) fault = "the sequence numbers differ";
    if (kBase + binsSize > hive.size()) fault = "the bins run past the file";
    for (std::uint32_t bin = 0; fault.empty() && bin < binsSize;) {
        const std::uint32_t size = Get32(hive, kBase + bin + 8);
        if (std::memcmp(hive.data() + kBase + bin, "hbin", 4) != 0 || Get32(hive, kBase + bin + 4) != bin ||
            size == 0 || size % 4096 != 0) {
            fault = "the bin at " + std::to_string(bin);
            break;
        }
        for (std::uint32_t at = bin + 32; at < bin + size;) {
            const auto raw = static_cast<std::int32_t>(Get32(hive, kBase + at));
            const std::uint32_t length = raw < 0 ? 0u - static_cast<std::uint32_t>(raw) : static_cast<std::uint32_t>(raw);
            if (length < 8 || length % 8 || at + length > bin + size) {
                fault = "the cell at " + std::to_string(at) + " crosses its bin or is malformed";
                return cells;
            }
            cells[at] = {length, raw < 0};
            at += length;
        }
        bin += size;
    }
    return cells;
}

// Every value of every key, by path and upper-cased name, read the way a
// walk reads them.
using Contents = std::map<std::wstring, std::map<std::wstring, std::pair<std::uint32_t, Bytes>>>;
void Collect(Registry& registry, KeyHandle root, const std::wstring& path, Contents& contents) {
    KeyHandle key = 0;
    ASSERT_EQ(registry.OpenKey(root, path, key), 0u);
    auto& values = contents[UpperCased(path)];
    std::vector<wchar_t> name(16384);
    Bytes data(1 << 20);
    for (std::uint32_t i = 0;; ++i) {
        std::uint32_t nameChars = static_cast<std::uint32_t>(name.size()), type = 0,
                      dataBytes = static_cast<std::uint32_t>(data.size());
        if (registry.EnumValue(key, i, name.data(), nameChars, type, data.data(), dataBytes) != 0) break;
        values[UpperCased(std::wstring(name.data(), nameChars))] = {type, Bytes(data.begin(), data.begin() + dataBytes)};
    }
    std::vector<std::wstring> children;
    wchar_t child[256];
    for (std::uint32_t i = 0; registry.EnumKey(key, i, child, 256) == 0; ++i) children.emplace_back(child);
    registry.CloseKey(key);
    for (const auto& name8 : children) Collect(registry, root, path.empty() ? name8 : path + L"\\" + name8, contents);
}

// The first value where two contents part, said briefly; empty when alike.
std::string Difference(const Contents& got, const Contents& want) {
    for (const auto& [key, values] : want) {
        const auto it = got.find(key);
        if (it == got.end()) return "no key " + ToUtf8(key);
        for (const auto& [name, value] : values) {
            const auto found = it->second.find(name);
            if (found == it->second.end()) return "no value " + ToUtf8(key + L"\\" + name);
            if (found->second != value)
                return ToUtf8(key + L"\\" + name) + ": type " + std::to_string(found->second.first) + ", " +
                       std::to_string(found->second.second.size()) + " bytes, not type " + std::to_string(value.first) +
                       ", " + std::to_string(value.second.size()) + " bytes";
        }
        for (const auto& [name, value] : it->second)
            if (!values.count(name)) return "a value too many: " + ToUtf8(key + L"\\" + name);
    }
    for (const auto& [key, values] : got)
        if (!want.count(key)) return "a key too many: " + ToUtf8(key);
    return {};
}

// hivex's own open and a walk reading every value.
bool HivexReadsItAll(const std::string& path) {
    hive_h* hive = hivex_open(path.c_str(), 0);
    if (!hive) return false;
    bool whole = true;
    std::vector<hive_node_h> stack{hivex_root(hive)};
    while (!stack.empty() && whole) {
        const hive_node_h node = stack.back();
        stack.pop_back();
        hive_value_h* values = hivex_node_values(hive, node);
        hive_node_h* children = hivex_node_children(hive, node);
        whole = values && children;
        for (hive_value_h* value = values; whole && *value; ++value) {
            hive_type type;
            std::size_t length = 0;
            char* data = hivex_value_value(hive, *value, &type, &length);
            char* name = hivex_value_key(hive, *value);
            whole = data && name;
            std::free(data);
            std::free(name);
        }
        for (hive_node_h* child = children; whole && *child; ++child) stack.push_back(*child);
        std::free(values);
        std::free(children);
    }
    hivex_close(hive);
    return whole;
}

// The vk cell of a value, as an offset of the format (past the base block).
std::uint32_t ValueCell(const std::string& path, const char* key, const char* name) {
    hive_h* hive = hivex_open(path.c_str(), 0);
    hive_node_h node = hivex_root(hive);
    if (*key) node = hivex_node_get_child(hive, node, key);
    const hive_value_h value = node ? hivex_node_get_value(hive, node, name) : 0;
    hivex_close(hive);
    return value ? static_cast<std::uint32_t>(value - kBase) : 0;
}

class HiveValueWriterTest : public ::testing::TestWithParam<std::uint32_t> {
protected:
    HiveValueWriterTest() : path(ToUtf8(folder.Path(L"SOFTWARE"))) {
        BlankHiveOptions options;
        options.minorVersion = GetParam();
        WriteFileBytes(path, BlankHive(options));
    }
    void Set(HiveRegistry& hive, const std::wstring& key, const std::wstring& name, std::uint32_t type, const Bytes& data,
             const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
        SCOPED_TRACE(::testing::Message() << "called from " << file << ":" << line);
        KeyHandle opened = 0;
        ASSERT_EQ(hive.CreateKey(HiveRegistry::kRoot, key, opened), 0u);
        ASSERT_EQ(hive.SetValue(opened, name, type, data.data(), static_cast<std::uint32_t>(data.size())), 0u);
        hive.CloseKey(opened);
    }
    testing::ScratchFolder folder;
    std::string path;
};

TEST_P(HiveValueWriterTest, RandomSetsAndDeletesReadBackAsTheMemoryRegistryHoldsThem) {
    std::mt19937 random(GetParam() * 7919u);
    MemoryRegistry memory;
    const std::vector<std::wstring> keys{L"A", L"A\\B", L"C", L"\u00C9t\u00E9", L"Deep\\Er\\Still"};
    const std::vector<std::wstring> names{L"", L"Path", L"path2", L"\u03A9mega", L"Gr\u00FC\u00DFe", L"x"};
    for (int round = 0; round < 12; ++round) {
        {
            HiveRegistry hive(path, true);
            for (int op = 0; op < 14; ++op) {
                const std::wstring& key = keys[random() % keys.size()];
                const std::wstring& name = names[random() % names.size()];
                KeyHandle mine = 0, theirs = 0;
                ASSERT_EQ(hive.CreateKey(HiveRegistry::kRoot, key, mine), 0u);
                ASSERT_EQ(memory.CreateKey(kLocalMachine, key, theirs), 0u);
                if (random() % 4 == 0) {
                    EXPECT_EQ(hive.DeleteValue(mine, name), memory.DeleteValue(theirs, name)) << ToUtf8(key + L"\\" + name);
                } else {
                    // Sizes around the edges: inline, one cell, past a big data segment.
                    static constexpr std::uint32_t kSizes[] = {0, 1, 4, 5, 8, 60, 400, 4000, 16344, 16345, 40000};
                    Bytes data(kSizes[random() % std::size(kSizes)]);
                    for (auto& b : data) b = static_cast<std::uint8_t>(random());
                    const std::uint32_t type = random() % 12;
                    const auto size = static_cast<std::uint32_t>(data.size());
                    ASSERT_EQ(hive.SetValue(mine, name, type, data.data(), size), 0u);
                    ASSERT_EQ(memory.SetValue(theirs, name, type, data.data(), size), 0u);
                }
                hive.CloseKey(mine);
                memory.CloseKey(theirs);
            }
            Contents pending, expected;
            Collect(hive, HiveRegistry::kRoot, L"", pending);
            Collect(memory, kLocalMachine, L"", expected);
            ASSERT_EQ(Difference(pending, expected), "") << "before the commit, round " << round;
            ASSERT_TRUE(hive.Commit() || round > 0);
        }
        const Bytes bytes = ReadHive(path);
        std::string fault;
        CellsOf(bytes, fault);
        ASSERT_EQ(fault, "") << "round " << round;
        ASSERT_TRUE(HivexReadsItAll(path)) << "round " << round;
        HiveRegistry reread(path, false);
        Contents read, expected;
        Collect(reread, HiveRegistry::kRoot, L"", read);
        Collect(memory, kLocalMachine, L"", expected);
        ASSERT_EQ(Difference(read, expected), "") << "round " << round;
    }
}

TEST_P(HiveValueWriterTest, AWriteChangesOnlyItsCellsItsKeysCountsAndTheBaseBlock) {
    {
        HiveRegistry hive(path, true);
        for (int i = 0; i < 20; ++i)
            Set(hive, L"App", L"v" + std::to_wstring(i), 1, Bytes(30 + 2 * i, static_cast<std::uint8_t>('a' + i)));
        Set(hive, L"Other", L"w", 3, Bytes(100, 7));
        hive.Commit();
    }
    const Bytes before = ReadHive(path);
    const std::uint32_t nk = static_cast<std::uint32_t>([&] {
        hive_h* h = hivex_open(path.c_str(), 0);
        const hive_node_h node = hivex_node_get_child(h, hivex_root(h), "App");
        hivex_close(h);
        return node - kBase;
    }());
    const std::uint32_t grown = ValueCell(path, "App", "v3"), gone = ValueCell(path, "App", "v7");
    {
        HiveRegistry hive(path, true);
        KeyHandle key = 0;
        Set(hive, L"App", L"v3", 2, Bytes(500, 9));  // past its cell
        Set(hive, L"App", L"v5", 1, Bytes(4, 1));    // inline now
        Set(hive, L"App", L"new", 4, Bytes{1, 2, 3, 4});
        ASSERT_EQ(hive.CreateKey(HiveRegistry::kRoot, L"App", key), 0u);
        ASSERT_EQ(hive.DeleteValue(key, L"v7"), 0u);
        hive.CloseKey(key);
        hive.Commit();
    }
    const Bytes after = ReadHive(path);
    std::string fault;
    const auto cellsBefore = CellsOf(before, fault);
    const auto cellsAfter = CellsOf(after, fault);
    ASSERT_EQ(fault, "");
    std::vector<bool> allowed(after.size(), false);
    const auto allow = [&](std::size_t from, std::size_t size) {
        for (std::size_t i = from; i < from + size && i < allowed.size(); ++i) allowed[i] = true;
    };
    for (const std::size_t field : {0x04, 0x08, 0x0C, 0x28, 0x1FC}) allow(field, field == 0x0C ? 8 : 4);
    // The key: its time, value count, value list, largest name and data.
    for (const std::size_t field : {8, 40, 44, 64, 68}) allow(kBase + nk + field, field == 8 ? 8 : 4);
    // Each value written: its size, data offset and type.
    allow(kBase + grown + 8, 12);
    allow(kBase + ValueCell(path, "App", "v5") + 8, 12);
    // Cell headers that moved or changed, and the data of every new cell.
    for (const auto& [at, cell] : cellsAfter) {
        const auto old = cellsBefore.find(at);
        if (old == cellsBefore.end() || old->second.size != cell.size || old->second.allocated != cell.allocated) {
            allow(kBase + at, 4);
            if (cell.allocated) allow(kBase + at, cell.size);
        }
    }
    for (const auto& [at, cell] : cellsBefore)
        if (!cellsAfter.count(at)) allow(kBase + at, 4);  // merged into the free cell before it
    // The value list lost v7's slot: the slots after it moved up.
    const std::uint32_t list = Get32(after, kBase + nk + 44);
    allow(kBase + list + 4, 4 * 22);
    std::size_t changedElsewhere = 0;
    for (std::size_t i = 0; i < before.size(); ++i)
        if (before[i] != after[i] && !allowed[i]) ++changedElsewhere;
    EXPECT_EQ(changedElsewhere, 0u);
    EXPECT_TRUE(cellsAfter.count(gone) && !cellsAfter.at(gone).allocated) << "the removed value's cell is free";
    EXPECT_EQ(Get32(after, 4), Get32(before, 4) + 1);
    EXPECT_TRUE(HivexReadsItAll(path));
}

TEST_P(HiveValueWriterTest, TombstonesAndEmptyValuesAsWindowsWritesThemSurviveAWriteToTheirKey) {
    {
        HiveRegistry hive(path, true);
        Set(hive, L"App", L"keep", 1, Bytes(40, 'k'));
        Set(hive, L"App", L"empty", 3, Bytes(12, 'e'));
        Set(hive, L"App", L"tomb", 1, Bytes(20, 't'));
        hive.Commit();
    }
    Bytes bytes = ReadHive(path);
    const std::uint32_t empty = ValueCell(path, "App", "empty"), tomb = ValueCell(path, "App", "tomb");
    Put32(bytes, kBase + empty + 8, 0);            // data size 0
    Put32(bytes, kBase + empty + 12, 0xFFFFFFFF);  // and no data cell, as Windows leaves it
    bytes[kBase + tomb + 20] |= 0x02;              // deleted in this layer
    WriteFileBytes(path, bytes);
    const Bytes emptyBefore(bytes.begin() + kBase + empty, bytes.begin() + kBase + empty + 32);
    const Bytes tombBefore(bytes.begin() + kBase + tomb, bytes.begin() + kBase + tomb + 32);
    {
        HiveRegistry hive(path, true);
        KeyHandle key = 0;
        ASSERT_EQ(hive.OpenKey(HiveRegistry::kRoot, L"App", key), 0u);
        std::uint32_t type = 0;
        Bytes data{1};
        ASSERT_EQ(hive.QueryValue(key, L"empty", type, data), 0u);
        EXPECT_EQ(type, 3u);
        EXPECT_TRUE(data.empty());
        hive.CloseKey(key);
        Set(hive, L"App", L"keep", 1, Bytes(300, 'K'));
        ASSERT_TRUE(hive.Commit());
    }
    const Bytes after = ReadHive(path);
    EXPECT_EQ(Bytes(after.begin() + kBase + empty, after.begin() + kBase + empty + 32), emptyBefore);
    EXPECT_EQ(Bytes(after.begin() + kBase + tomb, after.begin() + kBase + tomb + 32), tombBefore);
    HiveRegistry reread(path, false);
    Contents read;
    Collect(reread, HiveRegistry::kRoot, L"", read);
    EXPECT_EQ(read[L"APP"][L"KEEP"].second, Bytes(300, 'K'));
    EXPECT_TRUE(read[L"APP"][L"EMPTY"].second.empty());
}

TEST_P(HiveValueWriterTest, FreedCellsAreTakenAgainAndLargeDataTakesTheFormOfItsVersion) {
    {
        HiveRegistry hive(path, true);
        Set(hive, L"App", L"big", 3, Bytes(3000, 1));
        Set(hive, L"App", L"huge", 3, Bytes(40000, 2));
        hive.Commit();
    }
    const std::uint32_t huge = ValueCell(path, "App", "huge");
    const Bytes first = ReadHive(path);
    const std::uint32_t hugeData = Get32(first, kBase + huge + 12);
    const bool bigData = std::memcmp(first.data() + kBase + hugeData + 4, "db", 2) == 0;
    EXPECT_EQ(bigData, GetParam() > 3) << "big data records only past version 1.3";
    if (!bigData) {
        EXPECT_GE(0u - Get32(first, kBase + hugeData), 40004u) << "one cell in a 1.3 hive";
    }
    {
        HiveRegistry hive(path, true);
        KeyHandle key = 0;
        ASSERT_EQ(hive.CreateKey(HiveRegistry::kRoot, L"App", key), 0u);
        ASSERT_EQ(hive.DeleteValue(key, L"big"), 0u);
        hive.CloseKey(key);
        ASSERT_TRUE(hive.Commit());
    }
    EXPECT_EQ(ReadHive(path).size(), first.size());
    {
        HiveRegistry hive(path, true);
        Set(hive, L"App", L"again", 3, Bytes(2900, 3));
        ASSERT_TRUE(hive.Commit());
    }
    EXPECT_EQ(ReadHive(path).size(), first.size()) << "the freed cell is taken again";
    EXPECT_TRUE(HivexReadsItAll(path));
}

INSTANTIATE_TEST_SUITE_P(Versions, HiveValueWriterTest, ::testing::Values(3u, 5u),
                         [](const auto& info) { return "minor" + std::to_string(info.param); });

// Replace and undo over and over: the hive's size stays where the first
// cycle left it.
// A commit touching more pages than the writer holds at once (16 MiB)
// sends what it holds to the new file and reads pages again as needed:
// every write must reach the file, whichever page it fell on.
TEST(HiveGrowth, ACommitPastThePagesHeldAtOnceKeepsEveryWrite) {
    testing::ScratchFolder folder;
    const std::string path = ToUtf8(folder.Path(L"SOFTWARE"));
    WriteFileBytes(path, BlankHive());
    std::mt19937 random(4711);
    const auto dataOf = [&](int i, int round) {
        Bytes data(9000 + (i * 37 + round * 11) % 200);  // one cell each, of varied sizes
        for (auto& b : data) b = static_cast<std::uint8_t>(random());
        return data;
    };
    std::map<int, Bytes> expected;
    for (int round = 0; round < 2; ++round) {
        // The second round rewrites every value, most into new cells, some
        // into their freed ones, all in one commit of about 20 MiB.
        HiveRegistry hive(path, true);
        for (int i = 0; i < 2200; ++i) {
            KeyHandle key = 0;
            ASSERT_EQ(hive.CreateKey(HiveRegistry::kRoot, L"K" + std::to_wstring(i % 300), key), 0u);
            expected[i] = dataOf(i, round);
            ASSERT_EQ(hive.SetValue(key, L"v" + std::to_wstring(i), 3, expected[i].data(),
                                    static_cast<std::uint32_t>(expected[i].size())),
                      0u);
            hive.CloseKey(key);
        }
        ASSERT_TRUE(hive.Commit());
    }
    std::string fault;
    CellsOf(ReadHive(path), fault);
    ASSERT_EQ(fault, "");
    ASSERT_TRUE(HivexReadsItAll(path));
    HiveRegistry reread(path, false);
    for (int i = 0; i < 2200; ++i) {
        KeyHandle key = 0;
        ASSERT_EQ(reread.OpenKey(HiveRegistry::kRoot, L"K" + std::to_wstring(i % 300), key), 0u);
        std::uint32_t type = 0;
        Bytes data;
        ASSERT_EQ(reread.QueryValue(key, L"v" + std::to_wstring(i), type, data), 0u);
        ASSERT_EQ(data, expected[i]) << "value " << i;
        reread.CloseKey(key);
    }
}

TEST(HiveGrowth, ReplaceAndUndoCyclesDoNotGrowTheHive) {
    testing::ScratchFolder folder;
    const std::string path = ToUtf8(folder.Path(L"SOFTWARE"));
    WriteFileBytes(path, BlankHive());
    {
        HiveRegistry hive(path, true);
        for (int i = 0; i < 200; ++i) {
            KeyHandle key = 0;
            ASSERT_EQ(hive.CreateKey(HiveRegistry::kRoot, L"Keys\\K" + std::to_wstring(i), key), 0u);
            const Bytes data = StringData(L"C:\\Old\\" + std::to_wstring(i) + L"\\file.txt");
            hive.SetValue(key, L"Path", 1, data.data(), static_cast<std::uint32_t>(data.size()));
            hive.CloseKey(key);
        }
        hive.Commit();
    }
    const Bytes original = ReadHive(path);
    std::vector<std::size_t> sizes;
    for (int cycle = 0; cycle < 5; ++cycle) {
        const std::wstring undo = folder.Path(L"undo" + std::to_wstring(cycle));
        const auto replaced = testing::RunCli({L"replace", L"--hive", FromUtf8(path), L"Old", L"--with", L"Older",
                                              L"--yes", L"--undo-dir", undo});
        ASSERT_EQ(replaced.exitCode, 0) << replaced.err;
        std::wstring file;
        for (const auto& name : folder.Files())
            if (name.find(undo + L"/") == 0) file = name;
        ASSERT_EQ(testing::RunCli({L"undo", L"--hive", FromUtf8(path), file}).exitCode, 0);
        sizes.push_back(ReadHive(path).size());
    }
    EXPECT_EQ(sizes.back(), sizes.front());
    HiveRegistry reread(path, false);
    Contents now;
    Collect(reread, HiveRegistry::kRoot, L"", now);
    EXPECT_EQ(now[L"KEYS\\K7"][L"PATH"].second.size(), 2u * (std::wstring(L"C:\\Old\\7\\file.txt").size() + 1));
    EXPECT_LE(sizes.front(), original.size() + 2 * 4096) << "one cycle adds little";
}

}  // namespace
}  // namespace keyscour
