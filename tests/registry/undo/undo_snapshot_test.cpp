// The undo script of a replace, over the in-memory tree.

#include <gtest/gtest.h>

#include "base/numbered_error.h"
#include "tests/support/forwarding_registry.h"
#include "registry/memory_registry.h"
#include "registry/root_keys.h"
#include "registry/undo/undo_snapshot.h"

namespace keyscour {
namespace {

std::vector<std::uint8_t> Bytes(std::initializer_list<int> list) {
    return std::vector<std::uint8_t>(list.begin(), list.end());
}

TEST(UndoSnapshot, EveryTypeInTheFormRegImportReadsBack) {
    MemoryRegistry tree;
    tree.PutString(kCurrentUser, L"App", L"Plain", L"C:\\Path \"x\"");
    tree.PutString(kCurrentUser, L"App", L"Expand", L"%A%", value_type::kExpandString);
    tree.PutDword(kCurrentUser, L"App", L"Number", 0x0A0B0C0D);
    tree.PutValue(kCurrentUser, L"App", L"Short", value_type::kDword, Bytes({1, 2}));
    tree.PutValue(kCurrentUser, L"App", L"Raw", value_type::kBinary, Bytes({0, 255, 16}));
    tree.PutValue(kCurrentUser, L"App", L"Big", value_type::kQword, Bytes({1, 2, 3, 4, 5, 6, 7, 8}));
    tree.PutValue(kCurrentUser, L"App", L"Odd", 0x12345, Bytes({9}));
    tree.PutValue(kCurrentUser, L"App", L"Lines", value_type::kString, Bytes({'a', 0, '\n', 0, 0, 0}));
    tree.PutValue(kCurrentUser, L"App", L"Bare", value_type::kString, Bytes({'a', 0}));  // no terminator

    UndoSnapshot undo(tree);
    for (const wchar_t* name : {L"Plain", L"Expand", L"Number", L"Short", L"Raw", L"Big", L"Odd", L"Lines", L"Bare",
                                L"Missing"})
        undo.Capture(kCurrentUser, std::wstring(L"App\\") + name);
    EXPECT_EQ(undo.Script(),
              L"Windows Registry Editor Version 5.00\r\n"
              L"\r\n[HKEY_CURRENT_USER\\App]\r\n"
              L"\"Plain\"=\"C:\\\\Path \\\"x\\\"\"\r\n"
              L"\"Expand\"=hex(2):25,00,41,00,25,00,00,00\r\n"
              L"\"Number\"=dword:0a0b0c0d\r\n"
              L"\"Short\"=hex(4):01,02\r\n"
              L"\"Raw\"=hex:00,ff,10\r\n"
              L"\"Big\"=hex(b):01,02,03,04,05,06,07,08\r\n"
              L"\"Odd\"=hex(12345):09\r\n"
              L"\"Lines\"=hex(1):61,00,0a,00,00,00\r\n"
              L"\"Bare\"=hex(1):61,00\r\n"
              L"\"Missing\"=-\r\n"
              L"\r\n");
}

TEST(UndoSnapshot, KeysTheWritesCreateAreRemovedDeepestFirst) {
    MemoryRegistry tree;
    tree.AddKey(kLocalMachine, L"Have");
    tree.PutString(kLocalMachine, L"", L"AtRoot", L"x");
    UndoSnapshot undo(tree);
    undo.Capture(kLocalMachine, L"Have\\New\\Deeper\\v");
    undo.Capture(kLocalMachine, L"Have\\New\\Other\\v");
    undo.Capture(kLocalMachine, L"  Have\\New\\Deeper  \\v");  // trimmed as the writer trims: the same key
    undo.Capture(kLocalMachine, L"\\AtRoot");
    undo.Capture(kLocalMachine, L"\\AtRoot");  // once only
    EXPECT_EQ(undo.Script(),
              L"Windows Registry Editor Version 5.00\r\n"
              L"\r\n[HKEY_LOCAL_MACHINE]\r\n\"AtRoot\"=\"x\"\r\n"
              L"\r\n[-HKEY_LOCAL_MACHINE\\Have\\New\\Deeper]\r\n"
              L"\r\n[-HKEY_LOCAL_MACHINE\\Have\\New\\Other]\r\n"
              L"\r\n[-HKEY_LOCAL_MACHINE\\Have\\New]\r\n"
              L"\r\n");
    EXPECT_FALSE(tree.KeyExists(kLocalMachine, L"Have\\New"));  // looking creates nothing
}

TEST(UndoSnapshot, WritesThatChangeNothingAreLeftOut) {
    MemoryRegistry tree;
    tree.PutString(kLocalMachine, L"K", L"", L"default");
    RecordingRegistry recording(tree);
    UndoSnapshot undo(recording);
    undo.Capture(kLocalMachine, L"K\\");       // "Key may not be empty"
    undo.Capture(kLocalMachine, L"NoSlash");   // error 5
    undo.Capture(kLocalMachine, L"   ");       // "Section may not be empty"
    undo.Capture(0, L"K\\v");                  // HKEY_ALL: no handle to write under
    EXPECT_TRUE(undo.Empty());
    EXPECT_EQ(recording.OpenHandles(), 0);
}

TEST(UndoSnapshot, AValueThatCannotBeReadIsAnErrorAndNoHandleStaysOpen) {
    MemoryRegistry tree;
    tree.PutString(kLocalMachine, L"K", L"v", L"x");
    FaultyRegistry faulty(tree);
    faulty.FailNth(RegistryOp::kQueryValue, 1, status::kAccessDenied);
    RecordingRegistry recording(faulty);
    UndoSnapshot undo(recording);
    try {
        undo.Capture(kLocalMachine, L"K\\v");
        FAIL() << "no error";
    } catch (const NumberedError& error) {
        EXPECT_EQ(error.Number(), UndoSnapshot::kErrorUnreadable + 5);
    }
    EXPECT_EQ(recording.OpenHandles(), 0);
}

// The number a capture throws with, or 0.
std::int32_t CaptureError(UndoSnapshot& undo, KeyHandle root, const std::wstring& section) {
    try {
        undo.Capture(root, section);
    } catch (const NumberedError& error) {
        return error.Number();
    }
    return 0;
}

TEST(UndoSnapshot, AKeyThatExistsButCannotBeReadIsRefusedNeverNamedForRemoval) {
    MemoryRegistry tree;
    tree.PutString(kCurrentUser, L"Have\\Locked", L"v", L"keep me");
    tree.PutString(kCurrentUser, L"Have\\Locked\\Inner", L"w", L"keep me too");
    tree.MarkUnreadable(kCurrentUser, L"Have\\Locked");
    RecordingRegistry recording(tree);
    UndoSnapshot undo(recording);
    EXPECT_EQ(CaptureError(undo, kCurrentUser, L"Have\\Locked\\v"), UndoSnapshot::kErrorKeyUnreadable + 5);
    // Below it, a missing key must not make the locked one look missing.
    EXPECT_EQ(CaptureError(undo, kCurrentUser, L"Have\\Locked\\New\\v"), 0) << "its child is what is missing";
    EXPECT_EQ(CaptureError(undo, kCurrentUser, L"Have\\Gone\\v"), 0);
    EXPECT_EQ(recording.OpenHandles(), 0);
    const std::wstring script = undo.Script();
    EXPECT_EQ(script.find(L"[-HKEY_CURRENT_USER\\Have\\Locked]"), std::wstring::npos) << script;
    EXPECT_EQ(script.find(L"[-HKEY_CURRENT_USER\\Have]"), std::wstring::npos) << script;
    EXPECT_NE(script.find(L"[-HKEY_CURRENT_USER\\Have\\Gone]"), std::wstring::npos) << script;
}

TEST(UndoSnapshot, AKeyOnThePathThatCannotBeReadCountsAsThere) {
    MemoryRegistry tree;
    tree.AddKey(kCurrentUser, L"Have\\Locked");
    FaultyRegistry faulty(tree);
    faulty.FailNth(RegistryOp::kOpenKey, 3, status::kAccessDenied);  // Have\Locked, on the way
    UndoSnapshot undo(faulty);
    EXPECT_EQ(CaptureError(undo, kCurrentUser, L"Have\\Locked\\New\\v"), 0);
    EXPECT_EQ(undo.Script(), L"Windows Registry Editor Version 5.00\r\n"
                             L"\r\n[-HKEY_CURRENT_USER\\Have\\Locked\\New]\r\n"
                             L"\r\n");
}

TEST(UndoSnapshot, NamesWithLineBreaksAreRefusedBeforeAnyRead) {
    MemoryRegistry tree;
    tree.PutString(kCurrentUser, L"K", L"a\nb", L"x");
    tree.PutString(kCurrentUser, L"K\rL", L"v", L"x");
    RecordingRegistry recording(tree);
    UndoSnapshot undo(recording);
    EXPECT_EQ(CaptureError(undo, kCurrentUser, L"K\\a\nb"), UndoSnapshot::kErrorNotScriptable);
    EXPECT_EQ(CaptureError(undo, kCurrentUser, L"K\rL\\v"), UndoSnapshot::kErrorNotScriptable);
    EXPECT_EQ(recording.Calls().size(), 0u);
    EXPECT_TRUE(undo.Empty());
}

TEST(UndoSnapshot, ANameWithABackslashIsKeptWhereTheRowSaysItsKeyEnds) {
    MemoryRegistry tree;
    tree.PutString(kCurrentUser, L"K", L"a\\b", L"old");
    UndoSnapshot undo(tree);
    undo.Capture(kCurrentUser, L"K\\a\\b", 1);
    EXPECT_EQ(undo.Script(), L"Windows Registry Editor Version 5.00\r\n"
                             L"\r\n[HKEY_CURRENT_USER\\K]\r\n\"a\\\\b\"=\"old\"\r\n"
                             L"\r\n");
}

// Captures share a section while they stay in one key, as a walk's do;
// one that comes back to an earlier key starts a section of its own, its
// value still under its own key.
TEST(UndoSnapshot, CapturesShareASectionWhileTheyStayInOneKey) {
    MemoryRegistry tree;
    UndoSnapshot walked(tree), interleaved(tree);
    for (int i = 0; i < 3000; ++i) {
        const std::wstring key = L"K" + std::to_wstring(i % 1000);
        tree.PutString(kCurrentUser, key, L"v" + std::to_wstring(i), L"x");
    }
    for (int k = 0; k < 1000; ++k)
        for (int v = k; v < 3000; v += 1000)
            walked.Capture(kCurrentUser, L"K" + std::to_wstring(k) + L"\\v" + std::to_wstring(v));
    for (int i = 0; i < 3000; ++i)
        interleaved.Capture(kCurrentUser, L"K" + std::to_wstring(i % 1000) + L"\\v" + std::to_wstring(i));
    const std::wstring grouped = walked.Script();
    EXPECT_EQ(std::count(grouped.begin(), grouped.end(), L'['), 1000);
    EXPECT_LT(grouped.find(L"[HKEY_CURRENT_USER\\K0]\r\n\"v0\"=\"x\"\r\n\"v1000\"=\"x\"\r\n\"v2000\"=\"x\"\r\n"),
              grouped.find(L"[HKEY_CURRENT_USER\\K1]"));
    const std::wstring script = interleaved.Script();
    for (int i = 0; i < 3000; ++i)
        EXPECT_NE(script.find(L"[HKEY_CURRENT_USER\\K" + std::to_wstring(i % 1000) + L"]\r\n\"v" + std::to_wstring(i) +
                              L"\"=\"x\"\r\n"),
                  std::wstring::npos)
            << i;
}

// A value captured twice is written once.
TEST(UndoSnapshot, AValueCapturedTwiceIsKeptOnce) {
    MemoryRegistry tree;
    tree.PutString(kCurrentUser, L"K", L"v", L"old");
    UndoSnapshot undo(tree);
    undo.Capture(kCurrentUser, L"K\\v");
    undo.Capture(kCurrentUser, L"K\\v");
    const std::wstring script = undo.Script();
    EXPECT_EQ(script, L"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\K]\r\n\"v\"=\"old\"\r\n\r\n");
}

}  // namespace
}  // namespace keyscour
