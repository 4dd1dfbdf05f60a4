// WD2 layout detection and reader over a real EventStream on an in-memory
// file.
//
// Input: two control bytes, then the file.
//   byte 0  where the file is cut: the first size * byte0 / 255 bytes are there
//           for create() and the first pass, the rest is appended after the
//           first end of data and reading resumes. When create() fails on the
//           short file it runs once more on the whole file.
//   byte 1  bits 0-1: how read(2) behaves: as is, short reads, short reads
//           with EINTR, or one EIO on the call numbered by bits 3-7.
//           bit 2: fstat(2) calls the file a FIFO, as for a pipe or device,
//           so the stream cannot learn the file's size.
//
// No single allocation while reading an event may exceed what the file holds
// from the event's start by more than the payload grow step: a header that
// lies about its length must not cost memory the file cannot fill. Every
// event that comes back is checked against the file bytes at the offset the
// stream said it started from.
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
#include <optional>

#include "fuzz_support.hpp"
#include "stream/event_stream.hpp"
#include "stream/payload.hpp"
#include "stream/syscalls.hpp"
#include "wd2_reader/wd2_reader.hpp"

const char kFuzzTarget[] = "wd2_fuzzer";

namespace {

using namespace vorn_fuzz;

std::uint64_t le64(const std::uint8_t* p) {
  return std::uint64_t{le32(p)} | std::uint64_t{le32(p + 4)} << 32;
}

// Checks one decoded event against the file bytes it was read from and the
// number of bytes the stream consumed for it.
void check_event(const vorn::WD2Reader& reader, const vorn::WD2Event& event,
                 const std::uint8_t* file, std::size_t file_size,
                 std::uint64_t start, std::uint64_t end) {
  const std::uint64_t header = reader.has_channel_word() ? 28 : 24;
  if (end > file_size || start + header > end) {
    broken("event outside the file", start);
  }
  const std::uint8_t* h = file + start;
  if (event.event_counter != le32(h) || event.timestamp != le64(h + 4) ||
      event.samples != le32(h + 12) || event.sampling_period != le64(h + 16)) {
    broken("header differs from the file", start);
  }
  const std::int32_t channels = reader.has_channel_word()
                                    ? static_cast<std::int32_t>(le32(h + 24))
                                    : reader.channel_count();
  if (event.channels != channels) broken("wrong channels value", start);
  const auto length =
      vorn::WD2Reader::payload_bytes(event.samples, reader.channel_count());
  if (!length) broken("event returned for an invalid payload length", start);
  if (event.data.size() * sizeof(float) != *length) {
    broken("wrong number of values", start);
  }
  if (end != start + header + *length) {
    broken("event did not occupy header and payload", start);
  }
  if (*length != 0 && std::memcmp(event.data.data(), h + header,
                                  static_cast<std::size_t>(*length)) != 0) {
    broken("values differ from the file", start);
  }
}

// Reads until end of data, going on after errors as the reader allows. Each
// event or invalid length takes at least a 24-byte header and the injected
// EIO happens once, which bounds how often that can happen. `present` is
// how much of the file exists right now.
void drain(vorn::WD2Reader& reader, const std::uint8_t* file,
           std::size_t present) {
  std::size_t results = 0;
  for (;;) {
    const std::uint64_t start = reader.stream().position();
    g_largest_allocation = 0;
    auto outcome = reader.next();
    if (g_largest_allocation >
        present - start + vorn::detail::kPayloadGrowStep + 64) {
      broken("allocated far more than the file holds", start);
    }
    if (++results > present / 24 + 3) broken("reader does not advance", start);
    if (auto* err = std::get_if<vorn::ReadError>(&outcome)) {
      if (err->is_end_of_data()) return;
      continue;
    }
    check_event(reader, std::get<vorn::WD2Event>(outcome), file, present, start,
                reader.stream().position());
  }
}

std::optional<vorn::WD2Reader> create(int fd) {
  auto created =
      vorn::WD2Reader::create(vorn::EventStream(vorn::FileDescriptor(fd)));
  if (std::holds_alternative<vorn::ReadError>(created)) return std::nullopt;
  auto& reader = std::get<vorn::WD2Reader>(created);
  if (reader.stream().position() != 0) broken("create() did not rewind", 0);
  if (!reader.has_channel_word() && reader.channel_count() != 1) {
    broken("more than one channel without a channels word", 0);
  }
  return std::move(reader);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const auto input = start_input(data, size);
  if (!input) return 0;
  data = input->file;
  size = input->size;
  std::size_t cut = input->cut;

  int fd = new_file();
  write_at(fd, data, cut, 0);
  std::optional<vorn::WD2Reader> reader = create(fd);
  if (!reader && cut != size) {
    // create() has closed the short file; try the whole one.
    cut = size;
    fd = new_file();
    write_at(fd, data, size, 0);
    reader = create(fd);
  }
  if (!reader) return 0;

  drain(*reader, data, cut);
  write_at(reader->stream().fd(), data + cut, size - cut,
           static_cast<off_t>(cut));
  drain(*reader, data, size);
  drain(*reader, data, size);
  return 0;
}
