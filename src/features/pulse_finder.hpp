// Every pulse of digitizer waveforms: threshold crossings with hysteresis,
// each measured on its own. Plain C++ for uint16 and float32 samples, beside
// the one-pulse feature kernel and sharing its baseline and polarity rules.
//
// For a waveform x[0, n) with baseline b (the mean of x over the baseline
// window [b0, b1) clipped to the waveform, rms its population standard
// deviation) and polarity p = +1 or -1, everything is a function of
// y[i] = p * (double(x[i]) - b) in double precision.
//
// Levels: T = threshold, or threshold * rms; the re-arm level R = T - H with
// H = hysteresis, or hysteresis * rms.
//
// Finding: the scan starts armed. While armed, a crossing is the first
// i >= 1 with y[i-1] < T <= y[i]; it disarms the scan. While disarmed, the
// first e after the crossing with y[e] < R re-arms it, and e is the end of
// that crossing (n when nothing falls below R). A crossing whose index is
// less than `separation` after the index of the current pulse's first
// crossing belongs to that pulse, which then ends where the later crossing
// ends; any other crossing starts a new pulse. A pulse spans [i, e): i its
// first crossing, e the end of its last.
//
// Slope trigger, for pulses on the tails of others (with a level S > 0 over
// a span of L samples): with d[k] = y[k] - y[k-L], inside a pulse's span
// the trigger arms at the first k > i (k >= L) with d[k] <= 0, and the
// first later k with d[k] >= S splits the pulse: it ends at k, and another
// starts at k, at the time (k-1) + (S - d[k-1]) / (d[k] - d[k-1]) instead
// of a threshold crossing's. The trigger then waits to arm again. A split
// less than `separation` after the open pulse's first index is passed over
// (the trigger still waits to arm again).
//
// Per pulse:
//   start_time  (i-1) + (T - y[i-1]) / (y[i] - y[i-1]), in samples, for a
//       pulse a crossing starts.
//   peak_index, amplitude  the first index of the maximum of y over [i, e),
//       and that maximum.
//   charge  the sum of y over [i - a, e + c) clipped to the waveform, with
//       a = charge_before and c = charge_after; windows of neighbouring
//       pulses may overlap.
//   fwhm  with L = amplitude / 2: t2 - t1, where t1 = j + (L - y[j]) /
//       (y[j+1] - y[j]) for the last j in [e', peak) with y[j] < L (e' the
//       end of the previous pulse, 0 for the first), and t2 = (k-1) +
//       (y[k-1] - L) / (y[k-1] - y[k]) for the first k > peak with
//       y[k] < L. NaN when either does not exist or amplitude <= 0.
//   time_over_threshold  (m + (y[m] - T) / (y[m] - y[m+1])) - start_time for
//       m the last index in [i, e) with y[m] >= T; NaN when m + 1 = n, when
//       there is no such m, or when a split ends the pulse.
//
// A waveform whose clipped baseline window is empty, or whose baseline is
// not finite, has no pulses. NaN samples are not expected from a digitizer:
// they never start or re-arm a pulse, and no other promise is made.
//
// Memory: the pulses of one call are appended to a caller's vector; the
// batch calls make room for one pulse a row first, and the vector grows
// from there with the pulses found (never with the samples).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "features/pulse_features.hpp"

namespace vorn {

struct PulseOptions {
  std::size_t baseline_begin = 0;
  std::size_t baseline_end = 64;
  Polarity polarity = Polarity::kNegative;  // kAuto is refused
  double threshold = 5.0;
  bool threshold_in_rms = true;
  double hysteresis = 1.0;
  bool hysteresis_in_rms = true;
  std::size_t separation = 0;
  std::size_t charge_before = 5;
  std::size_t charge_after = 10;
  std::optional<double> slope;  // the slope trigger's S; off without
  std::size_t slope_span = 4;   // its L
};

struct Pulse {
  std::int64_t row;
  std::int32_t pulse;  // index within the row
  double start_time;
  std::int64_t peak_index;
  double amplitude;
  double charge;
  double fwhm;
  double time_over_threshold;
};

// What a waveform's pulses are measured against: b, rms, T and R.
struct PulseLevels {
  double baseline;
  double rms;
  double threshold;
  double rearm;
};

// Why the options make no sense for any waveform (an empty or reversed
// baseline window, a polarity other than +-1, a negative or NaN hysteresis,
// a slope trigger's level not above 0 or span of 0), or nullopt.
std::optional<std::string> check_pulse_options(const PulseOptions& options);

// Why the options do not fit waveforms that all have `samples` samples: the
// baseline window clipped to them is empty.
std::optional<std::string> check_pulse_windows(const PulseOptions& options,
                                               std::size_t samples);

// The levels of one waveform, or nullopt when it has no pulses for want of
// a baseline. On uint16 samples the RMS comes from exact integer sums, on
// float32 samples from a two-pass sum in sample order.
template <class Sample>
std::optional<PulseLevels> pulse_levels(std::span<const Sample> samples,
                                        const PulseOptions& options);

// The pulses of one waveform, appended to `out` with the given row. Any
// options that pass check_pulse_options() are safe.
template <class Sample>
void find_pulses(std::span<const Sample> samples, const PulseOptions& options,
                 std::int64_t row, std::vector<Pulse>& out);

// `rows` waveforms of `length` samples each, back to back; row r's pulses
// come before row r+1's.
template <class Sample>
void find_pulses(const Sample* samples, std::size_t rows, std::size_t length,
                 const PulseOptions& options, std::vector<Pulse>& out);

// Waveforms of differing lengths: row r is samples[offsets[r], offsets[r+1]).
// Offsets must not decrease.
template <class Sample>
void find_pulses(const Sample* samples, const std::uint64_t* offsets,
                 std::size_t rows, const PulseOptions& options,
                 std::vector<Pulse>& out);

}  // namespace vorn
