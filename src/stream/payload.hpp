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

// Reads `count` little-endian samples of type T straight into `out`. The
// file's bytes land in the vector's memory; on little-endian hosts they
// already are the samples.
//
// `done` counts the payload bytes already in `out` (0 for a new event). When
// the read fails, `out` keeps what arrived and `done` says how much that is,
// so the same call made again once the file has grown completes the payload
// without reading anything twice. Only the call that completes it sets the
// size and decodes.
//
// The allocation follows what the file holds rather than what the header
// claims: a payload longer than the rest of the file is read as far as the
// file goes and ends as end of data, having allocated at most
// kPayloadGrowStep bytes more than it read. When the file already holds the
// whole payload, this is one allocation and one read.
template <class T>
[[nodiscard]] std::optional<ReadError> read_samples(EventStream& stream,
                                                    std::uint64_t count,
                                                    SampleVector<T>& out,
                                                    std::uint64_t& done) {
  const std::uint64_t total = count * sizeof(T);
  while (done < total) {
    const std::uint64_t left = total - done;
    const std::uint64_t known = stream.available(left);
    // Without a size to trust (a pipe), the buffer grows in fixed steps as
    // the bytes arrive.
    const std::uint64_t step =
        known == EventStream::kUnknown
            ? std::min(left, detail::kPayloadGrowStep)
            : std::min(left, std::max(known, detail::kPayloadGrowStep));
    // End every step on a whole sample so the buffer can be sized in
    // elements; a resumed payload may have stopped inside one.
    std::uint64_t target = done + step;
    target -= target % sizeof(T);
    if (target <= done) target = done - done % sizeof(T) + sizeof(T);
    if (!out.reserve(static_cast<std::size_t>(target / sizeof(T)))) {
      return ReadError::no_memory("cannot allocate " + std::to_string(target) +
                                  " bytes for the samples of an event");
    }
    std::size_t got = static_cast<std::size_t>(done);
    auto err =
        stream.read_into(out.bytes(), static_cast<std::size_t>(target), got);
    done = got;
    if (err) return err;
  }
  out.set_size(static_cast<std::size_t>(count));
  detail::from_little_endian(out.data(), out.size());
  return std::nullopt;
}

}  // namespace vorn
