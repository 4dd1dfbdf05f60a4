#include "features/pulse_features.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <functional>
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

// Samples a search tests at once; see find_first().
constexpr unsigned kBlock = 32;

// Integers that order samples as their values do, so that a search over
// sample values steps through keys. -0.0 and +0.0 share the key 0; NaN has
// none.
template <class Sample>
struct Keys;

template <>
struct Keys<std::uint16_t> {
  static constexpr std::int64_t kLow = 0;
  static constexpr std::int64_t kHigh = 0xffff;
  static std::int64_t key(double v) {
    // Only a guess, which the callers confirm: a truncation costs no call
    // into libm, as std::round would without SSE4.1.
    return static_cast<std::int64_t>(std::clamp(v, 0.0, 65535.0) + 0.5);
  }
  static std::uint16_t value(std::int64_t k) {
    return static_cast<std::uint16_t>(k);
  }
};

template <>
struct Keys<float> {
  static constexpr std::int64_t kLow = -0x7f800000;  // -inf
  static constexpr std::int64_t kHigh = 0x7f800000;  // +inf
  static std::int64_t key(double v) {
    // Outside the float range the cast would be undefined; NaN never comes.
    const float f = v > FLT_MAX    ? HUGE_VALF
                    : v < -FLT_MAX ? -HUGE_VALF
                                   : static_cast<float>(v);
    const auto bits = std::bit_cast<std::int32_t>(f);
    return bits >= 0 ? bits : -static_cast<std::int64_t>(bits & 0x7fffffff);
  }
  static float value(std::int64_t k) {
    const auto magnitude = static_cast<std::uint32_t>(k >= 0 ? k : -k);
    return std::bit_cast<float>(k >= 0 ? magnitude : magnitude | 0x80000000u);
  }
};

// The least key in [lo, hi] where `pred`, false below and true above some
// key, holds; hi + 1 when it holds nowhere. Steps out from a guess in growing
// strides, then bisects: a good guess costs two or three evaluations.
template <class Pred>
std::int64_t least_true(Pred pred, std::int64_t lo, std::int64_t hi,
                        std::int64_t guess) {
  guess = std::clamp(guess, lo, hi);
  std::int64_t no = lo - 1;   // pred false here, or below the range
  std::int64_t yes = hi + 1;  // pred true here, or above the range
  std::int64_t step = 1;
  if (pred(guess)) {
    yes = guess;
    for (;;) {
      const std::int64_t t = yes - step;
      if (t < lo) break;
      if (!pred(t)) {
        no = t;
        break;
      }
      yes = t;
      step *= 2;
    }
  } else {
    no = guess;
    for (;;) {
      const std::int64_t t = no + step;
      if (t > hi) break;
      if (pred(t)) {
        yes = t;
        break;
      }
      no = t;
      step *= 2;
    }
  }
  while (yes - no > 1) {
    const std::int64_t mid = no + (yes - no) / 2;
    (pred(mid) ? yes : no) = mid;
  }
  return yes;
}

// y >= level as a compare of raw samples: y is monotonic in x, so the
// samples at or above the level are those on one side of a cut.
template <class Sample>
struct Cut {
  enum class Kind { kNone, kAll, kSome } kind;
  Sample at;  // kSome: above is x >= at (p = +1) or x <= at (p = -1)
};

template <class Sample>
Cut<Sample> level_cut(double level, double base, double p) {
  using K = Keys<Sample>;
  using Kind = typename Cut<Sample>::Kind;
  if (std::isnan(level)) return {Kind::kNone, 0};
  auto above = [&](std::int64_t k) {
    return lift(static_cast<double>(K::value(k)), base, p) >= level;
  };
  // The nearest key to the level is the cut or one off it, on either side
  // as the level falls between two samples: three evaluations around it
  // settle which, without a branch that goes one way in half the rows.
  // Keys past either end stand for NaN or wrap to the other end; the masks
  // leave them out.
  if (p > 0) {
    const std::int64_t g = K::key(base + level);
    const bool before = (g != K::kLow) & above(g - 1);
    const bool here = above(g);
    const bool after = (g != K::kHigh) & above(g + 1);
    if ((here & !before) | (after & !here)) {
      const std::int64_t k = here ? g : g + 1;
      return k == K::kLow ? Cut<Sample>{Kind::kAll, 0}
                          : Cut<Sample>{Kind::kSome, K::value(k)};
    }
    const std::int64_t k = least_true(above, K::kLow, K::kHigh, g);
    if (k > K::kHigh) return {Kind::kNone, 0};
    if (k == K::kLow) return {Kind::kAll, 0};
    return {Kind::kSome, K::value(k)};
  }
  // The greatest key above the level, found as the least of the negated.
  const std::int64_t g = K::key(base - level);
  const bool before = (g != K::kLow) & above(g - 1);
  const bool here = above(g);
  const bool after = (g != K::kHigh) & above(g + 1);
  if ((here & !after) | (before & !here)) {
    const std::int64_t k = here ? g : g - 1;
    return k == K::kHigh ? Cut<Sample>{Kind::kAll, 0}
                         : Cut<Sample>{Kind::kSome, K::value(k)};
  }
  const std::int64_t k = -least_true([&](std::int64_t j) { return above(-j); },
                                     -K::kHigh, -K::kLow, -g);
  if (k < K::kLow) return {Kind::kNone, 0};
  if (k == K::kHigh) return {Kind::kAll, 0};
  return {Kind::kSome, K::value(k)};
}

