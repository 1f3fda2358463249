#include "common/trace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "winapi/advapi32.h"
#include "winapi/crypt32.h"

namespace emu::trace {

namespace {

// -1 not yet read, 0 off, otherwise the descriptor to write to.
std::atomic<int> sink{-1};
std::once_flag opened;

void openSink() {
  const char *v = std::getenv("MSCAPI_TRACE");
  int fd = 0;
  if (v != nullptr && *v != '\0' && std::strcmp(v, "0") != 0) {
    if (std::strcmp(v, "1") == 0) {
      fd = STDERR_FILENO;
    } else {
      fd = open(v, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
      if (fd < 0) fd = 0;  // a trace that cannot be written is no trace
    }
  }
  sink.store(fd);
}

int sinkFd() {
  int fd = sink.load(std::memory_order_relaxed);
  if (fd < 0) {
    std::call_once(opened, openSink);
    fd = sink.load();
  }
  return fd;
}

thread_local std::string reason;
// The last failed entry point of this thread: its error and reason.
thread_local DWORD failedError = ERROR_SUCCESS;
thread_local std::string failedReason;
// The current reason's code and its detail fields (", tries=3").
thread_local Reason reasonCode = Reason::None;
thread_local std::string details;

const char *const kReasonNames[] = {"",
#define MSCAPI_REASON_NAME(code, meaning) #code,
                                    MSCAPI_REASONS(MSCAPI_REASON_NAME)
#undef MSCAPI_REASON_NAME
};
const char *const kReasonMeanings[] = {"",
#define MSCAPI_REASON_MEANING(code, meaning) meaning,
                                       MSCAPI_REASONS(MSCAPI_REASON_MEANING)
#undef MSCAPI_REASON_MEANING
};

// Appends name="value" with quotes, backslashes and control characters
// escaped as \xNN.
void appendText(std::string &line, const char *name, const char *value) {
  line += name;
  line += '=';
  if (value == nullptr) {
    line += "null";
    return;
  }
  line += '"';
  for (const char *p = value; *p != '\0'; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c < 0x20 || c == '"' || c == '\\') {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\x%02x", c);
      line += esc;
    } else {
      line += static_cast<char>(c);
    }
  }
  line += '"';
}

void writeLine(const std::string &line) {
  const int fd = sinkFd();
  if (fd <= 0) return;
  // One write per line, so that lines of threads and processes sharing a
  // trace file never interleave.
  size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = write(fd, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

struct ErrorName {
  DWORD code;
  const char *name;
};

const ErrorName kErrorNames[] = {
    {ERROR_SUCCESS, "ERROR_SUCCESS"},
    {ERROR_FILE_NOT_FOUND, "ERROR_FILE_NOT_FOUND"},
    {ERROR_PATH_NOT_FOUND, "ERROR_PATH_NOT_FOUND"},
    {ERROR_ACCESS_DENIED, "ERROR_ACCESS_DENIED"},
    {ERROR_INVALID_HANDLE, "ERROR_INVALID_HANDLE"},
    {ERROR_NOT_ENOUGH_MEMORY, "ERROR_NOT_ENOUGH_MEMORY"},
    {ERROR_WRITE_PROTECT, "ERROR_WRITE_PROTECT"},
    {ERROR_DISK_FULL, "ERROR_DISK_FULL"},
    {ERROR_INVALID_PARAMETER, "ERROR_INVALID_PARAMETER"},
    {ERROR_BUSY, "ERROR_BUSY"},
    {ERROR_MORE_DATA, "ERROR_MORE_DATA"},
    {ERROR_NO_MORE_ITEMS, "ERROR_NO_MORE_ITEMS"},
    {ERROR_FILE_CORRUPT, "ERROR_FILE_CORRUPT"},
    {ERROR_DATABASE_FAILURE, "ERROR_DATABASE_FAILURE"},
    {E_UNEXPECTED, "E_UNEXPECTED"},
    {E_ACCESSDENIED, "E_ACCESSDENIED"},
    {NTE_BAD_UID, "NTE_BAD_UID"},
    {NTE_BAD_HASH, "NTE_BAD_HASH"},
    {NTE_BAD_KEY, "NTE_BAD_KEY"},
    {NTE_BAD_LEN, "NTE_BAD_LEN"},
    {NTE_BAD_DATA, "NTE_BAD_DATA"},
    {NTE_BAD_SIGNATURE, "NTE_BAD_SIGNATURE"},
    {NTE_BAD_VER, "NTE_BAD_VER"},
    {NTE_BAD_ALGID, "NTE_BAD_ALGID"},
    {NTE_BAD_FLAGS, "NTE_BAD_FLAGS"},
    {NTE_BAD_TYPE, "NTE_BAD_TYPE"},
    {NTE_BAD_KEY_STATE, "NTE_BAD_KEY_STATE"},
    {NTE_BAD_HASH_STATE, "NTE_BAD_HASH_STATE"},
    {NTE_NO_KEY, "NTE_NO_KEY"},
    {NTE_NO_MEMORY, "NTE_NO_MEMORY"},
    {NTE_EXISTS, "NTE_EXISTS"},
    {NTE_PERM, "NTE_PERM"},
    {NTE_NOT_FOUND, "NTE_NOT_FOUND"},
    {NTE_BAD_PROVIDER, "NTE_BAD_PROVIDER"},
    {NTE_BAD_PROV_TYPE, "NTE_BAD_PROV_TYPE"},
    {NTE_BAD_KEYSET, "NTE_BAD_KEYSET"},
    {NTE_PROV_TYPE_NOT_DEF, "NTE_PROV_TYPE_NOT_DEF"},
    {NTE_PROV_TYPE_ENTRY_BAD, "NTE_PROV_TYPE_ENTRY_BAD"},
    {NTE_KEYSET_NOT_DEF, "NTE_KEYSET_NOT_DEF"},
    {NTE_KEYSET_ENTRY_BAD, "NTE_KEYSET_ENTRY_BAD"},
    {NTE_PROV_TYPE_NO_MATCH, "NTE_PROV_TYPE_NO_MATCH"},
    {NTE_PROV_DLL_NOT_FOUND, "NTE_PROV_DLL_NOT_FOUND"},
    {NTE_BAD_KEYSET_PARAM, "NTE_BAD_KEYSET_PARAM"},
    {NTE_FAIL, "NTE_FAIL"},
    {NTE_SILENT_CONTEXT, "NTE_SILENT_CONTEXT"},
    {SCARD_W_WRONG_CHV, "SCARD_W_WRONG_CHV"},
    {SCARD_W_CHV_BLOCKED, "SCARD_W_CHV_BLOCKED"},
    {CRYPT_E_NOT_FOUND, "CRYPT_E_NOT_FOUND"},
    {CRYPT_E_EXISTS, "CRYPT_E_EXISTS"},
    {CRYPT_E_ASN1_BADTAG, "CRYPT_E_ASN1_BADTAG"},
    {CRYPT_E_FILE_ERROR, "CRYPT_E_FILE_ERROR"},
};

}  // namespace

bool enabled() {
  return sinkFd() > 0;
}

// Reasons are kept whether or not the trace is on: a failure's reason is
// also what FormatMessageA tells the caller.
void why(const char *r) {
  why(Reason::None, r);
}

void why(const std::string &r) {
  why(Reason::None, r);
}

void why(Reason code, const char *r) {
  reason = r != nullptr ? r : "";
  reasonCode = code;
  details.clear();
}

void why(Reason code, const std::string &r) {
  reason = r;
  reasonCode = code;
  details.clear();
}

void detail(const char *name, int64_t value) {
  if (!enabled()) return;
  details += ", ";
  details += name;
  details += '=';
  details += std::to_string(value);
}

void detail(const char *name, const std::string &value) {
  if (!enabled()) return;
  details += ", ";
  appendText(details, name, value.c_str());
}

const char *reasonName(Reason r) {
  const size_t i = static_cast<size_t>(r);
  return i < sizeof kReasonNames / sizeof kReasonNames[0] ? kReasonNames[i] : "";
}

const char *reasonMeaning(Reason r) {
  const size_t i = static_cast<size_t>(r);
  return i < sizeof kReasonMeanings / sizeof kReasonMeanings[0] ? kReasonMeanings[i] : "";
}

std::string lastFailure(DWORD code) {
  return code == failedError ? failedReason : std::string();
}

const char *errorName(DWORD code) {
  for (const ErrorName &e : kErrorNames)
    if (e.code == code) return e.name;
  return "";
}

Call::Call(const char *name) : on_(enabled()) {
  reason.clear();
  reasonCode = Reason::None;
  details.clear();
  if (!on_) return;
  line_ = name;
  line_ += '(';
}

Call::~Call() = default;

Call &Call::text(const char *name, const char *value) {
  if (!on_) return *this;
  if (line_.back() != '(') line_ += ", ";
  appendText(line_, name, value);
  return *this;
}

Call &Call::text(const char *name, const std::string &value) {
  return text(name, value.c_str());
}

Call &Call::num(const char *name, int64_t value) {
  if (!on_) return *this;
  if (line_.back() != '(') line_ += ", ";
  line_ += name;
  line_ += '=';
  line_ += std::to_string(value);
  return *this;
}

Call &Call::hex(const char *name, uint64_t value) {
  if (!on_) return *this;
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(value));
  if (line_.back() != '(') line_ += ", ";
  line_ += name;
  line_ += '=';
  line_ += buf;
  return *this;
}

void Call::noteFailure() {
  failedError = GetLastError();
  // "PIN_WRONG: PIN refused, 4 tries left": the stable code, then the words.
  failedReason =
      reasonCode != Reason::None ? std::string(reasonName(reasonCode)) + ": " + reason : reason;
}

BOOL Call::done(BOOL ok) {
  if (!ok) noteFailure();
  if (on_) finish(ok != FALSE, ok ? "TRUE" : "FALSE", ok ? ERROR_SUCCESS : GetLastError());
  return ok;
}

LONG Call::doneStatus(LONG status) {
  if (on_)
    finish(status == ERROR_SUCCESS, status == ERROR_SUCCESS ? "0" : "error",
           static_cast<DWORD>(status));
  return status;
}

void Call::finish(bool ok, const char *result, DWORD error) {
  char code[64];
  const char *name = errorName(error);
  std::snprintf(code, sizeof code, "0x%08lx%s%s%s", static_cast<unsigned long>(error),
                *name ? " (" : "", name, *name ? ")" : "");
  if (reasonCode != Reason::None && !reason.empty()) {
    if (line_.back() != '(') line_ += ", ";
    line_ += "cause=";
    line_ += reasonName(reasonCode);
    line_ += details;
  }
  line_ += ") = ";
  line_ += result;
  line_ += ", last error ";
  line_ += code;
  if (!reason.empty()) {
    line_ += ok ? ": note: " : ": ";
    line_ += reason;
  }
  line_ += '\n';
  writeLine(line_);
  reason.clear();
  reasonCode = Reason::None;
  details.clear();
}

}  // namespace emu::trace
