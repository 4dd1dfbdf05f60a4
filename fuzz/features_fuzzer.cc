// Pulse features over arbitrary samples and options.
//
// Input: a 16-byte header, then the samples (little-endian uint16 or
// float32, so every NaN, infinity and extreme can appear).
//   byte 0      bit 0: float32 samples; bits 1-2: polarity (auto, positive,
//               negative, auto); bit 3: charge window around the peak;
//               bit 4: threshold in units of the baseline RMS; bit 5: an
//               ADC maximum is given.
//   bytes 1-2   baseline window start and length
//   bytes 3-4   charge window bounds (sorted for a fixed window)
//   bytes 5-8   threshold (float32)
//   byte 9      CFD fraction, (byte + 1) / 256
//   bytes 10-13 ADC maximum (float32)
//   byte 14     the samples split into rows at every multiple of this
//               count (0: one row)
//   byte 15     bits 0-2: trapezoid rise (0: none); bits 3-5: flat top;
//               bit 6: a pick-off delay of the rise plus the flat top;
//               bit 7: a PSD split of 3 samples. Byte 9 also sets tau,
//               (byte + 1) samples, and the rise fractions.
//
// Every row must get the same features from the batch call as from the
// single-row call, and they must obey the rules of the header: an index
// inside the row or -1 exactly for a row without features, no y above the
// amplitude, times inside their intervals or NaN, and saturation as a
// plain scan finds it.
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "features/pulse_features.hpp"
#include "kernel_support.hpp"

