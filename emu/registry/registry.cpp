// Registry API (RegOpenKeyExA and friends) over the emulated registry tree.
#include "registry/registry.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <vector>

#include "common/ascii.h"
#include "common/home.h"
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

std::vector<FileStamp> listRegFiles(const std::string &dir) {
  std::vector<FileStamp> files;
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) return files;
  while (const dirent *e = readdir(d)) {
    const std::string n = e->d_name;
    if (n.size() < 4 || ascii::lower(n.substr(n.size() - 4)) != ".reg") continue;
    struct stat st {};
    if (stat((dir + "/" + n).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    files.push_back({n, static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
                     static_cast<int64_t>(st.st_size)});
  }
  closedir(d);
  std::sort(files.begin(), files.end(),
            [](const FileStamp &a, const FileStamp &b) { return a.name < b.name; });
  return files;
}

struct Cache {
  std::mutex mu;
  std::string dir;
  std::vector<FileStamp> stamps;
  std::shared_ptr<const Tree> tree;
};

Cache &cache() {
  static Cache c;
  return c;
}

}  // namespace

std::shared_ptr<const Tree> current() {
  const std::string home = homeDir();
  const std::string dir = home + "/registry";
  struct stat st {};
  // Threads of one process share the private name below: one at a time.
  static std::mutex creating;
  std::unique_lock<std::mutex> creation(creating);
  if (stat(dir.c_str(), &st) != 0 && ensureHome(home)) {
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
  creation.unlock();
  std::vector<FileStamp> stamps = listRegFiles(dir);
  Cache &c = cache();
  std::lock_guard<std::mutex> lock(c.mu);
  if (c.tree && c.dir == dir && c.stamps == stamps) return c.tree;
  auto tree = std::make_shared<Tree>();
  for (const auto &f : stamps) {
    std::string text;
    if (readFile(dir + "/" + f.name, text))
      applyRegFile(*tree, text);
    else
      trace::why("cannot read registry file " + dir + "/" + f.name);
  }
  c.dir = dir;
  c.stamps = std::move(stamps);
  c.tree = tree;
  return tree;
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
  std::shared_ptr<const emu::registry::Tree> tree;
  const emu::registry::Key *key;
  REGSAM access;  // what the key was opened for
};

namespace {

using emu::registry::Key;

bool isPredefined(HKEY h) {
  const auto v = reinterpret_cast<ULONG_PTR>(h);
  return v >= 0x80000000u && v <= 0x80000006u;
}

// Live handles, so that a stale or foreign handle fails instead of being
// dereferenced.
std::mutex handlesMu;
std::vector<HKEY> handles;

// The tree and key behind a handle, and what it was opened for (a
// predefined key allows everything).
bool resolve(HKEY h, std::shared_ptr<const emu::registry::Tree> &tree, const Key *&key,
             REGSAM *access = nullptr) {
  if (access != nullptr) *access = ~REGSAM{0};
  if (h == HKEY_LOCAL_MACHINE) {
    tree = emu::registry::current();
    key = emu::registry::localMachine(*tree);
    return true;  // key may be null: an empty hive
  }
  if (isPredefined(h)) {
    tree = emu::registry::current();
    key = nullptr;
    return true;
  }
  std::lock_guard<std::mutex> lock(handlesMu);
  if (std::find(handles.begin(), handles.end(), h) == handles.end()) return false;
  tree = h->tree;
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
    std::shared_ptr<const emu::registry::Tree> tree;
    const Key *key = nullptr;
    if (!resolve(hKey, tree, key)) return ERROR_INVALID_HANDLE;
    // A path is relative to the key it is opened from: one that starts with
    // a backslash is malformed, as on Windows.
    if (lpSubKey != nullptr && *lpSubKey == '\\') return ERROR_BAD_PATHNAME;
    if (key != nullptr && lpSubKey != nullptr && *lpSubKey != '\0') key = key->find(lpSubKey);
    if (key == nullptr) return ERROR_FILE_NOT_FOUND;
    // The .reg format carries no access rights; a key with the value
    // "EmulationAccess"="denied" stands for one the caller may not open.
    std::string access;
    if (emu::registry::readString(*key, "EmulationAccess", access) &&
        emu::ascii::lower(access) == "denied")
      return ERROR_ACCESS_DENIED;
    HKEY h = new HKEY__{std::move(tree), key, samDesired};
    std::lock_guard<std::mutex> lock(handlesMu);
    handles.push_back(h);
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
    std::shared_ptr<const emu::registry::Tree> tree;
    const Key *key = nullptr;
    REGSAM access = 0;
    if (!resolve(hKey, tree, key, &access)) return ERROR_INVALID_HANDLE;
    // Enumerating subkeys needs a key opened for it.
    if ((access & KEY_ENUMERATE_SUB_KEYS) == 0) return ERROR_ACCESS_DENIED;
    if (key == nullptr || dwIndex >= key->subkeys.size()) return ERROR_NO_MORE_ITEMS;
    // The map is ordered by lower-cased name: case-insensitive order.
    auto it = key->subkeys.begin();
    std::advance(it, dwIndex);
    const std::string &name = it->second->name;
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
    std::shared_ptr<const emu::registry::Tree> tree;
    const Key *key = nullptr;
    REGSAM access = 0;
    if (!resolve(hKey, tree, key, &access)) return ERROR_INVALID_HANDLE;
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
    auto it = std::find(handles.begin(), handles.end(), hKey);
    if (it == handles.end()) return ERROR_INVALID_HANDLE;
    handles.erase(it);
  }
  delete hKey;
  return ERROR_SUCCESS;
}

LONG WINAPI RegCloseKey(HKEY hKey) {
  emu::trace::Call t("RegCloseKey");
  return t.doneStatus(RegCloseKeyImpl(hKey));
}

}  // extern "C"
