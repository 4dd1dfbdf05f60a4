#pragma once

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <ostream>
#include <variant>
#include <vector>

#include "stream/event_stream.hpp"
#include "stream/syscalls.hpp"

namespace vorn {

inline std::ostream& operator<<(std::ostream& os, ReadError::Kind kind) {
  constexpr const char* kNames[] = {"end of data", "os error", "invalid data",
                                    "no memory"};
  return os << kNames[static_cast<int>(kind)];
}

}  // namespace vorn

namespace vorn::testing {

using Bytes = std::vector<std::byte>;

// Anonymous in-memory file the stream reads through its real system calls.
// The stream owns the descriptor once handed over, so the test keeps a
// duplicate to grow the file; pwrite leaves the shared offset alone.
class MemFile {
 public:
  explicit MemFile(const Bytes& content = {})
      : fd_(memfd_create("vorn-test", 0)) {
    EXPECT_GE(fd_, 0) << std::strerror(errno);
    append(content);
  }
  MemFile(const MemFile&) = delete;
  MemFile& operator=(const MemFile&) = delete;
  ~MemFile() { ::close(fd_); }

  void append(const Bytes& more) {
    struct stat st {};
    ASSERT_EQ(::fstat(fd_, &st), 0);
    ASSERT_EQ(::pwrite(fd_, more.data(), more.size(), st.st_size),
              static_cast<ssize_t>(more.size()));
  }

  EventStream stream() const { return EventStream(FileDescriptor(::dup(fd_))); }

 private:
  int fd_;
};

inline void put_u32(Bytes& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(std::byte(v >> (8 * i)));
}
inline void put_u64(Bytes& out, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(std::byte(v >> (8 * i)));
}

// Bytes that differ at every offset within one period, so a misplaced chunk
// shows up as a mismatch.
inline Bytes pattern(std::size_t n) {
  Bytes out(n);
  for (std::size_t i = 0; i < n; ++i)
    out[i] = std::byte((i * 7 + i / 251) % 251);
  return out;
}

// Routes the stream's system calls through the hooks below for the lifetime
// of the object, recording every read and counting seeks and stats. Unset
// hooks fall through to the real calls.
class FakeSyscalls {
 public:
  struct ReadCall {
    void* buf;
    std::size_t count;
  };

  std::function<ssize_t(int, void*, std::size_t)> read;
  std::function<off_t(int, off_t, int)> lseek;
  std::vector<ReadCall> reads;
  int lseeks = 0;
  int fstats = 0;

  FakeSyscalls() {
    current() = this;
    auto& table = detail::syscalls();
    table.read = &forward_read;
    table.lseek = &forward_lseek;
    table.fstat = &forward_fstat;
  }
  FakeSyscalls(const FakeSyscalls&) = delete;
  FakeSyscalls& operator=(const FakeSyscalls&) = delete;
  ~FakeSyscalls() {
    detail::syscalls() = detail::default_syscalls();
    current() = nullptr;
  }

  // A read() that fails with `err` without touching the file.
  static ssize_t fail(int err) {
    errno = err;
    return -1;
  }

 private:
  static FakeSyscalls*& current() {
    static FakeSyscalls* self = nullptr;
    return self;
  }
  static ssize_t forward_read(int fd, void* buf, std::size_t count) {
    FakeSyscalls& self = *current();
    self.reads.push_back({buf, count});
    return self.read ? self.read(fd, buf, count) : ::read(fd, buf, count);
  }
  static off_t forward_lseek(int fd, off_t offset, int whence) {
    FakeSyscalls& self = *current();
    ++self.lseeks;
    return self.lseek ? self.lseek(fd, offset, whence)
                      : ::lseek(fd, offset, whence);
  }
  static int forward_fstat(int fd, struct stat* st) {
    ++current()->fstats;
    return ::fstat(fd, st);
  }
};

// Failures name the caller's line and show the whole error.
inline ::testing::AssertionResult fails_with(
    const std::optional<ReadError>& err, ReadError::Kind kind, int code = 0) {
  if (!err) return ::testing::AssertionFailure() << "succeeded";
  if (err->kind == kind && err->code == code) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure()
         << "got " << err->kind << " (code " << err->code << ", \""
         << err->message << "\"), expected " << kind << " (code " << code
         << ")";
}

template <class T>
::testing::AssertionResult fails_with(const std::variant<T, ReadError>& outcome,
                                      ReadError::Kind kind, int code = 0) {
  const auto* err = std::get_if<ReadError>(&outcome);
  if (!err) return ::testing::AssertionFailure() << "succeeded";
  return fails_with(std::optional<ReadError>(*err), kind, code);
}

}  // namespace vorn::testing
