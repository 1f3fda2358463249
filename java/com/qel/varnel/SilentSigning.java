package com.qel.varnel;

/**
 * The library's own native capability beside the sixteen methods of
 * {@link MSCAPI}: signing in a silent context. The provider uses it when the
 * application gave a PIN source (a callback handler, a key password, an
 * {@link MscapiPin}): the platform then asks the user nothing itself (no PIN
 * dialog; on Linux no "PIN Prompt" program), and a key that needs a PIN
 * fails with NTE_SILENT_CONTEXT, after which the provider asks the
 * application's source.
 */
final class SilentSigning {
    /** Name of the native library (the security manager's checkLink is asked about it); loads it. */
    static String LIB = MSCAPI.LIB;

    private SilentSigning() {
    }

    /**
     * As {@link MSCAPI#sign}, with the container acquired with
     * {@code CRYPT_SILENT}: the same arguments, result and failure messages.
     */
    static native byte[] sign(String providerName, String containerName, int keySpec, byte[] hashValue,
            int dataLength, int algId);
}
