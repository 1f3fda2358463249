// A PKCS#11 module as the emulated CSP uses it: loaded once per process
// (dlopen, C_GetFunctionList, C_Initialize with CKF_OS_LOCKING_OK),
// finalized at exit, and initialised afresh when a token went away or was
// replaced, once the calls in flight have finished.
//
// Every use of a module's functions happens inside a Use, which holds the
// module's gate shared; re-initialisation takes it exclusively. Everything
// a Use finds (slots, sessions, object handles) belongs to the module's
// current epoch and is dropped with it.
#pragma once

#include <p11-kit/pkcs11.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <string>
#include <vector>

#include "common/failure.h"
#include "csp/keystore.h"
#include "csp/pkcs11/pin_prompt.h"

namespace emu::csp::pkcs11 {

// The name of a PKCS#11 return value ("CKR_PIN_INCORRECT"), or its number
// in hex when the trace does not know it.
std::string rvName(CK_RV rv);

// A blank-padded text field of a PKCS#11 structure, its padding removed.
std::string trimmed(const CK_UTF8CHAR *p, size_t n);

// Return values that say the token (or the module's view of it) is gone:
// re-initialising the module may find it again.
bool tokenGone(CK_RV rv);

// One token as a slot listing found it.
struct TokenView {
  CK_SLOT_ID slot = 0;
  std::string label;   // blank padding removed
  std::string serial;  // blank padding removed
  CK_FLAGS flags = 0;
  bool initialised() const { return (flags & CKF_TOKEN_INITIALIZED) != 0; }
  bool writable() const { return (flags & CKF_WRITE_PROTECTED) == 0; }
  bool loginRequired() const { return (flags & CKF_LOGIN_REQUIRED) != 0; }
};

// The login this process holds on one token, as far as the CSP knows it:
// a salted hash of the PIN the token accepted (memory only) and the token
// as the home's count of its wrong PINs knows it.
struct LoginState {
  std::vector<uint8_t> salt, hash;
  keystore::TokenRef counted;
  // Held for a login (C_Login, or a PIN compared with the accepted one);
  // never while a PIN prompt runs.
  std::mutex prompting;
  PromptTurns turns;  // one PIN prompt per token at a time
};

class Module {
 public:
  // The module at `path` in `out`, loaded and initialised on first use.
  // Fails with NTE_PROV_DLL_NOT_FOUND and the reason when it cannot be
  // loaded or initialised: MODULE_MISSING, PERMISSION_DENIED,
  // MODULE_NOT_LIBRARY, MODULE_NOT_PKCS11 or MODULE_INIT_FAILED. Before the
  // first load, `environment` ("NAME=VALUE", a provider's "Environment")
  // and then every registered token provider's are set in the process
  // environment, each unless its NAME is set there already.
  static Status get(const std::string &path, std::shared_ptr<Module> &out,
                    const std::string &environment = std::string());

  const std::string &path() const { return path_; }
  CK_FUNCTION_LIST *fn() const { return fn_; }

  // Re-initialises the module (C_Finalize, C_Initialize) if it is still in
  // epoch `seen`; waits until no Use is open. A module another part of the
  // process initialised is never finalized by the CSP.
  void reinitialise(uint64_t seen, const std::string &reason);

  // Finalizes every module this process initialised (at exit).
  static void finalizeAll();

  // The login state of a token (by tokenKey: serial and label) in the
  // current epoch, made on first use.
  std::shared_ptr<LoginState> loginState(const std::string &token);

  // Whether a lookup that found nothing should re-initialise the module and
  // look again: a token went away and has not shown up again (a token
  // re-created by another process may be seen only after a
  // re-initialisation). At most once per kRescanInterval, for kLostFor
  // after the token went away.
  bool rescanForLostToken();
  static constexpr std::chrono::milliseconds kRescanInterval{200};
  static constexpr std::chrono::seconds kLostFor{300};

