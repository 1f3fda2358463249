// A failure of the emulation's storage, and how the platform reports it.
#pragma once

#include <string>
#include <utility>

#include "common/reasons.h"
#include "winapi/windows_types.h"

namespace emu::storage {

// Raised for any storage failure: an SQLite result code (or SQLITE_CANTOPEN
// for a home that cannot be used) and the file it concerns.
struct StorageError {
  StorageError(int c, std::string f, std::string d = std::string())
      : code(c), file(std::move(f)), denied(std::move(d)) {}
  int code;
  std::string file;
  // When the failure is a permission the process lacks on the file, a
  // companion of it or its folder: what permissionDenied() said of it.
  std::string denied;
};

// The Windows error code that says what went wrong: ERROR_FILE_CORRUPT for a
// damaged or foreign file, ERROR_ACCESS_DENIED for one that cannot be
// written, ERROR_DISK_FULL, ERROR_PATH_NOT_FOUND for a home that cannot be
// used, ERROR_BUSY, NTE_NO_MEMORY; ERROR_DATABASE_FAILURE otherwise.
DWORD windowsError(const StorageError &e);

// The reason in words, naming the file: "database damaged: /h/keys.db (file
// is not a database)"; for a permission the process lacks, what stands in
// the way: "permission denied: /h/keys.db is owned by root, mode 0600".
std::string describe(const StorageError &e);

// The reason's stable code in the trace (STORAGE_DAMAGED, ...,
// PERMISSION_DENIED).
trace::Reason cause(const StorageError &e);

}  // namespace emu::storage
