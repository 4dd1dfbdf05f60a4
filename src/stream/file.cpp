#include "file.hpp"

#include <fcntl.h>

#include <cerrno>

#include "syscalls.hpp"

namespace vorn {

void FileDescriptor::close() noexcept {
  if (fd_ >= 0) {
    // Retrying close on EINTR could close a descriptor another thread has
    // just been handed, so it is called exactly once.
    detail::syscalls().close(std::exchange(fd_, -1));
  }
}

std::variant<FileDescriptor, int> open_read_only(const char* path) {
  for (;;) {
    int fd = detail::syscalls().open(path, O_RDONLY | O_CLOEXEC);
    if (fd >= 0) return FileDescriptor(fd);
    if (errno != EINTR) return errno;
  }
}

}  // namespace vorn
