// The user's login name: what a null or empty key container name stands for.
#pragma once

#include <string>

namespace emu {

// The name of the effective user, else $USER, else "default".
std::string loginName();

}  // namespace emu
