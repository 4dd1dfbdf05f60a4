// C entry points into one build of the feature kernel, for
// bench/kernel_before.py: it compiles this file against the kernel's sources
// at two commits, so that both run in one process on the same rows. Options
// and columns the older kernel lacks are left out where it has none.
#include <cstddef>
#include <cstdint>

#include "features/pulse_features.hpp"

namespace {

template <class Options>
void add_tail_and_energy(Options& o) {
  if constexpr (requires { o.trap_rise; }) {
    o.psd_split = 20;
    o.trap_rise = 16;
    o.trap_flat = 8;
    o.tau = 40.0;
  }
}

template <class Columns>
void add_new_columns(Columns& c, auto column) {
  if constexpr (requires { c.energy; }) {
    c.rise_time = column();
    c.fall_time = column();
    c.fwhm = column();
    c.time_over_threshold = column();
    c.tail_ratio = column();
    c.energy = column();
    c.energy_time = column();
  }
}

// bench/features.py's chain on `rows` rows of `length` samples, with the
// tail ratio and energy filter when `everything`; `out` has room for 16
// columns of `rows` doubles.
template <class Sample>
void run(const Sample* samples, std::size_t rows, std::size_t length,
         int everything, double* out) {
  vorn::FeatureOptions o;
  o.baseline_begin = 0;
  o.baseline_end = 64;
  o.charge_window = vorn::ChargeWindow::kAroundPeak;
  o.charge_begin = 10;
  o.charge_end = 100;
  o.threshold = 5.0;
  o.threshold_in_rms = true;
  o.cfd_fraction = 0.5;
  if (everything != 0) add_tail_and_energy(o);
  vorn::FeatureColumns c{};
  std::size_t next = 0;
  auto column = [&]() { return out + rows * next++; };
  c.baseline = column();
  c.baseline_rms = column();
  c.amplitude = column();
  c.charge = column();
  c.threshold_time = column();
  c.cfd_time = column();
  c.peak_index = reinterpret_cast<std::int64_t*>(column());
  c.polarity = reinterpret_cast<std::int8_t*>(column());
  c.saturated = reinterpret_cast<std::uint8_t*>(column());
  add_new_columns(c, column);
  vorn::pulse_features(samples, rows, length, o, c);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) void run_u16(
    const std::uint16_t* samples, std::size_t rows, std::size_t length,
    int everything, double* out) {
  run(samples, rows, length, everything, out);
}

extern "C" __attribute__((visibility("default"))) void run_f32(
    const float* samples, std::size_t rows, std::size_t length, int everything,
    double* out) {
  run(samples, rows, length, everything, out);
}
