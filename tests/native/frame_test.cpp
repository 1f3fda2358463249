// The frame helpers that need no JVM: byte reversal, the password buffer
// (over a minimal stand-in JNIEnv) and the record writer.
#include "bridge/frame.h"

#include <gtest/gtest.h>
#include <jni.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "bridge/arena.h"
#include "bridge/holders.h"
#include "bridge/records.h"

namespace {

struct ReverseCase {
  std::vector<uint8_t> in, out;
};

TEST(ReverseBytes, Table) {
  const std::vector<ReverseCase> cases = {
      {{}, {}}, {{1}, {1}}, {{1, 2}, {2, 1}}, {{1, 2, 3}, {3, 2, 1}}, {{1, 2, 3, 4}, {4, 3, 2, 1}}};
  for (auto c : cases) {
    mscapi::reverseBytes(c.in.data(), static_cast<uint32_t>(c.in.size()));
    EXPECT_EQ(c.in, c.out);
  }
  mscapi::reverseBytes(nullptr, 5);  // a null buffer is left alone
  uint8_t two[2] = {1, 2};
  mscapi::reverseBytes(two, 0);
  EXPECT_EQ(two[0], 1);
}

// A JNIEnv that knows just the byte[] calls the password buffer makes, and
// records them.
struct FakeArrays {
  JNINativeInterface_ table{};
  JNIEnv env{};
  std::vector<jbyte> storage;
  int gets = 0, releases = 0, lastMode = -1;
  bool failGet = false;

  // The one fake in use (tests here run one at a time).
  static FakeArrays *&current() {
    static FakeArrays *f = nullptr;
    return f;
  }
  static FakeArrays &self(JNIEnv *) { return *current(); }

