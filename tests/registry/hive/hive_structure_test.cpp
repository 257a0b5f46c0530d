// The structure checker of the tests, proven on hives Windows wrote before
// it judges any hive of ours: every list of the real hive and of what an
// independent parser recovered from it keeps the rules; each rule broken
// on purpose is found; and the hives this project's writers make keep them.

#include <gtest/gtest.h>

#include <hivex.h>

#include <algorithm>
#include <cstring>

#include "base/utf8.h"
#include "registry/hive/hive_registry.h"
#include "registry/value_forms.h"
#include "tests/cli/cli_runner.h"
#include "tests/support/blank_hive.h"
#include "tests/support/hive_structure.h"

namespace keyscour {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::HiveStructureFaults;
constexpr std::size_t kBase = 4096;

Bytes ReadAll(const std::string& path) {
    const std::string bytes = testing::ReadFileBytes(FromUtf8(path));
    return Bytes(bytes.begin(), bytes.end());
}
std::string Real(const std::string& name) { return std::string(KEYSCOUR_REAL_HIVES_DIR) + "/dirty-usrclass/" + name; }
std::uint32_t Get32(const Bytes& bytes, std::size_t at) {
    std::uint32_t value = 0;
    std::memcpy(&value, bytes.data() + at, 4);
    return value;
}
void Put32(Bytes& bytes, std::size_t at, std::uint32_t value) { std::memcpy(bytes.data() + at, &value, 4); }

// Two elements of a sub key list, offset and hash (or hint) each, swapped.
void SwapElements(Bytes& hive, std::size_t one, std::size_t other) {
    std::swap_ranges(hive.begin() + static_cast<std::ptrdiff_t>(one), hive.begin() + static_cast<std::ptrdiff_t>(one + 8),
                     hive.begin() + static_cast<std::ptrdiff_t>(other));
}

// A new hive at path whose key P holds the keys names; P's key node, as an
// offset past the base block.
std::uint32_t HiveWithKeysUnderP(const std::string& path, const std::vector<std::wstring>& names) {
    WriteFileBytes(path, BlankHive());
    {
        HiveRegistry registry(path, true);
        for (const auto& name : names) {
            KeyHandle opened = 0;
            EXPECT_EQ(registry.CreateKey(HiveRegistry::kRoot, L"P\\" + name, opened), 0u);
            registry.CloseKey(opened);
        }
        EXPECT_TRUE(registry.Commit());
    }
    hive_h* h = hivex_open(path.c_str(), 0);
    const std::uint32_t nk = static_cast<std::uint32_t>(hivex_node_get_child(h, hivex_root(h), "P") - kBase);
    hivex_close(h);
    return nk;
}

std::string Joined(const std::vector<std::string>& faults) {
    std::string text;
    for (const auto& fault : faults) text += fault + "\n";
    return text;
}

TEST(HiveStructure, TheHashIsTheDocumentsOverUpperCasedUnits) {
    EXPECT_EQ(testing::HashLeafHash(u""), 0u);
    EXPECT_EQ(testing::HashLeafHash(u"a"), static_cast<std::uint32_t>('A'));
    EXPECT_EQ(testing::HashLeafHash(u"ab"), 37u * 'A' + 'B');
    EXPECT_EQ(testing::HashLeafHash(u"Software"), testing::HashLeafHash(u"SOFTWARE"));
}

TEST(HiveStructure, EveryListOfTheHivesWindowsWroteKeepsTheRules) {
    for (const char* name : {"UsrClass.dat", "recovered-by-an-independent-parser"}) {
        SCOPED_TRACE(name);
        const Bytes hive = ReadAll(Real(name));
        EXPECT_EQ(Joined(HiveStructureFaults(hive)), "");
    }
}

// Each rule broken in a copy of the real hive is found.
class BrokenHive : public ::testing::Test {
protected:
    BrokenHive() : hive(ReadAll(Real("recovered-by-an-independent-parser"))) {
        // A key with at least two sub keys in one leaf, found with hivex.
        hive_h* h = hivex_open(Real("recovered-by-an-independent-parser").c_str(), 0);
        std::vector<hive_node_h> stack{hivex_root(h)};
        while (!stack.empty() && !parent) {
            const hive_node_h node = stack.back();
            stack.pop_back();
            hive_node_h* children = hivex_node_children(h, node);
            std::size_t count = 0;
            while (children && children[count]) stack.push_back(children[count++]);
            std::free(children);
            const std::uint32_t nk = static_cast<std::uint32_t>(node - kBase);
            const std::uint32_t list = Get32(hive, kBase + 4 + nk + 0x1C);
            // Windows wrote this hive's lists as "lf" (hints, no hashes).
            if (count >= 2 && std::memcmp(hive.data() + kBase + 4 + list, "lf", 2) == 0) {
                parent = nk;
                leaf = list;
            }
        }
        hivex_close(h);
    }
    std::size_t Element(int i) const { return kBase + 4 + leaf + 4 + 8 * static_cast<std::size_t>(i); }
    std::uint32_t Child(int i) const { return Get32(hive, Element(i)); }
    std::u16string NameOf(std::uint32_t nk) const {
        const std::uint8_t* data = hive.data() + kBase + 4 + nk;
        const std::size_t length = data[0x48] | data[0x49] << 8;
        const bool compressed = (data[2] & 0x20) != 0;
        std::u16string name;
        for (std::size_t at = 0; at < length; at += compressed ? 1 : 2)
            name += static_cast<char16_t>(compressed ? data[0x4C + at] : data[0x4C + at] | data[0x4D + at] << 8);
        return name;
    }
    // The leaf made an "lh" list, each hash as the document computes it.
    void AsHashLeaf() {
        std::memcpy(hive.data() + kBase + 4 + leaf, "lh", 2);
        const std::uint16_t count = static_cast<std::uint16_t>(hive[kBase + 4 + leaf + 2] | hive[kBase + 4 + leaf + 3] << 8);
        for (int i = 0; i < count; ++i) Put32(hive, Element(i) + 4, testing::HashLeafHash(NameOf(Child(i))));
    }
    bool Finds(const char* what) const {
        for (const auto& fault : HiveStructureFaults(hive))
            if (fault.find(what) != std::string::npos) return true;
        ADD_FAILURE() << "no fault says \"" << what << "\" in:\n" << Joined(HiveStructureFaults(hive));
        return false;
    }
    Bytes hive;
    std::uint32_t parent = 0, leaf = 0;
};

TEST_F(BrokenHive, TwoElementsSwappedAreOutOfOrder) {
    ASSERT_NE(leaf, 0u);
    SwapElements(hive, Element(0), Element(1));
    EXPECT_TRUE(Finds("out of order"));
}

TEST_F(BrokenHive, AWrongHashParentCountOrLengthField) {
    ASSERT_NE(leaf, 0u);
    const Bytes whole = hive;
    AsHashLeaf();
    EXPECT_EQ(Joined(HiveStructureFaults(hive)), "") << "an lh list with the document's hashes keeps the rules";
    Put32(hive, Element(0) + 4, Get32(hive, Element(0) + 4) + 1);
    EXPECT_TRUE(Finds("\"lh\" hash"));
    hive = whole;
    Put32(hive, kBase + 4 + Child(1) + 0x10, Child(0));
    EXPECT_TRUE(Finds("Parent field"));
    hive = whole;
    Put32(hive, kBase + 4 + parent + 0x14, Get32(hive, kBase + 4 + parent + 0x14) + 1);
    EXPECT_TRUE(Finds("sub keys, its lists hold"));
    hive = whole;
    // The high 16 bits are flags: they do not make up for a low length.
    Put32(hive, kBase + 4 + parent + 0x34, 0xFFFF0002u);
    EXPECT_TRUE(Finds("longest sub key name field 2"));
    hive = whole;
    const std::uint32_t sk = Get32(hive, kBase + 4 + parent + 0x2C);
    Put32(hive, kBase + 4 + sk + 0x0C, Get32(hive, kBase + 4 + sk + 0x0C) + 1);
    EXPECT_TRUE(Finds("references, the keys make"));
}

TEST_F(BrokenHive, AnLfHintOtherThanTheFirstFourCharactersInTheirCase) {
    ASSERT_NE(leaf, 0u);
    hive[Element(1) + 4] ^= 0x20;  // the first character's hint in the other case
    EXPECT_TRUE(Finds("\"lf\" hint"));
    hive[Element(1) + 4] ^= 0x20;
    AsHashLeaf();
    std::memcpy(hive.data() + kBase + 4 + leaf, "lf", 2);
    EXPECT_TRUE(Finds("\"lf\" hint")) << "a hash where a hint belongs";
}

// A list out of Windows' order (a damaged hive, another tool's writes) is
// still searched whole: a lookup by name finds every key in it.
TEST(HiveStructure, AKeyInAListOutOfOrderIsStillFoundByName) {
    testing::ScratchFolder folder;
    const std::string path = ToUtf8(folder.Path(L"SOFTWARE"));
    const std::uint32_t nk = HiveWithKeysUnderP(path, {L"Alpha", L"Bravo", L"Charlie", L"Delta", L"Echo"});
    Bytes hive = ReadAll(path);
    const std::uint32_t list = Get32(hive, kBase + 4 + nk + 0x1C);
    // Alpha and Echo change places, hashes and all.
    SwapElements(hive, kBase + 4 + list + 4, kBase + 4 + list + 4 + 8 * 4);
    WriteFileBytes(path, hive);
    ASSERT_NE(Joined(HiveStructureFaults(ReadAll(path))), "");
    HiveRegistry registry(path, false);
    for (const auto& name : {L"Charlie", L"alpha", L"ECHO", L"Bravo", L"delta"}) {
        KeyHandle key = 0;
        EXPECT_EQ(registry.OpenKey(HiveRegistry::kRoot, std::wstring(L"P\\") + name, key), 0u) << ToUtf8(name);
        registry.CloseKey(key);
    }
}

// A parent whose sub keys lie under an "ri" index of two leaves, made by
// hand in a free cell (hivex makes none): a key added there by an undo is
// put in Windows' order across the leaves, each keeping its count.
TEST(HiveStructure, AKeyAddedUnderAnIndexRootIsSortedAcrossItsLeaves) {
    testing::ScratchFolder folder;
    const std::string path = ToUtf8(folder.Path(L"SOFTWARE"));
    const std::uint32_t nk = HiveWithKeysUnderP(path, {L"Alpha", L"Bravo", L"Charlie", L"Delta", L"Echo", L"Foxtrot"});
    Bytes hive = ReadAll(path);
    ASSERT_TRUE(testing::SplitIntoIndexRoot(hive, nk));
    const std::uint32_t ri = Get32(hive, kBase + 4 + nk + 0x1C);
    const std::uint32_t first = Get32(hive, kBase + ri + 8), second = Get32(hive, kBase + ri + 12);
    WriteFileBytes(path, hive);
    ASSERT_EQ(Joined(HiveStructureFaults(ReadAll(path))), "") << "the index made by hand keeps the rules";
    // Then Alpha and Foxtrot change leaves, as a list another tool left
    // out of order: the sort must move names from leaf to leaf.
    SwapElements(hive, kBase + first + 8, kBase + second + 8 + 16);
    WriteFileBytes(path, hive);
    ASSERT_NE(Joined(HiveStructureFaults(ReadAll(path))), "");

    {
        HiveRegistry registry(path, true);
        // Both last for Windows: upper-cased, '_' and \u00c4 come after the letters.
        for (const wchar_t* name : {L"P\\\u00c4rger", L"P\\_Zulu"}) {
            KeyHandle opened = 0;
            ASSERT_EQ(registry.CreateKey(HiveRegistry::kRoot, name, opened), 0u);
            registry.CloseKey(opened);
        }
        ASSERT_TRUE(registry.Commit());
    }
    EXPECT_EQ(Joined(HiveStructureFaults(ReadAll(path))), "");
    HiveRegistry reread(path, false);
    for (const auto& name : {L"alpha", L"\u00e4rger", L"BRAVO", L"Foxtrot", L"echo", L"_zulu"}) {
        KeyHandle key = 0;
        EXPECT_EQ(reread.OpenKey(HiveRegistry::kRoot, std::wstring(L"P\\") + name, key), 0u) << ToUtf8(name);
        reread.CloseKey(key);
    }
}

// A value rewritten raises its key's longest-name field to exactly its own
// name's length in UTF-16 bytes, when the field was below it.
TEST(HiveStructure, ARewrittenValueRaisesItsKeysNameFieldToItsOwnLength) {
    testing::ScratchFolder folder;
    const std::string path = ToUtf8(folder.Path(L"SOFTWARE"));
    const std::uint32_t nk = HiveWithKeysUnderP(path, {L"Child"});
    {
        HiveRegistry registry(path, true);
        KeyHandle key = 0;
        ASSERT_EQ(registry.CreateKey(HiveRegistry::kRoot, L"P", key), 0u);
        const Bytes data = StringData(L"C:\\Old");
        ASSERT_EQ(registry.SetValue(key, L"Thirteen char", 1, data.data(), static_cast<std::uint32_t>(data.size())), 0u);
        registry.CloseKey(key);
        ASSERT_TRUE(registry.Commit());
    }
    Bytes hive = ReadAll(path);
    Put32(hive, kBase + 4 + nk + 0x3C, 0);
    WriteFileBytes(path, hive);
    const auto replaced = testing::RunCli({L"replace", L"--hive", FromUtf8(path), L"Old", L"--with", L"New", L"--yes",
                                           L"--undo-dir", folder.Path(L"undo")});
    ASSERT_EQ(replaced.exitCode, 0) << replaced.err;
    EXPECT_EQ(Get32(ReadAll(path), kBase + 4 + nk + 0x3C), 26u);
}

// Windows wrote this hive's lists as "lf": a key added to one keeps it an
// "lf" list in Windows' order, its hint as the format gives it.
TEST(HiveStructure, AKeyAddedToAListWindowsWroteKeepsItsRules) {
    testing::ScratchFolder folder;
    const std::string path = ToUtf8(folder.Path(L"UsrClass.dat"));
    WriteFileBytes(path, ReadAll(Real("recovered-by-an-independent-parser")));
    {
        HiveRegistry registry(path, true);
        for (const wchar_t* name : {L"\u00c4rger", L"aaa", L"_z"}) {
            KeyHandle opened = 0;
            ASSERT_EQ(registry.CreateKey(HiveRegistry::kRoot, name, opened), 0u) << ToUtf8(name);
            registry.CloseKey(opened);
        }
        ASSERT_TRUE(registry.Commit());
    }
    EXPECT_EQ(Joined(HiveStructureFaults(ReadAll(path))), "");
    HiveRegistry reread(path, false);
    for (const wchar_t* name : {L"\u00e4RGER", L"AAA", L"_Z"}) {
        KeyHandle key = 0;
        EXPECT_EQ(reread.OpenKey(HiveRegistry::kRoot, name, key), 0u) << ToUtf8(name);
        reread.CloseKey(key);
    }
}

TEST(HiveStructure, HivesThisProjectWritesKeepTheRules) {
    testing::ScratchFolder folder;
    const std::string path = ToUtf8(folder.Path(L"SOFTWARE"));
    WriteFileBytes(path, BlankHive());
    {
        HiveRegistry registry(path, true);
        for (const wchar_t* key : {L"b", L"A", L"\u00e9t\u00e9", L"C\\d", L"C\\E", L"_x", L"\u0416"}) {
            KeyHandle opened = 0;
            ASSERT_EQ(registry.CreateKey(HiveRegistry::kRoot, key, opened), 0u);
            const Bytes data = StringData(L"C:\\Old\\" + std::wstring(key));
            registry.SetValue(opened, L"Path \u00fc", 1, data.data(), static_cast<std::uint32_t>(data.size()));
            registry.CloseKey(opened);
        }
        ASSERT_TRUE(registry.Commit());
    }
    EXPECT_EQ(Joined(HiveStructureFaults(ReadAll(path))), "");
    {
        // Many names beyond ASCII under one key, added in a scrambled order,
        // and a key added under and then removed with its parent.
        HiveRegistry registry(path, true);
        const std::wstring letters = L"aZ_9\u00e9\u00c9\u00fc\u0416\u0436\u03a9\u00df~";
        for (int i = 0; i < 300; ++i) {
            std::wstring name = L"Many\\";
            for (int k = i * 7919 % 1000; name.size() < 9; k /= 3) name += letters[static_cast<std::size_t>(k) % letters.size()];
            name += std::to_wstring(i);
            KeyHandle opened = 0;
            ASSERT_EQ(registry.CreateKey(HiveRegistry::kRoot, name, opened), 0u) << ToUtf8(name);
            registry.CloseKey(opened);
        }
        KeyHandle doomed = 0;
        ASSERT_EQ(registry.CreateKey(HiveRegistry::kRoot, L"Gone\\Below\\\u00e9", doomed), 0u);
        registry.CloseKey(doomed);
        ASSERT_EQ(registry.DeleteKey(HiveRegistry::kRoot, L"Gone"), 0u);
        ASSERT_TRUE(registry.Commit());
    }
    EXPECT_EQ(Joined(HiveStructureFaults(ReadAll(path))), "");
    const auto replaced = testing::RunCli({L"replace", L"--hive", FromUtf8(path), L"Old", L"--with",
                                           L"A much longer folder name", L"--yes", L"--undo-dir", folder.Path(L"undo")});
    ASSERT_EQ(replaced.exitCode, 0) << replaced.err;
    EXPECT_EQ(Joined(HiveStructureFaults(ReadAll(path))), "");
}

}  // namespace
}  // namespace keyscour
