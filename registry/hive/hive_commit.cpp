// The commit of a hive: a new file beside it that takes the old one's
// place only once it is whole, on the disk, and the old one's in every
// attribute that stat and the extended attributes show.

#include <fcntl.h>
#include <hivex.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "base/file_util.h"
#include "base/utf8.h"
#include "registry/hive/hive_registry.h"

namespace keyscour {

namespace {

// Immutable or append-only: either stops the rename, which is known only
// at its end otherwise.
std::wstring LockedFlags(const std::string& path, bool folder) {
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | (folder ? O_DIRECTORY : 0));
    if (descriptor < 0) return {};
    int flags = 0;
    const bool known = ::ioctl(descriptor, FS_IOC_GETFLAGS, &flags) == 0;
    ::close(descriptor);
    if (!known) return {};
    if (flags & FS_IMMUTABLE_FL) return L"immutable (chattr +i)";
    if (flags & FS_APPEND_FL) return L"append-only (chattr +a)";
    return {};
}

bool Unsupported(int error) { return error == ENOTSUP || error == EOPNOTSUPP; }

// Every extended attribute of from (ACLs, ntfs-3g's system.ntfs_acl, ...)
// onto to. Returns 0, or the errno of the first that could not be given.
int CopyExtendedAttributes(int from, int to, std::wstring& which) {
    ssize_t size = ::flistxattr(from, nullptr, 0);
    if (size < 0) return Unsupported(errno) ? 0 : errno;
    std::vector<char> names(static_cast<std::size_t>(size) + 1);
    size = ::flistxattr(from, names.data(), names.size());
    if (size < 0) return Unsupported(errno) ? 0 : errno;
    for (std::size_t at = 0; at < static_cast<std::size_t>(size);) {
        const char* name = names.data() + at;
        at += std::strlen(name) + 1;
        ssize_t length = ::fgetxattr(from, name, nullptr, 0);
        if (length < 0) continue;  // gone, or not readable: nothing to keep
        std::vector<char> value(static_cast<std::size_t>(length));
        length = ::fgetxattr(from, name, value.data(), value.size());
        if (length < 0) continue;
        if (::fsetxattr(to, name, value.data(), static_cast<std::size_t>(length), 0) != 0) {
            which = FromUtf8(name);
            return errno;
        }
    }
    return 0;
}

// The hive's bytes, all of them, into the new file: a replace changes
// values only, and those are then written into the copy's cells. Returns
// 0 or the errno of what failed.
int CopyHive(const std::string& from, int to) {
    const int source = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (source < 0) return errno;
    const int error = CopyFileContents(source, to);
    ::close(source);
    return error;
}

}  // namespace

void HiveRegistry::Reopen() {
    // The committed file, read afresh: the changes now stand in it. The
    // old map goes first, since hivex reads every page of what it opens.
    hivex_close(hive_);
    hivexWritable_ = false;
    errno = 0;
    hive_ = hivex_open(file_.c_str(), 0);
    root_ = hive_ ? hivex_root(hive_) : 0;  // none: every handle is refused from now on
    readFrom_.clear();
    if (sourceFile_ >= 0) ::close(sourceFile_);
    sourceFile_ = -1;
    edited_.clear();
    addedUnder_.clear();
    renamedKeys_.clear();
    newKeyNames_.clear();
    changed_ = keysChanged_ = false;
    ForgetAll();
    if (!hive_) {
        handles_.clear();
        freeSlots_.clear();
    }
}

