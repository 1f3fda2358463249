package com.qel.varnel.tool;

import com.qel.varnel.KeyRole;
import com.qel.varnel.MscapiLibrary;
import com.qel.varnel.Records;
import com.qel.varnel.StoreKind;
import java.math.BigInteger;
import java.security.KeyFactory;
import java.security.cert.X509Certificate;
import java.security.interfaces.RSAPublicKey;
import java.security.spec.RSAPublicKeySpec;
import java.util.List;
import java.util.Locale;

/**
 * A stored key named on the command line: by --container (with --provider
 * and --spec), or by --thumbprint of a certificate in "MY" bound to it.
 * provider is null for the default provider. certificate is the bound
 * certificate when the key was named by thumbprint.
 */
record KeyRef(String provider, String container, int spec, X509Certificate certificate) {
    /** The key a certificate of "MY" is bound to, the certificate found by its SHA-1 thumbprint. */
    static KeyRef byThumbprint(String thumbprint) throws Exception {
        String want = thumbprint.replace(":", "").replace(" ", "").toUpperCase(Locale.ROOT);
        if (!want.matches("[0-9A-F]{40}")) {
            throw ToolError.usage("--thumbprint is a SHA-1 thumbprint, 40 hex digits: " + thumbprint);
        }
        for (Records.Cert c : Native.certs(StoreKind.MY)) {
            if (Text.sha1(c.encoded()).equals(want)) {
                return new KeyRef(c.provider(), c.container(), c.keySpec(), Formats.x509(c.encoded()));
            }
        }
        throw new ToolError("no certificate with thumbprint " + want + " in MY (see mscapi certs MY)");
    }

    /**
     * For a key named by its certificate: fails, naming the container, when
     * the container holds another key than the certificate's (made again
     * under the same name while the certificate stayed bound), as the
     * provider does. A key that cannot be read fails only {@code strict}ly
     * (after a signature); before one, the signature fails with its own cause.
     */
    void confirmCertificateKey(boolean strict) throws Exception {
        if (certificate == null) {
            return;
        }
        if (!(certificate.getPublicKey() instanceof RSAPublicKey pub)) {
            throw new ToolError("the certificate's key is not an RSA key");
        }
        boolean holds;
        try {
            holds = Native.containerHolds(provider, container, spec, pub.getModulus(), pub.getPublicExponent());
        } catch (Native.LibraryException e) {
            if (strict) {
                throw e;
            }
            return;
        }
        if (!holds) {
            throw new ToolError(MscapiLibrary.otherKey(container));
        }
    }

    String providerOrDefault() throws Exception {
        return provider != null ? provider : Stores.defaultProvider();
    }

    /** The key's public half, from queryKeyPairs. */
    RSAPublicKey publicKey() throws Exception {
        String family = providerOrDefault();
        for (Records.KeyPair k : Native.keyPairs()) {
            if (k.keySpec() == spec && sameName(k.container(), container) && sameFamily(k.provider(), family)) {
                return rsa(k.modulus(), k.publicExponent());
            }
        }
        throw new ToolError("no " + KeyRole.describe(spec) + " key in container " + Text.quoted(container)
                + " of provider \"" + family + "\" (see mscapi keys)");
    }

    static RSAPublicKey rsa(BigInteger modulus, long exponent) throws Exception {
        return (RSAPublicKey) KeyFactory.getInstance("RSA")
                .generatePublic(new RSAPublicKeySpec(modulus, BigInteger.valueOf(exponent)));
    }

    /** Container names compare without case, as the platform compares them. */
    static boolean sameName(String listed, String given) {
        return listed.equalsIgnoreCase(given);
    }

    /**
     * Whether two providers share one container namespace: the same provider,
     * or two of the software "Microsoft ..." providers.
     */
    static boolean sameFamily(String a, String b) {
        if (a.equalsIgnoreCase(b)) {
            return true;
        }
        return a.startsWith("Microsoft ") && b.startsWith("Microsoft ");
    }

    /** Every key pair whose public key is this one. */
    static List<Records.KeyPair> holdersOf(RSAPublicKey key) throws Exception {
        return Native.keyPairs().stream()
                .filter(k -> k.modulus().equals(key.getModulus())
                        && BigInteger.valueOf(k.publicExponent()).equals(key.getPublicExponent()))
                .toList();
    }

    /** The key a certificate in "MY" is bound to is this one (same family, container and spec). */
    boolean binds(Records.Cert c, String family) {
        return !c.container().isEmpty() && sameName(c.container(), container) && sameFamily(c.provider(), family);
    }

    String describe() {
        return "container " + Text.quoted(container) + (provider != null ? " of \"" + provider + "\"" : "") + ", "
                + KeyRole.describe(spec) + " key";
    }
}
