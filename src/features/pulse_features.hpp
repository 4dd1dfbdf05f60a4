// Pulse features of digitizer waveforms, computed in one call per waveform
// over its samples, for uint16 and float32 samples. Plain C++: no Python on
// the include path, so the kernel can be tested and fuzzed on its own.
//
// For a waveform x[0, n) and the options below, with b the baseline and
// p = +1 or -1 the polarity, every feature is a function of
// y[i] = p * (double(x[i]) - b), evaluated in double precision exactly so:
//
//   baseline, baseline_rms  mean and population standard deviation of x over
//       the baseline window [b0, b1), clipped to the waveform. For uint16
//       the variance is (m * sum(x^2) - sum(x)^2) / m^2 with the integer
//       numerator rounded once; for float32, the mean of (x - baseline)^2
//       summed in sample order.
//   polarity  given (for all rows, or per row), or chosen per waveform
//       (kAuto): +1 when max(x) - b >= b - min(x) (a tie goes positive),
//       else -1.
//   amplitude, peak_index  the maximum of y and the first index where it is
//       reached.
//   charge  the sum of y over the charge window: fixed [w0, w1), or around
//       the peak [peak - a, peak + b); either is clipped to the waveform, and
//       an empty window sums to 0.
//   threshold_time  for T the absolute threshold or k * baseline_rms: the
//       first i >= max(b1, 1) with y[i-1] < T <= y[i], interpolated linearly
//       as (i-1) + (T - y[i-1]) / (y[i] - y[i-1]), in samples. A pulse
//       already above T when the baseline window ends is not a crossing.
//   cfd_time  for the level L = f * amplitude: the last j < peak with
//       y[j] < L, interpolated as j + (L - y[j]) / (y[j+1] - y[j]).
//   rise_time, fall_time, fwhm  with the amplitude A > 0, lead(f) is the
//       CFD rule above at the level f * A, and trail(f) its mirror after the
//       peak: the first k > peak with y[k] < f * A, interpolated as
//       (k-1) + (L - y[k-1]) / (y[k] - y[k-1]). rise_time = lead(high) -
//       lead(low), fall_time = trail(low) - trail(high), fwhm = trail(1/2) -
//       lead(1/2); NaN when a time is.
//   time_over_threshold  with i the crossing of threshold_time: the first
//       k > i with y[k] < T, interpolated as in trail(), minus
//       threshold_time. NaN without a crossing or a return below T.
//   tail_ratio  with [w0, w1) the clipped charge window and s the PSD split:
//       the sum of y over [min(w0 + s, w1), w1) divided by the charge; NaN
//       without a split.
//   energy, energy_time  with a trapezoid of rise k >= 1 and flat top m:
//       d = exp(-1 / tau) (1 without tau), the pole-zero corrected
//       z[i] = y[i] + (1 - d) * (y[0] + ... + y[i-1]), and for
//       n >= 2k + m - 1 the trapezoid
//       T[n] = (z[n-k+1] + ... + z[n] - z[n-2k-m+1] - ... - z[n-k-m]) / k,
//       which turns a step of height H, or an exponential of height H and
//       decay tau, into a flat top of H. T[n] depends on the 2k + m samples
//       up to n only. With i the crossing sample of threshold_time and a
//       pick-off delay q, energy_time is i + q; without one, the first index
//       of the maximum of T over [i, i + 2k + m). energy is T there. NaN
//       without a trapezoid or a crossing, when no T is read (the times lie
//       before 2k + m - 1 or past the end), or when a sample T depends on is
//       not finite.
//   saturated  some sample sits at the sample type's extreme (uint16: 0 or
//       65535; float32: +-inf or +-FLT_MAX) or, with an ADC maximum, at or
//       above it. It looks at every sample of the waveform, whatever the
//       windows.
//
// NaN placement: threshold_time is NaN when nothing crosses T (or T is NaN);
// cfd_time when the amplitude is not positive or no sample before the peak is
// below L. A waveform whose clipped baseline window is empty, or whose
// baseline is not finite (an infinite sample inside the window), has no
// features: all its doubles are NaN, peak_index is -1 and polarity 0;
// saturated is still reported. NaN samples are not expected from a
// digitizer: they never count as the maximum nor as either side of a
// crossing, and they make sums NaN; no other promise is made about them.
//
// The baseline window's sums of float32 samples run in double precision from
// its first sample to its last, so the baseline, and with it every comparison
// against y, does not depend on how the loops are scheduled; uint16 sums are
// exact integers. Only the charge and its tail are summed in another order
// (within a few roundings of the sum of |y|), and the trapezoid comes from
// running sums of the samples (exact integers for uint16), which agree with a
// direct convolution within roundings of the sums it spans.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace vorn {

