#pragma once
// The command line's regular expressions: ECMAScript syntax, case ignored
// (unless asked not to) by the project's own rule, `^` and `$` at the ends of the text only and
// `.` never a line break; over Boost.Regex, whose matcher keeps its own
// stack and gives up past a budget, so that no pattern can end the process
// or run without end. Boost stays inside this file's implementation.

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace keyscour::search {

struct RegexError {
    std::wstring message;
};

class Regex {
public:
    // Throws RegexError for a pattern that is not one.
    explicit Regex(const std::wstring& pattern, bool ignoreCase = true);
    ~Regex();
    Regex(Regex&&) noexcept;
    Regex& operator=(Regex&&) noexcept;

    enum class Outcome { kNoMatch, kMatch, kGaveUp };
    // Whether the pattern matches somewhere in text (whole: all of it).
    // kGaveUp for a text longer than TextLimit or a match that spent its
    // budget: neither is a match, and both are counted by the caller.
    Outcome Find(std::wstring_view text, bool whole) const;
    // text with every match replaced by with, in ECMAScript's replace
    // format ($$, $&, $`, $', $n, $nn); whole: one replacement for a text
    // the pattern matches whole, the text as it is otherwise. Nothing when
    // it gave up.
    std::optional<std::wstring> Replace(std::wstring_view text, std::wstring_view with, bool whole) const;

    // Several patterns at once (--pairs), each with its own with: at each
    // step the match that starts first, of those the longest, replaced by
    // its pattern's with, and the search goes on after it. whole: the first
    // pattern that matches the whole text. first, when given, gets the
    // index of the pattern of the first match (the text as it is when
    // none). Nothing when one gave up.
    static std::optional<std::wstring> ReplaceEach(const std::vector<Regex>& patterns,
                                                   const std::vector<std::wstring>& withs, std::wstring_view text,
                                                   bool whole, std::optional<std::size_t>* first = nullptr);

    // The longest text tried, in UTF-16 units: the matcher's budget grows
    // with the text times the pattern's length squared, so a longer
    // pattern is tried on shorter texts.
    std::size_t TextLimit() const { return textLimit_; }
    // The most UTF-16 units any text is tried on, whatever the pattern.
    static constexpr std::size_t kTextLimit = 32 * 1024;

private:
    struct Compiled;
    std::unique_ptr<Compiled> compiled_;
    std::size_t textLimit_ = kTextLimit;
};

}  // namespace keyscour::search
