// The emulated registry as the emulated CSP reads it.
#pragma once

#include <memory>
#include <string>

#include "registry/reg_tree.h"

namespace emu::registry {

// The registry as the files in <home>/registry describe it now. The folder
// receives the default registration ("00-default.reg") the first time it is
// missing; every "*.reg" file in it is applied in file name order, so later
// files add to or override earlier ones. The result is cached until a file
// changes.
std::shared_ptr<const Tree> current();

// The subtree of HKEY_LOCAL_MACHINE, or null.
const Key *localMachine(const Tree &tree);

// Reads a REG_SZ value as text without its terminator; false when missing
// or not text.
bool readString(const Key &key, const std::string &name, std::string &out);
bool readDword(const Key &key, const std::string &name, uint32_t &out);

}  // namespace emu::registry
