#include "features/pulse_finder.hpp"

#include <algorithm>
#include <cmath>
#include <type_traits>

#include "features/row_support.hpp"

namespace vorn {
namespace {

using detail::each_row;
using detail::format;
using detail::interpolate;
using detail::kNaN;
using detail::lift;
using detail::sample_sum;

// Searches test a block of samples with branch-free code the compiler turns
// into vector compares; most of a waveform is baseline, seen only here.
// (A block of 16 would shorten the rescan of the block that holds the
// answer, but the compiler then unrolls it and no longer vectorizes.)
constexpr std::size_t kBlock = 32;

// --- Predicates on raw samples --------------------------------------------

// uint16 samples v with lo <= v <= lo + span, tested with one wrapping
// subtraction and one compare. `empty` holds no sample at all; the test
// does not look at it, to stay two vector instructions, so an empty band
// must never be searched for.
struct Band {
  std::uint16_t lo = 0;
  std::uint16_t span = 0xffff;
  bool empty = false;

  bool operator()(std::uint16_t v) const {
    return static_cast<std::uint16_t>(v - lo) <= span;
  }
  bool all() const { return !empty && lo == 0 && span == 0xffff; }
};

Band band(std::uint16_t lo, std::uint16_t hi) {
  return {lo, static_cast<std::uint16_t>(hi - lo), false};
}

// The samples whose y is at least `level`: y is monotonic in x, so they lie
// on one side of a cut.
Band at_least(double level, double base, double p) {
  if (std::isnan(level)) return {0, 0, true};
  auto above = [&](std::int32_t x) {
    return lift(static_cast<double>(x), base, p) >= level;
  };
  // Start from the exact answer's neighbour and step to it: lift() rounds,
  // so the estimate can be one off either way.
  if (p > 0) {
    auto x = static_cast<std::int32_t>(
        std::clamp(std::ceil(level + base), 0.0, 65536.0));
    while (x > 0 && above(x - 1)) --x;
    while (x < 65536 && !above(x)) ++x;
    if (x == 65536) return {0, 0, true};
    return band(static_cast<std::uint16_t>(x), 0xffff);
  }
  auto x = static_cast<std::int32_t>(
      std::clamp(std::floor(base - level), -1.0, 65535.0));
  while (x < 65535 && above(x + 1)) ++x;
  while (x > -1 && !above(x)) --x;
  if (x == -1) return {0, 0, true};
  return band(0, static_cast<std::uint16_t>(x));
}

// The other samples. Bands from at_least() touch 0 or 65535, so the rest is
// one band too.
Band complement(const Band& b) {
  if (b.empty) return band(0, 0xffff);
  if (b.all()) return {0, 0, true};
  if (b.lo == 0) return band(static_cast<std::uint16_t>(b.span + 1), 0xffff);
  return band(0, static_cast<std::uint16_t>(b.lo - 1));
}

// The samples whose y is below `level`; none below NaN.
Band below_level(double level, double base, double p) {
  if (std::isnan(level)) return {0, 0, true};
  return complement(at_least(level, base, p));
}

// float32: the comparisons of the definitions, on y itself, so that a NaN
// sample is neither below nor above anything.
struct AtLeast {
  double base, p, level;
  bool operator()(float v) const {
    return lift(static_cast<double>(v), base, p) >= level;
  }
};
struct Below {
  double base, p, level;
  bool operator()(float v) const {
    return lift(static_cast<double>(v), base, p) < level;
  }
};

bool is_empty(const Band& band) {
  return band.empty;
}
bool is_empty(const Below&) {
  return false;
}

// --- Searches -----------------------------------------------------------

// The first i in [from, n) where at(i) holds, or n. A block that holds the
// answer gives its first index as a minimum over its lanes, which
// vectorizes where a loop that stops at the hit would not: pulses end many
// searches, so this is as hot as the blocks of baseline before it.
template <class At>
std::size_t first_where(std::size_t from, std::size_t n, At at) {
  std::size_t i = from;
  for (; i + kBlock <= n; i += kBlock) {
    unsigned hit = 0;
    for (std::size_t k = 0; k < kBlock; ++k) {
      hit |= static_cast<unsigned>(at(i + k));
    }
    if (hit != 0) {
      std::uint16_t first = kBlock;
      for (std::uint16_t k = 0; k < kBlock; ++k) {
        const std::uint16_t lane = at(i + k) ? k : std::uint16_t{kBlock};
        first = lane < first ? lane : first;
      }
      return i + first;
    }
  }
  for (; i < n; ++i) {
    if (at(i)) return i;
  }
  return n;
}

// The last i in [from, to) where at(i) holds, or `to`; blocks from the end.
template <class At>
std::size_t last_where(std::size_t from, std::size_t to, At at) {
  std::size_t i = to;
  while (i - from >= kBlock) {
    i -= kBlock;
    unsigned hit = 0;
    for (std::size_t k = 0; k < kBlock; ++k) {
      hit |= static_cast<unsigned>(at(i + k));
    }
    if (hit != 0) {
      std::uint16_t after = 0;  // one past the block's last hit
      for (std::uint16_t k = 0; k < kBlock; ++k) {
        const std::uint16_t lane =
            at(i + k) ? static_cast<std::uint16_t>(k + 1) : std::uint16_t{0};
        after = lane > after ? lane : after;
      }
      return i + after - 1;
    }
  }
  while (i > from) {
    --i;
    if (at(i)) return i;
  }
  return to;
}

// The first i in [from, n) with in(x[i]), or n.
template <class Sample, class In>
std::size_t find_first(const Sample* x, std::size_t from, std::size_t n,
                       In in) {
  return first_where(from, n, [x, in](std::size_t i) { return in(x[i]); });
}

// The first i in [from, n), from >= 1, with below(x[i-1]) and above(x[i]).
template <class Sample, class Lo, class Hi>
std::size_t find_rise(const Sample* x, std::size_t from, std::size_t n,
                      Lo below, Hi above) {
  return first_where(from, n, [x, below, above](std::size_t i) {
    return static_cast<bool>(static_cast<unsigned>(below(x[i - 1])) &
                             static_cast<unsigned>(above(x[i])));
  });
}

// The last i in [from, to) with in(x[i]), or `to`.
template <class Sample, class In>
std::size_t find_last(const Sample* x, std::size_t from, std::size_t to,
                      In in) {
  return last_where(from, to, [x, in](std::size_t i) { return in(x[i]); });
}

// Extremes of n >= 1 samples, written so that they vectorize.
std::uint16_t highest(const std::uint16_t* x, std::size_t n) {
  std::uint16_t hi = 0;
  for (std::size_t i = 0; i < n; ++i) hi = x[i] > hi ? x[i] : hi;
  return hi;
}
std::uint16_t lowest(const std::uint16_t* x, std::size_t n) {
  std::uint16_t lo = 0xffff;
  for (std::size_t i = 0; i < n; ++i) lo = x[i] < lo ? x[i] : lo;
  return lo;
}

// --- One waveform ---------------------------------------------------------

struct Levels {
  double base, p, threshold, rearm;
};

template <class Sample>
struct Finder {
  const Sample* x;
  std::size_t n;
  const PulseOptions& o;
  Levels lv;

