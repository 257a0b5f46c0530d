#include "search/regex.h"

// One find never visits more states than this before it gives up; Boost
// takes the larger of this and the text's length times the pattern's
// length squared, which the text limit keeps below it too.
#define BOOST_REGEX_MAX_STATE_COUNT 8000000
#define BOOST_REGEX_STANDALONE
#include <boost/regex.hpp>

#include <chrono>
#include <stdexcept>

#include "base/unicode_case.h"
#include "base/utf8.h"

namespace keyscour::search {

namespace {

constexpr std::ptrdiff_t kStates = BOOST_REGEX_MAX_STATE_COUNT;
// All the finds of one value together; a find gives up on its own budget
// long before this.
constexpr auto kValueTime = std::chrono::milliseconds(120);

// Case ignored by the rule plain text uses, whatever the locale.
struct FoldingTraits : boost::cpp_regex_traits<wchar_t> {
    wchar_t translate_nocase(wchar_t c) const { return UpperCaseOf(c); }
    wchar_t translate(wchar_t c, bool icase) const { return icase ? UpperCaseOf(c) : c; }
    wchar_t translate(wchar_t c) const { return c; }
};

using Pattern = boost::basic_regex<wchar_t, FoldingTraits>;
using Iterator = std::wstring_view::const_iterator;
using Match = boost::match_results<Iterator>;

constexpr auto kSyntax =
    boost::regex_constants::ECMAScript | boost::regex_constants::no_mod_m | boost::regex_constants::no_mod_s;
const auto kMatchFlags = boost::regex_constants::match_default | boost::regex_constants::match_not_dot_newline;

std::size_t Utf16Units(std::wstring_view text) {
    if constexpr (sizeof(wchar_t) == 2) {
        return text.size();
    } else {
        std::size_t units = text.size();
        for (wchar_t c : text) units += static_cast<std::uint32_t>(c) > 0xFFFF;
        return units;
    }
}

// $-forms as ECMAScript's replace has them: $$, $&, $`, $', $n and $nn
// (two digits only where that group exists); everything else, every
// backslash too, stands as typed.
void Expand(std::wstring_view with, const Match& match, std::wstring_view text, std::wstring& out) {
    const std::size_t groups = match.size() - 1;
    auto group = [&](std::size_t n) {
        if (match[static_cast<int>(n)].matched) out.append(match[static_cast<int>(n)].first, match[static_cast<int>(n)].second);
    };
    for (std::size_t i = 0; i < with.size(); ++i) {
        const wchar_t c = with[i];
        if (c != L'$' || i + 1 == with.size()) {
            out += c;
            continue;
        }
        const wchar_t next = with[i + 1];
        if (next == L'$') {
            out += L'$';
        } else if (next == L'&') {
            group(0);
        } else if (next == L'`') {
            out.append(text.begin(), match[0].first);
        } else if (next == L'\'') {
            out.append(match[0].second, text.end());
        } else if (next >= L'0' && next <= L'9') {
            const std::size_t one = static_cast<std::size_t>(next - L'0');
            const bool twoDigits = i + 2 < with.size() && with[i + 2] >= L'0' && with[i + 2] <= L'9';
            const std::size_t two = twoDigits ? one * 10 + static_cast<std::size_t>(with[i + 2] - L'0') : 0;
            if (twoDigits && two >= 1 && two <= groups) {
                group(two);
                i += 2;
                continue;
            }
            if (one < 1 || one > groups) {
                out += c;
                continue;
            }
            group(one);
        } else {
            out += c;
            continue;
        }
        ++i;
    }
}

// Every match left to right, as ECMAScript's global replace takes them:
// find(from, flags, match) gives the next match and the with to expand
// for it, or nothing. Each find starts afresh with its own budget; the
// value's time bounds them all together.
template <typename Find>
std::optional<std::wstring> ReplaceAll(std::wstring_view text, Find&& find) {
    std::wstring result;
    const auto deadline = std::chrono::steady_clock::now() + kValueTime;
    Iterator from = text.begin();
    auto flags = kMatchFlags;
    Match match;
    while (from <= text.end()) {
        const std::optional<std::wstring_view> with = find(from, flags, match);
        if (!with) break;
        result.append(from, match[0].first);
        Expand(*with, match, text, result);
        from = match[0].second;
        flags = kMatchFlags | boost::regex_constants::match_prev_avail;
        if (match[0].first == match[0].second) {
            // An empty match: the next find starts one further on.
            if (from == text.end()) break;
            result += *from++;
        }
        if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
    }
    if (from < text.end()) result.append(from, text.end());
    return result;
}

}  // namespace

struct Regex::Compiled {
    Pattern pattern;
};

Regex::Regex(const std::wstring& pattern, bool ignoreCase) {
    try {
        compiled_ = std::make_unique<Compiled>(Compiled{Pattern(pattern, ignoreCase ? kSyntax | boost::regex_constants::icase : kSyntax)});
    } catch (const boost::regex_error& error) {
        throw RegexError{FromUtf8(error.what())};
    }
    // A longer pattern gets a shorter text, so that text times pattern
    // squared stays within one find's budget.
    const std::ptrdiff_t size = std::max<std::ptrdiff_t>(1, static_cast<std::ptrdiff_t>(compiled_->pattern.size()));
    const std::ptrdiff_t bySize = kStates / (size * size);
    textLimit_ = static_cast<std::size_t>(std::clamp<std::ptrdiff_t>(bySize, 1, static_cast<std::ptrdiff_t>(kTextLimit)));
}

Regex::~Regex() = default;
Regex::Regex(Regex&&) noexcept = default;
Regex& Regex::operator=(Regex&&) noexcept = default;

Regex::Outcome Regex::Find(std::wstring_view text, bool whole) const {
    if (Utf16Units(text) > textLimit_) return Outcome::kGaveUp;
    try {
        const bool found = whole ? boost::regex_match(text.begin(), text.end(), compiled_->pattern, kMatchFlags)
                                 : boost::regex_search(text.begin(), text.end(), compiled_->pattern, kMatchFlags);
        return found ? Outcome::kMatch : Outcome::kNoMatch;
    } catch (const std::runtime_error&) {  // the budget spent, or the matcher's own stack
        return Outcome::kGaveUp;
    }
}

std::optional<std::wstring> Regex::Replace(std::wstring_view text, std::wstring_view with, bool whole) const {
    if (Utf16Units(text) > textLimit_) return std::nullopt;
    std::wstring result;
    try {
        Match match;
        if (whole) {
            if (!boost::regex_match(text.begin(), text.end(), match, compiled_->pattern, kMatchFlags))
                return std::wstring(text);
            Expand(with, match, text, result);
            return result;
        }
        return ReplaceAll(text, [&](Iterator from, auto flags, Match& found) -> std::optional<std::wstring_view> {
            if (!boost::regex_search(from, text.end(), found, compiled_->pattern, flags, text.begin())) return std::nullopt;
            return with;
        });
    } catch (const std::runtime_error&) {
        return std::nullopt;
    }
}

std::optional<std::wstring> Regex::ReplaceEach(const std::vector<Regex>& patterns, const std::vector<std::wstring>& withs,
                                               std::wstring_view text, bool whole, std::optional<std::size_t>* first) {
    if (first) first->reset();
    for (const auto& pattern : patterns)
        if (Utf16Units(text) > pattern.textLimit_) return std::nullopt;
    std::wstring result;
    try {
        Match match;
        if (whole) {
            for (std::size_t i = 0; i < patterns.size(); ++i)
                if (boost::regex_match(text.begin(), text.end(), match, patterns[i].compiled_->pattern, kMatchFlags)) {
                    if (first) *first = i;
                    Expand(withs[i], match, text, result);
                    return result;
                }
            return std::wstring(text);
        }
        return ReplaceAll(text, [&](Iterator from, auto flags, Match& best) -> std::optional<std::wstring_view> {
            // Every pattern's next match; the first to start, the longest of those.
            std::optional<std::size_t> chosen;
            for (std::size_t i = 0; i < patterns.size(); ++i) {
                if (!boost::regex_search(from, text.end(), match, patterns[i].compiled_->pattern, flags, text.begin()))
                    continue;
                if (!chosen || match[0].first < best[0].first ||
                    (match[0].first == best[0].first && match[0].length() > best[0].length())) {
                    chosen = i;
                    best = match;
                }
            }
            if (!chosen) return std::nullopt;
            if (first && !*first) *first = chosen;
            return withs[*chosen];
        });
    } catch (const std::runtime_error&) {
        return std::nullopt;
    }
}

}  // namespace keyscour::search
