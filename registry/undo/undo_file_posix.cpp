#include "registry/undo/undo_file.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <filesystem>

#include "base/file_util.h"
#include "base/numbered_error.h"
#include "base/utf16.h"
#include "base/utf8.h"

namespace keyscour::undo_file {

namespace {

[[noreturn]] void Fail(int error, const std::string& path) {
    throw NumberedError(kErrorNotWritten + error,
                        L"Could not write the undo file " + FromUtf8(path) + L"; nothing was replaced");
}

std::string NameNow(int attempt) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char name[64];
    std::strftime(name, sizeof name, "%Y-%m-%d %H.%M.%S", &local);
    std::string result = name;
    if (attempt > 1) result += " (" + std::to_string(attempt) + ")";
    return result + ".reg";
}

}  // namespace

std::wstring DefaultFolder() {
    const char* state = std::getenv("XDG_STATE_HOME");
    std::string base;
    if (state && *state == '/') {
        base = state;
    } else {
        const char* home = std::getenv("HOME");
        base = std::string(home && *home ? home : ".") + "/.local/state";
    }
    return FromUtf8(base + "/quillon-keyscour/undo");
}

std::wstring WriteTemporary(const std::wstring& folder, const ScriptPieces& script,
                            const std::function<void(const std::wstring& temporary)>& made) {
    const std::string directory = ToUtf8(folder);
    std::error_code madeFolder;
    std::filesystem::create_directories(directory, madeFolder);
    if (madeFolder) Fail(madeFolder.value(), directory);

    // Written whole under a name of its own first: a kill or a full disk
    // never leaves a file under an undo file's name that is cut short.
    std::string partial;
    const int file = CreateUniqueFile(directory + "/", ToUtf8(std::wstring(kTemporaryPrefix)).c_str(), partial);
    if (file < 0) Fail(errno, directory);
    int error = 0;
    const auto put = [&](const std::vector<std::uint8_t>& bytes) {
        for (std::size_t done = 0; done < bytes.size() && error == 0;) {
            const ssize_t written = ::write(file, bytes.data() + done, bytes.size() - done);
            if (written > 0) done += static_cast<std::size_t>(written);
            else if (written < 0 && errno == EINTR) continue;
            else error = written < 0 ? errno : ENOSPC;
        }
    };
    try {
        if (made) made(FromUtf8(partial));
        put({0xFF, 0xFE});
        ClosingMeasure measure;
        script([&](std::wstring_view piece) { put(measure.Add(piece)); });
        put(EncodeUtf16Le(measure.Line()));
    } catch (...) {
        ::close(file);
        ::unlink(partial.c_str());
        throw;
    }
    if (error == 0 && ::fsync(file) != 0) error = errno;
    if (::close(file) != 0 && error == 0) error = errno;
    if (error != 0) {
        ::unlink(partial.c_str());  // half an undo file would mislead
        Fail(error, partial);
    }
    SyncFolderOf(partial);
    return FromUtf8(partial);
}

std::wstring Publish(const std::wstring& temporary) {
    const std::string partial = ToUtf8(temporary);
    const std::string directory = FolderOf(partial);
    // link() gives the name only where none is: two replaces in one second
    // never overwrite each other's file.
    std::string path;
    for (int attempt = 1;; ++attempt) {
        path = directory + "/" + NameNow(attempt);
        if (::link(partial.c_str(), path.c_str()) == 0) break;
        // A file system without hard links: a rename that never replaces.
        if (errno != EEXIST && ::renameat2(AT_FDCWD, partial.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0)
            break;
        if (errno != EEXIST || attempt == 100)
            throw NumberedError(kErrorNotWritten + errno, L"the undo file " + temporary + L" could not be named " +
                                                              FromUtf8(path) + L" (" + ErrorText(errno) + L")");
    }
    ::unlink(partial.c_str());
    SyncFolderOf(path);
    return FromUtf8(path);
}

void Discard(const std::wstring& temporary) { ::unlink(ToUtf8(temporary).c_str()); }

}  // namespace keyscour::undo_file
