#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "event_stream.hpp"
#include "read_error.hpp"
#include "sample_vector.hpp"

namespace vorn {

namespace detail {

// How far a payload buffer may run ahead of the bytes the file is known to
// hold. Bounds what a lying header can make us allocate to this much beyond
// what the file really delivers.
inline constexpr std::uint64_t kPayloadGrowStep = std::uint64_t{64} * 1024;

template <class T>
void from_little_endian(T* data, std::size_t count) noexcept {
  if constexpr (std::endian::native == std::endian::big) {
    auto* bytes = reinterpret_cast<unsigned char*>(data);
    for (std::size_t i = 0; i < count; ++i) {
      std::reverse(bytes + i * sizeof(T), bytes + (i + 1) * sizeof(T));
    }
  } else {
    (void)data;
    (void)count;
  }
}

}  // namespace detail

// Reads `count` little-endian samples of type T straight into `out`, which
// must be empty. The file's bytes land in the vector's memory; on
// little-endian hosts they already are the samples.
//
// The allocation follows what the file holds rather than what the header
// claims: a payload longer than the rest of the file is read as far as the
// file goes and ends as end of data, having allocated at most
// kPayloadGrowStep bytes more than it read. When the file already holds the
// whole payload, this is one allocation and one read.
template <class T>
[[nodiscard]] std::optional<ReadError> read_samples(EventStream& stream,
                                                    std::uint64_t count,
                                                    SampleVector<T>& out) {
  const std::uint64_t total = count * sizeof(T);
  std::uint64_t done = 0;
  while (done < total) {
    const std::uint64_t left = total - done;
    const std::uint64_t known = stream.available(left);
    // Without a size to trust (a pipe), the buffer grows in fixed steps as
    // the bytes arrive.
    std::uint64_t step =
        known == EventStream::kUnknown
            ? std::min(left, detail::kPayloadGrowStep)
            : std::min(left, std::max(known, detail::kPayloadGrowStep));
    // Keep every step a whole number of samples so the buffer can be sized
    // in elements.
    step = std::max<std::uint64_t>(step - step % sizeof(T), sizeof(T));
    if (!out.reserve(static_cast<std::size_t>((done + step) / sizeof(T)))) {
      return ReadError::no_memory("cannot allocate " +
                                  std::to_string(done + step) +
                                  " bytes for the samples of an event");
    }
    if (auto err = stream.read_exact(out.bytes() + done,
                                     static_cast<std::size_t>(step))) {
      return err;
    }
    done += step;
  }
  out.set_size(static_cast<std::size_t>(count));
  detail::from_little_endian(out.data(), out.size());
  return std::nullopt;
}

}  // namespace vorn