// Searches test a block of samples with branch-free code the compiler turns
// into vector compares; in the block that holds the answer, a minimum over
// the lanes that match finds it, again without a branch per sample.
// The lanes are as wide as the samples, so that a vector of compares and
// one of indices line up without widening.
template <class Sample>
using Lane =
    std::conditional_t<sizeof(Sample) == 2, std::uint16_t, std::uint32_t>;

template <class Sample, class Pred>
std::size_t first_in_block(const Sample* x, Pred pred) {
  using L = Lane<Sample>;
  L first = kBlock;
  for (unsigned k = 0; k < kBlock; ++k) {
    first = std::min(first, pred(x[k]) ? static_cast<L>(k) : L{kBlock});
  }
  return first;
}

// How far before the block's end the last k where pred(x[k]) lies
// (kBlock - 1 - k), or kBlock. A minimum, as in first_in_block: the
// compiler turns it into vector code, and a maximum it leaves scalar.
template <class Sample, class Pred>
std::size_t back_in_block(const Sample* x, Pred pred) {
  using L = Lane<Sample>;
  L back = kBlock;
  for (unsigned k = 0; k < kBlock; ++k) {
    back =
        std::min(back, pred(x[k]) ? static_cast<L>(kBlock - 1 - k) : L{kBlock});
  }
  return back;
}

template <class Sample, class Pred>
std::size_t find_first(const Sample* x, std::size_t from, std::size_t n,
                       Pred pred) {
  std::size_t i = from;
  for (; i + kBlock <= n; i += kBlock) {
    unsigned hit = 0;
    for (std::size_t k = 0; k < kBlock; ++k) {
      hit |= static_cast<unsigned>(pred(x[i + k]));
    }
    if (hit != 0) return i + first_in_block(x + i, pred);
  }
  for (; i < n; ++i) {
    if (pred(x[i])) return i;
  }
  return n;
}

// The first i in [from, n) with x[i-1] below and x[i] above, given the
// first sample above from `from` >= 1 on, `a` (n for none). A search for
// the first sample above, then a look at the one before it: one compare a
// sample rather than two. When that one is not below (the search started
// inside a run above the level, or it is NaN), no rise lies before the next
// sample below, and the search goes on past it.
template <class Sample, class Below, class Above>
std::size_t find_rise(const Sample* x, std::size_t a, std::size_t n,
                      Below below, Above above) {
  while (a < n) {
    if (below(x[a - 1])) return a;
    const std::size_t b = find_first(x, a + 1, n, below);
    if (b == n) return n;
    a = find_first(x, b + 1, n, above);
  }
  return n;
}

// Calls f(below, above) with the two sides of a cut of kind kSome as
// predicates on raw samples. NaN is on neither side.
template <class Sample, class F>
std::size_t with_sides(const Cut<Sample>& cut, double p, F f) {
  const Sample at = cut.at;
  if (p > 0) {
    return f([at](Sample v) { return v < at; },
             [at](Sample v) { return v >= at; });
  }
  return f([at](Sample v) { return v > at; },
           [at](Sample v) { return v <= at; });
}

template <class Sample>
bool is_number(Sample v) {
  return v == v;  // NOLINT(misc-redundant-expression): false for NaN only
}

