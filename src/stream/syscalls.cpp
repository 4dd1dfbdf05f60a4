#include "syscalls.hpp"

#include <fcntl.h>
#include <unistd.h>

namespace vorn::detail {
namespace {

int open_plain(const char* path, int flags) {
  return ::open(path, flags);
}

}  // namespace

Syscalls default_syscalls() noexcept {
  return {&open_plain, &::read, &::lseek, &::fstat, &::close};
}

Syscalls& syscalls() noexcept {
  static Syscalls table = default_syscalls();
  return table;
}

}  // namespace vorn::detail