  // Sessions opened on one token at most (fewer when the token says it
  // allows fewer): threads beyond it wait for one to come back, up to
  // kSessionWait, after which one more is opened (a thread holding a
  // session of another token never waits, so threads cannot wait for each
  // other in a ring).
  static constexpr size_t kMaxSessions = 16;
  static constexpr std::chrono::seconds kSessionWait{2};

 private:
  friend class Use;
  Module() = default;
  Status start();

  std::string path_;
  void *lib_ = nullptr;
  CK_FUNCTION_LIST *fn_ = nullptr;
  bool owned_ = false;  // C_Initialize was ours
  std::shared_timed_mutex gate_;
  std::atomic<uint64_t> epoch_{1};

  // Caches of the current epoch, guarded by mu_.
  std::mutex mu_;
  std::map<std::string, std::shared_ptr<LoginState>> logins_;  // by token serial + label
  std::map<CK_SLOT_ID, std::string> serials_;                  // the token each slot showed
  // Labels of tokens that went away and have not shown up again, since
  // when, and when the module was last re-initialised to look for them.
  std::set<std::string> lost_;
  std::chrono::steady_clock::time_point lostSince_, lastRescan_;
  // The most sessions each slot's token allows (from C_GetTokenInfo; 0:
  // no limit said).
  std::map<CK_SLOT_ID, CK_ULONG> sessionLimits_;

  // Sessions of the current epoch, by slot: those no use holds now, and how
  // many are open. Guarded by sessionsMu_; a use waiting for one waits on
  // sessionBack_.
  struct Sessions {
    std::vector<CK_SESSION_HANDLE> idle;
    size_t open = 0;
  };
  std::mutex sessionsMu_;
  std::condition_variable sessionBack_;
  std::map<CK_SLOT_ID, Sessions> sessions_;
};

// A use of a module: its gate held shared, its epoch fixed.
class Use {
 public:
  explicit Use(Module &m) : m_(m), lock_(m.gate_), epoch_(m.epoch_.load()) {}
  // Gives back the sessions it took (when no outer use of this thread holds them).
  ~Use();
  Use(const Use &) = delete;
  Use &operator=(const Use &) = delete;
  Module &module() const { return m_; }
  CK_FUNCTION_LIST *fn() const { return m_.fn_; }
  uint64_t epoch() const { return epoch_; }

  // The tokens present, in slot order. False when the module cannot list
  // them or a token went away or changed its serial since this epoch saw
  // it (the caller re-initialises and tries again), with the reason in
  // the failure's words (the caller gives it the code it fails with).
  bool tokens(std::vector<TokenView> &out, Failure &f);

  // A session with a token (read/write) that this thread holds until its
  // outermost use ends: the one it had last when no other thread holds it,
  // else another one open and idle, else a new one while fewer than the cap
  // are open (Module::kMaxSessions), else the first to come back. So
  // threads signing at once each have a session of their own, reused, and
  // a token never sees more than the cap. CK_INVALID_HANDLE with `rv` set
  // when none can be opened.
  CK_SESSION_HANDLE session(CK_SLOT_ID slot, CK_RV &rv);

  // Whether the application is logged in as the user on the session's token.
  bool loggedIn(CK_SESSION_HANDLE s);

  // Runs `wait` (something slow that needs no module function: a PIN
  // prompt) with the gate let go, so that a re-initialisation is not held
  // up by it, and takes the gate again. False when the module was
  // re-initialised meanwhile: what this use found is gone.
  template <typename F>
  bool released(F &&wait) {
    {
      struct Again {
        std::shared_lock<std::shared_timed_mutex> &lock;
        ~Again() { lock.lock(); }
      } again{lock_};
      lock_.unlock();
      wait();
    }
    return m_.epoch_.load() == epoch_;
  }

 private:
  CK_SESSION_HANDLE takeSession(CK_SLOT_ID slot, CK_RV &rv);

  Module &m_;
  std::shared_lock<std::shared_timed_mutex> lock_;
  uint64_t epoch_;
  std::vector<CK_SLOT_ID> taken_;  // the slots whose session this use counts as holding
};

}  // namespace emu::csp::pkcs11
