package com.qel.varnel.tool;

import com.fasterxml.jackson.core.JsonEncoding;
import com.fasterxml.jackson.core.JsonFactory;
import com.fasterxml.jackson.core.JsonGenerator;
import com.qel.varnel.KeyRole;
import java.io.ByteArrayOutputStream;
import java.security.interfaces.RSAPrivateCrtKey;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Map;

/**
 * Keys put on a PKCS#11 token by import and import-pfx. The library's
 * importKeyPair always makes an exportable key; on a token the tool wants
 * the key sensitive and not extractable unless --exportable is given, and
 * the certificate written beside it. Both are done by `mscapi-admin token
 * import` through the emulated CSP (CryptImportKey without or with
 * CRYPT_EXPORTABLE, then CryptSetKeyParam KP_CERTIFICATE); the key, the PIN
 * and the certificate travel on its standard input, never as arguments.
 */
final class TokenImport {
    private static final JsonFactory JSON = new JsonFactory();

    private TokenImport() {
    }

    /** A buffer whose bytes can be wiped. */
    private static final class WipedBuffer extends ByteArrayOutputStream {
        WipedBuffer() {
            super(64 * 1024);  // a key and a certificate fit without growing (no copies left behind)
        }

        void wipe() {
            Arrays.fill(buf, (byte) 0);
        }
    }

    /** Whether the provider (by name, case-insensitively) is served by a PKCS#11 module. */
    static boolean isPkcs11(String provider) throws Exception {
        for (Map<String, Object> p : Admin.objects(Admin.ask("providers", "--json"), "providers")) {
            if (provider.equalsIgnoreCase(Admin.string(p, "name"))) {
                return "pkcs11".equals(Admin.string(p, "family"));
            }
        }
        return false;
    }

    /** What `token import` made: the full container name, and whether the key is exportable. */
    record Stored(String container, boolean exportable, boolean certificate) {
    }

    /**
     * Puts the key (and the certificate `der`, when not null) into the new container of a PKCS#11
     * provider; the key is exportable only with `exportable`.
     */
    static Stored store(String provider, String container, int keySpec, RSAPrivateCrtKey key, byte[] der,
            byte[] pin, boolean exportable) throws Exception {
        WipedBuffer request = new WipedBuffer();
        byte[] pkcs8 = key.getEncoded();
        try {
            try (JsonGenerator g = JSON.createGenerator(request, JsonEncoding.UTF8)) {
                g.writeStartObject();
                if (pin != null) {
                    g.writeFieldName("pin");
                    g.writeUTF8String(pin, 0, pin.length);
                }
                g.writeFieldName("key");
                g.writeBinary(pkcs8);
                if (der != null) {
                    g.writeFieldName("certificate");
                    g.writeBinary(der);
                }
                g.writeEndObject();
            }
            List<String> args = new ArrayList<>(List.of("token", "import", "--provider", provider, "--container",
                    container, "--spec", KeyRole.describe(keySpec), "--json"));
            if (exportable) {
                args.add("--exportable");
            }
            byte[] input = request.toByteArray();
            Map<String, Object> done;
            try {
                done = Admin.ask(input, args.toArray(new String[0]));
            } finally {
                Arrays.fill(input, (byte) 0);
            }
            return new Stored(Admin.string(done, "container"), Boolean.TRUE.equals(done.get("exportable")),
                    Boolean.TRUE.equals(done.get("certificate")));
        } finally {
            Arrays.fill(pkcs8, (byte) 0);
            request.wipe();
        }
    }
}
