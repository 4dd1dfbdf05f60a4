#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>

namespace vorn::detail {

// Every system call the stream and the file opener make goes through this
// table, so tests can inject EINTR, short reads and failures without touching
// the real file system.
struct Syscalls {
  int (*open)(const char* path, int flags);
  ssize_t (*read)(int fd, void* buf, std::size_t count);
  off_t (*lseek)(int fd, off_t offset, int whence);
  int (*fstat)(int fd, struct stat* st);
  int (*close)(int fd);
};

Syscalls& syscalls() noexcept;

// The table as the process starts: straight to the C library.
Syscalls default_syscalls() noexcept;

}  // namespace vorn::detail
