// What both fuzz targets share: read(2) and fstat(2) replacements driven by
// a control byte, an allocation hook that records the largest request, and
// helpers for the in-memory file. Each target defines kFuzzTarget.
#pragma once

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <variant>
#include <vector>

#include "stream/read_error.hpp"

#include "stream/syscalls.hpp"

extern const char kFuzzTarget[];

// From the sanitizer runtime; GCC ships no header declaring it.
extern "C" int __sanitizer_install_malloc_and_free_hooks(
    void (*malloc_hook)(const volatile void*, std::size_t),
    void (*free_hook)(const volatile void*));

namespace vorn_fuzz {

struct ReadMode {
  unsigned kind = 0;
  bool not_regular = false;
  unsigned calls = 0;
  unsigned fail_at = 0;
};
inline ReadMode g_mode;

// Largest single allocation since the last reset.
inline std::size_t g_largest_allocation = 0;

inline void note_allocation(const volatile void*, std::size_t size) {
  g_largest_allocation = std::max(g_largest_allocation, size);
}
inline void note_free(const volatile void*) {}

inline int fuzz_fstat(int fd, struct stat* st) {
  const int rc = ::fstat(fd, st);
  if (rc == 0 && g_mode.not_regular) {
    st->st_mode = (st->st_mode & ~static_cast<mode_t>(S_IFMT)) | S_IFIFO;
  }
  return rc;
}

inline ssize_t fuzz_read(int fd, void* buf, std::size_t count) {
  ++g_mode.calls;
  switch (g_mode.kind) {
    case 1:
      count = std::min<std::size_t>(count, 1 + g_mode.calls % 7);
      break;
    case 2:
      if (g_mode.calls % 3 == 0) {
        errno = EINTR;
        return -1;
      }
      count = std::min<std::size_t>(count, 1 + g_mode.calls % 5);
      break;
    case 3:
      if (g_mode.calls == g_mode.fail_at) {
        errno = EIO;
        return -1;
      }
      break;
    default:
      break;
  }
  return ::read(fd, buf, count);
}

[[noreturn]] inline void broken(const char* what, std::uint64_t offset) {
  std::fprintf(stderr, "%s: %s (event at offset %llu)\n", kFuzzTarget, what,
               static_cast<unsigned long long>(offset));
  std::abort();
}

inline void write_at(int fd, const std::uint8_t* p, std::size_t n, off_t at) {
  while (n != 0) {
    const ssize_t w = ::pwrite(fd, p, n, at);
    if (w <= 0)
      broken("pwrite to the memfd failed", static_cast<std::uint64_t>(at));
    p += w;
    n -= static_cast<std::size_t>(w);
    at += w;
  }
}

inline std::uint32_t le32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 |
         std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}

// Installs the hooks once per process and sets the read behaviour for one
// input from its control byte.
inline void set_read_control(unsigned read_control) {
  static const bool hooked = [] {
    if (__sanitizer_install_malloc_and_free_hooks(&note_allocation,
                                                  &note_free) == 0) {
      broken("cannot install the allocation hook", 0);
    }
    vorn::detail::syscalls().read = &fuzz_read;
    vorn::detail::syscalls().fstat = &fuzz_fstat;
    return true;
  }();
  (void)hooked;
  g_mode = ReadMode{read_control & 3u, (read_control & 4u) != 0, 0,
                    1 + (read_control >> 3)};
}

// One fuzz input: two control bytes, then the file, which arrives `chunk`
// bytes at a time as a writer that flushes regardless of event boundaries
// would deliver it.
struct Input {
  const std::uint8_t* file;
  std::size_t size;
  std::size_t chunk;
};

inline constexpr std::size_t kMaxChunks = 512;

