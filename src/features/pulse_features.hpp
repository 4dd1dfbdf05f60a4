// Pulse features of digitizer waveforms, computed in one call per waveform
// over its samples, for uint16 and float32 samples. Plain C++: no Python on
// the include path, so the kernel can be tested and fuzzed on its own.
//
// For a waveform x[0, n) and the options below, with b the baseline and
// p = +1 or -1 the polarity, every feature is a function of
// y[i] = p * (double(x[i]) - b), evaluated in double precision exactly so:
//
//   baseline, baseline_rms  mean and population standard deviation of x over
//       the baseline window [b0, b1), clipped to the waveform.
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
//   saturated  some sample sits at the sample type's extreme (uint16: 0 or
//       65535; float32: +-inf or +-FLT_MAX) or, with an ADC maximum, at or
//       above it. It looks at every sample of the waveform, whatever the
//       windows.
//
// NaN placement: threshold_time is NaN when nothing crosses T (or T is NaN);
// cfd_time when the amplitude is not positive or no sample before the peak is
// below L. A waveform whose clipped baseline window is empty, or whose
// baseline is not finite (an infinite sample inside the window), has no
// features: all six doubles are NaN, peak_index is -1 and polarity 0;
// saturated is still reported. NaN samples are not expected from a
// digitizer: they never count as the maximum nor as either side of a
// crossing, and they make sums NaN; no other promise is made about them.
//
// The baseline window's sums of float32 samples run in double precision from
// its first sample to its last, so the baseline, and with it every comparison
// against y, does not depend on how the loops are scheduled; uint16 sums are
// exact integers. Only the charge is summed in another order (within a few
// roundings of the sum of |y|).
#pragma once

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
};

// Why the options make no sense for any waveform (an empty or reversed
// window, a CFD fraction outside (0, 1]), or nullopt.
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
