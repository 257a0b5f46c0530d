#include <windows.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "bench/synthetic_tree.h"
#include "bench/window_benches.h"
#include "registry/root_keys.h"
#include "registry/win32_registry.h"

namespace keyscour::bench {

namespace {

// Runs a command line with its output sent to a file; its time in ms, or a
// negative number when it could not run or failed.
double TimedRun(std::wstring commandLine, const std::wstring& outputFile, DWORD okBelow) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE out = CreateFileW(outputFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = out;
    startup.hStdError = out;
    PROCESS_INFORMATION process{};
    const auto begin = std::chrono::steady_clock::now();
    const BOOL started = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                                        nullptr, &startup, &process);
    DWORD code = 1;
    if (started) {
        WaitForSingleObject(process.hProcess, INFINITE);
        GetExitCodeProcess(process.hProcess, &code);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count();
    CloseHandle(out);
    if (!started || code >= okBelow) {
        std::fprintf(stderr, "%ls: failed (%lu)\n", commandLine.c_str(), static_cast<unsigned long>(code));
        return -1;
    }
    return ms;
}

std::wstring CliNextToThisProgram() {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path = self;
    path.resize(path.find_last_of(L'\\'));            // bench
    path.resize(path.find_last_of(L'\\'));            // the build
    return path + L"\\cli\\keyscour-cli.exe";
}

}  // namespace

int RunCliBench(std::uint64_t keys, int rounds) {
    const std::wstring start = L"Software\\Quillon Keyscour Bench\\" + std::to_wstring(GetCurrentProcessId());
    Win32Registry registry;
    TreeShape shape;
    shape.keys = keys;
    std::fprintf(stderr, "building %llu keys...\n", static_cast<unsigned long long>(keys));
    BuildTree(registry, kCurrentUser, start, shape);

    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::wstring output = std::wstring(temp) + L"keyscour-cli-bench.out";
    const std::wstring cli = L"\"" + CliNextToThisProgram() + L"\" search " + kNeedle +
                             L" --root HKCU --quiet --format jsonl --key \"" + start + L"\"";
    const std::wstring query = L"reg.exe query \"HKCU\\" + start + L"\" /s";
    double cliMs = 1e300, queryMs = 1e300;
    for (int round = 0; round < rounds; ++round) {
        const double c = TimedRun(cli, output, 2);  // 1, nothing found, is a run too
        const double q = TimedRun(query, output, 1);
        if (c < 0 || q < 0) return 1;
        cliMs = std::min(cliMs, c);
        queryMs = std::min(queryMs, q);
        std::fprintf(stderr, "round %d: keyscour-cli %.1f ms, reg query %.1f ms\n", round + 1, c, q);
    }
    DeleteFileW(output.c_str());
    RegDeleteTreeW(HKEY_CURRENT_USER, start.c_str());
    RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\Quillon Keyscour Bench");
    std::printf("keys=%llu cli_ms=%.1f reg_query_ms=%.1f ratio=%.2f\n", static_cast<unsigned long long>(keys), cliMs,
                queryMs, queryMs / cliMs);
    return 0;
}

}  // namespace keyscour::bench
