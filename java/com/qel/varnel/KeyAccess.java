package com.qel.varnel;

import java.nio.CharBuffer;
import java.nio.charset.StandardCharsets;
import java.security.ProviderException;
import java.security.SignatureException;
import java.util.Arrays;
import java.util.Map;
import java.util.concurrent.ConcurrentHashMap;
import javax.security.auth.callback.Callback;
import javax.security.auth.callback.CallbackHandler;
import javax.security.auth.callback.PasswordCallback;

/**
 * Signing with a container's key through {@link MSCAPI#sign} and
 * {@link MSCAPI#verifyAndSign}, with the PIN rules of the provider: a PIN
 * given for a key whose provider takes none is ignored; a key that needs a
 * PIN and holds none asks its callback handler once, then keeps the PIN.
 * When the application gave a PIN source (a PIN, or a callback handler),
 * the key signs without a PIN in a silent context ({@link SilentSigning}):
 * the platform's own PIN dialog (the emulation's "PIN Prompt" program) is
 * never shown for it; the application's source is what is asked.
 */
final class KeyAccess {
    private KeyAccess() {
    }

    /** Providers seen to take no PIN: a PIN given for their keys is not presented again. */
    private static final Map<String, Boolean> NO_PIN = new ConcurrentHashMap<>();

    static byte[] sign(MscapiPrivateKey key, byte[] pinOverride, byte[] hash, HashAlg algId) throws SignatureException {
        if (key.isDestroyed()) {
            throw new SignatureException("the key was destroyed");
        }
        String providerKey = String.valueOf(key.getProviderName());
        byte[] pin = pinOverride != null ? pinOverride.clone() : key.pin();
        CallbackHandler handler = key.pinHandler();
        try {
            if (pin != null && !NO_PIN.containsKey(providerKey)) {
                try {
                    return MscapiLibrary.verifyAndSign(key.getProviderName(), key.getContainerName(), key.getKeySpec(),
                            hash, algId, pin);
                } catch (Exception e) {
                    if (!ErrorCode.of(e).equals(ErrorCode.NTE_BAD_TYPE)) {
                        throw failure(key, e);
                    }
                    // The provider takes no PIN (a software key): sign without it.
                    NO_PIN.put(providerKey, Boolean.TRUE);
                }
            }
            // With a PIN source of the application's, the platform asks the
            // user nothing itself: a key that needs a PIN fails here
            // (NTE_SILENT_CONTEXT) and the source is asked below.
            try {
                if (pin == null && handler == null) {
                    return MscapiLibrary.sign(key.getProviderName(), key.getContainerName(), key.getKeySpec(), hash,
                            algId);
                }
                return MscapiLibrary.signSilently(key.getProviderName(), key.getContainerName(), key.getKeySpec(),
                        hash, algId);
            } catch (Exception e) {
                if (pin != null || handler == null || !needsPin(e)) {
                    throw failure(key, e);
                }
            }
            byte[] asked = askPin(key, handler);
            try {
                byte[] sig = MscapiLibrary.verifyAndSign(key.getProviderName(), key.getContainerName(), key.getKeySpec(),
                        hash, algId, asked);
                key.rememberPin(asked);
                return sig;
            } catch (Exception e) {
                throw failure(key, e);
            } finally {
                MscapiPrivateKey.wipe(asked);
            }
        } finally {
            MscapiPrivateKey.wipe(pin);
        }
    }

    /**
     * For a key bound to a certificate, whether its container still holds
     * the certificate's key: null when it does (or the key is not bound),
     * else an exception whose message says so and names the container. A
     * key that cannot be read counts as held unless {@code unreadableFails}:
     * before a signature, the signature fails then with its own cause.
     *
     * <p>The comparison reads the container's public key through the
     * library ({@link ContainerKeys}), which answers from what it keeps of
     * the key (no PKCS#11 module call while a token key keeps signing).
     */
    static Exception notBound(MscapiPrivateKey key, boolean unreadableFails) {
        return notBound(key, unreadableFails, 0);
    }