// The first i in [from, n) above the cut, or n.
template <class Sample>
std::size_t first_above(const Sample* x, std::size_t from, std::size_t n,
                        const Cut<Sample>& cut, double p) {
  using Kind = typename Cut<Sample>::Kind;
  if (cut.kind == Kind::kNone) return n;
  if (cut.kind == Kind::kAll) return find_first(x, from, n, is_number<Sample>);
  return with_sides(
      cut, p, [&](auto, auto above) { return find_first(x, from, n, above); });
}

// The first i in [from, n) below the cut, or n.
template <class Sample>
std::size_t first_below(const Sample* x, std::size_t from, std::size_t n,
                        const Cut<Sample>& cut, double p) {
  using Kind = typename Cut<Sample>::Kind;
  if (cut.kind == Kind::kAll) return n;
  if (cut.kind == Kind::kNone) return find_first(x, from, n, is_number<Sample>);
  return with_sides(
      cut, p, [&](auto below, auto) { return find_first(x, from, n, below); });
}

// The first i in [from, n) with x[i-1] below the cut and x[i] above, or n,
// given a = first_above(x, from, n, cut, p).
template <class Sample>
std::size_t first_rise(const Sample* x, std::size_t a, std::size_t n,
                       const Cut<Sample>& cut, double p) {
  if (cut.kind != Cut<Sample>::Kind::kSome) return n;  // no side is empty
  return with_sides(cut, p, [&](auto below, auto above) {
    return find_rise(x, a, n, below, above);
  });
}

// The last j < end below the cut, or `end` when there is none. Walks back
// from a peak are short, but a walk of one sample at a time ends at a
// different sample in every row, a branch mispredicted each time; a block
// of samples before the end nearly always holds the answer.
template <class Sample>
std::size_t last_below(const Sample* x, std::size_t end, const Cut<Sample>& cut,
                       double p) {
  using Kind = typename Cut<Sample>::Kind;
  auto walk = [&](auto below) {
    std::size_t i = end;
    for (; i >= kBlock; i -= kBlock) {
      const std::size_t back = back_in_block(x + i - kBlock, below);
      if (back != kBlock) return i - 1 - back;
    }
    for (std::size_t j = i; j-- > 0;) {
      if (below(x[j])) return j;
    }
    return end;
  };
  if (cut.kind == Kind::kAll) return end;
  if (cut.kind == Kind::kNone) return walk(is_number<Sample>);
  return with_sides(cut, p, [&](auto below, auto) { return walk(below); });
}

// --- Sums and ranges ----------------------------------------------------

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

struct RangeF32 {
  float lo;
  float hi;
};

RangeF32 sample_range(const float* x, std::size_t n) {
  // NaN fails both compares and is skipped. Vectors of the compiler's own:
  // written as arrays of lanes, the loop stayed scalar inside the
  // flattened row kernel. Two of them keep the vector units busy; min and
  // max do not depend on order.
  using V8f = float __attribute__((vector_size(32)));
  constexpr V8f kLow = {HUGE_VALF, HUGE_VALF, HUGE_VALF, HUGE_VALF,
                        HUGE_VALF, HUGE_VALF, HUGE_VALF, HUGE_VALF};
  V8f lo[2] = {kLow, kLow};
  V8f hi[2] = {-kLow, -kLow};
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    for (std::size_t k = 0; k < 2; ++k) {
      V8f v;
      std::memcpy(&v, x + i + 8 * k, sizeof v);
      lo[k] = v < lo[k] ? v : lo[k];
      hi[k] = v > hi[k] ? v : hi[k];
    }
  }
  // Sample i + j lands in lane j: the last samples go to lane 0, then the
  // lanes are merged in order, so that of +0.0 and -0.0 the same one wins
  // as in a scan of lanes.
  float los[16], his[16];
  std::memcpy(los, lo, sizeof los);
  std::memcpy(his, hi, sizeof his);
  for (; i < n; ++i) {
    los[0] = x[i] < los[0] ? x[i] : los[0];
    his[0] = x[i] > his[0] ? x[i] : his[0];
  }
  float l = los[0], h = his[0];
  for (std::size_t k = 1; k < 16; ++k) {
    l = los[k] < l ? los[k] : l;
    h = his[k] > h ? his[k] : h;
  }
  return {l, h};
}

// The sum of x - base over [w0, w1) in four interleaved partial sums.
double deviation_sum(const float* x, std::size_t w0, std::size_t w1,
                     double base) {
  double acc[4] = {0, 0, 0, 0};
  std::size_t i = w0;
  for (; i + 4 <= w1; i += 4) {
    for (std::size_t k = 0; k < 4; ++k) {
      acc[k] += static_cast<double>(x[i + k]) - base;
    }
  }
  for (; i < w1; ++i) acc[0] += static_cast<double>(x[i]) - base;
  return (acc[0] + acc[1]) + (acc[2] + acc[3]);
}

