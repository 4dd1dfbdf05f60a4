#include <cerrno>
#include <cstdint>
#include <random>

#include "stream/le.hpp"
#include "stream/payload.hpp"
#include "test_support.hpp"

namespace vorn::testing {
namespace {

using Kind = ReadError::Kind;

TEST(EventStreamTest, ZeroLengthReadTouchesNothing) {
  MemFile file(pattern(100));
  FakeSyscalls fake;
  EventStream stream = file.stream();
  std::byte sink{};
  EXPECT_FALSE(stream.read_exact(&sink, 0));
  EXPECT_FALSE(stream.skip(0));
  EXPECT_TRUE(fake.reads.empty());
  EXPECT_EQ(stream.position(), 0u);
}

// After 10 bytes the buffer holds 8182 more; the rest of the request decides
// between refilling the buffer and reading into the caller's memory.
class DirectReadTest : public ::testing::TestWithParam<std::size_t> {};

TEST_P(DirectReadTest, RemainderPastBufferGoesStraightToDestination) {
  const std::size_t remainder = GetParam();
  const std::size_t drained = EventStream::kBufferSize - 10;
  const Bytes content = pattern(10 + drained + remainder + 500);
  MemFile file(content);
  FakeSyscalls fake;
  EventStream stream = file.stream();
  Bytes head(10);
  ASSERT_FALSE(stream.read_exact(head.data(), head.size()));
  ASSERT_EQ(fake.reads.size(), 1u);
  EXPECT_EQ(fake.reads[0].count, EventStream::kBufferSize);

  Bytes dest(drained + remainder);
  ASSERT_FALSE(stream.read_exact(dest.data(), dest.size()));
  ASSERT_EQ(fake.reads.size(), 2u);
  const bool direct = remainder >= EventStream::kBufferSize;
  EXPECT_EQ(fake.reads[1].buf == dest.data() + drained, direct);
  EXPECT_EQ(fake.reads[1].count, direct ? remainder : EventStream::kBufferSize);
  EXPECT_TRUE(std::equal(dest.begin(), dest.end(), content.begin() + 10));
  EXPECT_EQ(stream.position(), 10 + dest.size());
}

INSTANTIATE_TEST_SUITE_P(Thresholds, DirectReadTest,
                         ::testing::Values(1, 8191, 8192, 9000, 40000));

// Mixed reads over a file larger than the buffer, checked byte for byte.
void read_all_mixed(EventStream& stream, const Bytes& content) {
  std::size_t at = 0;
  const std::size_t sizes[] = {3, 0, 9000, 1, 8192, 100, 5000};
  for (std::size_t n : sizes) {
    Bytes chunk(n);
    ASSERT_FALSE(stream.read_exact(chunk.data(), n)) << "at " << at;
    ASSERT_TRUE(std::equal(chunk.begin(), chunk.end(),
                           content.begin() + static_cast<std::ptrdiff_t>(at)));
    at += n;
    ASSERT_EQ(stream.position(), at);
  }
  ASSERT_FALSE(stream.skip(20000));
  at += 20000;
  std::uint32_t word = 0;
  ASSERT_FALSE(stream.read_u32(word));
  EXPECT_EQ(word, detail::load_le32(content.data() + at));
  Bytes rest(content.size() - at - 4);
  ASSERT_FALSE(stream.read_exact(rest.data(), rest.size()));
  EXPECT_TRUE(
      std::equal(rest.begin(), rest.end(),
                 content.end() - static_cast<std::ptrdiff_t>(rest.size())));
  std::byte extra{};
  EXPECT_TRUE(fails_with(stream.read_exact(&extra, 1), Kind::kEndOfData));
}

using ReadFn = std::function<ssize_t(int, void*, std::size_t)>;

ReadFn capped(std::size_t cap) {
  return [cap](int fd, void* buf, std::size_t count) {
    return ::read(fd, buf, std::min(count, cap));
  };
}

TEST(EventStreamTest, MisbehavingReadsStillDeliverExactly) {
  const Bytes content = pattern(60000);
  const std::pair<const char*, ReadFn> fakes[] = {
      {"1 byte at a time", capped(1)},
      {"3 bytes at a time", capped(3)},
      {"just short of a buffer", capped(EventStream::kBufferSize - 1)},
      {"random short counts",
       [rng = std::mt19937(12345)](int fd, void* buf,
                                   std::size_t count) mutable {
         return ::read(fd, buf, std::min<std::size_t>(count, rng() % 97 + 1));
       }},
      {"EINTR on every other call",
       [calls = 0](int fd, void* buf, std::size_t count) mutable {
         if (++calls % 2 == 1) return FakeSyscalls::fail(EINTR);
         return ::read(fd, buf, std::min<std::size_t>(count, 5000));
       }},
      {"claims more than it was asked for",
       [](int fd, void* buf, std::size_t count) {
         const ssize_t got = ::read(fd, buf, count);
         return got == static_cast<ssize_t>(count) ? got + 100 : got;
       }},
  };
  for (const auto& [name, read] : fakes) {
    SCOPED_TRACE(name);
    MemFile file(content);
    FakeSyscalls fake;
    fake.read = read;
    EventStream stream = file.stream();
    read_all_mixed(stream, content);
  }
}

// The file hands out `limit` bytes, then fails; the first read asks for less
// than a buffer, the second goes through the direct path.
class FailureAfterBytesTest
    : public ::testing::TestWithParam<std::pair<std::size_t, std::size_t>> {};

TEST_P(FailureAfterBytesTest, BytesBeforeTheFailureStayConsumed) {
  const auto [limit, request] = GetParam();
  const Bytes content = pattern(request * 2);
  MemFile file(content);
  std::optional<FakeSyscalls> fake(std::in_place);
  std::size_t delivered = 0;
  fake->read = [&](int fd, void* buf, std::size_t count) {
    if (delivered == limit) return FakeSyscalls::fail(EIO);
    const ssize_t got = ::read(fd, buf, std::min(count, limit - delivered));
    delivered += static_cast<std::size_t>(got);
    return got;
  };
  EventStream stream = file.stream();
  Bytes dest(request);
  EXPECT_TRUE(
      fails_with(stream.read_exact(dest.data(), request), Kind::kOs, EIO));
  EXPECT_EQ(stream.position(), limit);

  fake.reset();
  ASSERT_FALSE(stream.read_exact(dest.data(), request));
  EXPECT_TRUE(std::equal(dest.begin(), dest.end(),
                         content.begin() + static_cast<std::ptrdiff_t>(limit)));
}

INSTANTIATE_TEST_SUITE_P(
    Limits, FailureAfterBytesTest,
    ::testing::Values(std::pair<std::size_t, std::size_t>{40, 100},
                      std::pair<std::size_t, std::size_t>{10000, 20000}));

TEST(EventStreamTest, EndOfDataConsumesWhatWasThere) {
  MemFile file(pattern(30));
  EventStream stream = file.stream();
  Bytes dest(31);
  EXPECT_TRUE(fails_with(stream.read_exact(dest.data(), dest.size()),
                         Kind::kEndOfData));
  EXPECT_EQ(stream.position(), 30u);
  std::uint64_t word = 0;
  EXPECT_TRUE(fails_with(stream.read_u64(word), Kind::kEndOfData));
  EXPECT_TRUE(fails_with(stream.skip(1), Kind::kEndOfData));
}

TEST(EventStreamTest, RewindKeepsBufferOnlyWhenTheSeekFails) {
  const Bytes content = pattern(1000);
  MemFile file(content);
  FakeSyscalls fake;
  EventStream stream = file.stream();
  Bytes dest(10);
  ASSERT_FALSE(stream.read_exact(dest.data(), dest.size()));

  fake.lseek = [](int, off_t, int) -> off_t {
    return FakeSyscalls::fail(ESPIPE);
  };
  EXPECT_TRUE(fails_with(stream.rewind(), Kind::kOs, ESPIPE));
  EXPECT_EQ(stream.position(), 10u);
  ASSERT_FALSE(stream.read_exact(dest.data(), dest.size()));
  EXPECT_EQ(dest[0], content[10]);
  EXPECT_EQ(fake.reads.size(), 1u);

  fake.lseek = nullptr;
  ASSERT_FALSE(stream.rewind());
  EXPECT_EQ(stream.position(), 0u);
  ASSERT_FALSE(stream.read_exact(dest.data(), dest.size()));
  EXPECT_EQ(dest[0], content[0]);
  EXPECT_EQ(fake.reads.size(), 2u);
}

TEST(EventStreamTest, WordsAcrossBufferBoundariesAreLittleEndian) {
  // Each word straddles a refill when the file comes a buffer at a time.
  Bytes content(EventStream::kBufferSize - 2);
  put_u32(content, 0x84030201u);
  content.resize(2 * EventStream::kBufferSize - 4);
  put_u64(content, 0xf0debc9a78563412u);
  for (std::size_t cap : {std::size_t{1}, EventStream::kBufferSize}) {
    SCOPED_TRACE(cap);
    MemFile file(content);
    FakeSyscalls fake;
    fake.read = capped(cap);
    EventStream stream = file.stream();
    std::uint32_t low = 0;
    std::uint64_t high = 0;
    ASSERT_FALSE(stream.skip(EventStream::kBufferSize - 2));
    ASSERT_FALSE(stream.read_u32(low));
    ASSERT_FALSE(stream.skip(EventStream::kBufferSize - 6));
    ASSERT_FALSE(stream.read_u64(high));
    EXPECT_EQ(low, 0x84030201u);
    EXPECT_EQ(high, 0xf0debc9a78563412u);
  }
}

TEST(EventStreamTest, AvailableLooksAtTheFileOnlyWhenItMustKnowMore) {
  MemFile file(pattern(1000));
  FakeSyscalls fake;
  EventStream stream = file.stream();
  EXPECT_EQ(stream.available(100), 1000u);
  ASSERT_FALSE(stream.skip(400));
  EXPECT_EQ(stream.available(600), 600u);
  EXPECT_EQ(fake.fstats, 1);

  file.append(pattern(50));
  EXPECT_EQ(stream.available(601), 650u);
  EXPECT_EQ(fake.fstats, 2);
}

TEST(ReadSamplesTest, LyingCountAllocatesNoMoreThanTheFileDelivers) {
  MemFile file(pattern(1024));
  EventStream stream = file.stream();
  SampleVector<std::uint16_t> out;
  std::uint64_t done = 0;
  EXPECT_TRUE(
      fails_with(read_samples(stream, std::uint64_t{1} << 30, out, done),
                 Kind::kEndOfData));
  EXPECT_LE(out.capacity() * sizeof(std::uint16_t), 1024u + 64 * 1024);
  EXPECT_EQ(stream.position(), 1024u);
  EXPECT_EQ(done, 1024u);
}

TEST(ReadSamplesTest, CutPayloadCompletesFromTheNewBytesAlone) {
  // Cuts inside a sample and across the buffer size, as a writer's flushes
  // fall.
  const std::size_t count = 30000;
  const Bytes content = pattern(count * 4);
  for (std::size_t cut : {std::size_t{1}, std::size_t{4099}, count * 4 - 1}) {
    SCOPED_TRACE(cut);
    MemFile file(Bytes(content.begin(), content.begin() + cut));
    FakeSyscalls fake;
    EventStream stream = file.stream();
    SampleVector<float> out;
    std::uint64_t done = 0;
    EXPECT_TRUE(
        fails_with(read_samples(stream, count, out, done), Kind::kEndOfData));
    EXPECT_EQ(done, cut);
    EXPECT_EQ(out.size(), 0u);

    file.append(Bytes(content.begin() + cut, content.end()));
    ASSERT_FALSE(read_samples(stream, count, out, done));
    EXPECT_EQ(out.size(), count);
    EXPECT_EQ(std::memcmp(out.data(), content.data(), count * 4), 0);
    EXPECT_EQ(fake.lseeks, 0);
  }
}

TEST(ReadSamplesTest, PayloadPresentInFullIsOneAllocationAndOneRead) {
  const std::size_t count = 50000;
  const Bytes content = pattern(count * 4 + 8);
  MemFile file(content);
  FakeSyscalls fake;
  EventStream stream = file.stream();
  SampleVector<float> out;
  std::uint64_t done = 0;
  ASSERT_FALSE(read_samples(stream, count, out, done));
  EXPECT_EQ(out.size(), count);
  EXPECT_EQ(out.capacity(), count);
  ASSERT_EQ(fake.reads.size(), 1u);
  EXPECT_EQ(fake.reads[0].count, count * 4);
  EXPECT_EQ(std::memcmp(out.data(), content.data(), count * 4), 0);
}

}  // namespace
}  // namespace vorn::testing
