// The engine and the writer over the real registry, in a scratch key.

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>

#include "base/utf16.h"
#include "engine/keyscour.h"
#include "tests/support/forwarding_registry.h"
#include "registry/root_keys.h"
#include "registry/string_writer.h"
#include "registry/win32_registry.h"
#include "scratch_key.h"
#include "tests/event_log.h"

namespace keyscour {
namespace {

using testing::EventLog;
using testing::ScratchKey;
using Lines = std::vector<std::wstring>;

// Names and data that no ANSI code page holds all of.
const std::wstring kWideName = L"\u041A\u043B\u044E\u0447 \u03BA\u03BB\u03B5\u03B9\u03B4\u03AF \u9375 \U0001F511";

Lines Sorted(Lines lines) {
    std::sort(lines.begin(), lines.end());
    return lines;
}

class RealRegistryTest : public ::testing::Test {
protected:
    RealRegistryTest() { engine->Advise(&log); }

    void Search(KeyHandle root, const std::wstring& subKey, const std::wstring& text, std::int32_t flags) {
        testing::RunSearch(*engine, root, subKey, text, flags);
    }
    std::wstring Hit(const std::wstring& sub, const std::wstring& value, int found) const {
        return L"found HKEY_CURRENT_USER | " + scratch.Below(sub) + L" | " + value + L" | " + std::to_wstring(found);
    }

