// What every Registry promises, run over every backend: the in-memory tree
// always, a hive file natively, the real registry under Wine. The
// platform's statuses, names without case, buffers too small, lengths
// returned, creation, deletion; never the order of an enumeration, which
// is each backend's own (Wine sorts values by name, Windows keeps their
// creation order, a hive keeps hivex's).

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>

#include "base/utf16.h"
#include "registry/memory_registry.h"
#include "registry/root_keys.h"
#include "registry/value_forms.h"
#ifdef _WIN32
#include <windows.h>

#include "registry/win32_registry.h"
#else
#include <unistd.h>

#include "registry/hive/hive_registry.h"
#include "tests/support/blank_hive.h"
#endif

namespace keyscour {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A backend, and the key its test works below.
struct Backend {
    std::unique_ptr<Registry> registry;
    KeyHandle root = 0;
    std::function<void()> cleanUp;
};

struct Subject {
    std::function<Backend()> make;
    const char* name;
};

class RegistryBehaviour : public ::testing::TestWithParam<Subject> {
protected:
    RegistryBehaviour() : backend(GetParam().make()), registry(backend.registry), root(backend.root) {}
    ~RegistryBehaviour() override {
        if (backend.cleanUp) backend.cleanUp();
    }
    // The helpers' failures name the line of the test that called them.
    KeyHandle Create(const std::wstring& path, const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
        SCOPED_TRACE(::testing::Message() << "called from " << file << ":" << line);
        KeyHandle key = 0;
        EXPECT_EQ(registry->CreateKey(root, path, key), 0u) << std::string(path.begin(), path.end());
        return key;
    }
    void Put(const std::wstring& path, const std::wstring& name, std::uint32_t type, const Bytes& data,
             const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
        SCOPED_TRACE(::testing::Message() << "called from " << file << ":" << line);
        const KeyHandle key = Create(path, file, line);
        EXPECT_EQ(registry->SetValue(key, name, type, data.data(), static_cast<std::uint32_t>(data.size())), 0u);
        registry->CloseKey(key);
    }
    std::vector<std::wstring> SubKeys(const std::wstring& path, const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
        SCOPED_TRACE(::testing::Message() << "called from " << file << ":" << line);
        KeyHandle key = 0;
        EXPECT_EQ(registry->OpenKey(root, path, key), 0u);
        std::vector<std::wstring> names;
        wchar_t name[260];
        for (std::uint32_t i = 0; registry->EnumKey(key, i, name, 260) == 0; ++i) names.emplace_back(name);
        registry->CloseKey(key);
        return names;
    }
    Backend backend;
    std::unique_ptr<Registry>& registry;
    KeyHandle root;
};

std::vector<std::wstring> Sorted(std::vector<std::wstring> names) {
    std::sort(names.begin(), names.end());
    return names;
}

TEST_P(RegistryBehaviour, NamesIgnoreCaseAndKeepTheirCase) {
    Create(L"P\\beta");
    Create(L"P\\Alpha");
    Create(L"P\\ALPHA\\x");  // Alpha again
    Create(L"p\\Gamma");
    Create(L"P\\\u00FCber");
    EXPECT_EQ(Sorted(SubKeys(L"P")), Sorted({L"Alpha", L"beta", L"Gamma", L"\u00FCber"}));
    KeyHandle key = 0;
    ASSERT_EQ(registry->OpenKey(root, L"p\\alpha\\X", key), 0u);
    registry->CloseKey(key);
    ASSERT_EQ(registry->OpenKey(root, L"P\\\u00DCBER", key), 0u) << "beyond ASCII too";
    registry->CloseKey(key);
}

TEST_P(RegistryBehaviour, ValuesComeWithTheirLengthsAndTooSmallBuffersAreTold) {
    const Bytes text = EncodeUtf16Le(std::wstring(L"caf\u00E9\0", 5));
    Put(L"K", L"one", value_type::kBinary, {7});
    Put(L"K", L"none", value_type::kBinary, {});
    Put(L"K", L"big", value_type::kBinary, Bytes(5000, 0xAB));
    Put(L"K", L"Text", value_type::kString, text);
    KeyHandle key = 0;
    ASSERT_EQ(registry->OpenKey(root, L"k", key), 0u);
    std::map<std::wstring, std::pair<std::uint32_t, Bytes>> seen;
    for (std::uint32_t i = 0;; ++i) {
        wchar_t name[260];
        std::uint8_t data[4096];
        std::uint32_t nameChars = 260, type = 0, dataBytes = 4096;
        const Status status = registry->EnumValue(key, i, name, nameChars, type, data, dataBytes);
        if (status == status::kNoMoreItems) break;
        if (status == status::kMoreData) {
            EXPECT_EQ(dataBytes, 5000u) << "the size the data needs";
            seen[L"big"] = {type, {}};
            continue;
        }
        ASSERT_EQ(status, 0u);
        EXPECT_EQ(nameChars, std::wstring(name).size());
        seen[name] = {type, Bytes(data, data + dataBytes)};
    }
    EXPECT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[L"one"].second, Bytes{7});
    EXPECT_TRUE(seen[L"none"].second.empty());
    EXPECT_EQ(seen[L"Text"], std::make_pair(value_type::kString, text));
    wchar_t tiny[2];
    std::uint8_t data[16];
    std::uint32_t nameChars = 2, type = 0, dataBytes = 16;
    EXPECT_EQ(registry->EnumValue(key, 0, tiny, nameChars, type, data, dataBytes), status::kMoreData)
        << "a name longer than its buffer";
    // Without a name buffer: the same types and data, in the same order,
    // and the name's length left as it was.
    std::vector<std::pair<std::uint32_t, Bytes>> unnamed;
    for (std::uint32_t i = 0;; ++i) {
        std::uint8_t bytes[4096];
        std::uint32_t untouched = 7, valueType = 0, length = 4096;
        const Status status = registry->EnumValue(key, i, nullptr, untouched, valueType, bytes, length);
        if (status == status::kNoMoreItems) break;
        EXPECT_EQ(untouched, 7u);
        if (status == status::kMoreData) {
            EXPECT_EQ(length, 5000u);
            continue;
        }
        ASSERT_EQ(status, 0u);
        unnamed.emplace_back(valueType, Bytes(bytes, bytes + length));
    }
    std::vector<std::pair<std::uint32_t, Bytes>> named;
    for (const auto& [name, value] : seen)
        if (name != L"big") named.push_back(value);
    std::sort(unnamed.begin(), unnamed.end());
    std::sort(named.begin(), named.end());
    EXPECT_EQ(unnamed, named);
    std::uint32_t queriedType = 0;
    Bytes queried;
    ASSERT_EQ(registry->QueryValue(key, L"TEXT", queriedType, queried), 0u);
    EXPECT_EQ(queried, text);
    EXPECT_EQ(registry->QueryValue(key, L"missing", queriedType, queried), status::kNotFound);
    EXPECT_EQ(registry->SetValue(key, L"v", 1, nullptr, 0), status::kAccessDenied) << "opened for reading";
    registry->CloseKey(key);
}

