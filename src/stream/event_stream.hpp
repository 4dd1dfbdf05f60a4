#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>

#include "file.hpp"
#include "read_error.hpp"

namespace vorn {

// Buffered reader over an open event file.
//
// Every read either delivers exactly what was asked for or returns the reason
// it could not: end of data when the file ended first, the errno of a failed
// system call otherwise. Bytes taken before a failure stay consumed, so a
// later read continues right after them; this is what lets a reader resume on
// a file that is still being written.
class EventStream {
 public:
  static constexpr std::size_t kBufferSize = 8192;

  // Takes ownership of `fd`, which must be positioned at offset 0. Allocates
  // the buffer; throws std::bad_alloc when that fails.
  explicit EventStream(FileDescriptor fd);

  EventStream(EventStream&&) noexcept = default;
  EventStream& operator=(EventStream&&) noexcept = default;

  // Reads exactly `n` bytes into `dest`. n == 0 succeeds without touching
  // the file. Once the buffer is drained, remainders of kBufferSize bytes or
  // more go straight from the file into `dest`; smaller ones refill the
  // buffer with one read. Short reads are continued and EINTR is retried.
  [[nodiscard]] std::optional<ReadError> read_exact(std::byte* dest,
                                                    std::size_t n) {
    std::size_t got = 0;
    return read_into(dest, n, got);
  }

  // read_exact for a destination that may already hold its first `got`
  // bytes: fills dest[got, n) and leaves `got` == n. When the read fails,
  // `got` counts the bytes that did arrive; they are consumed, so calling
  // again with the same arguments once the file has grown carries on exactly
  // where the failure stopped.
  [[nodiscard]] std::optional<ReadError> read_into(std::byte* dest,
                                                   std::size_t n,
                                                   std::size_t& got) {
    const std::size_t want = n - got;
    if (end_ - pos_ >= want) {  // the common case: all of it is buffered
      // memcpy must not see the null `dest` an empty request may carry.
      if (want != 0) std::memcpy(dest + got, buffer_.get() + pos_, want);
      pos_ += want;
      got = n;
      return std::nullopt;
    }
    return read_into_slow(dest, n, got);
  }

  // Discards `n` bytes as read_exact would consume them, without a
  // destination buffer.
  [[nodiscard]] std::optional<ReadError> skip(std::uint64_t n);

  [[nodiscard]] std::optional<ReadError> read_u32(std::uint32_t& out) {
    return read_le(out);
  }
  [[nodiscard]] std::optional<ReadError> read_u64(std::uint64_t& out) {
    return read_le(out);
  }

  // Repositions the file to offset 0. Only when that succeeds are the
  // buffered bytes dropped (the buffer memory is kept).
  [[nodiscard]] std::optional<ReadError> rewind();

  // Offset in the file of the next byte a read will deliver.
  std::uint64_t position() const noexcept { return file_pos_ - (end_ - pos_); }

  static constexpr std::uint64_t kUnknown = ~std::uint64_t{0};

  // How many bytes past position() the file is known to hold, looking at the
  // file's size again only when `wanted` exceeds what was known; kUnknown
  // for files whose size says nothing (pipes, devices). Used to keep a
  // header that lies about its length from making the caller allocate
  // memory the file cannot fill.
  std::uint64_t available(std::uint64_t wanted) noexcept {
    if (known_end_ == kUnknown) return kUnknown;
    const std::uint64_t here = position();
    if (known_end_ >= here && known_end_ - here >= wanted) {
      return known_end_ - here;
    }
    return refresh_available();
  }

  // Frees the buffer and closes the file. The stream must not be read again.
  void release() noexcept;

  int fd() const noexcept { return file_.get(); }

 private:
  template <class Word>
  std::optional<ReadError> read_le(Word& out) {
    unsigned char raw[sizeof(Word)];
    if (end_ - pos_ >= sizeof(Word)) {
      std::memcpy(raw, buffer_.get() + pos_, sizeof(Word));
      pos_ += sizeof(Word);
    } else if (auto err = read_exact(reinterpret_cast<std::byte*>(raw),
                                     sizeof(Word))) {
      return err;
    }
    Word value = 0;
    for (std::size_t i = sizeof(Word); i-- > 0;) {
      value = static_cast<Word>((value << 8) | raw[i]);
    }
    out = value;
    return std::nullopt;
  }

  std::optional<ReadError> read_into_slow(std::byte* dest, std::size_t n,
                                          std::size_t& got);
  std::uint64_t refresh_available() noexcept;

  // One read(2) of up to `n` bytes, retried on EINTR. Returns the count, 0 at
  // the end of the file, or an error.
  std::optional<ReadError> raw_read(std::byte* dest, std::size_t n,
                                    std::size_t& got);

  FileDescriptor file_;
  std::unique_ptr<std::byte[]>
      buffer_;                   // kBufferSize bytes; null after release
  std::size_t pos_ = 0;          // next unread byte in buffer_
  std::size_t end_ = 0;          // pos_ <= end_ <= kBufferSize
  std::uint64_t file_pos_ = 0;   // bytes read from the file so far
  std::uint64_t known_end_ = 0;  // file size when last looked at
};

}  // namespace vorn
