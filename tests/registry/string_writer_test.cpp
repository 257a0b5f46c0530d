// Writing a string value at a value path: checks, split, trimming, errors,
// and the key closed on every path.

#include <gtest/gtest.h>

#include "base/utf16.h"
#include "tests/support/forwarding_registry.h"
#include "registry/memory_registry.h"
#include "registry/root_keys.h"
#include "registry/string_writer.h"

namespace keyscour {
namespace {

using MRegistry::WriteStringValue;

constexpr std::int32_t kHkcu = static_cast<std::int32_t>(kCurrentUser);

class WriterTest : public ::testing::Test {
protected:
    // The error a write raises, or 0 when it succeeds.
    std::int32_t ErrorOf(std::int32_t base, const std::wstring& section, const std::wstring& data = L"abc") {
        try {
            WriteStringValue(recorder, base, section, data);
        } catch (const NumberedError& error) {
            lastDescription = error.Description();
            EXPECT_EQ(recorder.OpenHandles(), 0) << "key left open by a failing write";
            return error.Number();
        }
        EXPECT_EQ(recorder.OpenHandles(), 0);
        return 0;
    }

    std::vector<std::uint8_t> Utf16(const std::wstring& text) { return EncodeUtf16Le(text); }

    MemoryRegistry store;
    FaultyRegistry faulty{store};
    RecordingRegistry recorder{faulty};
    std::wstring lastDescription;
};

TEST_F(WriterTest, CreatesMissingKeysAndStoresWithoutTerminator) {
    ASSERT_EQ(ErrorOf(kHkcu, L"New\\Nested\\Name", L"abc"), 0);
    const auto value = store.GetValue(kCurrentUser, L"New\\Nested", L"Name");
    ASSERT_TRUE(value);
    EXPECT_EQ(value->type, 1u);
    EXPECT_EQ(value->data, Utf16(L"abc"));
    EXPECT_EQ(value->data.size(), 6u) << "three UTF-16 code units, no NUL";
    EXPECT_EQ(recorder.CountOf(RegistryOp::kCloseKey), 1u);
}

TEST_F(WriterTest, ReplacesAValueOfAnyTypeKeepingItsName) {
    store.PutDword(kCurrentUser, L"K", L"Count", 7);
    ASSERT_EQ(ErrorOf(kHkcu, L"k\\COUNT", L"seven"), 0);
    const auto value = store.GetValue(kCurrentUser, L"K", L"count");
    ASSERT_TRUE(value);
    EXPECT_EQ(value->name, L"Count");
    EXPECT_EQ(value->type, 1u);
    EXPECT_EQ(value->data, Utf16(L"seven"));
}

TEST_F(WriterTest, BackslashFirstWritesTheBaseKeyItself) {
    ASSERT_EQ(ErrorOf(kHkcu, L"\\AtRoot", L""), 0);
    const auto value = store.GetValue(kCurrentUser, L"", L"AtRoot");
    ASSERT_TRUE(value);
    EXPECT_TRUE(value->data.empty()) << "empty text, length 0";
}

TEST_F(WriterTest, SpacesTrimmedFromKeyPathButKeptInValueName) {
    ASSERT_EQ(ErrorOf(kHkcu, L"  Dir\\Sub  \\ name ", L"x"), 0);
    EXPECT_TRUE(store.GetValue(kCurrentUser, L"Dir\\Sub", L" name "));
    EXPECT_FALSE(store.GetValue(kCurrentUser, L"Dir\\Sub", L"name"));
}

TEST_F(WriterTest, ChecksComeInOrderAndNothingIsTouched) {
    EXPECT_EQ(ErrorOf(kHkcu, L""), static_cast<std::int32_t>(0x800403E9));
    EXPECT_EQ(lastDescription, L"Section may not be empty");
    EXPECT_EQ(ErrorOf(kHkcu, L"    "), -2147220503);
    EXPECT_EQ(ErrorOf(kHkcu, L"NoBackslash"), 5);
    EXPECT_EQ(lastDescription, L"Invalid procedure call or argument");
    EXPECT_EQ(ErrorOf(kHkcu, L"Key\\"), static_cast<std::int32_t>(0x800403EA));
    EXPECT_EQ(lastDescription, L"Key may not be empty");
    EXPECT_EQ(ErrorOf(kHkcu, L"Key\\   "), -2147220502);
    EXPECT_EQ(recorder.CountOf(RegistryOp::kCreateKey), 0u);
    EXPECT_FALSE(store.KeyExists(kCurrentUser, L"Key"));
    // The key is closed, with handle 0, even when it was never opened.
    EXPECT_EQ(recorder.CountOf(RegistryOp::kCloseKey), 5u);
}

TEST_F(WriterTest, RegistryStatusesBecomeNumberedErrors) {
    EXPECT_EQ(ErrorOf(0, L"K\\V"), static_cast<std::int32_t>(0x800407D6));
    EXPECT_EQ(lastDescription, L"Could not open/create registry section");

    store.MarkUnwritable(kCurrentUser, L"Locked");
    EXPECT_EQ(ErrorOf(kHkcu, L"Locked\\V"), static_cast<std::int32_t>(0x800407D5));
    EXPECT_EQ(ErrorOf(kHkcu, L"Locked\\Child\\V"), static_cast<std::int32_t>(0x800407D5));

    faulty.FailNth(RegistryOp::kSetValue, 1, status::kAccessDenied);
    EXPECT_EQ(ErrorOf(kHkcu, L"Made\\V"), static_cast<std::int32_t>(0x800407D5));
    EXPECT_EQ(lastDescription, L"Could not set key value");
    EXPECT_TRUE(store.KeyExists(kCurrentUser, L"Made")) << "a created key stays";
    EXPECT_FALSE(store.GetValue(kCurrentUser, L"Made", L"V"));
}

TEST_F(WriterTest, UnexpectedFailureStillClosesTheKey) {
    faulty.ThrowNth(RegistryOp::kSetValue, 1);
    EXPECT_THROW(WriteStringValue(recorder, kHkcu, L"K\\V", L"x"), std::bad_alloc);
    EXPECT_EQ(recorder.OpenHandles(), 0);
}

TEST_F(WriterTest, TextBeyondTheBasicPlaneIsStoredAsSurrogatePairs) {
    ASSERT_EQ(ErrorOf(kHkcu, L"K\\Emoji", L"a\U0001F600\u00FC"), 0);
    EXPECT_EQ(store.GetValue(kCurrentUser, L"K", L"Emoji")->data,
              (std::vector<std::uint8_t>{0x61, 0x00, 0x3d, 0xd8, 0x00, 0xde, 0xfc, 0x00}));
    const std::uint8_t stored[] = {0x3d, 0xd8, 0x00, 0xde, 0x61, 0x00, 0x3d, 0xd8};  // ends in a lone high surrogate
    const std::wstring decoded = DecodeUtf16Le(stored, sizeof stored);
    if constexpr (sizeof(wchar_t) == 2) {
        EXPECT_EQ(decoded, (std::wstring{wchar_t(0xD83D), wchar_t(0xDE00), L'a', wchar_t(0xD83D)}));
    } else {
        EXPECT_EQ(decoded, (std::wstring{static_cast<wchar_t>(0x1F600), L'a', static_cast<wchar_t>(0xD83D)}));
    }
}

TEST_F(WriterTest, AKeyPathLengthSplitsWhereTheNameBegins) {
    ASSERT_EQ(ErrorOf(kHkcu, L"K\\x"), 0);
    MRegistry::WriteStringValue(recorder, kHkcu, L"K\\a\\b", 1, L"in place");
    EXPECT_EQ(store.GetValue(kCurrentUser, L"K", L"a\\b")->data, Utf16(L"in place"));
    EXPECT_FALSE(store.KeyExists(kCurrentUser, L"K\\a"));
    EXPECT_THROW(MRegistry::WriteStringValue(recorder, kHkcu, L"K\\a", 0, L"x"), NumberedError)
        << "no backslash at that place";
    EXPECT_EQ(recorder.OpenHandles(), 0);
}

TEST_F(WriterTest, CallerStringsAreUnchanged) {
    const std::wstring section = L" A \\B";
    const std::wstring data = L" text ";
    ASSERT_EQ(ErrorOf(kHkcu, section, data), 0);
    EXPECT_EQ(section, L" A \\B");
    EXPECT_EQ(store.GetValue(kCurrentUser, L"A", L"B")->data, Utf16(L" text "));
}

}  // namespace
}  // namespace keyscour
