#include "common/login.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace emu {

std::string loginName() {
  passwd pw{};
  passwd *found = nullptr;
  char buf[4096];
  if (getpwuid_r(geteuid(), &pw, buf, sizeof buf, &found) == 0 && found != nullptr &&
      found->pw_name != nullptr && *found->pw_name != '\0')
    return found->pw_name;
  const char *user = std::getenv("USER");
  return user != nullptr && *user != '\0' ? user : "default";
}

}  // namespace emu
