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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const auto input = start_input(data, size);
  if (!input) return 0;
  Expectation expected{.items = walk(input->file, input->size)};
  auto check = [&](const vorn::WD1Event& event, const Item& item) {
    check_event(event, input->file, item);
  };

  const int fd = new_file();
  vorn::WD1Reader reader{vorn::EventStream(vorn::FileDescriptor(fd))};
  std::size_t present = 0;
  do {
    const std::size_t more = std::min(input->chunk, input->size - present);
    write_at(fd, input->file + present, more, static_cast<off_t>(present));
    present += more;
    expected.drain(reader, present, /*finishes=*/true, check);
  } while (present < input->size);
  // Nothing new arrived: still end of data, without reading past the file.
  expected.drain(reader, present, /*finishes=*/true, check);
  expected.check_all_read(present, /*finishes=*/true);
  return 0;
}
