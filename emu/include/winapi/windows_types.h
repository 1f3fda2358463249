// Base Windows types, error codes and helpers used by the library, for
// platforms without <windows.h>. Layouts and values follow the published
// Windows SDK definitions; WCHAR is a 16-bit unit as on Windows.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#define WINAPI
#define CONST const

typedef int BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef uintptr_t ULONG_PTR;
typedef size_t SIZE_T;
typedef char CHAR;
typedef char16_t WCHAR;
typedef void *PVOID;
typedef void *LPVOID;
typedef const void *LPCVOID;
typedef BYTE *PBYTE;
typedef BYTE *LPBYTE;
typedef const BYTE *LPCBYTE;
typedef DWORD *PDWORD;
typedef DWORD *LPDWORD;
typedef CHAR *LPSTR;
typedef const CHAR *LPCSTR;
typedef WCHAR *LPWSTR;
typedef const WCHAR *LPCWSTR;
typedef void *HANDLE;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

typedef struct _FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
} FILETIME, *PFILETIME, *LPFILETIME;

// Win32 error codes (winerror.h).
#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_BUSY 170L
#define ERROR_BAD_PATHNAME 161L
#define ERROR_WRITE_PROTECT 19L
#define ERROR_DISK_FULL 112L
#define ERROR_FILE_CORRUPT 1392L
#define ERROR_DATABASE_FAILURE 4313L

// HRESULT-style CryptoAPI error codes (winerror.h), as DWORD values.
#define NTE_BAD_UID 0x80090001u
#define NTE_BAD_HASH 0x80090002u
#define NTE_BAD_KEY 0x80090003u
#define NTE_BAD_LEN 0x80090004u
#define NTE_BAD_DATA 0x80090005u
#define NTE_BAD_SIGNATURE 0x80090006u
#define NTE_BAD_VER 0x80090007u
#define NTE_BAD_ALGID 0x80090008u
#define NTE_BAD_FLAGS 0x80090009u
#define NTE_BAD_TYPE 0x8009000Au
#define NTE_BAD_KEY_STATE 0x8009000Bu
#define NTE_BAD_HASH_STATE 0x8009000Cu
#define NTE_NO_KEY 0x8009000Du
#define NTE_NO_MEMORY 0x8009000Eu
#define NTE_EXISTS 0x8009000Fu
#define NTE_PERM 0x80090010u
#define NTE_NOT_FOUND 0x80090011u
#define NTE_BAD_PROVIDER 0x80090013u
#define NTE_BAD_PROV_TYPE 0x80090014u
#define NTE_BAD_KEYSET 0x80090016u
#define NTE_PROV_TYPE_NOT_DEF 0x80090017u
#define NTE_PROV_TYPE_ENTRY_BAD 0x80090018u
#define NTE_KEYSET_NOT_DEF 0x80090019u
#define NTE_KEYSET_ENTRY_BAD 0x8009001Au
#define NTE_PROV_TYPE_NO_MATCH 0x8009001Bu
#define NTE_BAD_KEYSET_PARAM 0x8009001Fu
#define NTE_FAIL 0x80090020u
#define NTE_PROV_DLL_NOT_FOUND 0x8009001Eu
#define NTE_SILENT_CONTEXT 0x80090022u
#define NTE_FIXEDPARAMETER 0x80090025u
#define NTE_INVALID_PARAMETER 0x80090027u
#define SCARD_W_WRONG_CHV 0x8010006Bu
#define SCARD_W_CHV_BLOCKED 0x8010006Cu
#define CRYPT_E_FILE_ERROR 0x80092003u
#define CRYPT_E_NOT_FOUND 0x80092004u
#define CRYPT_E_EXISTS 0x80092005u
#define CRYPT_E_ASN1_BADTAG 0x8009310Bu
#define E_ACCESSDENIED 0x80070005u
#define E_UNEXPECTED 0x8000FFFFu
#define E_INVALIDARG 0x80070057u

#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200u
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000u

extern "C" {
DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD dwErrCode);
// Overwrites a buffer in a way the compiler may not optimise away.
PVOID WINAPI SecureZeroMemory(PVOID ptr, SIZE_T cnt);
// The words for an error code (FORMAT_MESSAGE_FROM_SYSTEM into the caller's
// buffer only): its name and, when it is the code of this thread's last
// failed call, the emulation's reason for that failure. Returns the number
// of characters written without the terminator; 0 when nothing fits.
DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                            LPSTR lpBuffer, DWORD nSize, va_list *Arguments);
}
