#include "csp/pkcs11/module.h"

#include <dlfcn.h>
#include <elf.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/home.h"
#include "common/trace.h"
#include "csp/provider.h"

namespace emu::csp::pkcs11 {

namespace {

struct RvName {
  CK_RV rv;
  const char *name;
};

// The return values the trace names; others are written in hex.
const RvName kRvNames[] = {
    {CKR_OK, "CKR_OK"},
    {CKR_HOST_MEMORY, "CKR_HOST_MEMORY"},
    {CKR_SLOT_ID_INVALID, "CKR_SLOT_ID_INVALID"},
    {CKR_GENERAL_ERROR, "CKR_GENERAL_ERROR"},
    {CKR_FUNCTION_FAILED, "CKR_FUNCTION_FAILED"},
    {CKR_ARGUMENTS_BAD, "CKR_ARGUMENTS_BAD"},
    {CKR_ATTRIBUTE_READ_ONLY, "CKR_ATTRIBUTE_READ_ONLY"},
    {CKR_ATTRIBUTE_SENSITIVE, "CKR_ATTRIBUTE_SENSITIVE"},
    {CKR_ATTRIBUTE_TYPE_INVALID, "CKR_ATTRIBUTE_TYPE_INVALID"},
    {CKR_ATTRIBUTE_VALUE_INVALID, "CKR_ATTRIBUTE_VALUE_INVALID"},
    {CKR_DATA_LEN_RANGE, "CKR_DATA_LEN_RANGE"},
    {CKR_DEVICE_ERROR, "CKR_DEVICE_ERROR"},
    {CKR_DEVICE_MEMORY, "CKR_DEVICE_MEMORY"},
    {CKR_DEVICE_REMOVED, "CKR_DEVICE_REMOVED"},
    {CKR_FUNCTION_CANCELED, "CKR_FUNCTION_CANCELED"},
    {CKR_KEY_HANDLE_INVALID, "CKR_KEY_HANDLE_INVALID"},
    {CKR_KEY_SIZE_RANGE, "CKR_KEY_SIZE_RANGE"},
    {CKR_KEY_TYPE_INCONSISTENT, "CKR_KEY_TYPE_INCONSISTENT"},
    {CKR_KEY_FUNCTION_NOT_PERMITTED, "CKR_KEY_FUNCTION_NOT_PERMITTED"},
    {CKR_MECHANISM_INVALID, "CKR_MECHANISM_INVALID"},
    {CKR_OBJECT_HANDLE_INVALID, "CKR_OBJECT_HANDLE_INVALID"},
    {CKR_OPERATION_ACTIVE, "CKR_OPERATION_ACTIVE"},
    {CKR_PIN_INCORRECT, "CKR_PIN_INCORRECT"},
    {CKR_PIN_INVALID, "CKR_PIN_INVALID"},
    {CKR_PIN_LEN_RANGE, "CKR_PIN_LEN_RANGE"},
    {CKR_PIN_EXPIRED, "CKR_PIN_EXPIRED"},
    {CKR_PIN_LOCKED, "CKR_PIN_LOCKED"},
    {CKR_SESSION_CLOSED, "CKR_SESSION_CLOSED"},
    {CKR_SESSION_HANDLE_INVALID, "CKR_SESSION_HANDLE_INVALID"},
    {CKR_SESSION_READ_ONLY, "CKR_SESSION_READ_ONLY"},
    {CKR_TEMPLATE_INCOMPLETE, "CKR_TEMPLATE_INCOMPLETE"},
    {CKR_TEMPLATE_INCONSISTENT, "CKR_TEMPLATE_INCONSISTENT"},
    {CKR_TOKEN_NOT_PRESENT, "CKR_TOKEN_NOT_PRESENT"},
    {CKR_TOKEN_NOT_RECOGNIZED, "CKR_TOKEN_NOT_RECOGNIZED"},
    {CKR_TOKEN_WRITE_PROTECTED, "CKR_TOKEN_WRITE_PROTECTED"},
    {CKR_USER_ALREADY_LOGGED_IN, "CKR_USER_ALREADY_LOGGED_IN"},
    {CKR_USER_NOT_LOGGED_IN, "CKR_USER_NOT_LOGGED_IN"},
    {CKR_USER_PIN_NOT_INITIALIZED, "CKR_USER_PIN_NOT_INITIALIZED"},
    {CKR_USER_TYPE_INVALID, "CKR_USER_TYPE_INVALID"},
    {CKR_BUFFER_TOO_SMALL, "CKR_BUFFER_TOO_SMALL"},
    {CKR_CRYPTOKI_NOT_INITIALIZED, "CKR_CRYPTOKI_NOT_INITIALIZED"},
    {CKR_CRYPTOKI_ALREADY_INITIALIZED, "CKR_CRYPTOKI_ALREADY_INITIALIZED"},
};

// The sessions this thread holds now (a nested use of the same token takes
// the one its outer use holds), and the one it held last on each token,
// which it takes again when no other thread holds it.
struct HeldSession {
  Module *module;
  uint64_t epoch;
  CK_SLOT_ID slot;
  CK_SESSION_HANDLE handle;
  unsigned uses;
};

thread_local std::vector<HeldSession> heldSessions;
thread_local std::vector<HeldSession> lastSessions;

std::mutex &registryMutex() {
  static auto *m = new std::mutex;
  return *m;
}

// Modules live to the end of the process: handles into them may be used
// by any thread until then.
std::map<std::string, std::shared_ptr<Module>> &loaded() {
  static auto *m = new std::map<std::string, std::shared_ptr<Module>>;
  return *m;
}

}  // namespace

std::string trimmed(const CK_UTF8CHAR *p, size_t n) {
  std::string s(reinterpret_cast<const char *>(p), n);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
  return s;
}

std::string rvName(CK_RV rv) {
  for (const RvName &n : kRvNames)
    if (n.rv == rv) return n.name;
  char buf[32];
  std::snprintf(buf, sizeof buf, "CKR 0x%lx", static_cast<unsigned long>(rv));
  return buf;
}

bool tokenGone(CK_RV rv) {
  switch (rv) {
    case CKR_DEVICE_REMOVED:
    case CKR_DEVICE_ERROR:
    case CKR_TOKEN_NOT_PRESENT:
    case CKR_TOKEN_NOT_RECOGNIZED:
    case CKR_SESSION_HANDLE_INVALID:
    case CKR_SESSION_CLOSED:
    case CKR_SLOT_ID_INVALID:
    case CKR_CRYPTOKI_NOT_INITIALIZED:
    case CKR_GENERAL_ERROR:
      return true;
    default:
      return false;
  }
}

namespace {

// Sets a provider's "Environment" (NAME=VALUE) for its module, which reads
// it when it loads or initialises: a variable the caller set is left as it
// is, so a configuration the caller chose wins. Called with the loader's
// lock held, so threads loading modules do not race on it.
void applyEnvironment(const std::string &assignment) {
  const size_t eq = assignment.find('=');
  if (eq == 0 || eq == std::string::npos) return;
  const std::string name = assignment.substr(0, eq);
  const char *set = std::getenv(name.c_str());
  if (set != nullptr && *set != '\0') return;
  setenv(name.c_str(), assignment.c_str() + eq + 1, 1);
}

// The file a provider's "Environment" names, as the process has it now
// (the caller's own setting wins): its value when that is an absolute path.
std::string environmentFile(const std::string &assignment) {
  const size_t eq = assignment.find('=');
  if (eq == 0 || eq == std::string::npos) return {};
  const char *value = std::getenv(assignment.substr(0, eq).c_str());
  return value != nullptr && value[0] == '/' ? std::string(value) : std::string();
}

// What is wrong with a file that dlopen refused, by its first bytes: not
// ELF, ELF of another class than this process's, or not a shared object.
// Empty when it looks like a library this process could load (what is
// wrong is then in dlopen's words: a missing dependency, say).
std::string notALibrary(const std::string &path) {
  unsigned char head[18] = {};
  FILE *f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return {};
  const size_t n = std::fread(head, 1, sizeof head, f);
  std::fclose(f);
  if (n < EI_NIDENT || std::memcmp(head, ELFMAG, SELFMAG) != 0)
    return path + " is not a shared library (not an ELF file)";
  const int ours = sizeof(void *) == 8 ? ELFCLASS64 : ELFCLASS32;
  if (head[EI_CLASS] != ours)
    return path + " is a " + (head[EI_CLASS] == ELFCLASS32 ? "32" : "64") +
           "-bit library and this process is " + (ours == ELFCLASS64 ? "64" : "32") + "-bit";
  const unsigned type =
      head[EI_DATA] == ELFDATA2MSB ? (head[16] << 8) | head[17] : head[16] | (head[17] << 8);
  if (n < sizeof head || type != ET_DYN) return path + " is an ELF file but not a shared library";
  return {};
}

}  // namespace

Status Module::get(const std::string &path, std::shared_ptr<Module> &out,
                   const std::string &environment) {
  std::lock_guard<std::mutex> lock(registryMutex());
  auto &all = loaded();
  const auto hit = all.find(path);
  if (hit != all.end()) {
    out = hit->second;
    return done();
  }
  if (!environment.empty()) applyEnvironment(environment);
  // Then every other token provider's: a module serves one configuration
  // per process, whichever provider loads it first. p11-kit's proxy, say,
  // loads SoftHSM2 for its own provider before the home's SoftHSM2
  // provider is reached; with the home's store named already, both see the
  // home's tokens rather than the machine's. The caller's provider was
  // applied first, so its value wins where two differ.
  for (const Provider &p : pkcs11Providers())
    if (!p.environment.empty()) applyEnvironment(p.environment);
  std::shared_ptr<Module> m(new Module);
  m->path_ = path;
  if (Status failed = m->start()) {
    // A module that refuses to start because the file its environment
    // names (its configuration) may not be read says so only vaguely.
    const std::string denied = failed->cause == trace::Reason::MODULE_INIT_FAILED
                                   ? permissionDenied(environmentFile(environment), R_OK)
                                   : std::string();
    if (!denied.empty()) {
      failed->why = denied + " (" + failed->why + ")";
      failed->cause = trace::Reason::PERMISSION_DENIED;
    }
    return failed;  // not kept: the next call tries again
  }
  static const bool registered = [] {
    std::atexit(&Module::finalizeAll);
    return true;
  }();
  (void)registered;
  all.emplace(path, m);
  out = std::move(m);
  return done();
}

namespace {

// Some modules (p11-kit's, for its sockets) set SIGPIPE to be ignored when
// they load or initialise. A host that handles the signal itself (a JVM
// does, and checks that its handler stays) gets its handler back; a host
// that left the default keeps the module's choice, which only protects it.
class KeepSigpipeHandler {
 public:
  KeepSigpipeHandler() { saved_ = sigaction(SIGPIPE, nullptr, &before_) == 0; }
  ~KeepSigpipeHandler() {
    if (!saved_) return;
    const bool hostHandles = (before_.sa_flags & SA_SIGINFO) != 0
                                 ? before_.sa_sigaction != nullptr
                                 : before_.sa_handler != SIG_DFL && before_.sa_handler != SIG_IGN;
    if (hostHandles) sigaction(SIGPIPE, &before_, nullptr);
  }
  KeepSigpipeHandler(const KeepSigpipeHandler &) = delete;
  KeepSigpipeHandler &operator=(const KeepSigpipeHandler &) = delete;

