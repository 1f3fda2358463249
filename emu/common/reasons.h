// The reasons a failing call gives in the trace, each with a stable code.
// The trace line carries the code (field "cause") next to the reason in
// words; programs that read the trace (the tool's Causes) match the code,
// people read the words. A code, once given out, keeps its name and
// meaning: rename the words freely, never the code.
//
// X(CODE, "what it means")
#pragma once

#define MSCAPI_REASONS(X)                                                                       \
  X(PROVIDER_NOT_REGISTERED, "no provider of that name is registered")                          \
  X(PROVIDER_WRONG_TYPE, "the named provider is registered with another provider type")         \
  X(PROVIDER_NO_IMAGE, "the provider's image is not one this platform can load")                \
  X(NO_DEFAULT_PROVIDER, "no default provider is registered for the provider type")             \
  X(CONTAINER_NOT_FOUND, "the key container does not exist")                                    \
  X(CONTAINER_EXISTS, "a key container of that name already exists")                            \
  X(CONTAINER_NAME, "the container name is too long or malformed")                              \
  X(CONTAINER_AMBIGUOUS, "the container name could mean several key pairs on a token")          \
  X(TOKEN_NOT_PRESENT, "the token the container is on is not present")                          \
  X(KEY_LENGTH, "the key length is outside the admitted lengths")                               \
  X(NO_KEY_OF_SPEC, "the container holds no key of the asked key spec")                         \
  X(KEY_NOT_EXPORTABLE, "the key's private components may not leave it")                        \
  X(KEY_NEVER_EXPORTABLE, "the provider makes no exportable keys")                              \
  X(PIN_WRONG, "a PIN was refused; field tries: the tries left before the key blocks")          \
  X(PIN_NOW_BLOCKED, "a PIN was refused and the key is now blocked; field wrong: PINs counted") \
  X(PIN_BLOCKED, "the key is blocked by wrong PINs; field wrong: PINs counted")                 \
  X(PIN_NEEDED, "the key needs a PIN this context has not given")                               \
  X(PIN_NOT_TAKEN, "the key has no PIN, so none is accepted")                                   \
  X(PIN_EMPTY, "the empty text was given as a PIN")                                             \
  X(PIN_UNSUPPORTED, "the provider's keys have no PINs")                                        \
  X(PIN_PENDING, "other PINs for the key are being compared, or were when their process ended") \
  X(PIN_NOT_COUNTED, "the attempt could not be counted, so the PIN was not compared")           \
  X(KEY_CHANGED, "the key was replaced or deleted while it was in use")                         \
  X(UNBLOCK_CODE_NONE, "no unblock code was ever set")                                          \
  X(UNBLOCK_CODE_BLOCKED, "the unblock code is blocked by wrong codes")                         \
  X(UNBLOCK_CODE_WRONG, "the unblock code given is not the current one")                        \
  X(UNBLOCK_CODE_CHANGED, "the unblock code was changed by another caller meanwhile")           \
  X(TOKEN_PIN_WRONG,                                                                            \
    "a token refused its user PIN; field tries: what the emulation's own count leaves; "        \
    "field reports: low, final or locked, what the token says of its own counter")              \
  X(TOKEN_PIN_BLOCKED,                                                                          \
    "wrong PINs reached the emulation's own count for a token: none is handed to it; "          \
    "field wrong: PINs counted")                                                                \
  X(TOKEN_PIN_LOCKED, "the token refuses its user PIN as locked")                               \
  X(TOKEN_LOGIN_NEEDED, "the token needs a login and no PIN could be had")                      \
  X(STORAGE_DAMAGED, "a database file is damaged or not a database")                            \
  X(STORAGE_CANNOT_OPEN, "a database file cannot be opened")                                    \
  X(STORAGE_CANNOT_WRITE, "a database file cannot be written")                                  \
  X(STORAGE_DISK_FULL, "the disk holding a database is full")                                   \
  X(STORAGE_BUSY, "a database stayed locked by another process")                                \
  X(STORAGE_FAILURE, "a database failed in another way")                                        \
  X(HOME_NOT_DIRECTORY, "the home path is not a directory")                                     \
  X(HOME_UNUSABLE, "the home directory cannot be created")                                      \
  X(PERMISSION_DENIED, "a file or folder of the home is not the caller's to read or write")     \
  X(MODULE_MISSING, "the provider's PKCS#11 module file does not exist")                        \
  X(MODULE_NOT_LIBRARY, "the provider's PKCS#11 module is not a shared library this can load")  \
  X(MODULE_NOT_PKCS11, "the provider's module is a shared library without C_GetFunctionList")   \
  X(MODULE_INIT_FAILED, "the provider's PKCS#11 module refused C_Initialize; words: its CKR")

namespace emu::trace {

enum class Reason {
  None,
#define MSCAPI_REASON_ENUM(code, meaning) code,
  MSCAPI_REASONS(MSCAPI_REASON_ENUM)
#undef MSCAPI_REASON_ENUM
};

// The code's name ("PIN_WRONG"); "" for None.
const char *reasonName(Reason r);
// Its one-line meaning; "" for None.
const char *reasonMeaning(Reason r);

}  // namespace emu::trace
