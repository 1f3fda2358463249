package com.qel.varnel;

import java.security.spec.AlgorithmParameterSpec;
import java.util.Arrays;

/**
 * The PIN for one {@code Signature} object of the "MSCAPI" provider:
 * {@code signature.setParameter(new MscapiPinSpec(pin))} after
 * {@code initSign}. It takes precedence over a PIN the key holds. The spec
 * keeps a copy of the characters; {@link #clear()} wipes it, and the
 * signature wipes its own copy when it is initialised again.
 */
public final class MscapiPinSpec implements AlgorithmParameterSpec {
    private final char[] pin;

    public MscapiPinSpec(char[] pin) {
        this.pin = pin == null ? null : pin.clone();
    }

    /** A copy of the PIN (the caller wipes it), or null. */
    public char[] getPin() {
        return pin == null ? null : pin.clone();
    }

    /** Wipes the PIN this spec holds. */
    public void clear() {
        if (pin != null) {
            Arrays.fill(pin, '\0');
        }
    }
}
