// Key names in a hive as a walk meets them: kept in Latin-1 or in UTF-16,
// holding a NUL, and opened by paths in any order and any case.

#include <gtest/gtest.h>

#include <hivex.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "base/utf16.h"
#include "base/utf8.h"
#include "tests/cli/cli_runner.h"
#include "tests/support/blank_hive.h"
#include "registry/hive/hive_registry.h"

namespace keyscour {
namespace {

namespace fs = std::filesystem;

class HiveNames : public ::testing::Test {
protected:
    HiveNames() : hive(ToUtf8(folder.Path(L"names.hiv"))) { WriteFileBytes(hive, BlankHive()); }
    // Each key holds a value "Who" naming the key by its path.
    void Build(const std::vector<std::wstring>& paths) {
        HiveRegistry registry(hive, true);
        for (const auto& path : paths) {
            KeyHandle key = 0;
            ASSERT_EQ(registry.CreateKey(HiveRegistry::kRoot, path, key), 0u);
            auto data = EncodeUtf16Le(path);
            data.insert(data.end(), {0, 0});
            ASSERT_EQ(registry.SetValue(key, L"Who", 1, data.data(), static_cast<std::uint32_t>(data.size())), 0u);
            registry.CloseKey(key);
        }
        registry.Commit();
    }
    static std::vector<std::wstring> SubKeys(Registry& registry, KeyHandle key) {
        std::vector<std::wstring> names;
        wchar_t name[260];
        for (std::uint32_t i = 0; registry.EnumKey(key, i, name, 260) == 0; ++i) names.emplace_back(name);
        return names;
    }
    // The key that path opens, by the value it holds; or the status.
    static std::wstring Who(Registry& registry, KeyHandle from, const std::wstring& path) {
        KeyHandle key = 0;
        if (const Status status = registry.OpenKey(from, path, key)) return L"status " + std::to_wstring(status);
        std::uint32_t type = 0;
        std::vector<std::uint8_t> data;
        const Status status = registry.QueryValue(key, L"Who", type, data);
        registry.CloseKey(key);
        if (status) return L"no Who";
        std::wstring text = DecodeUtf16Le(data.data(), data.size());
        return text.substr(0, text.find(L'\0'));
    }
    // K holds a value named "ab", a NUL, "cd" beside one named "plain";
    // Other holds "v". All three hold text with "f" in it.
    void BuildNulValueName() {
        Build({L"Other"});
        {
            HiveRegistry registry(hive, true);
            for (const auto& [key, name] : {std::pair{L"K", L"abXcd"}, {L"K", L"plain"}, {L"Other", L"v"}}) {
                KeyHandle handle = 0;
                EXPECT_EQ(registry.CreateKey(HiveRegistry::kRoot, key, handle), 0u);
                const std::uint8_t data[] = {'f', 0, 0, 0};
                EXPECT_EQ(registry.SetValue(handle, name, 1, data, sizeof data), 0u);
                registry.CloseKey(handle);
            }
            registry.Commit();
        }
        hive_h* before = hivex_open(hive.c_str(), 0);
        ASSERT_TRUE(before);
        const hive_value_h cell =
            hivex_node_get_value(before, hivex_node_get_child(before, hivex_root(before), "K"), "abXcd");
        hivex_close(before);
        ASSERT_NE(cell, 0u);
        std::string bytes = testing::ReadFileBytes(FromUtf8(hive));
        const std::size_t at = bytes.find("abXcd", cell);  // the live cell's, not a freed one's
        ASSERT_NE(at, std::string::npos);
        bytes[at + 2] = '\0';
        WriteFileBytes(hive, std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
    }
    // The byte offset of a key's record, through hivex itself.
    hive_node_h NodeOf(const std::vector<std::string>& path) const {
        hive_h* h = hivex_open(hive.c_str(), 0);
        hive_node_h node = h ? hivex_root(h) : 0;
        for (const auto& part : path) node = node ? hivex_node_get_child(h, node, part.c_str()) : 0;
        if (h) hivex_close(h);
        return node;
    }
    testing::ScratchFolder folder;
    std::string hive;
};

TEST_F(HiveNames, LatinOneAndUtf16NamesComeBackWholeAndOpenInAnyCase) {
    const std::wstring latin = L"M\u00FCller", greek = L"\u0395\u03BB\u03BB\u03AC\u03B4\u03B1", cjk = L"\u65E5\u672C";
    Build({L"plain", latin, latin + L"\\Sub", greek, cjk + L"\\" + latin});

    // How hivex keeps them: a byte a character in Latin-1, two in UTF-16.
    hive_h* h = hivex_open(hive.c_str(), 0);
    ASSERT_TRUE(h);
    const hive_node_h root = hivex_root(h);
    const std::size_t header = hivex_node_struct_length(h, hivex_node_get_child(h, root, "plain")) - 5;
    EXPECT_EQ(hivex_node_struct_length(h, hivex_node_get_child(h, root, ToUtf8(latin).c_str())), header + 6);
    EXPECT_EQ(hivex_node_struct_length(h, hivex_node_get_child(h, root, ToUtf8(greek).c_str())), header + 12);
    hivex_close(h);

    HiveRegistry registry(hive, false);
    auto names = SubKeys(registry, HiveRegistry::kRoot);
    std::sort(names.begin(), names.end());
    std::vector<std::wstring> expected{L"plain", latin, greek, cjk};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(names, expected);
    EXPECT_EQ(Who(registry, HiveRegistry::kRoot, L"M\u00DCLLER\\sub"), latin + L"\\Sub");
    EXPECT_EQ(Who(registry, HiveRegistry::kRoot, L"\u0395\u039B\u039B\u0386\u0394\u0391"), greek);
    EXPECT_EQ(Who(registry, HiveRegistry::kRoot, cjk + L"\\m\u00FCller"), cjk + L"\\" + latin);
    EXPECT_TRUE(registry.Damage().empty());
}

TEST_F(HiveNames, ANameHoldingANulOrABackslashIsSkippedAndSaid) {
    Build({L"abXcd\\Below", L"efYgh", L"after"});
    std::string bytes = testing::ReadFileBytes(FromUtf8(hive));
    for (const auto& [name, put] : {std::pair{"abXcd", '\0'}, {"efYgh", '\\'}}) {
        const hive_node_h node = NodeOf({name});
        ASSERT_NE(node, 0u);
        const std::size_t at = bytes.find(name, node);
        ASSERT_NE(at, std::string::npos);
        bytes[at + 2] = put;
    }
    WriteFileBytes(hive, std::vector<std::uint8_t>(bytes.begin(), bytes.end()));

    HiveRegistry registry(hive, false);
    EXPECT_EQ(SubKeys(registry, HiveRegistry::kRoot), std::vector<std::wstring>{L"after"})
        << "no path opens either: \"ab\" would be another key, \"ef\\gh\" a key below another";
    EXPECT_EQ(Who(registry, HiveRegistry::kRoot, L"ab"), L"status 2");
    EXPECT_EQ(Who(registry, HiveRegistry::kRoot, L"ef\\gh"), L"status 2");
    ASSERT_EQ(registry.Damage().size(), 2u);
    EXPECT_NE(registry.Damage()[0].find(L"no path can hold"), std::wstring::npos);
}

TEST_F(HiveNames, PathsOpenTheirOwnKeyWhateverWasOpenedBefore) {
    Build({L"A", L"A\\B", L"A\\B\\C", L"A\\BB\\C", L"A\\B\\C\\D", L"AB", L"Z"});
    HiveRegistry registry(hive, false);
    const KeyHandle root = HiveRegistry::kRoot;
    // Deep first, then a sibling that shares the first letters of a name,
    // then up, across and back in another case.
    EXPECT_EQ(Who(registry, root, L"A\\B\\C\\D"), L"A\\B\\C\\D");
    EXPECT_EQ(Who(registry, root, L"A\\BB\\C"), L"A\\BB\\C");
    EXPECT_EQ(Who(registry, root, L"A\\B"), L"A\\B");
    EXPECT_EQ(Who(registry, root, L"AB"), L"AB");
    EXPECT_EQ(Who(registry, root, L"a\\b\\c\\"), L"A\\B\\C") << "a trailing backslash is forgiven";
    EXPECT_EQ(Who(registry, root, L"A\\B\\C"), L"A\\B\\C");
    EXPECT_EQ(Who(registry, root, L"A\\B\\CD"), L"status 2");
    EXPECT_EQ(Who(registry, root, L"A\\B\\C\\D\\E"), L"status 2");
    EXPECT_EQ(Who(registry, root, L"A\\\\B"), L"status 2") << "an empty part names no key";
    EXPECT_EQ(Who(registry, root, L"\\A"), L"status 2");
    EXPECT_EQ(Who(registry, root, L"Z"), L"Z");
    EXPECT_EQ(Who(registry, root, L"A\\B\\C\\D"), L"A\\B\\C\\D");

    KeyHandle a = 0;
    ASSERT_EQ(registry.OpenKey(root, L"A", a), 0u);
    EXPECT_EQ(Who(registry, a, L"bb\\c"), L"A\\BB\\C") << "below an open key, not the root";
    EXPECT_EQ(Who(registry, a, L"C"), L"status 2");
    registry.CloseKey(a);
}

TEST_F(HiveNames, AKeyHoldingAValueNameWithANulIsNeverWritten) {
    BuildNulValueName();
    HiveRegistry registry(hive, true);
    KeyHandle k = 0, other = 0;
    ASSERT_EQ(registry.CreateKey(HiveRegistry::kRoot, L"K", k), 0u);
    std::vector<std::wstring> names;
    wchar_t name[260];
    std::uint8_t data[64];
    for (std::uint32_t i = 0;; ++i) {
        std::uint32_t nameChars = 260, type = 0, dataBytes = sizeof data;
        if (registry.EnumValue(k, i, name, nameChars, type, data, dataBytes)) break;
        names.emplace_back(name, nameChars);
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::wstring>{L"ab", L"plain"})) << "as far as the NUL, as a walk of the registry reads it";
    std::uint32_t type = 0;
    std::vector<std::uint8_t> read;
    EXPECT_EQ(registry.QueryValue(k, L"ab", type, read), 1392u) << "read to be kept for undo, before a write";
    const std::uint8_t next[] = {'g', 0, 0, 0};
    EXPECT_EQ(registry.SetValue(k, L"plain", 1, next, sizeof next), 1392u)
        << "hivex would write the key's values back by names cut at the NUL";
    EXPECT_EQ(registry.DeleteValue(k, L"plain"), 1392u);
    ASSERT_EQ(registry.Damage().size(), 1u);
    EXPECT_NE(registry.Damage()[0].find(L"past a NUL"), std::wstring::npos);
    ASSERT_EQ(registry.CreateKey(HiveRegistry::kRoot, L"Other", other), 0u);
    EXPECT_EQ(registry.SetValue(other, L"v", 1, next, sizeof next), 0u) << "other keys are written";
    registry.Commit();

