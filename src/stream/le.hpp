#pragma once

#include <cstddef>
#include <cstdint>

namespace vorn::detail {

// Little-endian decoding of header words from raw bytes, independent of the
// host's byte order.
inline std::uint32_t load_le32(const std::byte* p) noexcept {
  return static_cast<std::uint32_t>(p[0]) |
         static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 |
         static_cast<std::uint32_t>(p[3]) << 24;
}

inline std::uint64_t load_le64(const std::byte* p) noexcept {
  return static_cast<std::uint64_t>(load_le32(p)) |
         static_cast<std::uint64_t>(load_le32(p + 4)) << 32;
}

}  // namespace vorn::detail
