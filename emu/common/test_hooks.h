// Faults that tests switch on to reach failure paths no real input reaches:
// a store that refuses writes, a database that cannot be opened, an
// enumeration that throws; and counts of events a test cannot see from
// outside. The product library is linked with a definition
// of `active` that is always false and a `count` that does nothing, and has
// no way to switch anything on;
// only the test builds link emu/testing/test_control.cpp, whose entry
// EmuTestControl sets them.
#pragma once

namespace emu::hooks {

enum Fault : unsigned {
  // A certificate store enumeration throws when asked for its second
  // certificate (at its start when the store is empty).
  kEnumThrowsError = 1u << 0,     // std::runtime_error
  kEnumThrowsBadAlloc = 1u << 1,  // std::bad_alloc
  // Every write transaction on the certificate database fails as a full
  // disk would (SQLITE_FULL).
  kCertStoreRefusesWrites = 1u << 2,
  // Every write transaction on the key database fails (SQLITE_IOERR).
  kKeyStoreRefusesWrites = 1u << 3,
  // Opening a database fails as a damaged file would (SQLITE_NOTADB).
  kDatabaseOpenFails = 1u << 4,
  // Databases run without fsync (synchronous=OFF): for fuzzing, where
  // durability is not under test and speed is.
  kNoSync = 1u << 5,
  // The PKCS#11 family verifies a signature with the key's public half
  // only every five minutes instead of every pkcs11::kVerifyEvery: a test
  // then sees what the token itself refuses, with tools slower than that.
  kLongTrust = 1u << 6,
  // A thread that read the registry watch's queue waits a millisecond
  // before it marks what it read: the window in which another thread must
  // not take the quiet queue for an unchanged folder, made wide enough for
  // a test to hit.
  kSlowWatchVerdict = 1u << 7,
  // The PKCS#11 family trusts no object handle it found: every open checks
  // its container's object again and every signature is verified with the
  // key's public half. A test sees another program's change at the open.
  kTrustNothing = 1u << 8,
  // Every write transaction on the key database fails as a full disk would
  // (SQLITE_FULL).
  kKeyStoreDiskFull = 1u << 9,
};

// Events that tests count, to see what the code did rather than what it
// answered.
enum Counter : unsigned {
  // A PIN of the software token compared with its key (a key derivation or
  // a check value compared), right or wrong.
  kPinComparisons = 0,
  // A user PIN handed to a PKCS#11 token (C_Login), right or wrong.
  kTokenLogins,
  kCounters,
};

// Counts one event. Does nothing in the product.
void count(Counter counter);

// Whether a fault is switched on. Always false in the product.
bool active(Fault fault);

}  // namespace emu::hooks

extern "C" {
// Test builds only: switches on the faults in `set` and off those in
// `clear`; returns the faults active afterwards.
unsigned EmuTestControl(unsigned set, unsigned clear);
// Test builds only: the events of `counter` counted in this process so far;
// with `reset`, the count starts again from 0.
unsigned long long EmuTestCount(unsigned counter, int reset);
}
