// --pairs: the file's rules line by line, the one-pass search against a
// brute-force search of every place, and the replace that never searches
// what it put in.

#include <gtest/gtest.h>

#include <random>

#include "base/utf8.h"
#include "registry/value_forms.h"
#include "search/pairs.h"
#include "search/text_rule.h"

namespace keyscour::search {
namespace {

std::vector<std::uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

TEST(PairsFile, Refusals) {
    struct Case {
        std::string text;
        std::size_t line;
        bool caseSensitive = false;
    };
    const Case cases[] = {
        {"a\tb\nno tab here\n", 2},
        {"a\tb\tc\n", 1},
        {"\tb\n", 1},
        {"Alice\tx\n# c\nALICE\ty\n", 3},
        {"ok\tfine\n\xC3\x28\tx\n", 2},
        {"# only comments\n\n", 0},
        {"", 0},
    };
    for (const auto& refused : cases) {
        try {
            ReadPairs(Bytes(refused.text), refused.caseSensitive);
            ADD_FAILURE() << refused.text;
        } catch (const PairsError& error) {
            EXPECT_EQ(error.line, refused.line) << refused.text << ": " << ToUtf8(error.message);
        }
    }
    EXPECT_EQ(ReadPairs(Bytes("Alice\tx\nALICE\ty\n"), true).size(), 2u) << "case counts with --case-sensitive";
    const auto taken = ReadPairs(Bytes("Gone\t\r\n# x\r\nM\xC3\xBC\tMu\r\n"), false);
    ASSERT_EQ(taken.size(), 2u);
    EXPECT_EQ(taken[0].with, L"") << "an empty NEW is allowed";
    EXPECT_EQ(taken[1].old, L"M\u00FC");
}

// At each place the longest old text that starts there, then on after it:
// the same as trying every old text at every place.
TEST(PairFinder, LeftmostLongestAsABruteForceSearchFindsIt) {
    std::mt19937 random(38);
    const std::wstring alphabet = L"ab\u00E9\u4E2D";
    for (int round = 0; round < 3000; ++round) {
        std::vector<std::wstring> olds;
        const std::size_t count = 1 + random() % 6;
        while (olds.size() < count) {
            std::wstring old;
            for (std::size_t i = 0, length = 1 + random() % 4; i < length; ++i) old += alphabet[random() % alphabet.size()];
            if (std::find(olds.begin(), olds.end(), old) == olds.end()) olds.push_back(old);
        }
        std::wstring text;
        for (std::size_t i = 0, length = random() % 30; i < length; ++i) text += alphabet[random() % alphabet.size()];

        std::vector<PairFinder::Found> expected;
        for (std::size_t at = 0; at < text.size();) {
            PairFinder::Found best;
            for (std::size_t p = 0; p < olds.size(); ++p)
                if (text.compare(at, olds[p].size(), olds[p]) == 0 && olds[p].size() > best.length) best = {at, olds[p].size(), p};
            if (best.length == 0) {
                ++at;
                continue;
            }
            expected.push_back(best);
            at += best.length;
        }
        std::vector<PairFinder::Found> found;
        PairFinder(olds).FindAll(text, found);
        ASSERT_EQ(found.size(), expected.size()) << ToUtf8(text);
        for (std::size_t i = 0; i < found.size(); ++i) {
            ASSERT_EQ(found[i].at, expected[i].at) << ToUtf8(text);
            ASSERT_EQ(found[i].length, expected[i].length) << ToUtf8(text);
            ASSERT_EQ(found[i].pair, expected[i].pair) << ToUtf8(text);
        }
    }
}

TEST(PairsRule, ReplacesInOnePassIgnoringCaseAndNeverSearchesWhatItPutIn) {
    RuleOptions options;
    options.pairs = {{L"a", L"b"}, {L"b", L"a"}, {L"Fabrikam", L"Contoso"}, {L"Fabrikam Inc", L"Contoso Ltd"}};
    TextRule rule(options);
    EXPECT_EQ(rule.Replace(L"AB ab", L""), L"ba ba") << "a swap in one pass";
    EXPECT_EQ(rule.Replace(L"FABRIKAM INC and fabrikam", L""), L"Contoso Ltd bnd Contoso") << "the longest at each place";
    EXPECT_NE(rule.ValueMatches(L"", value_type::kString, StringData(L"xx FABRIKAM xx")), 0);
    EXPECT_EQ(rule.MatchedOld(), L"Fabrikam");
    EXPECT_EQ(rule.ValueMatches(L"", value_type::kString, StringData(L"nothing")), 0) << "n-o-t-h-i-n-g holds no a or b";
    EXPECT_EQ(rule.MatchedOld(), L"");

    options.whole = true;
    TextRule whole(options);
    EXPECT_EQ(whole.Replace(L"fabrikam inc", L""), L"Contoso Ltd");
    EXPECT_EQ(whole.Replace(L"fabrikam inc!", L""), L"fabrikam inc!");

    EXPECT_TRUE(whole.Matches(L"FABRIKAM INC"));
    EXPECT_FALSE(whole.Matches(L"fabrikam inc!")) << "a text that is no OLD whole is no hit";

    options.whole = false;
    options.caseSensitive = true;
    TextRule cased(options);
    EXPECT_EQ(cased.Replace(L"AB ab Fabrikam fabrikam", L""), L"AB ba Contoso fbarikbm");

    // Patterns: the match that starts first, the longest of those (the
    // one listed first of equals), each with its own $1.
    RuleOptions patterns;
    patterns.regex = true;
    patterns.pairs = {{L"x(\\d)", L"[$1]"}, {L"\\d", L"<$&>"}, {L"\\d\\d\\d", L"#"}, {L"[0-9]{3}", L"!"}};
    TextRule regex(patterns);
    EXPECT_EQ(regex.Replace(L"a x12 345 6", L""), L"a [1]<2> # <6>");
    EXPECT_TRUE(regex.Matches(L"x9"));
    EXPECT_EQ(regex.MatchedOld(), L"x(\\d)");
}

// The first character past ASCII goes to the automaton's wider table, in
// the old texts and in the texts alike.
TEST(PairFinder, CharactersJustPastAscii) {
    const std::wstring old = std::wstring(L"a") + L'\u0080' + L"b";
    std::vector<PairFinder::Found> found;
    PairFinder({old, L"\u00FF"}).FindAll(L"xx" + old + L"y\u00FF", found);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].at, 2u);
    EXPECT_EQ(found[0].length, 3u);
    EXPECT_EQ(found[1].pair, 1u);
    std::size_t pair = 9;
    EXPECT_FALSE(PairFinder({old}).FindFirst(L"a\u0081b", pair));
}

}  // namespace
}  // namespace keyscour::search
