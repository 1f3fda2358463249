#include "common/home.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

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

}  // namespace

std::string homeDir() {
  std::string dir = envOrEmpty("MSCAPI_HOME");
  if (!dir.empty()) return dir;
  std::string xdg = envOrEmpty("XDG_DATA_HOME");
  if (!xdg.empty()) return xdg + "/mscapi";
  return userHome() + "/.local/share/mscapi";
}

bool ensureDir(const std::string &path) {
  if (path.empty()) return false;
  struct stat st {};
  if (stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  // Create parents first (only the last component gets the private mode
  // requirement, but 0700 everywhere does no harm for our own folders).
  const auto slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0) {
    const std::string parent = path.substr(0, slash);
    if (stat(parent.c_str(), &st) != 0 && !ensureDir(parent)) return false;
  }
  if (mkdir(path.c_str(), 0700) == 0) return true;
  return errno == EEXIST && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool ensureHome(const std::string &dir) {
  return ensureDir(dir);
}

bool writeFileAtomic(const std::string &path, const std::string &content) {
  const std::string tmp = path + ".tmp." + std::to_string(getpid());
  const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
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
