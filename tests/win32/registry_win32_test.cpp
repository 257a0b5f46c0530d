// The engine and the writer over the real registry, in a scratch key.

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdio>

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

// The stored case of each sub key of a key, in the order listed.
Lines SubKeyNames(const std::wstring& path) {
    Lines names;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return names;
    wchar_t name[256];
    for (DWORD i = 0; RegEnumKeyW(key, i, name, 256) == ERROR_SUCCESS; ++i) names.push_back(name);
    RegCloseKey(key);
    return names;
}

// What the system's RegRenameKey does with a change of case alone is
// probed and said; the registry's renames make it whatever that is, and
// keep the key's values and sub keys, and a value's type and data.
TEST_F(RealRegistryTest, RenamesChangeCaseAloneAndKeepWhatTheyHold) {
    scratch.PutString(L"probe", L"v", L"x");
    HKEY parent = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, scratch.Path().c_str(), 0, KEY_ALL_ACCESS, &parent), ERROR_SUCCESS);
    const LSTATUS probed = RegRenameKey(parent, L"probe", L"PROBE");
    RegCloseKey(parent);
    RecordProperty("RegRenameKeyToACaseVariant", static_cast<int>(probed));
    std::printf("RegRenameKey to a case variant: status %ld, the key now listed as %ls\n", static_cast<long>(probed),
                SubKeyNames(scratch.Path()).at(0).c_str());

    scratch.PutString(L"alice", L"alice", L"C:\\Users\\alice", REG_EXPAND_SZ);
    scratch.PutString(L"alice", L"other", L"kept");
    scratch.PutString(L"alice\\sub", L"deep", L"kept too");
    EXPECT_EQ(registry.RenameKey(kCurrentUser, scratch.Below(L"alice"), L"Alice"), 0u);
    EXPECT_EQ(SubKeyNames(scratch.Path()).at(0), L"Alice") << "listed in its new case";
    KeyHandle key = 0;
    ASSERT_EQ(registry.CreateKey(kCurrentUser, scratch.Below(L"Alice"), key), 0u);
    EXPECT_EQ(registry.RenameValue(key, L"alice", L"Alice"), 0u);
    EXPECT_EQ(registry.RenameValue(key, L"other", L"ALICE"), status::kAlreadyExists);
    EXPECT_EQ(registry.RenameValue(key, L"missing", L"x"), status::kNotFound);
    wchar_t name[64];
    std::uint32_t nameChars = 64, type = 0, dataBytes = 256;
    std::uint8_t data[256];
    Lines names;
    for (std::uint32_t i = 0; registry.EnumValue(key, i, name, nameChars, type, data, dataBytes) == 0; ++i) {
        names.push_back(name);
        if (std::wstring(name) == L"Alice") {
            EXPECT_EQ(type, static_cast<std::uint32_t>(REG_EXPAND_SZ));
            EXPECT_EQ(std::wstring(reinterpret_cast<wchar_t*>(data)), L"C:\\Users\\alice");
        }
        nameChars = 64;
        dataBytes = 256;
    }
    EXPECT_EQ(Sorted(names), (Lines{L"Alice", L"other"}));
    registry.CloseKey(key);
    EXPECT_EQ(SubKeyNames(scratch.Below(L"Alice")), Lines{L"sub"});
    EXPECT_EQ(registry.RenameKey(kCurrentUser, scratch.Below(L"Alice"), L"PROBE"), status::kAlreadyExists);
    // Renamed past a sibling, each sub key is listed once and found.
    EXPECT_EQ(registry.RenameKey(kCurrentUser, scratch.Below(L"Alice"), L"zulu"), 0u);
    EXPECT_EQ(Sorted(SubKeyNames(scratch.Path())), (Lines{L"probe", L"zulu"}));
    EXPECT_EQ(SubKeyNames(scratch.Below(L"zulu")), Lines{L"sub"});
}

}  // namespace
}  // namespace keyscour
