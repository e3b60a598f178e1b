// TClBits against a vector<bool> model under random operations, the documented edge cases, the
// mended faults (bounds, phantom bits, stale count on shrinking) and the stream form.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "fulltext/cl_bits.h"
#include "fulltext/match_bits.h"
#include "platform/stream.h"

namespace tovenmarsh::fulltext {
namespace {

using Model = std::vector<bool>;

int32_t CountOf(const Model& m) {
  int32_t n = 0;
  for (bool b : m) n += b;
  return n;
}

int32_t FindIn(const Model& m, bool value, int64_t start, bool upward) {
  const int64_t last = static_cast<int64_t>(m.size()) - 1;
  if (upward) {
    for (int64_t i = start < 0 ? 0 : start; i <= last; ++i)
      if (m[static_cast<size_t>(i)] == value) return static_cast<int32_t>(i);
  } else {
    for (int64_t i = start > last ? last : start; i >= 0; --i)
      if (m[static_cast<size_t>(i)] == value) return static_cast<int32_t>(i);
  }
  return -1;
}

void ExpectSame(const TClBits& bits, const Model& m) {
  ASSERT_EQ(bits.Max() + 1, static_cast<int32_t>(m.size()));
  ASSERT_EQ(bits.Count(), CountOf(m));
  for (size_t i = 0; i < m.size(); ++i) ASSERT_EQ(bits.TestBit(static_cast<int32_t>(i)), m[i]) << i;
  // Nothing above Max in the last byte.
  const int used = bits.Max() % 8 + 1;
  if (used < 8) {
    ASSERT_EQ(bits.Bytes()[bits.ByteCount() - 1] >> used, 0);
  }
}

TEST(TClBits, RandomOperationsAgainstModel) {
  std::mt19937 rng(99);
  for (int run = 0; run < 40; ++run) {
    Model m(1 + rng() % 300);
    TClBits bits(static_cast<int32_t>(m.size()) - 1);
    TClBits other(static_cast<int32_t>(m.size()) - 1);
    Model o(m.size());
    for (int step = 0; step < 400; ++step) {
      const int32_t n = static_cast<int32_t>(rng() % m.size());
      switch (rng() % 14) {
        case 0: case 1: case 2: bits.SetBit(n); m[static_cast<size_t>(n)] = true; break;
        case 3: case 4: bits.ClearBit(n); m[static_cast<size_t>(n)] = false; break;
        case 5: { const bool v = rng() % 2; bits.ControlBit(n, v); m[static_cast<size_t>(n)] = v; break; }
        case 6: bits.Invert(); m.flip(); break;
        case 7: if (rng() % 8 == 0) { bits.SetAll(); m.assign(m.size(), true); } break;
        case 8: if (rng() % 8 == 0) { bits.ClearAll(); m.assign(m.size(), false); } break;
        case 9:
          other.SetBit(n); o[static_cast<size_t>(n)] = true;
          if (rng() % 2) { bits.AndWith(&other); for (size_t i = 0; i < m.size(); ++i) m[i] = m[i] && o[i]; }
          else { bits.OrWith(&other); for (size_t i = 0; i < m.size(); ++i) m[i] = m[i] || o[i]; }
          break;
        case 10: {  // resize (shrinking keeps an exact count)
          const size_t size = 1 + rng() % 300;
          bits.Resize(static_cast<int32_t>(size) - 1);
          m.resize(size, false);
          other.Resize(static_cast<int32_t>(size) - 1);
          o.resize(size, false);
          break;
        }
        default: {
          const int32_t at = static_cast<int32_t>(rng() % (m.size() + 4)) - 2;
          ASSERT_EQ(bits.FindNextSet(at), FindIn(m, true, int64_t{at} + 1, true));
          ASSERT_EQ(bits.FindNextClear(at), FindIn(m, false, int64_t{at} + 1, true));
          ASSERT_EQ(bits.FindPriorSet(at), FindIn(m, true, int64_t{at} - 1, false));
          ASSERT_EQ(bits.FindPriorClear(at), FindIn(m, false, int64_t{at} - 1, false));
          ASSERT_EQ(bits.FindFirstSet(), FindIn(m, true, 0, true));
          ASSERT_EQ(bits.FindLastSet(), FindIn(m, true, bits.Max(), false));
          ASSERT_EQ(bits.FindFirstClear(), FindIn(m, false, 0, true));
          ASSERT_EQ(bits.FindLastClear(), FindIn(m, false, bits.Max(), false));
        }
      }
      ASSERT_NO_FATAL_FAILURE(ExpectSame(bits, m)) << "run " << run << " step " << step;
    }
  }
}

TEST(TClBits, DocumentedEdgeCases) {
  TClBits bits(9);
  EXPECT_EQ(bits.ByteCount(), 2);
  bits.SetAll();
  bits.Recount();
  EXPECT_EQ(bits.Count(), 10);
  EXPECT_EQ(bits.Bytes()[1], 0x03);  // top six bits of byte 1 clear

  TClBits empty(9);
  empty.Invert();
  EXPECT_EQ(empty.Count(), 10);
  empty.Recount();
  EXPECT_EQ(empty.Count(), 10);  // no phantom bits counted
  EXPECT_EQ(empty.FindNextSet(empty.Max()), -1);
  empty.ClearAll();
  EXPECT_EQ(empty.FindFirstSet(), -1);

  TClBits big(100);
  try {
    big.AndWith(&bits);
    FAIL();
  } catch (const EClContainerError& e) {
    EXPECT_EQ(e.Message(), "An incompatible class is passed to a method");
    EXPECT_EQ(e.Code(), 52);
  }
  EXPECT_THROW(big.OrWith(nullptr), EClContainerError);
  EXPECT_THROW(big.CopyFrom(nullptr), EClContainerError);
  try {
    TClBits bad(-1);
    FAIL();
  } catch (const EClContainerError& e) {
    EXPECT_EQ(e.Message(), "Bad size parameter");
  }
  EXPECT_THROW(big.Resize(-1), EClContainerError);
  EXPECT_THROW(TClBits(INT32_MAX), EClContainerError);  // its full count would not fit
  EXPECT_THROW(big.Resize(INT32_MAX), EClContainerError);
}

TEST(TClBits, BitNumbersOutsideTheSetAreRefused) {
  TClBits bits(20);
  for (int32_t n : {-1, 21, 1 << 30, INT32_MIN}) {
    SCOPED_TRACE(n);
    for (auto op : {+[](TClBits& b, int32_t k) { b.SetBit(k); }, +[](TClBits& b, int32_t k) { b.ClearBit(k); },
                    +[](TClBits& b, int32_t k) { (void)b.TestBit(k); }}) {
      try {
        op(bits, n);
        FAIL();
      } catch (const ETextIndex& e) {
        EXPECT_EQ(e.Code(), txeInvalidParameter);
        EXPECT_EQ(e.Message(), "Invalid parameter");
      }
    }
  }
  EXPECT_EQ(bits.Count(), 0);
}

TEST(TClBits, ShrinkingRecountsAndGrowingAddsClearBits) {
  TClBits bits(15);
  bits.SetAll();
  bits.Resize(9);  // same byte count, fewer bits
  EXPECT_EQ(bits.Count(), 10);
  bits.Resize(3);
  EXPECT_EQ(bits.Count(), 4);
  bits.Resize(40);
  EXPECT_EQ(bits.Count(), 4);
  EXPECT_EQ(bits.FindLastSet(), 3);
}

TEST(TClBits, IterateOffersBitsInOrderUntilRefused) {
  TClBits bits(200);
  for (int32_t b : {3, 64, 65, 150, 200}) bits.SetBit(b);
  std::vector<int32_t> seen;
  auto collect = [&seen](TClBits&, int32_t bit, void*) {
    seen.push_back(bit);
    return bit != 150;
  };
  EXPECT_EQ(bits.Iterate(collect, true, -5, nullptr, true), 150);
  EXPECT_EQ(seen, (std::vector<int32_t>{3, 64, 65, 150}));
  seen.clear();
  EXPECT_EQ(bits.Iterate(collect, true, 1000, nullptr, false), 150);
  EXPECT_EQ(seen, (std::vector<int32_t>{200, 150}));
  seen.clear();
  EXPECT_EQ(bits.Iterate([](TClBits&, int32_t, void*) { return true; }, false, 0, nullptr, true), -1);
}

TEST(TClBits, StreamRoundTripAndClassChecks) {
  TClBits bits(77);
  for (int32_t b : {0, 7, 8, 76, 77}) bits.SetBit(b);
  platform::TMemoryStream stream;
  bits.StoreToStream(stream);

  stream.SetPosition(0);
  TClBits back(3);
  back.LoadFromStream(stream);
  EXPECT_EQ(back.Max(), 77);
  EXPECT_EQ(back.Count(), 5);
  EXPECT_TRUE(back.TestBit(76));

  // A TtaBits may load a TClBits stream (its class descends from the stored one)...
  stream.SetPosition(0);
  TtaBits derived(0);
  derived.LoadFromStream(stream);
  EXPECT_EQ(derived.Count(), 5);
  // ...but a TClBits may not load a TtaBits stream.
  platform::TMemoryStream derivedStream;
  derived.StoreToStream(derivedStream);
  derivedStream.SetPosition(0);
  try {
    back.LoadFromStream(derivedStream);
    FAIL();
  } catch (const EClContainerError& e) {
    EXPECT_EQ(e.Message(), "Class name on stream differs from object's class");
  }

  // Unknown class names, damaged counts and short bitmaps.
  platform::TMemoryStream unknown;
  TFilerWriter w(unknown);
  w.WriteString("TNoSuchBits");
  unknown.SetPosition(0);
  try {
    back.LoadFromStream(unknown);
    FAIL();
  } catch (const EClContainerError& e) {
    EXPECT_EQ(e.Message(), "Container class name TNoSuchBits read from stream is unregistered");
  }
  platform::TMemoryStream lying;
  TFilerWriter l(lying);
  l.WriteString("TClBits");
  l.WriteInteger(15);
  l.WriteInteger(1000);  // wrong count: the bytes decide
  const uint8_t bytes[2] = {0xFF, 0x01};
  l.Write(bytes, 2);
  lying.SetPosition(0);
  back.LoadFromStream(lying);
  EXPECT_EQ(back.Count(), 9);
  platform::TMemoryStream huge;
  TFilerWriter h(huge);
  h.WriteString("TClBits");
  h.WriteInteger(2000000000);  // a bitmap the stream does not hold is never allocated
  h.WriteInteger(0);
  huge.SetPosition(0);
  EXPECT_THROW(back.LoadFromStream(huge), platform::EReadError);
}

}  // namespace
}  // namespace tovenmarsh::fulltext
