#include "cli/text_rule.h"

#include "registry/value_forms.h"
#include "base/utf16.h"
#include "engine/text_case.h"
#include "registry/registry.h"

namespace keyscour::cli {

TextRule::TextRule(RuleOptions options) : options_(std::move(options)) {
    upperText_ = ToUpperCase(options_.text);
    if (options_.regex) regex_.emplace(options_.text, std::regex_constants::ECMAScript | std::regex_constants::icase);
}

bool TextRule::Matches(std::wstring_view text) {
    if (regex_) {
        if (text.size() > kRegexLimit) {
            ++skipped_;
            return false;
        }
        return options_.whole ? std::regex_match(text.begin(), text.end(), *regex_)
                              : std::regex_search(text.begin(), text.end(), *regex_);
    }
    if (options_.whole) return EqualsUpperCased(text, upperText_, scratch_);
    return !text.empty() && ContainsUpperCased(text, upperText_, scratch_);
}

bool TextRule::MatchesUpperCased(std::wstring_view upper) const {
    if (options_.whole) return upper == upperText_;
    return !upper.empty() && upper.find(upperText_) != std::wstring_view::npos;
}

bool TextRule::KeyNameMatches(std::wstring_view name) { return Matches(name); }

int TextRule::ValueMatches(std::wstring_view name, std::uint32_t type, std::span<const std::uint8_t> data) {
    if (options_.keysOnly || !TypeWanted(type)) return 0;
    const int named = options_.names && Matches(name) ? kMatchedName : 0;
    // The texts ComparedTexts gives, made in reused storage: a walk
    // compares every value it meets.
    bool matched = false;
    if (type == value_type::kString || type == value_type::kExpandString || type == value_type::kMultiString) {
        // Plain ASCII text is upper-cased as it is decoded, and compared as it is.
        const bool upper = !regex_ && UpperCaseAsciiUtf16LeInto(data.data(), data.size(), text_);
        if (!upper) DecodeUtf16Le(data.data(), data.size(), text_);
        const auto matches = [&](std::wstring_view one) { return upper ? MatchesUpperCased(one) : Matches(one); };
        std::wstring_view rest(text_);
        if (type != value_type::kMultiString) {
            matched = matches(rest.substr(0, rest.find(L'\0')));
        } else {
            while (!rest.empty() && !matched) {
                const std::size_t end = rest.find(L'\0');
                const std::wstring_view one = rest.substr(0, end);
                if (one.empty()) break;  // the empty string that ends the list
                matched = matches(one);
                rest = end == std::wstring_view::npos ? std::wstring_view{} : rest.substr(end + 1);
            }
        }
    } else {
        std::vector<std::wstring> texts;
        ComparedTexts(type, data, texts);
        for (const auto& text : texts) matched = matched || Matches(text);
    }
    return named | (matched ? kMatchedData : 0);
}

std::wstring TextRule::Replace(const std::wstring& text, const std::wstring& with) const {
    if (regex_) {
        if (text.size() > kRegexLimit) return text;
        if (options_.whole && !std::regex_match(text, *regex_)) return text;
        return std::regex_replace(text, *regex_, with);
    }
    const std::wstring upper = ToUpperCase(text);
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

}  // namespace keyscour::cli
