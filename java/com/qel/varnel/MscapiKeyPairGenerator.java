package com.qel.varnel;

import java.math.BigInteger;
import java.security.InvalidAlgorithmParameterException;
import java.security.KeyFactory;
import java.security.KeyPair;
import java.security.KeyPairGeneratorSpi;
import java.security.ProviderException;
import java.security.PublicKey;
import java.security.SecureRandom;
import java.security.spec.AlgorithmParameterSpec;
import java.security.spec.RSAPublicKeySpec;
import java.util.HexFormat;

/**
 * RSA key pairs made in a new key container by the provider that keeps it:
 * the private key is a handle ({@link MscapiPrivateKey}), the public key an
 * ordinary RSA public key. Initialise with {@link MscapiKeyGenParameters}
 * to choose provider, container and key spec; with a key size alone, the
 * key goes to a new container "mscapi-" and 16 random hex digits of the
 * default provider, as an exchange key.
 */
public final class MscapiKeyPairGenerator extends KeyPairGeneratorSpi {
    private MscapiKeyGenParameters spec;
    private int keySize = 2048;

    public MscapiKeyPairGenerator() {
    }

    @Override
    public void initialize(int keysize, SecureRandom random) {
        keySize = keysize;
        spec = null;
    }

    @Override
    public void initialize(AlgorithmParameterSpec params, SecureRandom random)
            throws InvalidAlgorithmParameterException {
        if (!(params instanceof MscapiKeyGenParameters s)) {
            throw new InvalidAlgorithmParameterException("only an MscapiKeyGenParameters is taken");
        }
        spec = s;
        keySize = s.getKeySize();
    }

    @Override
    public KeyPair generateKeyPair() {
        MscapiKeyGenParameters s = spec;
        if (s == null) {
            byte[] r = new byte[8];
            new SecureRandom().nextBytes(r);
            s = new MscapiKeyGenParameters(null, "mscapi-" + HexFormat.of().formatHex(r),
                    MscapiKeyGenParameters.AT_KEYEXCHANGE, keySize);
        }
        BigInteger[] ne;
        try {
            ne = MscapiLibrary.generateKeyPair(s.getProviderName(), s.getContainerName(), s.getKeySpec(), keySize);
        } catch (IllegalArgumentException e) {
            throw e;
        } catch (Exception e) {
            throw KeyAccess.unchecked("cannot make a key pair in container \"" + s.getContainerName() + "\"", e);
        }
        PublicKey publicKey;
        try {
            publicKey = KeyFactory.getInstance("RSA").generatePublic(new RSAPublicKeySpec(ne[0], ne[1]));
        } catch (Exception e) {
            throw new ProviderException("the public key cannot be read", e);
        }
        return new KeyPair(publicKey,
                new MscapiPrivateKey(s.getProviderName(), s.getContainerName(), s.getKeySpec(), ne[0], null, null));
    }
}
