// The byte encoding of the JNI fuzz target's inputs, shared by the target
// (which reads it) and the seed generator (which writes it). An input is a
// series of calls; each call is
//   config byte, method byte (mod 16), then the method's arguments,
// and each argument starts with a tag byte that says how its value is made:
//   string:  null | provider from the list | container from the list |
//            length + 8-bit characters | length + UTF-16LE units
//   byte[]:  null | u16 length + bytes | a value an earlier call returned |
//            empty | u16 length + one repeated byte (lengths taken mod 8192)
//   int:     small (one byte) | any 32 bits | an interesting value |
//            small negative
// Config byte: low nibble 0xF reads one more byte that sets up the entry
// check (no LIB field, LIB null, a security manager, one that refuses);
// high nibble 0xF reads one more byte that injects a fault (the n-th
// NewByteArray fails, or for queryCerts a C++ exception from below).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fuzz::jni {

enum Method : uint8_t {
  kGetDLLVersion,
  kQueryProviders,
  kGenerateRandom,
  kGenerateKeyPair,
  kDeleteKeyPair,
  kQueryKeyPairs,
  kImportKeyPair,
  kImportKeyPairPwd,
  kGetPrivateKey,
  kAddCertToStore,
  kSetFriendlyName,
  kSetFlags,
  kDeleteCertFromStore,
  kQueryCerts,
  kSign,
  kVerifyAndSign,
  kMethodCount
};

enum StringTag : uint8_t { kStrNull, kStrProvider, kStrContainer, kStrLatin1, kStrUtf16, kStrTags };
enum ArrayTag : uint8_t { kArrNull, kArrRaw, kArrKnown, kArrEmpty, kArrFill, kArrTags };
enum IntTag : uint8_t { kIntSmall, kIntRaw, kIntListed, kIntNegative, kIntTags };

// Values an earlier call returned, for arguments that must match them.
enum Known : uint8_t { kKnownSerial, kKnownIssuer, kKnownLastResult, kKnownCount };

// Entry-check setup (the byte after a config byte whose low nibble is 0xF).
enum EntryBits : uint8_t { kNoLibField = 1, kLibNull = 2, kManager = 4, kManagerRefuses = 8 };
// Fault byte (after a config byte whose high nibble is 0xF): bit 7 set asks
// for a C++ exception below queryCerts (bit 6: from NewByteArray rather than
// from the store's enumeration); otherwise NewByteArray number (b % 4) fails.
constexpr uint8_t kFaultCpp = 0x80, kFaultFromNewByteArray = 0x40;

inline const std::vector<std::string> &providers() {
  static const std::vector<std::string> v = {
      "Microsoft Strong Cryptographic Provider",
      "Microsoft Base Cryptographic Provider v1.0",
      "Microsoft Enhanced Cryptographic Provider v1.0",
      "Microsoft Enhanced RSA and AES Cryptographic Provider",
      "Soft Token RSA Provider",
      "Microsoft Base DSS Cryptographic Provider",
      "Microsoft RSA SChannel Cryptographic Provider",
      "No Such Provider",
  };
  return v;
}

// The containers that may stay between inputs (any other a call creates is
// deleted right after it).
inline const std::vector<std::string> &containers() {
  static const std::vector<std::string> v = {"fz-a", "fz-b", "fz-c", ""};
  return v;
}

inline const std::vector<int32_t> &interestingInts() {
  static const std::vector<int32_t> v = {
      0,       1,      2,      3,      4,      5,      6,          7,
      16,      20,     384,    512,    520,    1024,   2048,       65535,
      65536,   0x8003, 0x8004, 0x800c, 0x800d, 0x800e, 0x8008,     0x2400,
      0xa400,  -1,     -2,     65537,  3,      17,     0x7fffffff, int32_t(0x80000000u),
      0x10001, 0x40002};
  return v;
}

// Writes inputs in the encoding above.
class Writer {
 public:
  std::string bytes;

  Writer &call(Method m, uint8_t config = 0) {
    bytes.push_back(static_cast<char>(config));
    bytes.push_back(static_cast<char>(m));
    return *this;
  }
  Writer &raw(uint8_t b) {
    bytes.push_back(static_cast<char>(b));
    return *this;
  }
  Writer &strNull() { return raw(kStrNull); }
  Writer &provider(uint8_t i) { return raw(kStrProvider).raw(i); }
  Writer &container(uint8_t i) { return raw(kStrContainer).raw(i); }
  Writer &latin1(const std::string &s) {
    raw(kStrLatin1).raw(static_cast<uint8_t>(s.size()));
    bytes += s.substr(0, 255);
    return *this;
  }
  Writer &utf16(const std::u16string &s) {
    raw(kStrUtf16).raw(static_cast<uint8_t>(s.size()));
    for (char16_t c : s.substr(0, 255))
      raw(static_cast<uint8_t>(c)).raw(static_cast<uint8_t>(c >> 8));
    return *this;
  }
  Writer &arrNull() { return raw(kArrNull); }
  Writer &arr(const std::vector<uint8_t> &b) {
    const size_t n = b.size() < 65535 ? b.size() : 65535;
    raw(kArrRaw).raw(static_cast<uint8_t>(n)).raw(static_cast<uint8_t>(n >> 8));
    bytes.append(b.begin(), b.begin() + static_cast<long>(n));
    return *this;
  }
  Writer &known(Known k) { return raw(kArrKnown).raw(k); }
  Writer &arrEmpty() { return raw(kArrEmpty); }
  Writer &fill(uint16_t n, uint8_t value) {
    return raw(kArrFill).raw(static_cast<uint8_t>(n)).raw(static_cast<uint8_t>(n >> 8)).raw(value);
  }
  Writer &small(uint8_t v) { return raw(kIntSmall).raw(v); }
  Writer &i32(int32_t v) {
    const uint32_t u = static_cast<uint32_t>(v);
    return raw(kIntRaw).raw(u & 0xFF).raw((u >> 8) & 0xFF).raw((u >> 16) & 0xFF).raw(u >> 24);
  }
  Writer &negative(uint8_t v) { return raw(kIntNegative).raw(v); }
};

}  // namespace fuzz::jni
