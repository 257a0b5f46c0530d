#pragma once
// The POSIX descriptor and directory stream in the one owner of handles.

#include <dirent.h>
#include <unistd.h>

#include "base/unique_handle.h"

namespace keyscour {

struct FileDescriptorTraits {
    using pointer = int;
    static pointer invalid() noexcept { return -1; }
    static void close(pointer descriptor) noexcept { ::close(descriptor); }
};
using unique_fd = unique_handle<FileDescriptorTraits>;

struct DirectoryStreamTraits {
    using pointer = DIR*;
    static pointer invalid() noexcept { return nullptr; }
    static void close(pointer stream) noexcept { ::closedir(stream); }
};
using unique_dir = unique_handle<DirectoryStreamTraits>;

}  // namespace keyscour