 private:
  struct sigaction before_ {};
  bool saved_ = false;
};

}  // namespace

Status Module::start() {
  const auto cannotStart = [](trace::Reason cause, std::string why) {
    return Failure(NTE_PROV_DLL_NOT_FOUND, cause, std::move(why));
  };
  const KeepSigpipeHandler keep;
  const std::string cannot = "the PKCS#11 module cannot be loaded: ";
  struct stat st {};
  if (stat(path_.c_str(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR))
    return cannotStart(trace::Reason::MODULE_MISSING, cannot + path_ + " does not exist");
  if (const std::string denied = permissionDenied(path_, R_OK); !denied.empty())
    return cannotStart(trace::Reason::PERMISSION_DENIED, cannot + denied);
  lib_ = dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (lib_ == nullptr) {
    const char *e = dlerror();
    const std::string said = e ? e : path_;
    const std::string what = notALibrary(path_);
    return cannotStart(trace::Reason::MODULE_NOT_LIBRARY,
                       cannot + (what.empty() ? said : what + " (" + said + ")"));
  }
  auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(lib_, "C_GetFunctionList"));
  CK_FUNCTION_LIST_PTR list = nullptr;
  if (getList == nullptr || getList(&list) != CKR_OK || list == nullptr) {
    dlclose(lib_);
    lib_ = nullptr;
    return cannotStart(trace::Reason::MODULE_NOT_PKCS11,
                       path_ + " is not a PKCS#11 module (no C_GetFunctionList)");
  }
  fn_ = list;
  CK_C_INITIALIZE_ARGS args{};
  args.flags = CKF_OS_LOCKING_OK;
  const CK_RV rv = fn_->C_Initialize(&args);
  if (rv == CKR_CRYPTOKI_ALREADY_INITIALIZED) {
    owned_ = false;  // another part of the process initialised it
    return done();
  }
  if (rv != CKR_OK) {
    dlclose(lib_);
    lib_ = nullptr;
    fn_ = nullptr;
    return cannotStart(trace::Reason::MODULE_INIT_FAILED,
                       "C_Initialize of " + path_ + ": " + rvName(rv));
  }
  owned_ = true;
  return done();
}

void Module::reinitialise(uint64_t seen, const std::string &reason) {
  std::unique_lock<std::shared_timed_mutex> lock(gate_);
  if (epoch_.load() != seen) return;  // another thread did it meanwhile
  if (owned_) {
    const KeepSigpipeHandler keep;
    fn_->C_Finalize(nullptr);
    CK_C_INITIALIZE_ARGS args{};
    args.flags = CKF_OS_LOCKING_OK;
    const CK_RV rv = fn_->C_Initialize(&args);
    trace::why(reason + "; module re-initialised" +
               (rv == CKR_OK ? std::string() : ": C_Initialize " + rvName(rv)));
  } else {
    trace::why(reason +
               "; the module was initialised by another part of the process, so it is "
               "not re-initialised");
  }
  {
    std::lock_guard<std::mutex> l(mu_);
    // Every token the ending epoch saw counts as lost until a listing of
    // the new one shows it again: the failure that led here (a refused
    // session or signature, or a listing that another thread's listing
    // of the same epoch overtook) may not have said which token went,
    // and a token re-created elsewhere may appear only after a further
    // re-initialisation.
    if (owned_)
      for (const auto &s : serials_) {
        const std::string label = s.second.substr(s.second.find('/') + 1);
        if (label.empty()) continue;  // a slot without an initialised token
        if (lost_.empty()) lostSince_ = std::chrono::steady_clock::now();
        lost_.insert(label);
      }
    logins_.clear();
    serials_.clear();
    sessionLimits_.clear();
  }
  {
    // The sessions went with the module's state (C_Finalize closes them).
    std::lock_guard<std::mutex> l(sessionsMu_);
    sessions_.clear();
  }
  epoch_.fetch_add(1);
}

void Module::finalizeAll() {
  std::lock_guard<std::mutex> lock(registryMutex());
  for (auto &entry : loaded()) {
    Module &m = *entry.second;
    // Calls still running in other threads finish first; one that does
    // not (a PIN prompt left open) leaves the module to the system.
    std::unique_lock<std::shared_timed_mutex> gate(m.gate_, std::defer_lock);
    if (!gate.try_lock_for(std::chrono::seconds(2))) continue;
    if (m.owned_) m.fn_->C_Finalize(nullptr);
    m.owned_ = false;
    m.epoch_.fetch_add(1);
  }
}

bool Use::tokens(std::vector<TokenView> &out, Failure &f) {
  out.clear();
  CK_ULONG n = 0;
  CK_RV rv = fn()->C_GetSlotList(CK_TRUE, nullptr, &n);
  std::vector<CK_SLOT_ID> slots;
  while (rv == CKR_OK) {
    slots.resize(n);
    rv = fn()->C_GetSlotList(CK_TRUE, slots.data(), &n);
    if (rv != CKR_BUFFER_TOO_SMALL) break;
  }
  if (rv != CKR_OK) {
    f.why = "C_GetSlotList: " + rvName(rv);
    return false;
  }
  slots.resize(n);
  std::map<CK_SLOT_ID, std::string> seen;
  {
    std::lock_guard<std::mutex> l(m_.mu_);
    seen = m_.serials_;
  }
  // A token that went away is remembered (by label) until one with its
  // label shows up again: a token re-created elsewhere may only appear
  // after another re-initialisation.
  const auto lose = [&](CK_SLOT_ID slot) {
    const auto before = seen.find(slot);
    const std::string label =
        before == seen.end() ? "?" : before->second.substr(before->second.find('/') + 1);
    std::lock_guard<std::mutex> l(m_.mu_);
    if (m_.lost_.empty()) m_.lostSince_ = std::chrono::steady_clock::now();
    m_.lost_.insert(label);
  };
  std::map<CK_SLOT_ID, std::string> now;
  std::map<CK_SLOT_ID, CK_ULONG> limits;
  for (CK_SLOT_ID slot : slots) {
    CK_TOKEN_INFO info{};
    rv = fn()->C_GetTokenInfo(slot, &info);
    if (rv == CKR_TOKEN_NOT_PRESENT) continue;
    if (rv != CKR_OK) {
      f.why = "C_GetTokenInfo of slot " + std::to_string(slot) + ": " + rvName(rv) +
              " (the token went away)";
      lose(slot);
      return false;
    }
    TokenView t;
    t.slot = slot;
    t.label = trimmed(info.label, sizeof info.label);
    t.serial = trimmed(info.serialNumber, sizeof info.serialNumber);
    t.flags = info.flags;
    const auto before = seen.find(slot);
    if (before != seen.end() && before->second != t.serial + "/" + t.label) {
      f.why = "the token in slot " + std::to_string(slot) + " changed";
      lose(slot);
      return false;
    }
    now[slot] = t.serial + "/" + t.label;
    CK_ULONG limit = 0;
    for (CK_ULONG said : {info.ulMaxSessionCount, info.ulMaxRwSessionCount})
      if (said != CK_EFFECTIVELY_INFINITE && said != CK_UNAVAILABLE_INFORMATION)
        limit = limit == 0 ? said : std::min(limit, said);
    limits[slot] = limit;
    out.push_back(std::move(t));
  }
  // A slot whose token went away is a change as well.
  for (const auto &s : seen)
    if (now.find(s.first) == now.end()) {
      f.why = "the token in slot " + std::to_string(s.first) + " was removed";
      lose(s.first);
      return false;
    }
  std::lock_guard<std::mutex> l(m_.mu_);
  m_.serials_ = std::move(now);
  m_.sessionLimits_ = std::move(limits);
  for (const TokenView &t : out) m_.lost_.erase(t.label);
  return true;
}

std::shared_ptr<LoginState> Module::loginState(const std::string &token) {
  std::lock_guard<std::mutex> lock(mu_);
  auto &state = logins_[token];
  if (!state) state = std::make_shared<LoginState>();
  return state;
}

bool Module::rescanForLostToken() {
  const auto now = std::chrono::steady_clock::now();
  std::lock_guard<std::mutex> l(mu_);
  if (lost_.empty()) return false;
  if (now - lostSince_ > kLostFor) {
    lost_.clear();
    return false;
  }
  if (now - lastRescan_ < kRescanInterval) return false;
  lastRescan_ = now;
  return true;
}

CK_SESSION_HANDLE Use::session(CK_SLOT_ID slot, CK_RV &rv) {
  rv = CKR_OK;
  for (HeldSession &h : heldSessions) {
    if (h.module != &m_ || h.slot != slot || h.epoch != epoch_) continue;
    if (std::find(taken_.begin(), taken_.end(), slot) == taken_.end()) {
      ++h.uses;
      taken_.push_back(slot);
    }
    return h.handle;
  }
  const CK_SESSION_HANDLE h = takeSession(slot, rv);
  if (h == CK_INVALID_HANDLE) return h;
  heldSessions.push_back({&m_, epoch_, slot, h, 1});
  taken_.push_back(slot);
  auto last = std::find_if(lastSessions.begin(), lastSessions.end(),
                           [&](const HeldSession &l) { return l.module == &m_ && l.slot == slot; });
  if (last == lastSessions.end())
    lastSessions.push_back({&m_, epoch_, slot, h, 0});
  else
    last->epoch = epoch_, last->handle = h;
  return h;
}

// An idle session of the slot (this thread's last one first), else a new
// one within the cap, else one that comes back.
CK_SESSION_HANDLE Use::takeSession(CK_SLOT_ID slot, CK_RV &rv) {
  size_t cap = Module::kMaxSessions;
  {
    std::lock_guard<std::mutex> l(m_.mu_);
    const auto limit = m_.sessionLimits_.find(slot);
    if (limit != m_.sessionLimits_.end() && limit->second != 0 && limit->second < cap)
      cap = limit->second;
  }
  CK_SESSION_HANDLE mine = CK_INVALID_HANDLE;
  for (const HeldSession &l : lastSessions)
    if (l.module == &m_ && l.slot == slot && l.epoch == epoch_) mine = l.handle;
  // A thread that holds a session of another of the module's tokens never
  // waits: the holder of the one it waits for might be waiting for its own.
  const bool holdsOther = std::any_of(heldSessions.begin(), heldSessions.end(),
                                      [&](const HeldSession &h) { return h.module == &m_; });
  const auto deadline = std::chrono::steady_clock::now() + Module::kSessionWait;
  bool beyondCap = false;
  {
    std::unique_lock<std::mutex> l(m_.sessionsMu_);
    for (;;) {
      Module::Sessions &pool = m_.sessions_[slot];
      if (!pool.idle.empty()) {
        auto it = std::find(pool.idle.begin(), pool.idle.end(), mine);
        if (it == pool.idle.end()) it = pool.idle.end() - 1;
        const CK_SESSION_HANDLE h = *it;
        pool.idle.erase(it);
        return h;
      }
      if (pool.open < cap || holdsOther || beyondCap) {
        ++pool.open;  // opened below, without the lock
        break;
      }
      if (m_.sessionBack_.wait_until(l, deadline) == std::cv_status::timeout) beyondCap = true;
    }
  }
  if (beyondCap)
    trace::why("no session with the token came back within " +
               std::to_string(Module::kSessionWait.count()) + " s: one more opened");
  CK_SESSION_HANDLE h = CK_INVALID_HANDLE;
  rv = fn()->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &h);
  if (rv == CKR_TOKEN_WRITE_PROTECTED)
    rv = fn()->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &h);
  if (rv != CKR_OK) {
    std::lock_guard<std::mutex> l(m_.sessionsMu_);
    --m_.sessions_[slot].open;
    return CK_INVALID_HANDLE;
  }
  return h;
}

Use::~Use() {
  for (CK_SLOT_ID slot : taken_) {
    const auto h =
        std::find_if(heldSessions.begin(), heldSessions.end(), [&](const HeldSession &s) {
          return s.module == &m_ && s.slot == slot && s.epoch == epoch_;
        });
    if (h == heldSessions.end() || --h->uses > 0) continue;
    const CK_SESSION_HANDLE handle = h->handle;
    heldSessions.erase(h);
    // A session of an epoch that ended meanwhile (a re-initialisation while
    // a PIN prompt let the gate go) went with it.
    if (m_.epoch_.load() != epoch_) continue;
    {
      std::lock_guard<std::mutex> l(m_.sessionsMu_);
      m_.sessions_[slot].idle.push_back(handle);
    }
    m_.sessionBack_.notify_one();
  }
}

bool Use::loggedIn(CK_SESSION_HANDLE s) {
  CK_SESSION_INFO info{};
  if (fn()->C_GetSessionInfo(s, &info) != CKR_OK) return false;
  return info.state == CKS_RO_USER_FUNCTIONS || info.state == CKS_RW_USER_FUNCTIONS;
}

}  // namespace emu::csp::pkcs11
