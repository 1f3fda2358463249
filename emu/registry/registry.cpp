// Registry API (RegOpenKeyExA and friends) over the emulated registry tree.
#include "registry/registry.h"

#include <dirent.h>
#include <pthread.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "common/ascii.h"
#include "common/home.h"
#include "common/test_hooks.h"
#include "common/trace.h"
#include "winapi/advapi32.h"

namespace emu::registry {

namespace {

struct FileStamp {
  std::string name;
  int64_t mtimeNs;
  int64_t size;
  bool operator==(const FileStamp &o) const {
    return name == o.name && mtimeNs == o.mtimeNs && size == o.size;
  }
};

// The ".reg" files of the folder in name order. `linked` is set when one of
// them is a symbolic link: a change of its target makes no event in the
// folder.
std::vector<FileStamp> listRegFiles(const std::string &dir, bool &linked) {
  std::vector<FileStamp> files;
  linked = false;
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) return files;
  while (const dirent *e = readdir(d)) {
    const std::string n = e->d_name;
    if (n.size() < 4 || ascii::lower(n.substr(n.size() - 4)) != ".reg") continue;
    const std::string path = dir + "/" + n;
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    struct stat lst {};
    if (lstat(path.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode)) linked = true;
    files.push_back({n, static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
                     static_cast<int64_t>(st.st_size)});
  }
  closedir(d);
  std::sort(files.begin(), files.end(),
            [](const FileStamp &a, const FileStamp &b) { return a.name < b.name; });
  return files;
}

// Forks this process has gone through, counted in the child: a cheaper
// question on every registry read than getpid(), a system call.
std::atomic<unsigned> forkCount{0};
void countFork() {
  forkCount.fetch_add(1, std::memory_order_relaxed);
}
unsigned forks() {
  static const bool counted = pthread_atfork(nullptr, nullptr, countFork) == 0;
  // Without the handler (it could not be registered) every read asks.
  if (!counted) return static_cast<unsigned>(getpid());
  return forkCount.load(std::memory_order_relaxed);
}

// Tells whether anything in the registry folder may have changed since the
// watch was (re)started, without listing it: an inotify watch on the folder
// whose queue is read (non-blocking) on each question. Any event at all (a
// file written, created, removed, renamed, its mode changed; the folder
// itself removed or moved; the queue overflowing) counts as a change.
//
// Threads ask without a lock (two threads signing at once would otherwise
// queue on it, a system call apiece). The descriptor stays open for the
// process's life (a forked child, which shares its parent's queue, makes
// its own), and restart() only changes what it watches. An event that one
// thread reads is a change for all: it leaves `stale_` set until the next
// rebuild begins. A thread that read no event trusts that only while no
// other thread is between its read and its verdict and no rebuild is under
// way; the caller then checks that no rebuild ended meanwhile either.
class FolderWatch {
 public:
  ~FolderWatch() {
    const int fd = fd_.load();
    if (fd >= 0) ::close(fd);
  }

  // What a question found. Unsure: nothing, but another thread was between
  // its read and its verdict at the same time (it may have taken an event
  // from the queue that it has not marked yet); asking again settles it.
  enum class Verdict { Quiet, Changed, Unsure };

