#include "registry/reg_tree.h"

namespace emu::registry {

// The provider registration of a fresh emulated machine, as a Windows
// machine has it, plus the emulation's own software token. "Image Path"
// selects the implementation: rsaenh.dll is the software family,
// softtoken.dll the token family, an absolute path ending in ".so" a
// PKCS#11 module (here p11-kit's proxy, which serves every module the
// system registers); any other image cannot be loaded.
// The local machine's "ROOT" also holds the trust anchors that p11-kit's
// trust module serves (the machine's ca-certificates and the anchors an
// administrator added): "PKCS#11 Module" names the module, "Init Args"
// (optional) is its C_Initialize argument text, e.g. "paths=/some/folder"
// (certstore/anchors.h).
#ifndef MSCAPI_P11KIT_PROXY
#define MSCAPI_P11KIT_PROXY "/usr/lib/x86_64-linux-gnu/p11-kit-proxy.so"
#endif
#ifndef MSCAPI_P11KIT_TRUST
#define MSCAPI_P11KIT_TRUST "/usr/lib/x86_64-linux-gnu/pkcs11/p11-kit-trust.so"
#endif
const char kDefaultRegistration[] =
    R"REG(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Cryptography\Defaults\Provider Types\Type 001]
"Name"="Microsoft Strong Cryptographic Provider"
"TypeName"="RSA Full (Signature and Key Exchange)"

[HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Cryptography\Defaults\Provider Types\Type 003]
"Name"="Microsoft Base DSS Cryptographic Provider"
"TypeName"="DSS Signature"

[HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Cryptography\Defaults\Provider Types\Type 012]
"Name"="Microsoft RSA SChannel Cryptographic Provider"
"TypeName"="RSA SChannel"

[HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Cryptography\Defaults\Provider Types\Type 024]
"Name"="Microsoft Enhanced RSA and AES Cryptographic Provider"
"TypeName"="RSA Full and AES"

[HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Cryptography\Defaults\Provider\Microsoft Base Cryptographic Provider v1.0]
"Image Path"="%SystemRoot%\\System32\\rsaenh.dll"
"Type"=dword:00000001

[HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Cryptography\Defaults\Provider\Microsoft Base DSS Cryptographic Provider]
"Image Path"="%SystemRoot%\\System32\\dssenh.dll"
"Type"=dword:00000003

[HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Cryptography\Defaults\Provider\Microsoft Enhanced Cryptographic Provider v1.0]
"Image Path"="%SystemRoot%\\System32\\rsaenh.dll"
"Type"=dword:00000001

[HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Cryptography\Defaults\Provider\Microsoft Enhanced RSA and AES Cryptographic Provider]
"Image Path"="%SystemRoot%\\System32\\rsaenh.dll"
"Type"=dword:00000018

[HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Cryptography\Defaults\Provider\Microsoft RSA SChannel Cryptographic Provider]
"Image Path"="%SystemRoot%\\System32\\schannel.dll"
"Type"=dword:0000000c

[HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Cryptography\Defaults\Provider\Microsoft Strong Cryptographic Provider]
"Image Path"="%SystemRoot%\\System32\\rsaenh.dll"
"Type"=dword:00000001

[HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Cryptography\Defaults\Provider\Soft Token RSA Provider]
"Image Path"="softtoken.dll"
"Type"=dword:00000001

[HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Cryptography\Defaults\Provider\PKCS#11 Token RSA Provider]
"Image Path"=")REG" MSCAPI_P11KIT_PROXY R"REG("
"Type"=dword:00000001

[HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\SystemCertificates\ROOT\Trust Anchors]
"PKCS#11 Module"=")REG" MSCAPI_P11KIT_TRUST R"REG("
)REG";

}  // namespace emu::registry
