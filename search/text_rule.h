#pragma once
// What the command line counts as a hit: its text in a key's name, in a
// value's compared texts (and with --names in its name), ignoring case in
// one way whatever the locale; or an ECMAScript regular expression.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "search/regex.h"
#include "engine/keyscour.h"

namespace keyscour::search {

struct RuleOptions {
    std::wstring text;
    bool whole = false;     // the whole text must match
    bool names = false;     // value names are compared too
    bool keysOnly = false;  // only key names
    // What --in names: key names, value data and (through names) value names.
    bool keyNames = true;
    bool data = true;
    bool regex = false;
    bool caseSensitive = false;  // every compare of text and names takes case as it is
    std::optional<std::set<std::uint32_t>> types;  // only values of these types
};

class TextRule final : public MatchRule {
public:
    // Throws RegexError for a pattern that is not one. stop, when given,
    // is heard between values, since a regex may take a moment on each.
    explicit TextRule(RuleOptions options, const std::atomic<bool>* stop = nullptr);

    bool KeyNameMatches(std::wstring_view name) override;
    bool ScansValues() const override { return !options_.keysOnly && (options_.data || options_.names); }
    bool ComparesValueNames() const override { return options_.names; }
    int ValueMatches(std::wstring_view name, std::uint32_t type, std::span<const std::uint8_t> data) override;

    // Whether one text matches; texts the regex gives up on count as
    // skipped and never match.
    bool Matches(std::wstring_view text);
    // text with every match replaced by with: ignoring case for plain text,
    // in the ECMAScript format ($1, $&) for a regex; with --whole only a
    // whole match is replaced, once. Nothing when the regex gave up.
    std::optional<std::wstring> Replace(const std::wstring& text, const std::wstring& with) const;
    bool TypeWanted(std::uint32_t type) const { return !options_.types || options_.types->count(type) != 0; }

    // Texts the regex gave up on: too long for the pattern, or too costly.
    std::uint64_t Skipped() const { return skipped_; }
    // The line that says why, for a summary; empty when none was skipped.
    std::wstring SkippedWarning() const;

private:
    // Matches for a key's or a value's name: most often plain ASCII.
    bool NameMatches(std::wstring_view name);

    RuleOptions options_;
    // The text as compared: upper-cased, or as it is when case counts.
    std::wstring upperText_;
    // upperText_, for a plain search of text that is all ASCII, not empty.
    std::optional<std::u16string> asciiNeedle_;
    std::optional<Regex> regex_;
    std::wstring scratch_;
    std::wstring text_;  // the value's text, reused from value to value
    std::uint64_t skipped_ = 0;
    const std::atomic<bool>* stop_ = nullptr;
};

}  // namespace keyscour::search
