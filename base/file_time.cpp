#include "base/file_time.h"

#include <cstdio>

namespace keyscour {

namespace {

constexpr std::int64_t kTicksPerSecond = 10'000'000;
constexpr std::int64_t kSecondsFrom1601To1970 = 11'644'473'600;

// Days since 1970-01-01 of a proleptic Gregorian date, and back: the
// civil-calendar algorithms, exact for every year a FILETIME holds.
std::int64_t DaysFromCivil(std::int64_t year, unsigned month, unsigned day) {
    year -= month <= 2;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const unsigned yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<std::int64_t>(dayOfEra) - 719468;
}

void CivilFromDays(std::int64_t days, std::int64_t& year, unsigned& month, unsigned& day) {
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const unsigned dayOfEra = static_cast<unsigned>(days - era * 146097);
    const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned shifted = (5 * dayOfYear + 2) / 153;
    day = dayOfYear - (153 * shifted + 2) / 5 + 1;
    month = shifted < 10 ? shifted + 3 : shifted - 9;
    year = static_cast<std::int64_t>(yearOfEra) + era * 400 + (month <= 2);
}

bool IsLeap(std::int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

unsigned DaysIn(std::int64_t year, unsigned month) {
    static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeap(year) ? 29 : kDays[month - 1];
}

// Exactly count digits at text[at], as a number.
std::optional<unsigned> Digits(std::wstring_view text, std::size_t at, std::size_t count) {
    if (at + count > text.size()) return std::nullopt;
    unsigned value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (text[i] < L'0' || text[i] > L'9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(text[i] - L'0');
    }
    return value;
}

}  // namespace

std::wstring IsoUtcOf(std::uint64_t fileTime) {
    const std::int64_t seconds = static_cast<std::int64_t>(fileTime / kTicksPerSecond) - kSecondsFrom1601To1970;
    std::int64_t days = seconds / 86400, rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    std::int64_t year = 0;
    unsigned month = 0, day = 0;
    CivilFromDays(days, year, month, day);
    wchar_t text[40];
    std::swprintf(text, 40, L"%04lld-%02u-%02uT%02u:%02u:%02uZ", static_cast<long long>(year), month, day,
                  static_cast<unsigned>(rest / 3600), static_cast<unsigned>(rest / 60 % 60),
                  static_cast<unsigned>(rest % 60));
    return text;
}

std::optional<std::uint64_t> ParseIsoTime(std::wstring_view text) {
    const auto year = Digits(text, 0, 4), month = Digits(text, 5, 2), day = Digits(text, 8, 2);
    if (!year || !month || !day || text[4] != L'-' || text[7] != L'-') return std::nullopt;
    if (*year < 1601 || *month < 1 || *month > 12 || *day < 1 || *day > DaysIn(*year, *month)) return std::nullopt;
    unsigned hour = 0, minute = 0, second = 0;
    std::int64_t offset = 0;  // seconds east of UTC
    std::size_t at = 10;
    if (at < text.size()) {
        if (text[at] != L'T' && text[at] != L't' && text[at] != L' ') return std::nullopt;
        const auto h = Digits(text, at + 1, 2), m = Digits(text, at + 4, 2);
        if (!h || !m || text[at + 3] != L':' || *h > 23 || *m > 59) return std::nullopt;
        hour = *h;
        minute = *m;
        at += 6;
        if (at < text.size() && text[at] == L':') {
            const auto s = Digits(text, at + 1, 2);
            if (!s || *s > 59) return std::nullopt;
            second = *s;
            at += 3;
        }
        if (at < text.size() && (text[at] == L'Z' || text[at] == L'z')) {
            ++at;
        } else if (at < text.size() && (text[at] == L'+' || text[at] == L'-')) {
            const auto h = Digits(text, at + 1, 2), m = Digits(text, at + 4, 2);
            if (!h || !m || text[at + 3] != L':' || *h > 23 || *m > 59) return std::nullopt;
            offset = (text[at] == L'+' ? 1 : -1) * static_cast<std::int64_t>(*h * 3600 + *m * 60);
            at += 6;
        }
    }
    if (at != text.size()) return std::nullopt;
    const std::int64_t seconds = DaysFromCivil(*year, *month, *day) * 86400 + hour * 3600 + minute * 60 + second -
                                 offset + kSecondsFrom1601To1970;
    if (seconds < 0) return std::nullopt;
    return static_cast<std::uint64_t>(seconds) * kTicksPerSecond;
}

}  // namespace keyscour