std::size_t find_equal(const std::uint16_t* x, std::size_t from, std::size_t n,
                       std::uint16_t value) {
  return find_first(x, from, n,
                    [value](std::uint16_t v) { return v == value; });
}

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

// What the options fix for every row, worked out once per call.
struct Plan {
  explicit Plan(const FeatureOptions& o) : options(o) {
    const std::array<double, 4> fractions = {o.rise_high, o.rise_low,
                                             o.cfd_fraction, 0.5};
    sorted = fractions;
    std::sort(sorted.begin(), sorted.end(), std::greater<>());
    for (std::size_t i = 0; i < 4; ++i) {
      repeat[i] = i > 0 && sorted[i] == sorted[i - 1];
      slot[i] = 4;
      for (std::size_t j = 4; j-- > 0;) {
        if (sorted[j] == fractions[i]) slot[i] = j;
      }
    }
    pole = -std::expm1(-1.0 / o.tau);
    // 65535 * k * (k + m), the largest E of uint16 samples, below 2^53.
    const double k = static_cast<double>(o.trap_rise);
    exact_trapezoid = k * (k + static_cast<double>(o.trap_flat)) < 0x1p36;
    // The same, below 2^31: int32 sums of the samples hold E.
    narrow_trapezoid = k * (k + static_cast<double>(o.trap_flat)) < 0x1p14;
  }

  // The time of `times` (one a sorted fraction) at fraction i of
  // kRiseHigh.., NaN when it is not among them (a NaN fraction).
  double at(const std::array<double, 4>& times, std::size_t i) const {
    return slot[i] < 4 ? times[slot[i]] : kNaN;
  }

  static constexpr std::size_t kRiseHigh = 0, kRiseLow = 1, kCfd = 2, kHalf = 3;
  const FeatureOptions& options;
  // The fractions of the amplitude whose edges are measured, highest
  // first: rise_high, rise_low, cfd_fraction and 1/2.
  std::array<double, 4> sorted;
  std::array<bool, 4> repeat;  // sorted[i] == sorted[i - 1]
  std::array<std::size_t, 4> slot;
  double pole;  // 1 - d, the pole-zero correction's weight of past samples
  bool exact_trapezoid;
  bool narrow_trapezoid;
};

struct Energy {
  double value = kNaN;
  double time = kNaN;
};

// Vectors of the compiler's own, which build for any x86-64 (and other
// CPUs) and use the AVX2 registers in that copy of the loops. They stay
// inside this file, inlined into each copy (flatten), so the warning that
// passing them changes the ABI concerns no caller.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wunknown-warning-option"
#endif
#if defined(__GNUC__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif
using V4d = double __attribute__((vector_size(32)));
using V4l = std::int64_t __attribute__((vector_size(32)));
using V4i = std::int32_t __attribute__((vector_size(16)));

// Widened lane by lane: a conversion of a whole vector of uint16 the
// compiler does one sample at a time.
V4i load4(const std::uint16_t* x) {
  return V4i{x[0], x[1], x[2], x[3]};
}

V4d broadcast(double v) {
  return V4d{v, v, v, v};
}

// The lanes one place up, 0 into the first.
V4i shifted(V4i v) {
  return __builtin_shufflevector(V4i{}, v, 0, 4, 5, 6);
}

// Lane i: the sum of lanes 0 to i.
V4i running_sum(V4i v) {
  v += shifted(v);
  return v + __builtin_shufflevector(V4i{}, v, 0, 1, 4, 5);
}

V4d select(const V4l& mask, const V4d& yes, const V4d& no) {
  const auto y = std::bit_cast<V4l>(yes);
  const auto n = std::bit_cast<V4l>(no);
  return std::bit_cast<V4d>((y & mask) | (n & ~mask));
}

struct Peak4 {
  double value;      // the first maximum of T over the steps taken
  std::size_t at;    // where
  std::size_t next;  // the first step not taken
  double d, e;       // D(next - 1) and E(next - 2)
};