    ScratchKey scratch;
    Win32Registry registry;
    RecordingRegistry recorder{registry};
    std::shared_ptr<cKeyscour> engine = cKeyscour::Create(recorder);
    EventLog log;
};

TEST_F(RealRegistryTest, FindsKeysAndValuesInWalkOrder) {
    scratch.PutString(L"Apps\\Editor", L"Path", L"C:\\Program Files\\Foo Bar\\edit.exe");
    scratch.PutDword(L"Apps\\Editor", L"Size", 26);
    scratch.AddKey(L"Apps\\foo bar tools");
    scratch.PutString(L"", L"Top", L"foo bar at the start key");
    scratch.PutString(L"Apps", L"", L"FOO BAR default");

    Search(kCurrentUser, scratch.Path(), L"foo bar", SearchValueData);
    EXPECT_EQ(log.Found(), (Lines{
                               Hit(L"Top", L"foo bar at the start key", 2),
                               Hit(L"Apps\\", L"FOO BAR default", 2),
                               Hit(L"Apps\\Editor\\Path", L"C:\\Program Files\\Foo Bar\\edit.exe", 2),
                               Hit(L"Apps\\foo bar tools", L"*", 0),
                           }));
    EXPECT_EQ(log.lines.back(), L"finished 0");
    EXPECT_EQ(recorder.OpenHandles(), 0);

    log.lines.clear();
    Search(kCurrentUser, scratch.Path(), L"0x0000001A(26)", SearchValueData | MatchWholeText);
    EXPECT_EQ(log.Found(), (Lines{Hit(L"Apps\\Editor\\Size", L"0x0000001A(26)", 2)}));
}

TEST_F(RealRegistryTest, AllRootsFindThePathUnderCurrentUserOnly) {
    scratch.AddKey(L"Needle");
    Search(0, scratch.Path(), L"needle", SearchValueData);
    EXPECT_EQ(log.Found(), (Lines{Hit(L"Needle", L"*", 0)}));
    EXPECT_EQ(log.lines.back(), L"finished 0");
    EXPECT_EQ(recorder.CountOf(RegistryOp::kOpenKey), 7u + 2u) << "seven roots, then Needle twice";
    EXPECT_EQ(recorder.OpenHandles(), 0);
}

TEST_F(RealRegistryTest, UnicodeNamesAndDataRoundTrip) {
    scratch.PutString(kWideName, kWideName, L"data " + kWideName);
    Search(kCurrentUser, scratch.Path(), L"\u041A\u041B\u042E\u0427", SearchValueData);  // upper case
    EXPECT_EQ(log.Found(), (Lines{Hit(kWideName, L"*", 0),
                                  Hit(kWideName + L"\\" + kWideName, L"data " + kWideName, 2)}));

    MRegistry::WriteStringValue(registry, static_cast<std::int32_t>(kCurrentUser),
                                scratch.Below(kWideName + L"\\" + kWideName + L"\\" + kWideName), kWideName);
    const auto value = scratch.Get(kWideName + L"\\" + kWideName, kWideName);
    ASSERT_TRUE(value.exists);
    EXPECT_EQ(value.type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(value.data, testing::WithTerminator(kWideName));
}

TEST_F(RealRegistryTest, LocaleCaseRulesMatchAcrossScripts) {
    scratch.PutString(L"", L"City", L"M\u00DCNCHEN \u0391\u0398\u0397\u039D\u0391");
    Search(kCurrentUser, scratch.Path(), L"m\u00FCnchen \u03B1\u03B8\u03B7\u03BD\u03B1", SearchValueData | MatchWholeText);
    EXPECT_EQ(log.Found().size(), 1u);
}

TEST_F(RealRegistryTest, LongValuesAndNamesAreReadWholeAndTheScanGoesOn) {
    const std::vector<BYTE> big(5000, 0x11);
    std::wstring longText(10000, L'x');
    longText.replace(9000, 3, L"hit");
    const std::wstring longName(1000, L'n');
    scratch.PutString(L"K", L"A", L"hit");
    scratch.Put(L"K", L"B", REG_BINARY, big.data(), static_cast<DWORD>(big.size()));
    scratch.PutString(L"K", L"C", L"hit");
    scratch.PutString(L"K", L"Long", longText);
    scratch.PutString(L"K", longName, L"hit");
    scratch.PutString(L"K\\Sub", L"D", L"hit");
    Search(kCurrentUser, scratch.Path(), L"hit", SearchValueData);
    Lines found = log.Found();
    std::sort(found.begin(), found.end());  // the platform lists values in its own order
    Lines expected{Hit(L"K\\A", L"hit", 2), Hit(L"K\\C", L"hit", 2), Hit(L"K\\Long", longText, 2),
                   Hit(L"K\\" + longName, L"hit", 2), Hit(L"K\\Sub\\D", L"hit", 2)};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(found, expected);
}

TEST_F(RealRegistryTest, ShortDwordAndMultiStringDisplayForms) {
    const BYTE twoBytes[] = {0x34, 0x12};
    scratch.Put(L"", L"Short", REG_DWORD, twoBytes, sizeof twoBytes);
    const wchar_t multi[] = L"alpha\0beta\0";
    scratch.Put(L"", L"Multi", REG_MULTI_SZ, multi, sizeof multi);
    Search(kCurrentUser, scratch.Path(), L"", SearchValueData);
    // Wine lists values by name, Windows in creation order.
    EXPECT_EQ(Sorted(log.Found()), (Lines{L"found HKEY_CURRENT_USER | " + scratch.Path() + L"\\Multi | alpha | 2",
                                          L"found HKEY_CURRENT_USER | " + scratch.Path() + L"\\Short | 0x00001234(4660) | 2"}));
}

TEST_F(RealRegistryTest, WriterCreatesNestedKeysAndRetypesValues) {
    scratch.PutDword(L"Dw", L"Number", 42);
    MRegistry::WriteStringValue(registry, static_cast<std::int32_t>(kCurrentUser), scratch.Below(L"Dw\\Number"),
                                L"abc");
    auto value = scratch.Get(L"Dw", L"Number");
    EXPECT_EQ(value.type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(value.data, testing::WithTerminator(L"abc")) << "the platform adds the NUL the count leaves out";

    MRegistry::WriteStringValue(registry, static_cast<std::int32_t>(kCurrentUser),
                                scratch.Below(L"New\\Deeper\\Name"), L"");
    value = scratch.Get(L"New\\Deeper", L"Name");
    EXPECT_TRUE(value.exists);
    EXPECT_TRUE(value.data.empty());
}

TEST_F(RealRegistryTest, WriterReportsPlatformStatuses) {
    auto numberOf = [this](std::int32_t base, const std::wstring& section) {
        try {
            MRegistry::WriteStringValue(recorder, base, section, L"x");
        } catch (const NumberedError& error) {
            return error.Number();
        }
        return 0;
    };
    EXPECT_EQ(numberOf(0, scratch.Below(L"K\\V")), static_cast<std::int32_t>(0x800407D6));
    EXPECT_EQ(numberOf(static_cast<std::int32_t>(kCurrentUser), scratch.Below(L"K\\")),
              static_cast<std::int32_t>(0x800403EA));
    EXPECT_FALSE(scratch.KeyExists(L"K"));
    EXPECT_EQ(recorder.OpenHandles(), 0);
}

}  // namespace
}  // namespace keyscour
