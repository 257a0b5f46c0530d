#include "search/text_rule.h"

#include <algorithm>

#include "search/ascii_search.h"

#include "registry/value_forms.h"
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
    const bool ascii = std::all_of(upperText_.begin(), upperText_.end(), [](wchar_t c) { return c >= 0 && c < 0x80; });
    if (!options_.regex && !options_.whole && !upperText_.empty() && ascii)
        asciiNeedle_.emplace(upperText_.begin(), upperText_.end());
    if (options_.regex) regex_.emplace(options_.text, !options_.caseSensitive);
}

std::wstring TextRule::SkippedWarning() const {
    if (skipped_ == 0 || !regex_) return {};
    return std::to_wstring(skipped_) + L" texts were not tried against the regex: longer than " +
           std::to_wstring(regex_->TextLimit()) +
           L" UTF-16 units (the limit shrinks as the pattern grows), or too costly to match";
}

bool TextRule::Matches(std::wstring_view text) {
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

bool TextRule::KeyNameMatches(std::wstring_view name) { return options_.keyNames && NameMatches(name); }

int TextRule::ValueMatches(std::wstring_view name, std::uint32_t type, std::span<const std::uint8_t> data) {
    // A regex may take a moment on each value: Ctrl+C is heard between them.
    if (options_.keysOnly || !TypeWanted(type) || (regex_ && stop_ && stop_->load(std::memory_order_relaxed))) return 0;
    const int named = options_.names && NameMatches(name) ? kMatchedName : 0;
    // The texts ComparedTexts gives, made in reused storage: a walk
    // compares every value it meets.
    bool matched = false;
    if (!options_.data) {
        // Names alone (--in names).
    } else if (upperText_.empty() && !options_.whole && !regex_) {
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
    }
    return named | (matched ? kMatchedData : 0);
}

std::optional<std::wstring> TextRule::Replace(const std::wstring& text, const std::wstring& with) const {
    if (regex_) return regex_->Replace(text, with, options_.whole);
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
