#include "registry/hive/hive_lock.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "base/file_util.h"
#include "base/utf8.h"
#include "registry/hive/hive_error.h"

namespace keyscour {

namespace {

long PidIn(int descriptor) {
    char text[32] = {};
    const ssize_t read = ::pread(descriptor, text, sizeof text - 1, 0);
    return read > 0 ? std::strtol(text, nullptr, 10) : 0;
}

// New files of commits that never finished: FILE.keyscour-new.PID.*, of
// runs that are gone (one that lost its lock to a tidied-away lock file
// may still be at work on its own).
void RemoveStaleNewFiles(const std::string& hive) {
    const std::string folder = FolderOf(hive);
    const std::string prefix = hive.substr(hive.rfind('/') + 1) + ".keyscour-new.";
    DIR* directory = ::opendir(folder.c_str());
    if (!directory) return;
    while (const dirent* entry = ::readdir(directory)) {
        const std::string name = entry->d_name;
        if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) continue;
        const long pid = std::strtol(name.c_str() + prefix.size(), nullptr, 10);
        if (pid > 0 && pid != ::getpid() && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM)) continue;
        struct stat info {};
        const std::string path = folder + "/" + name;
        // Only files this tool made: regular, never a link planted there.
        if (::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode)) ::unlink(path.c_str());
    }
    ::closedir(directory);
}

// Whether the lock file at path is still the file descriptor holds: an
// admin may tidy it away, and another run then lock a new one.
bool SameFile(int descriptor, const std::string& path) {
    struct stat held {}, named {};
    return ::fstat(descriptor, &held) == 0 && ::lstat(path.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
           held.st_ino == named.st_ino;
}

}  // namespace

struct HiveLocks::Target {
    std::string given, file;
    FileId id;
};

std::string ResolvedHivePath(const std::string& path) {
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved)) return resolved;
    return path;
}

HiveLocks::HiveLocks(const std::vector<std::string>& hives, double waitSeconds) {
    std::vector<Target> targets;
    for (const auto& hive : hives) {
        Target target{hive, ResolvedHivePath(hive), FileIdOf(hive).value_or(FileId{})};
        targets.push_back(std::move(target));
    }
    std::sort(targets.begin(), targets.end(), [](const Target& a, const Target& b) {
        return a.id.volume != b.id.volume ? a.id.volume < b.id.volume : a.id.index < b.id.index;
    });
    try {
        Lock(targets, waitSeconds);
    } catch (...) {
        for (int descriptor : descriptors_) ::close(descriptor);
        throw;
    }
}

void HiveLocks::Lock(const std::vector<Target>& targets, double waitSeconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(waitSeconds);
    for (const auto& target : targets) {
        const std::string lockPath = target.file + ".keyscour-lock";
        for (;;) {
            // Never through a link: a symbolic one is refused by the open,
            // a hard one (another file under our name) by its link count.
            int descriptor = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
            if (descriptor < 0 && errno == EACCES)
                descriptor = ::open(lockPath.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
            if (descriptor < 0) {
                const int error = errno;
                throw HiveError{FromUtf8(lockPath) + L": the hive's lock file cannot be made (" + ErrorText(error) + L")"};
            }
            descriptors_.push_back(descriptor);
            struct stat info {};
            if (::fstat(descriptor, &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1)
                throw HiveError{FromUtf8(lockPath) + L": not a lock file of this tool's (a link, or no regular file); "
                                                     L"remove it if no keyscour-cli runs"};
            while (::flock(descriptor, LOCK_EX | LOCK_NB) != 0) {
                if (errno != EWOULDBLOCK && errno != EINTR) {
                    const int error = errno;
                    throw HiveError{FromUtf8(lockPath) + L": the hive cannot be locked (" + ErrorText(error) + L")"};
                }
                if (std::chrono::steady_clock::now() >= deadline) throw HiveBusy{target.given, PidIn(descriptor)};
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            // Locked: but the file at the name may have gone meanwhile, or
            // been replaced, and a lock on a file no name reaches guards nothing.
            if (SameFile(descriptor, lockPath)) break;
            ::close(descriptor);
            descriptors_.pop_back();
        }
        paths_.push_back(lockPath);
        KeepLeftovers(descriptors_.back());
        RemoveStaleNewFiles(target.file);
    }
    // The pid for a run that waits, the records until they are settled.
    std::string kept;
    for (const auto& line : leftovers_) kept += line + "\n";
    Record(kept);
}

void HiveLocks::KeepLeftovers(int descriptor) {
    struct stat info {};
    if (::fstat(descriptor, &info) != 0 || (info.st_uid != ::geteuid() && info.st_uid != 0)) return;
    std::string text(std::min<off_t>(info.st_size, 1 << 20), '\0');
    const ssize_t read = ::pread(descriptor, text.data(), text.size(), 0);
    text.resize(read > 0 ? static_cast<std::size_t>(read) : 0);
    // The first line is the pid of the run that wrote it.
    std::size_t start = text.find('\n');
    while (start != std::string::npos && start + 1 < text.size()) {
        const std::size_t end = text.find('\n', start + 1);
        if (end == std::string::npos) break;  // cut short: a kill mid-write
        const std::string line = text.substr(start + 1, end - start - 1);
        if (!line.empty() && std::find(leftovers_.begin(), leftovers_.end(), line) == leftovers_.end())
            leftovers_.push_back(line);
        start = end;
    }
}

void HiveLocks::Record(const std::string& lines) {
    const std::string text = std::to_string(::getpid()) + "\n" + lines;
    for (const int descriptor : descriptors_) {
        // Written over the old text, then cut: a file some other process
        // shares is never emptied first.
        if (::pwrite(descriptor, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) continue;
        [[maybe_unused]] const int cut = ::ftruncate(descriptor, static_cast<off_t>(text.size()));
        if (!lines.empty() || !leftovers_.empty()) ::fdatasync(descriptor);
    }
}

void HiveLocks::Verify() const {
    for (std::size_t i = 0; i < paths_.size(); ++i)
        if (!SameFile(descriptors_[i], paths_[i]))
            throw HiveError{FromUtf8(paths_[i]) + L": the hive's lock file was removed or replaced while this run held "
                                                  L"it, so another run may be changing the hive: nothing was committed"};
}

HiveLocks::~HiveLocks() {
    // Closing drops the lock; the file stays, since another run may be
    // waiting on it: removing it would let a third lock a new one.
    for (int descriptor : descriptors_) ::close(descriptor);
}

}  // namespace keyscour
