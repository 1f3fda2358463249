package com.qel.varnel;

import java.security.spec.AlgorithmParameterSpec;

/**
 * Where the "MSCAPI" provider's RSA key pair generator makes its key: the
 * provider (null for the default RSA provider), the new container's name,
 * the key spec (1 exchange, 2 signature) and the key length in bits.
 */
public final class MscapiKeyGenParameters implements AlgorithmParameterSpec {
    /** The key spec for keys that sign and exchange keys. */
    public static final int AT_KEYEXCHANGE = 1;
    /** The key spec for keys that only sign. */
    public static final int AT_SIGNATURE = 2;

    private final String provider;
    private final String container;
    private final int keySpec;
    private final int keySize;

    public MscapiKeyGenParameters(String provider, String container, int keySpec, int keySize) {
        if (container == null || container.isEmpty()) {
            throw new IllegalArgumentException("a container name is needed");
        }
        if (KeyRole.of(keySpec) == null) {
            throw new IllegalArgumentException("key spec must be 1 (exchange) or 2 (signature), not " + keySpec);
        }
        this.provider = provider;
        this.container = container;
        this.keySpec = keySpec;
        this.keySize = keySize;
    }

    public String getProviderName() {
        return provider;
    }

    public String getContainerName() {
        return container;
    }

    public int getKeySpec() {
        return keySpec;
    }

    public int getKeySize() {
        return keySize;
    }
}
