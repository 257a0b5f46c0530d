// FILETIMEs as ISO 8601 UTC text and back, against the C library's own
// calendar (timegm, _mkgmtime on Windows) over dates spread across the
// years a registry holds.

#include <gtest/gtest.h>

#include <ctime>
#include <random>

#include "base/file_time.h"
#include "base/utf8.h"

namespace keyscour {
namespace {

constexpr std::uint64_t kTicks = 10'000'000;
constexpr std::int64_t k1601To1970 = 11'644'473'600;

std::int64_t LibcSeconds(int year, int month, int day, int hour, int minute, int second) {
    std::tm parts{};
    parts.tm_year = year - 1900;
    parts.tm_mon = month - 1;
    parts.tm_mday = day;
    parts.tm_hour = hour;
    parts.tm_min = minute;
    parts.tm_sec = second;
#ifdef _WIN32
    return _mkgmtime(&parts);
#else
    return timegm(&parts);
#endif
}

TEST(FileTime, TextAndBackAgreeWithTheCLibrarysCalendar) {
    EXPECT_EQ(IsoUtcOf(116444736000000000ull), L"1970-01-01T00:00:00Z");
    EXPECT_EQ(IsoUtcOf(0), L"1601-01-01T00:00:00Z");
    std::mt19937 random(36);
    for (int i = 0; i < 2000; ++i) {
        const int year = 1971 + static_cast<int>(random() % 125), month = 1 + static_cast<int>(random() % 12);
        const int day = 1 + static_cast<int>(random() % 28), hour = static_cast<int>(random() % 24);
        const int minute = static_cast<int>(random() % 60), second = static_cast<int>(random() % 60);
        const std::uint64_t expected =
            static_cast<std::uint64_t>(LibcSeconds(year, month, day, hour, minute, second) + k1601To1970) * kTicks;
        char text[32];
        std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", year, month, day, hour, minute, second);
        ASSERT_EQ(ParseIsoTime(FromUtf8(text)), expected) << text;
        ASSERT_EQ(ToUtf8(IsoUtcOf(expected + random() % kTicks)), text) << "what is below a second is dropped";
    }
}

TEST(FileTime, EveryFormTakenAndNothingElse) {
    const auto at = [](const wchar_t* text) { return ParseIsoTime(text); };
    const std::uint64_t midnight = *at(L"2024-02-29T00:00:00Z");
    EXPECT_EQ(at(L"2024-02-29"), midnight) << "a bare date is midnight UTC";
    EXPECT_EQ(at(L"2024-02-29T01:30"), midnight + 5400 * kTicks);
    EXPECT_EQ(at(L"2024-02-29 01:30:00"), midnight + 5400 * kTicks);
    EXPECT_EQ(at(L"2024-02-29T02:30:00+01:00"), midnight + 5400 * kTicks);
    EXPECT_EQ(at(L"2024-02-28T22:30:00-03:00"), midnight + 5400 * kTicks);
    for (const wchar_t* refused : {L"", L"2023-02-29", L"2024-13-01", L"2024-00-10", L"2024-1-01", L"24-01-01",
                                   L"2024-01-01T24:00", L"2024-01-01T10:60", L"2024-01-01T10:00:60", L"2024-01-01T10",
                                   L"2024-01-01Z", L"2024-01-01T10:00+1", L"2024-01-01T10:00:00ZZ", L"1600-12-31",
                                   L"yesterday", L"2024/01/01"})
        EXPECT_FALSE(at(refused)) << ToUtf8(refused);
}

}  // namespace
}  // namespace keyscour
