// The frame helpers that need no JVM: byte reversal, the password buffer
// (over a minimal stand-in JNIEnv) and the record writer.
#include "bridge/frame.h"

#include <gtest/gtest.h>
#include <jni.h>

#include <cstring>
#include <vector>

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
    env.functions = &table;
  }
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

TEST(RecordWriter, MeasuresExactlyWhatItWrites) {
  const char name[] = "Microsoft Strong Cryptographic Provider";
  auto layout = [&](mscapi::RecordWriter &w) {
    w.u32(2);
    w.field(name, static_cast<uint32_t>(std::strlen(name)));
    w.field(nullptr, 0);
    w.fieldWith(3, [](uint8_t *dst) { std::memcpy(dst, "abc", 3); });
  };
  mscapi::RecordWriter measure;
  layout(measure);
  EXPECT_EQ(measure.size(), 4u + 4 + std::strlen(name) + 4 + 4 + 3);
  std::vector<uint8_t> out(measure.size() + 1, 0xEE);
  mscapi::RecordWriter write(out.data());
  layout(write);
  EXPECT_EQ(write.size(), measure.size());
  EXPECT_EQ(out.back(), 0xEE);  // not a byte past the measured size
  EXPECT_EQ((std::vector<uint8_t>(out.begin(), out.begin() + 8)),
            (std::vector<uint8_t>{2, 0, 0, 0, 39, 0, 0, 0}));
}

}  // namespace
