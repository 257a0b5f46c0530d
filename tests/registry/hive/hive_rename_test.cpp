// Renames made in a hive's own cells: each written hive judged by the
// structure checker (the format document's rules, which hivex does not
// check), read back by hivex, and renamed back to a hive equal to the
// first in every key, value, class name and security cell.

#include <gtest/gtest.h>

#include <hivex.h>

#include <array>
#include <cstring>
#include <cwctype>
#include <functional>
#include <optional>

#include "base/unicode_case.h"
#include "base/utf8.h"
#include "registry/hive/hive_registry.h"
#include "registry/value_forms.h"
#include "tests/cli/cli_runner.h"
#include "tests/support/blank_hive.h"
#include "tests/support/hive_structure.h"

namespace keyscour {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::size_t kBase = 4096;

Bytes ReadAll(const std::string& path) {
    const std::string bytes = testing::ReadFileBytes(FromUtf8(path));
    return Bytes(bytes.begin(), bytes.end());
}
std::uint32_t Get32(const Bytes& bytes, std::size_t at) {
    std::uint32_t value = 0;
    std::memcpy(&value, bytes.data() + at, 4);
    return value;
}
std::string Faults(const std::string& path) {
    std::string text;
    for (const auto& fault : testing::HiveStructureFaults(ReadAll(path))) text += fault + "\n";
    return text;
}

class HiveRenames : public ::testing::Test {
protected:
    HiveRenames() : path(ToUtf8(folder.Path(L"SOFTWARE"))) {}
    void Build(const std::vector<std::pair<std::wstring, std::wstring>>& values) {
        WriteFileBytes(path, BlankHive());
        HiveRegistry registry(path, true);
        for (const auto& [key, name] : values) {
            KeyHandle opened = 0;
            ASSERT_EQ(registry.CreateKey(HiveRegistry::kRoot, key, opened), 0u);
            if (!name.empty()) {
                const Bytes data = StringData(L"data of " + name);
                registry.SetValue(opened, name, 1, data.data(), static_cast<std::uint32_t>(data.size()));
            }
            registry.CloseKey(opened);
        }
        ASSERT_TRUE(registry.Commit());
    }
    // Renames made in one registry and committed: keys as path and new
    // name, values as key, name and new name.
    void Rename(const std::vector<std::pair<std::wstring, std::wstring>>& keys,
                const std::vector<std::array<std::wstring, 3>>& values = {}) {
        HiveRegistry registry(path, true);
        for (const auto& [key, name, newName] : values) {
            KeyHandle opened = 0;
            ASSERT_EQ(registry.CreateKey(HiveRegistry::kRoot, key, opened), 0u);
            EXPECT_EQ(registry.RenameValue(opened, name, newName), 0u) << ToUtf8(name);
            registry.CloseKey(opened);
        }
        for (const auto& [key, newName] : keys) EXPECT_EQ(registry.RenameKey(HiveRegistry::kRoot, key, newName), 0u) << ToUtf8(key);
        ASSERT_TRUE(registry.Commit());
    }
    std::optional<std::wstring> ReadString(const std::wstring& key, const std::wstring& name) {
        const auto read = ReadHiveValue(path, key, name);
        if (!read) return std::nullopt;
        return StringOf(read->second);
    }
    testing::ScratchFolder folder;
    std::string path;
};

TEST_F(HiveRenames, NamesThatOutgrowTheirCellsMoveAndEverythingThatPointsAtThemFollows) {
    Build({{L"P\\Short", L"a"}, {L"P\\Short", L"bb"}, {L"P\\Short\\One", L"x"}, {L"P\\Short\\Two", L""},
           {L"P\\Other", L"o"}, {L"P\\Zed", L""}});
    const std::string before = testing::HiveDump(path);
    const std::wstring longKey = L"Short and now a much longer name than its cell holds";
    const std::wstring longValue = L"a value name far longer than the one-letter name's cell";
    const std::wstring cyrillic = L"\u0416\u0443\u043a";  // not Latin-1: stored as UTF-16
    Rename({{L"P\\Short", longKey}, {L"P\\Other", cyrillic}},
           {{L"P\\Short", L"a", longValue}, {L"P\\Short", L"bb", L"b"}});
    EXPECT_EQ(Faults(path), "");
    EXPECT_EQ(ReadString(L"P\\" + longKey, longValue), L"data of a");
    EXPECT_EQ(ReadString(L"P\\" + longKey, L"b"), L"data of bb");
    EXPECT_EQ(ReadString(L"P\\" + longKey + L"\\One", L"x"), L"data of x") << "the children follow the moved key";
    EXPECT_EQ(ReadString(L"p\\" + UpperCased(cyrillic), L"o"), L"data of o") << "found by its name in any case";
    EXPECT_FALSE(ReadString(L"P\\Short", L"bb"));

    // The UTF-16 name's key node has its compressed flag clear; hivex reads it.
    hive_h* h = hivex_open(path.c_str(), 0);
    const hive_node_h p = hivex_node_get_child(h, hivex_root(h), "P");
    const hive_node_h renamed = hivex_node_get_child(h, p, ToUtf8(cyrillic).c_str());
    ASSERT_NE(renamed, 0u);
    EXPECT_EQ(ReadAll(path)[renamed + 6] & 0x20, 0);
    const hive_node_h moved = hivex_node_get_child(h, p, ToUtf8(longKey).c_str());
    EXPECT_EQ(hivex_node_parent(h, hivex_node_get_child(h, moved, "Two")), moved);
    hivex_close(h);

    Rename({{L"P\\" + longKey, L"Short"}, {L"P\\" + cyrillic, L"Other"}},
           {{L"P\\" + longKey, longValue, L"a"}, {L"P\\" + longKey, L"b", L"bb"}});
    EXPECT_EQ(Faults(path), "");
    EXPECT_EQ(testing::HiveDump(path), before);
}

TEST_F(HiveRenames, AChangeOfCaseKeepsEveryCellAndPlace) {
    Build({{L"P\\alpha", L"alice"}, {L"P\\alpha", L"bob"}, {L"P\\beta", L""}});
    hive_h* h = hivex_open(path.c_str(), 0);
    const hive_node_h p = hivex_node_get_child(h, hivex_root(h), "P");
    const hive_node_h alpha = hivex_node_get_child(h, p, "alpha");
    hive_value_h* values = hivex_node_values(h, alpha);
    const hive_value_h alice = values[0];
    std::free(values);
    hivex_close(h);
    Rename({{L"P\\alpha", L"ALPHA"}}, {{L"P\\alpha", L"alice", L"Alice"}});
    EXPECT_EQ(Faults(path), "");
    h = hivex_open(path.c_str(), 0);
    const hive_node_h p2 = hivex_node_get_child(h, hivex_root(h), "P");
    const hive_node_h upper = hivex_node_get_child(h, p2, "ALPHA");
    EXPECT_EQ(upper, alpha) << "the key node kept its cell";
    char* name = hivex_node_name(h, upper);
    EXPECT_STREQ(name, "ALPHA");
    std::free(name);
    values = hivex_node_values(h, upper);
    EXPECT_EQ(values[0], alice) << "the value kept its cell and its place";
    char* valueName = hivex_value_key(h, values[0]);
    EXPECT_STREQ(valueName, "Alice");
    std::free(valueName);
    std::free(values);
    hivex_close(h);
}

// Under an "ri" index a key renamed past its neighbours moves to the other leaf.
TEST_F(HiveRenames, AKeyUnderAnIndexRootMovesToTheLeafWhereItsNewNameSorts) {
    Build({{L"P\\Alpha", L""}, {L"P\\Bravo", L""}, {L"P\\Charlie", L""}, {L"P\\Delta", L""}, {L"P\\Echo", L""},
           {L"P\\Foxtrot", L"f"}});
    hive_h* h = hivex_open(path.c_str(), 0);
    const std::uint32_t nk = static_cast<std::uint32_t>(hivex_node_get_child(h, hivex_root(h), "P") - kBase);
    hivex_close(h);
    Bytes hive = ReadAll(path);
    ASSERT_TRUE(testing::SplitIntoIndexRoot(hive, nk));
    ASSERT_TRUE(WriteFileBytes(path, hive));
    ASSERT_EQ(Faults(path), "");
    Rename({{L"P\\Alpha", L"Zulu"}, {L"P\\Foxtrot", L"Aardvark with a name longer than its cell"}});
    EXPECT_EQ(Faults(path), "");
    const Bytes after = ReadAll(path);
    const std::uint32_t ri = Get32(after, kBase + 4 + nk + 0x1C);
    ASSERT_EQ(std::memcmp(after.data() + kBase + ri + 4, "ri", 2), 0) << "the index stays";
    for (const wchar_t* name : {L"zulu", L"AARDVARK WITH A NAME LONGER THAN ITS CELL", L"bravo", L"Echo"}) {
        HiveRegistry registry(path, false);
        KeyHandle key = 0;
        EXPECT_EQ(registry.OpenKey(HiveRegistry::kRoot, std::wstring(L"P\\") + name, key), 0u) << ToUtf8(name);
        registry.CloseKey(key);
    }
    EXPECT_EQ(ReadString(L"P\\Aardvark with a name longer than its cell", L"f"), L"data of f");
}

// The lists of a hive Windows wrote ("lf", with hints): a key renamed to
// another case, one to a longer Latin-1 name and one to a UTF-16 name keep
// every rule, and renaming them back gives the hive it was.
TEST_F(HiveRenames, InAHiveWindowsWroteTheListsKeepItsRules) {
    const std::string real = std::string(KEYSCOUR_REAL_HIVES_DIR) + "/dirty-usrclass/recovered-by-an-independent-parser";
    ASSERT_TRUE(WriteFileBytes(path, ReadAll(real)));
    // A key with three or more sub keys, and their paths.
    hive_h* h = hivex_open(path.c_str(), 0);
    ASSERT_NE(h, nullptr);
    std::wstring parent;
    std::vector<std::wstring> children;
    std::function<bool(hive_node_h, const std::wstring&)> find = [&](hive_node_h node, const std::wstring& at) {
        hive_node_h* list = hivex_node_children(h, node);
        std::vector<std::wstring> names;
        std::vector<hive_node_h> nodes;
        for (hive_node_h* child = list; child && *child; ++child) {
            char* name = hivex_node_name(h, *child);
            names.push_back(FromUtf8(name));
            nodes.push_back(*child);
            std::free(name);
        }
        std::free(list);
        if (names.size() >= 3) {
            parent = at;
            children = names;
            return true;
        }
        for (std::size_t i = 0; i < nodes.size(); ++i)
            if (find(nodes[i], at.empty() ? names[i] : at + L"\\" + names[i])) return true;
        return false;
    };
    ASSERT_TRUE(find(hivex_root(h), L""));
    hivex_close(h);
    const std::string before = testing::HiveDump(path);
    const auto under = [&](const std::wstring& name) { return parent.empty() ? name : parent + L"\\" + name; };
    std::wstring flipped = children[0];
    for (auto& c : flipped) c = std::iswupper(c) ? std::towlower(c) : std::towupper(c);
    const std::wstring latin = children[1] + L" \u00e9t\u00e9 renamed";
    const std::wstring wide = L"\u65b0" + children[2];
    Rename({{under(children[0]), flipped}, {under(children[1]), latin}, {under(children[2]), wide}});
    EXPECT_EQ(Faults(path), "");
    Rename({{under(flipped), children[0]}, {under(latin), children[1]}, {under(wide), children[2]}});
    EXPECT_EQ(Faults(path), "");
    EXPECT_EQ(testing::HiveDump(path), before);
}

TEST_F(HiveRenames, TheRegistryRefusesWhatWouldBreakTheHive) {
    Build({{L"P\\One", L"a"}, {L"P\\One", L"b"}, {L"P\\Two", L""}});
    HiveRegistry registry(path, true);
    EXPECT_EQ(registry.RenameKey(HiveRegistry::kRoot, L"P\\One", L"two"), status::kAlreadyExists);
    EXPECT_EQ(registry.RenameKey(HiveRegistry::kRoot, L"P\\One", L""), status::kBadPathname);
    EXPECT_EQ(registry.RenameKey(HiveRegistry::kRoot, L"P\\One", L"a\\b"), status::kBadPathname);
    EXPECT_EQ(registry.RenameKey(HiveRegistry::kRoot, L"P\\One", std::wstring(256, L'x')), status::kBadPathname);
    EXPECT_EQ(registry.RenameKey(HiveRegistry::kRoot, L"", L"Root"), status::kAccessDenied);
    EXPECT_EQ(registry.RenameKey(HiveRegistry::kRoot, L"P\\Missing", L"x"), status::kNotFound);
    KeyHandle one = 0;
    ASSERT_EQ(registry.CreateKey(HiveRegistry::kRoot, L"P\\One", one), 0u);
    EXPECT_EQ(registry.RenameValue(one, L"a", L"B"), status::kAlreadyExists);
    EXPECT_EQ(registry.RenameValue(one, L"a", L""), status::kBadPathname);
    EXPECT_EQ(registry.RenameValue(one, L"missing", L"c"), status::kNotFound);
    registry.CloseKey(one);
    // A read-only registry renames nothing.
    HiveRegistry reader(path, false);
    EXPECT_EQ(reader.RenameKey(HiveRegistry::kRoot, L"P\\One", L"Three"), status::kAccessDenied);
}

// A registry that committed renames and is written again commits only what
// came since: a rename made once is never made twice, at a cell it left.
TEST_F(HiveRenames, ASecondCommitOfTheSameRegistryRenamesNothingAgain) {
    Build({{L"P\\Short", L"a"}, {L"P\\Other", L""}});
    HiveRegistry registry(path, true);
    ASSERT_EQ(registry.RenameKey(HiveRegistry::kRoot, L"P\\Short", L"Short, now too long for its own cell"), 0u);
    ASSERT_TRUE(registry.Commit());
    KeyHandle key = 0;
    ASSERT_EQ(registry.CreateKey(HiveRegistry::kRoot, L"P\\Other", key), 0u);
    const Bytes data = StringData(L"later");
    ASSERT_EQ(registry.SetValue(key, L"b", 1, data.data(), static_cast<std::uint32_t>(data.size())), 0u);
    registry.CloseKey(key);
    ASSERT_TRUE(registry.Commit());
    EXPECT_EQ(Faults(path), "");
    EXPECT_EQ(ReadString(L"P\\Short, now too long for its own cell", L"a"), L"data of a");
    EXPECT_EQ(ReadString(L"P\\Other", L"b"), L"later");
}

}  // namespace
}  // namespace keyscour
