#include "wd1_reader/wd1_reader.hpp"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <vector>

#include "test_support.hpp"

namespace vorn::testing {
namespace {

using Kind = ReadError::Kind;

// One WD1 event: header words in file order, then the samples, then
// `padding` filler bytes that event_size accounts for.
Bytes wd1_event(std::int32_t counter, std::vector<std::uint16_t> samples,
                std::size_t padding = 0) {
  Bytes out;
  const auto size =
      static_cast<std::uint32_t>(24 + 2 * samples.size() + padding);
  for (std::uint32_t w :
       {size, 7u, 0xa5u, 3u, static_cast<std::uint32_t>(counter), 99u}) {
    put_u32(out, w);
  }
  for (std::uint16_t s : samples) {
    out.push_back(std::byte(s & 0xff));
    out.push_back(std::byte(s >> 8));
  }
  out.insert(out.end(), padding, std::byte{0xee});
  return out;
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

WD1Event expect_event(WD1Reader& reader) {
  auto outcome = reader.next();
  if (auto* err = std::get_if<ReadError>(&outcome)) {
    ADD_FAILURE() << err->kind << " code " << err->code << ": " << err->message;
    return {};
  }
  return std::move(std::get<WD1Event>(outcome));
}

std::vector<std::uint16_t> values(const WD1Event& e) {
  return {e.samples.data(), e.samples.data() + e.samples.size()};
}

TEST(WD1ReaderTest, OsErrorIsReportedOnceThenTheFileIsLeftAlone) {
  MemFile file(concat({wd1_event(1, {1, 2}), wd1_event(2, {3})}));
  FakeSyscalls fake;
  fake.read = [](int, void*, std::size_t) { return FakeSyscalls::fail(EIO); };
  WD1Reader reader(file.stream());
  EXPECT_TRUE(fails_with(reader.next(), Kind::kOs, EIO));
  const std::size_t reads = fake.reads.size();

  fake.read = nullptr;
  for (int i = 0; i < 3; ++i)
    EXPECT_TRUE(fails_with(reader.next(), Kind::kEndOfData));
  EXPECT_EQ(fake.reads.size(), reads);
}

TEST(WD1ReaderTest, EventCutByTheEndOfDataIsCompletedWhenTheFileGrows) {
  const Bytes first = wd1_event(1, {10, 20, 30});
  std::vector<std::uint16_t> big(40000);
  for (std::size_t i = 0; i < big.size(); ++i)
    big[i] = static_cast<std::uint16_t>(i * 3);
  const Bytes second = wd1_event(2, big, 1);
  // Inside the header, on the header's end, inside a sample, past a buffer's
  // worth of samples, and before the pad byte.
  for (std::size_t cut : {std::size_t{1}, std::size_t{24}, std::size_t{27},
                          std::size_t{20000}, second.size() - 1}) {
    SCOPED_TRACE(cut);
    MemFile file(concat({first, Bytes(second.begin(), second.begin() + cut)}));
    WD1Reader reader(file.stream());
    EXPECT_EQ(values(expect_event(reader)),
              (std::vector<std::uint16_t>{10, 20, 30}));
    EXPECT_TRUE(fails_with(reader.next(), Kind::kEndOfData));
    EXPECT_TRUE(fails_with(reader.next(), Kind::kEndOfData));

    file.append(Bytes(second.begin() + cut, second.end()));
    file.append(wd1_event(3, {0xffff}));
    WD1Event completed = expect_event(reader);
    EXPECT_EQ(completed.event_counter, 2);
    EXPECT_EQ(values(completed), big);
    EXPECT_EQ(values(expect_event(reader)),
              (std::vector<std::uint16_t>{0xffff}));
    EXPECT_TRUE(fails_with(reader.next(), Kind::kEndOfData));
  }
}

TEST(WD1ReaderTest, OddPayloadPadByteBelongsToTheEvent) {
  MemFile file(concat({wd1_event(1, {0x1234, 0xabcd}, 1), wd1_event(2, {}, 1),
                       wd1_event(3, {7})}));
  WD1Reader reader(file.stream());
  WD1Event a = expect_event(reader);
  EXPECT_EQ(a.event_size, 29);
  EXPECT_EQ(values(a), (std::vector<std::uint16_t>{0x1234, 0xabcd}));
  WD1Event b = expect_event(reader);
  EXPECT_EQ(b.event_size, 25);
  EXPECT_EQ(b.samples.size(), 0u);
  WD1Event c = expect_event(reader);
  EXPECT_EQ(c.event_counter, 3);
  EXPECT_EQ(c.board_id, 7);
  EXPECT_EQ(values(c), (std::vector<std::uint16_t>{7}));
  EXPECT_TRUE(fails_with(reader.next(), Kind::kEndOfData));
}

TEST(WD1ReaderTest, ReusedBufferHoldsTheNextEventOnlyBetweenEvents) {
  const Bytes cut = wd1_event(3, {5, 6, 7, 8});
  MemFile file(concat({wd1_event(1, {1, 2, 3}), wd1_event(2, {4}),
                       Bytes(cut.begin(), cut.begin() + 27)}));
  WD1Reader reader(file.stream());
  WD1Event first = expect_event(reader);
  const std::uint16_t* memory = first.samples.data();
  reader.reuse(std::move(first.samples));
  WD1Event second = expect_event(reader);
  EXPECT_EQ(second.samples.data(), memory);
  EXPECT_EQ(values(second), (std::vector<std::uint16_t>{4}));

  // Inside an event the reader keeps what arrived and leaves the buffer.
  EXPECT_TRUE(fails_with(reader.next(), Kind::kEndOfData));
  reader.reuse(std::move(second.samples));
  EXPECT_EQ(second.samples.data(), memory);
  file.append(Bytes(cut.begin() + 27, cut.end()));
  EXPECT_EQ(values(expect_event(reader)),
            (std::vector<std::uint16_t>{5, 6, 7, 8}));
}

class WD1BadSizeTest : public ::testing::TestWithParam<std::int32_t> {};

TEST_P(WD1BadSizeTest, SizeSmallerThanHeaderIsInvalidAndFinal) {
  Bytes bad = wd1_event(1, {});
  bad.erase(bad.begin(), bad.begin() + 4);
  Bytes sized;
  put_u32(sized, static_cast<std::uint32_t>(GetParam()));
  MemFile file(concat({sized, bad, wd1_event(2, {1, 2, 3})}));
  FakeSyscalls fake;
  WD1Reader reader(file.stream());
  EXPECT_TRUE(fails_with(reader.next(), Kind::kInvalidData));
  const std::size_t reads = fake.reads.size();
  EXPECT_TRUE(fails_with(reader.next(), Kind::kEndOfData));
  EXPECT_EQ(fake.reads.size(), reads);
}

INSTANTIATE_TEST_SUITE_P(Sizes, WD1BadSizeTest,
                         ::testing::Values(22, 0, -1, INT_MIN + 24));

}  // namespace
}  // namespace vorn::testing
