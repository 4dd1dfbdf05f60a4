#include "wd1_reader.hpp"

#include <array>
#include <string>

#include "../stream/le.hpp"
#include "../stream/payload.hpp"

namespace vorn {

ReadOutcome<WD1Event> WD1Reader::next() {
  if (done_) return ReadError::end_of_data();

  const std::uint64_t start = stream_.position();
  std::array<std::byte, kHeaderSize> header;
  if (auto err = stream_.read_exact(header.data(), header.size())) {
    return fail(std::move(*err));
  }
  auto word = [&](std::size_t i) {
    return static_cast<std::int32_t>(detail::load_le32(header.data() + 4 * i));
  };
  WD1Event event;
  event.event_size = word(0);
  event.board_id = word(1);
  event.pattern = word(2);
  event.board_channel = word(3);
  event.event_counter = word(4);
  event.timestamp = word(5);

  // Wrapping subtraction: the 24 most negative sizes turn into huge positive
  // payloads, which then simply run into the end of the file.
  const auto payload =
      static_cast<std::int32_t>(static_cast<std::uint32_t>(event.event_size) -
                                static_cast<std::uint32_t>(kHeaderSize));
  if (payload < -1) {
    return fail(ReadError::invalid_data("invalid WD1 event_size " +
                                        std::to_string(event.event_size) +
                                        " at offset " + std::to_string(start) +
                                        ": smaller than the 24-byte header"));
  }
  const std::int32_t count = payload / 2;
  if (count > 0) {
    if (auto err = read_samples(stream_, static_cast<std::uint64_t>(count),
                                event.samples)) {
      return fail(std::move(*err));
    }
  }
  if (payload > 0 && payload % 2 != 0) {
    if (auto err = stream_.skip(1)) return fail(std::move(*err));
  }
  return event;
}

}  // namespace vorn