  // Quiet only when the watch belongs to this process, is on the folder it
  // was last restarted on, and no thread has seen anything since.
  Verdict ask() {
    if (!watching_.load() || forks_.load() != forks()) return Verdict::Changed;
    const int fd = fd_.load();  // after forks_: restart() sets it first
    inFlight_.fetch_add(1);
    bool any = false, broken = false;
    alignas(inotify_event) char buf[4096];
    for (;;) {
      const ssize_t n = read(fd, buf, sizeof buf);
      if (n > 0) {
        any = true;
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      broken = n < 0 && errno != EAGAIN && errno != EWOULDBLOCK;
      break;
    }
    if (hooks::active(hooks::kSlowWatchVerdict))
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (any || broken) stale_.store(true);
    if (broken) watching_.store(false);  // listed on every call from now on
    Verdict v = Verdict::Quiet;
    if (any || broken || stale_.load() || rebuilding_.load())
      v = Verdict::Changed;
    else if (inFlight_.load() != 1)
      v = Verdict::Unsure;
    inFlight_.fetch_sub(1);
    return v;
  }

  // ask(), again while it is unsure (a few times: then it counts as a
  // change, and the folder is read again).
  bool quiet() {
    for (int i = 0; i < 16; ++i) {
      const Verdict v = ask();
      if (v != Verdict::Unsure) return v == Verdict::Quiet;
      std::this_thread::yield();
    }
    return false;
  }

  // Under the cache's lock, around reading the folder again: an event read
  // after beginRebuild() may be one the rebuild misses, so it stays.
  void beginRebuild() {
    rebuilding_.store(true);
    stale_.store(false);
  }
  void endRebuild() { rebuilding_.store(false); }

  // Under the cache's lock: watches `dir` from now on (a new watch: the
  // folder may have been removed and made again), the queue emptied first.
  // active() tells whether that worked.
  void restart(const std::string &dir) {
    int fd = fd_.load();
    if (fd >= 0 && forks_.load() != forks()) {
      // The inherited descriptor is the parent's queue. No thread of this
      // process reads it: they all find forks_ stale.
      ::close(fd);
      fd = -1;
      wd_ = -1;
    }
    if (fd < 0) {
      fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
      if (fd < 0) {
        watching_.store(false);
        return;
      }
      fd_.store(fd);
      forks_.store(forks());
    }
    if (wd_ >= 0) inotify_rm_watch(fd, wd_);  // fails harmlessly for a folder gone
    alignas(inotify_event) char buf[4096];
    while (read(fd, buf, sizeof buf) > 0) {
    }
    constexpr uint32_t kEvents = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_MOVED_FROM |
                                 IN_MOVED_TO | IN_CREATE | IN_DELETE | IN_DELETE_SELF |
                                 IN_MOVE_SELF | IN_ONLYDIR;
    wd_ = inotify_add_watch(fd, dir.c_str(), kEvents);
    watching_.store(wd_ >= 0);
  }

  bool active() const { return watching_.load(); }

 private:
  std::atomic<int> fd_{-1};
  std::atomic<unsigned> forks_{0};
  std::atomic<bool> watching_{false};
  std::atomic<bool> stale_{false};
  std::atomic<bool> rebuilding_{false};
  std::atomic<int> inFlight_{0};
  int wd_ = -1;  // under the cache's lock
};

// A key's subkey by its lower-cased name (the name is the subkey map's
// own key, which stays where it is while the snapshot lives).
struct ChildRef {
  const Key *parent;
  std::string_view name;
  bool operator==(const ChildRef &o) const { return parent == o.parent && name == o.name; }
};

struct ChildRefHash {
  size_t operator()(const ChildRef &r) const {
    return std::hash<std::string_view>()(r.name) ^
           (std::hash<const void *>()(r.parent) * size_t{0x9E3779B97F4A7C15u});
  }
};

// One registry state: the tree, and each key's subkeys in enumeration
// order (case-insensitive name order), so that RegEnumKeyExA finds the
// subkey at an index in constant time; and every subkey by its parent and
// name, so that opening a path takes a hash lookup per level (the tree's
// own maps take a string comparison per level of their binary trees: with
// thousands of providers under one key, each provider's open cost more the
// more providers there were).
struct Snapshot {
  Tree tree;
  std::unordered_map<const Key *, std::vector<const Key *>> ordered;
  std::unordered_map<ChildRef, const Key *, ChildRefHash> children;
};

// The key at `path` below `base` (backslash-separated, names compared
// without ASCII case, empty parts skipped, as Key::find); null when a part
// is missing.
const Key *findKey(const Snapshot &s, const Key *base, const char *path) {
  std::string part;
  const Key *k = base;
  for (const char *p = path; k != nullptr && *p != '\0';) {
    const char *end = p;
    while (*end != '\0' && *end != '\\') ++end;
    if (end != p) {
      part.assign(p, end);
      for (char &c : part)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      const auto it = s.children.find(ChildRef{k, part});
      k = it == s.children.end() ? nullptr : it->second;
    }
    p = *end == '\\' ? end + 1 : end;
  }
  return k;
}

void orderSubkeys(Snapshot &s) {
  std::vector<const Key *> pending{&s.tree.root};
  while (!pending.empty()) {
    const Key *k = pending.back();
    pending.pop_back();
    if (k->subkeys.empty()) continue;
    auto &list = s.ordered[k];
    list.reserve(k->subkeys.size());
    for (const auto &entry : k->subkeys) {  // the map's order is the lower-cased name's
      list.push_back(entry.second.get());
      s.children.emplace(ChildRef{k, entry.first}, entry.second.get());
      pending.push_back(entry.second.get());
    }
  }
}

struct Cache {
  std::mutex mu;  // guards what follows but `generation`
  std::string dir;
  std::vector<FileStamp> stamps;
  bool linked = false;  // a file is a symbolic link: list on every call
  FolderWatch watch;
  std::shared_ptr<const Snapshot> snapshot;
  // Moves (under the lock) whenever the folder was read again.
  std::atomic<uint64_t> generation{0};
};

// What one thread last got: the snapshot of a folder at a generation.
struct Seen {
  uint64_t generation = 0;
  std::string dir;
  bool linked = false;
  std::shared_ptr<const Snapshot> snapshot;
};

Cache &cache() {
  static auto *c = new Cache;  // lives to process exit: handles may outlive static destructors
  return *c;
}

// Creates the folder with the default registration when it is missing.
void ensureFolder(const std::string &home, const std::string &dir) {
  struct stat st {};
  // Threads of one process share the private name below: one at a time.
  static std::mutex creating;
  std::lock_guard<std::mutex> creation(creating);
  if (stat(dir.c_str(), &st) == 0 || !ensureHome(home)) return;
  // The folder appears complete or not at all: it is filled under a
  // private name and renamed into place, so a process racing this one
  // never reads it before its default registration is there.
  const std::string fresh = dir + ".new." + std::to_string(getpid());
  const std::string file = "/00-default.reg";
  if (ensureDir(fresh) && writeFileAtomic(fresh + file, kDefaultRegistration) &&
      rename(fresh.c_str(), dir.c_str()) != 0) {
    unlink((fresh + file).c_str());  // another process was first
    rmdir(fresh.c_str());
  }
}

}  // namespace

// The registry as the files describe it now. While the folder's watch has
// seen nothing, the tree of the last call is the answer; after any change
// the tree is built again from the files. Where no watch can be had
// (inotify unavailable) the folder is listed on every call and the tree
// built again when a file's name, size or time differs. Files that are
// symbolic links are read again on every call: a change of their target
// makes no event in the folder.
std::shared_ptr<const Snapshot> currentSnapshot() {
  const std::string home = homeDir();
  const std::string dir = home + "/registry";
  Cache &c = cache();
  thread_local Seen seen;
  // The watch is asked first, the generation after: a rebuild that took
  // this call's event from the queue has either not ended (the watch says
  // so) or has moved the generation.
  if (seen.snapshot && seen.dir == dir && !seen.linked && c.watch.quiet() &&
      c.generation.load() == seen.generation)
    return seen.snapshot;
  const auto keep = [&](const std::shared_ptr<const Snapshot> &s) {
    seen = Seen{c.generation.load(), c.dir, c.linked, s};
    return s;
  };
  {
    std::lock_guard<std::mutex> lock(c.mu);
    if (c.snapshot && c.dir == dir && !c.linked && c.watch.quiet()) return keep(c.snapshot);
  }
  ensureFolder(home, dir);
  std::lock_guard<std::mutex> lock(c.mu);
  // The watch starts before the listing: a change made while the folder is
  // read leaves an event, and the next call reads it again.
  c.watch.beginRebuild();
  c.watch.restart(dir);
  bool linked = false;
  std::vector<FileStamp> stamps = listRegFiles(dir, linked);
  const bool sameFiles = c.snapshot && c.dir == dir && c.stamps == stamps;
  if (!(sameFiles && !linked && !c.watch.active())) {
    auto snapshot = std::make_shared<Snapshot>();
    snapshot->tree.unreadable = tracePermissionDenied(dir, R_OK | X_OK);
    for (const auto &f : stamps) {
      std::string text;
      if (readFile(dir + "/" + f.name, text)) {
        applyRegFile(snapshot->tree, text);
        continue;
      }
      trace::why("cannot read registry file " + dir + "/" + f.name);
      const std::string denied = tracePermissionDenied(dir + "/" + f.name, R_OK);
      if (snapshot->tree.unreadable.empty()) snapshot->tree.unreadable = denied;
    }
    orderSubkeys(*snapshot);
    c.snapshot = snapshot;
  }
  c.dir = dir;
  c.stamps = std::move(stamps);
  c.linked = linked;
  c.generation.fetch_add(1);
  c.watch.endRebuild();
  return keep(c.snapshot);
}

std::shared_ptr<const Tree> current() {
  std::shared_ptr<const Snapshot> s = currentSnapshot();
  return std::shared_ptr<const Tree>(s, &s->tree);
}

const Key *localMachine(const Tree &tree) {
  return tree.root.child("HKEY_LOCAL_MACHINE");
}

bool readString(const Key &key, const std::string &name, std::string &out) {
  const auto it = key.values.find(ascii::lower(name));
  if (it == key.values.end() || it->second.type != REG_SZ) return false;
  const auto &d = it->second.data;
  out.assign(d.begin(), std::find(d.begin(), d.end(), 0));
  return true;
}

bool readDword(const Key &key, const std::string &name, uint32_t &out) {
  const auto it = key.values.find(ascii::lower(name));
  if (it == key.values.end() || it->second.type != REG_DWORD || it->second.data.size() != 4)
    return false;
  const auto &d = it->second.data;
  out = d[0] | (d[1] << 8) | (d[2] << 16) | (static_cast<uint32_t>(d[3]) << 24);
  return true;
}

}  // namespace emu::registry

