package com.qel.varnel;

import java.security.spec.AlgorithmParameterSpec;
import java.util.Arrays;

/**
 * The PIN for one {@code Signature} object of the "MSCAPI" provider:
 * {@code signature.setParameter(new MscapiPin(pin))} after
 * {@code initSign}. It takes precedence over a PIN the key holds. This object
 * keeps a copy of the characters; {@link #clear()} wipes it, and the
 * signature wipes its own copy when it is initialised again.
 */
public final class MscapiPin implements AlgorithmParameterSpec {
    private final char[] pin;

    public MscapiPin(char[] pin) {
        this.pin = pin == null ? null : pin.clone();
    }

    /** A copy of the PIN (the caller wipes it), or null. */
    public char[] getPin() {
        return pin == null ? null : pin.clone();
    }

    /** Wipes the PIN this object holds. */
    public void clear() {
        if (pin != null) {
            Arrays.fill(pin, '\0');
        }
    }
}