    hive_h* h = hivex_open(hive.c_str(), 0);
    ASSERT_TRUE(h);
    const hive_node_h kNode = hivex_node_get_child(h, hivex_root(h), "K");
    std::size_t withNul = 0;
    hive_value_h* values = hivex_node_values(h, kNode);
    for (hive_value_h* value = values; value && *value; ++value) {
        char* key = hivex_value_key(h, *value);
        withNul += hivex_value_key_len(h, *value) == 5 && std::string(key) == "ab";
        std::free(key);
    }
    std::free(values);
    hivex_close(h);
    EXPECT_EQ(withNul, 1u) << "the name with its NUL is still whole";
}

TEST_F(HiveNames, AReplaceMeetingAValueNameWithANulReplacesNothingAndSaysWhy) {
    BuildNulValueName();
    const std::string before = testing::ReadFileBytes(FromUtf8(hive));
    const std::wstring file = FromUtf8(hive), undo = folder.Path(L"undo");
    const testing::CliRun search = testing::RunCli({L"search", L"--hive", file + L"=HKLM\\SOFTWARE", L"f", L"--format", L"csv"});
    EXPECT_EQ(search.exitCode, 0) << search.err;
    EXPECT_NE(search.out.find("SOFTWARE\\K,ab,REG_SZ"), std::string::npos) << search.out;
    const testing::CliRun replace = testing::RunCli(
        {L"replace", L"--hive", file + L"=HKLM\\SOFTWARE", L"f", L"--with", L"g", L"--yes", L"--undo-dir", undo});
    EXPECT_EQ(replace.exitCode, 2) << replace.err;
    EXPECT_NE(replace.err.find("past a NUL"), std::string::npos) << replace.err;
    EXPECT_NE(replace.err.find("nothing was replaced"), std::string::npos) << replace.err;
    EXPECT_EQ(testing::ReadFileBytes(FromUtf8(hive)), before) << "not even the other key";
    EXPECT_FALSE(fs::exists(fs::path(undo)));
}

}  // namespace
}  // namespace keyscour
