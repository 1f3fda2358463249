// The signer a loaded key signs with: every thread gets the key's own
// signature (PKCS#1 v1.5 is deterministic, so byte for byte the one-off
// signer's), whether it signs with a copy of its own or, beyond the copies
// allowed for a key or in the process, with the shared key; and the copies
// of a thread go when it ends.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "csp/crypto.h"

namespace {

using emu::csp::crypto::Bytes;
using emu::csp::crypto::Pkey;
using emu::csp::crypto::Signer;

// Lets `n` threads on only when all of them have arrived.
class Gate {
 public:
  explicit Gate(size_t n) : left_(n) {}
  void arriveAndWait() {
    std::unique_lock<std::mutex> lock(mu_);
    if (--left_ == 0) cv_.notify_all();
    cv_.wait(lock, [&] { return left_ == 0; });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  size_t left_;
};

class SignerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { key_ = EVP_RSA_gen(1024); }
  static void TearDownTestSuite() { EVP_PKEY_free(key_); }

  // What the one-off signer gives for the digest.
  static Bytes expected(const EVP_MD *md, const Bytes &digest) {
    Bytes sig;
    EXPECT_TRUE(emu::csp::crypto::sign(key_, md, digest.data(), digest.size(), sig));
    return sig;
  }

  static EVP_PKEY *key_;
};

EVP_PKEY *SignerTest::key_ = nullptr;

struct Digest {
  const char *what;
  const EVP_MD *md;
  size_t size;
};

const Digest kDigests[] = {{"SHA-256 DigestInfo", EVP_sha256(), 32},
                           {"SHA-1 DigestInfo", EVP_sha1(), 20},
                           {"no DigestInfo (MD5 and SHA-1 together)", nullptr, 36}};

TEST_F(SignerTest, ThreadsAtOnceAndOneAfterAnotherAllMakeTheKeysSignature) {
  struct Case {
    const char *what;
    size_t threads;
    bool together;  // all alive at once, held until every one has signed
  };
  const Case cases[] = {
      {"one thread after another", 3 * Signer::kMaxCopies, false},
      {"more threads at once than copies", Signer::kMaxCopies + 4, true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Signer signer;
    Gate signedAll(c.threads + (c.together ? 1 : 0));
    Gate released(c.threads + (c.together ? 1 : 0));
    std::vector<std::vector<Bytes>> got(c.threads);
    auto body = [&](size_t t) {
      for (const Digest &d : kDigests) {
        const Bytes digest(d.size, static_cast<uint8_t>(t + 1));
        for (int i = 0; i < 2; ++i) {  // the second time with the thread's prepared context
          Bytes sig;
          if (!signer.sign(key_, d.md, digest.data(), digest.size(), sig)) sig.clear();
          got[t].push_back(sig);
        }
      }
      if (c.together) {
        signedAll.arriveAndWait();
        released.arriveAndWait();
      }
    };
    std::vector<std::thread> threads;
    for (size_t t = 0; t < c.threads; ++t) {
      threads.emplace_back(body, t);
      if (!c.together) threads.back().join();
    }
    if (c.together) {
      signedAll.arriveAndWait();
      EXPECT_EQ(signer.copies(), Signer::kMaxCopies)
          << "threads beyond the copies use the shared key";
      released.arriveAndWait();
    }
    for (auto &t : threads)
      if (t.joinable()) t.join();
    for (size_t t = 0; t < c.threads; ++t) {
      size_t at = 0;
      for (const Digest &d : kDigests) {
        const Bytes want = expected(d.md, Bytes(d.size, static_cast<uint8_t>(t + 1)));
        for (int i = 0; i < 2; ++i, ++at)
          EXPECT_EQ(got[t][at], want) << "thread " << t << ", " << d.what << ", signature " << i;
      }
    }
    EXPECT_EQ(signer.copies(), 0u) << "copies of ended threads stay";
  }
}

TEST_F(SignerTest, NoMoreCopiesThanTheProcessAllowsAndAllGoWithTheirThreads) {
  // More keys times threads than the process allows copies.
  const size_t keys = Signer::kMaxCopiesInProcess / Signer::kMaxCopies + 4;
  const size_t threads = Signer::kMaxCopies;
  const size_t before = Signer::copiesInProcess();
  std::vector<std::unique_ptr<Signer>> signers;
  for (size_t k = 0; k < keys; ++k) signers.push_back(std::make_unique<Signer>());
  Gate signedAll(threads + 1), released(threads + 1);
  std::vector<int> wrong(threads, 0);
  std::vector<std::thread> running;
  for (size_t t = 0; t < threads; ++t)
    running.emplace_back([&, t] {
      const Bytes digest(32, static_cast<uint8_t>(t));
      const Bytes want = expected(EVP_sha256(), digest);
      for (auto &signer : signers) {
        Bytes sig;
        if (!signer->sign(key_, EVP_sha256(), digest.data(), digest.size(), sig) || sig != want)
          ++wrong[t];
      }
      signedAll.arriveAndWait();
      released.arriveAndWait();
    });
  signedAll.arriveAndWait();
  EXPECT_EQ(Signer::copiesInProcess(), Signer::kMaxCopiesInProcess);
  for (const auto &signer : signers) EXPECT_LE(signer->copies(), Signer::kMaxCopies);
  released.arriveAndWait();
  for (auto &t : running) t.join();
  for (size_t t = 0; t < threads; ++t) EXPECT_EQ(wrong[t], 0) << "thread " << t;
  EXPECT_EQ(Signer::copiesInProcess(), before) << "the threads' copies outlived them";
}

TEST_F(SignerTest, AThreadSignsWithEachNewSignerNeverWithOneThatEnded) {
  // Each signer is made after the one before has ended, usually where it
  // was; the keys take turns, so a copy of the old signer's key would give
  // the other key's signature.
  Pkey keys[2] = {Pkey(EVP_RSA_gen(1024)), Pkey(EVP_RSA_gen(1024))};
  ASSERT_TRUE(keys[0] && keys[1]);
  const size_t before = Signer::copiesInProcess();
  const Bytes digest(32, 7);
  for (int round = 0; round < 6; ++round) {
    EVP_PKEY *key = keys[round % 2].get();
    Bytes want;
    ASSERT_TRUE(emu::csp::crypto::sign(key, EVP_sha256(), digest.data(), digest.size(), want));
    auto signer = std::make_unique<Signer>();
    for (int i = 0; i < 2; ++i) {
      Bytes sig;
      ASSERT_TRUE(signer->sign(key, EVP_sha256(), digest.data(), digest.size(), sig));
      EXPECT_EQ(sig, want) << "round " << round << ", signature " << i;
    }
    EXPECT_EQ(signer->copies(), 1u) << "round " << round;
  }
  EXPECT_EQ(Signer::copiesInProcess(), before) << "copies outlived their signers";
}

}  // namespace
