package com.qel.varnel.tool;

import com.qel.varnel.Records;
import com.qel.varnel.StoreKind;
import java.util.List;

/** The certificate stores and providers by the names the tool's options give. */
final class Stores {
    private Stores() {
    }

    static final String STORE_TEXT = "STORE is MY, ROOT, CA, AddressBook or Varnel, in any case.";

    /** A store's certificates, in the library's order. */
    static List<Records.Cert> list(StoreKind kind) throws Exception {
        return Native.certs(kind);
    }

    /** The store a command that changes it names (addcert, delcert, name, describe, --add). */
    static StoreKind storeKind(String name) throws ToolError {
        StoreKind kind = StoreKind.named(name);
        if (kind == null) {
            throw ToolError.usage("unknown store: " + name + " (MY, ROOT, CA, AddressBook or Varnel)");
        }
        return kind;
    }

    /** The store a listing names (certs, show, chain). */
    static StoreKind storeToShow(String name) throws ToolError {
        StoreKind kind = StoreKind.named(name);
        if (kind != null) {
            return kind;
        }
        throw ToolError.usage("unknown store \"" + name + "\": MY, ROOT, CA, AddressBook or Varnel");
    }

    /** The first entry of ProviderList: the machine's default PROV_RSA_FULL provider. */
    static String defaultProvider() throws Exception {
        String provider = Native.defaultProvider();
        if (provider == null) {
            throw new ToolError("no PROV_RSA_FULL provider is installed");
        }
        return provider;
    }
}
