#include <windows.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/synthetic_tree.h"
#include "bench/window_benches.h"
#include "registry/root_keys.h"
#include "registry/win32_registry.h"
#include "tests/support/child_process_win32.h"

namespace keyscour::bench {

namespace {

std::wstring CliNextToThisProgram() {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path = self;
    path.resize(path.find_last_of(L'\\'));            // bench
    path.resize(path.find_last_of(L'\\'));            // the build
    return path + L"\\cli\\keyscour-cli.exe";
}

// The scratch tree and every output file, removed however the run ends.
struct Cleanup {
    std::wstring tree;
    std::vector<std::wstring> files;
    ~Cleanup() {
        for (const auto& file : files) DeleteFileW(file.c_str());
        RegDeleteTreeW(HKEY_CURRENT_USER, tree.c_str());
        RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\Quillon Keyscour Bench");  // only once empty
    }
};

// One timed run with standard output and error in new files of their own,
// named for the round: a file still held by the run before (or by a
// console host Wine started for it) can never be handed over as an invalid
// handle. The time in ms, or a negative number when the run failed, said
// with its round and its output kept aside.
double TimedRun(const std::wstring& what, int round, const std::wstring& commandLine, unsigned long okBelow,
                const std::wstring& folder, Cleanup& cleanup) {
    const std::wstring stem = folder + L"keyscour-cli-bench-" + std::to_wstring(GetCurrentProcessId()) + L"-" + what +
                              L"-" + std::to_wstring(round);
    const std::wstring out = stem + L".out", err = stem + L".err";
    cleanup.files.insert(cleanup.files.end(), {out, err});
    const testing::ChildRun run = testing::RunChild(commandLine, out, err);
    if (!run.started) {
        std::fprintf(stderr, "round %d, %ls: %ls\n", round, what.c_str(), run.failure.c_str());
        return -1;
    }
    if (run.exitCode < okBelow) return run.ms;
    std::fprintf(stderr, "round %d, %ls: %ls: failed (%lu)\n", round, what.c_str(), commandLine.c_str(), run.exitCode);
    for (const auto& file : {out, err}) {
        const std::wstring kept = file + L".failed";
        if (CopyFileW(file.c_str(), kept.c_str(), FALSE)) std::fprintf(stderr, "  its output: %ls\n", kept.c_str());
    }
    return -1;
}

}  // namespace

int RunCliBench(std::uint64_t keys, int rounds) {
    Cleanup cleanup;
    cleanup.tree = L"Software\\Quillon Keyscour Bench\\" + std::to_wstring(GetCurrentProcessId());
    Win32Registry registry;
    TreeShape shape;
    shape.keys = keys;
    std::fprintf(stderr, "building %llu keys...\n", static_cast<unsigned long long>(keys));
    BuildTree(registry, kCurrentUser, cleanup.tree, shape);

    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::wstring cli = L"\"" + CliNextToThisProgram() + L"\" search " + kNeedle +
                             L" --root HKCU --quiet --format jsonl --key \"" + cleanup.tree + L"\"";
    const std::wstring query = L"reg.exe query \"HKCU\\" + cleanup.tree + L"\" /s";
    double cliMs = 1e300, queryMs = 1e300;
    for (int round = 1; round <= rounds; ++round) {
        const double c = TimedRun(L"keyscour-cli", round, cli, 2, temp, cleanup);  // 1, nothing found, is a run too
        const double q = TimedRun(L"reg-query", round, query, 1, temp, cleanup);
        if (c < 0 || q < 0) return 1;
        cliMs = std::min(cliMs, c);
        queryMs = std::min(queryMs, q);
        std::fprintf(stderr, "round %d: keyscour-cli %.1f ms, reg query %.1f ms\n", round, c, q);
    }
    std::printf("keys=%llu cli_ms=%.1f reg_query_ms=%.1f ratio=%.2f\n", static_cast<unsigned long long>(keys), cliMs,
                queryMs, queryMs / cliMs);
    return 0;
}

}  // namespace keyscour::bench
