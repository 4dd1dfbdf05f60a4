#include "wd2_reader/wd2_reader.hpp"

#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace vorn::testing {
namespace {

using Kind = ReadError::Kind;

struct Wd2Event {
  std::uint32_t counter;
  std::uint32_t samples;  // per channel
  std::vector<float> data;
};

// `word` is the channels word every event carries, or nothing for files
// without one.
Bytes wd2_file(const std::vector<Wd2Event>& events,
               std::optional<std::int32_t> word) {
  Bytes out;
  for (const Wd2Event& e : events) {
    put_u32(out, e.counter);
    put_u64(out, 0x8000000000000000u + e.counter);
    put_u32(out, e.samples);
    put_u64(out, 1250);
    if (word) put_u32(out, static_cast<std::uint32_t>(*word));
    for (float f : e.data) put_u32(out, std::bit_cast<std::uint32_t>(f));
  }
  return out;
}

std::vector<float> ramp(std::size_t n, float first) {
  std::vector<float> out(n, first);
  for (std::size_t i = 1; i < n; ++i)
    out[i] = first + static_cast<float>(i) * 0.25f;
  return out;
}

WD2Reader create_ok(const MemFile& file) {
  auto created = WD2Reader::create(file.stream());
  if (auto* err = std::get_if<ReadError>(&created)) {
    ADD_FAILURE() << "create failed: " << err->kind << " code " << err->code
                  << ": " << err->message;
  }
  return std::move(std::get<WD2Reader>(created));
}

void expect_event(WD2Reader& reader, const Wd2Event& want,
                  std::int32_t channels) {
  auto outcome = reader.next();
  ASSERT_TRUE(std::holds_alternative<WD2Event>(outcome))
      << std::get<ReadError>(outcome).kind;
  const WD2Event& got = std::get<WD2Event>(outcome);
  EXPECT_EQ(got.event_counter, want.counter);
  EXPECT_EQ(got.timestamp, 0x8000000000000000u + want.counter);
  EXPECT_EQ(got.samples, want.samples);
  EXPECT_EQ(got.sampling_period, 1250u);
  EXPECT_EQ(got.channels, channels);
  std::vector<std::uint32_t> bits(got.data.size());
  std::memcpy(bits.data(), got.data.data(), bits.size() * sizeof(float));
  std::vector<std::uint32_t> want_bits;
  for (float f : want.data)
    want_bits.push_back(std::bit_cast<std::uint32_t>(f));
  EXPECT_EQ(bits, want_bits);
}

struct LayoutCase {
  std::string name;
  std::optional<std::int32_t> word;
  std::int32_t k;
  std::vector<Wd2Event> events;
};

void PrintTo(const LayoutCase& c, std::ostream* os) {
  *os << c.name;
}

class WD2LayoutTest : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(WD2LayoutTest, DetectsLayoutRewindsAndDecodesEveryEvent) {
  const LayoutCase& c = GetParam();
  MemFile file(wd2_file(c.events, c.word));
  WD2Reader reader = create_ok(file);
  EXPECT_EQ(reader.channel_count(), c.k);
  EXPECT_EQ(reader.has_channel_word(), c.word.has_value());
  EXPECT_EQ(reader.stream().position(), 0u);
  for (const Wd2Event& e : c.events) {
    SCOPED_TRACE(e.counter);
    expect_event(reader, e, c.word.value_or(1));
  }
  EXPECT_TRUE(fails_with(reader.next(), Kind::kEndOfData));
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, WD2LayoutTest,
    ::testing::Values(
        LayoutCase{"TwoChannelsWithWord",
                   2,
                   2,
                   {{0xffffffffu, 3, ramp(6, 1.0f)},
                    {0, 3, ramp(6, -2.0f)},
                    {1, 3, ramp(6, 0.5f)}}},
        LayoutCase{"OneChannelWithWord",
                   1,
                   1,
                   {{5, 4, ramp(4, 2.0f)}, {6, 4, ramp(4, 3.0f)}}},
        LayoutCase{"NoWordFirstSampleZero",
                   std::nullopt,
                   1,
                   {{1, 4, ramp(4, 0.0f)},
                    {2, 4, ramp(4, 9.0f)},
                    {3, 4, ramp(4, 7.0f)}}},
        LayoutCase{"NoWordTypicalFirstSample",
                   std::nullopt,
                   1,
                   {{1, 4, ramp(4, 3708.6f)},
                    {3, 4, ramp(4, 3710.0f)},
                    {8, 4, ramp(4, 3700.0f)}}},
        LayoutCase{"NoWordNegativeFirstSample",
                   std::nullopt,
                   1,
                   {{1, 4, ramp(4, -1.5f)}, {2, 4, ramp(4, -3.0f)}}}),
    [](const auto& test) { return test.param.name; });

// A first sample that reads as an absurd channel count, so detection has to
// fall back to the one-channel reading.
Bytes single_channel_file() {
  return wd2_file(
      {{1, 4, ramp(4, 3708.6f)}, {2, 4, ramp(4, 1.0f)}, {3, 4, ramp(4, 2.0f)}},
      std::nullopt);
}

// The consistent file rewinds once, after its second header; the one without
// a word rewinds first to try the one-channel reading. Either way a failed
// seek is the system's error, not a short file.
class WD2SeekFailureTest : public ::testing::TestWithParam<bool> {};

TEST_P(WD2SeekFailureTest, CreateReportsTheSeekError) {
  MemFile file(
      GetParam()
          ? wd2_file({{1, 4, ramp(8, 3708.6f)}, {2, 4, ramp(8, 1.0f)}}, 2)
          : single_channel_file());
  FakeSyscalls fake;
  fake.lseek = [](int, off_t, int) -> off_t {
    return FakeSyscalls::fail(ESPIPE);
  };
  EXPECT_TRUE(fails_with(WD2Reader::create(file.stream()), Kind::kOs, ESPIPE));
}

INSTANTIATE_TEST_SUITE_P(WithAndWithoutWord, WD2SeekFailureTest,
                         ::testing::Bool());

TEST(WD2ReaderTest, ReadErrorDuringFallbackIsReported) {
  MemFile file(single_channel_file());
  FakeSyscalls fake;
  fake.read = [&fake](int fd, void* buf, std::size_t count) {
    return fake.lseeks > 0 ? FakeSyscalls::fail(EIO) : ::read(fd, buf, count);
  };
  EXPECT_TRUE(fails_with(WD2Reader::create(file.stream()), Kind::kOs, EIO));
}

TEST(WD2ReaderTest, EventInterruptedByAnOsErrorIsCompletedExactly) {
  // 4096 samples on two channels: the payload ends on a drained buffer, so
  // the next event starts with a refill holding its header and the first
  // part of its samples; the read for the rest of them fails.
  const std::vector<Wd2Event> events = {{1, 4096, ramp(8192, 1.0f)},
                                        {2, 4096, ramp(8192, 2.0f)},
                                        {3, 4096, ramp(8192, 3.0f)}};
  MemFile file(wd2_file(events, 2));
  FakeSyscalls fake;
  WD2Reader reader = create_ok(file);
  expect_event(reader, events[0], 2);

  int reads = 0;
  fake.read = [&reads](int fd, void* buf, std::size_t count) {
    if (++reads == 2) return FakeSyscalls::fail(EIO);
    return ::read(fd, buf, count);
  };
  EXPECT_TRUE(fails_with(reader.next(), Kind::kOs, EIO));
  EXPECT_EQ(reads, 2);
  expect_event(reader, events[1], 2);
  expect_event(reader, events[2], 2);
}

TEST(WD2ReaderTest, ReusedBufferHoldsTheNextEvent) {
  const std::vector<Wd2Event> events = {
      {1, 3, ramp(6, 1.0f)}, {2, 3, ramp(6, 2.0f)}, {3, 1, ramp(2, 3.0f)}};
  MemFile file(wd2_file(events, 2));
  WD2Reader reader = create_ok(file);
  auto outcome = reader.next();
  ASSERT_TRUE(std::holds_alternative<WD2Event>(outcome));
  WD2Event first = std::move(std::get<WD2Event>(outcome));
  const float* memory = first.data.data();
  reader.reuse(std::move(first.data));
  outcome = reader.next();
  ASSERT_TRUE(std::holds_alternative<WD2Event>(outcome));
  EXPECT_EQ(std::get<WD2Event>(outcome).data.data(), memory);
  EXPECT_EQ(std::vector<float>(memory, memory + 6), events[1].data);
  reader.reuse(std::move(std::get<WD2Event>(outcome).data));
  expect_event(reader, events[2], 2);
}

}  // namespace
}  // namespace vorn::testing
