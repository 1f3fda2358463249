// What the emulation promises under bad input and faults: typed handles,
// counted PINs, one key length rule, no secret left behind, private files,
// damaged or read-only homes, strict DER, honest store failures.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "child.h"
#include "common/home.h"
#include "common/test_hooks.h"
#include "common/trace.h"
#include "csp/keystore.h"
#include "test_home.h"
#include "winapi/crypt32.h"

namespace {

namespace keystore = emu::csp::keystore;
using Bytes = std::vector<uint8_t>;

// A keystore step's outcome as these tests compare it: whether it did
// what was asked, and the platform's error code it failed with (0 when it
// did not fail).
bool succeeded(const emu::Status &failed, DWORD &error) {
  error = failed ? failed->code : 0;
  return !failed;
}

const char kStrong[] = "Microsoft Strong Cryptographic Provider";
const char kToken[] = "Soft Token RSA Provider";
const BYTE *pinOf(const char *s) {
  return reinterpret_cast<const BYTE *>(s);
}

DWORD lastError() {
  return GetLastError();
}

// A PRIVATEKEYBLOB of a fresh OpenSSL key, built from its components.
Bytes privateBlob(unsigned bits, ALG_ID alg, EVP_PKEY **keep = nullptr) {
  EVP_PKEY *k = EVP_RSA_gen(bits);
  Bytes b = {PRIVATEKEYBLOB, 2, 0, 0};
  auto put32 = [&](uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  auto number = [&](const char *name, size_t width) {
    BIGNUM *bn = nullptr;
    EVP_PKEY_get_bn_param(k, name, &bn);
    Bytes le(width);
    BN_bn2lebinpad(bn, le.data(), static_cast<int>(width));
    BN_free(bn);
    b.insert(b.end(), le.begin(), le.end());
  };
  put32(alg);
  put32(0x32415352);
  put32(bits);
  put32(65537);
  number(OSSL_PKEY_PARAM_RSA_N, bits / 8);
  number(OSSL_PKEY_PARAM_RSA_FACTOR1, bits / 16);
  number(OSSL_PKEY_PARAM_RSA_FACTOR2, bits / 16);
  number(OSSL_PKEY_PARAM_RSA_EXPONENT1, bits / 16);
  number(OSSL_PKEY_PARAM_RSA_EXPONENT2, bits / 16);
  number(OSSL_PKEY_PARAM_RSA_COEFFICIENT1, bits / 16);
  number(OSSL_PKEY_PARAM_RSA_D, bits / 8);
  if (keep != nullptr)
    *keep = k;
  else
    EVP_PKEY_free(k);
  return b;
}

std::string slurp(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

mode_t modeOf(const std::string &path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return 07777;
  return st.st_mode & 07777;
}

Bytes selfSigned(const char *cn);

class Trust : public HomeTest {
 protected:
  HCRYPTPROV open(const char *provider, const char *container, DWORD flags = 0) {
    HCRYPTPROV p = 0;
    EXPECT_TRUE(CryptAcquireContextA(&p, container, provider, PROV_RSA_FULL, flags))
        << container << " " << std::hex << lastError();
    return p;
  }
  // A token container whose signature key is protected by `pin`.
  void protectedKey(const char *container, const char *pin) {
    HCRYPTPROV p = open(kToken, container, CRYPT_NEWKEYSET);
    ASSERT_TRUE(CryptSetProvParam(p, PP_SIGNATURE_PIN, pinOf(pin), 0));
    HCRYPTKEY k = 0;
    ASSERT_TRUE(CryptGenKey(p, AT_SIGNATURE, 512u << 16, &k));
    CryptDestroyKey(k);
    CryptReleaseContext(p, 0);
  }
  // Presents a PIN in a fresh context; the result and last error.
  bool present(const char *container, const char *pin, DWORD *error = nullptr) {
    HCRYPTPROV p = open(kToken, container);
    const bool ok = CryptSetProvParam(p, PP_SIGNATURE_PIN, pinOf(pin), 0) != FALSE;
    if (error != nullptr) *error = lastError();
    CryptReleaseContext(p, 0);
    return ok;
  }
};

// ---- handles ---------------------------------------------------------------

TEST_F(Trust, HandlesOfOneKindAreRefusedAsAnotherAtAnyCount) {
  HCRYPTPROV p = open(kStrong, "handles", CRYPT_NEWKEYSET);
  HCRYPTKEY k = 0;
  ASSERT_TRUE(CryptGenKey(p, AT_SIGNATURE, 512u << 16, &k));
  HCRYPTHASH h = 0;
  ASSERT_TRUE(CryptCreateHash(p, CALG_SHA1, 0, 0, &h));
  // Well past the point where counters of different kinds used to meet.
  for (int i = 0; i < 20000; ++i) {
    HCRYPTPROV v = 0;
    ASSERT_TRUE(CryptAcquireContextA(&v, nullptr, kStrong, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    ASSERT_NE(v, static_cast<HCRYPTPROV>(k));
    ASSERT_NE(v, static_cast<HCRYPTPROV>(h));
    ASSERT_TRUE(CryptReleaseContext(v, 0));
  }
  const struct {
    const char *what;
    std::function<BOOL()> call;
  } wrong[] = {
      {"key as context", [&] { return CryptReleaseContext(static_cast<HCRYPTPROV>(k), 0); }},
      {"hash as context", [&] { return CryptReleaseContext(static_cast<HCRYPTPROV>(h), 0); }},
      {"context as key", [&] { return CryptDestroyKey(static_cast<HCRYPTKEY>(p)); }},
      {"hash as key", [&] { return CryptDestroyKey(static_cast<HCRYPTKEY>(h)); }},
      {"key as hash", [&] { return CryptDestroyHash(static_cast<HCRYPTHASH>(k)); }},
      {"context as hash", [&] { return CryptDestroyHash(static_cast<HCRYPTHASH>(p)); }},
      {"store as context",
       [&] {
         HCERTSTORE s = CertOpenSystemStoreA(0, "CA");
         const BOOL r = CryptReleaseContext(reinterpret_cast<HCRYPTPROV>(s), 0);
         const DWORD e = GetLastError();
         CertCloseStore(s, CERT_CLOSE_STORE_FORCE_FLAG);
         SetLastError(e);
         return r;
       }},
      {"context as store",
       [&] {
         return CertCloseStore(reinterpret_cast<HCERTSTORE>(p), CERT_CLOSE_STORE_FORCE_FLAG);
       }},
  };
  for (const auto &w : wrong) {
    EXPECT_FALSE(w.call()) << w.what;
    EXPECT_EQ(lastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE)) << w.what;
  }
  // The right kinds still work, and released handles stay invalid.
  EXPECT_TRUE(CryptDestroyHash(h));
  EXPECT_TRUE(CryptDestroyKey(k));
  EXPECT_TRUE(CryptReleaseContext(p, 0));
  EXPECT_FALSE(CryptReleaseContext(p, 0));
  EXPECT_EQ(lastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

// ---- PIN retries -----------------------------------------------------------

TEST_F(Trust, WrongPinsAreCountedPerKeyAndBlockAtFive) {
  protectedKey("card", "1234");
  protectedKey("other", "1234");
  DWORD error = 0;
  // Four wrong, then the right one: it opens and clears the count.
  for (int i = 0; i < 4; ++i) EXPECT_FALSE(present("card", "0000"));
  EXPECT_TRUE(present("card", "1234"));
  EXPECT_EQ(keystore::wrongPins(keystore::databasePath(), emu::csp::ContainerNamespace::Token,
                                "card", AT_SIGNATURE),
            0u);
  // The count survives the process: two here, three in another process.
  EXPECT_FALSE(present("card", "9999"));
  EXPECT_FALSE(present("card", "9999"));
  EXPECT_EQ(child::run([&] {
              for (int i = 0; i < 3; ++i)
                if (present("card", "9999")) return 1;
              return 0;
            }),
            0);
  EXPECT_FALSE(present("card", "1234", &error)) << "blocked: the right PIN is refused too";
  EXPECT_EQ(error, SCARD_W_CHV_BLOCKED);
  EXPECT_TRUE(present("other", "1234")) << "another container is not affected";
}

// Right, six wrong, right: the wrong ones compared with the cached unlock
// are counted like any other, and the right PIN is then refused here and in
// another process.
TEST_F(Trust, WrongPinsCountAgainstACachedUnlockToo) {
  protectedKey("cached", "1234");
  HCRYPTPROV p = open(kToken, "cached");
  ASSERT_TRUE(CryptSetProvParam(p, PP_SIGNATURE_PIN, pinOf("1234"), 0));
  for (int i = 0; i < 6; ++i) {
    EXPECT_FALSE(CryptSetProvParam(p, PP_SIGNATURE_PIN, pinOf("4321"), 0)) << i;
    EXPECT_EQ(lastError(), i < 4 ? SCARD_W_WRONG_CHV : SCARD_W_CHV_BLOCKED) << i;
  }
  EXPECT_FALSE(CryptSetProvParam(p, PP_SIGNATURE_PIN, pinOf("1234"), 0));
  EXPECT_EQ(lastError(), SCARD_W_CHV_BLOCKED);
  EXPECT_EQ(child::run([&] {
              DWORD error = 0;
              return !present("cached", "1234", &error) && error == SCARD_W_CHV_BLOCKED ? 0 : 1;
            }),
            0);
  // The context that unlocked before the block cannot sign any more either.
  HCRYPTHASH h = 0;
  ASSERT_TRUE(CryptCreateHash(p, CALG_SHA1, 0, 0, &h));
  ASSERT_TRUE(CryptSetHashParam(h, HP_HASHVAL, Bytes(20, 7).data(), 0));
  DWORD n = 0;
  EXPECT_FALSE(CryptSignHashA(h, AT_SIGNATURE, nullptr, 0, nullptr, &n));
  EXPECT_EQ(lastError(), SCARD_W_CHV_BLOCKED);
  CryptDestroyHash(h);
  CryptReleaseContext(p, 0);
}

// The keys database's failures carry their reason (the stable code the
// trace and the tool match) and words, found where they happen.
TEST_F(Trust, KeystoreFailuresSayTheirReason) {
  const std::string db = keystore::databasePath();
  const auto family = emu::csp::ContainerNamespace::Token;
  int64_t id = 0;
  const auto software = emu::csp::ContainerNamespace::Software;
  ASSERT_FALSE(keystore::createContainer(db, family, "Kept", id));
  ASSERT_FALSE(keystore::createContainer(db, software, "S", id));
  ASSERT_FALSE(keystore::setUnblockCode(db, software, "", "87654321"));
  using emu::trace::Reason;
  const struct {
    const char *what;
    emu::Status failed;
    DWORD code;
    Reason cause;
    const char *words;
  } cases[] = {
      {"a taken name (case-insensitive)", keystore::createContainer(db, family, "kept", id),
       static_cast<DWORD>(NTE_EXISTS), Reason::CONTAINER_EXISTS, "a container of that name exists"},
      {"unblocking without a code", keystore::unblock(db, family, "Kept", AT_SIGNATURE, "1"),
       static_cast<DWORD>(NTE_PERM), Reason::UNBLOCK_CODE_NONE, "no unblock code was ever set"},
      {"unblocking no container", keystore::unblock(db, family, "none", AT_SIGNATURE, "1"),
       static_cast<DWORD>(NTE_BAD_KEYSET), Reason::CONTAINER_NOT_FOUND, "container not found"},
      {"a wrong code", keystore::unblock(db, software, "S", AT_SIGNATURE, "1"),
       static_cast<DWORD>(SCARD_W_WRONG_CHV), Reason::UNBLOCK_CODE_WRONG, "wrong unblock code"},
      {"a change without the current code", keystore::setUnblockCode(db, software, "", "1"),
       static_cast<DWORD>(NTE_PERM), Reason::UNBLOCK_CODE_WRONG, "only the current code"},
      {"an empty new code", keystore::setUnblockCode(db, family, "", ""),
       static_cast<DWORD>(NTE_BAD_DATA), Reason::None, "the empty text is not an unblock code"},
      {"a token's count, no code", keystore::unblockToken(db, "L", "1"),
       static_cast<DWORD>(NTE_PERM), Reason::UNBLOCK_CODE_NONE, "no unblock code was ever set"},
  };
  for (const auto &c : cases) {
    ASSERT_TRUE(c.failed) << c.what;
    EXPECT_EQ(c.failed->code, c.code) << c.what;
    EXPECT_EQ(c.failed->cause, c.cause) << c.what;
    EXPECT_NE(c.failed->why.find(c.words), std::string::npos) << c.what << ": " << c.failed->why;
  }
}

TEST_F(Trust, UnblockNeedsTheUnblockCode) {
  protectedKey("puk", "1234");
  for (int i = 0; i < 5; ++i) EXPECT_FALSE(present("puk", "0000"));
  const std::string db = keystore::databasePath();
  const auto family = emu::csp::ContainerNamespace::Token;
  DWORD error = 0;
  // No code set: a blocked key can only be deleted.
  EXPECT_FALSE(succeeded(keystore::unblock(db, family, "puk", AT_SIGNATURE, "anything"), error));
  EXPECT_EQ(error, static_cast<DWORD>(NTE_PERM));
  ASSERT_TRUE(succeeded(keystore::setUnblockCode(db, family, "", "87654321"), error));
  // Only the salted hash is stored.
  EXPECT_EQ(slurp(home_ + "/keys.db").find("87654321"), std::string::npos);
  EXPECT_EQ(slurp(home_ + "/keys.db-wal").find("87654321"), std::string::npos);
  EXPECT_FALSE(succeeded(keystore::unblock(db, family, "puk", AT_SIGNATURE, "wrong"), error));
  EXPECT_EQ(error, SCARD_W_WRONG_CHV);
  EXPECT_FALSE(present("puk", "1234")) << "a wrong code unblocks nothing";
  EXPECT_FALSE(succeeded(keystore::unblock(db, family, "nope", AT_SIGNATURE, "87654321"), error));
  EXPECT_EQ(error, static_cast<DWORD>(NTE_BAD_KEYSET));
  ASSERT_TRUE(succeeded(keystore::unblock(db, family, "puk", AT_SIGNATURE, "87654321"), error));
  EXPECT_TRUE(present("puk", "1234"));
  // Wrong codes are counted too: ten block the code itself.
  for (int i = 0; i < keystore::kMaxUnblockTries; ++i)
    EXPECT_FALSE(succeeded(keystore::unblock(db, family, "puk", AT_SIGNATURE, "bad"), error));
  EXPECT_FALSE(succeeded(keystore::unblock(db, family, "puk", AT_SIGNATURE, "87654321"), error));
  EXPECT_EQ(error, SCARD_W_CHV_BLOCKED);
}

// Wrong PINs presented at once, by threads of one process and by several
// processes: each PIN is counted before it is compared, so no more than
// five wrong ones are ever compared (the hook counts comparisons made),
// and once blocked the key refuses the right PIN too.
TEST_F(Trust, RacingWrongPinsAreComparedAtMostFiveTimes) {
  constexpr int kThreads = 64;
  const struct {
    const char *container;
    bool rightAmong;  // one thread presents the right PIN
  } cases[] = {{"wrongonly", false}, {"rightamong", true}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.container);
    protectedKey(c.container, "1234");
    EmuTestCount(emu::hooks::kPinComparisons, 1);
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::vector<DWORD> results(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([&, t] {
        HCRYPTPROV p = 0;
        const bool opened =
            CryptAcquireContextA(&p, c.container, kToken, PROV_RSA_FULL, 0) != FALSE;
        ++ready;
        while (!go) std::this_thread::yield();
        if (!opened) {
          results[t] = 1;
          return;
        }
        const bool right = c.rightAmong && t == kThreads / 2;
        // The wrong ones go on until the key is blocked.
        for (;;) {
          const BOOL ok = CryptSetProvParam(p, PP_SIGNATURE_PIN, pinOf(right ? "1234" : "0000"), 0);
          results[t] = ok ? 0 : lastError();
          if (right || results[t] != SCARD_W_WRONG_CHV) break;
        }
        CryptReleaseContext(p, 0);
      });
    while (ready < kThreads) std::this_thread::yield();
    go = true;
    for (std::thread &t : threads) t.join();
    const unsigned long long compared = EmuTestCount(emu::hooks::kPinComparisons, 0);
    std::printf("%s: %llu PINs compared\n", c.container, compared);
    const bool rightAccepted = c.rightAmong && results[kThreads / 2] == 0;
    for (int t = 0; t < kThreads; ++t)
      if (!(c.rightAmong && t == kThreads / 2)) {
        EXPECT_EQ(results[t], SCARD_W_CHV_BLOCKED) << t;
      }
    if (rightAccepted) {
      // The five wrong ones that block the key at least (a right PIN this
      // process opened the key with before, while no wrong one is counted,
      // is taken without a comparison and clears nothing); at most four
      // wrong ones before it, itself, and five after it.
      EXPECT_GE(compared, 5u);
      EXPECT_LE(compared, 10u);
    } else {
      if (c.rightAmong) {
        EXPECT_EQ(results[kThreads / 2], SCARD_W_CHV_BLOCKED);
      }
      EXPECT_EQ(compared, 5u);
    }
    DWORD error = 0;
    EXPECT_FALSE(present(c.container, "1234", &error));
    EXPECT_EQ(error, SCARD_W_CHV_BLOCKED);
    EXPECT_EQ(keystore::wrongPins(keystore::databasePath(), emu::csp::ContainerNamespace::Token,
                                  c.container, AT_SIGNATURE),
              keystore::kMaxPinTries);
  }

  // Four processes of sixteen threads each, released at once.
  protectedKey("processes", "1234");
  constexpr int kProcesses = 4, kEach = 16;
  child::Signal gate;
  ASSERT_TRUE(gate.ok());
  std::vector<pid_t> children;
  std::fflush(nullptr);  // the children flush their copy of the buffers
  for (int i = 0; i < kProcesses; ++i) {
    // The child's own threads open their own connections; its exit status
    // is the number of PINs it compared.
    const pid_t pid = child::start([&] {
      EmuTestCount(emu::hooks::kPinComparisons, 1);
      std::vector<std::thread> threads;
      std::atomic<int> refused{0};
      std::atomic<bool> go{false};
      for (int t = 0; t < kEach; ++t)
        threads.emplace_back([&] {
          HCRYPTPROV p = 0;
          if (!CryptAcquireContextA(&p, "processes", kToken, PROV_RSA_FULL, 0)) return;
          while (!go) std::this_thread::yield();
          if (!CryptSetProvParam(p, PP_SIGNATURE_PIN, pinOf("0000"), 0)) ++refused;
          CryptReleaseContext(p, 0);
        });
      gate.receive();
      go = true;
      for (std::thread &t : threads) t.join();
      const unsigned long long compared = EmuTestCount(emu::hooks::kPinComparisons, 0);
      return refused == kEach ? static_cast<int>(std::min(compared, 100ull)) : 200;
    });
    ASSERT_GT(pid, 0);
    children.push_back(pid);
  }
  ASSERT_TRUE(gate.send(kProcesses));  // releases them all
  unsigned compared = 0;
  for (pid_t pid : children) {
    const int status = child::wait(pid);
    ASSERT_NE(status, 200) << "a wrong PIN was accepted";
    ASSERT_LT(status, 100);
    compared += static_cast<unsigned>(status);
  }
  std::printf("processes: %u PINs compared\n", compared);
  EXPECT_EQ(compared, keystore::kMaxPinTries);
  DWORD error = 0;
  EXPECT_FALSE(present("processes", "1234", &error));
  EXPECT_EQ(error, SCARD_W_CHV_BLOCKED);
}

// The right PIN presented by many threads at once is accepted by every one:
// the PINs being compared hold back the others only while they could still
// block the key, never refuse them.
TEST_F(Trust, RightPinsAtOnceAreAllAccepted) {
  protectedKey("many", "1234");
  EXPECT_FALSE(present("many", "0000"));  // one wrong already: four may be pending
  constexpr int kThreads = 32;
  std::atomic<int> ready{0}, accepted{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&] {
      HCRYPTPROV p = 0;
      const bool opened = CryptAcquireContextA(&p, "many", kToken, PROV_RSA_FULL, 0) != FALSE;
      ++ready;
      while (!go) std::this_thread::yield();
      if (opened && CryptSetProvParam(p, PP_SIGNATURE_PIN, pinOf("1234"), 0)) ++accepted;
      if (opened) CryptReleaseContext(p, 0);
    });
  while (ready < kThreads) std::this_thread::yield();
  go = true;
  for (std::thread &t : threads) t.join();
  EXPECT_EQ(accepted, kThreads);
  EXPECT_EQ(keystore::wrongPins(keystore::databasePath(), emu::csp::ContainerNamespace::Token,
                                "many", AT_SIGNATURE),
            0u);
}

// A PIN that cannot be counted is not compared: on a full disk every PIN,
// the right one too, is refused with the disk full as the cause, and the
// count is where it was once there is room again.
TEST_F(Trust, OnAFullDiskNoPinIsCompared) {
  if (!emu::trace::enabled()) {
    int status = -1;
    const std::string trace = rerunTraced(home_, status);
    EXPECT_EQ(status, 0);
    EXPECT_NE(trace.find("the PIN was not checked: the attempt cannot be counted (disk full: "),
              std::string::npos)
        << trace;
    return;
  }
  protectedKey("full", "1234");
  EXPECT_FALSE(present("full", "0000"));  // one counted before the disk filled
  EmuTestCount(emu::hooks::kPinComparisons, 1);
  EmuTestControl(emu::hooks::kKeyStoreDiskFull, 0);
  for (int i = 0; i < 20; ++i) {
    DWORD error = 0;
    EXPECT_FALSE(present("full", i % 2 ? "1234" : "0000", &error)) << i;
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_DISK_FULL)) << i;
  }
  EmuTestControl(0, emu::hooks::kKeyStoreDiskFull);
  EXPECT_EQ(EmuTestCount(emu::hooks::kPinComparisons, 0), 0u);
  EXPECT_EQ(keystore::wrongPins(keystore::databasePath(), emu::csp::ContainerNamespace::Token,
                                "full", AT_SIGNATURE),
            1u);
  EXPECT_TRUE(present("full", "1234"));
}

// The unblock code is the card's PUK: once set, only the current code
// changes it; wrong current codes count towards blocking it, and a
// blocked code can never be changed, so a blocked key can only be deleted.
TEST_F(Trust, TheUnblockCodeChangesOnlyWithTheCurrentOne) {
  const std::string db = keystore::databasePath();
  const auto family = emu::csp::ContainerNamespace::Token;
  DWORD error = 0;
  EXPECT_FALSE(keystore::unblockCodeSet(db, family));
  ASSERT_TRUE(succeeded(keystore::setUnblockCode(db, family, "", "11111111"), error));
  EXPECT_TRUE(keystore::unblockCodeSet(db, family));
  const struct {
    const char *what, *current;
    bool changes;
    DWORD error;
  } changes[] = {
      {"without the current code", "", false, NTE_PERM},
      {"with a wrong current code", "99999999", false, SCARD_W_WRONG_CHV},
      {"with the current code", "11111111", true, 0},
  };
  for (const auto &c : changes) {
    error = 0;
    EXPECT_EQ(succeeded(keystore::setUnblockCode(db, family, c.current, "22222222"), error),
              c.changes)
        << c.what;
    EXPECT_EQ(error, c.error) << c.what;
  }
  // The new code unblocks a blocked key; the old one no longer does.
  protectedKey("card", "1234");
  for (int i = 0; i < 5; ++i) EXPECT_FALSE(present("card", "0000"));
  EXPECT_FALSE(succeeded(keystore::unblock(db, family, "card", AT_SIGNATURE, "11111111"), error));
  EXPECT_EQ(error, SCARD_W_WRONG_CHV);
  ASSERT_TRUE(succeeded(keystore::unblock(db, family, "card", AT_SIGNATURE, "22222222"), error));
  EXPECT_TRUE(present("card", "1234"));
  // Wrong current codes count as wrong unblock codes: ten block the code
  // (the right code resets the count, so ten in a row here).
  for (int i = 0; i < keystore::kMaxUnblockTries; ++i) {
    EXPECT_FALSE(succeeded(keystore::setUnblockCode(db, family, "bad", "33333333"), error)) << i;
    EXPECT_EQ(error, SCARD_W_WRONG_CHV) << i;
  }
  EXPECT_FALSE(succeeded(keystore::setUnblockCode(db, family, "22222222", "33333333"), error));
  EXPECT_EQ(error, SCARD_W_CHV_BLOCKED) << "a blocked code cannot be changed";
  for (int i = 0; i < 5; ++i) EXPECT_FALSE(present("card", "0000"));
  EXPECT_FALSE(succeeded(keystore::unblock(db, family, "card", AT_SIGNATURE, "22222222"), error));
  EXPECT_EQ(error, SCARD_W_CHV_BLOCKED);
  // The blocked key can only be deleted.
  HCRYPTPROV gone = 0;
  EXPECT_TRUE(CryptAcquireContextA(&gone, "card", kToken, PROV_RSA_FULL, CRYPT_DELETEKEYSET));
}

// ---- key lengths -----------------------------------------------------------

TEST_F(Trust, GenerationAndImportAdmitTheSameLengths) {
  const struct {
    unsigned bits;
    bool admitted;
  } cases[] = {{384, false}, {504, false}, {512, true}, {520, true}, {1028, false}, {16392, false}};
  for (const auto &c : cases) {
    const std::string name = "len" + std::to_string(c.bits);
    HCRYPTPROV p = open(kStrong, name.c_str(), CRYPT_NEWKEYSET);
    HCRYPTKEY k = 0;
    EXPECT_EQ(CryptGenKey(p, AT_SIGNATURE, c.bits << 16, &k) != FALSE, c.admitted) << c.bits;
    if (k != 0) CryptDestroyKey(k);
    if (c.bits <= 1024 && c.bits % 16 == 0) {
      // Import the same length (a real key of that length, made by OpenSSL
      // where it can; 384 is built by hand only as far as the length check).
      const Bytes blob =
          c.bits >= 512 ? privateBlob(c.bits, CALG_RSA_KEYX) : Bytes(20 + 9 * c.bits / 16, 0);
      Bytes b = blob;
      if (c.bits < 512) {
        b[0] = PRIVATEKEYBLOB;
        b[1] = 2;
        b[4] = 0x00, b[5] = 0xA4;  // CALG_RSA_KEYX
        const uint32_t magic = 0x32415352;
        std::memcpy(&b[8], &magic, 4);
        std::memcpy(&b[12], &c.bits, 4);
      }
      const BOOL imported =
          CryptImportKey(p, b.data(), static_cast<DWORD>(b.size()), 0, CRYPT_EXPORTABLE, &k);
      EXPECT_EQ(imported != FALSE, c.admitted) << "import " << c.bits;
      if (!imported) {
        EXPECT_EQ(lastError(), static_cast<DWORD>(NTE_BAD_LEN)) << c.bits;
      }
      if (imported) {
        // What is admitted also signs.
        HCRYPTHASH h = 0;
        ASSERT_TRUE(CryptCreateHash(p, CALG_SHA1, 0, 0, &h));
        ASSERT_TRUE(CryptSetHashParam(h, HP_HASHVAL, Bytes(20, 1).data(), 0));
        DWORD n = 0;
        EXPECT_TRUE(CryptSignHashA(h, AT_KEYEXCHANGE, nullptr, 0, nullptr, &n)) << c.bits;
        Bytes sig(n);
        EXPECT_TRUE(CryptSignHashA(h, AT_KEYEXCHANGE, nullptr, 0, sig.data(), &n)) << c.bits;
        CryptDestroyHash(h);
        CryptDestroyKey(k);
      }
    }
    CryptReleaseContext(p, 0);
  }
}

// ---- at rest ---------------------------------------------------------------

TEST_F(Trust, DeletedKeyLeavesNoSecretEvenWhenKilledRightAfter) {
  EVP_PKEY *pkey = nullptr;
  const Bytes blob = privateBlob(1024, CALG_RSA_SIGN, &pkey);
  EVP_PKEY_free(pkey);
  // The private exponent and the first prime, as stored (big-endian) and as
  // in the blob (little-endian).
  Bytes d(blob.begin() + 20 + 128 + 5 * 64, blob.end());
  Bytes p1(blob.begin() + 148, blob.begin() + 212);
  // A second key stays, so the database is not simply emptied.
  EXPECT_EQ(child::run([&] {
              HCRYPTPROV p = 0;
              HCRYPTKEY k = 0;
              if (!CryptAcquireContextA(&p, "doomed", kStrong, PROV_RSA_FULL, CRYPT_NEWKEYSET) ||
                  !CryptImportKey(p, blob.data(), static_cast<DWORD>(blob.size()), 0,
                                  CRYPT_EXPORTABLE, &k))
                return 1;
              if (!CryptAcquireContextA(&p, "stays", kStrong, PROV_RSA_FULL, CRYPT_NEWKEYSET) ||
                  !CryptGenKey(p, AT_SIGNATURE, 512u << 16, &k))
                return 2;
              return 0;
            }),
            0);
  auto present = [&](const Bytes &secret) {
    std::string disk = slurp(home_ + "/keys.db") + slurp(home_ + "/keys.db-wal");
    Bytes be(secret.rbegin(), secret.rend());
    return disk.find(std::string(secret.begin(), secret.end())) != std::string::npos ||
           disk.find(std::string(be.begin(), be.end())) != std::string::npos;
  };
  ASSERT_TRUE(present(d) || present(p1)) << "the search finds a stored secret";
  // Deleted, and the process killed the moment the call returns.
  EXPECT_EQ(child::run([&] {
              HCRYPTPROV p = 0;
              const BOOL ok =
                  CryptAcquireContextA(&p, "doomed", kStrong, PROV_RSA_FULL, CRYPT_DELETEKEYSET);
              if (ok) kill(getpid(), SIGKILL);
              return 1;
            }),
            128 + SIGKILL);
  EXPECT_FALSE(present(d));
  EXPECT_FALSE(present(p1));
  HCRYPTPROV still = open(kStrong, "stays");
  CryptReleaseContext(still, 0);
}

TEST_F(Trust, FilesArePrivateWhateverTheUmask) {
  const mode_t saved = umask(0);
  std::filesystem::remove_all(home_);
  HCRYPTPROV p = open(kStrong, "modes", CRYPT_NEWKEYSET);
  CryptReleaseContext(p, 0);
  HCERTSTORE s = CertOpenSystemStoreA(0, "CA");
  CertCloseStore(s, CERT_CLOSE_STORE_FORCE_FLAG);
  umask(saved);
  EXPECT_EQ(modeOf(home_), 0700u);
  EXPECT_EQ(modeOf(home_ + "/registry"), 0700u);
  for (const char *f :
       {"/keys.db", "/keys.db-wal", "/keys.db-shm", "/keys.db-changes", "/certs.db",
        "/certs.db-wal", "/certs.db-shm", "/certs.db-changes", "/registry/00-default.reg"})
    EXPECT_EQ(modeOf(home_ + f), 0600u) << f;
}

TEST_F(Trust, WiderModesAreTightenedOnlyWhereTheyAreTheEmulations) {
  // A home of the emulation's files only: all of it is narrowed.
  ASSERT_EQ(child::run([&] {
              HCRYPTPROV p = 0;
              return CryptAcquireContextA(&p, "a", kStrong, PROV_RSA_FULL, CRYPT_NEWKEYSET) ? 0 : 1;
            }),
            0);
  chmod(home_.c_str(), 0755);
  chmod((home_ + "/keys.db").c_str(), 0644);
  chmod((home_ + "/registry/00-default.reg").c_str(), 0644);
  EXPECT_EQ(child::run([&] {
              HCRYPTPROV p = 0;
              return CryptAcquireContextA(&p, "a", kStrong, PROV_RSA_FULL, 0) ? 0 : 1;
            }),
            0);
  EXPECT_EQ(modeOf(home_), 0700u);
  EXPECT_EQ(modeOf(home_ + "/keys.db"), 0600u);
  EXPECT_EQ(modeOf(home_ + "/registry/00-default.reg"), 0600u);

  // A shared folder (MSCAPI_HOME=/tmp): its own mode is never changed.
  std::ofstream(home_ + "/someone-elses.txt") << "x";
  chmod(home_.c_str(), 01777);
  chmod((home_ + "/keys.db").c_str(), 0644);
  EXPECT_EQ(child::run([&] {
              HCRYPTPROV p = 0;
              return CryptAcquireContextA(&p, "a", kStrong, PROV_RSA_FULL, 0) ? 0 : 1;
            }),
            0);
  EXPECT_EQ(modeOf(home_), 01777u);
  EXPECT_EQ(modeOf(home_ + "/keys.db"), 0600u);
  EXPECT_EQ(modeOf(home_ + "/someone-elses.txt") & 077, 0644u & 077);
  const auto problems = emu::permissionProblems(home_);
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_NE(problems[0].find("open to others"), std::string::npos);
}

// ---- damaged and unusable homes --------------------------------------------

TEST_F(Trust, DamagedDatabasesFailWithTheirCodeAndAreNeverOverwritten) {
  const std::string garbage = "garbage, not a database\n";
  std::filesystem::create_directories(home_);
  std::ofstream(home_ + "/keys.db") << garbage;
  std::ofstream(home_ + "/certs.db") << garbage;
  HCRYPTPROV p = 0;
  EXPECT_FALSE(CryptAcquireContextA(&p, "x", kStrong, PROV_RSA_FULL, CRYPT_NEWKEYSET));
  EXPECT_EQ(lastError(), static_cast<DWORD>(ERROR_FILE_CORRUPT));
  EXPECT_FALSE(CryptAcquireContextA(&p, "x", kStrong, PROV_RSA_FULL, 0));
  EXPECT_EQ(lastError(), static_cast<DWORD>(ERROR_FILE_CORRUPT));
  EXPECT_EQ(CertOpenSystemStoreA(0, "MY"), nullptr);
  EXPECT_EQ(lastError(), static_cast<DWORD>(ERROR_FILE_CORRUPT));
  EXPECT_EQ(slurp(home_ + "/keys.db"), garbage);
  EXPECT_EQ(slurp(home_ + "/certs.db"), garbage);
  // A verification context needs no database: random bytes still come.
  ASSERT_TRUE(CryptAcquireContextA(&p, nullptr, kStrong, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
  BYTE r[8];
  EXPECT_TRUE(CryptGenRandom(p, sizeof r, r));
  CryptReleaseContext(p, 0);
}

TEST_F(Trust, AHomeThatIsNotADirectoryFailsEveryStoreCall) {
  std::filesystem::remove_all(home_);
  std::ofstream(home_) << "a file";
  HCRYPTPROV p = 0;
  // No registry can be read there, so no provider is registered.
  EXPECT_FALSE(CryptAcquireContextA(&p, "x", kStrong, PROV_RSA_FULL, 0));
  EXPECT_EQ(CertOpenSystemStoreA(0, "MY"), nullptr);
  EXPECT_EQ(lastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(slurp(home_), "a file");
  std::filesystem::remove(home_);
}

TEST_F(Trust, DatabaseThatFailsToOpenThroughTheHook) {
  EmuTestControl(emu::hooks::kDatabaseOpenFails, 0);
  HCRYPTPROV p = 0;
  const BOOL ok = CryptAcquireContextA(&p, "hooked", kStrong, PROV_RSA_FULL, CRYPT_NEWKEYSET);
  const DWORD error = lastError();
  EmuTestControl(0, emu::hooks::kDatabaseOpenFails);
  EXPECT_FALSE(ok);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_CORRUPT));
}

// A home mounted read-only in a private mount namespace (needs root, as CI
// and the bare-machine run have): it serves reads and refuses every write
// and every PIN.
TEST_F(Trust, ReadOnlyHomeServesReadsAndRefusesWritesAndPins) {
  if (geteuid() != 0) GTEST_SKIP() << "a read-only bind mount needs root";
  protectedKey("locked", "1234");
  const Bytes blob = privateBlob(512, CALG_RSA_SIGN);
  {
    HCRYPTPROV p = open(kStrong, "plain", CRYPT_NEWKEYSET);
    HCRYPTKEY k = 0;
    ASSERT_TRUE(CryptImportKey(p, blob.data(), static_cast<DWORD>(blob.size()), 0, 0, &k));
    CryptDestroyKey(k);
    CryptReleaseContext(p, 0);
  }
  const Bytes cert = selfSigned("read-only");
  {
    HCERTSTORE s = CertOpenSystemStoreA(0, "MY");
    PCCERT_CONTEXT c = CertCreateCertificateContext(X509_ASN_ENCODING, cert.data(),
                                                    static_cast<DWORD>(cert.size()));
    ASSERT_TRUE(CertAddCertificateContextToStore(s, c, CERT_STORE_ADD_NEW, nullptr));
    CertFreeCertificateContext(c);
    CertCloseStore(s, CERT_CLOSE_STORE_FORCE_FLAG);
  }
  const int rc = child::run([&]() -> int {
    if (unshare(CLONE_NEWNS) != 0) return 70;
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 71;
    if (mount(home_.c_str(), home_.c_str(), nullptr, MS_BIND, nullptr) != 0) return 72;
    if (mount(nullptr, home_.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0)
      return 73;
    // A new thread would open new connections; this child opens its first.
    HCRYPTPROV p = 0;
    if (!CryptAcquireContextA(&p, "plain", kStrong, PROV_RSA_FULL, 0)) return 10;
    HCRYPTHASH h = 0;
    if (!CryptCreateHash(p, CALG_SHA1, 0, 0, &h) ||
        !CryptSetHashParam(h, HP_HASHVAL, Bytes(20, 3).data(), 0))
      return 11;
    DWORD n = 0;
    if (!CryptSignHashA(h, AT_SIGNATURE, nullptr, 0, nullptr, &n)) return 12;
    HCRYPTKEY k = 0;
    if (CryptGenKey(p, AT_KEYEXCHANGE, 512u << 16, &k)) return 13;
    if (GetLastError() != ERROR_ACCESS_DENIED) return 14;
    HCRYPTPROV q = 0;
    if (CryptAcquireContextA(&q, "new", kStrong, PROV_RSA_FULL, CRYPT_NEWKEYSET)) return 15;
    if (!CryptAcquireContextA(&q, "locked", kToken, PROV_RSA_FULL, 0)) return 16;
    if (CryptSetProvParam(q, PP_SIGNATURE_PIN, pinOf("1234"), 0)) return 17;
    if (GetLastError() != ERROR_ACCESS_DENIED) return 18;
    // The certificate is listed; adding another is refused.
    HCERTSTORE s = CertOpenSystemStoreA(0, "MY");
    if (s == nullptr) return 20;
    PCCERT_CONTEXT listed = CertEnumCertificatesInStore(s, nullptr);
    if (listed == nullptr || listed->cbCertEncoded != cert.size()) return 21;
    const Bytes other = selfSigned("refused");
    PCCERT_CONTEXT c = CertCreateCertificateContext(X509_ASN_ENCODING, other.data(),
                                                    static_cast<DWORD>(other.size()));
    if (CertAddCertificateContextToStore(s, c, CERT_STORE_ADD_NEW, nullptr)) return 22;
    if (GetLastError() != ERROR_ACCESS_DENIED) return 23;
    CertFreeCertificateContext(c);
    CertCloseStore(s, CERT_CLOSE_STORE_FORCE_FLAG);
    return 0;
  });
  if (rc >= 70 && rc < 80) GTEST_SKIP() << "no private mount namespace here (" << rc << ")";
  EXPECT_EQ(rc, 0);
}

// ---- certificates ----------------------------------------------------------

Bytes selfSigned(const char *cn) {
  EVP_PKEY *key = EVP_RSA_gen(1024);
  X509 *x = X509_new();
  X509_set_version(x, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(x), 0x1234);
  X509_NAME *name = X509_NAME_new();
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char *>(cn),
                             -1, -1, 0);
  X509_set_issuer_name(x, name);
  X509_set_subject_name(x, name);
  X509_NAME_free(name);
  X509_gmtime_adj(X509_getm_notBefore(x), 0);
  X509_gmtime_adj(X509_getm_notAfter(x), 86400);
  X509_set_pubkey(x, key);
  X509_sign(x, key, EVP_sha256());
  unsigned char *out = nullptr;
  const int n = i2d_X509(x, &out);
  Bytes der(out, out + n);
  OPENSSL_free(out);
  X509_free(x);
  EVP_PKEY_free(key);
  return der;
}

// The TLV at `at` (a constructed one with a two-byte long-form length, as
// a certificate and its TBSCertificate have) rewritten with BER's
// indefinite length and an end-of-contents marker: same total size.
Bytes indefinite(const Bytes &der, size_t at) {
  const size_t len = (static_cast<size_t>(der[at + 2]) << 8) | der[at + 3];
  Bytes out(der.begin(), der.begin() + static_cast<long>(at));
  out.insert(out.end(), {der[at], 0x80});
  out.insert(out.end(), der.begin() + static_cast<long>(at + 4),
             der.begin() + static_cast<long>(at + 4 + len));
  out.insert(out.end(), {0x00, 0x00});
  out.insert(out.end(), der.begin() + static_cast<long>(at + 4 + len), der.end());
  return out;
}

// The same bytes with a short length written in long form (0x81 n).
Bytes longForm(const Bytes &der, size_t at) {
  Bytes out(der.begin(), der.begin() + static_cast<long>(at) + 1);
  out.insert(out.end(), {0x81, der[at + 1]});
  out.insert(out.end(), der.begin() + static_cast<long>(at) + 2, der.end());
  // The two enclosing lengths (certificate, TBSCertificate) grow by one.
  for (size_t h : {size_t{0}, size_t{4}}) {
    const size_t l = ((static_cast<size_t>(out[h + 2]) << 8) | out[h + 3]) + 1;
    out[h + 2] = static_cast<uint8_t>(l >> 8);
    out[h + 3] = static_cast<uint8_t>(l);
  }
  return out;
}

TEST_F(Trust, OnlyDerCertificatesAreAccepted) {
  const Bytes der = selfSigned("strict");
  ASSERT_EQ(der[1], 0x82);  // both lengths in two-byte long form
  ASSERT_EQ(der[5], 0x82);
  PCCERT_CONTEXT c =
      CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
  ASSERT_NE(c, nullptr);
  CertFreeCertificateContext(c);
  // Where the issuer Name is (found by OpenSSL's encoding of it).
  const unsigned char *q = der.data();
  X509 *x = d2i_X509(nullptr, &q, static_cast<long>(der.size()));
  unsigned char *nb = nullptr;
  const int nn = i2d_X509_NAME(X509_get_issuer_name(x), &nb);
  const std::string hay(der.begin(), der.end());
  const size_t issuerAt = hay.find(std::string(nb, nb + nn));
  OPENSSL_free(nb);
  X509_free(x);
  ASSERT_NE(issuerAt, std::string::npos);
  ASSERT_LT(der[issuerAt + 1], 0x80);
  const struct {
    const char *what;
    Bytes bytes;
    bool opensslReadsIt;  // OpenSSL's parser takes it: only re-encoding tells
  } ber[] = {
      {"certificate of indefinite length", indefinite(der, 0), true},
      {"TBSCertificate of indefinite length", indefinite(der, 4), true},
      {"issuer Name length in long form", longForm(der, issuerAt), true},
  };
  for (const auto &b : ber) {
    const unsigned char *r = b.bytes.data();
    X509 *lenient = d2i_X509(nullptr, &r, static_cast<long>(b.bytes.size()));
    EXPECT_EQ(lenient != nullptr, b.opensslReadsIt) << b.what;
    X509_free(lenient);
    EXPECT_EQ(CertCreateCertificateContext(X509_ASN_ENCODING, b.bytes.data(),
                                           static_cast<DWORD>(b.bytes.size())),
              nullptr)
        << b.what;
  }
}

TEST_F(Trust, FindExistingMatchesTheEncodingNotTheIssuerAndSerial) {
  const Bytes a = selfSigned("same"), b = selfSigned("same");  // same issuer and serial
  ASSERT_NE(a, b);
  HCERTSTORE s = CertOpenSystemStoreA(0, "CA");
  PCCERT_CONTEXT ca =
      CertCreateCertificateContext(X509_ASN_ENCODING, a.data(), static_cast<DWORD>(a.size()));
  PCCERT_CONTEXT cb =
      CertCreateCertificateContext(X509_ASN_ENCODING, b.data(), static_cast<DWORD>(b.size()));
  ASSERT_TRUE(CertAddCertificateContextToStore(s, ca, CERT_STORE_ADD_NEW, nullptr));
  PCCERT_CONTEXT found =
      CertFindCertificateInStore(s, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, ca, nullptr);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(Bytes(found->pbCertEncoded, found->pbCertEncoded + found->cbCertEncoded), a);
  EXPECT_EQ(CertFindCertificateInStore(s, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, cb, nullptr),
            nullptr);
  EXPECT_EQ(lastError(), CRYPT_E_NOT_FOUND);
  CertFreeCertificateContext(ca);
  CertFreeCertificateContext(cb);
  CertCloseStore(s, CERT_CLOSE_STORE_FORCE_FLAG);
}

TEST_F(Trust, AStoreThatRefusesWritesSaysSo) {
  const Bytes der = selfSigned("refused");
  HCERTSTORE s = CertOpenSystemStoreA(0, "CA");
  PCCERT_CONTEXT c =
      CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
  EmuTestControl(emu::hooks::kCertStoreRefusesWrites, 0);
  const BOOL added = CertAddCertificateContextToStore(s, c, CERT_STORE_ADD_NEW, nullptr);
  const DWORD error = lastError();
  EmuTestControl(0, emu::hooks::kCertStoreRefusesWrites);
  EXPECT_FALSE(added);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_DISK_FULL)) << "not CRYPT_E_EXISTS";
  EXPECT_EQ(CertEnumCertificatesInStore(s, nullptr), nullptr);
  CertFreeCertificateContext(c);
  CertCloseStore(s, CERT_CLOSE_STORE_FORCE_FLAG);
}

}  // namespace
