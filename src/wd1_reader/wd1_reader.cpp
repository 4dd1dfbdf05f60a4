#include "wd1_reader.hpp"

#include <array>
#include <string>
#include <utility>

#include "../stream/le.hpp"
#include "../stream/payload.hpp"

namespace vorn {

ReadOutcome<WD1Event> WD1Reader::next() {
  if (done_) return ReadError::end_of_data();

  if (header_got_ < kHeaderSize) {
    if (auto err =
            stream_.read_into(header_.data(), kHeaderSize, header_got_)) {
      return fail(std::move(*err));
    }
    auto word = [&](std::size_t i) {
      return static_cast<std::int32_t>(
          detail::load_le32(header_.data() + 4 * i));
    };
    event_.event_size = word(0);
    event_.board_id = word(1);
    event_.pattern = word(2);
    event_.board_channel = word(3);
    event_.event_counter = word(4);
    event_.timestamp = word(5);
    payload_got_ = 0;
  }

  // Wrapping subtraction: the 24 most negative sizes turn into huge positive
  // payloads, which then simply run into the end of the file.
  const auto payload =
      static_cast<std::int32_t>(static_cast<std::uint32_t>(event_.event_size) -
                                std::uint32_t{kHeaderSize});
  if (payload < -1) {
    const std::uint64_t start = stream_.position() - kHeaderSize;
    return fail(ReadError::invalid_data("invalid WD1 event_size " +
                                        std::to_string(event_.event_size) +
                                        " at offset " + std::to_string(start) +
                                        ": smaller than the 24-byte header"));
  }
  const auto sample_bytes = static_cast<std::uint64_t>(payload / 2) * 2;
  if (payload_got_ < sample_bytes) {
    if (auto err = read_samples(stream_, sample_bytes / 2, event_.samples,
                                payload_got_)) {
      return fail(std::move(*err));
    }
  }
  if (payload > 0 && payload % 2 != 0 && payload_got_ == sample_bytes) {
    if (auto err = stream_.skip(1)) return fail(std::move(*err));
    ++payload_got_;
  }
  header_got_ = 0;
  return std::exchange(event_, WD1Event{});
}

}  // namespace vorn
