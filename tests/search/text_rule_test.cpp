// The matcher: what is compared, the rule over every type and case, and
// the type-keeping replace.

#include <gtest/gtest.h>

#include <array>
#include <clocale>
#include <random>

#include "base/utf16.h"
#include "base/utf8.h"
#include "engine/keyscour.h"
#include "engine/text_case.h"
#include "registry/value_forms.h"
#include "search/text_rule.h"
#include "search/value_replace.h"

namespace keyscour::search {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Texts = std::vector<std::wstring>;

Bytes Str(const std::wstring& text) { return StringData(text); }

TEST(ValueForms, WhatIsComparedForEachType) {
    Texts texts;
    ComparedTexts(2, Str(L"%SystemRoot%\\x"), texts);
    EXPECT_EQ(texts, Texts{L"%SystemRoot%\\x"}) << "as stored, not expanded";
    ComparedTexts(1, Bytes{'a', 0, 'b', 0}, texts);
    EXPECT_EQ(texts, Texts{L"ab"}) << "no terminator: all of it";
    ComparedTexts(7, MultiStringData({L"one", L"two"}), texts);
    EXPECT_EQ(texts, (Texts{L"one", L"two"}));
    ComparedTexts(4, Bytes{26, 0, 0, 0}, texts);
    EXPECT_EQ(texts, (Texts{L"26", L"0x1a"}));
    ComparedTexts(11, Bytes{0, 0, 0, 0, 0, 0, 0, 0x80}, texts);
    EXPECT_EQ(texts, (Texts{L"9223372036854775808", L"0x8000000000000000"})) << "unsigned";
    ComparedTexts(3, Bytes{0, 10, 255}, texts);
    EXPECT_EQ(texts, Texts{L"00 0a ff"});
    ComparedTexts(4, Bytes{1, 2}, texts);
    EXPECT_EQ(texts, Texts{L"01 02"}) << "a DWORD of the wrong size as bytes";
    ComparedTexts(0x1234, Bytes{0xAB}, texts);
    EXPECT_EQ(texts, Texts{L"ab"});
    EXPECT_EQ(TypeName(2), L"REG_EXPAND_SZ");
    EXPECT_EQ(TypeName(0x1234), L"REG_0x1234");
    EXPECT_EQ(ParseTypeName(L"reg_multi_sz"), 7u);
    EXPECT_EQ(ParseTypeName(L"REG_0x1234"), 0x1234u);
    EXPECT_FALSE(ParseTypeName(L"REG_TEXT"));
}

TEST(Utf8, LiteralBytesBothWays) {
    EXPECT_EQ(ToUtf8(L"a\u00FC\u20AC\U0001F600"), "a\xC3\xBC\xE2\x82\xAC\xF0\x9F\x98\x80");
    EXPECT_EQ(FromUtf8("a\xC3\xBC\xE2\x82\xAC\xF0\x9F\x98\x80"), L"a\u00FC\u20AC\U0001F600");
    EXPECT_EQ(FromUtf8("\xFF" "a\xC3"), L"\uFFFDa\uFFFD") << "bytes that are not UTF-8";
    EXPECT_EQ(FromUtf8("\xC0\xAF"), L"\uFFFD\uFFFD") << "no overlong forms";
    const std::wstring lone = DecodeUtf16Le(Bytes{0x3d, 0xd8, 'x', 0}.data(), 4);
    EXPECT_EQ(ToUtf8(lone), "\xEF\xBF\xBDx");
}

class RuleTest : public ::testing::Test {
protected:
    static TextRule Rule(const std::wstring& text, bool whole = false, bool regex = false) {
        RuleOptions options;
        options.text = text;
        options.whole = whole;
        options.regex = regex;
        return TextRule(options);
    }
};

TEST_F(RuleTest, CaseIsIgnoredAlikeWithoutALocale) {
    const std::string before = std::setlocale(LC_ALL, nullptr);
    std::setlocale(LC_ALL, "C");
    auto rule = Rule(L"m\u00FCnchen \u03C3");
    EXPECT_TRUE(rule.Matches(L"M\u00DCNCHEN \u03A3"));
    auto whole = Rule(L"\u00B5", true);
    EXPECT_TRUE(whole.Matches(L"\u03BC"));
    auto regex = Rule(L"^caf\u00C9$", false, true);
    EXPECT_TRUE(regex.Matches(L"caf\u00E9"));
    std::setlocale(LC_ALL, before.c_str());
}

TEST_F(RuleTest, ValuesMatchByTypeNameAndFilter) {
    RuleOptions options;
    options.text = L"26";
    options.names = true;
    TextRule rule(options);
    EXPECT_EQ(rule.ValueMatches(L"v", 4, Bytes{26, 0, 0, 0}), kMatchedData);
    EXPECT_EQ(rule.ValueMatches(L"x26", 1, Str(L"none")), kMatchedName);
    EXPECT_EQ(rule.ValueMatches(L"x26", 1, Str(L"26")), kMatchedName | kMatchedData);
    options.text = L"0x1a";
    options.types = std::set<std::uint32_t>{1};
    TextRule typed(options);
    EXPECT_EQ(typed.ValueMatches(L"v", 4, Bytes{26, 0, 0, 0}), 0) << "not a wanted type";
    EXPECT_EQ(typed.ValueMatches(L"v", 1, Str(L"0X1A")), kMatchedData);
}

TEST_F(RuleTest, TextValuesMatchAlikeInAsciiAndBeyond) {
    auto rule = Rule(L"Program Files");
    const auto multi = [](std::initializer_list<std::wstring> texts) {
        std::wstring joined;
        for (const auto& text : texts) joined.append(text).append(1, L'\0');
        return Str(joined);  // and the empty string that ends the list
    };
    EXPECT_EQ(rule.ValueMatches(L"v", 1, Str(L"c:\\program files\\x")), kMatchedData);
    EXPECT_EQ(rule.ValueMatches(L"v", 2, Str(L"C:\\PROGRAM F\u0131LES")), kMatchedData) << "dotless i upper-cases to I";
    EXPECT_EQ(rule.ValueMatches(L"v", 1, Str(L"program\u00A0files")), 0);
    EXPECT_EQ(rule.ValueMatches(L"v", 1, Str(std::wstring(L"abc\0Program Files", 17))), 0) << "past the text's end";
    EXPECT_EQ(rule.ValueMatches(L"v", 7, multi({L"one", L"c:\\PROGRAM files"})), kMatchedData);
    EXPECT_EQ(rule.ValueMatches(L"v", 7, multi({L"program", L" files"})), 0) << "never across two strings";
    auto whole = Rule(L"abc", true);
    EXPECT_EQ(whole.ValueMatches(L"v", 1, Str(L"ABC")), kMatchedData);
    EXPECT_EQ(whole.ValueMatches(L"v", 1, Str(L"ABCD")), 0);
    EXPECT_EQ(whole.ValueMatches(L"v", 7, multi({L"x", L"aBc"})), kMatchedData);
    auto beyond = Rule(L"\u00FC");
    EXPECT_EQ(beyond.ValueMatches(L"v", 1, Str(L"u")), 0);
    EXPECT_EQ(beyond.ValueMatches(L"v", 1, Str(L"M\u00DCNCHEN")), kMatchedData);
    auto regex = Rule(L"^c:.*X$", false, true);
    EXPECT_EQ(regex.ValueMatches(L"v", 1, Str(L"C:\\program files\\x")), kMatchedData);
    // Names alike: a key's, and with --names a value's.
    EXPECT_TRUE(rule.KeyNameMatches(L"Old PROGRAM files"));
    EXPECT_TRUE(rule.KeyNameMatches(L"Program F\u0131les"));
    EXPECT_FALSE(rule.KeyNameMatches(L"Program File"));
    EXPECT_FALSE(rule.KeyNameMatches(L"Program \u00C9iles"));
    RuleOptions named;
    named.text = L"path";
    named.names = true;
    TextRule names(named);
    EXPECT_EQ(names.ValueMatches(L"InstallPATH", 4, Bytes{1, 0, 0, 0}), kMatchedName);
    EXPECT_EQ(names.ValueMatches(L"\u00DCPath", 4, Bytes{1, 0, 0, 0}), kMatchedName);
    EXPECT_EQ(names.ValueMatches(L"Pat", 4, Bytes{1, 0, 0, 0}), 0);
}

TEST_F(RuleTest, StringValuesMatchAsTheirDecodedTextsWhereverTheNeedleLies) {
    // Random texts of every string type against the rule applied to the
    // decoded texts one by one: NULs, letters beyond ASCII (one that
    // upper-cases to ASCII among them) before and after the text's end.
    const std::wstring letters(L"aAnNeEdDlLxX \\\0\0\u0131\u00E9", 18);
    const std::vector<std::wstring> needles{L"needle", L"N", L"edl", L"x\\", L"in", L"NEEDLEX"};
    std::uint32_t seed = 2024;
    auto next = [&seed] { return (seed = seed * 1103515245u + 12345u) >> 16; };
    int found = 0;
    for (int round = 0; round < 4000; ++round) {
        const std::wstring& needle = needles[next() % needles.size()];
        std::wstring text(next() % 70, L' ');
        for (auto& c : text) c = letters[next() % (round % 3 ? letters.size() - 2 : letters.size())];
        if (round % 2 && text.size() >= needle.size())
            text.replace(next() % (text.size() - needle.size() + 1), needle.size(), needle);
        const std::uint32_t type = std::array<std::uint32_t, 3>{1, 2, 7}[next() % 3];
        std::vector<std::wstring> texts;
        std::wstring_view rest(text);
        for (;;) {
            const std::size_t end = rest.find(L'\0');
            texts.emplace_back(rest.substr(0, end));
            if (type != 7 || end == std::wstring_view::npos || texts.back().empty()) break;
            rest.remove_prefix(end + 1);
        }
        if (type == 7 && texts.back().empty()) texts.pop_back();
        bool expected = false;
        for (const auto& one : texts)
            expected = expected || (!one.empty() && ToUpperCase(one).find(ToUpperCase(needle)) != std::wstring::npos);
        auto rule = Rule(needle);
        auto bytes = EncodeUtf16Le(text);
        if (next() % 2) bytes.insert(bytes.end(), {0, 0});
        ASSERT_EQ(rule.ValueMatches(L"v", type, bytes) == kMatchedData, expected) << "round " << round;
        found += expected;
    }
    EXPECT_GT(found, 1000);
    // At every length, what lies in the last few characters: a NUL that
    // ends the text before the needle, a letter beyond ASCII that makes it.
    auto in = Rule(L"in");
    for (std::size_t length = 2; length < 40; ++length) {
        std::wstring text(length - 2, L'x');
        EXPECT_EQ(in.ValueMatches(L"v", 1, Str(text + L"\u0131n")), kMatchedData) << length;
        EXPECT_EQ(in.ValueMatches(L"v", 1, Str(text + std::wstring(L"\0in", 3))), 0) << length;
    }
}

TEST_F(RuleTest, ARegexIsNotTriedOnTextsBeyond32KiUnits) {
    auto rule = Rule(L"(a|b)*c", false, true);
    const std::wstring huge(Regex::kTextLimit + 1, L'a');
    EXPECT_FALSE(rule.Matches(huge));
    EXPECT_EQ(rule.Skipped(), 1u);
    EXPECT_TRUE(rule.Matches(std::wstring(1000, L'a') + L"c"));
    EXPECT_EQ(rule.Skipped(), 1u);
}

TEST_F(RuleTest, TypeKeepingReplaceOverEveryType) {
    auto rule = Rule(L"old");
    auto sz = ReplaceInValue(rule, L"new", 1, Str(L"C:\\OLD\\old\\Older"));
    ASSERT_TRUE(sz.changed);
    EXPECT_EQ(sz.data, Str(L"C:\\new\\new\\newer")) << "every match, ignoring case";
    auto expand = ReplaceInValue(rule, L"new", 2, Str(L"%old%"));
    EXPECT_EQ(expand.data, Str(L"%new%"));
    auto multi = ReplaceInValue(rule, L"new", 7, MultiStringData({L"old one", L"keep", L"old"}));
    EXPECT_EQ(multi.data, MultiStringData({L"new one", L"keep", L"new"}));
    auto emptied = ReplaceInValue(rule, L"", 7, MultiStringData({L"a", L"old"}));
    EXPECT_FALSE(emptied.changed) << "an empty string would cut the list";
    EXPECT_NE(emptied.reason.find(L"empty"), std::wstring::npos);
    auto emptiedSz = ReplaceInValue(rule, L"", 1, Str(L"old"));
    EXPECT_EQ(emptiedSz.data, Str(L"")) << "an empty string value is fine";
    for (std::uint32_t type : {3u, 4u, 11u, 0u, 0x1234u}) {
        auto other = ReplaceInValue(rule, L"new", type, Bytes{1, 2, 3, 4});
        EXPECT_FALSE(other.changed) << type;
        EXPECT_NE(other.reason.find(L"never changed"), std::wstring::npos);
    }
    EXPECT_FALSE(ReplaceInValue(rule, L"new", 1, Str(L"nothing here")).changed);
    auto trailing = ReplaceInValue(rule, L"new", 7, Bytes{'o', 0, 'l', 0, 'd', 0, 0, 0, 0, 0, 'x', 0});
    EXPECT_FALSE(trailing.changed) << "data after the list would be lost";

    auto whole = Rule(L"old", true);
    EXPECT_FALSE(ReplaceInValue(whole, L"new", 1, Str(L"old path")).changed);
    EXPECT_EQ(ReplaceInValue(whole, L"new", 1, Str(L"OLD")).data, Str(L"new"));
    auto regex = Rule(L"c:\\\\(\\w+)", false, true);
    EXPECT_EQ(ReplaceInValue(regex, L"D:\\$1[$&]", 1, Str(L"C:\\Tools")).data, Str(L"D:\\Tools[C:\\Tools]"));
}

// Each match after the first is tried knowing what precedes it: an anchor
// or a word boundary holds only where it holds in the whole text.
TEST_F(RuleTest, ARegexReplaceSeesTheTextBeforeEachLaterMatch) {
    TextRule start = Rule(L"^a", false, true);
    EXPECT_EQ(start.Replace(L"aaa", L"b"), std::optional<std::wstring>(L"baa"));
    TextRule word = Rule(L"\\bold", false, true);
    EXPECT_EQ(word.Replace(L"old bold old", L"new"), std::optional<std::wstring>(L"new bold new"));
}

}  // namespace
}  // namespace keyscour::search

