#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <variant>

#include "../stream/event_stream.hpp"
#include "../stream/read_error.hpp"
#include "../stream/sample_vector.hpp"

namespace vorn {

// One decoded WD2 event.
struct WD2Event {
  std::uint32_t event_counter = 0;
  std::uint64_t timestamp = 0;
  std::uint32_t samples = 0;  // samples per channel, as stored
  std::uint64_t sampling_period = 0;
  // The event's own channel word when the file carries one, else the
  // file's channel count.
  std::int32_t channels = 0;
  SampleVector<float> data;  // samples * channel count values, file order
};

// Reads WD2 files: events back to back from offset 0, each a header of
// event_counter (u32), timestamp (u64), samples (u32), sampling_period (u64),
// in some files followed by a channels word (i32), then little-endian
// binary32 samples, `samples` per channel.
//
// The file does not say whether the channels word is there, so create()
// reads ahead to find out and rewinds.
class WD2Reader {
 public:
  static constexpr std::size_t kBaseHeaderSize = 24;

  // Detects the layout of the file behind `stream` (positioned at offset 0)
  // and rewinds it. The first event is read as if it had the channels word:
  //  - followed by a header with the next counter and the same samples,
  //    sampling_period and channels, the file has the word and that many
  //    channels;
  //  - followed by any other header, the file has one channel and no word;
  //  - when that reading cannot even get past the first payload (a length
  //    that is negative, overflows or runs past the end of the file), the
  //    file is taken as one channel without the word if, read that way, the
  //    next header repeats samples and sampling_period.
  // Otherwise the error that stopped the reading comes back (end of data for
  // a file too short to decide) and the stream is closed.
  static std::variant<WD2Reader, ReadError> create(EventStream stream);

  // The next event, end of data, or an error. An event interrupted by the
  // end of the data or by a failed read is kept as far as it arrived, and
  // the next call carries on with it exactly where the bytes stopped. Unlike
  // WD1, the reader stays usable after any error; only an impossible payload
  // length drops the event, whose header is then consumed.
  ReadOutcome<WD2Event> next();

  // Gives the reader `buffer` to read the next event's samples into, as
  // WD1Reader::reuse does. Taken only between events; otherwise `buffer`
  // stays with the caller.
  void reuse(SampleVector<float>&& buffer) noexcept {
    if (header_got_ != 0) return;
    buffer.set_size(0);
    event_.data = std::move(buffer);
  }

  std::int32_t channel_count() const noexcept { return channels_; }
  bool has_channel_word() const noexcept { return channel_word_; }
  EventStream& stream() noexcept { return stream_; }

  // Payload bytes for `samples` per channel over `channels` channels, or
  // nothing when that is negative or does not fit in 63 bits.
  static std::optional<std::uint64_t> payload_bytes(std::uint32_t samples,
                                                    std::int32_t channels);

 private:
  WD2Reader(EventStream stream, std::int32_t channels, bool channel_word)
      : stream_(std::move(stream)),
        channels_(channels),
        channel_word_(channel_word) {}

  EventStream stream_;
  std::int32_t channels_;  // sizes every payload: samples * channels_
  bool channel_word_;      // every event carries the channels word

  // The event being read. Between events header_got_ is 0 and event_ is
  // empty; once the whole header (with the channels word, if any) is in,
  // event_ holds it and payload_got_ counts the payload bytes that arrived.
  std::array<std::byte, kBaseHeaderSize + 4> header_{};
  std::size_t header_got_ = 0;
  std::uint64_t payload_got_ = 0;
  WD2Event event_;
};

}  // namespace vorn