void HiveRegistry::PrepareCommit() {
    auto refuse = [&](const std::wstring& why) { throw HiveError{FromUtf8(path_) + L": " + why}; };
    if (!writable_) refuse(L"the hive is open for reading only");
    struct stat hive {};
    if (::stat(file_.c_str(), &hive) != 0) refuse(L"the hive cannot be looked at (" + ErrorText(errno) + L")");
    // A rename would split the links: the others would keep the old hive.
    if (hive.st_nlink > 1)
        refuse(L"the hive has " + std::to_wstring(hive.st_nlink) +
               L" hard links, and a commit would leave the others as they were; copy it, or give the only name");
    if (::geteuid() == 0 && (hive.st_mode & 0222) == 0)
        refuse(L"the hive is read-only (mode " + std::to_wstring((hive.st_mode >> 6) & 7) +
               std::to_wstring((hive.st_mode >> 3) & 7) + std::to_wstring(hive.st_mode & 7) +
               L"): its owner marked it so; chmod u+w it first if it is to be changed");
    if (::geteuid() != 0 && hive.st_uid != ::geteuid())
        refuse(L"the hive belongs to another user, and a commit could not give it back to them; run as its owner or as root");
    if (const auto flags = LockedFlags(file_, false); !flags.empty()) refuse(L"the hive is " + flags);
    if (::faccessat(AT_FDCWD, file_.c_str(), W_OK, AT_EACCESS) != 0)
        refuse(L"the hive may not be written by this user (" + ErrorText(errno) + L")");
    const std::string folder = FolderOf(file_);
    if (const auto flags = LockedFlags(folder, true); !flags.empty())
        refuse(L"its folder " + FromUtf8(folder) + L" is " + flags);
    if (::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0)
        refuse(L"the new hive cannot be made in its folder (" + ErrorText(errno) + L")");

    DropNewFile();
    newFile_ = CreateUniqueFile(file_, ".keyscour-new", newPath_);
    if (newFile_ < 0) {
        const int error = errno;
        newPath_.clear();
        refuse(L"the new hive cannot be made beside it (" + ErrorText(error) + L")");
    }
    // The group too must be one the caller can give.
    if (::fchown(newFile_, hive.st_uid, hive.st_gid) != 0 && !Unsupported(errno) && errno != EPERM) {
        const int error = errno;
        DropNewFile();
        refuse(L"the new hive could not be given the old one's owner (" + ErrorText(error) + L")");
    }
    struct stat made {};
    if (::fstat(newFile_, &made) == 0 && (made.st_uid != hive.st_uid || made.st_gid != hive.st_gid)) {
        DropNewFile();
        refuse(L"the new hive could not be given the old one's owner and group; run as root or as its owner, "
               L"in its group");
    }
}

void HiveRegistry::DropNewFile() {
    if (newFile_ >= 0) ::close(newFile_);
    newFile_ = -1;
    if (!newPath_.empty()) ::unlink(newPath_.c_str());
    newPath_.clear();
}

bool HiveRegistry::Commit(const std::function<bool()>& stop) {
    if (!changed_) return false;
    if (newFile_ < 0) PrepareCommit();
    auto fail = [&](const std::wstring& what, int error) {
        DropNewFile();
        throw HiveError{FromUtf8(path_) + L": " + what + L" (" + ErrorText(error) + L"); the hive is as it was"};
    };
    if (keysChanged_) {
        // hivex opens the name it is given with O_TRUNC: this run's own
        // file, reached through its descriptor, never a name a link could take.
        const std::string through = "/proc/self/fd/" + std::to_string(newFile_);
        errno = 0;
        if (commit_(hive_, through.c_str()) != 0) fail(L"the changes could not be written", errno ? errno : EIO);
    } else if (const int copied = CopyHive(Source(), newFile_)) {
        fail(L"the hive could not be copied to its new file", copied);
    }
    try {
        // Then the values, into the new file's own cells.
        WriteEditedValues(!keysChanged_);
    } catch (const HiveError&) {
        DropNewFile();
        throw;
    }

    struct stat hive {};
    const int old = ::open(file_.c_str(), O_RDONLY | O_CLOEXEC);
    if (old < 0 || ::fstat(old, &hive) != 0) {
        const int error = errno;
        if (old >= 0) ::close(old);
        fail(L"the hive could not be looked at again", error);
    }
    std::wstring attribute;
    const int copied = CopyExtendedAttributes(old, newFile_, attribute);
    ::close(old);
    if (copied != 0) fail(L"the new hive could not be given the extended attribute " + attribute, copied);
    // A mount that makes modes and owners up refuses to change them; what
    // counts is that stat shows the same as before.
    [[maybe_unused]] const int owned = ::fchown(newFile_, hive.st_uid, hive.st_gid);
    [[maybe_unused]] const int moded = ::fchmod(newFile_, hive.st_mode & 07777);
    struct stat made {};
    if (::fstat(newFile_, &made) != 0) fail(L"the new hive could not be looked at", errno);
    if ((made.st_mode & 07777) != (hive.st_mode & 07777) || made.st_uid != hive.st_uid || made.st_gid != hive.st_gid)
        fail(L"the new hive could not be given the old one's mode and owner", EPERM);
    // On the disk before it takes the old hive's place, and the rename with it.
    if (::fsync(newFile_) != 0) fail(L"the new hive could not be flushed", errno);
    if (stop && stop()) {
        DropNewFile();
        return false;
    }
    if (::rename(newPath_.c_str(), file_.c_str()) != 0) fail(L"the new hive could not replace the old", errno);
    ::close(newFile_);
    newFile_ = -1;
    newPath_.clear();
    SyncFolderOf(file_);
    Reopen();
    return true;
}

}  // namespace keyscour
