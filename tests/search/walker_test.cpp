// The walk over several walks of one registry: rows named as the walk
// says, keys counted, the stop flag heard at the next key, a missing start
// key told apart.

#include <gtest/gtest.h>

#include <atomic>

#include "registry/memory_registry.h"
#include "registry/root_keys.h"
#include "search/walker.h"

namespace keyscour::search {
namespace {

class WalkerTest : public ::testing::Test {
protected:
    WalkerTest() {
        for (int i = 0; i < 50; ++i)
            tree.PutString(kLocalMachine, L"App\\K" + std::to_wstring(i), L"v", i % 10 == 0 ? L"C:\\Old" : L"none");
        RuleOptions options;
        options.text = L"old";
        rule = std::make_shared<TextRule>(options);
        walks.push_back({&tree, kLocalMachine, L"App", L"HKEY_LOCAL_MACHINE", L"SOFTWARE", {}, {}});
    }
    MemoryRegistry tree;
    std::shared_ptr<TextRule> rule;
    std::vector<Walk> walks;
    std::atomic<bool> stop{false};
};

TEST_F(WalkerTest, RowsAreNamedAsTheWalkSaysAndEveryKeyIsCounted) {
    Walker walker(walks, rule, stop);
    std::vector<std::wstring> keys;
    std::uint64_t keysSeen = 0;
    walker.OnEachKey([&](std::wstring_view, const Totals& totals) { keysSeen = totals.keys; });
    ASSERT_TRUE(walker.Run([&](const Record& record, const SearchHit&, const Walk& walk) {
        EXPECT_EQ(&walk, &walks[0]);
        EXPECT_EQ(record.root, L"HKEY_LOCAL_MACHINE");
        keys.push_back(std::wstring(record.key));
    }));
    EXPECT_EQ(keys.size(), 5u);
    EXPECT_EQ(keys.front(), L"SOFTWARE\\App\\K0");
    EXPECT_EQ(walker.totals.keys, 51u) << "the start key and its fifty";
    EXPECT_EQ(keysSeen, walker.totals.keys);
    EXPECT_EQ(walker.totals.hits, 5u);
    EXPECT_FALSE(walker.totals.interrupted);
}

TEST_F(WalkerTest, TheStopFlagEndsTheWalkAtItsNextKeyAndIsCounted) {
    Walker walker(walks, rule, stop);
    walker.OnEachKey([&](std::wstring_view, const Totals& totals) {
        if (totals.keys == 20) stop = true;
    });
    std::size_t hits = 0;
    walker.Run([&](const Record&, const SearchHit&, const Walk&) { ++hits; });
    EXPECT_TRUE(walker.totals.interrupted);
    EXPECT_LT(walker.totals.keys, 25u);
    EXPECT_LT(hits, 5u);

    stop = true;
    Walker stopped(walks, rule, stop);
    stopped.Run([&](const Record&, const SearchHit&, const Walk&) { ADD_FAILURE() << "no walk after the stop"; });
    EXPECT_EQ(stopped.totals.keys, 0u);
}

TEST_F(WalkerTest, AMissingStartKeyIsToldApartFromNoHits) {
    walks[0].start = L"Missing";
    Walker walker(walks, rule, stop);
    EXPECT_FALSE(walker.Run([](const Record&, const SearchHit&, const Walk&) {}));
    walks[0].start = L"App\\K1";
    Walker found(walks, rule, stop);
    EXPECT_TRUE(found.Run([](const Record&, const SearchHit&, const Walk&) {}));
    EXPECT_EQ(found.totals.hits, 0u);
}

}  // namespace
}  // namespace keyscour::search