namespace keyscour::search {
namespace {

// With --case-sensitive every path compares case as it is: the vectorised
// ASCII search (texts of every length, the needle at every place), text
// beyond ASCII, --whole, a regex, value names, key names and the replace,
// each against std::wstring's own find over generated texts.
TEST(CaseSensitive, EveryPathAgreesWithAPlainFind) {
    std::mt19937 random(37);
    const std::wstring alphabet = L"aAbB\\:\u00E9\u00C9";
    const auto text = [&](std::size_t length, bool ascii) {
        std::wstring made;
        for (std::size_t i = 0; i < length; ++i) made += alphabet[random() % (ascii ? 5 : alphabet.size())];
        return made;
    };
    for (int round = 0; round < 3000; ++round) {
        const bool ascii = round % 3 != 0;
        const std::wstring needle = text(1 + random() % 3, ascii);
        const std::wstring hay = text(random() % 40, ascii);
        RuleOptions options;
        options.text = needle;
        options.caseSensitive = true;
        options.names = true;
        TextRule rule(options);
        const bool expected = hay.find(needle) != std::wstring::npos;
        ASSERT_EQ(rule.ValueMatches(L"", value_type::kString, StringData(hay)) != 0, expected)
            << ToUtf8(needle) << " in " << ToUtf8(hay);
        ASSERT_EQ(rule.ValueMatches(hay, value_type::kDword, Bytes{1, 0, 0, 0}) == kMatchedName, expected);
        ASSERT_EQ(rule.KeyNameMatches(hay), expected);
        std::wstring replaced = hay;
        for (std::size_t at = 0; (at = replaced.find(needle, at)) != std::wstring::npos; at += 2) replaced.replace(at, needle.size(), L"#!");
        ASSERT_EQ(rule.Replace(hay, L"#!"), replaced);

        options.regex = true;
        options.text = L"^" + std::wstring(needle[0] == L'\\' ? L"\\\\" : std::wstring(1, needle[0])) + L".*";
        TextRule regex(options);
        ASSERT_EQ(regex.Matches(hay), !hay.empty() && hay[0] == needle[0]) << ToUtf8(hay);
        options.regex = false;
        options.whole = true;
        options.text = hay;
        TextRule whole(options);
        ASSERT_TRUE(whole.Matches(hay));
        std::wstring other = hay;
        for (auto& c : other) c = static_cast<wchar_t>(c == L'a' ? L'A' : c == L'A' ? L'a' : c);
        ASSERT_EQ(whole.Matches(other), other == hay);
    }
    // And without it, case is ignored on the same paths.
    RuleOptions options;
    options.text = L"abc";
    TextRule ignoring(options);
    EXPECT_NE(ignoring.ValueMatches(L"", value_type::kString, StringData(L"xxxxxxxxxxABCxxxx")), 0);
    options.caseSensitive = true;
    TextRule taking(options);
    EXPECT_EQ(taking.ValueMatches(L"", value_type::kString, StringData(L"xxxxxxxxxxABCxxxx")), 0);
    EXPECT_NE(taking.ValueMatches(L"", value_type::kString, StringData(L"xxxxxxxxxxabcxxxx")), 0);
}

}  // namespace
}  // namespace keyscour::search