// The trapezoid's steps j, j + 1, ... up to `last`, four at a time, from
// d = D(j - 1) and e = E(j - 2) as in trapezoid(). On uint16 samples D and
// E are integers below 2^53 (Plan::exact_trapezoid), so doubles hold them,
// and their running sums, exactly: each T comes out bit for bit as the
// scalar steps compute it, and the first maximum is the same.
Peak4 trapezoid_peak4(const std::uint16_t* x, std::size_t j, std::size_t last,
                      std::size_t k, std::size_t m, double d, double e,
                      double c, double offset, double p) {
  const std::size_t span = 2 * k + m;
  const V4d cv = broadcast(c), offsetv = broadcast(offset), pv = broadcast(p);
  // d and e in every lane. The sums are integers below 2^53, so their
  // order does not change them: each vector's share of the running sums is
  // added apart, and d and e go on from one vector to the next by one
  // addition each, not through a chain of shuffles.
  const V4d ramp{1, 2, 3, 4};
  V4d dv = broadcast(d), ev = broadcast(e);
  V4d best = broadcast(-HUGE_VAL);
  V4l best_at{};
  V4l at{0, 1, 2, 3};
  at += static_cast<std::int64_t>(j);
  for (; j + 3 <= last; j += 4, at += 4) {
    // In int32 lanes up to here: differences of uint16 samples and their
    // sums over four steps, at most 16 * 65535 in size.
    const V4i step = (load4(x + j) - load4(x + j - k)) -
                     (load4(x + j - k - m) - load4(x + j - span));
    const V4i sum_i = running_sum(step);  // D(n) - d
    // E(n - 1) - e - (lane + 1) * d: the D of the steps before each, less d.
    const V4d sum = __builtin_convertvector(sum_i, V4d);
    const V4d sums = __builtin_convertvector(running_sum(shifted(sum_i)), V4d);
    const V4d dn = dv + sum;
    const V4d en = (ev + ramp * dv) + sums;
    const V4d t = pv * (dn + cv * (en - offsetv));
    const V4l higher = t > best;
    best = select(higher, t, best);
    best_at = (at & higher) | (best_at & ~higher);
    ev += broadcast(4) * dv + __builtin_shufflevector(sums, sums, 3, 3, 3, 3);
    dv += __builtin_shufflevector(sum, sum, 3, 3, 3, 3);
  }
  d = dv[0];
  e = ev[0];
  // The first maximum over the lanes: the greatest value, and of the lanes
  // that hold it the earliest step. Without branches: which lane wins
  // differs from row to row.
  Peak4 out{best[0], static_cast<std::size_t>(best_at[0]), j, d, e};
  for (int i = 1; i < 4; ++i) {
    const auto lane_at = static_cast<std::size_t>(best_at[i]);
    const bool take =
        (best[i] > out.value) | ((best[i] == out.value) & (lane_at < out.at));
    out.value = take ? best[i] : out.value;
    out.at = take ? lane_at : out.at;
  }
  return out;
}

