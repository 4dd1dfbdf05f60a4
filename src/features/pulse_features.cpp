#include "features/pulse_features.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <limits>
#include <type_traits>

namespace vorn {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Searches test a block of samples with branch-free code the compiler turns
// into vector compares, and look at single samples only inside the block that
// holds the answer.
constexpr std::size_t kBlock = 32;

// The one formula for y; every comparison against y goes through it, so the
// shortcuts on integer samples below agree with it bit for bit.
inline double lift(double x, double base, double p) {
  return p * (x - base);
}

// --- uint16 -------------------------------------------------------------

struct RangeU16 {
  std::uint16_t lo;
  std::uint16_t hi;
};

RangeU16 sample_range(const std::uint16_t* x, std::size_t n) {
  std::uint16_t lo = 0xffff;
  std::uint16_t hi = 0;
  for (std::size_t i = 0; i < n; ++i) {
    lo = std::min(lo, x[i]);
    hi = std::max(hi, x[i]);
  }
  return {lo, hi};
}

std::uint64_t sample_sum(const std::uint16_t* x, std::size_t n) {
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

std::size_t find_equal(const std::uint16_t* x, std::size_t from, std::size_t n,
                       std::uint16_t value) {
  std::size_t i = from;
  for (; i + kBlock <= n; i += kBlock) {
    unsigned hit = 0;
    for (std::size_t k = 0; k < kBlock; ++k) hit |= x[i + k] == value;
    if (hit != 0) break;
  }
  for (; i < n; ++i) {
    if (x[i] == value) return i;
  }
  return n;
}

// y >= level as a compare of raw samples: y is monotonic in x, so the
// samples at or above the level are those on one side of a cut.
struct Cut {
  enum class Kind { kNone, kAll, kSome } kind;
  std::uint16_t at;  // kSome: above is x >= at (p = +1) or x <= at (p = -1)
};

Cut level_cut(double level, double base, double p) {
  if (std::isnan(level)) return {Cut::Kind::kNone, 0};
  auto above = [&](std::int32_t x) {
    return lift(static_cast<double>(x), base, p) >= level;
  };
  // Start from the exact answer's neighbour and step to it: lift() rounds,
  // so the estimate can be one off either way.
  if (p > 0) {
    // The least x with y >= level, 65536 when there is none.
    auto x = static_cast<std::int32_t>(
        std::clamp(std::ceil(level + base), 0.0, 65536.0));
    while (x > 0 && above(x - 1)) --x;
    while (x < 65536 && !above(x)) ++x;
    if (x == 65536) return {Cut::Kind::kNone, 0};
    if (x == 0) return {Cut::Kind::kAll, 0};
    return {Cut::Kind::kSome, static_cast<std::uint16_t>(x)};
  }
  // The greatest x with y >= level, -1 when there is none.
  auto x = static_cast<std::int32_t>(
      std::clamp(std::floor(base - level), -1.0, 65535.0));
  while (x < 65535 && above(x + 1)) ++x;
  while (x > -1 && !above(x)) --x;
  if (x == -1) return {Cut::Kind::kNone, 0};
  if (x == 65535) return {Cut::Kind::kAll, 0};
  return {Cut::Kind::kSome, static_cast<std::uint16_t>(x)};
}

// The first i in [from, n) with x[i-1] below and x[i] above; from >= 1.
template <class Above>
std::size_t find_rise(const std::uint16_t* x, std::size_t from, std::size_t n,
                      Above above) {
  std::size_t i = from;
  for (; i + kBlock <= n; i += kBlock) {
    unsigned hit = 0;
    for (std::size_t k = 0; k < kBlock; ++k) {
      hit |= static_cast<unsigned>(!above(x[i + k - 1])) &
             static_cast<unsigned>(above(x[i + k]));
    }
    if (hit != 0) break;
  }
  for (; i < n; ++i) {
    if (!above(x[i - 1]) && above(x[i])) return i;
  }
  return n;
}

std::size_t find_rise(const std::uint16_t* x, std::size_t from, std::size_t n,
                      const Cut& cut, double p) {
  if (cut.kind != Cut::Kind::kSome) return n;  // nothing below, or above
  const std::uint16_t at = cut.at;
  if (p > 0) {
    return find_rise(x, from, n, [at](std::uint16_t v) { return v >= at; });
  }
  return find_rise(x, from, n, [at](std::uint16_t v) { return v <= at; });
}

// The last j < peak below the cut, or `peak` when there is none.
std::size_t last_below(const std::uint16_t* x, std::size_t peak, const Cut& cut,
                       double p) {
  if (cut.kind == Cut::Kind::kAll) return peak;
  // kNone cannot happen: the peak itself is above.
  for (std::size_t j = peak; j-- > 0;) {
    if (p > 0 ? x[j] < cut.at : x[j] > cut.at) return j;
  }
  return peak;
}

// --- float32 ------------------------------------------------------------

struct RangeF32 {
  float lo;
  float hi;
};

RangeF32 sample_range(const float* x, std::size_t n) {
  // NaN fails both compares and is skipped.
  float lo = std::numeric_limits<float>::infinity();
  float hi = -lo;
  for (std::size_t i = 0; i < n; ++i) {
    lo = x[i] < lo ? x[i] : lo;
    hi = x[i] > hi ? x[i] : hi;
  }
  return {lo, hi};
}

// --- Both ---------------------------------------------------------------

template <class Sample>
bool is_saturated(Sample lo, Sample hi, std::size_t n,
                  const FeatureOptions& options) {
  // A float row of NaN alone has no range (lo > hi): no sample is at
  // anything, whatever the ADC maximum.
  if (n == 0 || !(lo <= hi)) return false;
  if (options.adc_max && static_cast<double>(hi) >= *options.adc_max) {
    return true;
  }
  if constexpr (std::is_same_v<Sample, std::uint16_t>) {
    return lo == 0 || hi == 0xffff;
  } else {
    return hi >= FLT_MAX || lo <= -FLT_MAX;
  }
}

double interpolate(std::size_t j, double y0, double y1, double level) {
  return static_cast<double>(j) + (level - y0) / (y1 - y0);
}

template <class Sample>
PulseFeatures features_of(const Sample* x, std::size_t n,
                          const FeatureOptions& options) {
  constexpr bool kU16 = std::is_same_v<Sample, std::uint16_t>;
  PulseFeatures f{kNaN, kNaN, kNaN, kNaN, kNaN, kNaN, -1, 0, false};
  const auto [lo, hi] = sample_range(x, n);
  f.saturated = is_saturated(lo, hi, n, options);

  const std::size_t b0 = std::min(options.baseline_begin, n);
  const std::size_t b1 = std::min(options.baseline_end, n);
  if (b1 <= b0) return f;
  const std::size_t m = b1 - b0;
  double sum = 0;
  if constexpr (kU16) {
    sum = static_cast<double>(sample_sum(x + b0, m));  // exact below 2^53
  } else {
    for (std::size_t i = b0; i < b1; ++i) sum += static_cast<double>(x[i]);
  }
  const double base = sum / static_cast<double>(m);
  if (!std::isfinite(base)) return f;
  // Two passes, in sample order: the deviations are small numbers even on a
  // large offset, and the order fixes the result.
  double squares = 0;
  for (std::size_t i = b0; i < b1; ++i) {
    const double d = static_cast<double>(x[i]) - base;
    squares += d * d;
  }
  const double rms = std::sqrt(squares / static_cast<double>(m));

  const double dlo = static_cast<double>(lo);
  const double dhi = static_cast<double>(hi);
  double p = static_cast<double>(options.polarity);
  if (options.polarity == Polarity::kAuto) {
    p = dhi - base >= base - dlo ? 1.0 : -1.0;
  }
  const double amplitude = lift(p > 0 ? dhi : dlo, base, p);

  std::size_t peak = n;
  if constexpr (kU16) {
    // Distinct integers stay distinct through lift(), so the first sample
    // equal to the extreme is the first index of the maximum of y.
    peak = find_equal(x, 0, n, p > 0 ? hi : lo);
  } else {
    for (std::size_t i = 0; i < n; ++i) {
      if (lift(static_cast<double>(x[i]), base, p) == amplitude) {
        peak = i;
        break;
      }
    }
  }

  std::size_t w0 = 0, w1 = 0;
  if (options.charge_window == ChargeWindow::kFixed) {
    w0 = std::min(options.charge_begin, n);
    w1 = std::max(w0, std::min(options.charge_end, n));
  } else {
    w0 = peak - std::min(options.charge_begin, peak);
    w1 = n - peak <= options.charge_end ? n : peak + options.charge_end;
  }
  double charge = 0;
  if constexpr (kU16) {
    const double raw = static_cast<double>(sample_sum(x + w0, w1 - w0));
    charge = p * (raw - static_cast<double>(w1 - w0) * base);
  } else {
    double acc[4] = {0, 0, 0, 0};
    std::size_t i = w0;
    for (; i + 4 <= w1; i += 4) {
      for (std::size_t k = 0; k < 4; ++k) {
        acc[k] += static_cast<double>(x[i + k]) - base;
      }
    }
    for (; i < w1; ++i) acc[0] += static_cast<double>(x[i]) - base;
    charge = p * ((acc[0] + acc[1]) + (acc[2] + acc[3]));
  }

  const double threshold =
      options.threshold_in_rms ? options.threshold * rms : options.threshold;
  const std::size_t start = std::max<std::size_t>(b1, 1);
  double threshold_time = kNaN;
  auto y = [&](std::size_t i) {
    return lift(static_cast<double>(x[i]), base, p);
  };
  if constexpr (kU16) {
    const std::size_t i =
        find_rise(x, start, n, level_cut(threshold, base, p), p);
    if (i < n) threshold_time = interpolate(i - 1, y(i - 1), y(i), threshold);
  } else {
    for (std::size_t i = start; i < n; ++i) {
      const double y0 = y(i - 1);
      const double y1 = y(i);
      if (y0 < threshold && threshold <= y1) {
        threshold_time = interpolate(i - 1, y0, y1, threshold);
        break;
      }
    }
  }

  double cfd_time = kNaN;
  if (amplitude > 0) {
    const double level = options.cfd_fraction * amplitude;
    std::size_t j = peak;
    if constexpr (kU16) {
      j = last_below(x, peak, level_cut(level, base, p), p);
    } else {
      for (std::size_t k = peak; k-- > 0;) {
        if (y(k) < level) {
          j = k;
          break;
        }
      }
    }
    if (j < peak) cfd_time = interpolate(j, y(j), y(j + 1), level);
  }

  f.baseline = base;
  f.baseline_rms = rms;
  f.amplitude = amplitude;
  f.charge = charge;
  f.threshold_time = threshold_time;
  f.cfd_time = cfd_time;
  f.peak_index = static_cast<std::int64_t>(peak);
  f.polarity = static_cast<std::int8_t>(p);
  return f;
}

void store(const FeatureColumns& out, std::size_t r, const PulseFeatures& f) {
  out.baseline[r] = f.baseline;
  out.baseline_rms[r] = f.baseline_rms;
  out.amplitude[r] = f.amplitude;
  out.charge[r] = f.charge;
  out.threshold_time[r] = f.threshold_time;
  out.cfd_time[r] = f.cfd_time;
  out.peak_index[r] = f.peak_index;
  out.polarity[r] = f.polarity;
  out.saturated[r] = f.saturated ? 1 : 0;
}

std::string format(const char* pattern, auto... args) {
  char text[200];
  std::snprintf(text, sizeof text, pattern, args...);
  return text;
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

// The options of row r: its own polarity, when rows have one each.
template <class Sample>
PulseFeatures row_features(const Sample* x, std::size_t n, std::size_t r,
                           const FeatureOptions& options) {
  if (options.row_polarity == nullptr) return features_of(x, n, options);
  FeatureOptions own = options;
  own.polarity = static_cast<Polarity>(options.row_polarity[r]);
  return features_of(x, n, own);
}

template <class Sample>
void uniform_rows(const Sample* samples, std::size_t rows, std::size_t length,
                  const FeatureOptions& options, const FeatureColumns& out) {
  for (std::size_t r = 0; r < rows; ++r) {
    if (r + 1 < rows) prefetch_row(samples + (r + 1) * length, length);
    store(out, r, row_features(samples + r * length, length, r, options));
  }
}

template <class Sample>
void ragged_rows(const Sample* samples, const std::uint64_t* offsets,
                 std::size_t rows, const FeatureOptions& options,
                 const FeatureColumns& out) {
  for (std::size_t r = 0; r < rows; ++r) {
    if (r + 1 < rows) {
      prefetch_row(samples + offsets[r + 1], offsets[r + 2] - offsets[r + 1]);
    }
    store(out, r,
          row_features(samples + offsets[r], offsets[r + 1] - offsets[r], r,
                       options));
  }
}

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

VORN_CLONES void uniform_u16(const std::uint16_t* samples, std::size_t rows,
                             std::size_t length, const FeatureOptions& options,
                             const FeatureColumns& out) {
  uniform_rows(samples, rows, length, options, out);
}

VORN_CLONES void uniform_f32(const float* samples, std::size_t rows,
                             std::size_t length, const FeatureOptions& options,
                             const FeatureColumns& out) {
  uniform_rows(samples, rows, length, options, out);
}

VORN_CLONES void ragged_u16(const std::uint16_t* samples,
                            const std::uint64_t* offsets, std::size_t rows,
                            const FeatureOptions& options,
                            const FeatureColumns& out) {
  ragged_rows(samples, offsets, rows, options, out);
}

VORN_CLONES void ragged_f32(const float* samples, const std::uint64_t* offsets,
                            std::size_t rows, const FeatureOptions& options,
                            const FeatureColumns& out) {
  ragged_rows(samples, offsets, rows, options, out);
}

}  // namespace

std::optional<std::string> check_options(const FeatureOptions& options) {
  if (options.baseline_begin >= options.baseline_end) {
    return format("the baseline window [%zu, %zu) is empty",
                  options.baseline_begin, options.baseline_end);
  }
  if (options.charge_window == ChargeWindow::kFixed &&
      options.charge_begin > options.charge_end) {
    return format("the charge window [%zu, %zu) ends before it begins",
                  options.charge_begin, options.charge_end);
  }
  if (!(options.cfd_fraction > 0 && options.cfd_fraction <= 1)) {
    return format("cfd_fraction must lie in (0, 1], not %g",
                  options.cfd_fraction);
  }
  return std::nullopt;
}

std::optional<std::string> check_windows(const FeatureOptions& options,
                                         std::size_t samples) {
  if (std::min(options.baseline_end, samples) <= options.baseline_begin) {
    return format(
        "the baseline window [%zu, %zu) is empty in waveforms of %zu samples",
        options.baseline_begin, options.baseline_end, samples);
  }
  if (options.charge_window == ChargeWindow::kFixed &&
      options.charge_end > samples) {
    return format(
        "the charge window [%zu, %zu) reaches past the end of waveforms of "
        "%zu samples",
        options.charge_begin, options.charge_end, samples);
  }
  return std::nullopt;
}

template <class Sample>
PulseFeatures pulse_features(std::span<const Sample> samples,
                             const FeatureOptions& options) noexcept {
  return features_of(samples.data(), samples.size(), options);
}

template <class Sample>
void pulse_features(const Sample* samples, std::size_t rows, std::size_t length,
                    const FeatureOptions& options,
                    const FeatureColumns& out) noexcept {
  if constexpr (std::is_same_v<Sample, std::uint16_t>) {
    uniform_u16(samples, rows, length, options, out);
  } else {
    uniform_f32(samples, rows, length, options, out);
  }
}

template <class Sample>
void pulse_features(const Sample* samples, const std::uint64_t* offsets,
                    std::size_t rows, const FeatureOptions& options,
                    const FeatureColumns& out) noexcept {
  if constexpr (std::is_same_v<Sample, std::uint16_t>) {
    ragged_u16(samples, offsets, rows, options, out);
  } else {
    ragged_f32(samples, offsets, rows, options, out);
  }
}

template PulseFeatures pulse_features(std::span<const std::uint16_t>,
                                      const FeatureOptions&) noexcept;
template PulseFeatures pulse_features(std::span<const float>,
                                      const FeatureOptions&) noexcept;
template void pulse_features(const std::uint16_t*, std::size_t, std::size_t,
                             const FeatureOptions&,
                             const FeatureColumns&) noexcept;
template void pulse_features(const float*, std::size_t, std::size_t,
                             const FeatureOptions&,
                             const FeatureColumns&) noexcept;
template void pulse_features(const std::uint16_t*, const std::uint64_t*,
                             std::size_t, const FeatureOptions&,
                             const FeatureColumns&) noexcept;
template void pulse_features(const float*, const std::uint64_t*, std::size_t,
                             const FeatureOptions&,
                             const FeatureColumns&) noexcept;

}  // namespace vorn
