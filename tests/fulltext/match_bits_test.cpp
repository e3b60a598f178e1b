// Match-bit records: packing method choice, pack/unpack round trips against a vector<bool>
// model, rejection of damaged records, and TtxBits' raw records, single-bit changes and
// segment unpacking.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "fulltext/match_bits.h"
#include "fulltext/run_packer.h"
#include "fulltext/tx_bits.h"

namespace tovenmarsh::fulltext {
namespace {

using Model = std::vector<bool>;

void Fill(TtaBits& bits, const Model& model) {
  bits.Resize(static_cast<int32_t>(model.size()) - 1);
  bits.ClearAll();
  for (size_t i = 0; i < model.size(); ++i)
    if (model[i]) bits.SetBit(static_cast<int32_t>(i));
}

Model Read(const TtaBits& bits) {
  Model model(static_cast<size_t>(bits.Max()) + 1);
  const uint8_t* bytes = bits.Bytes();
  for (size_t i = 0; i < model.size(); ++i) model[i] = (bytes[i / 8] >> (i % 8)) & 1;
  return model;
}

struct Packed {
  std::vector<uint8_t> record;
  int32_t size;
  int32_t method() const { return GetRecordInt(record.data(), kPackMethodAt); }
};

Packed PackModel(const Model& model) {
  TtaBits bits(0);
  Fill(bits, model);
  Packed p{std::vector<uint8_t>(static_cast<size_t>(bits.MaxPackedSize()), 0xEE), 0};
  p.size = bits.Pack(p.record.data());
  EXPECT_LE(p.size, bits.MaxPackedSize());
  EXPECT_EQ(GetRecordInt(p.record.data(), kRecSizeAt), p.size);
  p.record.resize(static_cast<size_t>(p.size));
  return p;
}

Model WithBits(size_t size, std::initializer_list<size_t> set) {
  Model m(size);
  for (size_t b : set) m[b] = true;
  return m;
}

void ExpectRoundTrip(const Model& model, const Packed& p) {
  TtaBits target(static_cast<int32_t>(model.size()) - 1);
  target.SetAll();  // unpacking must clear what it does not set
  target.Unpack(p.record.data(), p.record.size());
  ASSERT_EQ(Read(target), model);
  int32_t expected = 0;
  for (bool b : model) expected += b;
  EXPECT_EQ(target.Count(), expected);
}

TEST(RunPacker, DocumentedCasesAndBounds) {
  std::vector<uint8_t> zeros(200, 0), out(200);
  EXPECT_EQ(PackRuns(zeros.data(), zeros.size(), out.data()), 4);  // groups of 127 and 73
  EXPECT_EQ(out[0], 0x80 | 127);
  EXPECT_EQ(out[2], 0x80 | 73);
  const uint8_t distinct[3] = {1, 2, 3};
  EXPECT_EQ(PackRuns(distinct, 3, out.data()), -1);
  EXPECT_EQ(PackRuns(distinct, 1, out.data()), -1);

  // Unpacking refuses groups that overflow the output or are cut short by the input.
  std::vector<uint8_t> dest(10);
  const uint8_t overflow[] = {0x80 | 11, 7};
  EXPECT_EQ(UnpackRuns(overflow, 2, dest.data(), dest.size()), -1);
  const uint8_t cutRepeat[] = {0x80 | 3};
  EXPECT_EQ(UnpackRuns(cutRepeat, 1, dest.data(), dest.size()), -1);
  const uint8_t cutLiteral[] = {5, 1, 2};
  EXPECT_EQ(UnpackRuns(cutLiteral, 3, dest.data(), dest.size()), -1);
  const uint8_t fine[] = {0x80 | 3, 9, 2, 4, 5};
  EXPECT_EQ(UnpackRuns(fine, 5, dest.data(), dest.size()), 5);
  EXPECT_EQ((std::vector<uint8_t>(dest.begin(), dest.begin() + 5)), (std::vector<uint8_t>{9, 9, 9, 4, 5}));
}

TEST(RunPacker, RandomRoundTrips) {
  std::mt19937 rng(7);
  for (int round = 0; round < 2000; ++round) {
    std::vector<uint8_t> in(2 + rng() % 600);
    const int alphabet = 1 + static_cast<int>(rng() % 4);
    for (auto& b : in) b = static_cast<uint8_t>(rng() % 8 == 0 ? rng() : rng() % alphabet);
    std::vector<uint8_t> packed(in.size() - 2), back(in.size());
    const int64_t n = PackRuns(in.data(), in.size(), packed.data());
    if (n < 0) continue;
    ASSERT_LE(n, static_cast<int64_t>(in.size()) - 2);
    ASSERT_EQ(UnpackRuns(packed.data(), static_cast<size_t>(n), back.data(), back.size()),
              static_cast<int64_t>(in.size()));
    ASSERT_EQ(back, in);
  }
}

struct MethodCase {
  const char* name;
  Model model;
  std::vector<int32_t> methods;  // acceptable methods
  int32_t size;                  // expected size, 0 = not checked
};

TEST(MatchBitsPack, MethodChoice) {
  Model consecutive(2000);
  for (size_t i = 100; i < 400; ++i) consecutive[i] = true;
  Model five(100000);
  for (size_t b : {10u, 1000u, 2000u, 3000u, 4000u}) five[b] = true;
  const MethodCase cases[] = {
      {"empty", Model(100), {pmFewBits}, 24},
      {"one bit", WithBits(100, {42}), {pmFewBits}, 24},
      {"two bits far apart", WithBits(200000, {0, 199999}), {pmFewBits}, 24},
      {"three bits in a 20-bit index from bit 9", WithBits(20, {9, 12, 19}), {pmByteRange}, 24 + 2},
      {"three bits in a large index", WithBits(1000, {1, 500, 999}), {pmFewBits}, 28},
      {"300 consecutive bits", consecutive, {pmRunLength, pmByteRange}, 0},
      {"gap over 65535 with four bits", WithBits(80000, {0, 1, 2, 70000}), {pmBitList}, 4 * 4 + 16},
      {"four bits whose gaps fit", WithBits(200000, {0, 30000, 60000, 70000}), {pmGapList}, 2 * 4 + 22},
      {"five sparse bits", five, {pmGapList}, 2 * 5 + 22},
      {"dense byte range", WithBits(64, {0, 1, 3, 5, 8, 13, 21, 34, 55, 63}), {pmByteRange}, 24 + 8},
  };
  for (const MethodCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Packed p = PackModel(c.model);
    int32_t count = 0;
    for (bool b : c.model) count += b;
    EXPECT_EQ(GetRecordInt(p.record.data(), kRecCountAt), -count);
    EXPECT_NE(std::find(c.methods.begin(), c.methods.end(), p.method()), c.methods.end())
        << "method " << p.method();
    if (c.size != 0) {
      EXPECT_EQ(p.size, c.size);
    }
    ExpectRoundTrip(c.model, p);
  }
  // The empty record: count 0, F = L = 0, method 1.
  const Packed empty = PackModel(Model(100));
  EXPECT_EQ(GetRecordInt(empty.record.data(), kPackFirstAt), 0);
  EXPECT_EQ(GetRecordInt(empty.record.data(), kPackLastAt), 0);
  EXPECT_TRUE(IsPackedRecord(empty.record.data(), empty.record.size()));
}

TEST(MatchBitsPack, NeverStoresAGapOver16Bits) {
  std::mt19937 rng(11);
  for (int round = 0; round < 60; ++round) {
    Model m(150000);
    m[0] = m[149999] = true;
    for (int k = 0; k < static_cast<int>(rng() % 6); ++k) m[rng() % m.size()] = true;
    const Packed p = PackModel(m);
    if (p.method() == pmGapList) {
      size_t previous = 0;
      for (size_t i = 1; i < m.size(); ++i)
        if (m[i]) {
          ASSERT_LE(i - previous, 65535u);
          previous = i;
        }
    }
    ExpectRoundTrip(m, p);
  }
}

// Sets of every shape the packer meets: sparse, dense, runs, a clustered few, random density.
Model RandomModel(std::mt19937& rng, int round) {
  const size_t size = round < 20 ? static_cast<size_t>(round + 1)
                                 : (round % 25 == 0 ? 200000 : 1 + rng() % (round % 3 == 0 ? 200000 : 3000));
  Model m(size);
  switch (round % 5) {
    case 0:  // sparse
      for (int k = 0; k < static_cast<int>(rng() % 300); ++k) m[rng() % size] = true;
      break;
    case 1:  // dense
      for (size_t i = 0; i < size; ++i) m[i] = rng() % 4 != 0;
      break;
    case 2: {  // runs
      bool on = false;
      for (size_t i = 0; i < size; ++i) {
        if (rng() % 500 == 0) on = !on;
        m[i] = on;
      }
      break;
    }
    case 3:  // a clustered few
      for (int k = 0; k < 260; ++k) m[(size / 2 + rng() % 700) % size] = true;
      break;
    default:  // random density
      for (size_t i = 0; i < size; ++i) m[i] = rng() % 64 == 0;
  }
  return m;
}

TEST(MatchBitsPack, RandomRoundTripsAgainstModel) {
  std::mt19937 rng(2026);
  for (int round = 0; round < 400; ++round) {
    const Model m = RandomModel(rng, round);
    const size_t size = m.size();
    SCOPED_TRACE(::testing::Message() << "round " << round << " size " << size);
    const Packed p = PackModel(m);
    ASSERT_GE(p.method(), pmFewBits);
    ASSERT_LE(p.method(), pmRunLength);
    ExpectRoundTrip(m, p);
  }
}

TEST(MatchBitsPack, PackListWritesTheBytesOfPackAndLeavesTheSetEmpty) {
  std::mt19937 rng(515);
  TtaBits lists(0);
  for (int round = 0; round < 400; ++round) {
    const Model m = RandomModel(rng, round);
    SCOPED_TRACE(::testing::Message() << "round " << round << " size " << m.size());
    const Packed p = PackModel(m);
    std::vector<int32_t> list;
    for (size_t i = 0; i < m.size(); ++i)
      if (m[i]) list.push_back(static_cast<int32_t>(i));
    lists.Resize(static_cast<int32_t>(m.size()) - 1);
    std::vector<uint8_t> record(static_cast<size_t>(lists.MaxPackedSize()), 0xEE);
    const int32_t size = lists.PackList(list.data(), static_cast<int32_t>(list.size()), record.data());
    ASSERT_EQ(size, p.size);
    // The stamp is the caller's; every byte from the count on must be the same.
    ASSERT_TRUE(std::equal(record.begin() + kRecCountAt, record.begin() + size, p.record.begin() + kRecCountAt));
    ASSERT_EQ(lists.Count(), 0);
    ASSERT_EQ(lists.FindFirstSet(), -1);
  }
  // Lists out of order or beyond the set are refused before any bit is set.
  lists.Resize(99);
  std::vector<uint8_t> record(static_cast<size_t>(lists.MaxPackedSize()));
  const int32_t unordered[] = {5, 90, 7};
  const int32_t beyond[] = {5, 100};
  EXPECT_THROW(lists.PackList(unordered, 3, record.data()), ETextIndex);
  EXPECT_THROW(lists.PackList(beyond, 2, record.data()), ETextIndex);
  EXPECT_EQ(lists.FindFirstSet(), -1);
  lists.SetBit(3);  // a set that is not empty is refused
  EXPECT_THROW(lists.PackList(beyond, 1, record.data()), ETextIndex);
}

TEST(MatchBitsUnpack, LastBitBeyondMaxIsDecompressBufferTooSmall) {
  const Packed p = PackModel(WithBits(1000, {3, 900}));
  TtaBits small(500);
  try {
    small.Unpack(p.record.data(), p.record.size());
    FAIL();
  } catch (const ETextIndex& e) {
    EXPECT_EQ(e.Code(), txeDecompressBufferTooSmall);
    EXPECT_EQ(e.Message(), "Decompress buffer too small");
  }
}

// Every header field and every length of a stored record is checked.
TEST(MatchBitsUnpack, DamagedRecordsAreRefused) {
  Model runs(4000);
  for (size_t i = 1000; i < 3500; ++i) runs[i] = (i / 7) % 3 != 0;
  const Model models[] = {WithBits(1000, {1, 500, 999}), WithBits(80000, {0, 1, 2, 70000}),
                          WithBits(200000, {0, 30000, 60000, 70000}),
                          WithBits(64, {0, 1, 3, 5, 8, 13, 21, 34, 55, 63}), runs};
  std::mt19937 rng(5);
  for (const Model& m : models) {
    const Packed good = PackModel(m);
    SCOPED_TRACE(::testing::Message() << "method " << good.method());
    auto refused = [&](std::vector<uint8_t> record, size_t available) {
      TtaBits target(static_cast<int32_t>(m.size()) - 1);
      try {
        target.Unpack(record.data(), available);
      } catch (const ETextIndex& e) {
        EXPECT_EQ(target.Count(), 0);  // nothing half-loaded stays behind
        return true;
      }
      // Accepted: only fine when the damage did not change what the record says.
      return Read(target) != m;
    };
    auto with = [&](size_t at, int32_t value) {
      std::vector<uint8_t> r = good.record;
      PutRecordInt(r.data(), at, value);
      return r;
    };
    EXPECT_TRUE(refused(good.record, good.record.size() - 1));  // size beyond the bytes at hand
    EXPECT_TRUE(refused(good.record, 20));
    EXPECT_TRUE(refused(with(kRecSizeAt, good.size + 1), good.record.size() + 1));
    EXPECT_TRUE(refused(with(kRecSizeAt, 23), good.record.size()));
    EXPECT_TRUE(refused(with(kPackMethodAt, 0), good.record.size()));
    EXPECT_TRUE(refused(with(kPackMethodAt, 6), good.record.size()));
    EXPECT_TRUE(refused(with(kPackFirstAt, -1), good.record.size()));
    EXPECT_TRUE(refused(with(kPackLastAt, GetRecordInt(good.record.data(), kPackFirstAt) - 1),
                        good.record.size()));
    EXPECT_TRUE(refused(with(kRecCountAt, GetRecordInt(good.record.data(), kRecCountAt) - 1),
                        good.record.size()));
    EXPECT_TRUE(refused(with(kRecCountAt, INT32_MIN), good.record.size()));
    EXPECT_TRUE(refused(with(kRecCountAt, 5), good.record.size()));
    // Flipped data bytes either are refused or still give a set that agrees with its header.
    for (int k = 0; k < 200 && good.record.size() > kPackDataAt; ++k) {
      std::vector<uint8_t> r = good.record;
      r[kPackDataAt + rng() % (r.size() - kPackDataAt)] ^= static_cast<uint8_t>(1 + rng() % 255);
      TtaBits target(static_cast<int32_t>(m.size()) - 1);
      try {
        target.Unpack(r.data(), r.size());
      } catch (const ETextIndex&) {
        EXPECT_EQ(target.Count(), 0);
        continue;
      }
      EXPECT_EQ(target.Count(), -GetRecordInt(r.data(), kRecCountAt));
      EXPECT_EQ(target.FindFirstSet(), GetRecordInt(r.data(), kPackFirstAt));
      EXPECT_EQ(target.FindLastSet(), GetRecordInt(r.data(), kPackLastAt));
    }
  }
}

TEST(TtxBits, RawRecordsAndChangeBit) {
  TtxBits bits;
  bits.SetSize(100);
  EXPECT_EQ(bits.Size(), 100);
  EXPECT_EQ(bits.RawSize(), 13 + 12);
  EXPECT_EQ(bits.MaxPackedSize(), 13 + 24);

  std::vector<uint8_t> raw(static_cast<size_t>(bits.RawSize()), 0xAB);  // fresh, not cleared
  bits.ChangeBit(nullptr, 0, raw.data(), raw.size(), true, 7);
  EXPECT_EQ(GetRecordInt(raw.data(), kRecCountAt), 1);
  EXPECT_EQ(GetRecordInt(raw.data(), kRecSizeAt), bits.RawSize());
  EXPECT_EQ(raw[kRawBitsAt], 0x80);

  // A packed record merged into a new raw record, then changed in place.
  const Packed packed = PackModel(WithBits(100, {1, 2, 99}));
  std::vector<uint8_t> packedCopy = packed.record;
  bits.ChangeBit(packedCopy.data(), packedCopy.size(), raw.data(), raw.size(), true, 50);
  EXPECT_EQ(GetRecordInt(raw.data(), kRecCountAt), 4);
  bits.ChangeBit(raw.data(), raw.size(), raw.data(), raw.size(), false, 1);
  EXPECT_EQ(GetRecordInt(raw.data(), kRecCountAt), 3);

  // A raw record that holds a packed record (a work buffer) is unpacked before it is rewritten.
  std::vector<uint8_t> buffer(static_cast<size_t>(bits.MaxPackedSize()));
  std::memcpy(buffer.data(), packed.record.data(), packed.record.size());
  bits.ChangeBit(buffer.data(), buffer.size(), buffer.data(), buffer.size(), true, 60);
  EXPECT_EQ(GetRecordInt(buffer.data(), kRecCountAt), 4);
  EXPECT_TRUE(bits.TestBit(60) && bits.TestBit(99) && bits.TestBit(1) && !bits.TestBit(50));

  // Pack copies the stamp and leaves a raw source alone.
  PutRecordInt(raw.data(), kRecStampAt, 1234);
  std::vector<uint8_t> target(static_cast<size_t>(bits.MaxPackedSize()));
  const int32_t size = bits.Pack(raw.data(), raw.size(), target.data(), target.size());
  EXPECT_EQ(GetRecordInt(target.data(), kRecStampAt), 1234);
  TtaBits check(99);
  check.Unpack(target.data(), static_cast<size_t>(size));
  EXPECT_EQ(check.Count(), 3);

  // Capacities are checked before anything is written.
  EXPECT_THROW(bits.ChangeBit(nullptr, 0, raw.data(), raw.size() - 1, true, 1), ETextIndex);
  EXPECT_THROW(bits.Pack(nullptr, 0, target.data(), target.size() - 1), ETextIndex);
  EXPECT_THROW(bits.ToRaw(raw.data(), raw.size() - 1), ETextIndex);
  // A document beyond the sized range is refused, not written into memory.
  EXPECT_THROW(bits.ChangeBit(nullptr, 0, raw.data(), raw.size(), true, 100), ETextIndex);
}

TEST(TtxBits, LoadRawBorrowsExactRecordsAndCopiesOthers) {
  TtaBits bits(63);
  std::vector<uint8_t> exact(8 + 12, 0);
  PutRecordInt(exact.data(), kRecCountAt, 99);  // a wrong count is recounted
  PutRecordInt(exact.data(), kRecSizeAt, 20);
  exact[12] = 0x0F;
  bits.LoadRaw(exact.data(), exact.size());
  EXPECT_TRUE(bits.IsBorrowed());
  EXPECT_EQ(bits.Count(), 4);
  EXPECT_EQ(GetRecordInt(exact.data(), kRecCountAt), 4);
  bits.SetBit(63);
  EXPECT_EQ(exact[19], 0x80);  // changed in place
  bits.Restore();

  std::vector<uint8_t> shorter(4 + 12, 0xFF);
  PutRecordInt(shorter.data(), kRecCountAt, 32);
  PutRecordInt(shorter.data(), kRecSizeAt, 16);
  bits.LoadRaw(shorter.data(), shorter.size());
  EXPECT_FALSE(bits.IsBorrowed());
  EXPECT_EQ(bits.Count(), 32);
  EXPECT_THROW(bits.LoadRaw(shorter.data(), shorter.size(), true), ETextIndex);
  EXPECT_THROW(bits.LoadRaw(shorter.data(), 15), ETextIndex);  // size beyond the bytes at hand
}

TEST(TtxBits, SegmentsArePlacedAtTheirBitPosition) {
  TtxBits bits;
  bits.SetSize(100);
  const Packed first = PackModel(WithBits(32, {0, 5, 31}));
  const Packed third = PackModel(WithBits(32, {1, 3}));
  bits.Unpack(first.record.data(), first.record.size(), 0, 32);
  bits.Unpack(third.record.data(), third.record.size(), 2, 32);
  EXPECT_EQ(bits.Count(), 5);
  for (int b : {0, 5, 31, 65, 67}) EXPECT_TRUE(bits.TestBit(b)) << b;
  // The last segment is cut at the end of the set; its bits beyond it are refused.
  const Packed last = PackModel(WithBits(32, {2}));
  bits.Unpack(last.record.data(), last.record.size(), 3, 32);
  EXPECT_TRUE(bits.TestBit(98));
  const Packed beyond = PackModel(WithBits(32, {10}));
  EXPECT_THROW(bits.Unpack(beyond.record.data(), beyond.record.size(), 3, 32), ETextIndex);
  EXPECT_THROW(bits.Unpack(first.record.data(), first.record.size(), 4, 32), ETextIndex);
  EXPECT_THROW(bits.Unpack(first.record.data(), first.record.size(), -1, 32), ETextIndex);
}

}  // namespace
}  // namespace tovenmarsh::fulltext
