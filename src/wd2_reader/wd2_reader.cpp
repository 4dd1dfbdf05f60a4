#include "wd2_reader.hpp"

#include <array>
#include <limits>
#include <string>
#include <utility>

#include "../stream/le.hpp"
#include "../stream/payload.hpp"

namespace vorn {
namespace {

struct Header {
  std::uint32_t event_counter = 0;
  std::uint64_t timestamp = 0;
  std::uint32_t samples = 0;
  std::uint64_t sampling_period = 0;
};

std::optional<ReadError> read_header(EventStream& stream, Header& h) {
  std::array<std::byte, WD2Reader::kBaseHeaderSize> raw;
  if (auto err = stream.read_exact(raw.data(), raw.size())) return err;
  h.event_counter = detail::load_le32(raw.data());
  h.timestamp = detail::load_le64(raw.data() + 4);
  h.samples = detail::load_le32(raw.data() + 12);
  h.sampling_period = detail::load_le64(raw.data() + 16);
  return std::nullopt;
}

std::optional<ReadError> read_channels(EventStream& stream, std::int32_t& out) {
  std::uint32_t word = 0;
  if (auto err = stream.read_u32(word)) return err;
  out = static_cast<std::int32_t>(word);
  return std::nullopt;
}

// Skips a first event's payload during detection. A length past what the file
// holds ends at once instead of reading the whole file to find out, which is
// what a file without the channels word would otherwise cost.
std::optional<ReadError> skip_payload(EventStream& stream,
                                      std::uint64_t length) {
  const std::uint64_t known = stream.available(length);
  if (known != EventStream::kUnknown && known < length) {
    return ReadError::end_of_data();
  }
  return stream.skip(length);
}

ReadError bad_length(std::uint64_t offset, std::uint32_t samples,
                     std::int32_t channels) {
  return ReadError::invalid_data("invalid WD2 payload length at offset " +
                                 std::to_string(offset) + ": samples " +
                                 std::to_string(samples) + " times channels " +
                                 std::to_string(channels));
}

// The one-channel reading of a file whose first event could not be read with
// a channels word: the first event without the word, then the next header,
// which must repeat samples and sampling_period. Counters may skip. Sets
// `single` to the verdict; a system error interrupting the check comes back
// as it is, since it says nothing about the layout.
std::optional<ReadError> check_single_channel(EventStream& stream,
                                              bool& single) {
  single = false;
  auto os_error = [](std::optional<ReadError> err) {
    return err && err->kind == ReadError::Kind::kOs ? err : std::nullopt;
  };
  Header first;
  Header second;
  if (auto err = stream.rewind()) return err;
  if (auto err = read_header(stream, first)) return os_error(std::move(err));
  // One channel: the length always fits.
  const std::uint64_t length = std::uint64_t{first.samples} * sizeof(float);
  if (auto err = skip_payload(stream, length)) return os_error(std::move(err));
  if (auto err = read_header(stream, second)) return os_error(std::move(err));
  single = second.samples == first.samples &&
           second.sampling_period == first.sampling_period;
  return std::nullopt;
}

}  // namespace

std::optional<std::uint64_t> WD2Reader::payload_bytes(std::uint32_t samples,
                                                      std::int32_t channels) {
  if (samples == 0 || channels == 0) return 0;
  if (channels < 0) return std::nullopt;
  // samples * channels < 2^63, so only the final factor can overflow.
  const std::uint64_t values =
      std::uint64_t{samples} * static_cast<std::uint64_t>(channels);
  if (values > std::numeric_limits<std::uint64_t>::max() / 8) {
    return std::nullopt;
  }
  return values * 4;
}

std::variant<WD2Reader, ReadError> WD2Reader::create(EventStream stream) {
  Header first;
  std::int32_t first_channels = 0;
  if (auto err = read_header(stream, first)) return std::move(*err);
  if (auto err = read_channels(stream, first_channels)) return std::move(*err);

  std::optional<ReadError> first_failure;
  if (auto length = payload_bytes(first.samples, first_channels)) {
    first_failure = skip_payload(stream, *length);
  } else {
    first_failure = bad_length(0, first.samples, first_channels);
  }

  std::int32_t channels = 1;
  bool channel_word = false;
  if (first_failure) {
    // A file without the channels word has its first sample where the word
    // would be; read as a count it usually gives an absurd payload.
    if (first_failure->kind == ReadError::Kind::kOs) {
      return std::move(*first_failure);
    }
    bool single = false;
    if (auto err = check_single_channel(stream, single)) return std::move(*err);
    if (!single) return std::move(*first_failure);
  } else {
    Header second;
    std::int32_t second_channels = 0;
    if (auto err = read_header(stream, second)) return std::move(*err);
    if (auto err = read_channels(stream, second_channels)) {
      return std::move(*err);
    }
    if (second.event_counter == first.event_counter + 1 &&
        second.samples == first.samples &&
        second.sampling_period == first.sampling_period &&
        second_channels == first_channels) {
      channels = first_channels;
      channel_word = true;
    }
  }
  if (auto err = stream.rewind()) return std::move(*err);
  return WD2Reader(std::move(stream), channels, channel_word);
}

ReadOutcome<WD2Event> WD2Reader::next() {
  const std::size_t header_size = kBaseHeaderSize + (channel_word_ ? 4 : 0);
  if (header_got_ < header_size) {
    if (auto err =
            stream_.read_into(header_.data(), header_size, header_got_)) {
      return std::move(*err);
    }
    event_.event_counter = detail::load_le32(header_.data());
    event_.timestamp = detail::load_le64(header_.data() + 4);
    event_.samples = detail::load_le32(header_.data() + 12);
    event_.sampling_period = detail::load_le64(header_.data() + 16);
    event_.channels =
        channel_word_ ? static_cast<std::int32_t>(
                            detail::load_le32(header_.data() + kBaseHeaderSize))
                      : channels_;
    payload_got_ = 0;
  }
  const auto length = payload_bytes(event_.samples, channels_);
  if (!length) {
    header_got_ = 0;
    return bad_length(stream_.position() - header_size, event_.samples,
                      channels_);
  }
  if (auto err = read_samples(stream_, *length / sizeof(float), event_.data,
                              payload_got_)) {
    return std::move(*err);
  }
  header_got_ = 0;
  return std::exchange(event_, WD2Event{});
}

}  // namespace vorn
