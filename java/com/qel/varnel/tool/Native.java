package com.qel.varnel.tool;

import com.qel.varnel.HashAlg;
import com.qel.varnel.MscapiLibrary;
import com.qel.varnel.Records;
import com.qel.varnel.StoreKind;
import java.math.BigInteger;
import java.security.interfaces.RSAPrivateCrtKey;
import java.util.List;

/**
 * The library's native methods for the tool, called with their own types
 * through {@link MscapiLibrary}: each call notes where this run's trace stood
 * before it, and a failure the library raises becomes a LibraryException.
 */
final class Native {
    private Native() {
    }

    /**
     * A failure a library method raised: its fixed message, the method, and
     * where this run's trace stood before the call (so the cause is read from
     * that call's lines only).
     */
    static final class LibraryException extends Exception {
        private static final long serialVersionUID = 1L;
        final String method;
        final long traceMark;
        /** Where the call's lines end in the trace, or -1: at its end. */
        final long traceEnd;

        LibraryException(String method, String message, long traceMark, Throwable cause) {
            super(message, cause);
            this.method = method;
            this.traceMark = traceMark;
            this.traceEnd = -1;
        }

        /** The same failure, its cause read from the trace up to `traceEnd` (what follows is clean-up). */
        LibraryException(LibraryException e, long traceEnd) {
            super(e.getMessage(), e.getCause());
            this.method = e.method;
            this.traceMark = e.traceMark;
            this.traceEnd = traceEnd;
        }
    }

    /** One call of a native method. */
    private interface Call<T> {
        T run() throws Exception;
    }

    private static <T> T call(String name, Call<T> call) throws Exception {
        long mark = Trace.mark();
        try {
            return call.run();
        } catch (Exception e) {
            // The library raises plain java.lang.Exception with a fixed message;
            // anything else (a refused security check, say) passes through.
            if (e.getClass() == Exception.class) {
                throw new LibraryException(name, e.getMessage(), mark, e);
            }
            throw e;
        }
    }

    /** Without a lambda: `mscapi version` is the start-up the tool is measured by. */
    static int getDLLVersion() throws Exception {
        long mark = Trace.mark();
        try {
            return MscapiLibrary.version();
        } catch (Exception e) {
            if (e.getClass() == Exception.class) {
                throw new LibraryException("getDLLVersion", e.getMessage(), mark, e);
            }
            throw e;
        }
    }

    static byte[] generateRandom(String provider, int length) throws Exception {
        return call("generateRandom", () -> MscapiLibrary.random(provider, length));
    }

    static List<String> providers() throws Exception {
        return call("queryProviders", MscapiLibrary::providers);
    }

    /** The default provider's name, or null when none is installed. */
    static String defaultProvider() throws Exception {
        return call("queryProviders", MscapiLibrary::defaultProvider);
    }

    static List<Records.KeyPair> keyPairs() throws Exception {
        return call("queryKeyPairs", MscapiLibrary::keyPairs);
    }

    /** The new key's public key as {modulus, exponent}. */
    static BigInteger[] generateKeyPair(String provider, String container, int keySpec, int keyBits)
            throws Exception {
        return call("generateKeyPair", () -> MscapiLibrary.generateKeyPair(provider, container, keySpec, keyBits));
    }

    static void deleteKeyPair(String provider, String container) throws Exception {
        call("deleteKeyPair", () -> {
            MscapiLibrary.deleteKeyPair(provider, container);
            return null;
        });
    }

    static byte[] sign(String provider, String container, int keySpec, byte[] hash, HashAlg alg) throws Exception {
        return call("sign", () -> MscapiLibrary.sign(provider, container, keySpec, hash, alg));
    }

    /** The new certificate's CertId, or null when the store refuses it. */
    static Records.CertId addCertToStore(byte[] cert, String provider, String container, int keySpec,
            String friendlyName, StoreKind store) throws Exception {
        return call("addCertToStore",
                () -> MscapiLibrary.addCert(cert, provider, container, keySpec, friendlyName, store));
    }

    /** Puts an RSA private key into a new container through importKeyPairPwd (the PIN may be null). */
    static void importKey(String provider, String container, int keySpec, RSAPrivateCrtKey k, byte[] pin)
            throws Exception {
        call("importKeyPairPwd", () -> {
            MscapiLibrary.importKey(provider, container, keySpec, k, pin);
            return null;
        });
    }

    static byte[] getPrivateKey(String provider, String container, int keySpec, byte[] pin) throws Exception {
        return call("getPrivateKey", () -> MscapiLibrary.privateKeyBytes(provider, container, keySpec, pin));
    }

    static boolean containerHolds(String provider, String container, int keySpec, BigInteger modulus,
            BigInteger exponent) throws Exception {
        return call("publicKeyBlob",
                () -> MscapiLibrary.containerHolds(provider, container, keySpec, modulus, exponent));
    }

    static byte[] verifyAndSign(String provider, String container, int keySpec, byte[] hash, HashAlg alg,
            byte[] pin) throws Exception {
        return call("verifyAndSign", () -> MscapiLibrary.verifyAndSign(provider, container, keySpec, hash, alg, pin));
    }

    static void setFriendlyName(String name, byte[] serial, byte[] issuer, StoreKind store) throws Exception {
        call("setFriendlyName", () -> {
            MscapiLibrary.setFriendlyName(name, serial, issuer, store);
            return null;
        });
    }

    static void setFlags(byte[] flags, byte[] serial, byte[] issuer, StoreKind store) throws Exception {
        call("setFlags", () -> {
            MscapiLibrary.setFlags(flags, serial, issuer, store);
            return null;
        });
    }

    static void deleteCertFromStore(byte[] serial, byte[] issuer, StoreKind store) throws Exception {
        call("deleteCertFromStore", () -> {
            MscapiLibrary.deleteCert(serial, issuer, store);
            return null;
        });
    }

    static List<Records.Cert> certs(StoreKind store) throws Exception {
        return call("queryCerts", () -> MscapiLibrary.certs(store));
    }
}
