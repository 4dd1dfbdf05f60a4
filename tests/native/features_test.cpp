#include "features/pulse_features.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace vorn::testing {
namespace {

template <class Sample>
class FeaturesTest : public ::testing::Test {
 protected:
  static PulseFeatures of(std::vector<double> values,
                          const FeatureOptions& options) {
    std::vector<Sample> x;
    for (double v : values) x.push_back(static_cast<Sample>(v));
    return pulse_features(std::span<const Sample>(x), options);
  }
};

using SampleTypes = ::testing::Types<std::uint16_t, float>;
TYPED_TEST_SUITE(FeaturesTest, SampleTypes);

FeatureOptions options(std::size_t b0, std::size_t b1, double threshold) {
  FeatureOptions o;
  o.baseline_begin = b0;
  o.baseline_end = b1;
  o.charge_window = ChargeWindow::kAroundPeak;
  o.charge_begin = 1;
  o.charge_end = 2;
  o.threshold = threshold;
  o.threshold_in_rms = false;
  return o;
}

// A pulse of either sign on a flat baseline of 100, worked by hand:
// y = 0 0 0 0 2 10 20 10 0, peak 6; T = 5 is crossed between 4 and 5 at
// 4 + 3/8; half the amplitude, 10, is first reached at 5 walking back from
// the peak, so the CFD interval is [4, 5] and the time 4 + 8/8.
TYPED_TEST(FeaturesTest, PulseOfEitherSign) {
  for (double sign : {1.0, -1.0}) {
    std::vector<double> x;
    for (double y : {0, 0, 0, 0, 2, 10, 20, 10, 0}) x.push_back(100 + sign * y);
    const PulseFeatures f = this->of(x, options(0, 4, 5.0));
    EXPECT_EQ(f.baseline, 100);
    EXPECT_EQ(f.baseline_rms, 0);
    EXPECT_EQ(f.polarity, sign);
    EXPECT_EQ(f.amplitude, 20);
    EXPECT_EQ(f.peak_index, 6);
    EXPECT_EQ(f.charge, 40);  // [5, 8)
    EXPECT_EQ(f.threshold_time, 4.375);
    EXPECT_EQ(f.cfd_time, 5.0);
    EXPECT_FALSE(f.saturated);
  }
}

// A pulse already above the threshold where the baseline window ends is no
// crossing; the CFD walk is not bounded by the window. y = -10 -10 20 20 20
// (b = 10 over [0, 3)), level 10 between samples 1 and 2.
TYPED_TEST(FeaturesTest, CrossingsStartAfterTheBaselineWindow) {
  const PulseFeatures f = this->of({0, 0, 30, 30, 30}, options(0, 3, 5.0));
  EXPECT_TRUE(std::isnan(f.threshold_time));
  EXPECT_EQ(f.peak_index, 2);
  EXPECT_DOUBLE_EQ(f.cfd_time, 1 + 20.0 / 30.0);
}

TYPED_TEST(FeaturesTest, NoCfdTimeWithoutRiseOrAmplitude) {
  // Peak at the first sample: nothing before it.
  const PulseFeatures first = this->of({50, 10, 10, 10}, options(1, 4, 5.0));
  EXPECT_EQ(first.peak_index, 0);
  EXPECT_EQ(first.amplitude, 40);
  EXPECT_TRUE(std::isnan(first.cfd_time));
  // A flat line: amplitude 0, the tie of auto polarity goes positive.
  const PulseFeatures flat = this->of({7, 7, 7, 7}, options(0, 2, 0.0));
  EXPECT_EQ(flat.polarity, 1);
  EXPECT_EQ(flat.amplitude, 0);
  EXPECT_EQ(flat.peak_index, 0);
  EXPECT_TRUE(std::isnan(flat.cfd_time));
  EXPECT_TRUE(std::isnan(flat.threshold_time));
}

// Variable-length rows: windows are clipped to each; a row whose clipped
// baseline window is empty has no features but still reports saturation.
TYPED_TEST(FeaturesTest, RowsOfDifferingLengthsAreClipped) {
  using Sample = TypeParam;
  const std::vector<Sample> x = {0, 5, 5, 5, 5, 5, 9};
  const std::uint64_t offsets[] = {0, 2, 7};
  double d[13][2];
  std::int64_t peak[2];
  std::int8_t polarity[2];
  std::uint8_t saturated[2];
  const FeatureColumns out{d[0], d[1],     d[2],      d[3], d[4], d[5],
                           peak, polarity, saturated, d[6], d[7], d[8],
                           d[9], d[10],    d[11],     d[12]};
  FeatureOptions o = options(2, 4, 1.0);
  o.charge_window = ChargeWindow::kFixed;
  o.charge_begin = 1;
  o.charge_end = 50;
  o.adc_max = 9;
  pulse_features(x.data(), offsets, 2, o, out);
  for (int k = 0; k < 13; ++k) EXPECT_TRUE(std::isnan(d[k][0])) << k;
  EXPECT_EQ(peak[0], -1);
  EXPECT_EQ(polarity[0], 0);
  EXPECT_EQ(saturated[0], (std::is_same_v<Sample, std::uint16_t> ? 1 : 0));
  // Row 1 is 5 5 5 5 9: baseline [2, 4) = 5, charge [1, 5) = 4.
  EXPECT_EQ(d[0][1], 5);
  EXPECT_EQ(d[3][1], 4);
  EXPECT_EQ(peak[1], 4);
  EXPECT_EQ(saturated[1], 1);  // at adc_max
}

// Shape by hand: y = 0 0 0 0 2 10 20 10 0 as in PulseOfEitherSign. The
// 10 % level (2) is first left between 3 and 4 at 3 + 2/2; the 90 % level
// (18) between 5 and 6 at 5 + 8/10. After the peak, 18 is crossed at
// 6 + 2/10 and 2 at 7 + 8/10; half height at 4 + 8/8 and 7 + 0/10.
TYPED_TEST(FeaturesTest, ShapeOfAPulse) {
  for (double sign : {1.0, -1.0}) {
    std::vector<double> x;
    for (double y : {0, 0, 0, 0, 2, 10, 20, 10, 0}) x.push_back(100 + sign * y);
    FeatureOptions o = options(0, 4, 5.0);
    o.psd_split = 2;  // charge [5, 8): 10 + 20 + 10, tail [7, 8): 10
    const PulseFeatures f = this->of(x, o);
    EXPECT_DOUBLE_EQ(f.rise_time, 5.8 - 4.0);
    EXPECT_DOUBLE_EQ(f.fall_time, 7.8 - 6.2);
    EXPECT_DOUBLE_EQ(f.fwhm, 7.0 - 5.0);
    // Above T = 5 from 4 + 3/8 to 7 + 5/10.
    EXPECT_DOUBLE_EQ(f.time_over_threshold, 7.5 - 4.375);
    EXPECT_DOUBLE_EQ(f.tail_ratio, 0.25);
    EXPECT_TRUE(std::isnan(f.energy));
  }
}

// The trapezoid of a step of height 50 at sample 10 with rise 3 and flat top
// 2: its maximum, 50, is first reached at 10 + 3 - 1; picked off 4 samples
// after the crossing (at 10) it is on the flat top too.
TYPED_TEST(FeaturesTest, TrapezoidOfAStep) {
  std::vector<double> x(30, 200.0);
  for (std::size_t i = 10; i < x.size(); ++i) x[i] = 250;
  FeatureOptions o = options(0, 8, 25.0);
  o.trap_rise = 3;
  o.trap_flat = 2;
  PulseFeatures f = this->of(x, o);
  EXPECT_EQ(f.energy, 50);
  EXPECT_EQ(f.energy_time, 12);
  o.pickoff = 4;
  f = this->of(x, o);
  EXPECT_EQ(f.energy, 50);
  EXPECT_EQ(f.energy_time, 14);
  o.pickoff = 30;  // past the end
  EXPECT_TRUE(std::isnan(this->of(x, o).energy));
}

TEST(FeaturesSaturation, AtTheExtremesOfEachType) {
  FeatureOptions o;
  const std::uint16_t u[] = {5, 65535, 5};
  EXPECT_TRUE(pulse_features(std::span<const std::uint16_t>(u), o).saturated);
  const float inf = std::numeric_limits<float>::infinity();
  const float f[] = {5, -inf, 5};
  const PulseFeatures g = pulse_features(std::span<const float>(f), o);
  EXPECT_TRUE(g.saturated);
  // The infinite sample sits in the baseline window: no features.
  EXPECT_TRUE(std::isnan(g.baseline));
  EXPECT_EQ(g.peak_index, -1);
  const float max[] = {5, 5, std::numeric_limits<float>::max()};
  o.baseline_end = 2;
  const PulseFeatures h = pulse_features(std::span<const float>(max), o);
  EXPECT_TRUE(h.saturated);
  EXPECT_EQ(h.peak_index, 2);
}

TEST(FeaturesOptions, WindowsThatCannotFit) {
  FeatureOptions o;
  o.baseline_begin = 4;
  o.baseline_end = 4;
  EXPECT_EQ(check_options(o), "the baseline window [4, 4) is empty");
  o.baseline_begin = 8;
  o.baseline_end = 20;
  EXPECT_EQ(check_options(o), std::nullopt);
  EXPECT_EQ(check_windows(o, 8),
            "the baseline window [8, 20) is empty in waveforms of 8 samples");
  EXPECT_EQ(check_windows(o, 9), std::nullopt);
  o = FeatureOptions();
  o.charge_end = 9;
  EXPECT_EQ(check_windows(o, 8),
            "the charge window [0, 9) reaches past the end of waveforms of 8 "
            "samples");
  o.charge_window = ChargeWindow::kAroundPeak;
  EXPECT_EQ(check_windows(o, 8), std::nullopt);
}

}  // namespace
}  // namespace vorn::testing
