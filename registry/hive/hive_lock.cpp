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
        const int descriptor = descriptors_.back();
        const std::string pid = std::to_string(::getpid()) + "\n";
        if (::ftruncate(descriptor, 0) == 0) {
            [[maybe_unused]] const ssize_t written = ::pwrite(descriptor, pid.data(), pid.size(), 0);
        }
        RemoveStaleNewFiles(target.file);
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