// The trapezoid read at the times [first, last]. After pole-zero
// correction it is a finite filter of the last 2k + m samples:
// k * T[n] = p * (D(n) + c * (E(n-1) - base * k * (k + m))), with
//   D(n) = x[n-k+1] + ... + x[n] - (x[n-2k-m+1] + ... + x[n-k-m]),
//   E(n) = D(0) + ... + D(n) = sum over q of x[q] * H(n - q),
// H(L) rising as L + 1 to k, flat at k for m samples, falling to 0 at
// 2k + m - 1: a trapezoid of area k * (k + m), which is how the baseline's
// share cancels exactly. D and E start from their sums at `first` and then
// step with four samples a time, exactly in integers for uint16.
template <class Sample>
Energy trapezoid(const Sample* x, std::size_t n, double base, double p,
                 std::size_t crossing, const Plan& plan) {
  const FeatureOptions& options = plan.options;
  using Acc = std::conditional_t<std::is_same_v<Sample, std::uint16_t>,
                                 std::int64_t, double>;
  const std::size_t k = options.trap_rise;
  const std::size_t m = options.trap_flat;
  const std::size_t span = 2 * k + m;
  Energy out;
  if (crossing >= n) return out;
  std::size_t first = 0, last = 0;
  if (options.pickoff) {
    if (*options.pickoff >= n - crossing) return out;
    first = last = crossing + *options.pickoff;
    out.time = static_cast<double>(first);
  } else {
    first = std::max(crossing, span - 1);
    last = std::min(n - crossing, span) + crossing - 1;
  }
  if (first + 1 < span || first > last) return out;
  const std::size_t begin = first + 1 - span;  // T depends on [begin, last]
  if constexpr (!std::is_same_v<Sample, std::uint16_t>) {
    for (std::size_t q = begin; q <= last; ++q) {
      if (!std::isfinite(x[q])) return out;
    }
  }
  auto s = [x](std::size_t j) { return static_cast<Acc>(x[j]); };
  Acc d = 0;
  Acc e = 0;
  const std::size_t top = first - 1;
  bool started = false;
  if constexpr (std::is_same_v<Sample, std::uint16_t>) {
    if (plan.narrow_trapezoid) {
      // The same integers in int32 lanes, in sample order, with the weight
      // H(top - q) = min(L + 1, k, span - 1 - L) worked out per sample: one
      // loop the compiler vectorizes, where int64 products stay scalar.
      std::int32_t head = 0, tail = 0, weighted = 0;
      for (std::size_t q = first + 1 - k; q <= first; ++q) head += x[q];
      for (std::size_t q = begin; q + k + m <= first; ++q) tail += x[q];
      const auto ki = static_cast<std::int32_t>(k);
      const auto last_l = static_cast<std::int32_t>(span - 1);
      for (std::size_t q = begin; q <= top; ++q) {
        const auto l = static_cast<std::int32_t>(top - q);
        const std::int32_t w = std::min(std::min(l + 1, ki), last_l - l);
        weighted += w * std::int32_t{x[q]};
      }
      d = head - tail;
      e = weighted;
      started = true;
    }
  }
  if (!started) {
    for (std::size_t q = first + 1 - k; q <= first; ++q) d += s(q);
    for (std::size_t q = begin; q + k + m <= first; ++q) d -= s(q);
    // E(first - 1), its weights H(L) at L = first - 1 - q in three runs.
    for (std::size_t l = 0; l < k; ++l) {
      e += s(top - l) * static_cast<Acc>(l + 1);
    }
    Acc flat = 0;
    for (std::size_t l = k; l < k + m; ++l) flat += s(top - l);
    e += flat * static_cast<Acc>(k);
    for (std::size_t l = k + m; l + 1 < span; ++l) {
      e += s(top - l) * static_cast<Acc>(span - 1 - l);
    }
  }
  const double c = plan.pole;
  const double offset =
      base * static_cast<double>(k) * static_cast<double>(k + m);
  auto t_of = [&](Acc dn, Acc en) {
    return p *
           (static_cast<double>(dn) + c * (static_cast<double>(en) - offset));
  };
  double best = t_of(d, e);
  std::size_t best_at = first;
  std::size_t j = first + 1;
  if constexpr (std::is_same_v<Sample, std::uint16_t>) {
    if (plan.exact_trapezoid && last - first >= 4) {
      const Peak4 peak =
          trapezoid_peak4(x, j, last, k, m, static_cast<double>(d),
                          static_cast<double>(e), c, offset, p);
      const bool higher = peak.value > best;
      best = higher ? peak.value : best;
      best_at = higher ? peak.at : best_at;
      // The steps left over, from the sums where the vectors stopped.
      j = peak.next;
      d = static_cast<Acc>(peak.d);
      e = static_cast<Acc>(peak.e);
    }
  }
  for (; j <= last; ++j) {
    e += d;
    d += (s(j) - s(j - k)) - (s(j - k - m) - s(j - span));
    const double t = t_of(d, e);
    const bool higher = t > best;  // rises and noise: no branch to predict
    best_at = higher ? j : best_at;
    best = higher ? t : best;
  }
  out.value = best / static_cast<double>(k);
  out.time = static_cast<double>(best_at);
  return out;
}

