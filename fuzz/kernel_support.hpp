// What the feature and pulse fuzz targets share: the header's float fields,
// equality that counts NaN as equal to NaN, and the samples after the
// header cut into rows.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace vorn_fuzz {

inline float f32_at(const std::uint8_t* p) {
  float value;
  std::memcpy(&value, p, 4);
  return value;
}

inline bool same(double a, double b) {
  return (std::isnan(a) && std::isnan(b)) || a == b;
}

// The whole samples of `size` bytes, as rows of `split` samples and a
// shorter last one (one row for a split of 0).
template <class Sample>
struct Rows {
  std::vector<Sample> x;
  std::vector<std::uint64_t> offsets;  // rows + 1 entries
  std::size_t rows;
};

template <class Sample>
Rows<Sample> rows_of(const std::uint8_t* data, std::size_t size,
                     std::size_t split) {
  Rows<Sample> out{std::vector<Sample>(size / sizeof(Sample)), {0}, 0};
  std::vector<Sample>& x = out.x;
  if (!x.empty()) std::memcpy(x.data(), data, x.size() * sizeof(Sample));
  if (split != 0) {
    for (std::size_t at = split; at < x.size(); at += split) {
      out.offsets.push_back(at);
    }
  }
  out.offsets.push_back(x.size());
  out.rows = out.offsets.size() - 1;
  return out;
}

}  // namespace vorn_fuzz
