#include "base/file_util.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "base/utf8.h"
#include "base/win32_handles.h"

namespace keyscour {

namespace {

std::wstring Wide(const std::string& path) { return FromUtf8(path); }

std::optional<FileId> IdOfHandle(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &info)) return std::nullopt;
    return FileId{info.dwVolumeSerialNumber,
                  (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

}  // namespace

std::wstring ErrorText(int error) {
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                            FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, static_cast<DWORD>(error), 0, reinterpret_cast<wchar_t*>(&text), 0,
                                        nullptr);
    std::wstring result = length ? std::wstring(text, length) : L"error " + std::to_wstring(error);
    if (text) LocalFree(text);
    while (!result.empty() && (result.back() == L'\n' || result.back() == L'\r' || result.back() == L'.'))
        result.pop_back();
    return result;
}

std::wstring FileError::Message() const {
    std::wstring text = FromUtf8(path) + L": ";
    if (!what.empty()) return text + what + L" (" + ErrorText(error) + L")";
    return text + ErrorText(error);
}

std::vector<std::uint8_t> ReadWholeFile(const std::string& utf8Path) {
    unique_hfile file(CreateFileW(Wide(utf8Path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) throw FileError{utf8Path, static_cast<int>(GetLastError()), {}};
    std::vector<std::uint8_t> bytes;
    std::uint8_t buffer[65536];
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr)) {
            if (GetLastError() == ERROR_BROKEN_PIPE) break;
            throw FileError{utf8Path, static_cast<int>(GetLastError()), L"could not be read"};
        }
        if (read == 0) break;
        bytes.insert(bytes.end(), buffer, buffer + read);
    }
    return bytes;
}

std::FILE* OpenScratchFile() {
    wchar_t folder[MAX_PATH + 1] = {};
    wchar_t path[MAX_PATH + 1] = {};
    if (GetTempPathW(MAX_PATH + 1, folder) == 0 || GetTempFileNameW(folder, L"ksc", 0, path) == 0) return nullptr;
    const HANDLE file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        DeleteFileW(path);
        return nullptr;
    }
    const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_RDWR | _O_BINARY);
    if (descriptor < 0) {
        CloseHandle(file);
        return nullptr;
    }
    std::FILE* stream = _fdopen(descriptor, "w+b");
    if (!stream) _close(descriptor);
    return stream;
}

std::optional<FileId> FileIdOf(const std::string& utf8Path) {
    unique_hfile file(CreateFileW(Wide(utf8Path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file) return std::nullopt;
    return IdOfHandle(file.get());
}

std::optional<FileId> StandardOutputFileId() { return IdOfHandle(GetStdHandle(STD_OUTPUT_HANDLE)); }

ReplacingFile::ReplacingFile(const std::string& utf8Path) : path_(utf8Path), target_(utf8Path) {
    const std::wstring wide = Wide(utf8Path);
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        throw FileError{utf8Path, ERROR_DIRECTORY, {}};
    // A device (NUL, CON, a pipe) is written in place.
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        unique_hfile probe(CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (probe && GetFileType(probe.get()) != FILE_TYPE_DISK) {
            handle_ = probe.release();
            inPlace_ = true;
            return;
        }
    } else if (GetLastError() != ERROR_FILE_NOT_FOUND && GetLastError() != ERROR_PATH_NOT_FOUND) {
        unique_hfile device(CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (device) {
            handle_ = device.release();
            inPlace_ = true;
            return;
        }
    }
    for (int attempt = 0; !handle_; ++attempt) {
        char suffix[64];
        std::snprintf(suffix, sizeof suffix, ".keyscour-new.%lu.%lu", GetCurrentProcessId(), GetTickCount() + attempt);
        temporary_ = target_ + suffix;
        HANDLE made = CreateFileW(Wide(temporary_).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (made != INVALID_HANDLE_VALUE) handle_ = made;
        else if (GetLastError() != ERROR_FILE_EXISTS || attempt == 20)
            throw FileError{utf8Path, static_cast<int>(GetLastError()), L"the new file cannot be made beside it"};
    }
}

ReplacingFile::~ReplacingFile() {
    Close();
    if (!committed_ && !temporary_.empty()) DeleteFileW(Wide(temporary_).c_str());
}

void ReplacingFile::Fail(int error) {
    if (error_ == 0) error_ = error;
}

void ReplacingFile::Close() {
    if (!handle_) return;
    if (!CloseHandle(handle_)) Fail(static_cast<int>(GetLastError()));
    handle_ = nullptr;
}

bool ReplacingFile::Write(std::span<const std::uint8_t> bytes) {
    std::size_t done = 0;
    while (error_ == 0 && done < bytes.size()) {
        DWORD written = 0;
        const DWORD size = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 20));
        if (!WriteFile(handle_, bytes.data() + done, size, &written, nullptr)) Fail(static_cast<int>(GetLastError()));
        else if (written == 0) Fail(ERROR_DISK_FULL);
        done += written;
    }
    return error_ == 0;
}

bool ReplacingFile::Commit() {
    if (committed_) return error_ == 0;
    if (!inPlace_ && error_ == 0 && !FlushFileBuffers(handle_)) Fail(static_cast<int>(GetLastError()));
    Close();
    if (error_ != 0) return false;
    if (!inPlace_ && !MoveFileExW(Wide(temporary_).c_str(), Wide(target_).c_str(),
                                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        Fail(static_cast<int>(GetLastError()));
        return false;
    }
    committed_ = true;
    return true;
}

}  // namespace keyscour