// Splits an input and applies its read control; nothing for inputs too short
// to carry the control bytes.
inline std::optional<Input> start_input(const std::uint8_t* data,
                                        std::size_t size) {
  if (size < 2) return std::nullopt;
  set_read_control(data[1]);
  const std::size_t file_size = size - 2;
  // At most kMaxChunks chunks keep large inputs fast; small ones still
  // arrive a byte at a time.
  const std::size_t smallest = (file_size + kMaxChunks - 1) / kMaxChunks;
  return Input{data + 2, file_size,
               std::max({std::size_t{1}, smallest, file_size * data[0] / 255})};
}

// What reading the whole file must produce, worked out from the bytes alone:
// an event or an impossible length, each with the bytes it occupies.
struct Item {
  std::uint64_t start;
  std::uint64_t end;
  bool invalid;
};

// Where what the reader is on begins: items[next], or past the last item the
// event the file cuts short.
inline std::uint64_t next_start(const std::vector<Item>& items,
                                std::size_t next) {
  if (next < items.size()) return items[next].start;
  return items.empty() ? 0 : items.back().end;
}

// A reader may allocate for an event no more than what of it has arrived
// plus one growth step of its payload buffer (and a little for rounding).
// `start` is where the event being read begins.
inline constexpr std::uint64_t kAllocationSlack = 64 * 1024 + 64;

inline void check_allocation(std::uint64_t present, std::uint64_t start) {
  const std::uint64_t arrived = present > start ? present - start : 0;
  if (g_largest_allocation > arrived + kAllocationSlack) {
    broken("allocated far more than the file holds", start);
  }
}

// Follows a reader through a growing file against the items worked out from
// the file's bytes.
struct Expectation {
  std::vector<Item> items;
  std::size_t next = 0;  // index in `items` of what comes next
  bool failed = false;   // an error other than end of data came back

  // Calls next() until end of data, as a caller that ignores errors would;
  // `present` is how much of the file exists right now and `check(event,
  // item)` compares an event with the bytes it came from. A reader that
  // `finishes` on an error must answer end of data ever after, without
  // reading; any other must go on exactly.
  template <class Reader, class Check>
  void drain(Reader& reader, std::uint64_t present, bool finishes,
             Check check) {
    for (std::size_t calls = 0;; ++calls) {
      // Each result but the last takes a header, and the EIO comes once.
      if (calls > present / 24 + 3) broken("reader does not advance", present);
      const std::uint64_t start = next_start(items, next);
      const unsigned reads_before = g_mode.calls;
      g_largest_allocation = 0;
      auto outcome = reader.next();
      check_allocation(present, start);
      auto* err = std::get_if<vorn::ReadError>(&outcome);
      if (failed && finishes) {
        if (err == nullptr || !err->is_end_of_data()) {
          broken("reader went on after an error", start);
        }
        if (g_mode.calls != reads_before) broken("read after an error", start);
        return;
      }
      if (err == nullptr) {
        if (next == items.size() || items[next].invalid) {
          broken("event where the file has none", start);
        }
        check(std::get<0>(outcome), items[next]);
        ++next;
      } else if (err->is_end_of_data()) {
        if (next < items.size() && items[next].end <= present) {
          broken("end of data before a complete event", start);
        }
        return;
      } else if (err->kind == vorn::ReadError::Kind::kInvalidData) {
        if (next == items.size() || !items[next].invalid) {
          broken("impossible length where the file has none", start);
        }
        ++next;
        failed = true;
      } else if (err->kind == vorn::ReadError::Kind::kOs && g_mode.kind == 3) {
        failed = true;
      } else {
        broken("unexpected error", start);
      }
    }
  }

  // Once the whole file is there and drained, every item was read, unless
  // the reader finished on an error.
  void check_all_read(std::uint64_t present, bool finishes) const {
    if (!(finishes && failed) && next != items.size()) {
      broken("events of the whole file were not all read", present);
    }
  }
};

inline int new_file() {
  const int fd = memfd_create(kFuzzTarget, MFD_CLOEXEC);
  if (fd < 0) broken("memfd_create failed", 0);
  return fd;
}

}  // namespace vorn_fuzz
