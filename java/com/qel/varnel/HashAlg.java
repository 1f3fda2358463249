package com.qel.varnel;

/**
 * The hash algorithms a signature is made over, by their CryptoAPI
 * identifiers ({@code CALG_*}) and the tool's names for them.
 */
public enum HashAlg {
    MD5(0x8003, "md5"), SHA1(0x8004, "sha1"), SSL3_SHAMD5(0x8008, null), SHA_256(0x800c, "sha256"),
    SHA_384(0x800d, "sha384"), SHA_512(0x800e, "sha512");

    /** The algorithm identifier the native methods take ({@code algId}). */
    public final int algId;
    /** The tool's --hash name; null for the MD5 and SHA-1 value of TLS 1.0 and 1.1, which has none. */
    public final String toolName;

    HashAlg(int algId, String toolName) {
        this.algId = algId;
        this.toolName = toolName;
    }

    /** The algorithm of a --hash name; null when there is none. */
    public static HashAlg named(String name) {
        for (HashAlg h : values()) {
            if (h.toolName != null && h.toolName.equals(name)) {
                return h;
            }
        }
        return null;
    }
}
