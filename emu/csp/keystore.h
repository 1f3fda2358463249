// Key containers and their keys, kept in the SQLite database
// $MSCAPI_HOME/keys.db (key_rows.cpp), with the token family's PINs
// (pins.cpp) and the per-process cache of loaded keys (key_cache.h).
//
// One container namespace per provider family; names compare
// case-insensitively (ASCII) and are kept as given. Each key row carries a
// random generation number that changes whenever the key is written, so a
// cached key is used only while the stored key is the one it was loaded
// from, whichever process wrote it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/failure.h"
#include "csp/context.h"
#include "csp/crypto.h"
#include "csp/key_info.h"
#include "winapi/advapi32.h"

namespace emu::csp {

namespace keystore {

// Wrong PINs in a row after which a protected key is blocked: every PIN,
// the right one too, is refused until the key is unblocked or deleted.
constexpr uint32_t kMaxPinTries = 5;
// Wrong unblock codes after which the unblock code itself is blocked.
constexpr int64_t kMaxUnblockTries = 10;
// PBKDF2 iterations of the stored unblock code.
constexpr int kUnblockIterations = 200000;

// The key database of the current home, created when missing. Throws
// storage::StorageError.
std::string databasePath();

// The functions below that return a Status fail with the platform's error
// code and, where the reason is known there, its stable code and words.

// Creates an empty container; fails with NTE_EXISTS (CONTAINER_EXISTS)
// when the name is taken in the family.
Status createContainer(const std::string &db, ContainerNamespace family, const std::string &name,
                       int64_t &id);
// Finds a container by name; false when there is none.
bool findContainer(const std::string &db, ContainerNamespace family, const std::string &name,
                   int64_t &id, std::string &storedName);
// Deletes a container and its keys; false when there is none.
bool deleteContainer(const std::string &db, ContainerNamespace family, const std::string &name);
// Every container name of the family, in case-insensitive order.
std::vector<std::string> containerNames(const std::string &db, ContainerNamespace family);

// The stored key of a slot; false when the slot (or the container) is empty.
bool keyInfo(const Context &ctx, int spec, KeyInfo &info);

// Stores a new key in the context's container under `spec`, replacing the
// slot's key. When the context holds a PIN for the slot (token family), the
// private components are sealed under it. Fails with NTE_PERM when the slot
// holds a protected key this context has not unlocked, NTE_BAD_KEYSET when
// the container is gone. On success `info` describes the stored key, and
// the loaded key is cached (and unlocks the slot in this context).
Status saveKey(Context &ctx, int spec, crypto::Pkey key, bool exportable, KeyInfo &info);

// The key of a slot, ready to sign or export: from the cache, or loaded
// from storage. A protected key is given only to a context that unlocked
// that generation (NTE_PERM otherwise). `gen`, when not 0, must match the
// stored generation (NTE_BAD_KEY otherwise). An empty slot fails with
// NTE_NO_KEY (NO_KEY_OF_SPEC).
Status usableKey(Context &ctx, int spec, uint64_t gen, KeyInfo &info,
                 std::shared_ptr<LoadedKey> &key);

// Presents a PIN for a slot of a token context: sets it for the key to be
// made when the slot is empty, opens the slot's protected key when it
// matches, refuses it otherwise (and always for an unprotected key).
// Every PIN is counted in the key database as pending, per container and
// key spec, in one transaction before it is compared, and settled after:
// however many threads and processes present PINs at once, at most
// kMaxPinTries wrong ones are ever compared between two right ones (a PIN
// waits, 10 s at most, while those pending could still block the key). At
// kMaxPinTries wrong PINs in a row the key is blocked
// (SCARD_W_CHV_BLOCKED); a right PIN clears the count. Where the attempt
// cannot be counted (a read-only home, a full disk) the PIN is not
// compared and the call fails with that cause.
Status presentPin(Context &ctx, int spec, const std::string &pin);

// Whether the family has an unblock code.
bool unblockCodeSet(const std::string &db, ContainerNamespace family);
// Sets the family's unblock code (the card's PUK): only a salted PBKDF2
// hash of it is stored. Once a code is set, only the current code
// (`oldCode`, checked and counted as unblock() does) changes it: NTE_PERM
// without it, SCARD_W_WRONG_CHV for a wrong one, SCARD_W_CHV_BLOCKED when
// the code is blocked, and then it can never be changed (a blocked key can
// only be deleted). `oldCode` is ignored while no code is set.
Status setUnblockCode(const std::string &db, ContainerNamespace family, const std::string &oldCode,
                      const std::string &code);
// Clears the wrong-PIN count of a container's key with the unblock code.
// Every code is counted before it is compared. Fails with NTE_PERM when no
// code was ever set, SCARD_W_WRONG_CHV for a wrong one, SCARD_W_CHV_BLOCKED
// after kMaxUnblockTries wrong ones in a row.
Status unblock(const std::string &db, ContainerNamespace family, const std::string &container,
               int spec, const std::string &code);
// The wrong PINs in a row counted for a container's key.
uint32_t wrongPins(const std::string &db, ContainerNamespace family, const std::string &container,
                   int spec);

// A PKCS#11 token as the emulation's own count of its wrong user PINs knows
// it: by manufacturer, model and serial number, with its label (by which
// `mscapi unblock` finds it).
struct TokenRef {
  std::string manufacturer, model, serial, label;
};

// What became of a user PIN counted before it is handed to a token.
enum class TokenAttempt {
  Counted,   // counted as pending: the PIN may go to the token
  Blocked,   // kMaxPinTries wrong PINs in a row: nothing was counted
  Busy,      // the PINs pending could block it, for longer than a PIN waits
  ReadOnly,  // the home cannot be written, so nothing can be counted
};

// Counts a user PIN for a token as pending, durably and before it is
// handed to the token (C_Login), as presentPin does for a key: however
// many threads and processes present PINs at once, at most kMaxPinTries
// wrong ones go to the token between two right ones (or unblocks).
// `failures` is the wrong PINs in a row counted. Throws
// storage::StorageError when the attempt cannot be written (a full disk).
TokenAttempt countTokenPin(const std::string &db, const TokenRef &token, uint32_t &failures);

// What the token answered a counted PIN.
enum class TokenVerdict { Right, Wrong, Neither };

// Settles a counted PIN: a right one clears the wrong PINs in a row, a
// wrong one adds to them, neither (the token was gone, or refused the
// login without judging the PIN) leaves them. Returns the wrong PINs in a
// row now counted. Throws storage::StorageError; the attempt then stays
// pending, and counts as a wrong one until an unblock.
uint32_t settleTokenPin(const std::string &db, const TokenRef &token, TokenVerdict verdict);

// The wrong PINs in a row and the pending ones counted for a token: 0 when
// no PIN is counted against it. Read only, and only when the file changed
// since this thread last read it (its change stamp). Throws
// storage::StorageError.
uint32_t tokenPinsCounted(const std::string &db, const TokenRef &token);

// Clears the own count of every token labelled `label` (its wrong and its
// pending PINs) with the family's unblock code, checked and counted as
// unblock() does.
Status unblockToken(const std::string &db, const std::string &label, const std::string &code);

// The wrong PINs in a row counted for the tokens labelled `label` (the
// highest, when several are).
uint32_t tokenWrongPins(const std::string &db, const std::string &label);

}  // namespace keystore
}  // namespace emu::csp
