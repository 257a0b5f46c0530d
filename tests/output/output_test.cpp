// Each output format's text for the same records.

#include <gtest/gtest.h>

#include <array>
#include <clocale>

#include "base/utf16.h"
#include "base/utf8.h"
#include "output/output.h"
#include "output/progress.h"
#include "registry/value_forms.h"

namespace keyscour::output {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Str(const std::wstring& text) { return StringData(text); }

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
        "\"type\":\"REG_SZ\",\"data\":\"\xC3\xBC" "ber\xE2\x82\xAC\xF0\x9F\x98\x80\\u0001\",\"matched\":[\"name\",\"data\"],\"user\":null,\"written\":null,\"view\":null}",
        "{\"kind\":\"hit\",\"root\":\"HKEY_LOCAL_MACHINE\",\"key\":\"K\",\"name\":\"m\",\"type\":\"REG_MULTI_SZ\","
        "\"data\":[\"a\",\"b\"],\"matched\":[\"data\"],\"user\":null,\"written\":null,\"view\":null}",
        "{\"kind\":\"hit\",\"root\":\"HKEY_LOCAL_MACHINE\",\"key\":\"K\",\"name\":\"d\",\"type\":\"REG_DWORD\","
        "\"data\":26,\"matched\":[\"data\"],\"user\":null,\"written\":null,\"view\":null}",
        "{\"kind\":\"hit\",\"root\":\"HKEY_LOCAL_MACHINE\",\"key\":\"K\",\"name\":\"b\",\"type\":\"REG_0x1234\","
        "\"data\":\"00 0a ff\",\"matched\":[\"data\"],\"user\":null,\"written\":null,\"view\":null}",
        "{\"kind\":\"hit\",\"root\":\"HKEY_USERS\",\"key\":\"S-1-5\",\"name\":null,\"type\":null,\"data\":null,"
        "\"matched\":[\"key\"],\"user\":null,\"written\":null,\"view\":null}",
        "{\"kind\":\"hit\",\"root\":\"HKEY_LOCAL_MACHINE\",\"key\":\"K\",\"name\":\"n\\u0000x\",\"type\":\"REG_SZ\","
        "\"data\":\"a\\uD83Db\xF0\x9F\x98\x80\",\"matched\":[\"data\"],\"user\":null,\"written\":null,\"view\":null}",
        "{\"kind\":\"summary\",\"keys\":10,\"hits\":6,\"skipped\":0,\"unreadable\":0,\"changed\":0,\"renamed_values\":0,\"renamed_keys\":0,\"left_out\":0,\"skipped_lines\":0,"
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
    EXPECT_EQ(out.text_, L"root,key,name,type,data,matched,user,written,view\r\n"
                         L"HKEY_LOCAL_MACHINE,\"A,B\",plain,REG_SZ,\"say \"\"hi\"\", then\r\nleave\",data,,,\r\n"
                         L"HKEY_LOCAL_MACHINE,K,m,REG_MULTI_SZ,\"one\ntwo\",data,,,\r\n");
    EXPECT_TRUE(errors.text_.empty()) << "quiet";
}

// The progress line only on a terminal, and never when asked to be quiet.
TEST(Progress, OnlyOnATerminalAndNeverQuiet) {
    for (const bool terminal : {false, true})
        for (const bool enabled : {false, true}) {
            Captured errors;
            errors.terminal = terminal;
            Progress progress(errors, enabled);
            for (std::uint64_t keys = 64; keys <= 64 * 20; keys += 64) progress.Key(L"HKEY_USERS\\S", keys, 0);
            EXPECT_EQ(errors.text_.empty(), !(terminal && enabled)) << "terminal " << terminal << ", enabled " << enabled;
        }
}

TEST(Csv, AHeaderEvenWithNoRows) {
    Captured out, errors;
    auto output = MakeOutput(Format::kCsv, out, errors, true);
    output->Summary({});
    EXPECT_EQ(out.text_, L"root,key,name,type,data,matched,user,written,view\r\n") << "a script reading the file finds its columns";
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
}  // namespace keyscour::output
