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

// Why this process may not use `path` as `want` asks (access(2) bits of
// R_OK, W_OK, X_OK, for its effective user and groups), naming the owner
// and mode of what stands in the way: the path itself, or the first folder
// above it that may not be searched. "permission denied: /h/keys.db is owned
// by root, mode 0600". Empty when the path may be used so, or is missing, or
// fails for another reason than a permission (a read-only mount).
std::string permissionDenied(const std::string &path, int want);

// permissionDenied(), given to the trace as the current call's reason
// (PERMISSION_DENIED) when it says something; returns what it said.
std::string tracePermissionDenied(const std::string &path, int want);

// What the process may not read or write of the home's own files and
// folders (the registry, the databases and their companions, the token
// store), one permissionDenied() line each. A home the process may not
// write is asked to be readable only.
std::vector<std::string> accessProblems(const std::string &dir);

// What is too open in the home: one line per finding, e.g.
// "/h/keys.db is readable by others (mode 0644)". Empty when all is private.
std::vector<std::string> permissionProblems(const std::string &dir);

}  // namespace emu
