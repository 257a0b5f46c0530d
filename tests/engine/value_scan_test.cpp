// Values: what is compared under which flags, the display forms, the
// comparison rule, and values too long for the first buffers.

#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cwctype>
#include <string>
#include <vector>

#include "engine/keyscour.h"
#include "engine/text_case.h"
#include "tests/event_log.h"
#include "tests/support/forwarding_registry.h"
#include "registry/memory_registry.h"
#include "registry/root_keys.h"

namespace keyscour {
namespace {

using testing::EventLog;
using Lines = std::vector<std::wstring>;
using Bytes = std::vector<std::uint8_t>;

std::wstring Format(std::uint32_t type, const Bytes& data) { return cKeyscour::FormatValueData(type, data); }

TEST(FormatValueData, Strings) {
    EXPECT_EQ(Format(1, {'a', 0, 'b', 0, 0, 0}), L"ab");
    EXPECT_EQ(Format(1, {'a', 0, 'b', 0}), L"ab") << "no terminating NUL: the whole data";
    EXPECT_EQ(Format(1, {0}), L"") << "a value without data";
    EXPECT_EQ(Format(1, {'a', 0, 'b'}), L"a") << "an odd last byte is ignored";
    EXPECT_EQ(Format(7, {'a', 0, 'l', 0, 0, 0, 'b', 0, 0, 0, 0, 0}), L"al") << "first string of the list";
    EXPECT_EQ(Format(1, {0xFC, 0x00, 0x1F, 0x04, 0x3D, 0xD8, 0x00, 0xDE}), L"\u00FC\u041F\U0001F600");
}

TEST(FormatValueData, Binary) {
    EXPECT_EQ(Format(3, {0, 10, 255}), L"00 0A FF");
    EXPECT_EQ(Format(3, {0}), L"00");
    EXPECT_EQ(Format(3, Bytes(11, 0xAB)).size(), 32u);
    EXPECT_EQ(Format(3, Bytes(4096, 1)).size(), 12287u);
}

TEST(FormatValueData, Dword) {
    EXPECT_EQ(Format(4, {26, 0, 0, 0}), L"0x0000001A(26)");
    EXPECT_EQ(Format(4, {0, 0, 0, 0}), L"0x00000000(0)");
    EXPECT_EQ(Format(4, {1, 0, 0, 0}), L"0x00000001(1)");
    EXPECT_EQ(Format(4, {0xFF, 0xFF, 0xFF, 0xFF}), L"0xFFFFFFFF(-1)");
    EXPECT_EQ(Format(4, {0, 0, 0, 0x80}), L"0x80000000(-2147483648)");
    EXPECT_EQ(Format(4, {1, 0, 0, 0, 9, 9, 9, 9}), L"0x00000001(1)") << "only four bytes count";
    EXPECT_EQ(Format(4, {0x34, 0x12}), L"0x00001234(4660)") << "missing high bytes are zero";
    EXPECT_EQ(Format(4, {0}), L"0x00000000(0)");
}

TEST(FormatValueData, OtherTypesAreUnsupported) {
    for (std::uint32_t type : {0u, 2u, 5u, 6u, 8u, 11u, 0x12345u})
        EXPECT_EQ(Format(type, {'a', 0, 0, 0}), L"Temporary unsupported") << type;
}

TEST(TrimNullAndRootKeyName, Rules) {
    EXPECT_EQ(cKeyscour::TrimNull(std::wstring(L"\0abc", 4)), L"");
    EXPECT_EQ(cKeyscour::TrimNull(L"abc"), L"abc");
    EXPECT_EQ(cKeyscour::TrimNull(std::wstring(L"ab\0c\0", 5)), L"ab");
    EXPECT_EQ(cKeyscour::RootKeyName(0), L"");
    EXPECT_EQ(cKeyscour::RootKeyName(0x80000002u), L"HKEY_LOCAL_MACHINE");
    EXPECT_EQ(cKeyscour::RootKeyName(0x80000006u), L"HKEY_DYN_DATA");
    EXPECT_EQ(cKeyscour::RootKeyName(0x80000007u), L"");
}

class MatchTest : public ::testing::Test {
protected:
    bool Match(const std::wstring& search, std::int32_t flags, const std::wstring& text) {
        engine->SearchString(search);
        engine->SearchFlags(flags);
        return engine->IsMatch(text);
    }
    MemoryRegistry store;
    std::shared_ptr<cKeyscour> engine = cKeyscour::Create(store);
};

TEST_F(MatchTest, WholeTextIgnoresCaseOnly) {
    EXPECT_TRUE(Match(L"run", 4, L"Run"));
    EXPECT_TRUE(Match(L"RUN", 4, L"Run"));
    EXPECT_FALSE(Match(L"Ru", 4, L"Run"));
    EXPECT_FALSE(Match(L"Runs", 4, L"Run"));
    EXPECT_FALSE(Match(L"run ", 4, L"Run")) << "spaces count";
    EXPECT_TRUE(Match(L"", 4, L""));
    EXPECT_FALSE(Match(L"", 4, L"x"));
}

TEST_F(MatchTest, SubstringIgnoresCase) {
    EXPECT_TRUE(Match(L"run", 2, L"Run"));
    EXPECT_TRUE(Match(L"RU", 2, L"Run"));
    EXPECT_TRUE(Match(L"un", 2, L"Run"));
    EXPECT_FALSE(Match(L"Runs", 2, L"Run"));
    EXPECT_TRUE(Match(L"", 2, L"x")) << "empty search string is in every text";
    EXPECT_FALSE(Match(L"", 2, L"")) << "but never in the empty text";
    EXPECT_FALSE(Match(L"*", 2, L"abc")) << "no wildcards";
}

TEST_F(MatchTest, CaseIsFoldedToUpperCaseAtTheEdgesOfAsciiAndBeyond) {
    EXPECT_TRUE(Match(L"fizz", 4, L"FIZZ")) << "z is the last letter to fold";
    EXPECT_TRUE(Match(L"ZAP", 4, L"zap"));
    EXPECT_TRUE(Match(L"a", 4, L"A"));
    EXPECT_FALSE(Match(L"[", 4, L"{")) << "no folding next to the letters";
    EXPECT_FALSE(Match(L"@", 4, L"`"));
    EXPECT_TRUE(Match(L"\u00FC", 2, L"M\u00DCNCHEN"));                     // ü in MÜNCHEN
    EXPECT_TRUE(Match(L"\u043F\u0440\u0438", 4, L"\u041F\u0420\u0418"));  // при / ПРИ
    EXPECT_TRUE(Match(L"\u03B1\u03B2", 2, L"x\u0391\u0392"));            // αβ in ΑΒ
    // Pairs that only upper-casing joins: lower-casing Σ gives σ, not ς,
    // and leaves the micro sign and the Greek mu apart.
    EXPECT_TRUE(Match(L"\u03C2", 4, L"\u03A3"));  // ς / Σ
    EXPECT_TRUE(Match(L"\u03A3", 4, L"\u03C2"));
    EXPECT_TRUE(Match(L"\u00B5", 4, L"\u03BC"));  // µ / μ
    EXPECT_TRUE(Match(L"\u03BC", 4, L"\u00B5"));
}

TEST_F(MatchTest, AMatchIsFoundWhereverItLiesInALongText) {
    // Texts across several blocks of the scan, against the plain search of
    // the upper-cased texts; letters beyond ASCII among them.
    const std::wstring letters = L"aBnNeEdDlLx \\\u0131\u017F\u00E9\u00C9";
    const std::vector<std::wstring> needles{L"Needle", L"n", L"EDL", L"\u00E9x", L"sn", L"needlE"};
    std::uint32_t seed = 12345;
    auto next = [&seed] { return (seed = seed * 1103515245u + 12345u) >> 16; };
    int found = 0;
    for (int round = 0; round < 3000; ++round) {
        std::wstring text(next() % 80, L' ');
        for (auto& c : text) c = letters[next() % letters.size()];
        const std::wstring& needle = needles[next() % needles.size()];
        if (round % 2 && text.size() >= needle.size()) {
            std::wstring placed = needle;
            for (auto& c : placed)
                if (next() % 2 && c < 0x80) c = static_cast<wchar_t>(std::towlower(c));
            text.replace(next() % (text.size() - needle.size() + 1), needle.size(), placed);
        }
        const bool expected = !text.empty() && ToUpperCase(text).find(ToUpperCase(needle)) != std::wstring::npos;
        ASSERT_EQ(Match(needle, 2, text), expected) << "round " << round;
        found += expected;
    }
    EXPECT_GT(found, 1000);
}

TEST_F(MatchTest, CaseDoesNotDependOnTheEnvironmentsLocale) {
    const std::string before = std::setlocale(LC_ALL, nullptr);
    std::setlocale(LC_ALL, "C");  // as with LANG unset
    EXPECT_TRUE(Match(L"\u00FC", 4, L"\u00DC"));
    EXPECT_TRUE(Match(L"\u03C2", 4, L"\u03A3"));
    EXPECT_TRUE(Match(L"\u00B5", 4, L"\u03BC"));
    std::setlocale(LC_ALL, before.c_str());
}

class ScanTest : public ::testing::Test {
protected:
    ScanTest() { engine->Advise(&log); }
    void Search(std::int32_t flags, const std::wstring& text) {
        engine->RootKey(kLocalMachine);
        engine->SubKey(L"K");
        engine->SearchFlags(flags);
        engine->SearchString(text);
        engine->DoSearch();
    }
    MemoryRegistry store;
    RecordingRegistry recorder{store};
    std::shared_ptr<cKeyscour> engine = cKeyscour::Create(recorder);
    EventLog log;
};

TEST_F(ScanTest, NameAndDataHitsComeInThatOrder) {
    store.PutString(kLocalMachine, L"K", L"Run", L"run me");
    Search(SearchValueNames | SearchValueData, L"run");
    EXPECT_EQ(log.lines, (Lines{L"found HKEY_LOCAL_MACHINE | K\\Run | run me | 1",
                                L"found HKEY_LOCAL_MACHINE | K\\Run | run me | 2", L"finished 0"}));
}

TEST_F(ScanTest, ValueNamesOnlyWithTheirFlag) {
    store.PutDword(kLocalMachine, L"K", L"Run", 5);
    Search(SearchValueData, L"run");
    EXPECT_EQ(log.lines, (Lines{L"finished 0"}));
    log.lines.clear();
    Search(SearchValueNames, L"run");
    EXPECT_EQ(log.Found(), (Lines{L"found HKEY_LOCAL_MACHINE | K\\Run | 0x00000005(5) | 1"}));
}

TEST_F(ScanTest, EmptySearchStringWithWholeTextFindsEmptyTexts) {
    store.PutString(kLocalMachine, L"K", L"", L"default");
    store.PutValue(kLocalMachine, L"K", L"Empty", 1, {});
    store.PutValue(kLocalMachine, L"K", L"Bin", 3, {});
    Search(SearchValueNames | SearchValueData | MatchWholeText, L"");
    EXPECT_EQ(log.Found(), (Lines{L"found HKEY_LOCAL_MACHINE | K\\ | default | 1",
                                  L"found HKEY_LOCAL_MACHINE | K\\Empty |  | 2"}));
}

TEST_F(ScanTest, UnsupportedTypesMatchTheirPlaceholder) {
    store.PutString(kLocalMachine, L"K", L"Exp", L"%PATH%", value_type::kExpandString);
    store.PutValue(kLocalMachine, L"K", L"Q", value_type::kQword, {1, 2, 3, 4, 5, 6, 7, 8});
    Search(SearchValueData, L"unsupported");
    EXPECT_EQ(log.Found().size(), 2u);
}

TEST_F(ScanTest, EachValueShowsItsOwnDataNotTheLastOnes) {
    // Empty values after a full one: their single zero byte is their own.
    store.PutValue(kLocalMachine, L"K", L"v1", 3, Bytes(4096, 0x41));
    store.PutValue(kLocalMachine, L"K", L"v2", 3, {});
    store.PutValue(kLocalMachine, L"K", L"v3", 4, {0x41, 0x42, 0x43, 0x44});
    store.PutValue(kLocalMachine, L"K", L"v4", 4, {});
    store.PutValue(kLocalMachine, L"K", L"v5", 1, {'a', 0, 'b', 0, 'c', 0, 0, 0});
    store.PutValue(kLocalMachine, L"K", L"v6", 1, {'x', 0});
    store.PutValue(kLocalMachine, L"K", L"v7", 3, {0x0A});
    Search(SearchValueNames, L"v");
    EXPECT_EQ(log.Found(), (Lines{L"found HKEY_LOCAL_MACHINE | K\\v1 | " + Format(3, Bytes(4096, 0x41)) + L" | 1",
                                  L"found HKEY_LOCAL_MACHINE | K\\v2 | 00 | 1",
                                  L"found HKEY_LOCAL_MACHINE | K\\v3 | 0x44434241(1145258561) | 1",
                                  L"found HKEY_LOCAL_MACHINE | K\\v4 | 0x00000000(0) | 1",
                                  L"found HKEY_LOCAL_MACHINE | K\\v5 | abc | 1",
                                  L"found HKEY_LOCAL_MACHINE | K\\v6 | x | 1",
                                  L"found HKEY_LOCAL_MACHINE | K\\v7 | 0A | 1"}));
}

TEST_F(ScanTest, DataOver4096BytesIsReadWholeAndTheScanGoesOn) {
    std::wstring longText(10000, L'x');
    longText.replace(9990, 3, L"hit");
    store.PutString(kLocalMachine, L"K", L"One", L"hit");
    store.PutString(kLocalMachine, L"K", L"Long", longText);
    store.PutValue(kLocalMachine, L"K", L"Big", 3, Bytes(5000, 0xAB));
    store.PutString(kLocalMachine, L"K", L"Four", L"hit");
    store.PutValue(kLocalMachine, L"K", L"Empty", 3, {});
    store.PutString(kLocalMachine, L"K\\Sub", L"Five", L"hit");
    Search(SearchValueData, L"hit");
    EXPECT_EQ(log.Found(), (Lines{L"found HKEY_LOCAL_MACHINE | K\\One | hit | 2",
                                  L"found HKEY_LOCAL_MACHINE | K\\Long | " + longText + L" | 2",
                                  L"found HKEY_LOCAL_MACHINE | K\\Four | hit | 2",
                                  L"found HKEY_LOCAL_MACHINE | K\\Sub\\Five | hit | 2"}));
    log.lines.clear();
    Search(SearchValueData, L"AB AB");
    ASSERT_EQ(log.Found().size(), 1u);
    EXPECT_EQ(log.Found()[0].size(), std::wstring(L"found HKEY_LOCAL_MACHINE | K\\Big |  | 2").size() + 14999)
        << "all 5000 bytes shown";
    log.lines.clear();
    Search(SearchValueNames | MatchWholeText, L"empty");
    EXPECT_EQ(log.Found(), (Lines{L"found HKEY_LOCAL_MACHINE | K\\Empty | 00 | 1"})) << "after the long ones";
}

// A registry that says its keys' values are smaller than they are.
class UnderstatingRegistry final : public ForwardingRegistry {
public:
    using ForwardingRegistry::ForwardingRegistry;
    Status QueryValueLimits(KeyHandle, std::uint32_t& longest, std::uint32_t& largest) override {
        longest = largest = 0;
        return status::kSuccess;
    }
};

TEST_F(ScanTest, AValueNoBufferCanHoldIsCountedNeverDroppedUnsaid) {
    store.PutString(kLocalMachine, L"K", std::wstring(300, L'n'), L"hit");
    store.PutString(kLocalMachine, L"K", L"After", L"hit");
    UnderstatingRegistry understating{store};
    const auto misled = cKeyscour::Create(understating);
    misled->Advise(&log);
    misled->RootKey(kLocalMachine);
    misled->SubKey(L"K");
    misled->SearchFlags(SearchValueData);
    misled->SearchString(L"hit");
    misled->DoSearch();
    EXPECT_EQ(log.Found(), (Lines{L"found HKEY_LOCAL_MACHINE | K\\After | hit | 2"}));
    EXPECT_EQ(misled->UnreadableValues(), 1u);
    Search(SearchValueData, L"hit");
    EXPECT_EQ(engine->UnreadableValues(), 0u) << "the key's true limits are enough";
}

TEST_F(ScanTest, Exactly4096BytesStillFit) {
    Bytes data(4096, 0x41);
    store.PutValue(kLocalMachine, L"K", L"Full", 3, data);
    Search(SearchValueData, L"41 41");
    ASSERT_EQ(log.Found().size(), 1u);
}

TEST_F(ScanTest, LongNamesAreReadWholeAndTheScanGoesOn) {
    const std::wstring longest(16383, L'n');
    store.PutString(kLocalMachine, L"K", std::wstring(259, L'n'), L"hit");
    store.PutString(kLocalMachine, L"K", std::wstring(260, L'n'), L"hit");
    store.PutString(kLocalMachine, L"K", longest, L"hit");
    store.PutString(kLocalMachine, L"K", L"After", L"hit");
    Search(SearchValueData, L"hit");
    EXPECT_EQ(log.Found(), (Lines{L"found HKEY_LOCAL_MACHINE | K\\" + std::wstring(259, L'n') + L" | hit | 2",
                                  L"found HKEY_LOCAL_MACHINE | K\\" + std::wstring(260, L'n') + L" | hit | 2",
                                  L"found HKEY_LOCAL_MACHINE | K\\" + longest + L" | hit | 2",
                                  L"found HKEY_LOCAL_MACHINE | K\\After | hit | 2"}));
    EXPECT_EQ(recorder.OpenHandles(), 0);
}

TEST_F(ScanTest, HitsSayWhereTheirKeyPathEnds) {
    // A value name may hold backslashes; only the walk knows where the key ends.
    struct Places : cKeyscourEvents {
        void SearchFound(const std::wstring&, const std::wstring&, const std::wstring&, std::int32_t) override {}
        void SearchFinished(std::int32_t) override {}
        void SearchKeyChanged(const std::wstring&) override {}
        void SearchHitFound(const SearchHit& hit) override {
            keys.push_back(hit.sKey.substr(0, hit.keyPathLength) + L" | " + std::to_wstring(hit.lFound) + L" | " +
                           std::to_wstring(hit.type) + L" | " + std::to_wstring(hit.data.size()));
        }
        Lines keys;
    } places;
    store.PutString(kLocalMachine, L"K\\Sub", L"a\\b", L"hit");
    store.AddKey(kLocalMachine, L"K\\hit");
    engine->Advise(&places);
    Search(SearchValueData, L"hit");
    EXPECT_EQ(places.keys, (Lines{L"K\\hit | 0 | 0 | 0", L"K\\Sub | 2 | 1 | 8"}));
}

TEST_F(ScanTest, EachKeyOpenedOnceForValuesAndOnceForSubKeys) {
    store.AddKey(kLocalMachine, L"K\\A\\B");
    Search(SearchValueData, L"zzz");
    EXPECT_EQ(recorder.CountOf(RegistryOp::kOpenKey), 6u);
    EXPECT_EQ(recorder.CountOf(RegistryOp::kCloseKey), 6u);
    EXPECT_EQ(recorder.OpenHandles(), 0);
}

// A rule of data alone: values come to it without names, and a hit's name
// is read for the hit, long names too.
TEST_F(ScanTest, ARuleOfDataAloneReadsNamesOnlyForItsHits) {
    struct DataRule final : MatchRule {
        bool KeyNameMatches(std::wstring_view) override { return false; }
        bool ScansValues() const override { return true; }
        bool ComparesValueNames() const override { return false; }
        int ValueMatches(std::wstring_view name, std::uint32_t, std::span<const std::uint8_t> data) override {
            names.emplace_back(name);
            return std::find(data.begin(), data.end(), 'X') != data.end() ? kMatchedData : 0;
        }
        std::vector<std::wstring> names;
    };
    const std::wstring longName(300, L'n');
    store.PutValue(kLocalMachine, L"K", L"miss", 3, {'a'});
    store.PutValue(kLocalMachine, L"K", L"hit", 3, {'X'});
    store.PutValue(kLocalMachine, L"K", longName, 3, {'b', 'X'});
    store.PutValue(kLocalMachine, L"K", L"big", 3, std::vector<std::uint8_t>(5000, 'X'));
    const auto rule = std::make_shared<DataRule>();
    engine->Rule(rule);
    Search(0, L"");
    EXPECT_EQ(rule->names, std::vector<std::wstring>(4)) << "no name given to the rule";
    EXPECT_EQ(log.Found(), (Lines{L"found HKEY_LOCAL_MACHINE | K\\hit |  | 2",
                                  L"found HKEY_LOCAL_MACHINE | K\\" + longName + L" |  | 2",
                                  L"found HKEY_LOCAL_MACHINE | K\\big |  | 2"}));
}

}  // namespace
}  // namespace keyscour
