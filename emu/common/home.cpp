#include "common/home.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>

#include "common/trace.h"

namespace emu {

namespace {

std::string envOrEmpty(const char *name) {
  const char *v = std::getenv(name);
  return v != nullptr ? std::string(v) : std::string();
}

std::string userHome() {
  std::string h = envOrEmpty("HOME");
  if (!h.empty()) return h;
  if (const passwd *pw = getpwuid(getuid()); pw != nullptr && pw->pw_dir) return pw->pw_dir;
  return "/tmp";
}

std::string modeText(mode_t m) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%04o", static_cast<unsigned>(m & 07777));
  return buf;
}

// The names directly in the home that belong to the emulation.
const char *const kOwnFiles[] = {
    "keys.db",  "keys.db-wal",   "keys.db-shm",  "keys.db-journal",  "keys.db-changes",
    "certs.db", "certs.db-wal",  "certs.db-shm", "certs.db-journal", "certs.db-changes",
    "registry", "machine-scope", "token-imports"};

std::vector<std::string> entries(const std::string &dir) {
  std::vector<std::string> names;
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) return names;
  while (const dirent *e = readdir(d)) {
    const std::string n = e->d_name;
    if (n != "." && n != "..") names.push_back(n);
  }
  closedir(d);
  return names;
}

// Narrows a file or folder of the emulation to 0600/0700 when the user owns
// it and it is wider; says in the trace what it could not narrow.
void tighten(const std::string &path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0 || S_ISLNK(st.st_mode)) return;
  const mode_t want = S_ISDIR(st.st_mode) ? 0700 : 0600;
  if ((st.st_mode & 077) == 0) return;
  if (st.st_uid != geteuid() || chmod(path.c_str(), want) != 0)
    trace::why(path + " is open to others (mode " + modeText(st.st_mode) + ")");
}

void applyPolicy(const std::string &dir) {
  bool onlyOurs = true;
  for (const std::string &n : entries(dir)) {
    if (!isEmulationFile(n)) {
      onlyOurs = false;
      continue;
    }
    tighten(dir + "/" + n);
  }
  for (const std::string &n : entries(dir + "/registry"))
    if (n.size() > 4 && n.compare(n.size() - 4, 4, ".reg") == 0) tighten(dir + "/registry/" + n);
  struct stat st {};
  if (stat(dir.c_str(), &st) != 0 || (st.st_mode & 077) == 0) return;
  // The home itself only when it is plainly the emulation's own folder.
  if (onlyOurs && st.st_uid == geteuid() && chmod(dir.c_str(), 0700) == 0) return;
  trace::why("home " + dir + " is open to others (mode " + modeText(st.st_mode) + ")");
}

}  // namespace

std::string homeDir() {
  std::string dir = envOrEmpty("MSCAPI_HOME");
  if (!dir.empty()) return dir;
  std::string xdg = envOrEmpty("XDG_DATA_HOME");
  if (!xdg.empty()) return xdg + "/mscapi";
  return userHome() + "/.local/share/mscapi";
}

const char *homeOrigin() {
  if (!envOrEmpty("MSCAPI_HOME").empty()) return "MSCAPI_HOME";
  if (!envOrEmpty("XDG_DATA_HOME").empty()) return "XDG_DATA_HOME";
  return "default";
}

bool isEmulationFile(const std::string &name) {
  for (const char *own : kOwnFiles)
    if (name == own) return true;
  // A registry folder being set up under a private name.
  return name.compare(0, 13, "registry.new.") == 0;
}

