// The emulated machine's home directory: every piece of state the emulated
// registry, CSP and certificate stores keep lives below it.
//
// Everything the emulation creates is private: the home and its folders
// 0700, its files 0600, whatever the umask. Its own files found with wider
// modes are tightened when the home is first used by a process; the home
// itself is tightened only when the user owns it and it holds nothing but
// the emulation's files (so MSCAPI_HOME=/tmp never changes /tmp). What stays
// too open is reported through the trace and by `mscapi check`.
#pragma once

#include <string>
#include <vector>

namespace emu {

// $MSCAPI_HOME when set and non-empty, else $XDG_DATA_HOME/mscapi, else
// ~/.local/share/mscapi. Resolved on every call, so a process (a test) may
// point it elsewhere between calls.
std::string homeDir();

// Where homeDir() takes the home from now: "MSCAPI_HOME", "XDG_DATA_HOME"
// or "default".
const char *homeOrigin();

// Creates the home (mode 0700) and its parents when missing, and applies the
// permission policy above the first time a process uses it. Returns false
// (with the reason in the trace) when it is not a usable directory.
bool ensureHome(const std::string &dir);

// Whether the process can create and change files in the home: false for a
// read-only home (a read-only mount, or a directory the user may not write).
bool homeWritable(const std::string &dir);

// Creates a directory (mode 0700, parents too) when missing.
bool ensureDir(const std::string &path);

// Writes a file atomically (temporary file, fsync, rename) with mode 0600.
bool writeFileAtomic(const std::string &path, const std::string &content);

bool readFile(const std::string &path, std::string &out);

// Whether a file name (relative to the home) is one the emulation keeps:
// its databases with their -wal/-shm files, the registry folder and files,
// the machine-scope setting.
bool isEmulationFile(const std::string &name);

// What is too open in the home: one line per finding, e.g.
// "/h/keys.db is readable by others (mode 0644)". Empty when all is private.
std::vector<std::string> permissionProblems(const std::string &dir);

}  // namespace emu