namespace {

[[noreturn]] void broken(const char* what, std::size_t row) {
  std::fprintf(stderr, "features_fuzzer: row %zu: %s\n", row, what);
  std::abort();
}

using vorn_fuzz::f32_at;
using vorn_fuzz::same;

bool same(const vorn::PulseFeatures& a, const vorn::PulseFeatures& b) {
  return same(a.baseline, b.baseline) && same(a.baseline_rms, b.baseline_rms) &&
         same(a.amplitude, b.amplitude) && same(a.charge, b.charge) &&
         same(a.threshold_time, b.threshold_time) &&
         same(a.cfd_time, b.cfd_time) && a.peak_index == b.peak_index &&
         a.polarity == b.polarity && a.saturated == b.saturated &&
         same(a.rise_time, b.rise_time) && same(a.fall_time, b.fall_time) &&
         same(a.fwhm, b.fwhm) &&
         same(a.time_over_threshold, b.time_over_threshold) &&
         same(a.tail_ratio, b.tail_ratio) && same(a.energy, b.energy) &&
         same(a.energy_time, b.energy_time);
}

template <class Sample>
void check_row(const Sample* x, std::size_t n, const vorn::FeatureOptions& o,
               const vorn::PulseFeatures& f, std::size_t row) {
  bool saturated = false;
  for (std::size_t i = 0; i < n; ++i) {
    const double v = static_cast<double>(x[i]);
    if constexpr (sizeof(Sample) == 2) {
      saturated |= x[i] == 0 || x[i] == 0xffff;
    } else {
      saturated |= std::isinf(v) || std::fabs(v) == FLT_MAX;
    }
    if (o.adc_max) saturated |= v >= *o.adc_max;
  }
  if (f.saturated != saturated) broken("saturation differs from a scan", row);

  if (f.peak_index == -1) {
    if (f.polarity != 0 || !std::isnan(f.baseline) ||
        !std::isnan(f.amplitude) || !std::isnan(f.charge) ||
        !std::isnan(f.threshold_time) || !std::isnan(f.cfd_time)) {
      broken("a row without a peak has features", row);
    }
    return;
  }
  if (f.peak_index < 0 || static_cast<std::size_t>(f.peak_index) >= n) {
    broken("peak_index outside the row", row);
  }
  if (f.polarity != 1 && f.polarity != -1) broken("polarity not +-1", row);
  if (!std::isfinite(f.baseline)) broken("a peak without a baseline", row);
  if (!(f.baseline_rms >= 0)) broken("baseline_rms negative or NaN", row);
  const auto peak = static_cast<std::size_t>(f.peak_index);
  const double p = f.polarity;
  for (std::size_t i = 0; i < n; ++i) {
    const double y = p * (static_cast<double>(x[i]) - f.baseline);
    if (y > f.amplitude) broken("a sample above the amplitude", row);
    if (i < peak && y == f.amplitude) broken("an earlier peak", row);
  }
  if (p * (static_cast<double>(x[peak]) - f.baseline) != f.amplitude) {
    broken("the peak is not at the amplitude", row);
  }
  const std::size_t b1 = std::min(o.baseline_end, n);
  const double first = static_cast<double>(std::max<std::size_t>(b1, 1) - 1);
  if (!std::isnan(f.threshold_time) &&
      !(f.threshold_time >= first &&
        f.threshold_time <= static_cast<double>(n - 1))) {
    broken("threshold_time outside the row after the baseline", row);
  }
  if (!std::isnan(f.cfd_time) && (!(f.amplitude > 0) || !(f.cfd_time >= 0) ||
                                  !(f.cfd_time <= static_cast<double>(peak)))) {
    broken("cfd_time outside the rise to the peak", row);
  }
  // Edges lie within the row, a lower level no nearer the peak.
  const double span = static_cast<double>(n);
  for (double t : {f.rise_time, f.fall_time, f.fwhm, f.time_over_threshold}) {
    if (!std::isnan(t) && !(t >= 0 && t <= span)) {
      broken("a width negative or longer than the row", row);
    }
  }
  if (!std::isnan(f.time_over_threshold) && std::isnan(f.threshold_time)) {
    broken("time over threshold without a crossing", row);
  }
  if (!std::isnan(f.energy_time)) {
    const std::size_t k = o.trap_rise;
    const double earliest = static_cast<double>(2 * k + o.trap_flat - 1);
    if (k == 0 || !(f.energy_time <= span - 1) ||
        (!std::isnan(f.energy) && !(f.energy_time >= earliest))) {
      broken("energy_time outside the filter's range", row);
    }
  }
  if (o.trap_rise == 0 && !std::isnan(f.energy)) broken("energy unasked", row);
}

template <class Sample>
void run(const std::uint8_t* data, std::size_t size,
         const vorn::FeatureOptions& o, std::size_t split) {
  const auto input = vorn_fuzz::rows_of<Sample>(data, size, split);
  const std::vector<Sample>& x = input.x;
  const std::vector<std::uint64_t>& offsets = input.offsets;
  const std::size_t rows = input.rows;

  std::vector<double> d(13 * rows);
  std::vector<std::int64_t> peak(rows);
  std::vector<std::int8_t> polarity(rows);
  std::vector<std::uint8_t> saturated(rows);
  const vorn::FeatureColumns out{d.data(),
                                 d.data() + rows,
                                 d.data() + 2 * rows,
                                 d.data() + 3 * rows,
                                 d.data() + 4 * rows,
                                 d.data() + 5 * rows,
                                 peak.data(),
                                 polarity.data(),
                                 saturated.data(),
                                 d.data() + 6 * rows,
                                 d.data() + 7 * rows,
                                 d.data() + 8 * rows,
                                 d.data() + 9 * rows,
                                 d.data() + 10 * rows,
                                 d.data() + 11 * rows,
                                 d.data() + 12 * rows};
  vorn::pulse_features(x.data(), offsets.data(), rows, o, out);

  auto stored = [&](std::size_t r) {
    return vorn::PulseFeatures{d[r],
                               d[rows + r],
                               d[2 * rows + r],
                               d[3 * rows + r],
                               d[4 * rows + r],
                               d[5 * rows + r],
                               peak[r],
                               polarity[r],
                               saturated[r] != 0,
                               d[6 * rows + r],
                               d[7 * rows + r],
                               d[8 * rows + r],
                               d[9 * rows + r],
                               d[10 * rows + r],
                               d[11 * rows + r],
                               d[12 * rows + r]};
  };
  for (std::size_t r = 0; r < rows; ++r) {
    const Sample* row = x.data() + offsets[r];
    const std::size_t n = offsets[r + 1] - offsets[r];
    const vorn::PulseFeatures f =
        vorn::pulse_features(std::span<const Sample>(row, n), o);
    if (!same(f, stored(r))) broken("the batch call differs from the row", r);
    check_row(row, n, o, f, r);
  }
  // Rows of one length take their own path when the options fit them.
  if (split == 0 || vorn::check_windows(o, split)) return;
  const std::size_t uniform = x.size() / split;
  vorn::pulse_features(x.data(), uniform, split, o, out);
  for (std::size_t r = 0; r < uniform; ++r) {
    const std::span<const Sample> row(x.data() + r * split, split);
    if (!same(vorn::pulse_features(row, o), stored(r))) {
      broken("uniform rows differ from the row", r);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size < 16) return 0;
  const std::uint8_t flags = data[0];
  vorn::FeatureOptions o;
  o.baseline_begin = data[1];
  o.baseline_end = std::size_t{data[1]} + data[2];
  const unsigned polarity = (flags >> 1) & 3;
  o.polarity = polarity == 1   ? vorn::Polarity::kPositive
               : polarity == 2 ? vorn::Polarity::kNegative
                               : vorn::Polarity::kAuto;
  o.charge_window = (flags & 8) != 0 ? vorn::ChargeWindow::kAroundPeak
                                     : vorn::ChargeWindow::kFixed;
  o.charge_begin = data[3];
  o.charge_end = data[4];
  if (o.charge_window == vorn::ChargeWindow::kFixed &&
      o.charge_begin > o.charge_end) {
    std::swap(o.charge_begin, o.charge_end);
  }
  o.threshold = f32_at(data + 5);
  o.threshold_in_rms = (flags & 16) != 0;
  o.cfd_fraction = (data[9] + 1) / 256.0;
  if ((flags & 32) != 0) o.adc_max = f32_at(data + 10);
  const std::uint8_t filter = data[15];
  o.trap_rise = filter & 7;
  o.trap_flat = (filter >> 3) & 7;
  if ((filter & 64) != 0) o.pickoff = o.trap_rise + o.trap_flat;
  if ((filter & 128) != 0) o.psd_split = 3;
  o.tau = data[9] + 1.0;
  o.rise_low = (data[9] % 4 + 1) / 10.0;
  o.rise_high = 1.0 - (data[9] / 4 % 4) / 10.0;
  // Options the binding refuses never reach the kernel.
  if (vorn::check_options(o)) return 0;
  const std::size_t split = data[14];
  if ((flags & 1) != 0) {
    run<float>(data + 16, size - 16, o, split);
  } else {
    run<std::uint16_t>(data + 16, size - 16, o, split);
  }
  return 0;
}
