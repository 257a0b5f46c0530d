// The walk over the key tree: order and content of the events, paths,
// stopping, internal errors, and the handles it opens and closes.

#include <gtest/gtest.h>

#include "engine/keyscour.h"
#include "tests/event_log.h"
#include "tests/support/forwarding_registry.h"
#include "registry/memory_registry.h"
#include "registry/root_keys.h"

namespace keyscour {
namespace {

using testing::EventLog;
using Lines = std::vector<std::wstring>;

class WalkTest : public ::testing::Test {
protected:
    WalkTest() { engine->Advise(&log); }

    // Tree under HKCU\Start:
    //   Alpha (value Path = "C:\foo bar")
    //     Beta
    //   gamma (values: DWORD 26)
    void BuildTree() {
        store.AddKey(kCurrentUser, L"Start\\Alpha\\Beta");
        store.PutString(kCurrentUser, L"Start\\Alpha", L"Path", L"C:\\foo bar");
        store.PutDword(kCurrentUser, L"Start\\gamma", L"Count", 26);
    }

    void Search(KeyHandle root, const std::wstring& subKey, const std::wstring& text, std::int32_t flags) {
        testing::RunSearch(*engine, root, subKey, text, flags);
    }

    MemoryRegistry store;
    RecordingRegistry recorder{store};
    int yields = 0;
    std::shared_ptr<cKeyscour> engine = cKeyscour::Create(recorder, [this] { ++yields; });
    EventLog log;
};

TEST_F(WalkTest, EventsComeDepthFirstInPreOrder) {
    BuildTree();
    store.AddKey(kCurrentUser, L"Start\\Alpha\\Beta\\Alphabet");
    Search(kCurrentUser, L"Start", L"alpha", SearchValueData);
    EXPECT_EQ(log.lines, (Lines{
                             L"key HKEY_CURRENT_USER\\Start\\Alpha",
                             L"found HKEY_CURRENT_USER | Start\\Alpha | * | 0",
                             L"key HKEY_CURRENT_USER\\Start\\Alpha\\Beta",
                             L"key HKEY_CURRENT_USER\\Start\\Alpha\\Beta\\Alphabet",
                             L"found HKEY_CURRENT_USER | Start\\Alpha\\Beta\\Alphabet | * | 0",
                             L"key HKEY_CURRENT_USER\\Start\\gamma",
                             L"finished 0",
                         }));
}

TEST_F(WalkTest, KeyHitComesBeforeItsValueHitsAndItsChildren) {
    BuildTree();
    store.PutString(kCurrentUser, L"Start\\Alpha", L"Other", L"no alpha here");
    Search(kCurrentUser, L"Start", L"ALPHA", SearchValueData);
    EXPECT_EQ(log.Found(), (Lines{
                               L"found HKEY_CURRENT_USER | Start\\Alpha | * | 0",
                               L"found HKEY_CURRENT_USER | Start\\Alpha\\Other | no alpha here | 2",
                           }));
}

TEST_F(WalkTest, EmptyStartPathGivesBareNamesAndRootLevelValues) {
    store.AddKey(kUsers, L"Top\\Inner");
    store.PutString(kUsers, L"", L"AtRoot", L"needle");
    store.PutString(kUsers, L"Top", L"", L"needle in default");
    Search(kUsers, L"", L"needle", SearchValueData);
    EXPECT_EQ(log.lines, (Lines{
                             L"found HKEY_USERS | \\AtRoot | needle | 2",
                             L"key HKEY_USERS\\Top",
                             L"found HKEY_USERS | Top\\ | needle in default | 2",
                             L"key HKEY_USERS\\Top\\Inner",
                             L"finished 0",
                         }));
}

TEST_F(WalkTest, AllRootsWalkTheSamePathInTableOrderWithoutStartKeyValues) {
    for (KeyHandle root : {kDynData, kClassesRoot, kLocalMachine}) {
        store.AddKey(root, L"Soft\\Needle");
        store.PutString(root, L"Soft", L"Direct", L"needle");
    }
    Search(0, L"Soft", L"needle", SearchValueData);
    EXPECT_EQ(log.Found(), (Lines{
                               L"found HKEY_CLASSES_ROOT | Soft\\Needle | * | 0",
                               L"found HKEY_LOCAL_MACHINE | Soft\\Needle | * | 0",
                               L"found HKEY_DYN_DATA | Soft\\Needle | * | 0",
                           }));
    EXPECT_EQ(log.lines.back(), L"finished 0");

    // The same start key searched alone does report its own values.
    log.lines.clear();
    Search(kLocalMachine, L"Soft", L"needle", SearchValueData);
    EXPECT_EQ(log.Found(), (Lines{
                               L"found HKEY_LOCAL_MACHINE | Soft\\Direct | needle | 2",
                               L"found HKEY_LOCAL_MACHINE | Soft\\Needle | * | 0",
                           }));
}

TEST_F(WalkTest, AllRootsTryEveryRootInOrder) {
    Search(0, L"Missing", L"x", SearchValueData);
    Lines opened;
    for (const auto& call : recorder.Calls())
        if (call.op == RegistryOp::kOpenKey) opened.push_back(cKeyscour::RootKeyName(call.key));
    EXPECT_EQ(opened, (Lines{L"HKEY_CLASSES_ROOT", L"HKEY_CURRENT_USER", L"HKEY_LOCAL_MACHINE", L"HKEY_USERS",
                             L"HKEY_PERFORMANCE_DATA", L"HKEY_CURRENT_CONFIG", L"HKEY_DYN_DATA"}));
    EXPECT_EQ(log.lines, (Lines{L"finished 0"}));
}

TEST_F(WalkTest, MissingStartKeyRaisesOnlyFinished) {
    Search(kLocalMachine, L"No\\Such\\Key", L"", SearchValueData);
    EXPECT_EQ(log.lines, (Lines{L"finished 0"}));
}

TEST_F(WalkTest, HandleOutsideTableHasEmptyRootName) {
    KeyHandle opened = 0;
    store.AddKey(kCurrentUser, L"Base\\Child");
    ASSERT_EQ(store.OpenKey(kCurrentUser, L"Base", opened), 0u);
    Search(opened, L"", L"child", 0);
    EXPECT_EQ(log.lines, (Lines{L"key \\Child", L"found  | Child | * | 0", L"finished 0"}));
    store.CloseKey(opened);
}

TEST_F(WalkTest, UnreadableKeyIsAnnouncedAndComparedButNotEntered) {
    BuildTree();
    store.PutString(kCurrentUser, L"Start\\Locked\\Deep", L"v", L"alpha");
    store.MarkUnreadable(kCurrentUser, L"Start\\Locked");
    Search(kCurrentUser, L"Start", L"locked", SearchValueData);
    EXPECT_EQ(log.lines, (Lines{
                             L"key HKEY_CURRENT_USER\\Start\\Alpha",
                             L"key HKEY_CURRENT_USER\\Start\\Alpha\\Beta",
                             L"key HKEY_CURRENT_USER\\Start\\gamma",
                             L"key HKEY_CURRENT_USER\\Start\\Locked",
                             L"found HKEY_CURRENT_USER | Start\\Locked | * | 0",
                             L"finished 0",
                         }));
    EXPECT_EQ(engine->UnreadableKeys(), 1u) << "once, though the walk opens it for its values too";

    // Counted afresh for each search; a start key that is gone is not unreadable.
    store.MarkUnreadable(kCurrentUser, L"Start\\Alpha\\Beta");
    Search(kCurrentUser, L"Start", L"x", SearchValueData);
    EXPECT_EQ(engine->UnreadableKeys(), 2u);
    Search(kCurrentUser, L"Gone", L"x", SearchValueData);
    EXPECT_EQ(engine->UnreadableKeys(), 0u);
}

TEST_F(WalkTest, YieldsOncePerEnumerationCall) {
    BuildTree();  // Start: 2 sub keys; Alpha: 1; Beta: 0; gamma: 0
    Search(kCurrentUser, L"Start", L"zzz", 0);
    EXPECT_EQ(yields, 3 + 2 + 1 + 1);
    EXPECT_EQ(static_cast<int>(recorder.CountOf(RegistryOp::kEnumKey)), yields);
    EXPECT_EQ(recorder.CountOf(RegistryOp::kEnumValue), 0u) << "no value flag, no value scan";
}

TEST_F(WalkTest, StopWhileIdleEndsTheNextSearchAtOnceOnly) {
    BuildTree();
    engine->StopSearch();
    Search(kCurrentUser, L"Start", L"alpha", SearchValueData);
    EXPECT_EQ(log.lines, (Lines{L"finished 1"}));
    log.lines.clear();
    Search(kCurrentUser, L"Start", L"alpha", SearchValueData);
    EXPECT_EQ(log.lines.back(), L"finished 0");
    EXPECT_EQ(log.Found().size(), 1u);
}

TEST_F(WalkTest, StopDuringWalkWindsDownLevelByLevel) {
    // Start\A (stop is requested here) \A1 \A2; Start\B1match, Start\C\match
    store.AddKey(kCurrentUser, L"Start\\A\\A1");
    store.AddKey(kCurrentUser, L"Start\\A\\A2");
    store.AddKey(kCurrentUser, L"Start\\B match");
    store.AddKey(kCurrentUser, L"Start\\C\\match");
    store.PutString(kCurrentUser, L"Start\\B match", L"v", L"match");
    log.onKeyChanged = [this] {
        if (log.lines.back() == L"key HKEY_CURRENT_USER\\Start\\A") engine->StopSearch();
    };
    Search(kCurrentUser, L"Start", L"match", SearchValueData);
    EXPECT_EQ(log.lines, (Lines{
                             L"key HKEY_CURRENT_USER\\Start\\A",
                             L"found HKEY_CURRENT_USER | Start\\B match | * | 0",
                             L"finished 1",
                         }));
    EXPECT_EQ(recorder.OpenHandles(), 0);

    // The next search starts afresh.
    log.onKeyChanged = nullptr;
    log.lines.clear();
    Search(kCurrentUser, L"Start", L"match", SearchValueData);
    EXPECT_EQ(log.lines.back(), L"finished 0");
}

TEST_F(WalkTest, StopInAllRootsModeSkipsTheRemainingRoots) {
    store.AddKey(kClassesRoot, L"Soft\\One");
    store.AddKey(kLocalMachine, L"Soft\\Two");
    log.onKeyChanged = [this] { engine->StopSearch(); };
    Search(0, L"Soft", L"o", SearchValueData);
    EXPECT_EQ(log.lines, (Lines{L"key HKEY_CLASSES_ROOT\\Soft\\One", L"found HKEY_CLASSES_ROOT | Soft\\One | * | 0",
                                L"finished 1"}));
    EXPECT_EQ(recorder.CountOf(RegistryOp::kOpenKey), 1u);
}

TEST_F(WalkTest, DetachedListenerHearsNothingAndEngineOutlivesItsOwner) {
    BuildTree();
    std::weak_ptr<cKeyscour> watch = engine;
    cKeyscour* raw = engine.get();
    log.onKeyChanged = [this] {
        engine->StopSearch();
        engine->Unadvise();
        engine.reset();  // the owner lets go in the middle of the search
    };
    raw->RootKey(kCurrentUser);
    raw->SubKey(L"Start");
    raw->SearchFlags(SearchValueData);
    raw->SearchString(L"alpha");
    raw->DoSearch();
    EXPECT_EQ(log.lines, (Lines{L"key HKEY_CURRENT_USER\\Start\\Alpha"}));
    EXPECT_TRUE(watch.expired()) << "released once the search returned";
    EXPECT_EQ(recorder.OpenHandles(), 0);
}

class WalkFaultTest : public ::testing::Test {
protected:
    WalkFaultTest() {
        store.AddKey(kCurrentUser, L"S\\One\\Deep");
        store.PutString(kCurrentUser, L"S\\One", L"v", L"x");
        store.AddKey(kCurrentUser, L"S\\Two x");
        engine->Advise(&log);
        engine->RootKey(kCurrentUser);
        engine->SubKey(L"S");
        engine->SearchFlags(SearchValueData);
        engine->SearchString(L"x");
    }
    MemoryRegistry store;
    FaultyRegistry faulty{store};
    RecordingRegistry recorder{faulty};
    std::shared_ptr<cKeyscour> engine = cKeyscour::Create(recorder);
    EventLog log;
};

TEST_F(WalkFaultTest, ErrorInsideSubKeyEnumerationEndsTheSearchWithItsNumber) {
    faulty.ThrowNth(RegistryOp::kEnumKey, 2);  // inside S\One, after its values
    engine->DoSearch();
    EXPECT_EQ(log.lines, (Lines{
                             L"key HKEY_CURRENT_USER\\S\\One",
                             L"found HKEY_CURRENT_USER | S\\One\\v | x | 2",
                             L"found HKEY_CURRENT_USER | S\\Two x | * | 0",
                             L"finished 7",
                         }));
    EXPECT_EQ(recorder.OpenHandles(), 0);
}

TEST_F(WalkFaultTest, ErrorInsideValueScanEndsTheSearchWithItsNumber) {
    faulty.ThrowNth(RegistryOp::kEnumValue, 2);  // the start key has no values; S\One's first
    engine->DoSearch();
    EXPECT_EQ(log.lines.front(), L"key HKEY_CURRENT_USER\\S\\One");
    EXPECT_EQ(log.lines.back(), L"finished 7");
    EXPECT_EQ(recorder.OpenHandles(), 0);
}

TEST_F(WalkFaultTest, ThrowingListenerIsAnInternalError) {
    log.onFound = [] { throw std::runtime_error("listener failed"); };
    engine->DoSearch();
    EXPECT_EQ(log.lines.back(), L"finished 51");
    EXPECT_EQ(recorder.OpenHandles(), 0);
}

TEST_F(WalkFaultTest, FailingEnumerationEndsOnlyThatLevel) {
    faulty.FailNth(RegistryOp::kEnumKey, 1, status::kAccessDenied);
    engine->DoSearch();
    EXPECT_EQ(log.lines, (Lines{L"finished 0"}));
    EXPECT_EQ(recorder.OpenHandles(), 0);
}

TEST_F(WalkFaultTest, ThrowingOpenEndsTheSearchWithEveryKeyClosed) {
    faulty.ThrowNth(RegistryOp::kOpenKey, 3);  // S\One's sub key walk
    engine->DoSearch();
    EXPECT_EQ(log.lines.back(), L"finished 7");
    EXPECT_EQ(recorder.OpenHandles(), 0);
    EXPECT_EQ(store.OpenHandleCount(), 0u);
}

TEST_F(WalkFaultTest, ThrowingCloseDoesNotDisturbTheSearch) {
    faulty.ThrowNth(RegistryOp::kCloseKey, 1);
    engine->DoSearch();
    EXPECT_EQ(log.Found().size(), 2u);
    EXPECT_EQ(log.lines.back(), L"finished 0");
}

}  // namespace
}  // namespace keyscour