template <class Sample>
PulseFeatures features_of(const Sample* x, std::size_t n, const Plan& plan,
                          Polarity polarity) {
  const FeatureOptions& options = plan.options;
  constexpr bool kU16 = std::is_same_v<Sample, std::uint16_t>;
  PulseFeatures f{kNaN,  kNaN, kNaN, kNaN, kNaN, kNaN, -1,   0,
                  false, kNaN, kNaN, kNaN, kNaN, kNaN, kNaN, kNaN};
  const auto [lo, hi] = sample_range(x, n);
  f.saturated = is_saturated(lo, hi, n, options);

  const std::size_t b0 = std::min(options.baseline_begin, n);
  const std::size_t b1 = std::min(options.baseline_end, n);
  if (b1 <= b0) return f;
  const std::size_t m = b1 - b0;
  double base = 0;
  double rms = 0;
  if constexpr (kU16) {
    const std::uint64_t sum = sample_sum(x + b0, m);
    const double dm = static_cast<double>(m);
    base = static_cast<double>(sum) / dm;  // the sum is exact below 2^53
    // The variance, rounded once (the finder rounds its square root).
    rms = std::sqrt(static_cast<double>(detail::spread_of(x + b0, m, sum)) /
                    (dm * dm));
  } else {
    const detail::FloatBaseline baseline = detail::float_baseline(x + b0, m);
    base = baseline.mean;
    rms = baseline.rms;
  }
  if (!std::isfinite(base)) return f;

  const double dlo = static_cast<double>(lo);
  const double dhi = static_cast<double>(hi);
  double p = static_cast<double>(polarity);
  if (polarity == Polarity::kAuto) {
    p = dhi - base >= base - dlo ? 1.0 : -1.0;
  }
  const double amplitude = lift(p > 0 ? dhi : dlo, base, p);
  auto y = [&](std::size_t i) {
    return lift(static_cast<double>(x[i]), base, p);
  };
  auto cut = [&](double level) { return level_cut<Sample>(level, base, p); };

  const double threshold =
      options.threshold_in_rms ? options.threshold * rms : options.threshold;
  const Cut<Sample> threshold_cut = cut(threshold);
  // The first sample past the baseline window at or above T. The peak is
  // searched for up to the window's end, then, when its y is at least T,
  // from that sample on: the samples in between are below T, and so below
  // the peak. One pass over them serves both searches.
  const std::size_t above = first_above(x, b1, n, threshold_cut, p);
  const std::size_t resume = amplitude >= threshold ? above : b1;
  std::size_t peak = n;
  if constexpr (kU16) {
    // Distinct integers stay distinct through lift(), so the first sample
    // equal to the extreme is the first index of the maximum of y.
    const std::uint16_t extreme = p > 0 ? hi : lo;
    peak = find_equal(x, 0, b1, extreme);
    if (peak == b1) peak = find_equal(x, resume, n, extreme);
  } else {
    // Distinct floats may not: the first sample whose y reaches it.
    const Cut<Sample> reach = cut(amplitude);
    peak = first_above(x, 0, b1, reach, p);
    if (peak == b1) peak = first_above(x, resume, n, reach, p);
  }

  std::size_t w0 = 0, w1 = 0;
  if (options.charge_window == ChargeWindow::kFixed) {
    w0 = std::min(options.charge_begin, n);
    w1 = std::max(w0, std::min(options.charge_end, n));
  } else {
    w0 = peak - std::min(options.charge_begin, peak);
    w1 = n - peak <= options.charge_end ? n : peak + options.charge_end;
  }
  const std::size_t split =
      options.psd_split ? w0 + std::min(*options.psd_split, w1 - w0) : w1;
  double charge = 0;
  double tail = 0;
  if constexpr (kU16) {
    const std::uint64_t head = sample_sum(x + w0, split - w0);
    const std::uint64_t rest = sample_sum(x + split, w1 - split);
    charge = p * (static_cast<double>(head + rest) -
                  static_cast<double>(w1 - w0) * base);
    tail = p *
           (static_cast<double>(rest) - static_cast<double>(w1 - split) * base);
  } else {
    const double head = deviation_sum(x, w0, split, base);
    const double rest = deviation_sum(x, split, w1, base);
    charge = p * (head + rest);
    tail = p * rest;
  }

  const std::size_t crossing = first_rise(x, above, n, threshold_cut, p);

  // Where a sample below T can lie, from the edges of the lowest level at
  // or above T, when they are measured: before `rising` (the samples from
  // there to the peak are above it) or from `settled` on.
  std::size_t rising = peak;
  std::size_t settled = peak + 1;
  if (amplitude > 0) {
    // The edges at fractions of the amplitude, highest first: a lower
    // level's edge lies no nearer the peak, so each walk, back towards the
    // start and on towards the end, begins where the one above it stopped.
    const std::array<double, 4>& sorted = plan.sorted;
    std::array<double, 4> leads{}, trails{};
    std::size_t end = peak;       // the next lead lies before it
    std::size_t from = peak + 1;  // the next trail lies at or after it
    for (std::size_t i = 0; i < 4; ++i) {
      if (plan.repeat[i]) {
        leads[i] = leads[i - 1];
        trails[i] = trails[i - 1];
        continue;
      }
      const double level = sorted[i] * amplitude;
      const Cut<Sample> c = cut(level);
      const std::size_t j = last_below(x, end, c, p);
      leads[i] = j < end ? interpolate(j, y(j), y(j + 1), level) : kNaN;
      end = j < end ? j + 1 : 0;
      const std::size_t k = first_below(x, from, n, c, p);
      trails[i] = k < n ? interpolate(k - 1, y(k - 1), y(k), level) : kNaN;
      from = k;
      if (level >= threshold) {
        rising = end;
        settled = k;
      }
    }
    f.cfd_time = plan.at(leads, Plan::kCfd);
    f.rise_time =
        plan.at(leads, Plan::kRiseHigh) - plan.at(leads, Plan::kRiseLow);
    f.fall_time =
        plan.at(trails, Plan::kRiseLow) - plan.at(trails, Plan::kRiseHigh);
    f.fwhm = plan.at(trails, Plan::kHalf) - plan.at(leads, Plan::kHalf);
  }
  if (crossing < n) {
    f.threshold_time =
        interpolate(crossing - 1, y(crossing - 1), y(crossing), threshold);
    // The fall below T. A crossing makes the peak's y at least T. Past the
    // peak, no sample before the trailing edge of a level at or above T is
    // below T, so the search there starts at that edge.
    std::size_t k = n;
    if (crossing < peak && peak < n) {
      k = crossing + 1 < rising
              ? first_below(x, crossing + 1, rising, threshold_cut, p)
              : rising;
      if (k == rising) k = first_below(x, settled, n, threshold_cut, p);
    } else {
      k = first_below(x, crossing + 1, n, threshold_cut, p);
    }
    if (k < n) {
      f.time_over_threshold =
          interpolate(k - 1, y(k - 1), y(k), threshold) - f.threshold_time;
    }
  }
  if (options.trap_rise != 0) {
    const Energy energy = trapezoid(x, n, base, p, crossing, plan);
    f.energy = energy.value;
    f.energy_time = energy.time;
  }

  f.baseline = base;
  f.baseline_rms = rms;
  f.amplitude = amplitude;
  f.charge = charge;
  f.tail_ratio = options.psd_split ? tail / charge : kNaN;
  f.peak_index = static_cast<std::int64_t>(peak);
  f.polarity = static_cast<std::int8_t>(p);
  return f;
}

