// WD2 layout detection and reader over a real EventStream on an in-memory
// file that grows while it is read.
//
// Input: two control bytes, then the file.
//   byte 0  how the file arrives: in chunks of size * byte0 / 255 bytes (at
//           least one, and at most 512 chunks). Until a reader exists, one is
//           created after chunk 1, 2, 4, 8, ... and the last, as a follower
//           waiting for the file to become readable does; once it exists it is
//           drained to the end of the data after every chunk.
//   byte 1  bits 0-1: how read(2) behaves: as is, short reads, short reads
//           with EINTR, or one EIO on the call numbered by bits 3-7.
//           bit 2: fstat(2) calls the file a FIFO, as for a pipe or device,
//           so the stream cannot learn the file's size.
//
// The layout and every event are worked out here from the bytes alone, by
// the rules the format documents, and the reader must match them exactly
// whatever the chunks and injected failures; it must report the end of the
// data only when the next event has not fully arrived, and never allocate
// much more for an event than what of it has arrived.
#include <fcntl.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_support.hpp"
#include "stream/event_stream.hpp"
#include "wd2_reader/wd2_reader.hpp"

const char kFuzzTarget[] = "wd2_fuzzer";

namespace {

using namespace vorn_fuzz;

std::uint64_t le64(const std::uint8_t* p) {
  return std::uint64_t{le32(p)} | std::uint64_t{le32(p + 4)} << 32;
}

struct Layout {
  std::int32_t channels;
  bool word;
};

// Payload bytes of `samples` per channel on `channels` channels; nothing when
// that is negative or does not fit in 63 bits.
std::optional<std::uint64_t> payload_length(std::uint32_t samples,
                                            std::int32_t channels) {
  const __int128 length = static_cast<__int128>(samples) * channels * 4;
  if (length < 0 || length >= (static_cast<__int128>(1) << 63)) {
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(length);
}

// The layout of a file of which `size` bytes exist: the first event read with
// the channels word must be followed by a header with the next counter and
// the same samples, sampling_period and channels. When that first event does
// not even fit, the file may still be one channel without the word, if read
// that way the next header repeats samples and sampling_period.
std::optional<Layout> detect(const std::uint8_t* f, std::size_t size) {
  if (size < 28) return std::nullopt;
  const std::uint32_t samples = le32(f + 12);
  const std::uint64_t period = le64(f + 16);
  const auto channels = static_cast<std::int32_t>(le32(f + 24));
  const auto length = payload_length(samples, channels);
  if (length && *length <= size - 28) {
    const std::uint64_t second = 28 + *length;
    if (size - second < 28) return std::nullopt;
    const std::uint8_t* h = f + second;
    if (le32(h) == le32(f) + 1 && le32(h + 12) == samples &&
        le64(h + 16) == period && le32(h + 24) == le32(f + 24)) {
      return Layout{channels, true};
    }
    return Layout{1, false};
  }
  const std::uint64_t second = 24 + std::uint64_t{samples} * 4;
  if (second > size || size - second < 24) return std::nullopt;
  const std::uint8_t* h = f + second;
  if (le32(h + 12) == samples && le64(h + 16) == period) {
    return Layout{1, false};
  }
  return std::nullopt;
}

// Events back to back; an impossible length consumes its header and reading
// goes on after it.
std::vector<Item> walk(const std::uint8_t* f, std::size_t size, Layout layout) {
  const std::uint64_t header = layout.word ? 28 : 24;
  std::vector<Item> items;
  std::uint64_t at = 0;
  while (size - at >= header) {
    const auto length = payload_length(le32(f + at + 12), layout.channels);
    if (!length) {
      items.push_back({at, at + header, true});
      at += header;
      continue;
    }
    if (*length > size - at - header) break;
    items.push_back({at, at + header + *length, false});
    at += header + *length;
  }
  return items;
}

void check_event(const vorn::WD2Event& event, const std::uint8_t* file,
                 const Item& item, Layout layout) {
  const std::uint8_t* h = file + item.start;
  if (event.event_counter != le32(h) || event.timestamp != le64(h + 4) ||
      event.samples != le32(h + 12) || event.sampling_period != le64(h + 16)) {
    broken("header differs from the file", item.start);
  }
  const std::int32_t channels =
      layout.word ? static_cast<std::int32_t>(le32(h + 24)) : layout.channels;
  if (event.channels != channels) broken("wrong channels value", item.start);
  const std::uint64_t header = layout.word ? 28 : 24;
  const std::uint64_t length = item.end - item.start - header;
  if (event.data.size() * sizeof(float) != length) {
    broken("wrong number of values", item.start);
  }
  if (length != 0 && std::memcmp(event.data.data(), h + header,
                                 static_cast<std::size_t>(length)) != 0) {
    broken("values differ from the file", item.start);
  }
}

struct Follower {
  const std::uint8_t* file;
  std::size_t size;
  std::optional<vorn::WD2Reader> reader;
  Layout layout{};
  Expectation expected;

  void open(int fd, std::size_t present) {
    // A file description of its own, at offset 0 whatever an earlier failed
    // attempt left behind.
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    const int own = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (own < 0) broken("cannot reopen the file", 0);
    auto created =
        vorn::WD2Reader::create(vorn::EventStream(vorn::FileDescriptor(own)));
    const auto verdict = detect(file, present);
    if (auto* err = std::get_if<vorn::ReadError>(&created)) {
      // An injected EIO says nothing about the layout.
      if (verdict &&
          !(err->kind == vorn::ReadError::Kind::kOs && g_mode.kind == 3)) {
        broken("create() failed on a file of known layout", 0);
      }
      return;
    }
    if (!verdict) broken("create() found a layout the file does not have", 0);
    reader.emplace(std::move(std::get<vorn::WD2Reader>(created)));
    if (reader->stream().position() != 0) broken("create() did not rewind", 0);
    layout = *verdict;
    expected.items = walk(file, size, layout);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const auto input = start_input(data, size);
  if (!input) return 0;
  Follower follower{.file = input->file, .size = input->size};

  const vorn::FileDescriptor file(new_file());
  std::size_t present = 0;
  // One more round once everything is there: nothing new arrives, and a
  // create() that met the injected EIO gets its second chance.
  bool last = false;
  for (std::size_t round = 1; !last; ++round) {
    const std::size_t more = std::min(input->chunk, input->size - present);
    write_at(file.get(), input->file + present, more,
             static_cast<off_t>(present));
    last = present == input->size;
    present += more;
    // Each attempt reads from the start, so only some rounds try.
    const bool attempt = last || (round & (round - 1)) == 0;
    if (!follower.reader && attempt) follower.open(file.get(), present);
    if (follower.reader) {
      follower.expected.drain(
          *follower.reader, present, /*finishes=*/false,
          [&](const vorn::WD2Event& event, const Item& item) {
            check_event(event, input->file, item, follower.layout);
          });
    }
  }
  if (follower.reader) follower.expected.check_all_read(present, false);
  return 0;
}
