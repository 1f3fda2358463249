package com.qel.varnel;

import java.security.Provider;
import java.util.List;
import java.util.Map;
import java.util.function.Supplier;

/**
 * The "MSCAPI" security provider: the system certificate stores as key
 * stores, RSA signatures made by key containers' keys, and RSA key pairs
 * made in key containers.
 *
 * <ul>
 * <li>KeyStore: "MSCAPI-MY", "MSCAPI-ROOT", "MSCAPI-CA",
 * "MSCAPI-AddressBook", "MSCAPI-Varnel" ({@link MscapiKeyStore}).</li>
 * <li>Signature: "SHA1withRSA", "SHA256withRSA", "SHA384withRSA",
 * "SHA512withRSA", "MD5withRSA", "NONEwithRSA", for
 * {@link MscapiPrivateKey} keys only ({@link MscapiSignature}).</li>
 * <li>KeyPairGenerator: "RSA" ({@link MscapiKeyPairGenerator}).</li>
 * </ul>
 *
 * <p>Not offered, because the library's methods cannot do it: RSASSA-PSS
 * and RSA decryption (so TLS 1.3 cannot authenticate with these keys; TLS
 * 1.2 can), verification (the JDK's providers verify).
 */
public final class MscapiProvider extends Provider {
    private static final long serialVersionUID = 1L;

    public MscapiProvider() {
        super("MSCAPI", "1.0", "MSCAPI provider: system certificate stores and key containers");
        String keyClass = MscapiPrivateKey.class.getName();
        Map<String, String> signAttrs = Map.of("SupportedKeyClasses", keyClass);
        add("KeyStore", "MSCAPI-MY", MscapiKeyStore.MY.class, MscapiKeyStore.MY::new, null, null);
        add("KeyStore", "MSCAPI-ROOT", MscapiKeyStore.ROOT.class, MscapiKeyStore.ROOT::new, null, null);
        add("KeyStore", "MSCAPI-CA", MscapiKeyStore.CA.class, MscapiKeyStore.CA::new, null, null);
        add("KeyStore", "MSCAPI-AddressBook", MscapiKeyStore.AddressBook.class, MscapiKeyStore.AddressBook::new, null, null);
        add("KeyStore", "MSCAPI-Varnel", MscapiKeyStore.Varnel.class, MscapiKeyStore.Varnel::new, null, null);
        add("Signature", "SHA1withRSA", MscapiSignature.SHA1.class, MscapiSignature.SHA1::new, List.of("1.2.840.113549.1.1.5"), signAttrs);
        add("Signature", "SHA256withRSA", MscapiSignature.SHA256.class, MscapiSignature.SHA256::new, List.of("1.2.840.113549.1.1.11"), signAttrs);
        add("Signature", "SHA384withRSA", MscapiSignature.SHA384.class, MscapiSignature.SHA384::new, List.of("1.2.840.113549.1.1.12"), signAttrs);
        add("Signature", "SHA512withRSA", MscapiSignature.SHA512.class, MscapiSignature.SHA512::new, List.of("1.2.840.113549.1.1.13"), signAttrs);
        add("Signature", "MD5withRSA", MscapiSignature.MD5.class, MscapiSignature.MD5::new, List.of("1.2.840.113549.1.1.4"), signAttrs);
        add("Signature", "NONEwithRSA", MscapiSignature.None.class, MscapiSignature.None::new, null, signAttrs);
        add("KeyPairGenerator", "RSA", MscapiKeyPairGenerator.class, MscapiKeyPairGenerator::new, List.of("1.2.840.113549.1.1.1"), null);
    }

    private void add(String type, String algorithm, Class<?> impl, Supplier<Object> factory, List<String> aliases,
            Map<String, String> attributes) {
        putService(new Made(this, type, algorithm, impl.getName(), factory, aliases, attributes));
    }

    /** A service made by its constructor directly, without reflection. */
    private static final class Made extends Service {
        private final transient Supplier<Object> factory;

        Made(Provider p, String type, String algorithm, String className, Supplier<Object> factory,
                List<String> aliases, Map<String, String> attributes) {
            super(p, type, algorithm, className, aliases, attributes);
            this.factory = factory;
        }

        @Override
        public Object newInstance(Object constructorParameter) throws java.security.NoSuchAlgorithmException {
            if (constructorParameter != null) {
                throw new java.security.InvalidParameterException("no constructor parameter is taken");
            }
            return factory.get();
        }
    }
}
