#include "tests/support/child_process_win32.h"

#include <windows.h>

#include <chrono>
#include <vector>

#include "base/win32_handles.h"

namespace keyscour::testing {

namespace {

using unique_kernel_handle = unique_handle<Win32HandleTraits<HANDLE, &CloseHandle>>;

std::wstring Why(const std::wstring& what) {
    wchar_t* text = nullptr;
    const DWORD error = GetLastError();
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring why = what + L": error " + std::to_wstring(error) + (text ? L" (" + std::wstring(text) + L")" : L"");
    LocalFree(text);
    while (!why.empty() && (why.back() == L'\n' || why.back() == L'\r')) why.pop_back();
    return why;
}

unique_hfile Open(const std::wstring& path, bool write) {
    SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
    return unique_hfile(CreateFileW(path.empty() ? L"NUL" : path.c_str(), write ? GENERIC_WRITE : GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherited,
                                    write && !path.empty() ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                    nullptr));
}

}  // namespace

ChildRun RunChild(const std::wstring& commandLine, const std::wstring& outFile, const std::wstring& errFile,
                  unsigned long timeoutMs) {
    ChildRun run;
    const auto fail = [&run](const std::wstring& why) {
        run.failure = why;
        return run;
    };
    const unique_hfile in = Open(L"", false);
    if (!in) return fail(Why(L"NUL could not be opened"));
    const unique_hfile out = Open(outFile, true);
    if (!out) return fail(Why(L"standard output " + outFile + L" could not be made"));
    const unique_hfile err = errFile == outFile && !errFile.empty() ? unique_hfile() : Open(errFile, true);
    if (!err && !(errFile == outFile && !errFile.empty()))
        return fail(Why(L"standard error " + errFile + L" could not be made"));
    HANDLE handles[3] = {in.get(), out.get(), err ? err.get() : out.get()};

    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<unsigned char> storage(size);
    auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
    if (!InitializeProcThreadAttributeList(attributes, 1, 0, &size))
        return fail(Why(L"no attribute list"));
    const DWORD inheritedCount = handles[2] == handles[1] ? 2 : 3;
    const BOOL listed = UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles,
                                                  inheritedCount * sizeof(HANDLE), nullptr, nullptr);
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = handles[0];
    startup.StartupInfo.hStdOutput = handles[1];
    startup.StartupInfo.hStdError = handles[2];
    startup.lpAttributeList = listed ? attributes : nullptr;
    PROCESS_INFORMATION process{};
    std::wstring command = commandLine;
    const auto begin = std::chrono::steady_clock::now();
    const BOOL started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE,
                                        CREATE_NO_WINDOW | (listed ? EXTENDED_STARTUPINFO_PRESENT : 0), nullptr,
                                        nullptr, &startup.StartupInfo, &process);
    DeleteProcThreadAttributeList(attributes);
    if (!started) return fail(Why(L"could not start " + commandLine));
    run.started = true;
    const unique_kernel_handle child(process.hProcess), thread(process.hThread);
    if (WaitForSingleObject(child.get(), timeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(child.get(), 0xFFFFFFFEu);
        WaitForSingleObject(child.get(), 5000);
        run.timedOut = true;
    }
    run.ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count();
    DWORD code = ~0u;
    GetExitCodeProcess(child.get(), &code);
    run.exitCode = code;
    return run;
}

}  // namespace keyscour::testing
