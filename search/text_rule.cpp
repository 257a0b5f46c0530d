#include "search/text_rule.h"

#include <algorithm>

#include "search/ascii_search.h"
#include "search/hit_record.h"

#include "registry/value_forms.h"
#include "base/code_pages.h"
#include "base/utf16.h"
#include "engine/text_case.h"
#include "registry/registry.h"

namespace keyscour::search {

namespace {

// Whether match takes one of a string value's texts: REG_SZ and
// REG_EXPAND_SZ as far as their NUL, REG_MULTI_SZ each string of its list.
template <typename Char, typename Match>
bool AnyText(std::basic_string_view<Char> rest, bool list, Match&& match) {
    if (!list) return match(rest.substr(0, rest.find(Char{0})));
    while (!rest.empty()) {
        const std::size_t end = rest.find(Char{0});
        const auto one = rest.substr(0, end);
        if (one.empty()) return false;  // the empty string that ends the list
        if (match(one)) return true;
        if (end == std::basic_string_view<Char>::npos) return false;
        rest.remove_prefix(end + 1);
    }
    return false;
}

}  // namespace

TextRule::TextRule(RuleOptions options, const std::atomic<bool>* stop) : options_(std::move(options)), stop_(stop) {
    upperText_ = options_.caseSensitive ? options_.text : ToUpperCase(options_.text);
    if (options_.binaryText && options_.ansiCodePage == 0) options_.ansiCodePage = DefaultAnsiCodePage();
    const bool ascii = std::all_of(upperText_.begin(), upperText_.end(), [](wchar_t c) { return c >= 0 && c < 0x80; });
    if (!options_.regex && !options_.whole && !upperText_.empty() && ascii)
        asciiNeedle_.emplace(upperText_.begin(), upperText_.end());
    if (options_.regex && options_.pairs.empty()) regex_.emplace(options_.text, !options_.caseSensitive);
    std::vector<std::wstring> olds;
    for (std::size_t i = 0; i < options_.pairs.size(); ++i) {
        const auto& pair = options_.pairs[i];
        withs_.push_back(pair.with);
        if (options_.regex) {
            pairRegexes_.emplace_back(pair.old, !options_.caseSensitive);
            continue;
        }
        olds.push_back(options_.caseSensitive ? pair.old : ToUpperCase(pair.old));
        wholeOlds_.emplace(olds.back(), i);
    }
    if (!olds.empty()) finder_.emplace(olds);
}

std::wstring_view TextRule::Compared(std::wstring_view text) {
    if (options_.caseSensitive) return text;
    ToUpperCase(text, scratch_);
    return scratch_;
}

bool TextRule::PairsMatch(std::wstring_view text) {
    if (!pairRegexes_.empty()) {
        bool any = false;
        for (const auto& regex : pairRegexes_) {
            const Regex::Outcome outcome = regex.Find(text, options_.whole);
            if (outcome == Regex::Outcome::kGaveUp) ++skipped_;
            if ((any = outcome == Regex::Outcome::kMatch)) break;
        }
        // Which came first, for the record, asked of hits alone.
        if (any && !matchedPair_) Regex::ReplaceEach(pairRegexes_, withs_, text, options_.whole, &matchedPair_);
        return any;
    }
    const std::wstring_view compared = Compared(text);
    std::size_t pair = 0;
    if (options_.whole) {
        const auto found = wholeOlds_.find(std::wstring(compared));
        if (found == wholeOlds_.end()) return false;
        pair = found->second;
    } else if (!finder_->FindFirst(compared, pair)) {
        return false;
    }
    if (!matchedPair_) matchedPair_ = pair;
    return true;
}

std::wstring TextRule::SkippedWarning() const {
    if (skipped_ == 0 || !regex_) return {};
    return std::to_wstring(skipped_) + L" texts were not tried against the regex: longer than " +
           std::to_wstring(regex_->TextLimit()) +
           L" UTF-16 units (the limit shrinks as the pattern grows), or too costly to match";
}

bool TextRule::Matches(std::wstring_view text) {
    if (!options_.pairs.empty()) return PairsMatch(text);
    if (regex_) {
        const Regex::Outcome outcome = regex_->Find(text, options_.whole);
        if (outcome == Regex::Outcome::kGaveUp) ++skipped_;
        return outcome == Regex::Outcome::kMatch;
    }
    if (options_.caseSensitive) return options_.whole ? text == upperText_ : text.find(upperText_) != text.npos;
    if (options_.whole) return EqualsUpperCased(text, upperText_, scratch_);
    // An empty text is in every text, the empty one too.
    return upperText_.empty() || (!text.empty() && ContainsUpperCased(text, upperText_, scratch_));
}

bool TextRule::NameMatches(std::wstring_view name) {
    if (asciiNeedle_)
        if (const auto found = FindAscii(name, *asciiNeedle_, !options_.caseSensitive)) return *found;
    return Matches(name);
}

bool TextRule::KeyNameMatches(std::wstring_view name) {
    matchedPair_.reset();
    return options_.keyNames && NameMatches(name);
}

int TextRule::ValueMatches(std::wstring_view name, std::uint32_t type, std::span<const std::uint8_t> data) {
    // A regex may take a moment on each value: Ctrl+C is heard between them.
    matchedPair_.reset();
    if (options_.keysOnly || !TypeWanted(type) || (regex_ && stop_ && stop_->load(std::memory_order_relaxed))) return 0;
    const int named = options_.names && NameMatches(name) ? kMatchedName : 0;
    // The texts ComparedTexts gives, made in reused storage: a walk
    // compares every value it meets.
    bool matched = false;
    if (!options_.data) {
        // Names alone (--in names).
    } else if (upperText_.empty() && options_.pairs.empty() && !options_.whole && !regex_) {
        matched = true;  // in every value, whatever its type, empty ones too
    } else if (type == value_type::kString || type == value_type::kExpandString || type == value_type::kMultiString) {
        const bool list = type == value_type::kMultiString;
        // ASCII text, as nearly all is, is searched as it is stored.
        std::optional<bool> found;
        if (asciiNeedle_) found = FindAscii(data, list, *asciiNeedle_, !options_.caseSensitive);
        if (found) {
            matched = *found;
        } else {
            DecodeUtf16Le(data.data(), data.size(), text_);
            matched = AnyText(std::wstring_view(text_), list, [this](auto one) { return Matches(one); });
        }
    } else {
        std::vector<std::wstring> texts;
        ComparedTexts(type, data, texts);
        for (const auto& text : texts) matched = matched || Matches(text);
        if (options_.binaryText && (type == value_type::kNone || type == value_type::kBinary || type > value_type::kQword))
            return named | (matched ? kMatchedData : 0) | BinaryTextMatches(data);
    }
    return named | (matched ? kMatchedData : 0);
}

int TextRule::BinaryTextMatches(std::span<const std::uint8_t> data) {
    int found = 0;
    // Texts stored inside a blob begin at either byte: an MRU list's
    // strings follow fields of odd lengths as often as even ones.
    for (std::size_t offset = 0; offset < 2 && offset < data.size() && !found; ++offset) {
        DecodeUtf16Le(data.data() + offset, (data.size() - offset) & ~std::size_t{1}, text_);
        if (Matches(text_)) found |= kMatchedBinaryUtf16;
    }
    // A byte no character of the page stands for ends a run of text there.
    text_.clear();
    std::string_view bytes(reinterpret_cast<const char*>(data.data()), data.size());
    while (!bytes.empty()) {
        const auto bad = DecodeCodePage(options_.ansiCodePage, bytes, text_);
        if (!bad) break;
        text_ += L'\0';
        bytes.remove_prefix(*bad + 1);
    }
    if (Matches(text_)) found |= kMatchedBinaryAnsi;
    return found;
}

std::optional<std::wstring> TextRule::Replace(const std::wstring& text, const std::wstring& with) const {
    if (regex_) return regex_->Replace(text, with, options_.whole);
    if (!pairRegexes_.empty()) return Regex::ReplaceEach(pairRegexes_, withs_, text, options_.whole);
    if (finder_) {
        const std::wstring compared = options_.caseSensitive ? text : ToUpperCase(text);
        if (options_.whole) {
            const auto found = wholeOlds_.find(compared);
            return found == wholeOlds_.end() ? text : withs_[found->second];
        }
        // Upper-casing keeps the length: places in compared are places in text.
        std::vector<PairFinder::Found> found;
        finder_->FindAll(compared, found);
        std::wstring result;
        std::size_t from = 0;
        for (const auto& match : found) {
            result.append(text, from, match.at - from).append(withs_[match.pair]);
            from = match.at + match.length;
        }
        return result.append(text, from, std::wstring::npos);
    }
    const std::wstring upper = options_.caseSensitive ? text : ToUpperCase(text);
    if (options_.whole) return upper == upperText_ ? with : text;
    if (upperText_.empty()) return text;
    // Upper-casing keeps the length, so places in the upper-cased copy are
    // places in the text.
    std::wstring result;
    std::size_t from = 0;
    for (std::size_t at = upper.find(upperText_); at != std::wstring::npos; at = upper.find(upperText_, from)) {
        result.append(text, from, at - from).append(with);
        from = at + upperText_.size();
    }
    return result.append(text, from, std::wstring::npos);
}

}  // namespace keyscour::search
