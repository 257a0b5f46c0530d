#pragma once
// Files as the tools read and write them: a whole-file read, a file's
// identity (so that an output never overwrites an input under another
// name), and a write that replaces a file only once it is complete.

#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace keyscour {

// A failed file operation: the path and the platform's error number
// (errno natively, GetLastError on Windows).
struct FileError {
    std::string path;  // UTF-8
    int error = 0;
    std::wstring what;  // what was being done, for the message
    // "PATH: what (reason)", or "PATH: reason" without a what.
    std::wstring Message() const;
};

// The text of an error number of the platform.
std::wstring ErrorText(int error);

// The whole of a file. Throws FileError.
std::vector<std::uint8_t> ReadWholeFile(const std::string& utf8Path);

#ifndef _WIN32
// The folder a path lies in: "." for a bare name, "/" for one at the top.
std::string FolderOf(const std::string& path);
// Flushes the folder a path lies in, so that a rename or link there lasts.
void SyncFolderOf(const std::string& path);
// A new file named path, then tag, then the pid and a random part no other
// run picks; made with O_CREAT | O_EXCL | O_NOFOLLOW, so that no planted
// link is followed, mode 0600, opened O_RDWR. Returns its descriptor and
// puts its name in made, or -1 with errno set.
int CreateUniqueFile(const std::string& path, const char* tag, std::string& made);
// Every byte of from into to, both from their starts, to emptied first.
// Returns 0 or the errno of what failed.
int CopyFileContents(int from, int to);
#endif

// An anonymous temporary file, gone when closed, for reading and writing:
// in $TMPDIR (or /tmp) natively, in the user's temporary folder on
// Windows. nullptr when none can be made.
std::FILE* OpenScratchFile();

// What tells two names of one file apart from two files: device and inode
// natively, volume serial and file index on Windows. Links are followed.
struct FileId {
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
    friend bool operator==(const FileId&, const FileId&) = default;
};
// Nothing when the file is not there (or cannot be looked at).
std::optional<FileId> FileIdOf(const std::string& utf8Path);
// Standard output's file, when it is one a name could also reach.
std::optional<FileId> StandardOutputFileId();

// A write to a file that leaves the old one whole until the new one is.
// A regular file, or a name not there yet, is written as a new file beside
// it (beside a link's target, so that the link stays a link), made with a
// unique name that no link can stand in for, given the old file's mode,
// and renamed over it by Commit. A device, FIFO or terminal is written in
// place, since renaming over one would replace it.
class ReplacingFile {
public:
    // Throws FileError when the file cannot be made.
    explicit ReplacingFile(const std::string& utf8Path);
    // Without a Commit, the new file is removed and the old one kept.
    ~ReplacingFile();
    ReplacingFile(const ReplacingFile&) = delete;
    ReplacingFile& operator=(const ReplacingFile&) = delete;

    // False on a failure, which Error() then keeps; later writes do nothing.
    bool Write(std::span<const std::uint8_t> bytes);
    // Flushes, closes and renames into place. False on a failure (Error()
    // says which); the old file is then as it was.
    bool Commit();
    // The first failure: 0 when none.
    int Error() const { return error_; }
    // The path as given, for messages.
    const std::string& Path() const { return path_; }
    bool InPlace() const { return inPlace_; }

private:
    void Fail(int error);
    void Close();

    std::string path_;    // as given
    std::string target_;  // the file renamed over: the link's target for a link
    std::string temporary_;
#ifdef _WIN32
    void* handle_ = nullptr;
#else
    int descriptor_ = -1;
#endif
    bool inPlace_ = false;
    bool committed_ = false;
    int error_ = 0;
};

}  // namespace keyscour
