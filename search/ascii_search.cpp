#include "search/ascii_search.h"

#include <algorithm>
#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace keyscour::search {

namespace {

static_assert(std::endian::native == std::endian::little, "UTF-16LE is read as the machine's own units");

// Eight UTF-16 units, in the compilers' vector extension (GCC and clang).
using Lanes = std::uint16_t __attribute__((vector_size(16)));
constexpr std::size_t kLanes = 8;

constexpr Lanes Splat(std::uint16_t unit) { return Lanes{unit, unit, unit, unit, unit, unit, unit, unit}; }

Lanes Load(const std::uint8_t* at) {
    Lanes lanes;
    std::memcpy(&lanes, at, sizeof lanes);
    return lanes;
}

template <typename Mask>
bool Any(Mask mask) {
    std::uint64_t halves[2];
    std::memcpy(halves, &mask, sizeof halves);
    return (halves[0] | halves[1]) != 0;
}

Lanes UpperCased(Lanes units) {
    const auto letters = units - Splat(u'a') < Splat(26);
    return units - (std::bit_cast<Lanes>(letters) & Splat(0x20));
}

std::uint32_t UpperCased(std::uint32_t unit) { return unit - 'a' < 26 ? unit - 0x20 : unit; }

// A bit for each lane of mask that is set: bit 2k for lane k.
template <typename Mask>
unsigned LaneBits(Mask mask) {
#if defined(__SSE2__)
    return static_cast<unsigned>(_mm_movemask_epi8(std::bit_cast<__m128i>(mask))) & 0x5555u;
#else
    unsigned bits = 0;
    for (std::size_t k = 0; k < kLanes; ++k) bits |= unsigned{mask[k] != 0} << (2 * k);
    return bits;
#endif
}

// Whether one of the first count units (eight or more) is a NUL or lies
// beyond ASCII; the last eight read overlap those before them.
bool AnyNulOrBeyondAscii(const std::uint8_t* bytes, std::size_t count) {
    const auto bad = [bytes](std::size_t at) { return Any(Load(bytes + 2 * at) - Splat(1) >= Splat(0x7F)); };
    std::size_t at = 0;
    for (; at + kLanes <= count; at += kLanes)
        if (bad(at)) return true;
    return at < count && bad(count - kLanes);
}

}  // namespace

std::optional<bool> FindAscii(std::span<const std::uint8_t> data, bool list, std::u16string_view needle,
                              bool ignoreCase) {
    const std::uint8_t* const bytes = data.data();
    const std::size_t units = data.size() / 2;
    const auto unit = [bytes](std::size_t i) -> std::uint32_t { return bytes[2 * i] | (bytes[2 * i + 1] << 8); };

    // Where the text ends, and whether it is ASCII to there: most often
    // it is a REG_SZ with one NUL, its last unit. Otherwise blocks holding
    // neither a NUL nor a character beyond ASCII are passed whole and the
    // rest read a unit at a time. The needle holds no NUL, so a match in a
    // list lies within one of its strings.
    std::size_t end = 0;
    if (!list && units > kLanes && unit(units - 1) == 0 && !AnyNulOrBeyondAscii(bytes, units - 1)) {
        end = units - 1;
    } else {
        while (end < units) {
            if (end + kLanes <= units && !Any(Load(bytes + 2 * end) - Splat(1) >= Splat(0x7F))) {
                end += kLanes;
                continue;
            }
            const std::size_t stop = std::min(end + kLanes, units);
            bool ended = false;
            for (; end < stop; ++end) {
                const std::uint32_t u = unit(end);
                if (u >= 0x80) return std::nullopt;
                if (u == 0 && (!list || end == 0 || unit(end - 1) == 0)) {
                    ended = true;
                    break;
                }
            }
            if (ended) break;
        }
    }

    const std::size_t length = needle.size();
    if (length == 0 || end < length) return false;
    const std::uint16_t first = needle[0];
    const std::size_t starts = end - length + 1;
    const auto folded = [ignoreCase](std::uint32_t u) { return ignoreCase ? UpperCased(u) : u; };
    const auto matchesAt = [&](std::size_t i) {
        std::size_t k = 1;
        while (k < length && folded(unit(i + k)) == needle[k]) ++k;
        return k == length;
    };
    if (end < kLanes) {
        for (std::size_t i = 0; i < starts; ++i)
            if (folded(unit(i)) == first && matchesAt(i)) return true;
        return false;
    }
    // Eight places at a time, straight to those that hold the needle's first
    // character; the text's last places in the eight that end it.
    for (std::size_t i = 0; i < starts; i += kLanes) {
        const std::size_t at = std::min(i, end - kLanes);
        const Lanes lanes = Load(bytes + 2 * at);
        for (unsigned bits = LaneBits((ignoreCase ? UpperCased(lanes) : lanes) == Splat(first)); bits != 0;
             bits &= bits - 1) {
            const std::size_t place = at + static_cast<std::size_t>(std::countr_zero(bits)) / 2;
            if (place >= i && place < starts && matchesAt(place)) return true;
        }
    }
    return false;
}

std::optional<bool> FindAscii(std::wstring_view name, std::u16string_view needle, bool ignoreCase) {
    std::uint32_t seen = 0;
    for (const wchar_t c : name) seen |= static_cast<std::uint32_t>(c);
    if (seen >= 0x80) return std::nullopt;
    const std::size_t length = needle.size();
    if (length == 0 || name.size() < length) return false;
    for (std::size_t i = 0, last = name.size() - length; i <= last; ++i) {
        std::size_t k = 0;
        while (k < length && (ignoreCase ? UpperCased(static_cast<std::uint32_t>(name[i + k]))
                                         : static_cast<std::uint32_t>(name[i + k])) == needle[k])
            ++k;
        if (k == length) return true;
    }
    return false;
}

}  // namespace keyscour::search
