// Registry and CryptoAPI (advapi32) declarations for platforms without
// <wincrypt.h>: the operations the library calls, with the published
// structure layouts and constant values.
#pragma once

#include "winapi/windows_types.h"

// ---- Registry ---------------------------------------------------------------

struct HKEY__;
typedef struct HKEY__ *HKEY;
typedef HKEY *PHKEY;
typedef DWORD REGSAM;

#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)0x80000000u)
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)0x80000001u)
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)0x80000002u)

#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_READ 0x20019

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4

extern "C" {
LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                          PHKEY phkResult);
LONG WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName,
                          LPDWORD lpReserved, LPSTR lpClass, LPDWORD lpcchClass,
                          PFILETIME lpftLastWriteTime);
LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                             LPBYTE lpData, LPDWORD lpcbData);
LONG WINAPI RegCloseKey(HKEY hKey);
}

// ---- CryptoAPI --------------------------------------------------------------

typedef ULONG_PTR HCRYPTPROV;
typedef ULONG_PTR HCRYPTKEY;
typedef ULONG_PTR HCRYPTHASH;
typedef unsigned int ALG_ID;

#define PROV_RSA_FULL 1
#define PROV_RSA_SIG 2
#define PROV_DSS 3
#define PROV_RSA_SCHANNEL 12
#define PROV_RSA_AES 24

#define CRYPT_VERIFYCONTEXT 0xF0000000u
#define CRYPT_NEWKEYSET 0x00000008u
#define CRYPT_DELETEKEYSET 0x00000010u
#define CRYPT_MACHINE_KEYSET 0x00000020u
#define CRYPT_SILENT 0x00000040u

#define CRYPT_EXPORTABLE 0x00000001u
#define CRYPT_USER_PROTECTED 0x00000002u

#define AT_KEYEXCHANGE 1
#define AT_SIGNATURE 2

#define ALG_CLASS_SIGNATURE (1 << 13)
#define ALG_CLASS_HASH (4 << 13)
#define ALG_CLASS_KEY_EXCHANGE (5 << 13)
#define CALG_MD5 0x00008003
#define CALG_SHA1 0x00008004
#define CALG_SSL3_SHAMD5 0x00008008
#define CALG_SHA_256 0x0000800c
#define CALG_SHA_384 0x0000800d
#define CALG_SHA_512 0x0000800e
#define CALG_RSA_SIGN 0x00002400
#define CALG_RSA_KEYX 0x0000a400

#define SIMPLEBLOB 0x1
#define PUBLICKEYBLOB 0x6
#define PRIVATEKEYBLOB 0x7
#define CUR_BLOB_VERSION 2

#define KP_ALGID 7
#define KP_PERMISSIONS 6
#define KP_KEYLEN 9
#define KP_CERTIFICATE 26

#define CRYPT_ENCRYPT 0x0001
#define CRYPT_DECRYPT 0x0002
#define CRYPT_EXPORT 0x0004
#define CRYPT_READ 0x0008
#define CRYPT_WRITE 0x0010
#define CRYPT_MAC 0x0020
#define CRYPT_EXPORT_KEY 0x0040
#define CRYPT_IMPORT_KEY 0x0080

#define PP_ENUMCONTAINERS 2
#define PP_NAME 4
#define PP_CONTAINER 6
#define PP_KEYEXCHANGE_PIN 32
#define PP_SIGNATURE_PIN 33
#define CRYPT_FIRST 1
#define CRYPT_NEXT 2

#define HP_ALGID 0x0001
#define HP_HASHVAL 0x0002
#define HP_HASHSIZE 0x0004

typedef struct _PUBLICKEYSTRUC {
  BYTE bType;
  BYTE bVersion;
  WORD reserved;
  ALG_ID aiKeyAlg;
} BLOBHEADER, PUBLICKEYSTRUC;

typedef struct _RSAPUBKEY {
  DWORD magic;
  DWORD bitlen;
  DWORD pubexp;
} RSAPUBKEY;

extern "C" {
BOOL WINAPI CryptAcquireContextA(HCRYPTPROV *phProv, LPCSTR szContainer, LPCSTR szProvider,
                                 DWORD dwProvType, DWORD dwFlags);
BOOL WINAPI CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags);
BOOL WINAPI CryptGenRandom(HCRYPTPROV hProv, DWORD dwLen, BYTE *pbBuffer);
BOOL WINAPI CryptGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY *phKey);
BOOL WINAPI CryptImportKey(HCRYPTPROV hProv, CONST BYTE *pbData, DWORD dwDataLen, HCRYPTKEY hPubKey,
                           DWORD dwFlags, HCRYPTKEY *phKey);
BOOL WINAPI CryptExportKey(HCRYPTKEY hKey, HCRYPTKEY hExpKey, DWORD dwBlobType, DWORD dwFlags,
                           BYTE *pbData, DWORD *pdwDataLen);
BOOL WINAPI CryptDestroyKey(HCRYPTKEY hKey);
BOOL WINAPI CryptGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY *phUserKey);
BOOL WINAPI CryptGetKeyParam(HCRYPTKEY hKey, DWORD dwParam, BYTE *pbData, DWORD *pdwDataLen,
                             DWORD dwFlags);
BOOL WINAPI CryptSetKeyParam(HCRYPTKEY hKey, DWORD dwParam, CONST BYTE *pbData, DWORD dwFlags);
BOOL WINAPI CryptGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE *pbData, DWORD *pdwDataLen,
                              DWORD dwFlags);
BOOL WINAPI CryptSetProvParam(HCRYPTPROV hProv, DWORD dwParam, CONST BYTE *pbData, DWORD dwFlags);
BOOL WINAPI CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags,
                            HCRYPTHASH *phHash);
BOOL WINAPI CryptGetHashParam(HCRYPTHASH hHash, DWORD dwParam, BYTE *pbData, DWORD *pdwDataLen,
                              DWORD dwFlags);
BOOL WINAPI CryptSetHashParam(HCRYPTHASH hHash, DWORD dwParam, CONST BYTE *pbData, DWORD dwFlags);
BOOL WINAPI CryptSignHashA(HCRYPTHASH hHash, DWORD dwKeySpec, LPCSTR szDescription, DWORD dwFlags,
                           BYTE *pbSignature, DWORD *pdwSigLen);
BOOL WINAPI CryptDestroyHash(HCRYPTHASH hHash);
}
