// Certificate store (crypt32) declarations for platforms without
// <wincrypt.h>: the operations the library calls, with the published
// structure layouts and constant values.
#pragma once

#include "winapi/advapi32.h"

typedef void *HCERTSTORE;
typedef ULONG_PTR HCRYPTPROV_LEGACY;

typedef struct _CRYPTOAPI_BLOB {
  DWORD cbData;
  BYTE *pbData;
} CRYPT_INTEGER_BLOB, *PCRYPT_INTEGER_BLOB, CRYPT_DATA_BLOB, *PCRYPT_DATA_BLOB, CERT_NAME_BLOB,
    *PCERT_NAME_BLOB, CRYPT_OBJID_BLOB, *PCRYPT_OBJID_BLOB, CRYPT_HASH_BLOB, *PCRYPT_HASH_BLOB;

typedef struct _CRYPT_ALGORITHM_IDENTIFIER {
  LPSTR pszObjId;
  CRYPT_OBJID_BLOB Parameters;
} CRYPT_ALGORITHM_IDENTIFIER;

typedef struct _CRYPT_BIT_BLOB {
  DWORD cbData;
  BYTE *pbData;
  DWORD cUnusedBits;
} CRYPT_BIT_BLOB;

typedef struct _CERT_PUBLIC_KEY_INFO {
  CRYPT_ALGORITHM_IDENTIFIER Algorithm;
  CRYPT_BIT_BLOB PublicKey;
} CERT_PUBLIC_KEY_INFO;

typedef struct _CERT_EXTENSION {
  LPSTR pszObjId;
  BOOL fCritical;
  CRYPT_OBJID_BLOB Value;
} CERT_EXTENSION, *PCERT_EXTENSION;

typedef struct _CERT_INFO {
  DWORD dwVersion;
  CRYPT_INTEGER_BLOB SerialNumber;
  CRYPT_ALGORITHM_IDENTIFIER SignatureAlgorithm;
  CERT_NAME_BLOB Issuer;
  FILETIME NotBefore;
  FILETIME NotAfter;
  CERT_NAME_BLOB Subject;
  CERT_PUBLIC_KEY_INFO SubjectPublicKeyInfo;
  CRYPT_BIT_BLOB IssuerUniqueId;
  CRYPT_BIT_BLOB SubjectUniqueId;
  DWORD cExtension;
  PCERT_EXTENSION rgExtension;
} CERT_INFO, *PCERT_INFO;

typedef struct _CERT_CONTEXT {
  DWORD dwCertEncodingType;
  BYTE *pbCertEncoded;
  DWORD cbCertEncoded;
  PCERT_INFO pCertInfo;
  HCERTSTORE hCertStore;
} CERT_CONTEXT, *PCERT_CONTEXT;
typedef const CERT_CONTEXT *PCCERT_CONTEXT;

typedef struct _CRYPT_KEY_PROV_PARAM {
  DWORD dwParam;
  BYTE *pbData;
  DWORD cbData;
  DWORD dwFlags;
} CRYPT_KEY_PROV_PARAM, *PCRYPT_KEY_PROV_PARAM;

typedef struct _CRYPT_KEY_PROV_INFO {
  LPWSTR pwszContainerName;
  LPWSTR pwszProvName;
  DWORD dwProvType;
  DWORD dwFlags;
  DWORD cProvParam;
  PCRYPT_KEY_PROV_PARAM rgProvParam;
  DWORD dwKeySpec;
} CRYPT_KEY_PROV_INFO, *PCRYPT_KEY_PROV_INFO;

#define X509_ASN_ENCODING 0x00000001
#define PKCS_7_ASN_ENCODING 0x00010000

#define CERT_STORE_PROV_SYSTEM_A ((LPCSTR)9)
#define CERT_STORE_PROV_SYSTEM_W ((LPCSTR)10)
#define CERT_STORE_PROV_SYSTEM CERT_STORE_PROV_SYSTEM_W
#define CERT_STORE_PROV_SYSTEM_REGISTRY_W ((LPCSTR)13)

