#pragma once

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
  static constexpr std::int32_t kHeaderSize = 24;

  // Takes over a stream positioned at offset 0. Reads nothing.
  explicit WD1Reader(EventStream stream) noexcept
      : stream_(std::move(stream)) {}

  // The next event, or why there is none:
  //  - end of data when the file ends, at an event boundary or inside an
  //    event. The partial event's bytes stay consumed and a later call reads
  //    on from there, so appended events are picked up.
  //  - any other error (an errno, an event_size below 23, a payload that
  //    cannot be allocated) is returned once; every later call then returns
  //    end of data without touching the file.
  ReadOutcome<WD1Event> next();

  EventStream& stream() noexcept { return stream_; }

 private:
  ReadError fail(ReadError err) {
    if (!err.is_end_of_data()) done_ = true;
    return err;
  }

  EventStream stream_;
  bool done_ = false;  // set by the first error other than end of data
};

}  // namespace vorn
