package com.qel.varnel.tool;

import com.qel.varnel.MSCAPI;
import java.lang.reflect.InvocationTargetException;
import java.lang.reflect.Method;

/**
 * Calls the package-private native methods of {@link MSCAPI} from the tool's
 * own package, unwrapping the exceptions they raise.
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

        LibraryException(String method, String message, long traceMark, Throwable cause) {
            super(message, cause);
            this.method = method;
            this.traceMark = traceMark;
        }
    }

    static Object call(String name, Class<?>[] types, Object... args) throws Exception {
        Method m = MSCAPI.class.getDeclaredMethod(name, types);
        m.setAccessible(true);
        long mark = Trace.mark();
        try {
            return m.invoke(null, args);
        } catch (InvocationTargetException e) {
            Throwable cause = e.getCause();
            if (cause != null && cause.getClass() == Exception.class) {
                // The library raises plain java.lang.Exception with a fixed message.
                throw new LibraryException(name, cause.getMessage(), mark, cause);
            }
            if (cause instanceof Exception) {
                throw (Exception) cause;
            }
            if (cause instanceof Error) {
                throw (Error) cause;
            }
            throw e;
        }
    }

    private static final Class<?> S = String.class;
    private static final Class<?> I = int.class;
    private static final Class<?> B = byte[].class;

    static int getDLLVersion() throws Exception {
        return (Integer) call("getDLLVersion", new Class<?>[0]);
    }

    static byte[] generateRandom(String provider, int length) throws Exception {
        return (byte[]) call("generateRandom", new Class<?>[] {S, I}, provider, length);
    }

    static byte[] queryProviders() throws Exception {
        return (byte[]) call("queryProviders", new Class<?>[0]);
    }

    static byte[] queryKeyPairs() throws Exception {
        return (byte[]) call("queryKeyPairs", new Class<?>[0]);
    }

    static byte[] generateKeyPair(String provider, String container, int algId, int keyBits) throws Exception {
        return (byte[]) call("generateKeyPair", new Class<?>[] {S, S, I, I}, provider, container, algId, keyBits);
    }

    static void deleteKeyPair(String provider, String container) throws Exception {
        call("deleteKeyPair", new Class<?>[] {S, S}, provider, container);
    }

    static byte[] sign(String provider, String container, int keySpec, byte[] hash, int algId) throws Exception {
        return (byte[]) call("sign", new Class<?>[] {S, S, I, B, I, I}, provider, container, keySpec, hash,
                hash.length, algId);
    }

    static byte[] addCertToStore(byte[] cert, String provider, String container, int keySpec, String friendlyName,
            int storeKind) throws Exception {
        return (byte[]) call("addCertToStore", new Class<?>[] {B, S, S, I, S, I}, cert, provider, container,
                keySpec, friendlyName, storeKind);
    }

    static void importKeyPairPwd(String provider, String container, int keySpec, byte[] modulus, int bits,
            int exponent, byte[] d, byte[] p, byte[] q, byte[] dp, byte[] dq, byte[] qinv, byte[] pin)
            throws Exception {
        call("importKeyPairPwd", new Class<?>[] {S, S, I, B, I, I, B, B, B, B, B, B, B}, provider, container,
                keySpec, modulus, bits, exponent, d, p, q, dp, dq, qinv, pin);
    }

    static byte[] getPrivateKey(String provider, String container, int keySpec, byte[] pin) throws Exception {
        return (byte[]) call("getPrivateKey", new Class<?>[] {S, S, I, B}, provider, container, keySpec, pin);
    }

    static byte[] verifyAndSign(String provider, String container, int keySpec, byte[] hash, int algId, byte[] pin)
            throws Exception {
        return (byte[]) call("verifyAndSign", new Class<?>[] {S, S, I, B, I, I, B}, provider, container, keySpec,
                hash, hash.length, algId, pin);
    }

    static void setFriendlyName(String name, byte[] serial, byte[] issuer, int storeKind) throws Exception {
        call("setFriendlyName", new Class<?>[] {S, B, B, I}, name, serial, issuer, storeKind);
    }

    static void setFlags(byte[] flags, byte[] serial, byte[] issuer, int storeKind) throws Exception {
        call("setFlags", new Class<?>[] {B, B, B, I}, flags, serial, issuer, storeKind);
    }

    static void deleteCertFromStore(byte[] serial, byte[] issuer, int storeKind) throws Exception {
        call("deleteCertFromStore", new Class<?>[] {B, B, I}, serial, issuer, storeKind);
    }

    static byte[] queryCerts(int storeKind) throws Exception {
        return (byte[]) call("queryCerts", new Class<?>[] {I}, storeKind);
    }
}