namespace keyscour::search {
namespace {

// --binary-text: a path stored as UTF-16LE at either byte of a blob, or as
// ANSI text of the page asked for, found and said which; numbers and
// strings are read as ever, and without the option a blob is its hex.
TEST(BinaryText, UTF16AtEitherAlignmentAndAnsiInItsPage) {
    const auto blob = [](std::size_t lead, const std::wstring& text, bool utf16) {
        std::vector<std::uint8_t> bytes(lead, 0x01);
        if (utf16) {
            for (wchar_t c : text) {
                bytes.push_back(static_cast<std::uint8_t>(c));
                bytes.push_back(static_cast<std::uint8_t>(c >> 8));
            }
        } else {
            for (wchar_t c : text) bytes.push_back(c == L'\u00E9' ? 0xE9 : static_cast<std::uint8_t>(c));
        }
        bytes.insert(bytes.end(), {0x00, 0x00, 0xFF, 0x81});
        return bytes;
    };
    RuleOptions options;
    options.text = L"users\\alice";
    options.binaryText = true;
    TextRule rule(options);
    for (std::size_t lead = 0; lead < 6; ++lead) {
        EXPECT_EQ(rule.ValueMatches(L"", value_type::kBinary, blob(lead, L"C:\\Users\\Alice\\x", true)), kMatchedBinaryUtf16)
            << lead;
        EXPECT_EQ(rule.ValueMatches(L"", value_type::kBinary, blob(lead, L"C:\\Users\\Alice\\x", false)), kMatchedBinaryAnsi)
            << lead;
        EXPECT_EQ(rule.ValueMatches(L"", value_type::kNone, blob(lead, L"C:\\Users\\Alice", true)), kMatchedBinaryUtf16);
        EXPECT_EQ(rule.ValueMatches(L"", 0x1234, blob(lead, L"C:\\Users\\Alice", true)), kMatchedBinaryUtf16);
    }
    EXPECT_EQ(rule.ValueMatches(L"", value_type::kDword, Bytes{1, 2, 3, 4}), 0) << "numbers stay numbers";
    EXPECT_EQ(rule.ValueMatches(L"", value_type::kBinary, blob(3, L"C:\\Users\\Bob", true)), 0);

    options.text = L"caf\u00E9";
    TextRule ansi(options);
    EXPECT_EQ(ansi.ValueMatches(L"", value_type::kBinary, blob(1, L"caf\u00E9", false)), kMatchedBinaryAnsi)
        << "1252 by default natively: 0xE9 is \u00E9";
    options.ansiCodePage = 1251;
    TextRule cyrillic(options);
    EXPECT_EQ(cyrillic.ValueMatches(L"", value_type::kBinary, blob(1, L"caf\u00E9", false)), 0) << "in 1251 0xE9 is \u0439";

    options.text = L"users\\alice";
    options.binaryText = false;
    TextRule plain(options);
    EXPECT_EQ(plain.ValueMatches(L"", value_type::kBinary, blob(0, L"C:\\Users\\Alice", true)), 0);
}

}  // namespace
}  // namespace keyscour::search