// What a walk sizes its buffers by: never below the key's longest name and
// largest data, as RegQueryInfoKey's answers are.
TEST_P(RegistryBehaviour, AKeysValueLimitsAreNeverBelowItsValues) {
    Put(L"L", L"short", value_type::kBinary, {1});
    Put(L"L", L"a much longer value name", value_type::kBinary, Bytes(7000, 1));
    Put(L"L", L"mid", value_type::kBinary, Bytes(30, 2));
    KeyHandle key = 0;
    ASSERT_EQ(registry->OpenKey(root, L"L", key), 0u);
    std::uint32_t longestName = 0, largestData = 0;
    ASSERT_EQ(registry->QueryValueLimits(key, longestName, largestData), 0u);
    registry->CloseKey(key);
    EXPECT_GE(longestName, 24u);
    EXPECT_GE(largestData, 7000u);
}

TEST_P(RegistryBehaviour, StatusesOfThePlatform) {
    KeyHandle key = 0;
    EXPECT_EQ(registry->OpenKey(root, L"Missing", key), status::kNotFound);
    EXPECT_EQ(registry->OpenKey(root, L"Missing\\Deeper", key), status::kNotFound);
    EXPECT_EQ(registry->OpenKey(0x12345678u, L"", key), status::kInvalidHandle);
    if (std::string(GetParam().name) != "Win32") {
        // As Windows answers; Wine takes both, so its registry is not asked.
        EXPECT_EQ(registry->CreateKey(root, L"A\\\\B", key), status::kBadPathname);
        EXPECT_EQ(registry->CreateKey(root, std::wstring(256, L'n'), key), status::kBadPathname) << "over 255 characters";
    }
    ASSERT_EQ(registry->OpenKey(root, L"", key), 0u);
    EXPECT_EQ(registry->CloseKey(key), 0u);
    EXPECT_EQ(registry->CloseKey(key), status::kInvalidHandle);
    wchar_t name[260];
    EXPECT_EQ(registry->EnumKey(key, 0, name, 260), status::kInvalidHandle);
    const KeyHandle made = Create(L"Made\\Here");
    EXPECT_EQ(registry->EnumKey(made, 0, name, 260), status::kNoMoreItems);
    registry->CloseKey(made);
}

