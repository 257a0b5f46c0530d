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

    // What a run leaves until its commit is settled (its undo file's
    // temporary name, the copies it made, the new files' identities),
    // written into every lock file after the pid and flushed, so that the
    // next run under a lock finds it if this one is killed. Lines of text,
    // each ending in a newline; empty once settled.
    void Record(const std::string& lines);
    // What the runs before left recorded in the lock files, each line
    // once: kept in the files until a Record replaces it. Only from lock
    // files of this user's or root's, since a record names files to remove.
    const std::vector<std::string>& Leftovers() const { return leftovers_; }

private:
    struct Target;
    void Lock(const std::vector<Target>& targets, double waitSeconds);
    void KeepLeftovers(int descriptor);
    std::vector<int> descriptors_;
    std::vector<std::string> paths_;  // the lock files, as descriptors_ hold them
    std::vector<std::string> leftovers_;
};

// The file a path names, links followed; the path itself when it cannot be
// resolved.
std::string ResolvedHivePath(const std::string& path);

}  // namespace keyscour
