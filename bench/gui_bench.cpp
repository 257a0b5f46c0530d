#include "bench/gui_bench.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "bench/synthetic_tree.h"
#include "bench/window_driving.h"
#include "engine/keyscour.h"
#include "tests/support/forwarding_registry.h"
#include "registry/root_keys.h"
#include "ui/form1.h"
#include "ui/result_list.h"

namespace keyscour::bench {

namespace {

// Every sub key step yields once, just before its EnumKey; the time between
// two EnumKey calls is the time between two yields.
class YieldClock final : public ForwardingRegistry {
public:
    using ForwardingRegistry::ForwardingRegistry;
    void Reset() {
        last_.reset();
        maxGapMs = 0;
    }
    double maxGapMs = 0;

private:
    void After(const RegistryCall& call) override {
        if (call.op != RegistryOp::kEnumKey) return;
        const auto now = Clock::now();
        if (last_) maxGapMs = std::max(maxGapMs, MsBetween(*last_, now));
        last_ = now;
    }
    std::optional<Clock::time_point> last_;
};

class Finished : public cKeyscourEvents {
public:
    void SearchFound(const std::wstring&, const std::wstring&, const std::wstring&, std::int32_t) override {}
    void SearchFinished(std::int32_t lReason) override { reason = lReason; }
    void SearchKeyChanged(const std::wstring&) override {}
    std::int32_t reason = -1;
};

}  // namespace

int RunGuiBench(Registry& registry, KeyHandle root, const std::wstring& start, std::uint64_t keys, int rounds) {
    YieldClock clock(registry);
    FormDriver driver(clock);
    if (!driver.created) {
        std::fprintf(stderr, "the window could not be created\n");
        return 2;
    }
    Pump();
    Form1& form = *driver.form;
    auto set = [&](design::ControlId id, const std::wstring& text) { driver.Type(id, text); };
    SendMessageW(form.Control(design::kCombo1), CB_SETCURSEL, RootIndex(root), 0);
    set(design::kText2, start);

    auto guiSearch = [&](const std::wstring& text) {
        set(design::kText1, text);
        clock.Reset();
        const auto begin = Clock::now();
        SendMessageW(form.Control(design::kCommand1), BM_CLICK, 0, 0);
        const double ms = MsBetween(begin, Clock::now());
        Pump();
        return ms;
    };

    auto engine = cKeyscour::Create(clock);
    Finished finished;
    engine->Advise(&finished);
    engine->RootKey(root);
    engine->SubKey(start);
    engine->SearchFlags(SearchValueData);
    engine->SearchString(kNeedle);

    double guiMs = 1e300, engineMs = 1e300, maxGapMs = 0;
    bool complete = true;
    for (int round = 0; round < rounds; ++round) {
        const auto begin = Clock::now();
        engine->DoSearch();
        engineMs = std::min(engineMs, MsBetween(begin, Clock::now()));
        complete = complete && finished.reason == ReasonCompleted;

        guiMs = std::min(guiMs, guiSearch(kNeedle));
        maxGapMs = std::max(maxGapMs, clock.maxGapMs);
        complete = complete && GetWindowTextLengthW(form.Control(design::kLabel3)) == 5;  // "Done!"
        std::fprintf(stderr, "round %d: engine %.1f ms, window %.1f ms, longest yield gap %.2f ms\n", round + 1,
                     engineMs, guiMs, maxGapMs);
    }

    // Every key's name holds "Key ": one row per key.
    const double rowsMs = guiSearch(L"Key ");
    const int rows = result_list::RowCount(form.Control(design::kListView1));
    maxGapMs = std::max(maxGapMs, clock.maxGapMs);
    std::fprintf(stderr, "every key a hit: %d rows in %.1f ms\n", rows, rowsMs);

    std::printf("keys=%llu gui_ms=%.1f engine_ms=%.1f ratio=%.2f max_yield_gap_ms=%.2f rows_per_s=%.0f\n",
                static_cast<unsigned long long>(keys), guiMs, engineMs, guiMs / engineMs, maxGapMs,
                rows / (rowsMs / 1000.0));
    return complete ? 0 : 1;
}

}  // namespace keyscour::bench
