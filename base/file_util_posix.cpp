#include "base/file_util.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <random>

#include "base/utf8.h"

namespace keyscour {

namespace {

// The file a link names, followed to its end; the path itself otherwise
// (and for a name that is not there yet).
std::string LinkTarget(const std::string& path) {
    std::string at = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat info {};
        if (::lstat(at.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return at;
        std::string target(PATH_MAX, '\0');
        const ssize_t length = ::readlink(at.c_str(), target.data(), target.size());
        if (length <= 0) return at;
        target.resize(static_cast<std::size_t>(length));
        at = target.front() == '/' ? target : FolderOf(at) + "/" + target;
    }
    return at;
}

}  // namespace

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

void SyncFolderOf(const std::string& path) {
    if (const int folder = ::open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); folder >= 0) {
        ::fsync(folder);
        ::close(folder);
    }
}

int CreateUniqueFile(const std::string& path, const char* tag, std::string& made) {
    static std::mt19937_64 random{std::random_device{}() ^ static_cast<std::uint64_t>(::getpid())};
    for (int attempt = 0;; ++attempt) {
        char suffix[64];
        std::snprintf(suffix, sizeof suffix, ".%d.%016llx", static_cast<int>(::getpid()),
                      static_cast<unsigned long long>(random()));
        made = path + tag + suffix;
        const int descriptor = ::open(made.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (descriptor >= 0 || errno != EEXIST || attempt == 20) return descriptor;
    }
}

int CopyFileContents(int from, int to) {
    if (::ftruncate(to, 0) != 0) return errno;
    std::vector<char> buffer;
    for (off_t at = 0;;) {
        const ssize_t copied = ::copy_file_range(from, &at, to, nullptr, std::size_t{1} << 30, 0);
        if (copied > 0) continue;
        if (copied == 0) return 0;
        if (errno == EINTR) continue;
        if (errno != EXDEV && errno != ENOSYS && errno != EOPNOTSUPP && errno != EINVAL) return errno;
        // Not between these two files (a memfd, another file system): the
        // kernel's copy, then a buffer, from where it stopped.
        if (::lseek(to, at, SEEK_SET) == at) {
            ssize_t sent = 0;
            while ((sent = ::sendfile(to, from, &at, std::size_t{1} << 30)) > 0) {
            }
            if (sent == 0) return 0;
            if (errno != EINVAL && errno != ENOSYS && errno != EINTR) return errno;
        }
        buffer.resize(std::size_t{1} << 20);
        for (;;) {
            const ssize_t got = ::pread(from, buffer.data(), buffer.size(), at);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) return errno;
            if (got == 0) return 0;
            for (ssize_t done = 0; done < got;) {
                const ssize_t put = ::pwrite(to, buffer.data() + done, static_cast<std::size_t>(got - done), at + done);
                if (put < 0 && errno == EINTR) continue;
                if (put <= 0) return put < 0 ? errno : EIO;
                done += put;
            }
            at += got;
        }
    }
}

std::wstring ErrorText(int error) { return FromUtf8(std::strerror(error)); }

std::wstring FileError::Message() const {
    std::wstring text = FromUtf8(path) + L": ";
    if (!what.empty()) return text + what + L" (" + ErrorText(error) + L")";
    return text + ErrorText(error);
}

std::vector<std::uint8_t> ReadWholeFile(const std::string& utf8Path) {
    const int file = ::open(utf8Path.c_str(), O_RDONLY | O_CLOEXEC);
    if (file < 0) throw FileError{utf8Path, errno, {}};
    std::vector<std::uint8_t> bytes;
    struct stat info {};
    if (::fstat(file, &info) == 0 && S_ISREG(info.st_mode)) bytes.reserve(static_cast<std::size_t>(info.st_size));
    std::uint8_t buffer[65536];
    for (;;) {
        const ssize_t read = ::read(file, buffer, sizeof buffer);
        if (read > 0) {
            bytes.insert(bytes.end(), buffer, buffer + read);
        } else if (read == 0) {
            break;
        } else if (errno != EINTR) {
            const int error = errno;
            ::close(file);
            throw FileError{utf8Path, error, L"could not be read"};
        }
    }
    ::close(file);
    return bytes;
}

std::FILE* OpenScratchFile() {
    const char* variable = std::getenv("TMPDIR");
    const std::string folder = variable && *variable == '/' ? variable : "/tmp";
    int descriptor = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (descriptor < 0) {
        // A file system without O_TMPFILE: a name of its own, gone at once.
        std::string made;
        descriptor = CreateUniqueFile(folder + "/", ".keyscour-scratch", made);
        if (descriptor >= 0) ::unlink(made.c_str());
    }
    if (descriptor < 0) return nullptr;
    std::FILE* file = ::fdopen(descriptor, "w+b");
    if (!file) ::close(descriptor);
    return file;
}

std::optional<FileId> FileIdOf(const std::string& utf8Path) {
    struct stat info {};
    if (::stat(utf8Path.c_str(), &info) != 0) return std::nullopt;
    return FileId{static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
}

std::optional<FileId> StandardOutputFileId() {
    struct stat info {};
    if (::fstat(STDOUT_FILENO, &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    return FileId{static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
}

ReplacingFile::ReplacingFile(const std::string& utf8Path) : path_(utf8Path) {
    target_ = LinkTarget(utf8Path);
    struct stat old {};
    const bool exists = ::stat(target_.c_str(), &old) == 0;
    if (exists && !S_ISREG(old.st_mode)) {
        if (S_ISDIR(old.st_mode)) throw FileError{utf8Path, EISDIR, {}};
        inPlace_ = true;
        descriptor_ = ::open(target_.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
        if (descriptor_ < 0) throw FileError{utf8Path, errno, {}};
        return;
    }
    // The old file's mode; a new one gets what the umask leaves of 0666.
    const mode_t mode = exists ? (old.st_mode & 07777) : 0666;
    descriptor_ = CreateUniqueFile(target_, ".keyscour-new", temporary_);
    if (descriptor_ < 0) throw FileError{utf8Path, errno, L"the new file cannot be made beside it"};
    if (exists) {
        // Best effort: an owner only root may give back, a mount that keeps none.
        [[maybe_unused]] const int owned = ::fchown(descriptor_, old.st_uid, old.st_gid);
        ::fchmod(descriptor_, mode);
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        ::fchmod(descriptor_, mode & ~mask);
    }
}

ReplacingFile::~ReplacingFile() {
    Close();
    if (!committed_ && !temporary_.empty()) ::unlink(temporary_.c_str());
}

void ReplacingFile::Fail(int error) {
    if (error_ == 0) error_ = error;
}

void ReplacingFile::Close() {
    if (descriptor_ < 0) return;
    if (::close(descriptor_) != 0 && errno != EINTR) Fail(errno);
    descriptor_ = -1;
}

bool ReplacingFile::Write(std::span<const std::uint8_t> bytes) {
    std::size_t done = 0;
    while (error_ == 0 && done < bytes.size()) {
        const ssize_t written = ::write(descriptor_, bytes.data() + done, bytes.size() - done);
        if (written > 0) done += static_cast<std::size_t>(written);
        else if (written < 0 && errno == EINTR) continue;
        else Fail(written < 0 ? errno : ENOSPC);
    }
    return error_ == 0;
}

bool ReplacingFile::Commit() {
    if (committed_) return error_ == 0;
    if (!inPlace_ && error_ == 0 && ::fsync(descriptor_) != 0) Fail(errno);
    Close();
    if (error_ != 0) return false;
    if (!inPlace_) {
        if (::rename(temporary_.c_str(), target_.c_str()) != 0) {
            Fail(errno);
            return false;
        }
        SyncFolderOf(target_);
    }
    committed_ = true;
    return true;
}

}  // namespace keyscour
