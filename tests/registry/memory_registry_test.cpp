// The in-memory tree answers as the platform's registry does.

#include <gtest/gtest.h>

#include <cwchar>

#include "registry/memory_registry.h"
#include "registry/root_keys.h"

namespace keyscour {
namespace {

std::vector<std::wstring> SubKeys(MemoryRegistry& store, KeyHandle root, const std::wstring& path) {
    KeyHandle key = 0;
    EXPECT_EQ(store.OpenKey(root, path, key), 0u);
    std::vector<std::wstring> names;
    wchar_t name[260];
    for (std::uint32_t i = 0; store.EnumKey(key, i, name, 260) == 0; ++i) names.emplace_back(name);
    store.CloseKey(key);
    return names;
}

TEST(MemoryRegistry, NamesIgnoreCaseKeepCaseAndSortWithoutCase) {
    MemoryRegistry store;
    store.AddKey(kCurrentUser, L"P\\beta");
    store.AddKey(kCurrentUser, L"P\\Alpha");
    store.AddKey(kCurrentUser, L"P\\ALPHA\\x");
    store.AddKey(kCurrentUser, L"p\\Gamma");
    EXPECT_EQ(SubKeys(store, kCurrentUser, L"P"), (std::vector<std::wstring>{L"Alpha", L"beta", L"Gamma"}));
    EXPECT_TRUE(store.KeyExists(kCurrentUser, L"p\\alpha\\X"));
}

TEST(MemoryRegistry, AKeyWithManyChildrenListsThemInOrderAndFindsEach) {
    MemoryRegistry store;
    std::vector<std::wstring> expected;
    for (int i = 299; i >= 0; --i) {
        wchar_t name[16];
        std::swprintf(name, 16, L"k%03d", i);
        store.AddKey(kCurrentUser, std::wstring(L"Many\\") + name);
        expected.insert(expected.begin(), name);
    }
    store.AddKey(kCurrentUser, L"Many\\K150\\deeper");  // an existing child, found without case
    EXPECT_EQ(SubKeys(store, kCurrentUser, L"Many"), expected);
    EXPECT_TRUE(store.KeyExists(kCurrentUser, L"MANY\\k150\\Deeper"));
    ASSERT_EQ(store.DeleteKey(kCurrentUser, L"Many\\k007"), 0u);
    store.AddKey(kCurrentUser, L"Many\\a-first");
    expected.erase(expected.begin() + 7);
    expected.insert(expected.begin(), L"a-first");
    EXPECT_EQ(SubKeys(store, kCurrentUser, L"Many"), expected);
    EXPECT_EQ(store.DeleteKey(kCurrentUser, L"Many\\k007"), status::kNotFound);
}

TEST(MemoryRegistry, ValuesInCreationOrderAndBuffersThatDoNotFit) {
    MemoryRegistry store;
    store.PutString(kUsers, L"K", L"z", L"1");
    store.PutString(kUsers, L"K", L"a", L"2");
    KeyHandle key = 0;
    ASSERT_EQ(store.OpenKey(kUsers, L"K", key), 0u);
    wchar_t name[260];
    std::uint8_t data[4];
    std::uint32_t nameChars = 260, type = 0, dataBytes = 4;
    ASSERT_EQ(store.EnumValue(key, 0, name, nameChars, type, data, dataBytes), 0u);
    EXPECT_EQ(std::wstring(name), L"z");
    EXPECT_EQ(nameChars, 1u) << "the name's length comes back, without its NUL";
    EXPECT_EQ(dataBytes, 4u);
    nameChars = 1;
    dataBytes = 4;
    EXPECT_EQ(store.EnumValue(key, 1, name, nameChars, type, data, dataBytes), status::kMoreData);
    nameChars = 260;
    dataBytes = 3;
    EXPECT_EQ(store.EnumValue(key, 1, name, nameChars, type, data, dataBytes), status::kMoreData);
    dataBytes = 4;
    EXPECT_EQ(store.EnumValue(key, 2, name, nameChars, type, data, dataBytes), status::kNoMoreItems);
    store.CloseKey(key);
}

TEST(MemoryRegistry, LengthsComeBackAsTheyAreNotAsTheBuffersWere) {
    MemoryRegistry store;
    store.PutValue(kUsers, L"K", L"one", value_type::kBinary, {7});
    store.PutValue(kUsers, L"K", L"none", value_type::kBinary, {});
    store.PutValue(kUsers, L"K", L"big", value_type::kBinary, std::vector<std::uint8_t>(5000, 1));
    KeyHandle key = 0;
    ASSERT_EQ(store.OpenKey(kUsers, L"K", key), 0u);
    wchar_t name[260];
    std::uint8_t data[4096];
    std::uint32_t nameChars = 260, type = 0, dataBytes = 4096;
    ASSERT_EQ(store.EnumValue(key, 0, name, nameChars, type, data, dataBytes), 0u);
    EXPECT_EQ(dataBytes, 1u);
    EXPECT_EQ(nameChars, 3u);
    EXPECT_EQ(type, value_type::kBinary);
    nameChars = 260, dataBytes = 4096;
    ASSERT_EQ(store.EnumValue(key, 1, name, nameChars, type, data, dataBytes), 0u);
    EXPECT_EQ(dataBytes, 0u);
    nameChars = 260, dataBytes = 4096;
    ASSERT_EQ(store.EnumValue(key, 2, name, nameChars, type, data, dataBytes), status::kMoreData);
    EXPECT_EQ(dataBytes, 5000u) << "a buffer too small is told the size it needs";
    std::uint32_t queriedType = 0;
    std::vector<std::uint8_t> queried(9, 9);
    ASSERT_EQ(store.QueryValue(key, L"ONE", queriedType, queried), 0u);
    EXPECT_EQ(queried, std::vector<std::uint8_t>{7});
    EXPECT_EQ(store.QueryValue(key, L"other", queriedType, queried), status::kNotFound);
    store.CloseKey(key);
}

TEST(MemoryRegistry, StatusesOfThePlatform) {
    MemoryRegistry store;
    KeyHandle key = 0;
    EXPECT_EQ(store.OpenKey(kLocalMachine, L"Missing", key), status::kNotFound);
    EXPECT_EQ(store.OpenKey(0, L"", key), status::kInvalidHandle);
    EXPECT_EQ(store.OpenKey(0x80000007u, L"", key), status::kInvalidHandle);
    EXPECT_EQ(store.CreateKey(0, L"X", key), status::kInvalidHandle);

    ASSERT_EQ(store.OpenKey(kLocalMachine, L"", key), 0u);
    EXPECT_EQ(store.SetValue(key, L"v", 1, nullptr, 0), status::kAccessDenied) << "opened for reading";
    EXPECT_EQ(store.CloseKey(key), 0u);
    EXPECT_EQ(store.CloseKey(key), status::kInvalidHandle);
    wchar_t name[260];
    EXPECT_EQ(store.EnumKey(key, 0, name, 260), status::kInvalidHandle);

    store.MarkUnreadable(kLocalMachine, L"Secret");
    EXPECT_EQ(store.OpenKey(kLocalMachine, L"Secret", key), status::kAccessDenied);
    EXPECT_EQ(store.CreateKey(kLocalMachine, L"Secret", key), status::kAccessDenied)
        << "opening for writing asks for reading too";
    store.MarkUnwritable(kLocalMachine, L"Fixed");
    EXPECT_EQ(store.CreateKey(kLocalMachine, L"Fixed\\New", key), status::kAccessDenied);
    EXPECT_FALSE(store.KeyExists(kLocalMachine, L"Fixed\\New"));
    EXPECT_EQ(store.CreateKey(kLocalMachine, L"A\\\\B", key), status::kBadPathname);
    EXPECT_EQ(store.OpenHandleCount(), 0u);
}

TEST(MemoryRegistry, CreateWithEmptyPathOpensTheBaseKey) {
    MemoryRegistry store;
    KeyHandle key = 0;
    ASSERT_EQ(store.CreateKey(kCurrentConfig, L"", key), 0u);
    std::uint8_t byte = 7;
    ASSERT_EQ(store.SetValue(key, L"B", 3, &byte, 1), 0u);
    store.CloseKey(key);
    EXPECT_EQ(store.GetValue(kCurrentConfig, L"", L"b")->data, std::vector<std::uint8_t>{7});
}

// One trailing backslash is taken as the platform takes it: the same key.
TEST(MemoryRegistry, ATrailingBackslashNamesTheSameKey) {
    MemoryRegistry store;
    store.PutString(kUsers, L"Ab\\Cd", L"v", L"x");
    KeyHandle key = 0;
    ASSERT_EQ(store.OpenKey(kUsers, L"Ab\\Cd\\", key), status::kSuccess);
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;
    EXPECT_EQ(store.QueryValue(key, L"v", type, data), status::kSuccess);
    store.CloseKey(key);
}

}  // namespace
}  // namespace keyscour
