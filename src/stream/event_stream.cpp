#include "event_stream.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>

#include "syscalls.hpp"

namespace vorn {

EventStream::EventStream(FileDescriptor fd)
    : file_(std::move(fd)),
      buffer_(std::make_unique_for_overwrite<std::byte[]>(kBufferSize)) {}

std::optional<ReadError> EventStream::raw_read(std::byte* dest, std::size_t n,
                                               std::size_t& got) {
  for (;;) {
    ssize_t r = detail::syscalls().read(file_.get(), dest, n);
    if (r >= 0) {
      // A misbehaving file system could claim more than was asked for.
      got = std::min(static_cast<std::size_t>(r), n);
      file_pos_ += got;
      return std::nullopt;
    }
    if (errno != EINTR) return ReadError::os(errno);
  }
}

std::optional<ReadError> EventStream::read_into_slow(std::byte* dest,
                                                     std::size_t n,
                                                     std::size_t& got) {
  std::size_t from_buffer = std::min(n - got, end_ - pos_);
  if (from_buffer != 0) {
    std::memcpy(dest + got, buffer_.get() + pos_, from_buffer);
    pos_ += from_buffer;
    got += from_buffer;
  }
  while (got != n) {
    const std::size_t want = n - got;
    std::size_t count = 0;
    if (want >= kBufferSize) {
      if (auto err = raw_read(dest + got, want, count)) return err;
      if (count == 0) return ReadError::end_of_data();
      got += count;
      continue;
    }
    if (auto err = raw_read(buffer_.get(), kBufferSize, count)) return err;
    if (count == 0) return ReadError::end_of_data();
    const std::size_t take = std::min(want, count);
    std::memcpy(dest + got, buffer_.get(), take);
    pos_ = take;
    end_ = count;
    got += take;
  }
  return std::nullopt;
}

std::optional<ReadError> EventStream::skip(std::uint64_t n) {
  std::size_t from_buffer =
      static_cast<std::size_t>(std::min<std::uint64_t>(n, end_ - pos_));
  pos_ += from_buffer;
  n -= from_buffer;
  while (n != 0) {
    std::size_t got = 0;
    if (auto err = raw_read(buffer_.get(), kBufferSize, got)) return err;
    if (got == 0) return ReadError::end_of_data();
    std::size_t take =
        static_cast<std::size_t>(std::min<std::uint64_t>(n, got));
    pos_ = take;
    end_ = got;
    n -= take;
  }
  return std::nullopt;
}

std::optional<ReadError> EventStream::rewind() {
  if (detail::syscalls().lseek(file_.get(), 0, SEEK_SET) < 0) {
    return ReadError::os(errno);
  }
  pos_ = 0;
  end_ = 0;
  file_pos_ = 0;
  return std::nullopt;
}

std::uint64_t EventStream::refresh_available() noexcept {
  const std::uint64_t here = position();
  struct stat st {};
  if (detail::syscalls().fstat(file_.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    known_end_ = kUnknown;
    return kUnknown;
  } else {
    known_end_ = std::max<std::uint64_t>(static_cast<std::uint64_t>(st.st_size),
                                         file_pos_);
  }
  return known_end_ - here;
}

void EventStream::release() noexcept {
  buffer_.reset();
  pos_ = end_ = 0;
  file_.close();
}

}  // namespace vorn
