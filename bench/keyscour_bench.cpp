// Measures a search against the bare walk of the same tree, in one run.
// The last line of the output is the result:
//   keys=N values=M floor_ms=A search_ms=B ratio=R peak_rss_mb=P
// With --gui (Windows) it measures the search through the real window
// against the same search headless instead; see gui_bench.h.

#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench/bare_walk.h"
#include "bench/peak_memory.h"
#include "bench/synthetic_tree.h"
#include "engine/keyscour.h"
#include "registry/memory_registry.h"
#include "registry/root_keys.h"
#include "bench/reg_file_bench.h"

#ifdef _WIN32
#include <windows.h>
#include "bench/gui_bench.h"
#include "bench/window_benches.h"
#include "registry/win32_registry.h"
#else
#include "bench/hive_bench.h"
#endif

namespace keyscour::bench {
namespace {

struct Options {
    TreeShape shape;
    std::int32_t flags = SearchValueData;
    bool realRegistry = false;
    bool gui = false;
    bool replace = false;
    bool listFill = false;
    bool cli = false;
    bool hive = false;
    bool growth = false;
    bool rename = false;
    bool windows = false;
    bool searchOptions = false;
    int dirtyPercent = 0;
    bool roundsGiven = false;
    bool keysGiven = false;
    std::string hiveFile;  // kept between runs when given
    std::string regFile;   // the .reg reader's, written there when missing
    std::vector<std::uint64_t> rows{20000};
    int rounds = 2;
};

void Usage() {
    std::fputs(
                 "keyscour-bench [--keys N] [--fanout F] [--values V] [--hits SHARE] [--flags F]\n"
                 "               [--rounds R] [--registry] [--gui]\n"
                 "keyscour-bench --replace --registry [--rows N[,M]]\n"
                 "keyscour-bench --list-fill [--rows N]\n"
                 "keyscour-bench --cli --registry [--keys N]\n"
                 "keyscour-bench --hive [--keys N] [--values V] [--hive-file FILE]   (native)\n"
                 "keyscour-bench --hive --growth [--keys N] [--values V]             (native)\n"
                 "keyscour-bench --hive --rename [--keys N] [--values V]             (native)\n"
                 "keyscour-bench --hive --dirty PERCENT [--keys N] [--values V]      (native)\n"
                 "keyscour-bench --hive --windows [--keys N] [--rounds R]            (native)\n"
                 "keyscour-bench --hive --options [--keys N] [--rounds R]            (native)\n"
                 "keyscour-bench --reg-file FILE [--rounds R]\n"
                 "  --registry   build the tree below a scratch key of HKCU (Windows only)\n"
                 "  --gui        time the search through the real window (Windows only)\n"
                 "  --replace    time Replace All through the real window over N rows, and M (Windows only)\n"
                 "  --list-fill  time the window's list filled with N rows (Windows only)\n"
                 "  --cli        time keyscour-cli search against reg query /s (Windows only)\n"
                 "  --hive-file  search this hive, built there first if it is missing, and keep it\n"
                 "  --growth     replace and undo in 1% of the hive's keys five times: the hive's growth\n"
                 "  --rename     rename 1% of the leaf keys and 1% of the values and undo it, five times,\n"
                 "               against a data replace of as many values: the growth and the time ratio\n"
                 "  --dirty      search the hive left dirty, PERCENT of its pages in its log, against it clean\n"
                 "  --windows    search an installation of N keys (1,000,000) over six hives with --windows,\n"
                 "               against its hives one by one with --hive, best of R (7)\n"
                 "  --options    --since, --pairs and --exclude over a hive of N keys (1,000,000), medians of R (7)\n"
                 "  --reg-file   read this .reg file (a 100 MB export written there first if missing), best of R (5)\n",
               stderr);
}

bool Parse(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        const char* value = nullptr;
        if (arg == "--registry") options.realRegistry = true;
        else if (arg == "--gui") options.gui = true;
        else if (arg == "--replace") options.replace = true;
        else if (arg == "--list-fill") options.listFill = true;
        else if (arg == "--cli") options.cli = true;
        else if (arg == "--hive") options.hive = true;
        else if (arg == "--growth") options.growth = true;
        else if (arg == "--rename") options.rename = true;
        else if (arg == "--windows") options.windows = true;
        else if (arg == "--options") options.searchOptions = true;
        else if (arg == "--dirty" && (value = next())) options.dirtyPercent = std::atoi(value);
        else if (arg == "--hive-file" && (value = next())) options.hiveFile = value;
        else if (arg == "--reg-file" && (value = next())) options.regFile = value;
        else if (arg == "--rows" && (value = next())) {
            options.rows.clear();
            for (const char* at = value; *at;) {
                char* end = nullptr;
                options.rows.push_back(std::strtoull(at, &end, 10));
                if (end == at || options.rows.back() == 0) return false;
                at = *end == ',' ? end + 1 : end;
            }
        }
        else if (arg == "--keys" && (value = next())) {
            options.shape.keys = std::strtoull(value, nullptr, 10);
            options.keysGiven = true;
        }
        else if (arg == "--fanout" && (value = next())) options.shape.fanout = std::atoi(value);
        else if (arg == "--values" && (value = next())) options.shape.values = std::atoi(value);
        else if (arg == "--hits" && (value = next())) options.shape.hits = std::atof(value);
        else if (arg == "--flags" && (value = next())) options.flags = std::atoi(value);
        else if (arg == "--rounds" && (value = next())) {
            options.rounds = std::atoi(value);
            options.roundsGiven = true;
        }
        else return false;
    }
    return options.shape.fanout > 0 && options.rounds > 0 && options.shape.hits >= 0 && options.shape.hits <= 1;
}

class CountingListener : public cKeyscourEvents {
public:
    void SearchFound(const std::wstring&, const std::wstring&, const std::wstring&, std::int32_t) override { ++found; }
    void SearchFinished(std::int32_t reason) override { finished = reason; }
    void SearchKeyChanged(const std::wstring&) override { ++keys; }
    std::uint64_t found = 0, keys = 0;
    std::int32_t finished = -1;
};

#ifdef _WIN32
void RemoveScratchTree(const std::wstring& start) {
    RegDeleteTreeW(HKEY_CURRENT_USER, start.c_str());
    RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\Quillon Keyscour Bench");  // only once empty
}
#endif

template <typename F>
double TimeMs(F&& work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

int Run(const Options& options) {
    if (!options.regFile.empty()) return RunRegFileBench(options.regFile, options.roundsGiven ? options.rounds : 5);
#ifndef _WIN32
    if (options.hive && options.searchOptions) {
        TreeShape shape = options.shape;
        if (!options.keysGiven) shape.keys = 1000000;
        if (shape.hits == 0) shape.hits = 0.05;
        return RunHiveOptionsBench(shape, options.roundsGiven ? options.rounds : 7);
    }
    if (options.hive && options.windows) {
        TreeShape shape = options.shape;
        if (!options.keysGiven) shape.keys = 1000000;
        return RunHiveWindowsBench(shape, options.roundsGiven ? options.rounds : 7);
    }
    if (options.hive && options.growth) return RunHiveGrowthBench(options.shape, 5);
    if (options.hive && options.rename) return RunHiveRenameBench(options.shape, 5);
    if (options.hive && options.dirtyPercent > 0)
        // Ten rounds unless told: one search of the two may meet a busy moment.
        return RunHiveDirtyBench(options.shape, options.roundsGiven ? options.rounds : 10,
                                 std::min(options.dirtyPercent, 100));
    if (options.hive) return RunHiveBench(options.shape, options.rounds, options.hiveFile);
#endif
#ifdef _WIN32
    if (options.replace) return RunReplaceBench(options.rows);
    if (options.listFill) return RunListFillBench(options.rows.front());
    if (options.cli) return RunCliBench(options.shape.keys, options.rounds);
#else
    if (options.replace || options.listFill || options.cli) {
        std::fprintf(stderr, "--replace, --list-fill and --cli need the Windows build\n");
        return 2;
    }
#endif
    std::unique_ptr<Registry> registry;
    const KeyHandle root = kCurrentUser;
    std::wstring start = L"Bench";
#ifdef _WIN32
    if (options.realRegistry) {
        registry = std::make_unique<Win32Registry>();
        start = L"Software\\Quillon Keyscour Bench\\" + std::to_wstring(GetCurrentProcessId());
    }
#else
    if (options.realRegistry || options.gui) {
        std::fprintf(stderr, "--registry and --gui need the Windows build\n");
        return 2;
    }
#endif
    if (!registry) registry = std::make_unique<MemoryRegistry>();

    std::fprintf(stderr, "building %llu keys...\n", static_cast<unsigned long long>(options.shape.keys));
    const double buildMs = TimeMs([&] { BuildTree(*registry, root, start, options.shape); });
    std::fprintf(stderr, "built in %.0f ms\n", buildMs);

#ifdef _WIN32
    if (options.gui) {
        const int result = RunGuiBench(*registry, root, start, options.shape.keys, options.rounds);
        if (options.realRegistry) RemoveScratchTree(start);
        return result;
    }
#endif
    auto engine = cKeyscour::Create(*registry);
    CountingListener listener;
    engine->Advise(&listener);
    engine->RootKey(root);
    engine->SubKey(start);
    engine->SearchFlags(options.flags);
    engine->SearchString(kNeedle);

    WalkCount count;
    double floorMs = 1e300, searchMs = 1e300, peakMb = 0;
    for (int round = 0; round < options.rounds; ++round) {
        floorMs = std::min(floorMs, TimeMs([&] { count = BareWalk(*registry, root, start); }));
        listener = CountingListener();
        ResetPeakMemory();
        searchMs = std::min(searchMs, TimeMs([&] { engine->DoSearch(); }));
        peakMb = std::max(peakMb, PeakMemoryMb());
        std::fprintf(stderr, "round %d: floor %.1f ms, search %.1f ms, %llu hits, %llu keys announced\n", round + 1,
                     floorMs, searchMs, static_cast<unsigned long long>(listener.found),
                     static_cast<unsigned long long>(listener.keys));
    }

#ifdef _WIN32
    if (options.realRegistry) RemoveScratchTree(start);
#endif
    std::printf("keys=%llu values=%llu floor_ms=%.1f search_ms=%.1f ratio=%.2f peak_rss_mb=%.1f\n",
                static_cast<unsigned long long>(count.keys), static_cast<unsigned long long>(count.values), floorMs,
                searchMs, searchMs / floorMs, peakMb);
    return listener.finished == ReasonCompleted ? 0 : 1;
}

}  // namespace
}  // namespace keyscour::bench

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    keyscour::bench::Options options;
    if (!keyscour::bench::Parse(argc, argv, options)) {
        keyscour::bench::Usage();
        return 2;
    }
    return keyscour::bench::Run(options);
}
