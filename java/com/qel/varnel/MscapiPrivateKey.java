package com.qel.varnel;

import java.io.IOException;
import java.io.NotSerializableException;
import java.io.ObjectOutputStream;
import java.math.BigInteger;
import java.nio.ByteBuffer;
import java.nio.CharBuffer;
import java.nio.charset.StandardCharsets;
import java.security.PrivateKey;
import java.security.interfaces.RSAKey;
import java.util.Arrays;
import javax.security.auth.Destroyable;
import javax.security.auth.callback.CallbackHandler;

/**
 * A private key that stays in its key container: a handle naming the
 * provider, the container and the key spec. It implements {@link RSAKey}
 * (its modulus), so engines that check the key's size accept it, and it is
 * never an {@code RSAPrivateCrtKey}: {@link #getEncoded()} is null and the
 * private components never leave the provider.
 *
 * <p>The key may carry a PIN (given with {@code KeyStore.getKey(alias, pin)})
 * and a {@link CallbackHandler} (from the key store's load parameter) that
 * is asked for the PIN when a signature needs one and none is held.
 * {@link #destroy()} wipes the PIN.
 */
public final class MscapiPrivateKey implements PrivateKey, RSAKey, Destroyable {
    private static final long serialVersionUID = 1L;

    private final String provider;
    private final String container;
    private final int keySpec;
    private final BigInteger modulus;
    /** The certificate's public exponent for a key bound to a certificate; null otherwise. */
    private final BigInteger boundExponent;
    private final transient CallbackHandler pinHandler;
    private transient byte[] pin;
    private transient volatile boolean destroyed;
    /** When (System.nanoTime) the container was last seen holding the certificate's key. */
    private transient volatile long comparedAt;

    MscapiPrivateKey(String provider, String container, int keySpec, BigInteger modulus, char[] pin,
            CallbackHandler pinHandler) {
        this(provider, container, keySpec, modulus, null, pin, pinHandler);
    }

    /**
     * A key bound to a certificate whose public key is ({@code modulus},
     * {@code boundExponent}): it signs only while its container holds that
     * key (compared when the key is obtained, at each {@code initSign}, after
     * the first signature that follows it, and after a later signature when
     * the last comparison is older than {@link KeyAccess#COMPARED_FOR}).
     */
    MscapiPrivateKey(String provider, String container, int keySpec, BigInteger modulus, BigInteger boundExponent,
            char[] pin, CallbackHandler pinHandler) {
        this.provider = provider;
        this.container = container;
        this.keySpec = keySpec;
        this.modulus = modulus;
        this.boundExponent = boundExponent;
        this.comparedAt = System.nanoTime() - Long.MAX_VALUE / 4; // never compared
        this.pin = pinBytes(pin);
        this.pinHandler = pinHandler;
    }

    /** The provider that holds the key (null: the default RSA provider). */
    public String getProviderName() {
        return provider;
    }

    /** The key container's name. */
    public String getContainerName() {
        return container;
    }

    /** Which key of the container: 1 (exchange) or 2 (signature). */
    public int getKeySpec() {
        return keySpec;
    }

    @Override
    public BigInteger getModulus() {
        return modulus;
    }

    @Override
    public String getAlgorithm() {
        return "RSA";
    }

    /** No encoding: the key never leaves its provider. */
    @Override
    public String getFormat() {
        return null;
    }

    /** Always null: the key never leaves its provider. */
    @Override
    public byte[] getEncoded() {
        return null;
    }

    /** The certificate's public exponent when the key is bound to a certificate; null otherwise. */
    BigInteger boundExponent() {
        return boundExponent;
    }

    long comparedAt() {
        return comparedAt;
    }

    void compared(long when) {
        comparedAt = when;
    }

    synchronized byte[] pin() {
        return pin == null ? null : pin.clone();
    }

    synchronized void rememberPin(byte[] given) {
        wipe(pin);
        pin = given == null ? null : given.clone();
    }

    CallbackHandler pinHandler() {
        return pinHandler;
    }

    /** Wipes the PIN the key holds; the key can no longer sign. */
    @Override
    public synchronized void destroy() {
        wipe(pin);
        pin = null;
        destroyed = true;
    }

    @Override
    public boolean isDestroyed() {
        return destroyed;
    }

    @Override
    public String toString() {
        return "MSCAPI RSA private key " + (modulus == null ? "" : modulus.bitLength() + " bits ") + "in container \""
                + container + "\" of " + (provider == null ? "the default provider" : "\"" + provider + "\"")
                + " (spec " + keySpec + ")";
    }

    @Override
    public boolean equals(Object o) {
        return o instanceof MscapiPrivateKey k && k.keySpec == keySpec && container.equals(k.container)
                && java.util.Objects.equals(provider, k.provider);
    }

    @Override
    public int hashCode() {
        return java.util.Objects.hash(provider, container, keySpec);
    }

    /** A handle to a container is not written out: it means nothing in another process's hands. */
    private void writeObject(ObjectOutputStream out) throws IOException {
        throw new NotSerializableException("an MSCAPI private key stays in its key container");
    }

    /** The PIN's characters as the UTF-8 bytes the provider is given; null and empty mean no PIN. */
    static byte[] pinBytes(char[] pin) {
        if (pin == null || pin.length == 0) {
            return null;
        }
        ByteBuffer bb = StandardCharsets.UTF_8.encode(CharBuffer.wrap(pin));
        byte[] out = new byte[bb.remaining()];
        bb.get(out);
        if (bb.hasArray()) {
            Arrays.fill(bb.array(), (byte) 0);
        }
        return out;
    }

    static void wipe(byte[] secret) {
        if (secret != null) {
            Arrays.fill(secret, (byte) 0);
        }
    }
}