// An open key: the snapshot it was opened in and the key inside it. Keys
// opened from it stay in the same snapshot, as a Windows key handle sees
// one consistent hive.
struct HKEY__ {
  std::shared_ptr<const emu::registry::Snapshot> snapshot;
  const emu::registry::Key *key;
  REGSAM access;  // what the key was opened for
};

namespace {

using emu::registry::Key;
using emu::registry::Snapshot;

bool isPredefined(HKEY h) {
  const auto v = reinterpret_cast<ULONG_PTR>(h);
  return v >= 0x80000000u && v <= 0x80000006u;
}

// Live handles, so that a stale or foreign handle fails instead of being
// dereferenced.
std::mutex handlesMu;
std::unordered_set<HKEY> handles;

// The snapshot and key behind a handle, and what it was opened for (a
// predefined key allows everything).
bool resolve(HKEY h, std::shared_ptr<const Snapshot> &snapshot, const Key *&key,
             REGSAM *access = nullptr) {
  if (access != nullptr) *access = ~REGSAM{0};
  if (h == HKEY_LOCAL_MACHINE) {
    snapshot = emu::registry::currentSnapshot();
    key = emu::registry::localMachine(snapshot->tree);
    return true;  // key may be null: an empty hive
  }
  if (isPredefined(h)) {
    snapshot = emu::registry::currentSnapshot();
    key = nullptr;
    return true;
  }
  std::lock_guard<std::mutex> lock(handlesMu);
  if (handles.count(h) == 0) return false;
  snapshot = h->snapshot;
  key = h->key;
  if (access != nullptr) *access = h->access;
  return true;
}

}  // namespace

