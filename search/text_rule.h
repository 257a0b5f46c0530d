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
#include <unordered_map>
#include <vector>

#include "search/hit_record.h"
#include "search/pairs.h"
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
    // REG_BINARY, REG_NONE and unknown types also read as UTF-16LE text (at
    // both byte alignments) and as ANSI text of this page (0: the default).
    bool binaryText = false;
    int ansiCodePage = 0;
    std::optional<std::set<std::uint32_t>> types;  // only values of these types
    // --pairs: several texts (or patterns) found in one pass, each with its
    // replacement; text is then unused.
    std::vector<ReplacePair> pairs;
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
    // With pairs: the OLD whose match came first in the last name or text
    // that matched; empty otherwise.
    std::wstring_view MatchedOld() const {
        return matchedPair_ ? std::wstring_view(options_.pairs[*matchedPair_].old) : std::wstring_view();
    }

private:
    // Matches for a key's or a value's name: most often plain ASCII.
    bool NameMatches(std::wstring_view name);
    bool PairsMatch(std::wstring_view text);
    // kMatchedBinaryUtf16 and kMatchedBinaryAnsi for what binary data holds.
    int BinaryTextMatches(std::span<const std::uint8_t> data);
    // text as compared: upper-cased into scratch_ unless case counts.
    // Upper-casing keeps the length, so places in it are places in text.
    std::wstring_view Compared(std::wstring_view text);

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
    // The pairs, as compared: one pass for plain texts, a lookup for whole
    // ones, the patterns for --regex.
    std::optional<PairFinder> finder_;
    std::unordered_map<std::wstring, std::size_t> wholeOlds_;
    std::vector<Regex> pairRegexes_;
    std::vector<std::wstring> withs_;
    std::optional<std::size_t> matchedPair_;
};

}  // namespace keyscour::search
