// The fixed texts of the exceptions the native methods raise, each defined
// once. Callers and stored logs may match them exactly: spaces before "!"
// are part of them.
#pragma once

namespace mscapi::msg {

// Providers and the registry.
constexpr const char kProviderPath[] = "Failed to open provider path in registry!";
constexpr const char kProviderKey[] = "Failed to open provider key in registry!";

// Key containers.
constexpr const char kGenerateFailed[] = "Failed to generate key pair!";
constexpr const char kContainerNotFound[] = "Key container not found!";
constexpr const char kImportFailed[] = "Failed to import key pair!";
constexpr const char kExportFailed[] = "Private key export failed !";
constexpr const char kPasswordRefused[] = "SSLRuntimeException04";
// ContainerKeys.publicKeyBlob (an entry point of the library's own).
constexpr const char kPublicKeyFailed[] = "Failed to export the public key!";

// Signing.
constexpr const char kNoData[] = "No data provided !";
constexpr const char kSignFailed[] = "Failed to sign data!";

// Certificate stores.
constexpr const char kTargetStore[] = "Error opening target store!";
constexpr const char kAddFailed[] = "Error while adding certificate to store!";
constexpr const char kNameMissing[] = "Name missing !";
constexpr const char kFlagsMissing[] = "Flags missing !";
constexpr const char kRequestedStore[] = "Failed to open the requested store!";
constexpr const char kVarnelStore[] = "Failed to open/create the Varnel store!";
constexpr const char kFriendlyNameFailed[] = "Failed to set friendly name property!";
constexpr const char kDescriptionFailed[] = "Failed to set certificate description property !";
constexpr const char kCertNotFound[] = "Cert not found !";

}  // namespace mscapi::msg