enum class Polarity : std::int8_t { kNegative = -1, kAuto = 0, kPositive = 1 };

enum class ChargeWindow : std::uint8_t {
  kFixed,       // [charge_begin, charge_end)
  kAroundPeak,  // [peak - charge_begin, peak + charge_end)
};

struct FeatureOptions {
  std::size_t baseline_begin = 0;
  std::size_t baseline_end = 64;
  Polarity polarity = Polarity::kAuto;
  ChargeWindow charge_window = ChargeWindow::kFixed;
  std::size_t charge_begin = 0;
  std::size_t charge_end = 0;
  // T = threshold, or threshold * baseline_rms when threshold_in_rms.
  double threshold = 5.0;
  bool threshold_in_rms = true;
  double cfd_fraction = 0.5;  // in (0, 1]
  std::optional<double> adc_max;
  // When given, row r is measured with polarity row_polarity[r] (-1, 0 or
  // +1) instead of `polarity`: rows of several channels, each with its own.
  const std::int8_t* row_polarity = nullptr;
  // Fractions of the amplitude between which rise_time and fall_time run;
  // 0 < rise_low < rise_high <= 1.
  double rise_low = 0.1;
  double rise_high = 0.9;
  // Samples from the charge window's start to its tail (tail_ratio).
  std::optional<std::size_t> psd_split;
  // The energy filter: a trapezoid of `trap_rise` >= 1 samples up and down
  // around a flat top of `trap_flat`, after pole-zero correction of an
  // exponential decay of `tau` samples (infinity: none). Read at
  // `pickoff` samples after the threshold crossing, or at its maximum in
  // the trapezoid's length from there.
  std::size_t trap_rise = 0;  // 0: no energy filter
  std::size_t trap_flat = 0;
  double tau = HUGE_VAL;
  std::optional<std::size_t> pickoff;
};

struct PulseFeatures {
  double baseline;
  double baseline_rms;
  double amplitude;
  double charge;
  double threshold_time;
  double cfd_time;
  std::int64_t peak_index;
  std::int8_t polarity;
  bool saturated;
  double rise_time;
  double fall_time;
  double fwhm;
  double time_over_threshold;
  double tail_ratio;
  double energy;
  double energy_time;
};

// Where the features of row r go: element r of each column. Every pointer
// must have room for all rows.
struct FeatureColumns {
  double* baseline;
  double* baseline_rms;
  double* amplitude;
  double* charge;
  double* threshold_time;
  double* cfd_time;
  std::int64_t* peak_index;
  std::int8_t* polarity;
  std::uint8_t* saturated;
  double* rise_time;
  double* fall_time;
  double* fwhm;
  double* time_over_threshold;
  double* tail_ratio;
  double* energy;
  double* energy_time;
};

// Why the options make no sense for any waveform (an empty or reversed
// window, a CFD fraction outside (0, 1], rise fractions out of order, a
// trapezoid without rise or a decay constant that is not positive), or
// nullopt.
std::optional<std::string> check_options(const FeatureOptions& options);

// Why the options do not fit waveforms that all have `samples` samples: the
// baseline window clipped to them is empty, or a fixed charge window reaches
// past their end. check_options() comes first.
std::optional<std::string> check_windows(const FeatureOptions& options,
                                         std::size_t samples);

// The features of one waveform. Any options are safe; the rules above say
// what comes back for windows that do not fit.
template <class Sample>
PulseFeatures pulse_features(std::span<const Sample> samples,
                             const FeatureOptions& options) noexcept;

// `rows` waveforms of `length` samples each, back to back.
template <class Sample>
void pulse_features(const Sample* samples, std::size_t rows, std::size_t length,
                    const FeatureOptions& options,
                    const FeatureColumns& out) noexcept;

// `rows` waveforms of differing lengths: row r is
// samples[offsets[r], offsets[r+1]). Offsets must not decrease.
template <class Sample>
void pulse_features(const Sample* samples, const std::uint64_t* offsets,
                    std::size_t rows, const FeatureOptions& options,
                    const FeatureColumns& out) noexcept;

}  // namespace vorn
