package com.qel.varnel.tool;

import com.qel.varnel.NativeAccess;

/**
 * The library's native methods for the tool, called with their own types
 * through {@link NativeAccess}: each call notes where this run's trace stood
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
            return NativeAccess.getDLLVersion();
        } catch (Exception e) {
            if (e.getClass() == Exception.class) {
                throw new LibraryException("getDLLVersion", e.getMessage(), mark, e);
            }
            throw e;
        }
    }

    static byte[] generateRandom(String provider, int length) throws Exception {
        return call("generateRandom", () -> NativeAccess.generateRandom(provider, length));
    }

    static byte[] queryProviders() throws Exception {
        return call("queryProviders", NativeAccess::queryProviders);
    }

    static byte[] queryKeyPairs() throws Exception {
        return call("queryKeyPairs", NativeAccess::queryKeyPairs);
    }

    static byte[] generateKeyPair(String provider, String container, int algId, int keyBits) throws Exception {
        return call("generateKeyPair", () -> NativeAccess.generateKeyPair(provider, container, algId, keyBits));
    }

    static void deleteKeyPair(String provider, String container) throws Exception {
        call("deleteKeyPair", () -> {
            NativeAccess.deleteKeyPair(provider, container);
            return null;
        });
    }

    static byte[] sign(String provider, String container, int keySpec, byte[] hash, int algId) throws Exception {
        return call("sign", () -> NativeAccess.sign(provider, container, keySpec, hash, hash.length, algId));
    }

    static byte[] addCertToStore(byte[] cert, String provider, String container, int keySpec, String friendlyName,
            int storeKind) throws Exception {
        return call("addCertToStore",
                () -> NativeAccess.addCertToStore(cert, provider, container, keySpec, friendlyName, storeKind));
    }

    static void importKeyPairPwd(String provider, String container, int keySpec, byte[] modulus, int bits,
            int exponent, byte[] d, byte[] p, byte[] q, byte[] dp, byte[] dq, byte[] qinv, byte[] pin)
            throws Exception {
        call("importKeyPairPwd", () -> {
            NativeAccess.importKeyPairPwd(provider, container, keySpec, modulus, bits, exponent, d, p, q, dp, dq,
                    qinv, pin);
            return null;
        });
    }

    static byte[] getPrivateKey(String provider, String container, int keySpec, byte[] pin) throws Exception {
        return call("getPrivateKey", () -> NativeAccess.getPrivateKey(provider, container, keySpec, pin));
    }

    static boolean containerHolds(String provider, String container, int keySpec, java.math.BigInteger modulus,
            java.math.BigInteger exponent) throws Exception {
        return call("publicKeyBlob",
                () -> NativeAccess.containerHolds(provider, container, keySpec, modulus, exponent));
    }

    static byte[] verifyAndSign(String provider, String container, int keySpec, byte[] hash, int algId, byte[] pin)
            throws Exception {
        return call("verifyAndSign",
                () -> NativeAccess.verifyAndSign(provider, container, keySpec, hash, hash.length, algId, pin));
    }

    static void setFriendlyName(String name, byte[] serial, byte[] issuer, int storeKind) throws Exception {
        call("setFriendlyName", () -> {
            NativeAccess.setFriendlyName(name, serial, issuer, storeKind);
            return null;
        });
    }

    static void setFlags(byte[] flags, byte[] serial, byte[] issuer, int storeKind) throws Exception {
        call("setFlags", () -> {
            NativeAccess.setFlags(flags, serial, issuer, storeKind);
            return null;
        });
    }

    static void deleteCertFromStore(byte[] serial, byte[] issuer, int storeKind) throws Exception {
        call("deleteCertFromStore", () -> {
            NativeAccess.deleteCertFromStore(serial, issuer, storeKind);
            return null;
        });
    }

    static byte[] queryCerts(int storeKind) throws Exception {
        return call("queryCerts", () -> NativeAccess.queryCerts(storeKind));
    }
}