  double y(std::size_t i) const {
    return lift(static_cast<double>(x[i]), lv.base, lv.p);
  }

  // The samples with y below `level`, as a predicate on raw samples.
  auto below(double level) const {
    if constexpr (std::is_same_v<Sample, std::uint16_t>) {
      return below_level(level, lv.base, lv.p);
    } else {
      return Below{lv.base, lv.p, level};
    }
  }

  // Crossings and their ends, merged by the separation, each pulse
  // measured as it closes.
  template <class BelowT, class AboveT, class BelowR>
  void scan(BelowT below_t, AboveT above_t, BelowR below_r, bool can_rearm,
            std::int64_t row, std::vector<Pulse>& out) const {
    auto end_of = [&](std::size_t at) {
      return can_rearm ? find_first(x, at + 1, n, below_r) : n;
    };
    // The first crossing from `from`, when x[from-1] is below T. uint16
    // samples are either below or above, so the first one above is a
    // crossing, a search of one compare a sample instead of two.
    auto crossing_from = [&](std::size_t from) {
      if constexpr (std::is_same_v<Sample, std::uint16_t>) {
        return find_first(x, from, n, above_t);
      } else {
        return find_rise(x, from, n, below_t, above_t);
      }
    };
    // x[end] is below R <= T.
    auto next_after = [&](std::size_t end) {
      return end + 1 < n ? crossing_from(end + 1) : n;
    };
    std::size_t previous_end = 0;
    std::int32_t count = 0;
    std::size_t i = n;
    if (n > 1) {
      const std::size_t low = below_t(x[0]) ? 0 : find_first(x, 1, n, below_t);
      i = next_after(low);
    }
    while (i < n) {
      std::size_t e = end_of(i);
      std::size_t next = next_after(e);
      while (next < n && next - i < o.separation) {
        e = end_of(next);
        next = next_after(e);
      }
      // Pulses on the tail of this one split it: the slope trigger's
      // search goes on from `k`, armed once the open pulse stopped rising.
      std::size_t first = i;
      double start = interpolate(i - 1, y(i - 1), y(i), lv.threshold);
      std::size_t k = std::max(i + 1, o.slope_span);
      bool armed = false;
      while (true) {
        std::size_t end = e;
        double next_start = 0;
        if (o.slope) {
          const double s = *o.slope;
          const std::size_t span = o.slope_span;
          for (; k < e; ++k) {
            const double d = y(k) - y(k - span);
            if (!armed) {
              armed = d <= 0;
              continue;
            }
            if (!(d >= s)) continue;
            armed = false;
            if (k - first < o.separation) continue;
            end = k;
            next_start = interpolate(k - 1, y(k - 1) - y(k - 1 - span), d, s);
            break;
          }
        }
        const bool cut = end < e;
        out.push_back(
            measure(first, start, end, cut, previous_end, above_t, row, count));
        ++count;
        previous_end = end;
        if (!cut) break;
        first = end;
        start = next_start;
        ++k;
      }
      i = next;
    }
  }

