// Every pulse over arbitrary samples and options, against a plain reading
// of the finder's rules.
//
// Input: a 16-byte header, then the samples (little-endian uint16 or
// float32, so every NaN, infinity and extreme can appear).
//   byte 0      bit 0: float32 samples; bit 1: negative polarity; bit 2:
//               threshold in units of the baseline RMS; bit 3: hysteresis
//               in units of the baseline RMS; bits 4-5: the slope span
//               less 1.
//   bytes 1-2   baseline window start and length
//   bytes 3-6   threshold (float32)
//   bytes 7-10  hysteresis (float32; its magnitude)
//   byte 11     separation
//   bytes 12-13 samples of charge before a pulse and after its end
//   byte 14     the samples split into rows at every multiple of this
//               count (0: one row)
//   byte 15     the slope trigger's level (0: off)
//
// The finder searches blocks of samples, and compares uint16 samples with
// cuts worked out once per waveform; the reference here walks the samples
// one by one, comparing y itself against the levels. Both must find the
// same pulses, with the same bits for everything but the uint16 charge
// (summed as integers). The batch calls must agree with the single row.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "features/pulse_finder.hpp"
#include "kernel_support.hpp"

namespace {

[[noreturn]] void broken(const char* what, std::size_t row, std::size_t k) {
  std::fprintf(stderr, "pulses_fuzzer: row %zu, pulse %zu: %s\n", row, k, what);
  std::abort();
}

using vorn_fuzz::f32_at;
using vorn_fuzz::same;

template <class Sample>
std::vector<vorn::Pulse> reference(const Sample* x, std::size_t n,
                                   const vorn::PulseOptions& o,
                                   std::int64_t row) {
  std::vector<vorn::Pulse> out;
  const auto levels = vorn::pulse_levels(std::span<const Sample>(x, n), o);
  if (!levels) return out;
  const double b = levels->baseline, t = levels->threshold, r = levels->rearm;
  const double p = static_cast<double>(o.polarity);
  std::vector<double> y(n);
  for (std::size_t i = 0; i < n; ++i) {
    y[i] = p * (static_cast<double>(x[i]) - b);
  }
  struct Span {
    std::size_t first, end;
  };
  std::vector<Span> spans;
  for (std::size_t k = 1; k < n;) {
    if (y[k - 1] < t && t <= y[k]) {
      std::size_t e = k + 1;
      while (e < n && !(y[e] < r)) ++e;
      if (!spans.empty() && k - spans.back().first < o.separation) {
        spans.back().end = e;
      } else {
        spans.push_back({k, e});
      }
      k = e + 1;
    } else {
      ++k;
    }
  }
  struct Piece {
    std::size_t first;
    double start;
    std::size_t end;
    bool cut;
  };
  std::vector<Piece> pieces;
  for (const auto [i, e] : spans) {
    Piece open{i,
               static_cast<double>(i - 1) + (t - y[i - 1]) / (y[i] - y[i - 1]),
               e, false};
    if (o.slope) {
      const std::size_t span = o.slope_span;
      bool armed = false;
      for (std::size_t k = std::max(i + 1, span); k < e; ++k) {
        const double d = y[k] - y[k - span];
        if (!armed) {
          armed = d <= 0;
        } else if (d >= *o.slope) {
          armed = false;
          if (k - open.first >= o.separation) {
            pieces.push_back({open.first, open.start, k, true});
            const double d0 = y[k - 1] - y[k - 1 - span];
            open = {k, static_cast<double>(k - 1) + (*o.slope - d0) / (d - d0),
                    e, false};
          }
        }
      }
    }
    pieces.push_back(open);
  }
  std::size_t previous_end = 0;
  for (std::size_t number = 0; number < pieces.size(); ++number) {
    const auto [i, start, e, cut] = pieces[number];
    const double nan = std::nan("");
    vorn::Pulse pulse{
        row, static_cast<std::int32_t>(number), nan, -1, nan, nan, nan, nan};
    pulse.start_time = start;
    std::size_t peak = i;
    for (std::size_t k = i + 1; k < e; ++k) {
      if (y[k] > y[peak]) peak = k;
    }
    pulse.peak_index = static_cast<std::int64_t>(peak);
    pulse.amplitude = y[peak];
    double charge = 0;
    const std::size_t w0 = i >= o.charge_before ? i - o.charge_before : 0;
    const std::size_t w1 = std::min(n, e + o.charge_after);
    for (std::size_t k = w0; k < w1; ++k) charge += y[k];
    pulse.charge = charge;
    std::size_t m = n;
    for (std::size_t k = i; k < e; ++k) {
      if (y[k] >= t) m = k;
    }
    if (!cut && m + 1 < n) {
      pulse.time_over_threshold = static_cast<double>(m) +
                                  (y[m] - t) / (y[m] - y[m + 1]) -
                                  pulse.start_time;
    }
    const double half = pulse.amplitude / 2;
    if (pulse.amplitude > 0) {
      std::size_t j = peak, k = peak + 1;
      for (std::size_t q = previous_end; q < peak; ++q) {
        if (y[q] < half) j = q;
      }
      while (k < n && !(y[k] < half)) ++k;
      if (j < peak && k < n) {
        pulse.fwhm =
            (static_cast<double>(k - 1) +
             (y[k - 1] - half) / (y[k - 1] - y[k])) -
            (static_cast<double>(j) + (half - y[j]) / (y[j + 1] - y[j]));
      }
    }
    out.push_back(pulse);
    previous_end = e;
  }
  return out;
}

template <class Sample>
void compare(const vorn::Pulse* got, const std::vector<vorn::Pulse>& want,
             const Sample* x, std::size_t n, double baseline, std::size_t row) {
  double scale = 0;  // bounds the rounding of the uint16 charge
  for (std::size_t i = 0; i < n; ++i) {
    scale += std::fabs(static_cast<double>(x[i])) + std::fabs(baseline);
  }
  for (std::size_t k = 0; k < want.size(); ++k) {
    const vorn::Pulse& a = got[k];
    const vorn::Pulse& b = want[k];
    if (a.row != b.row || a.pulse != b.pulse) broken("numbering", row, k);
    if (a.peak_index != b.peak_index) broken("peak_index", row, k);
    if (!same(a.start_time, b.start_time)) broken("start_time", row, k);
    if (!same(a.amplitude, b.amplitude)) broken("amplitude", row, k);
    if (!same(a.fwhm, b.fwhm)) broken("fwhm", row, k);
    if (!same(a.time_over_threshold, b.time_over_threshold)) {
      broken("time_over_threshold", row, k);
    }
    const bool close = std::fabs(a.charge - b.charge) <= 1e-9 * scale;
    if constexpr (sizeof(Sample) == 2) {
      if (!close) broken("charge", row, k);
    } else {
      if (!same(a.charge, b.charge)) broken("charge", row, k);
    }
  }
}

template <class Sample>
void run(const std::uint8_t* data, std::size_t size,
         const vorn::PulseOptions& o, std::size_t split) {
  const auto input = vorn_fuzz::rows_of<Sample>(data, size, split);
  const std::vector<Sample>& x = input.x;
  const std::vector<std::uint64_t>& offsets = input.offsets;
  const std::size_t rows = input.rows;

  std::vector<vorn::Pulse> batch;
  vorn::find_pulses(x.data(), offsets.data(), rows, o, batch);
  std::size_t at = 0;
  for (std::size_t r = 0; r < rows; ++r) {
    const Sample* row = x.data() + offsets[r];
    const std::size_t n = offsets[r + 1] - offsets[r];
    const auto want = reference(row, n, o, static_cast<std::int64_t>(r));
    if (batch.size() - at < want.size()) broken("pulses missing", r, 0);
    const auto levels = vorn::pulse_levels(std::span<const Sample>(row, n), o);
    compare(batch.data() + at, want, row, n, levels ? levels->baseline : 0, r);
    at += want.size();
  }
  if (at != batch.size()) broken("pulses the rules do not give", rows, 0);

  // Rows of one length take their own path when the baseline fits them.
  if (split == 0 || vorn::check_pulse_windows(o, split)) return;
  const std::size_t uniform = x.size() / split;
  std::vector<vorn::Pulse> again;
  vorn::find_pulses(x.data(), uniform, split, o, again);
  std::size_t in_uniform = 0;
  while (in_uniform < batch.size() &&
         batch[in_uniform].row < static_cast<std::int64_t>(uniform)) {
    ++in_uniform;
  }
  if (again.size() != in_uniform) broken("uniform rows differ in count", 0, 0);
  for (std::size_t k = 0; k < again.size(); ++k) {
    if (k >= batch.size() || again[k].row != batch[k].row ||
        !same(again[k].start_time, batch[k].start_time) ||
        !same(again[k].charge, batch[k].charge)) {
      broken("uniform rows differ from ragged ones", 0, k);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size < 16) return 0;
  const std::uint8_t flags = data[0];
  vorn::PulseOptions o;
  o.polarity =
      (flags & 2) != 0 ? vorn::Polarity::kNegative : vorn::Polarity::kPositive;
  o.threshold_in_rms = (flags & 4) != 0;
  o.hysteresis_in_rms = (flags & 8) != 0;
  o.baseline_begin = data[1];
  o.baseline_end = std::size_t{data[1]} + data[2];
  o.threshold = f32_at(data + 3);
  o.hysteresis = std::fabs(f32_at(data + 7));
  o.separation = data[11];
  o.charge_before = data[12];
  o.charge_after = data[13];
  if (data[15] != 0) o.slope = data[15];
  o.slope_span = std::size_t{1} + ((flags >> 4) & 3);
  // Options the binding refuses never reach the finder.
  if (vorn::check_pulse_options(o)) return 0;
  const std::size_t split = data[14];
  if ((flags & 1) != 0) {
    run<float>(data + 16, size - 16, o, split);
  } else {
    run<std::uint16_t>(data + 16, size - 16, o, split);
  }
  return 0;
}