TEST_P(RegistryBehaviour, DeletingKeysAndValues) {
    Put(L"D\\Keep", L"a", 1, {'a', 0, 0, 0});
    Put(L"D\\Keep", L"b", 1, {'b', 0, 0, 0});
    Put(L"D\\Gone\\Below", L"x", 4, {1, 0, 0, 0});
    EXPECT_EQ(registry->DeleteKey(root, L"d\\gone"), 0u);
    EXPECT_EQ(SubKeys(L"D"), std::vector<std::wstring>{L"Keep"});
    EXPECT_EQ(registry->DeleteKey(root, L"D\\Gone"), status::kNotFound);
    const KeyHandle key = Create(L"D\\Keep");
    EXPECT_EQ(registry->DeleteValue(key, L"A"), 0u);
    EXPECT_EQ(registry->DeleteValue(key, L"a"), status::kNotFound);
    std::uint32_t type = 0;
    Bytes data;
    EXPECT_EQ(registry->QueryValue(key, L"b", type, data), 0u) << "the other values stay";
    EXPECT_EQ(data, (Bytes{'b', 0, 0, 0}));
    registry->CloseKey(key);
}

#ifndef _WIN32
// Hive files of this run, in a folder that goes when the run ends.
struct HiveFolder {
    HiveFolder() : path(std::filesystem::temp_directory_path() / ("keyscour-contract-" + std::to_string(getpid()))) {
        std::filesystem::create_directories(path);
    }
    ~HiveFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::filesystem::path path;
};

Backend FreshHive() {
    static HiveFolder folder;
    static int serial = 0;
    const auto path = folder.path / (std::to_string(++serial) + ".hiv");
    WriteFileBytes(path.string(), BlankHive());
    return {std::make_unique<HiveRegistry>(path.string(), true), HiveRegistry::kRoot, {}};
}
#else
// A scratch key below HKCU of the real registry, removed afterwards.
Backend ScratchOfTheRealRegistry() {
    static int serial = 0;
    const std::wstring path = L"Software\\Quillon Keyscour Tests\\contract-" + std::to_wstring(GetCurrentProcessId()) +
                              L"-" + std::to_wstring(++serial);
    auto registry = std::make_unique<Win32Registry>();
    KeyHandle key = 0;
    registry->CreateKey(kCurrentUser, path, key);
    Registry* raw = registry.get();
    return {std::move(registry), key, [raw, key, path] {
                raw->CloseKey(key);
                RegDeleteTreeW(HKEY_CURRENT_USER, path.c_str());
                RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\Quillon Keyscour Tests");  // only once empty
            }};
}
#endif

#ifdef _WIN32
const Subject kPlatform{ScratchOfTheRealRegistry, "Win32"};
#else
const Subject kPlatform{FreshHive, "Hive"};
#endif

INSTANTIATE_TEST_SUITE_P(
    EveryRegistry, RegistryBehaviour,
    ::testing::Values(Subject{[] { return Backend{std::make_unique<MemoryRegistry>(), kCurrentUser, {}}; }, "Memory"},
                      kPlatform),
    [](const ::testing::TestParamInfo<Subject>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace keyscour
