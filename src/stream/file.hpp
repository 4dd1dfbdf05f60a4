#pragma once

#include <utility>
#include <variant>

namespace vorn {

// Move-only owner of an open file descriptor. The descriptor is closed when
// the owner dies; the result of close() is ignored because nothing can be done
// about it for a file that was only read.
class FileDescriptor {
 public:
  FileDescriptor() noexcept = default;
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  FileDescriptor(FileDescriptor&& other) noexcept
      : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
      close();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  ~FileDescriptor() { close(); }

  int get() const noexcept { return fd_; }
  bool is_open() const noexcept { return fd_ >= 0; }
  void close() noexcept;

 private:
  int fd_ = -1;  // -1 when nothing is owned
};

// Opens `path` read-only and close-on-exec, retrying when a signal interrupts
// the call. On failure the alternative holds errno.
std::variant<FileDescriptor, int> open_read_only(const char* path);

}  // namespace vorn
