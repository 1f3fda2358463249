// The emulated machine's home directory: every piece of state the emulated
// registry, CSP and certificate stores keep lives below it.
#pragma once

#include <string>

namespace emu {

// $MSCAPI_HOME when set and non-empty, else $XDG_DATA_HOME/mscapi, else
// ~/.local/share/mscapi. Resolved on every call, so a process (a test) may
// point it elsewhere between calls.
std::string homeDir();

// Creates the home (mode 0700) and its parents when missing. Returns false
// when it cannot be created.
bool ensureHome(const std::string &dir);

// Creates a directory below the home (mode 0700) when missing.
bool ensureDir(const std::string &path);

// Writes a file atomically (temporary file, fsync, rename) with mode 0600.
bool writeFileAtomic(const std::string &path, const std::string &content);

bool readFile(const std::string &path, std::string &out);

}  // namespace emu
