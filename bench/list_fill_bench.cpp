#include <windows.h>
#include <psapi.h>

#include <cstdio>

#include "bench/synthetic_tree.h"
#include "bench/window_benches.h"
#include "bench/window_driving.h"
#include "engine/keyscour.h"
#include "tests/support/forwarding_registry.h"
#include "registry/memory_registry.h"
#include "ui/message_pump.h"
#include "ui/result_list.h"

namespace keyscour::bench {

namespace {

// The memory the process has made its own: its private bytes, or where the
// platform does not count them (Wine), its commit charge.
double PrivateMb() {
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters);
    const SIZE_T bytes = counters.PrivateUsage ? counters.PrivateUsage : counters.PagefileUsage;
    return bytes / (1024.0 * 1024.0);
}

// When a search makes its first registry call: the start's own work, the
// clearing of the last rows among it, is over then.
class FirstCallClock final : public ForwardingRegistry {
public:
    using ForwardingRegistry::ForwardingRegistry;
    void Reset() { seen_ = false; }
    Clock::time_point first{};

private:
    void After(const RegistryCall&) override {
        if (seen_) return;
        seen_ = true;
        first = Clock::now();
    }
    bool seen_ = false;
};

class Counter : public cKeyscourEvents {
public:
    void SearchFound(const std::wstring&, const std::wstring&, const std::wstring&, std::int32_t) override {
        ++found;
    }
    void SearchFinished(std::int32_t) override {}
    void SearchKeyChanged(const std::wstring&) override {}
    std::uint64_t found = 0;
};

}  // namespace

int RunListFillBench(std::uint64_t rows) {
    MemoryRegistry memory;
    TreeShape shape;
    shape.keys = rows;
    std::fprintf(stderr, "building %llu keys in memory...\n", static_cast<unsigned long long>(rows));
    BuildTree(memory, kCurrentUser, L"Bench", shape);
    FirstCallClock clock(memory);
    FormDriver driver(clock);
    if (!driver.created) return 2;
    Pump();
    Form1* form = driver.form.get();
    SendMessageW(form->Control(design::kCombo1), CB_SETCURSEL, RootIndex(kCurrentUser), 0);
    driver.Type(design::kText2, L"Bench");
    // A first search opens the list (the window doubles) so that the timed
    // ones compare like with like.
    driver.Type(design::kText1, L"no such text anywhere");
    SendMessageW(form->Control(design::kCommand1), BM_CLICK, 0, 0);
    Pump();

    // The same search through the window's yield, rows counted only.
    YieldPump pump;
    Counter counter;
    auto engine = cKeyscour::Create(memory, [&] { pump.PumpPending(form->hwnd()); });
    engine->Advise(&counter);
    engine->RootKey(kCurrentUser);
    engine->SubKey(L"Bench");
    engine->SearchFlags(SearchValueData);
    engine->SearchString(L"Key ");  // in every key's name
    auto begin = Clock::now();
    engine->DoSearch();
    const double engineMs = MsBetween(begin, Clock::now());

    const double before = PrivateMb();
    driver.Type(design::kText1, L"Key ");
    begin = Clock::now();
    SendMessageW(form->Control(design::kCommand1), BM_CLICK, 0, 0);
    const double fillMs = MsBetween(begin, Clock::now());
    Pump();
    const double listMb = PrivateMb() - before;
    const ResultRows& listed = form->Rows();
    double textChars = 0;
    for (std::size_t row = 0; row < listed.Count(); ++row)
        textChars += static_cast<double>(listed.RootName(row).size() + listed.Key(row).size() + listed.Value(row).size());
    const int shown = result_list::RowCount(form->Control(design::kListView1));

    // The next start clears the list before its walk begins.
    driver.Type(design::kText1, L"no such text anywhere");
    clock.Reset();
    begin = Clock::now();
    SendMessageW(form->Control(design::kCommand1), BM_CLICK, 0, 0);
    const double clearMs = MsBetween(begin, clock.first);
    Pump();

    std::fprintf(stderr, "%llu hits counted, %d rows listed\n", static_cast<unsigned long long>(counter.found), shown);
    std::printf("rows=%d fill_ms=%.1f engine_ms=%.1f ratio=%.2f clear_ms=%.1f list_mb=%.1f text_mb=%.1f\n", shown, fillMs,
                engineMs, fillMs / engineMs, clearMs, listMb, textChars * 2 / (1024.0 * 1024.0));
    return static_cast<std::uint64_t>(shown) == counter.found ? 0 : 1;
}

}  // namespace keyscour::bench