    /**
     * How long after a comparison a signature is taken without comparing
     * again: a Signature used for many signatures compares the container
     * at most this often, so its signatures cost no extra call into the
     * library (a comparison costs a few percent of a signature).
     */
    static final long COMPARED_FOR = 100_000_000L; // 100 ms

    /**
     * As {@link #notBound(MscapiPrivateKey, boolean)}, but null without
     * comparing when the key was compared less than {@code within}
     * nanoseconds ago.
     */
    static Exception notBound(MscapiPrivateKey key, boolean unreadableFails, long within) {
        if (within > 0 && key.boundExponent() != null && System.nanoTime() - key.comparedAt() < within) {
            return null;
        }
        return compare(key, unreadableFails);
    }

    private static Exception compare(MscapiPrivateKey key, boolean unreadableFails) {
        if (key.boundExponent() == null) {
            return null;
        }
        try {
            long now = System.nanoTime();
            if (MscapiLibrary.containerHolds(key.getProviderName(), key.getContainerName(), key.getKeySpec(), key.getModulus(),
                    key.boundExponent())) {
                key.compared(now);
                return null;
            }
            return new Exception(MscapiLibrary.otherKey(key.getContainerName()));
        } catch (RuntimeException e) {
            throw e; // the JVM's own (a refused security check): passed on unchanged
        } catch (Exception e) {
            if (!unreadableFails) {
                return null;
            }
            String why = reason(e);
            return new Exception("cannot compare the key of key container \"" + key.getContainerName()
                    + "\" with its certificate's: " + e.getMessage() + (why != null ? " (" + why + ")" : ""), e);
        }
    }

    private static byte[] askPin(MscapiPrivateKey key, CallbackHandler handler) throws SignatureException {
        PasswordCallback cb = new PasswordCallback("PIN for " + key.getContainerName() + ": ", false);
        try {
            handler.handle(new Callback[] {cb});
            char[] chars = cb.getPassword();
            if (chars == null || chars.length == 0) {
                throw new SignatureException("no PIN was given for key container \"" + key.getContainerName() + "\"");
            }
            try {
                return MscapiPrivateKey.pinBytes(chars);
            } finally {
                Arrays.fill(chars, '\0');
            }
        } catch (SignatureException e) {
            throw e;
        } catch (Exception e) {
            throw new SignatureException("the PIN callback failed: " + e, e);
        } finally {
            cb.clearPassword();
        }
    }

    private static boolean needsPin(Exception e) {
        ErrorCode code = ErrorCode.of(e);
        return code.equals(ErrorCode.NTE_PERM) || code.equals(ErrorCode.SCARD_W_CARD_NOT_AUTHENTICATED)
                || code.equals(ErrorCode.NTE_SILENT_CONTEXT);
    }

    private static SignatureException failure(MscapiPrivateKey key, Exception e) {
        String why = reason(e);
        return new SignatureException(e.getMessage() + " (key container \"" + key.getContainerName() + "\""
                + (why != null ? ": " + why : "") + ")", e);
    }

    /** The cause's words, or null when the exception carries none. */
    static String reason(Throwable e) {
        Throwable c = e == null ? null : e.getCause();
        return c == null ? null : c.getMessage();
    }

    /** A library exception as a ProviderException with its cause kept. */
    static ProviderException unchecked(String what, Exception e) {
        String why = reason(e);
        return new ProviderException(what + ": " + e.getMessage() + (why != null ? " (" + why + ")" : ""), e);
    }

    static char[] chars(byte[] utf8) {
        CharBuffer cb = StandardCharsets.UTF_8.decode(java.nio.ByteBuffer.wrap(utf8));
        char[] out = new char[cb.remaining()];
        cb.get(out);
        return out;
    }
}
