package com.qel.varnel;

/**
 * The roles of a container's keys (their key spec): an exchange key (signs and, on Windows,
 * decrypts) and a signature key. The native methods take and list the key spec
 * as its number ({@link #code}, the compile-time constants of
 * {@link MscapiKeyGenParameters}); a listed record may carry another number.
 */
public enum KeyRole {
    EXCHANGE(MscapiKeyGenParameters.AT_KEYEXCHANGE, "exchange"),
    SIGNATURE(MscapiKeyGenParameters.AT_SIGNATURE, "signature");

    /** The number the native methods take ({@code AT_KEYEXCHANGE}, {@code AT_SIGNATURE}). */
    public final int code;
    /** The key spec's word in the tool's options and output. */
    public final String word;

    KeyRole(int code, String word) {
        this.code = code;
        this.word = word;
    }

    /** The key spec of a number; null for a number that is neither. */
    public static KeyRole of(int code) {
        return code == EXCHANGE.code ? EXCHANGE : code == SIGNATURE.code ? SIGNATURE : null;
    }

    /** The key spec's word, or "spec N" for a number that is neither. */
    public static String describe(int code) {
        KeyRole s = of(code);
        return s != null ? s.word : "spec " + code;
    }
}
