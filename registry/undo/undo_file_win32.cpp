#include "registry/undo/undo_file.h"

#include <windows.h>
#include <shlobj.h>

#include <cstdio>

#include "base/file_util.h"
#include "base/numbered_error.h"
#include "base/utf16.h"
#include "base/unique_handle.h"

namespace keyscour::undo_file {

namespace {

struct FileTraits {
    using pointer = HANDLE;
    static pointer invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(pointer file) noexcept { CloseHandle(file); }
};
using unique_file = unique_handle<FileTraits>;

[[noreturn]] void Fail(DWORD error, const std::wstring& path) {
    throw NumberedError(kErrorNotWritten + static_cast<std::int32_t>(error),
                        L"Could not write the undo file " + path + L"; nothing was replaced");
}

// Creates each missing folder on the path. Only the last one's failure
// counts: the parts above it may be a drive or a share that cannot be made.
void MakeFolders(const std::wstring& folder) {
    for (std::size_t slash = folder.find(L'\\', 1); slash != std::wstring::npos; slash = folder.find(L'\\', slash + 1))
        CreateDirectoryW(folder.substr(0, slash).c_str(), nullptr);
    if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
        Fail(GetLastError(), folder);
}

std::wstring NameNow(int attempt) {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    wchar_t name[64];
    std::swprintf(name, 64, L"%04u-%02u-%02u %02u.%02u.%02u", now.wYear, now.wMonth, now.wDay, now.wHour,
                  now.wMinute, now.wSecond);
    std::wstring result = name;
    if (attempt > 1) result += L" (" + std::to_wstring(attempt) + L")";
    return result + L".reg";
}

}  // namespace

std::wstring DefaultFolder() {
    wchar_t base[MAX_PATH] = {};
    const DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", base, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, base);
    return std::wstring(base) + L"\\Quillon Keyscour\\Undo";
}

std::wstring WriteTemporary(const std::wstring& folder, const ScriptPieces& script,
                            const std::function<void(const std::wstring& temporary)>& made) {
    MakeFolders(folder);

    // Written whole under a name of its own first: a kill or a full disk
    // never leaves a file under an undo file's name that is cut short.
    wchar_t part[64];
    std::swprintf(part, 64, L"\\%ls.%lu.%lu.part", std::wstring(kTemporaryPrefix).c_str(), GetCurrentProcessId(),
                  GetTickCount());
    const std::wstring partial = folder + part;
    unique_file file(CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) Fail(GetLastError(), partial);
    DWORD error = ERROR_SUCCESS;
    const auto put = [&](const std::vector<std::uint8_t>& text) {
        const auto* bytes = reinterpret_cast<const char*>(text.data());
        std::size_t left = text.size();
        while (left > 0 && error == ERROR_SUCCESS) {
            DWORD written = 0;
            const DWORD chunk = left > 0x100000 ? 0x100000 : static_cast<DWORD>(left);
            if (!WriteFile(file.get(), bytes, chunk, &written, nullptr) || written == 0) {
                error = GetLastError();
                if (error == ERROR_SUCCESS) error = ERROR_HANDLE_DISK_FULL;
            }
            bytes += written;
            left -= written;
        }
    };
    try {
        if (made) made(partial);
        put({0xFF, 0xFE});
        ClosingMeasure measure;
        script([&](std::wstring_view piece) { put(measure.Add(piece)); });
        put(EncodeUtf16Le(measure.Line()));
    } catch (...) {
        file.reset();
        DeleteFileW(partial.c_str());
        throw;
    }
    if (error == ERROR_SUCCESS && !FlushFileBuffers(file.get())) error = GetLastError();
    if (error != ERROR_SUCCESS) {
        file.reset();
        DeleteFileW(partial.c_str());  // half an undo file would mislead
        Fail(error, partial);
    }
    return partial;
}

std::wstring Publish(const std::wstring& temporary) {
    const std::wstring folder = temporary.substr(0, temporary.rfind(L'\\'));
    // Without MOVEFILE_REPLACE_EXISTING: a name already taken is never
    // overwritten, and the next one is tried.
    for (int attempt = 1;; ++attempt) {
        const std::wstring path = folder + L"\\" + NameNow(attempt);
        if (MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_WRITE_THROUGH)) return path;
        const DWORD error = GetLastError();
        if ((error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) || attempt == 100)
            throw NumberedError(kErrorNotWritten + static_cast<std::int32_t>(error),
                                L"the undo file " + temporary + L" could not be named " + path + L" (" +
                                    ErrorText(static_cast<int>(error)) + L")");
    }
}

void Discard(const std::wstring& temporary) { DeleteFileW(temporary.c_str()); }

}  // namespace keyscour::undo_file
