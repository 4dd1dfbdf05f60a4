#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "../stream/event_stream.hpp"
#include "../stream/read_error.hpp"
#include "../stream/sample_vector.hpp"

namespace vorn {

// One decoded WD1 event. The header words are kept as the file's signed
// 32-bit values.
struct WD1Event {
  std::int32_t event_size = 0;
  std::int32_t board_id = 0;
  std::int32_t pattern = 0;
  std::int32_t board_channel = 0;
  std::int32_t event_counter = 0;
  std::int32_t timestamp = 0;
  SampleVector<std::uint16_t> samples;
};

// Reads WD1 files: events back to back from offset 0, each a 24-byte header
// of six little-endian 32-bit words (event_size, board_id, pattern,
// board_channel, event_counter, timestamp) and (event_size - 24) / 2
// unsigned 16-bit samples. An odd payload length leaves one pad byte after
// the samples; an event always occupies event_size bytes.
class WD1Reader {
 public:
  static constexpr std::size_t kHeaderSize = 24;

  // Takes over a stream positioned at offset 0. Reads nothing.
  explicit WD1Reader(EventStream stream) noexcept
      : stream_(std::move(stream)) {}

  // The next event, or why there is none:
  //  - end of data when the file ends, at an event boundary or inside an
  //    event. An event cut short is kept as far as it arrived, and the next
  //    call carries on with it where the bytes stopped, so a file that is
  //    still being written is read exactly whatever its writer flushes.
  //  - any other error (an errno, an event_size below 23, a payload that
  //    cannot be allocated) is returned once; every later call then returns
  //    end of data without touching the file.
  ReadOutcome<WD1Event> next();

  // Gives the reader `buffer` to read the next event's samples into, so that
  // a caller that copies every event's samples elsewhere allocates once
  // instead of once an event. Taken only between events (before the first
  // next(), or after one returned an event) while the reader goes on;
  // otherwise `buffer` stays with the caller.
  void reuse(SampleVector<std::uint16_t>&& buffer) noexcept {
    if (header_got_ != 0 || done_) return;
    buffer.set_size(0);
    event_.samples = std::move(buffer);
  }

  EventStream& stream() noexcept { return stream_; }

 private:
  ReadError fail(ReadError err) {
    if (!err.is_end_of_data()) {
      done_ = true;
      event_ = {};  // nothing will complete it: give its memory back
    }
    return err;
  }

  EventStream stream_;
  bool done_ = false;  // set by the first error other than end of data

  // The event being read. Between events header_got_ is 0 and event_ is
  // empty; once header_got_ reaches kHeaderSize, event_ holds the decoded
  // header and payload_got_ counts the bytes of samples and pad byte that
  // have arrived.
  std::array<std::byte, kHeaderSize> header_{};
  std::size_t header_got_ = 0;
  std::uint64_t payload_got_ = 0;
  WD1Event event_;
};

}  // namespace vorn
