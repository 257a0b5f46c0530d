// The command line's parts: what is compared, the rule, the type-keeping
// replace, UTF-8 at the edges, and each output format's text.

#include <gtest/gtest.h>

#include <array>
#include <clocale>

#include "base/utf16.h"
#include "base/utf8.h"
#include "cli/output.h"
#include "cli/text_rule.h"
#include "registry/value_forms.h"
#include "cli/value_replace.h"
#include "engine/keyscour.h"
#include "engine/text_case.h"

namespace keyscour::cli {
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

// A sink that keeps what it is given.
class Captured final : public Sink {
public:
    void Text(std::wstring_view text) override { text_ += text; }
    void Utf16(std::wstring_view text) override { utf16_ += text; }
    void Flush() override {}
    bool IsTerminal() const override { return terminal; }
    int Width() const override { return terminal ? 60 : 0; }
    std::wstring Failure() const override { return {}; }
    bool Finish() override { return true; }
    std::string Utf8() const { return ToUtf8(text_); }
    std::wstring text_, utf16_;
    bool terminal = false;
};

Record ValueRecord(const std::wstring& key, const std::wstring& name, std::uint32_t type, const Bytes& data,
                   int matched = kMatchedData) {
    Record record;
    record.root = L"HKEY_LOCAL_MACHINE";
    record.key = key;
    record.name = name;
    record.type = type;
    record.data = data;
    record.matched = matched;
    return record;
}

TEST(JsonLines, FieldsEscapesAndLoneSurrogates) {
    Captured out, errors;
    auto output = MakeOutput(Format::kJsonl, out, errors, false);
    const std::wstring key = L"SOFTWARE\\Tab\there \"q\"";
    const Bytes sz = Str(L"\u00FCber\u20AC\U0001F600\x01");
    output->Hit(ValueRecord(key, L"", 1, sz, kMatchedName | kMatchedData));
    const Bytes multi = MultiStringData({L"a", L"b"});
    output->Hit(ValueRecord(L"K", L"m", 7, multi));
    const Bytes dword{26, 0, 0, 0};
    output->Hit(ValueRecord(L"K", L"d", 4, dword));
    const Bytes binary{0, 10, 255};
    output->Hit(ValueRecord(L"K", L"b", 0x1234, binary));
    Record keyHit;
    keyHit.root = L"HKEY_USERS";
    keyHit.key = L"S-1-5";
    keyHit.isKey = true;
    output->Hit(keyHit);
    // A high surrogate alone, then a pair that must stay whole beside it.
    const Bytes lone{'a', 0, 0x3d, 0xd8, 'b', 0, 0x3d, 0xd8, 0x00, 0xde, 0, 0};
    output->Hit(ValueRecord(L"K", std::wstring(L"n\0x", 3), 1, lone));
    Totals totals;
    totals.keys = 10;
    totals.hits = 6;
    output->Summary(totals);
    const std::string text = out.Utf8();
    const std::vector<std::string> expected{
        "{\"kind\":\"hit\",\"root\":\"HKEY_LOCAL_MACHINE\",\"key\":\"SOFTWARE\\\\Tab\\there \\\"q\\\"\",\"name\":\"\","
        "\"type\":\"REG_SZ\",\"data\":\"\xC3\xBC" "ber\xE2\x82\xAC\xF0\x9F\x98\x80\\u0001\",\"matched\":[\"name\",\"data\"]}",
        "{\"kind\":\"hit\",\"root\":\"HKEY_LOCAL_MACHINE\",\"key\":\"K\",\"name\":\"m\",\"type\":\"REG_MULTI_SZ\","
        "\"data\":[\"a\",\"b\"],\"matched\":[\"data\"]}",
        "{\"kind\":\"hit\",\"root\":\"HKEY_LOCAL_MACHINE\",\"key\":\"K\",\"name\":\"d\",\"type\":\"REG_DWORD\","
        "\"data\":26,\"matched\":[\"data\"]}",
        "{\"kind\":\"hit\",\"root\":\"HKEY_LOCAL_MACHINE\",\"key\":\"K\",\"name\":\"b\",\"type\":\"REG_0x1234\","
        "\"data\":\"00 0a ff\",\"matched\":[\"data\"]}",
        "{\"kind\":\"hit\",\"root\":\"HKEY_USERS\",\"key\":\"S-1-5\",\"name\":null,\"type\":null,\"data\":null,"
        "\"matched\":[\"key\"]}",
        "{\"kind\":\"hit\",\"root\":\"HKEY_LOCAL_MACHINE\",\"key\":\"K\",\"name\":\"n\\u0000x\",\"type\":\"REG_SZ\","
        "\"data\":\"a\\uD83Db\xF0\x9F\x98\x80\",\"matched\":[\"data\"]}",
        "{\"kind\":\"summary\",\"keys\":10,\"hits\":6,\"skipped\":0,\"unreadable\":0,\"changed\":0,\"left_out\":0,\"skipped_lines\":0,"
        "\"ms\":0,"
        "\"interrupted\":false}",
    };
    std::string all;
    for (const auto& line : expected) all += line + "\n";
    EXPECT_EQ(text, all);
    EXPECT_TRUE(errors.text_.empty()) << "JSON Lines keeps its summary in its records";
}

TEST(Csv, QuotingAsRfc4180Says) {
    Captured out, errors;
    auto output = MakeOutput(Format::kCsv, out, errors, true);
    const Bytes sz = Str(L"say \"hi\", then\r\nleave");
    output->Hit(ValueRecord(L"A,B", L"plain", 1, sz));
    const Bytes multi = MultiStringData({L"one", L"two"});
    output->Hit(ValueRecord(L"K", L"m", 7, multi));
    output->Summary({});
    EXPECT_EQ(out.text_, L"root,key,name,type,data,matched\r\n"
                         L"HKEY_LOCAL_MACHINE,\"A,B\",plain,REG_SZ,\"say \"\"hi\"\", then\r\nleave\",data\r\n"
                         L"HKEY_LOCAL_MACHINE,K,m,REG_MULTI_SZ,\"one\ntwo\",data\r\n");
    EXPECT_TRUE(errors.text_.empty()) << "quiet";
}

TEST(RegOutput, AScriptInUtf16WithItsMarkAndEscapes) {
    Captured out, errors;
    auto output = MakeOutput(Format::kReg, out, errors, true);
    const Bytes sz = Str(L"C:\\\"x\"");
    output->Hit(ValueRecord(L"K", L"a", 1, sz));
    const Bytes dword{1, 0, 0, 0};
    output->Change(ValueRecord(L"K", L"b", 4, dword), 1, Str(L"new"));
    output->Summary({});
    EXPECT_EQ(out.utf16_, L"\xFEFFWindows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\K]\r\n"
                          L"\"a\"=\"C:\\\\\\\"x\\\"\"\r\n\"b\"=\"new\"\r\n\r\n");
}

TEST(Table, OneLinePerRecordFittedToATerminalAndWholeElsewhere) {
    for (const bool terminal : {true, false}) {
        SCOPED_TRACE(terminal ? "terminal" : "file");
        Captured out, errors;
        out.terminal = terminal;
        auto output = MakeOutput(Format::kTable, out, errors, false);
        const Bytes sz = Str(std::wstring(200, L'x') + L"\tend");
        const std::wstring key = L"SOFTWARE\\" + std::wstring(100, L'k') + L"\\Last";
        output->Hit(ValueRecord(key, L"v", 1, sz));
        Totals totals;
        totals.hits = 1;
        output->Summary(totals);
        const auto newline = out.text_.find(L'\n');
        const std::wstring header = out.text_.substr(0, newline);
        const std::wstring row = out.text_.substr(newline + 1, out.text_.find(L'\n', newline + 1) - newline - 1);
        EXPECT_TRUE(header.starts_with(L"ROOT  KEY"));
        EXPECT_EQ(row.find(L'\t'), std::wstring::npos);
        EXPECT_NE(errors.text_.find(L"1 hits"), std::wstring::npos) << "the totals, for people";
        if (terminal) {
            EXPECT_LE(row.size(), 60u) << "shortened to the width";
            EXPECT_TRUE(row.starts_with(L"HKLM  \u2026"));
            EXPECT_NE(row.find(L"\\Last"), std::wstring::npos) << "a key keeps its end";
        } else {
            EXPECT_NE(row.find(key), std::wstring::npos) << "no cell is shortened";
            EXPECT_NE(row.find(std::wstring(200, L'x') + L" end"), std::wstring::npos);
            EXPECT_EQ(row.find(L'\u2026'), std::wstring::npos);
        }
    }
}

}  // namespace
}  // namespace keyscour::cli
