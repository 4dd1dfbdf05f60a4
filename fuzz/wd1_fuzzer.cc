// WD1 reader over a real EventStream on an in-memory file.
//
// Input: two control bytes, then the file.
//   byte 0  where the file is cut: the first size * byte0 / 255 bytes are there
//           when reading starts, the rest is appended after the first end of
//           data and reading resumes.
//   byte 1  bits 0-1: how read(2) behaves: as is, short reads, short reads
//           with EINTR, or one EIO on the call numbered by bits 3-7.
//           bit 2: fstat(2) calls the file a FIFO, as for a pipe or device,
//           so the stream cannot learn the file's size.
//
// No single allocation while reading an event may exceed what the file holds
// from the event's start by more than the payload grow step: a header that
// lies about its length must not cost memory the file cannot fill. Every
// event that comes back is checked against the file bytes at the offset the
// stream said it started from, so a mix-up in buffering or resuming shows up
// even when nothing crashes.
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fuzz_support.hpp"
#include "stream/event_stream.hpp"
#include "stream/payload.hpp"
#include "stream/syscalls.hpp"
#include "wd1_reader/wd1_reader.hpp"

const char kFuzzTarget[] = "wd1_fuzzer";

namespace {

using namespace vorn_fuzz;

// Checks one decoded event against the file bytes it was read from and the
// number of bytes the stream consumed for it.
void check_event(const vorn::WD1Event& event, const std::uint8_t* file,
                 std::size_t file_size, std::uint64_t start,
                 std::uint64_t end) {
  if (end > file_size || start + 24 > end)
    broken("event outside the file", start);
  const std::uint8_t* h = file + start;
  const std::int32_t words[6] = {event.event_size,    event.board_id,
                                 event.pattern,       event.board_channel,
                                 event.event_counter, event.timestamp};
  for (int i = 0; i < 6; ++i) {
    if (static_cast<std::uint32_t>(words[i]) != le32(h + 4 * i)) {
      broken("header word differs from the file", start);
    }
  }
  const auto payload = static_cast<std::int32_t>(
      static_cast<std::uint32_t>(event.event_size) - 24u);
  const std::uint64_t expected_end =
      start + 24 + (payload > 0 ? static_cast<std::uint64_t>(payload) : 0);
  if (end != expected_end)
    broken("event did not occupy event_size bytes", start);
  const std::size_t count =
      payload > 0 ? static_cast<std::size_t>(payload / 2) : 0;
  if (event.samples.size() != count) broken("wrong sample count", start);
  if (count != 0 && std::memcmp(event.samples.data(), h + 24, count * 2) != 0) {
    broken("samples differ from the file", start);
  }
}

// Reads until end of data, as a caller that ignores errors would. Each event
// takes at least its 24-byte header, which bounds how often that can happen.
// After the first error other than end of data the reader must not touch
// the file again. `present` is how much of the file exists right now.
void drain(vorn::WD1Reader& reader, const std::uint8_t* file,
           std::size_t present, bool& failed) {
  std::size_t results = 0;
  for (;;) {
    const std::uint64_t start = reader.stream().position();
    const unsigned calls_before = g_mode.calls;
    g_largest_allocation = 0;
    auto outcome = reader.next();
    if (g_largest_allocation >
        present - start + vorn::detail::kPayloadGrowStep + 64) {
      broken("allocated far more than the file holds", start);
    }
    if (++results > present / 24 + 2) broken("reader does not advance", start);
    if (failed) {
      auto* err = std::get_if<vorn::ReadError>(&outcome);
      if (err == nullptr || !err->is_end_of_data()) {
        broken("reader went on after an error", start);
      }
      if (g_mode.calls != calls_before) broken("read after an error", start);
    }
    if (auto* err = std::get_if<vorn::ReadError>(&outcome)) {
      if (err->is_end_of_data()) return;
      failed = true;
      continue;
    }
    check_event(std::get<vorn::WD1Event>(outcome), file, present, start,
                reader.stream().position());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const auto input = start_input(data, size);
  if (!input) return 0;
  data = input->file;
  size = input->size;
  const std::size_t cut = input->cut;

  const int fd = new_file();
  write_at(fd, data, cut, 0);

  vorn::WD1Reader reader{vorn::EventStream(vorn::FileDescriptor(fd))};
  bool failed = false;
  drain(reader, data, cut, failed);
  write_at(fd, data + cut, size - cut, static_cast<off_t>(cut));
  drain(reader, data, size, failed);
  // Nothing new arrived: still end of data, without reading past the file.
  drain(reader, data, size, failed);
  return 0;
}
