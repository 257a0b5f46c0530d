#pragma once
// Files and child processes for the window tests: a folder per test for
// undo files, UTF-16 files read back, a program run to its end, and a
// string value of the in-memory tree read as text.

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "registry/memory_registry.h"

namespace keyscour::testing {

namespace fs = std::filesystem;

// A folder of its own for the undo files of one test.
class TempFolder {
public:
    TempFolder() {
        static int serial = 0;
        path_ = fs::temp_directory_path() /
                (L"keyscour-undo-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++serial));
        fs::remove_all(path_);
    }
    ~TempFolder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    std::wstring Path() const { return path_.wstring(); }
    std::vector<fs::path> Files() const {
        std::vector<fs::path> files;
        std::error_code missing;
        for (const auto& entry : fs::directory_iterator(path_, missing)) files.push_back(entry.path());
        return files;
    }

private:
    fs::path path_;
};

inline std::wstring ReadUtf16File(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), {});
    std::wstring text;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
        text += static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]) | static_cast<unsigned char>(bytes[i + 1]) << 8);
    return text;
}

inline DWORD RunAndWait(std::wstring commandLine) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                        &startup, &process))
        return GetLastError() | 0x10000000;
    WaitForSingleObject(process.hProcess, 60000);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

inline std::wstring StringOf(const MemoryRegistry& memory, KeyHandle root, const std::wstring& key, const std::wstring& name) {
    const auto value = memory.GetValue(root, key, name);
    if (!value || value->type != value_type::kString) return L"<not a string>";
    std::wstring text;
    for (std::size_t i = 0; i + 1 < value->data.size(); i += 2)
        text += static_cast<wchar_t>(value->data[i] | value->data[i + 1] << 8);
    return text.substr(0, text.find(L'\0'));  // stored with or without its terminator
}

}  // namespace keyscour::testing