void store(const FeatureColumns& out, std::size_t r, const PulseFeatures& f) {
  out.rise_time[r] = f.rise_time;
  out.fall_time[r] = f.fall_time;
  out.fwhm[r] = f.fwhm;
  out.time_over_threshold[r] = f.time_over_threshold;
  out.tail_ratio[r] = f.tail_ratio;
  out.energy[r] = f.energy;
  out.energy_time[r] = f.energy_time;
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

// The options of row r: its own polarity, when rows have one each.
template <class Sample>
PulseFeatures row_features(const Sample* x, std::size_t n, std::size_t r,
                           const Plan& plan) {
  const FeatureOptions& options = plan.options;
  return features_of(x, n, plan,
                     options.row_polarity == nullptr
                         ? options.polarity
                         : static_cast<Polarity>(options.row_polarity[r]));
}

template <class Sample>
void uniform_rows(const Sample* samples, std::size_t rows, std::size_t length,
                  const FeatureOptions& options, const FeatureColumns& out) {
  const Plan plan(options);
  each_row(samples, rows, length,
           [&](const Sample* x, std::size_t n, std::size_t r) {
             store(out, r, row_features(x, n, r, plan));
           });
}

template <class Sample>
void ragged_rows(const Sample* samples, const std::uint64_t* offsets,
                 std::size_t rows, const FeatureOptions& options,
                 const FeatureColumns& out) {
  const Plan plan(options);
  each_row(samples, offsets, rows,
           [&](const Sample* x, std::size_t n, std::size_t r) {
             store(out, r, row_features(x, n, r, plan));
           });
}

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
  if (!(options.rise_low > 0 && options.rise_low < options.rise_high &&
        options.rise_high <= 1)) {
    return format("rise fractions must satisfy 0 < low < high <= 1, not %g, %g",
                  options.rise_low, options.rise_high);
  }
  // Bounded so that the trapezoid's integer sums of uint16 samples cannot
  // overflow.
  constexpr std::size_t kLongest = std::size_t{1} << 20;
  if (options.trap_rise > kLongest || options.trap_flat > kLongest) {
    return format("the trapezoid (%zu, %zu) is longer than %zu samples",
                  options.trap_rise, options.trap_flat, kLongest);
  }
  if (!(options.tau > 0)) {
    return format("tau must be positive, not %g", options.tau);
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
  return features_of(samples.data(), samples.size(), Plan(options),
                     options.polarity);
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