bool ensureDir(const std::string &path) {
  if (path.empty()) return false;
  struct stat st {};
  if (stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  const auto slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0) {
    const std::string parent = path.substr(0, slash);
    if (stat(parent.c_str(), &st) != 0 && !ensureDir(parent)) return false;
  }
  if (mkdir(path.c_str(), 0700) == 0) {
    // The umask may have taken bits the owner needs.
    chmod(path.c_str(), 0700);
    return true;
  }
  return errno == EEXIST && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool ensureHome(const std::string &dir) {
  struct stat st {};
  const bool found = stat(dir.c_str(), &st) == 0;
  if (found && !S_ISDIR(st.st_mode)) {
    trace::why(trace::Reason::HOME_NOT_DIRECTORY, "home " + dir + " is not a directory");
    return false;
  }
  if (!found && !ensureDir(dir)) {
    trace::why(trace::Reason::HOME_UNUSABLE,
               "home " + dir + " cannot be created: " + std::strerror(errno));
    return false;
  }
  // The policy runs once per home and process: it costs a directory scan.
  static std::mutex mu;
  static std::set<std::string> prepared;
  std::lock_guard<std::mutex> lock(mu);
  if (prepared.insert(dir).second && homeWritable(dir)) applyPolicy(dir);
  return true;
}

bool homeWritable(const std::string &dir) {
  return access(dir.c_str(), W_OK | X_OK) == 0;
}

std::vector<std::string> permissionProblems(const std::string &dir) {
  std::vector<std::string> found;
  auto check = [&](const std::string &path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0 || (st.st_mode & 077) == 0) return;
    found.push_back(path + " is open to others (mode " + modeText(st.st_mode) + ")");
  };
  check(dir);
  for (const std::string &n : entries(dir))
    if (isEmulationFile(n)) check(dir + "/" + n);
  for (const std::string &n : entries(dir + "/registry")) check(dir + "/registry/" + n);
  return found;
}

std::string permissionDenied(const std::string &path, int want) {
  if (path.empty() || faccessat(AT_FDCWD, path.c_str(), want, AT_EACCESS) == 0) return {};
  if (errno != EACCES && errno != EPERM) return {};
  // A folder above that may not be searched is what stands in the way.
  const auto slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0) {
    const std::string parent = path.substr(0, slash);
    if (faccessat(AT_FDCWD, parent.c_str(), X_OK, AT_EACCESS) != 0 &&
        (errno == EACCES || errno == EPERM))
      return permissionDenied(parent, X_OK);
  }
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return "permission denied: " + path;
  std::string owner;
  if (const passwd *pw = getpwuid(st.st_uid); pw != nullptr && pw->pw_name != nullptr)
    owner = pw->pw_name;
  else
    owner = "uid " + std::to_string(st.st_uid);
  return "permission denied: " + path + " is owned by " + owner + ", mode " + modeText(st.st_mode);
}

std::string tracePermissionDenied(const std::string &path, int want) {
  std::string denied = permissionDenied(path, want);
  if (!denied.empty()) trace::why(trace::Reason::PERMISSION_DENIED, denied);
  return denied;
}

std::vector<std::string> accessProblems(const std::string &dir) {
  const bool writable = homeWritable(dir);
  const int file = writable ? R_OK | W_OK : R_OK;
  const int folder = file | X_OK;
  std::vector<std::string> found;
  std::set<std::string> said;
  auto ask = [&](const std::string &path, bool isDir) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0 && errno != EACCES) return;
    const std::string denied = permissionDenied(path, isDir ? folder : file);
    if (!denied.empty() && said.insert(denied).second) found.push_back(denied);
  };
  auto isDir = [](const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  };
  ask(dir, true);
  for (const std::string &n : entries(dir))
    if (isEmulationFile(n)) ask(dir + "/" + n, isDir(dir + "/" + n));
  for (const std::string &n : entries(dir + "/registry")) ask(dir + "/registry/" + n, false);
  // The token store: its folder, configuration and token folders, each
  // token's files below them.
  const std::string store = dir + "/softhsm";
  if (!isDir(store)) return found;
  ask(store, true);
  ask(store + "/softhsm2.conf", false);
  ask(store + "/tokens", true);
  for (const std::string &t : entries(store + "/tokens")) {
    const std::string token = store + "/tokens/" + t;
    ask(token, isDir(token));
    for (const std::string &f : entries(token)) ask(token + "/" + f, false);
  }
  return found;
}

bool writeFileAtomic(const std::string &path, const std::string &content) {
  const std::string tmp = path + ".tmp." + std::to_string(getpid());
  const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  fchmod(fd, 0600);  // whatever the umask
  size_t done = 0;
  while (done < content.size()) {
    const ssize_t n = write(fd, content.data() + done, content.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      close(fd);
      unlink(tmp.c_str());
      return false;
    }
    done += static_cast<size_t>(n);
  }
  const bool ok = fsync(fd) == 0;
  close(fd);
  if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
    unlink(tmp.c_str());
    return false;
  }
  return true;
}

bool readFile(const std::string &path, std::string &out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream ss;
  ss << in.rdbuf();
  out = ss.str();
  return true;
}

}  // namespace emu
