#pragma once
// The lock a replace or an undo holds on a hive for its whole read, change
// and commit: flock on FILE.keyscour-lock beside it. Not on the hive
// itself, whose file the commit's rename replaces, and not fcntl, whose
// locks any close of the file drops (hivex and the log check close it).

#include <string>
#include <vector>

namespace keyscour {

// Another run holds the lock past the wait.
struct HiveBusy {
    std::string hive;  // as given
    long pid = 0;      // the holder's, as its lock file says; 0 when unknown
};

class HiveLocks {
public:
    // Locks every hive (paths as given; links are followed to the file)
    // in the order of their device and inode, so that two runs that wait
    // on each other's hives cannot deadlock, each waiting up to
    // waitSeconds. Throws HiveBusy, or HiveError when a lock file cannot
    // be made. Under the lock, the new files killed runs left are removed.
    HiveLocks(const std::vector<std::string>& hives, double waitSeconds);
    ~HiveLocks();
    HiveLocks(const HiveLocks&) = delete;
    HiveLocks& operator=(const HiveLocks&) = delete;

    // HiveError when a lock file is no longer the one locked (removed or
    // replaced by someone tidying up): asked just before a commit's rename.
    void Verify() const;

private:
    struct Target;
    void Lock(const std::vector<Target>& targets, double waitSeconds);
    std::vector<int> descriptors_;
    std::vector<std::string> paths_;  // the lock files, as descriptors_ hold them
};

// The file a path names, links followed; the path itself when it cannot be
// resolved.
std::string ResolvedHivePath(const std::string& path);

}  // namespace keyscour