  // The pulse [i, e) starting at `start`; `cut` when a pile-up ends it.
  template <class AboveT>
  Pulse measure(std::size_t i, double start, std::size_t e, bool cut,
                std::size_t previous_end, AboveT above_t, std::int64_t row,
                std::int32_t count) const {
    constexpr bool kU16 = std::is_same_v<Sample, std::uint16_t>;
    const double t = lv.threshold;
    Pulse pulse{row, count, kNaN, -1, kNaN, kNaN, kNaN, kNaN};
    pulse.start_time = start;

    std::size_t peak = i;
    if constexpr (kU16) {
      // Distinct integers stay distinct through lift(): the first sample at
      // the raw extreme is the first index of the maximum of y.
      const std::uint16_t extreme =
          lv.p > 0 ? highest(x + i, e - i) : lowest(x + i, e - i);
      peak = find_first(x, i, e,
                        [extreme](std::uint16_t v) { return v == extreme; });
    } else {
      double best = y(i);
      for (std::size_t k = i + 1; k < e; ++k) {
        if (y(k) > best) {
          best = y(k);
          peak = k;
        }
      }
    }
    const double amplitude = y(peak);
    pulse.peak_index = static_cast<std::int64_t>(peak);
    pulse.amplitude = amplitude;

    const std::size_t w0 = i - std::min(o.charge_before, i);
    const std::size_t w1 = n - e <= o.charge_after ? n : e + o.charge_after;
    if constexpr (kU16) {
      const std::uint64_t raw = sample_sum(x + w0, w1 - w0);
      pulse.charge = lv.p * (static_cast<double>(raw) -
                             static_cast<double>(w1 - w0) * lv.base);
    } else {
      double sum = 0;
      for (std::size_t k = w0; k < w1; ++k) {
        sum += static_cast<double>(x[k]) - lv.base;
      }
      pulse.charge = lv.p * sum;
    }

    // A pulse started by a crossing has a sample above T; one started by
    // the slope trigger may not.
    const std::size_t m = find_last(x, i, e, above_t);
    if (!cut && m < e && m + 1 < n) {
      const double ym = y(m);
      const double fall = static_cast<double>(m) + (ym - t) / (ym - y(m + 1));
      pulse.time_over_threshold = fall - start;
    }

    if (amplitude > 0) {
      const double half = amplitude / 2;
      const auto below_half = below(half);
      const bool none = is_empty(below_half);
      const std::size_t j =
          none ? peak : find_last(x, previous_end, peak, below_half);
      const std::size_t k = none ? n : find_first(x, peak + 1, n, below_half);
      if (j < peak && k < n) {
        const double rise = interpolate(j, y(j), y(j + 1), half);
        const double yk = y(k - 1);
        const double fall =
            static_cast<double>(k - 1) + (yk - half) / (yk - y(k));
        pulse.fwhm = fall - rise;
      }
    }
    return pulse;
  }
};

// The levels of one waveform; the RMS only when asked for (else 0).
template <class Sample>
std::optional<PulseLevels> levels_of(const Sample* x, std::size_t n,
                                     const PulseOptions& o, bool need_rms) {
  constexpr bool kU16 = std::is_same_v<Sample, std::uint16_t>;
  const std::size_t b0 = std::min(o.baseline_begin, n);
  const std::size_t b1 = std::min(o.baseline_end, n);
  if (b1 <= b0) return std::nullopt;
  const std::size_t m = b1 - b0;
  double base = 0;
  double rms = 0;
  if constexpr (kU16) {
    // Exact integer sums, with no rounding before the end and no dependency
    // chain of floating-point additions.
    const std::uint64_t sum = sample_sum(x + b0, m);
    base = static_cast<double>(sum) / static_cast<double>(m);
    if (need_rms) {
      // The square root of the exact spread, divided by m (the feature
      // kernel rounds the variance instead).
      rms = std::sqrt(static_cast<double>(detail::spread_of(x + b0, m, sum))) /
            static_cast<double>(m);
    }
  } else {
    const detail::FloatBaseline baseline = detail::float_baseline(x + b0, m);
    if (!std::isfinite(baseline.mean)) return std::nullopt;
    base = baseline.mean;
    rms = baseline.rms;
  }
  const double t = o.threshold_in_rms ? o.threshold * rms : o.threshold;
  const double h = o.hysteresis_in_rms ? o.hysteresis * rms : o.hysteresis;
  return PulseLevels{base, rms, t, t - h};
}

template <class Sample>
void pulses_of(const Sample* x, std::size_t n, const PulseOptions& o,
               std::int64_t row, std::vector<Pulse>& out) {
  constexpr bool kU16 = std::is_same_v<Sample, std::uint16_t>;
  const auto levels =
      levels_of(x, n, o, o.threshold_in_rms || o.hysteresis_in_rms);
  if (!levels) return;
  const double base = levels->baseline;
  const double p = static_cast<double>(o.polarity);
  const double t = levels->threshold;
  const double r = levels->rearm;
  const Finder<Sample> finder{x, n, o, {base, p, t, r}};
  if constexpr (kU16) {
    const Band above_t = at_least(t, base, p);
    // Nothing reaches T, or nothing lies below it: no crossing anywhere.
    if (above_t.empty || above_t.all()) return;
    const Band below_r = below_level(r, base, p);
    finder.scan(complement(above_t), above_t, below_r, !below_r.empty, row,
                out);
  } else {
    finder.scan(Below{base, p, t}, AtLeast{base, p, t}, Below{base, p, r}, true,
                row, out);
  }
}

template <class Sample>
void uniform_rows(const Sample* samples, std::size_t rows, std::size_t length,
                  const PulseOptions& o, std::vector<Pulse>& out) {
  out.reserve(out.size() + rows);
  each_row(samples, rows, length,
           [&](const Sample* x, std::size_t n, std::size_t r) {
             pulses_of(x, n, o, static_cast<std::int64_t>(r), out);
           });
}

template <class Sample>
void ragged_rows(const Sample* samples, const std::uint64_t* offsets,
                 std::size_t rows, const PulseOptions& o,
                 std::vector<Pulse>& out) {
  out.reserve(out.size() + rows);
  each_row(samples, offsets, rows,
           [&](const Sample* x, std::size_t n, std::size_t r) {
             pulses_of(x, n, o, static_cast<std::int64_t>(r), out);
           });
}

VORN_CLONES void uniform_u16(const std::uint16_t* samples, std::size_t rows,
                             std::size_t length, const PulseOptions& o,
                             std::vector<Pulse>& out) {
  uniform_rows(samples, rows, length, o, out);
}

VORN_CLONES void uniform_f32(const float* samples, std::size_t rows,
                             std::size_t length, const PulseOptions& o,
                             std::vector<Pulse>& out) {
  uniform_rows(samples, rows, length, o, out);
}

VORN_CLONES void ragged_u16(const std::uint16_t* samples,
                            const std::uint64_t* offsets, std::size_t rows,
                            const PulseOptions& o, std::vector<Pulse>& out) {
  ragged_rows(samples, offsets, rows, o, out);
}

VORN_CLONES void ragged_f32(const float* samples, const std::uint64_t* offsets,
                            std::size_t rows, const PulseOptions& o,
                            std::vector<Pulse>& out) {
  ragged_rows(samples, offsets, rows, o, out);
}

}  // namespace

std::optional<std::string> check_pulse_options(const PulseOptions& options) {
  if (options.baseline_begin >= options.baseline_end) {
    return format("the baseline window [%zu, %zu) is empty",
                  options.baseline_begin, options.baseline_end);
  }
  if (options.polarity != Polarity::kPositive &&
      options.polarity != Polarity::kNegative) {
    return std::string("the pulse finder needs a polarity of +1 or -1");
  }
  if (options.slope && !(*options.slope > 0)) {
    return format("the slope trigger's level must be positive, not %g",
                  *options.slope);
  }
  if (options.slope && options.slope_span == 0) {
    return std::string("the slope trigger's span must be at least 1 sample");
  }
  if (!(options.hysteresis >= 0)) {
    return format("the hysteresis must not be negative, not %g",
                  options.hysteresis);
  }
  return std::nullopt;
}

std::optional<std::string> check_pulse_windows(const PulseOptions& options,
                                               std::size_t samples) {
  if (std::min(options.baseline_end, samples) <= options.baseline_begin) {
    return format(
        "the baseline window [%zu, %zu) is empty in waveforms of %zu samples",
        options.baseline_begin, options.baseline_end, samples);
  }
  return std::nullopt;
}

template <class Sample>
std::optional<PulseLevels> pulse_levels(std::span<const Sample> samples,
                                        const PulseOptions& options) {
  return levels_of(samples.data(), samples.size(), options, true);
}

template <class Sample>
void find_pulses(std::span<const Sample> samples, const PulseOptions& options,
                 std::int64_t row, std::vector<Pulse>& out) {
  pulses_of(samples.data(), samples.size(), options, row, out);
}

template <class Sample>
void find_pulses(const Sample* samples, std::size_t rows, std::size_t length,
                 const PulseOptions& options, std::vector<Pulse>& out) {
  if constexpr (std::is_same_v<Sample, std::uint16_t>) {
    uniform_u16(samples, rows, length, options, out);
  } else {
    uniform_f32(samples, rows, length, options, out);
  }
}

template <class Sample>
void find_pulses(const Sample* samples, const std::uint64_t* offsets,
                 std::size_t rows, const PulseOptions& options,
                 std::vector<Pulse>& out) {
  if constexpr (std::is_same_v<Sample, std::uint16_t>) {
    ragged_u16(samples, offsets, rows, options, out);
  } else {
    ragged_f32(samples, offsets, rows, options, out);
  }
}

template std::optional<PulseLevels> pulse_levels(std::span<const std::uint16_t>,
                                                 const PulseOptions&);
template std::optional<PulseLevels> pulse_levels(std::span<const float>,
                                                 const PulseOptions&);
template void find_pulses(std::span<const std::uint16_t>, const PulseOptions&,
                          std::int64_t, std::vector<Pulse>&);
template void find_pulses(std::span<const float>, const PulseOptions&,
                          std::int64_t, std::vector<Pulse>&);
template void find_pulses(const std::uint16_t*, std::size_t, std::size_t,
                          const PulseOptions&, std::vector<Pulse>&);
template void find_pulses(const float*, std::size_t, std::size_t,
                          const PulseOptions&, std::vector<Pulse>&);
template void find_pulses(const std::uint16_t*, const std::uint64_t*,
                          std::size_t, const PulseOptions&,
                          std::vector<Pulse>&);
template void find_pulses(const float*, const std::uint64_t*, std::size_t,
                          const PulseOptions&, std::vector<Pulse>&);

}  // namespace vorn