extern "C" {

static LONG RegOpenKeyExAImpl(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM samDesired,
                              PHKEY phkResult) {
  if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  try {
    std::shared_ptr<const Snapshot> snapshot;
    const Key *key = nullptr;
    if (!resolve(hKey, snapshot, key)) return ERROR_INVALID_HANDLE;
    // A path is relative to the key it is opened from: one that starts with
    // a backslash is malformed, as on Windows.
    if (lpSubKey != nullptr && *lpSubKey == '\\') return ERROR_BAD_PATHNAME;
    if (key != nullptr && lpSubKey != nullptr && *lpSubKey != '\0')
      key = findKey(*snapshot, key, lpSubKey);
    if (key == nullptr) return ERROR_FILE_NOT_FOUND;
    // The .reg format carries no access rights; a key with the value
    // "EmulationAccess"="denied" stands for one the caller may not open.
    std::string access;
    if (emu::registry::readString(*key, "EmulationAccess", access) &&
        emu::ascii::lower(access) == "denied")
      return ERROR_ACCESS_DENIED;
    HKEY h = new HKEY__{std::move(snapshot), key, samDesired};
    std::lock_guard<std::mutex> lock(handlesMu);
    try {
      handles.insert(h);
    } catch (...) {
      delete h;
      throw;
    }
    *phkResult = h;
    return ERROR_SUCCESS;
  } catch (...) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD unused1, REGSAM samDesired,
                          PHKEY phkResult) {
  emu::trace::Call t("RegOpenKeyExA");
  if (t) t.text("subkey", lpSubKey);
  return t.doneStatus(RegOpenKeyExAImpl(hKey, lpSubKey, unused1, samDesired, phkResult));
}

static LONG RegEnumKeyExAImpl(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD,
                              LPSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
  if (lpName == nullptr || lpcchName == nullptr) return ERROR_INVALID_PARAMETER;
  try {
    std::shared_ptr<const Snapshot> snapshot;
    const Key *key = nullptr;
    REGSAM access = 0;
    if (!resolve(hKey, snapshot, key, &access)) return ERROR_INVALID_HANDLE;
    // Enumerating subkeys needs a key opened for it.
    if ((access & KEY_ENUMERATE_SUB_KEYS) == 0) return ERROR_ACCESS_DENIED;
    if (key == nullptr || dwIndex >= key->subkeys.size()) return ERROR_NO_MORE_ITEMS;
    // In case-insensitive name order, as the snapshot listed them.
    const std::string &name = snapshot->ordered.at(key)[dwIndex]->name;
    if (name.size() + 1 > *lpcchName) return ERROR_MORE_DATA;
    std::copy(name.begin(), name.end(), lpName);
    lpName[name.size()] = '\0';
    *lpcchName = static_cast<DWORD>(name.size());
    if (lpClass != nullptr && lpcchClass != nullptr && *lpcchClass > 0) *lpClass = '\0';
    if (lpcchClass != nullptr) *lpcchClass = 0;
    if (lpftLastWriteTime != nullptr) *lpftLastWriteTime = FILETIME{0, 0};
    return ERROR_SUCCESS;
  } catch (...) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

LONG WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName,
                          LPDWORD unused1, LPSTR lpClass, LPDWORD lpcchClass,
                          PFILETIME lpftLastWriteTime) {
  emu::trace::Call t("RegEnumKeyExA");
  if (t) t.num("index", dwIndex);
  return t.doneStatus(RegEnumKeyExAImpl(hKey, dwIndex, lpName, lpcchName, unused1, lpClass,
                                        lpcchClass, lpftLastWriteTime));
}

static LONG RegQueryValueExAImpl(HKEY hKey, LPCSTR lpValueName, LPDWORD, LPDWORD lpType,
                                 LPBYTE lpData, LPDWORD lpcbData) {
  try {
    std::shared_ptr<const Snapshot> snapshot;
    const Key *key = nullptr;
    REGSAM access = 0;
    if (!resolve(hKey, snapshot, key, &access)) return ERROR_INVALID_HANDLE;
    if ((access & KEY_QUERY_VALUE) == 0) return ERROR_ACCESS_DENIED;
    if (key == nullptr) return ERROR_FILE_NOT_FOUND;
    const auto it = key->values.find(emu::ascii::lower(lpValueName ? lpValueName : ""));
    if (it == key->values.end()) return ERROR_FILE_NOT_FOUND;
    const auto &v = it->second;
    if (lpType != nullptr) *lpType = v.type;
    const DWORD need = static_cast<DWORD>(v.data.size());
    if (lpData == nullptr) {
      if (lpcbData != nullptr) *lpcbData = need;
      return ERROR_SUCCESS;
    }
    if (lpcbData == nullptr) return ERROR_INVALID_PARAMETER;
    if (*lpcbData < need) {
      *lpcbData = need;
      return ERROR_MORE_DATA;
    }
    std::copy(v.data.begin(), v.data.end(), lpData);
    *lpcbData = need;
    return ERROR_SUCCESS;
  } catch (...) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD unused1, LPDWORD lpType,
                             LPBYTE lpData, LPDWORD lpcbData) {
  emu::trace::Call t("RegQueryValueExA");
  if (t) t.text("value", lpValueName).num("size query", lpData == nullptr);
  return t.doneStatus(RegQueryValueExAImpl(hKey, lpValueName, unused1, lpType, lpData, lpcbData));
}

static LONG RegCloseKeyImpl(HKEY hKey) {
  if (isPredefined(hKey)) return ERROR_SUCCESS;
  {
    std::lock_guard<std::mutex> lock(handlesMu);
    if (handles.erase(hKey) == 0) return ERROR_INVALID_HANDLE;
  }
  delete hKey;
  return ERROR_SUCCESS;
}

LONG WINAPI RegCloseKey(HKEY hKey) {
  emu::trace::Call t("RegCloseKey");
  return t.doneStatus(RegCloseKeyImpl(hKey));
}

}  // extern "C"
