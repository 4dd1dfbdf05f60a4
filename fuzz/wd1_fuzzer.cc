// WD1 reader over a real EventStream on an in-memory file that grows while it
// is read.
//
// Input: two control bytes, then the file.
//   byte 0  how the file arrives: in chunks of size * byte0 / 255 bytes (at
//           least one, and at most 512 chunks), the reader draining to the end
//           of the data after each, as a follower of a file still being written
//           does.
//   byte 1  bits 0-1: how read(2) behaves: as is, short reads, short reads
//           with EINTR, or one EIO on the call numbered by bits 3-7.
//           bit 2: fstat(2) calls the file a FIFO, as for a pipe or device,
//           so the stream cannot learn the file's size.
//
// Whatever the chunks, the reader must produce exactly what walking the whole
// file by its event_size words produces, every event checked against the
// file's bytes; after an EIO it may only stop early. It must report the end
// of the data only when the next event has not fully arrived, and never
// allocate much more for an event than what of it has arrived.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_support.hpp"
#include "stream/event_stream.hpp"
#include "wd1_reader/wd1_reader.hpp"

const char kFuzzTarget[] = "wd1_fuzzer";

namespace {

using namespace vorn_fuzz;

// Events back to back, each event_size bytes; an event_size below 23 is
// impossible and ends the file's reading.
std::vector<Item> walk(const std::uint8_t* file, std::size_t size) {
  std::vector<Item> items;
  std::uint64_t at = 0;
  while (at + 24 <= size) {
    const auto payload = static_cast<std::int32_t>(le32(file + at) - 24u);
    if (payload < -1) {
      items.push_back({at, at + 24, true});
      break;
    }
    const std::uint64_t end =
        at + 24 + static_cast<std::uint64_t>(payload > 0 ? payload : 0);
    if (end > size) break;
    items.push_back({at, end, false});
    at = end;
  }
  return items;
}

void check_event(const vorn::WD1Event& event, const std::uint8_t* file,
                 const Item& item) {
  const std::uint8_t* h = file + item.start;
  const std::int32_t words[6] = {event.event_size,    event.board_id,
                                 event.pattern,       event.board_channel,
                                 event.event_counter, event.timestamp};
  for (int i = 0; i < 6; ++i) {
    if (static_cast<std::uint32_t>(words[i]) != le32(h + 4 * i)) {
      broken("header word differs from the file", item.start);
    }
  }
  const std::size_t count = (item.end - item.start - 24) / 2;
  if (event.samples.size() != count) broken("wrong sample count", item.start);
  if (count != 0 && std::memcmp(event.samples.data(), h + 24, count * 2) != 0) {
    broken("samples differ from the file", item.start);
  }
}

struct Follower {
  const std::uint8_t* file;
  std::vector<Item> expected;
  std::size_t next = 0;  // index in `expected` of what comes next
  bool failed = false;   // an error other than end of data was returned

  // Reads until end of data, as a caller that ignores errors would.
  // `present` is how much of the file exists right now.
  void drain(vorn::WD1Reader& reader, std::size_t present) {
    for (std::size_t calls = 0;; ++calls) {
      // Each result but the last takes a header, and the EIO comes once.
      if (calls > present / 24 + 3) broken("reader does not advance", present);
      const std::uint64_t start = next_start(expected, next);
      const unsigned reads_before = g_mode.calls;
      g_largest_allocation = 0;
      auto outcome = reader.next();
      check_allocation(present, start);
      auto* err = std::get_if<vorn::ReadError>(&outcome);
      if (failed) {
        if (err == nullptr || !err->is_end_of_data()) {
          broken("reader went on after an error", start);
        }
        if (g_mode.calls != reads_before) broken("read after an error", start);
        return;
      }
      if (err == nullptr) {
        if (next == expected.size() || expected[next].invalid) {
          broken("event where the file has none", start);
        }
        check_event(std::get<vorn::WD1Event>(outcome), file, expected[next]);
        ++next;
      } else if (err->is_end_of_data()) {
        if (next < expected.size() && expected[next].end <= present) {
          broken("end of data before a complete event", start);
        }
        return;
      } else if (err->kind == vorn::ReadError::Kind::kInvalidData) {
        if (next == expected.size() || !expected[next].invalid) {
          broken("invalid size where the file has none", start);
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
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const auto input = start_input(data, size);
  if (!input) return 0;
  Follower follower{.file = input->file,
                    .expected = walk(input->file, input->size)};

  const int fd = new_file();
  vorn::WD1Reader reader{vorn::EventStream(vorn::FileDescriptor(fd))};
  std::size_t present = 0;
  do {
    const std::size_t more = std::min(input->chunk, input->size - present);
    write_at(fd, input->file + present, more, static_cast<off_t>(present));
    present += more;
    follower.drain(reader, present);
  } while (present < input->size);
  // Nothing new arrived: still end of data, without reading past the file.
  follower.drain(reader, present);
  if (!follower.failed && follower.next != follower.expected.size()) {
    broken("events of the whole file were not all read", present);
  }
  return 0;
}
