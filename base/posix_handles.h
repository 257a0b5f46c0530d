#pragma once
// The POSIX descriptor in the one owner of handles.

#include <unistd.h>

#include "base/unique_handle.h"

namespace keyscour {

struct FileDescriptorTraits {
    using pointer = int;
    static pointer invalid() noexcept { return -1; }
    static void close(pointer descriptor) noexcept { ::close(descriptor); }
};
using unique_fd = unique_handle<FileDescriptorTraits>;

}  // namespace keyscour
