// What the feature kernel and the pulse finder share: the formula for y,
// the exact sums of uint16 samples, the baseline of float rows, the walk
// over uniform and ragged rows and the AVX2 copies of the loops. Internal
// to src/features.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>

namespace vorn::detail {

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The one formula for y; every comparison against y goes through it, so the
// shortcuts on raw samples agree with it bit for bit.
inline double lift(double x, double base, double p) {
  return p * (x - base);
}

// j plus where `level` lies between y0 at j and y1 at j + 1.
inline double interpolate(std::size_t j, double y0, double y1, double level) {
  return static_cast<double>(j) + (level - y0) / (y1 - y0);
}

inline std::uint64_t sample_sum(const std::uint16_t* x, std::size_t n) {
  // 65536 samples of at most 65535 fit a uint32, which keeps the vector
  // lanes narrow.
  std::uint64_t total = 0;
  while (n != 0) {
    const std::size_t m = std::min<std::size_t>(n, 65536);
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < m; ++i) sum += x[i];
    total += sum;
    x += m;
    n -= m;
  }
  return total;
}

// m * sum(x^2) - sum(x)^2 over m samples whose sum is `sum`: m^2 times their
// variance, an exact integer (>= 0 by Cauchy-Schwarz), so that the variance
// rounds once and the sums vectorize. Each caller rounds it its own way.
inline unsigned __int128 spread_of(const std::uint16_t* x, std::size_t m,
                                   std::uint64_t sum) {
  unsigned __int128 squares = 0;
  for (std::size_t at = 0; at < m; at += 65536) {
    // 65536 squares below 2^32 each fit a uint64.
    const std::size_t end = std::min(m, at + 65536);
    std::uint64_t part = 0;
    for (std::size_t i = at; i < end; ++i) part += std::uint64_t{x[i]} * x[i];
    squares += part;
  }
  return squares * m - static_cast<unsigned __int128>(sum) * sum;
}

struct FloatBaseline {
  double mean;
  double rms;  // 0 unless the mean is finite
};

// The mean of m >= 1 float samples and their RMS about it, in two passes in
// sample order: the deviations are small numbers even on a large offset,
// and the order fixes the result. A NaN or infinite sample leaves the mean
// not finite.
inline FloatBaseline float_baseline(const float* x, std::size_t m) {
  double sum = 0;
  for (std::size_t i = 0; i < m; ++i) sum += static_cast<double>(x[i]);
  const double mean = sum / static_cast<double>(m);
  if (!std::isfinite(mean)) return {mean, 0};
  double squares = 0;
  for (std::size_t i = 0; i < m; ++i) {
    const double d = static_cast<double>(x[i]) - mean;
    squares += d * d;
  }
  return {mean, std::sqrt(squares / static_cast<double>(m))};
}

// The next row's first bytes are requested while this row is computed:
// the passes over one short row are quick enough that the hardware
// prefetcher alone leaves each row's first pass waiting for memory.
template <class Sample>
void prefetch_row(const Sample* row, std::size_t length) {
  const auto* bytes = reinterpret_cast<const char*>(row);
  const std::size_t size = std::min<std::size_t>(length * sizeof(Sample), 4096);
  for (std::size_t at = 0; at < size; at += 64) __builtin_prefetch(bytes + at);
}

// f(x, n, r) for each row r of `rows` rows of `length` samples.
template <class Sample, class F>
void each_row(const Sample* samples, std::size_t rows, std::size_t length,
              F f) {
  for (std::size_t r = 0; r < rows; ++r) {
    if (r + 1 < rows) prefetch_row(samples + (r + 1) * length, length);
    f(samples + r * length, length, r);
  }
}

// f(x, n, r) for each row r = samples[offsets[r], offsets[r + 1]).
template <class Sample, class F>
void each_row(const Sample* samples, const std::uint64_t* offsets,
              std::size_t rows, F f) {
  for (std::size_t r = 0; r < rows; ++r) {
    if (r + 1 < rows) {
      prefetch_row(samples + offsets[r + 1], offsets[r + 2] - offsets[r + 1]);
    }
    f(samples + offsets[r], offsets[r + 1] - offsets[r], r);
  }
}

std::string format(const char* pattern, auto... args) {
  char text[200];
  std::snprintf(text, sizeof text, pattern, args...);
  return text;
}

}  // namespace vorn::detail

// The baseline x86-64 instruction set compares 16-bit lanes as signed only,
// so unsigned minima, maxima and compares take several instructions each;
// an AVX2 copy of the loops, picked when the CPU loads the library, does
// them in one. Sanitizer builds keep one copy: their runtime is not ready
// when the loader resolves the choice.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && \
    !defined(__SANITIZE_ADDRESS__)
#define VORN_CLONES __attribute__((target_clones("avx2", "default"), flatten))
#else
#define VORN_CLONES
#endif