  FakeArrays() {
    current() = this;
    table.GetArrayLength = [](JNIEnv *e, jarray) -> jsize {
      return static_cast<jsize>(self(e).storage.size());
    };
    table.GetByteArrayElements = [](JNIEnv *e, jbyteArray, jboolean *) -> jbyte * {
      FakeArrays &f = self(e);
      if (f.failGet) return nullptr;
      ++f.gets;
      f.storage.reserve(1);  // a JVM gives a valid pointer for an empty array too
      return f.storage.data();
    };
    table.ReleaseByteArrayElements = [](JNIEnv *e, jbyteArray, jbyte *, jint mode) {
      ++self(e).releases;
      self(e).lastMode = mode;
    };
    // What the record writer uses: a new array is `storage` filled with a
    // marker byte, so that a byte never written shows.
    table.NewByteArray = [](JNIEnv *e, jsize n) -> jbyteArray {
      FakeArrays &f = self(e);
      f.storage.assign(static_cast<size_t>(n), static_cast<jbyte>(0xEE));
      return f.array();
    };
    table.SetByteArrayRegion = [](JNIEnv *e, jbyteArray, jsize at, jsize n, const jbyte *src) {
      FakeArrays &f = self(e);
      ++f.pieces;
      if (at < 0 || n < 0 || static_cast<size_t>(at) + n > f.storage.size()) {
        f.outOfBounds = true;
        return;
      }
      std::memcpy(f.storage.data() + at, src, static_cast<size_t>(n));
    };
    table.ExceptionCheck = [](JNIEnv *) -> jboolean { return JNI_FALSE; };
    env.functions = &table;
  }
  int pieces = 0;
  bool outOfBounds = false;
  jbyteArray array() { return reinterpret_cast<jbyteArray>(this); }
};

TEST(PasswordBuffer, Cases) {
  struct Case {
    std::vector<jbyte> bytes;
    std::vector<uint8_t> buffer;
  };
  const std::vector<Case> cases = {
      {{}, {0, 0}},                          // empty password: two zero bytes
      {{'p', 'w'}, {'p', 'w', 0, 0}},        // bytes then two zeros
      {{'a', 0, 'b'}, {'a', 0, 'b', 0, 0}},  // a zero inside is kept; the platform stops there
  };
  for (const auto &c : cases) {
    FakeArrays f;
    f.storage = c.bytes;
    const auto before = f.storage;
    mscapi::PasswordBuffer pw(&f.env, f.array());
    ASSERT_TRUE(pw.given());
    ASSERT_NE(pw.get(), nullptr);
    EXPECT_EQ(std::vector<uint8_t>(pw.get(), pw.get() + pw.size()), c.buffer);
    // Released at once, with JNI_ABORT, and never changed.
    EXPECT_EQ(f.gets, 1);
    EXPECT_EQ(f.releases, 1);
    EXPECT_EQ(f.lastMode, JNI_ABORT);
    EXPECT_EQ(f.storage, before);
  }
  FakeArrays f;
  mscapi::PasswordBuffer none(&f.env, nullptr);
  EXPECT_FALSE(none.given());
  EXPECT_EQ(none.get(), nullptr);
  EXPECT_EQ(f.gets, 0);
  f.failGet = true;
  mscapi::PasswordBuffer failed(&f.env, f.array());
  EXPECT_TRUE(failed.jniFailed());
  EXPECT_EQ(f.releases, 0);  // nothing taken, nothing to release
}

// The writer hands the result over through a staging buffer in pieces: at
// every staging size, from one byte to more than the whole, the array gets
// exactly the layout's bytes (none missed, none written twice or past the
// end), including fields longer than the staging buffer and fields filled
// piece by piece.
TEST(RecordWriter, WritesTheLayoutWholeThroughAnyStagingSize) {
  const std::string name = "Microsoft Strong Cryptographic Provider";
  std::vector<uint8_t> big(300);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 13);
  auto layout = [&](mscapi::RecordWriter &w) {
    w.u32(0x04030201);
    w.field(name.data(), static_cast<uint32_t>(name.size()));
    w.field(nullptr, 0);
    w.fieldWith(26, [](uint8_t *dst, uint32_t from, uint32_t count) {
      for (uint32_t i = 0; i < count; ++i) dst[i] = static_cast<uint8_t>('a' + from + i);
    });
    w.field(big.data(), static_cast<uint32_t>(big.size()));
    w.u32(7);
  };
  // The expected bytes, put together by hand.
  std::vector<uint8_t> expected;
  auto put32 = [&](uint32_t v) {
    for (int i = 0; i < 4; ++i) expected.push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  put32(0x04030201);
  put32(static_cast<uint32_t>(name.size()));
  expected.insert(expected.end(), name.begin(), name.end());
  put32(0);
  put32(26);
  for (char c = 'a'; c <= 'z'; ++c) expected.push_back(static_cast<uint8_t>(c));
  put32(300);
  expected.insert(expected.end(), big.begin(), big.end());
  put32(7);

  mscapi::RecordWriter measure;
  layout(measure);
  ASSERT_EQ(measure.size(), expected.size());
  for (size_t staging : {size_t{1}, size_t{3}, size_t{4}, size_t{5}, size_t{64}, size_t{299},
                         size_t{300}, size_t{301}, expected.size(), expected.size() + 10}) {
    FakeArrays f;
    jbyteArray array = f.env.NewByteArray(static_cast<jsize>(expected.size()));
    std::vector<uint8_t> buffer(staging);
    mscapi::RecordWriter write(&f.env, array, buffer.data(), buffer.size());
    layout(write);
    EXPECT_TRUE(write.finish()) << staging;
    EXPECT_FALSE(f.outOfBounds) << staging;
    EXPECT_EQ(write.size(), expected.size()) << staging;
    EXPECT_EQ(std::vector<uint8_t>(f.storage.begin(), f.storage.end()), expected) << staging;
  }

  // writeRecords sizes the array and its staging buffer itself.
  FakeArrays f;
  bool allocFailed = true;
  jbyteArray result = mscapi::writeRecords(&f.env, layout, allocFailed);
  EXPECT_EQ(result, f.array());
  EXPECT_FALSE(allocFailed);
  EXPECT_EQ(std::vector<uint8_t>(f.storage.begin(), f.storage.end()), expected);
  EXPECT_EQ(f.pieces, 1);  // a result smaller than a piece goes over at once
}

// Every piece the arena hands out is aligned, its own (writing one never
// changes another, also across blocks and for pieces larger than a block),
// and everything is freed with the arena (LeakSanitizer checks it).
TEST(Arena, PiecesAreAlignedAndDisjoint) {
  mscapi::Arena arena;
  std::vector<std::pair<uint8_t *, size_t>> pieces;
  const size_t sizes[] = {0, 1, 7, 8, 24, 1000, 65536, 200000, 3, 70000, 16};
  for (int round = 0; round < 20; ++round) {
    for (size_t n : sizes) {
      auto *p = static_cast<uint8_t *>(arena.take(n));
      ASSERT_NE(p, nullptr);
      EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % alignof(std::max_align_t), 0u) << n;
      std::memset(p, static_cast<int>(pieces.size() & 0xFF), n);
      pieces.emplace_back(p, n);
    }
  }
  for (size_t i = 0; i < pieces.size(); ++i) {
    const auto [p, n] = pieces[i];
    for (size_t k = 0; k < n; ++k)
      ASSERT_EQ(p[k], static_cast<uint8_t>(i & 0xFF)) << "piece " << i << " byte " << k;
  }
  struct Record {
    int a;
    double b;
  };
  Record *r = arena.make<Record>();
  EXPECT_EQ(r->a, 0);
  EXPECT_EQ(r->b, 0.0);
}

}  // namespace