#define CERT_SYSTEM_STORE_LOCATION_SHIFT 16
#define CERT_SYSTEM_STORE_CURRENT_USER_ID 1
#define CERT_SYSTEM_STORE_LOCAL_MACHINE_ID 2
#define CERT_SYSTEM_STORE_CURRENT_USER 0x00010000u
#define CERT_SYSTEM_STORE_LOCAL_MACHINE 0x00020000u
#define CERT_SYSTEM_STORE_LOCATION_MASK 0x00FF0000u
#define CERT_STORE_READONLY_FLAG 0x00008000u
#define CERT_STORE_OPEN_EXISTING_FLAG 0x00004000u
#define CERT_STORE_CREATE_NEW_FLAG 0x00002000u

#define CERT_CLOSE_STORE_FORCE_FLAG 0x00000001u
#define CERT_CLOSE_STORE_CHECK_FLAG 0x00000002u

#define CERT_STORE_ADD_NEW 1
#define CERT_STORE_ADD_USE_EXISTING 2
#define CERT_STORE_ADD_REPLACE_EXISTING 3
#define CERT_STORE_ADD_ALWAYS 4

#define CERT_KEY_PROV_HANDLE_PROP_ID 1
#define CERT_KEY_PROV_INFO_PROP_ID 2
#define CERT_SHA1_HASH_PROP_ID 3
#define CERT_MD5_HASH_PROP_ID 4
#define CERT_HASH_PROP_ID CERT_SHA1_HASH_PROP_ID
#define CERT_FRIENDLY_NAME_PROP_ID 11
#define CERT_DESCRIPTION_PROP_ID 13
#define CERT_STORE_NO_CRYPT_RELEASE_FLAG 0x00000001u

#define CERT_COMPARE_SHIFT 16
#define CERT_COMPARE_SHA1_HASH 1
#define CERT_COMPARE_EXISTING 13
#define CERT_FIND_SHA1_HASH (CERT_COMPARE_SHA1_HASH << CERT_COMPARE_SHIFT)
#define CERT_FIND_EXISTING (CERT_COMPARE_EXISTING << CERT_COMPARE_SHIFT)

extern "C" {
HCERTSTORE WINAPI CertOpenSystemStoreA(HCRYPTPROV_LEGACY hProv, LPCSTR szSubsystemProtocol);
HCERTSTORE WINAPI CertOpenStore(LPCSTR lpszStoreProvider, DWORD dwEncodingType,
                                HCRYPTPROV_LEGACY hCryptProv, DWORD dwFlags, const void *pvPara);
BOOL WINAPI CertCloseStore(HCERTSTORE hCertStore, DWORD dwFlags);
PCCERT_CONTEXT WINAPI CertCreateCertificateContext(DWORD dwCertEncodingType,
                                                   const BYTE *pbCertEncoded, DWORD cbCertEncoded);
BOOL WINAPI CertFreeCertificateContext(PCCERT_CONTEXT pCertContext);
BOOL WINAPI CertAddCertificateContextToStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pCertContext,
                                             DWORD dwAddDisposition,
                                             PCCERT_CONTEXT *ppStoreContext);
PCCERT_CONTEXT WINAPI CertGetSubjectCertificateFromStore(HCERTSTORE hCertStore,
                                                         DWORD dwCertEncodingType,
                                                         PCERT_INFO pCertId);
PCCERT_CONTEXT WINAPI CertFindCertificateInStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType,
                                                 DWORD dwFindFlags, DWORD dwFindType,
                                                 const void *pvFindPara,
                                                 PCCERT_CONTEXT pPrevCertContext);
BOOL WINAPI CertDeleteCertificateFromStore(PCCERT_CONTEXT pCertContext);
PCCERT_CONTEXT WINAPI CertEnumCertificatesInStore(HCERTSTORE hCertStore,
                                                  PCCERT_CONTEXT pPrevCertContext);
BOOL WINAPI CertGetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId,
                                              void *pvData, DWORD *pcbData);
BOOL WINAPI CertSetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId,
                                              DWORD dwFlags, const void *pvData);
}
