package com.qel.varnel.tool;

import java.io.ByteArrayInputStream;
import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.StringReader;
import java.nio.charset.StandardCharsets;
import java.security.Key;
import java.security.KeyFactory;
import java.security.KeyStore;
import java.security.PrivateKey;
import java.security.Provider;
import java.security.PublicKey;
import java.security.UnrecoverableKeyException;
import java.security.cert.Certificate;
import java.security.cert.CertificateFactory;
import java.security.cert.X509Certificate;
import java.security.interfaces.RSAPrivateCrtKey;
import java.security.interfaces.RSAPublicKey;
import java.security.spec.X509EncodedKeySpec;
import java.util.ArrayList;
import java.util.Collection;
import java.util.Enumeration;
import java.util.List;
import org.bouncycastle.asn1.ASN1Encoding;
import org.bouncycastle.asn1.ASN1Primitive;
import org.bouncycastle.asn1.ASN1String;
import org.bouncycastle.asn1.DERBMPString;
import org.bouncycastle.asn1.DERNull;
import org.bouncycastle.asn1.DEROctetString;
import org.bouncycastle.asn1.nist.NISTObjectIdentifiers;
import org.bouncycastle.asn1.pkcs.Attribute;
import org.bouncycastle.asn1.pkcs.ContentInfo;
import org.bouncycastle.asn1.pkcs.EncryptedPrivateKeyInfo;
import org.bouncycastle.asn1.pkcs.PKCSObjectIdentifiers;
import org.bouncycastle.asn1.pkcs.Pfx;
import org.bouncycastle.asn1.pkcs.PrivateKeyInfo;
import org.bouncycastle.asn1.pkcs.RSAPrivateKey;
import org.bouncycastle.asn1.x509.AlgorithmIdentifier;
import org.bouncycastle.asn1.x509.SubjectPublicKeyInfo;
import org.bouncycastle.cert.X509CertificateHolder;
import org.bouncycastle.cert.jcajce.JcaX509CertificateConverter;
import org.bouncycastle.jce.provider.BouncyCastleProvider;
import org.bouncycastle.openssl.PEMEncryptedKeyPair;
import org.bouncycastle.openssl.PEMKeyPair;
import org.bouncycastle.openssl.PEMParser;
import org.bouncycastle.openssl.PKCS8Generator;
import org.bouncycastle.openssl.bc.BcPEMDecryptorProvider;
import org.bouncycastle.openssl.jcajce.JcaPEMKeyConverter;
import org.bouncycastle.openssl.jcajce.JcaPKCS8Generator;
import org.bouncycastle.openssl.jcajce.JceOpenSSLPKCS8DecryptorProviderBuilder;
import org.bouncycastle.openssl.jcajce.JceOpenSSLPKCS8EncryptorBuilder;
import org.bouncycastle.operator.OutputEncryptor;
import org.bouncycastle.pkcs.PKCS12PfxPdu;
import org.bouncycastle.pkcs.PKCS12PfxPduBuilder;
import org.bouncycastle.pkcs.PKCS12SafeBag;
import org.bouncycastle.pkcs.PKCS12SafeBagFactory;
import org.bouncycastle.pkcs.PKCS8EncryptedPrivateKeyInfo;
import org.bouncycastle.pkcs.PKCSException;
import org.bouncycastle.pkcs.jcajce.JcaPKCS12SafeBagBuilder;
import org.bouncycastle.pkcs.jcajce.JcePKCS12MacCalculatorBuilder;
import org.bouncycastle.pkcs.jcajce.JcePKCSPBEInputDecryptorProviderBuilder;
import org.bouncycastle.pkcs.jcajce.JcePKCSPBEOutputEncryptorBuilder;
import org.bouncycastle.util.io.pem.PemObject;
import org.bouncycastle.util.io.pem.PemWriter;

/**
 * The file formats the tool reads and writes: private keys (PKCS#8 plain or
 * encrypted, PKCS#1 plain or with OpenSSL's legacy PEM encryption, PKCS#12),
 * certificates (PEM bundles, DER, PKCS#7), public keys, and files that hold
 * private keys, which are created readable by their owner only.
 */
final class Formats {
    private Formats() {
    }

    /** Bouncy Castle's JCA provider, made when first needed (for PBES2, scrypt and legacy PEM ciphers). */
    private static Provider bc;

    static synchronized Provider bc() {
        if (bc == null) {
            bc = new BouncyCastleProvider();
        }
        return bc;
    }

    // ---- private keys --------------------------------------------------------

    /** What a PKCS#12 file holds for one key: the key, its chain (leaf first) and friendly name. */
    record PfxEntry(RSAPrivateCrtKey key, List<X509Certificate> chain, String friendlyName) {
    }

    static boolean isPkcs12(byte[] data) {
        if (FileIO.isPem(data)) {
            return false;
        }
        try {
            Pfx pfx = Pfx.getInstance(ASN1Primitive.fromByteArray(data));
            return PKCSObjectIdentifiers.data.equals(pfx.getAuthSafe().getContentType())
                    || PKCSObjectIdentifiers.signedData.equals(pfx.getAuthSafe().getContentType());
        } catch (Exception | Error e) {
            return false;
        }
    }

    /**
     * The one key entry of a PKCS#12 file (or the one named by alias), read
     * with the JDK's PKCS12 key store: PBES2/PBKDF2 with AES as OpenSSL 3
     * writes it, and the older SHA-1/3DES/RC2 schemes.
     */
    static PfxEntry readPfx(byte[] data, String name, Secret password, String alias) throws Exception {
        KeyStore ks = KeyStore.getInstance("PKCS12");
        char[] pw = password.chars();
        try {
            ks.load(new ByteArrayInputStream(data), pw);
        } catch (IOException e) {
            if (e.getCause() instanceof UnrecoverableKeyException
                    || String.valueOf(e.getMessage()).contains("password")) {
                throw new ToolError(name + ": the password was refused (or the file is damaged)");
            }
            throw new ToolError(name + ": not a readable PKCS#12 file (" + e.getMessage() + ")");
        }
        List<String> keyAliases = new ArrayList<>();
        for (Enumeration<String> e = ks.aliases(); e.hasMoreElements();) {
            String a = e.nextElement();
            if (ks.isKeyEntry(a)) {
                keyAliases.add(a);
            }
        }
        String chosen;
        if (alias != null) {
            chosen = keyAliases.stream().filter(a -> a.equalsIgnoreCase(alias)).findFirst()
                    .orElseThrow(() -> new ToolError(name + ": no key named \"" + alias + "\" (it holds: "
                            + String.join(", ", keyAliases) + ")"));
        } else if (keyAliases.size() == 1) {
            chosen = keyAliases.get(0);
        } else if (keyAliases.isEmpty()) {
            // The JDK's PKCS12 key store reads only encrypted key bags; a key
            // kept in a plain PKCS#8 key bag is read here.
            PfxEntry plain = plainKeyBag(data, pw);
            if (plain != null) {
                return plain;
            }
            throw new ToolError(name + ": holds no private key");
        } else {
            throw ToolError.usage(name + " holds " + keyAliases.size() + " keys: choose one with --alias ("
                    + String.join(", ", keyAliases) + ")");
        }
        KeyStore.Entry entry;
        try {
            entry = ks.getEntry(chosen, new KeyStore.PasswordProtection(pw));
        } catch (UnrecoverableKeyException e) {
            throw new ToolError(name + ": the password was refused for the key");
        }
        if (!(entry instanceof KeyStore.PrivateKeyEntry pke)) {
            throw new ToolError(name + ": \"" + chosen + "\" is not a private key");
        }
        RSAPrivateCrtKey key = rsa(pke.getPrivateKey(), name);
        List<X509Certificate> chain = new ArrayList<>();
        for (Certificate c : pke.getCertificateChain()) {
            chain.add((X509Certificate) c);
        }
        // The JDK names an entry that has no friendly name with a number of
        // its own, and shows that as the attribute too: take the name only
        // when a bag of the file carries it.
        String friendly = null;
        java.util.Set<String> named = friendlyNames(data, pw);
        for (KeyStore.Entry.Attribute a : pke.getAttributes()) {
            if (a.getName().equals("1.2.840.113549.1.9.20") && named.contains(a.getValue())) {
                friendly = a.getValue();
            }
        }
        return new PfxEntry(key, chain, friendly);
    }

    /**
     * The key of an unencrypted key bag (PKCS#12's keyBag, a plain PKCS#8
     * PrivateKeyInfo) with the certificates of the file, the key's own first;
     * null when the file has no such bag. Safes that are encrypted are read
     * with the password.
     */
    private static PfxEntry plainKeyBag(byte[] data, char[] pw) throws Exception {
        PrivateKeyInfo keyInfo = null;
        String friendly = null;
        List<X509Certificate> certs = new ArrayList<>();
        for (ContentInfo ci : new PKCS12PfxPdu(data).getContentInfos()) {
            PKCS12SafeBagFactory bags = PKCSObjectIdentifiers.encryptedData.equals(ci.getContentType())
                    ? new PKCS12SafeBagFactory(ci,
                            new JcePKCSPBEInputDecryptorProviderBuilder().setProvider(bc()).build(pw))
                    : new PKCS12SafeBagFactory(ci);
            for (PKCS12SafeBag bag : bags.getSafeBags()) {
                if (PKCSObjectIdentifiers.keyBag.equals(bag.getType()) && keyInfo == null) {
                    keyInfo = (PrivateKeyInfo) bag.getBagValue();
                    for (Attribute a : bag.getAttributes()) {
                        if (PKCSObjectIdentifiers.pkcs_9_at_friendlyName.equals(a.getAttrType())
                                && a.getAttrValues().size() > 0) {
                            friendly = ((ASN1String) a.getAttrValues().getObjectAt(0)).getString();
                        }
                    }
                } else if (PKCSObjectIdentifiers.certBag.equals(bag.getType())) {
                    certs.add(new JcaX509CertificateConverter().setProvider(bc())
                            .getCertificate((X509CertificateHolder) bag.getBagValue()));
                }
            }
        }
        if (keyInfo == null) {
            return null;
        }
        RSAPrivateCrtKey key = rsa(KeyFactory.getInstance("RSA").generatePrivate(
                new java.security.spec.PKCS8EncodedKeySpec(keyInfo.getEncoded())), "the key bag");
        List<X509Certificate> chain = new ArrayList<>();
        for (X509Certificate c : certs) {
            if (c.getPublicKey() instanceof java.security.interfaces.RSAPublicKey r
                    && r.getModulus().equals(key.getModulus())) {
                chain.add(0, c);
            } else {
                chain.add(c);
            }
        }
        if (chain.isEmpty() || !(chain.get(0).getPublicKey() instanceof java.security.interfaces.RSAPublicKey r0)
                || !r0.getModulus().equals(key.getModulus())) {
            throw new ToolError("the file's key has no certificate in it");
        }
        return new PfxEntry(key, chain, friendly);
    }

    /** Every friendlyName attribute of the file's bags (those of encrypted safes decrypted with the password). */
    private static java.util.Set<String> friendlyNames(byte[] data, char[] pw) {
        java.util.Set<String> names = new java.util.HashSet<>();
        try {
            for (ContentInfo ci : new PKCS12PfxPdu(data).getContentInfos()) {
                PKCS12SafeBagFactory bags;
                try {
                    bags = PKCSObjectIdentifiers.encryptedData.equals(ci.getContentType())
                            ? new PKCS12SafeBagFactory(ci,
                                    new JcePKCSPBEInputDecryptorProviderBuilder().setProvider(bc()).build(pw))
                            : new PKCS12SafeBagFactory(ci);
                    for (PKCS12SafeBag bag : bags.getSafeBags()) {
                        for (Attribute a : bag.getAttributes()) {
                            if (PKCSObjectIdentifiers.pkcs_9_at_friendlyName.equals(a.getAttrType())
                                    && a.getAttrValues().size() > 0) {
                                names.add(((ASN1String) a.getAttrValues().getObjectAt(0)).getString());
                            }
                        }
                    }
                } catch (Exception | Error e) {
                    // a safe that cannot be read names nothing
                }
            }
        } catch (Exception | Error e) {
            // the key store read it: nothing more to learn here
        }
        return names;
    }

    static RSAPrivateCrtKey rsa(Key key, String name) throws Exception {
        if (key instanceof RSAPrivateCrtKey k) {
            return k;
        }
        throw new ToolError(name + ": not an RSA private key with its CRT components (" + key.getAlgorithm() + ")");
    }

    /**
     * A private key from a file: PKCS#8 (PEM "PRIVATE KEY" or DER), encrypted
     * PKCS#8 ("ENCRYPTED PRIVATE KEY" or DER), PKCS#1 ("RSA PRIVATE KEY", also
     * with Proc-Type/DEK-Info encryption, or DER) or PKCS#12. The password is
     * asked for only when the file is encrypted.
     */
    static RSAPrivateCrtKey readPrivateKey(byte[] data, String name, Secret password, String alias)
            throws Exception {
        if (isPkcs12(data)) {
            return readPfx(data, name, password, alias).key();
        }
        Object parsed;
        if (FileIO.isPem(data)) {
            parsed = readPemObject(data, name);
        } else {
            parsed = parseDerKey(data);
            if (parsed == null) {
                throw new ToolError(name + ": not a private key (PKCS#8, PKCS#1 or PKCS#12, PEM or DER)");
            }
        }
        JcaPEMKeyConverter converter = new JcaPEMKeyConverter();
        PrivateKey key;
        try {
            if (parsed instanceof PrivateKeyInfo pki) {
                key = converter.getPrivateKey(pki);
            } else if (parsed instanceof PEMKeyPair pair) {
                key = converter.getPrivateKey(pair.getPrivateKeyInfo());
            } else if (parsed instanceof PEMEncryptedKeyPair enc) {
                PEMKeyPair pair;
                try {
                    pair = enc.decryptKeyPair(new BcPEMDecryptorProvider(password.chars()));
                } catch (Exception e) {
                    throw new ToolError(name + ": the password was refused (or the key is damaged)");
                }
                key = converter.getPrivateKey(pair.getPrivateKeyInfo());
            } else if (parsed instanceof PKCS8EncryptedPrivateKeyInfo enc) {
                key = converter.getPrivateKey(decrypt(enc, name, password.chars()));
            } else {
                throw new ToolError(name + ": not a private key but " + describe(parsed));
            }
        } catch (org.bouncycastle.openssl.PEMException e) {
            throw new ToolError(name + ": not a usable private key (" + e.getMessage() + ")");
        }
        return rsa(key, name);
    }

    /**
     * Encrypted PKCS#8: PBES2 with PBKDF2 or scrypt, and the PKCS#12 schemes,
     * through Bouncy Castle's PKCS decryptor; the PKCS#5 v1 schemes through
     * its OpenSSL one.
     */
    private static PrivateKeyInfo decrypt(PKCS8EncryptedPrivateKeyInfo enc, String name, char[] password)
            throws Exception {
        try {
            return enc.decryptPrivateKeyInfo(
                    new JcePKCSPBEInputDecryptorProviderBuilder().setProvider(bc()).build(password));
        } catch (PKCSException | RuntimeException e) {
            try {
                return enc.decryptPrivateKeyInfo(
                        new JceOpenSSLPKCS8DecryptorProviderBuilder().setProvider(bc()).build(password));
            } catch (PKCSException | RuntimeException e2) {
                throw new ToolError(name + ": the password was refused (or the key is damaged)");
            }
        }
    }

    private static Object parseDerKey(byte[] data) {
        ASN1Primitive p;
        try {
            p = ASN1Primitive.fromByteArray(data);
        } catch (Exception | Error e) {
            return null;
        }
        try {
            return PrivateKeyInfo.getInstance(p);
        } catch (Exception | Error e) {
            // not PKCS#8
        }
        try {
            return new PKCS8EncryptedPrivateKeyInfo(EncryptedPrivateKeyInfo.getInstance(p));
        } catch (Exception | Error e) {
            // not encrypted PKCS#8
        }
        try {
            RSAPrivateKey k = RSAPrivateKey.getInstance(p);
            return new PrivateKeyInfo(
                    new AlgorithmIdentifier(PKCSObjectIdentifiers.rsaEncryption, DERNull.INSTANCE),
                    k);
        } catch (Exception | Error e) {
            return null;
        }
    }

    /** The first PEM object of the file, as Bouncy Castle parses it. */
    static Object readPemObject(byte[] data, String name) throws Exception {
        try (PEMParser parser = new PEMParser(new StringReader(new String(data, StandardCharsets.ISO_8859_1)))) {
            Object o = parser.readObject();
            if (o == null) {
                throw new ToolError(name + ": no PEM object in it");
            }
            return o;
        } catch (IOException e) {
            String m = String.valueOf(e.getMessage());
            if (m.contains("not found")) {
                throw new ToolError(name + ": the PEM block ends early (no END line)");
            }
            throw new ToolError(name + ": not readable PEM (" + m + ")");
        }
    }

    private static String describe(Object o) {
        if (o instanceof X509CertificateHolder) {
            return "a certificate";
        }
        if (o instanceof SubjectPublicKeyInfo) {
            return "a public key";
        }
        return o.getClass().getSimpleName();
    }

    /** Encrypted PKCS#8 PEM: PBES2 with PBKDF2-HMAC-SHA256 and AES-256-CBC, as OpenSSL 3 writes it. */
    static byte[] encryptedPkcs8(PrivateKey key, char[] password) throws Exception {
        OutputEncryptor encryptor = new JceOpenSSLPKCS8EncryptorBuilder(PKCS8Generator.AES_256_CBC)
                .setPRF(PKCS8Generator.PRF_HMACSHA256).setIterationCount(PBKDF2_ITERATIONS).setProvider(bc())
                .setPassword(password).build();
        PemObject pem = new JcaPKCS8Generator(key, encryptor).generate();
        ByteArrayOutputStream bytes = new ByteArrayOutputStream();
        try (PemWriter w = new PemWriter(new java.io.OutputStreamWriter(bytes, StandardCharsets.US_ASCII))) {
            w.writeObject(pem);
        }
        return bytes.toByteArray();
    }

    static final int PBKDF2_ITERATIONS = 100_000;

    /**
     * A PKCS#12 file of one key and its chain (leaf first), the key and the
     * leaf carrying friendlyName (as given, case kept) and localKeyId:
     * PBES2 with PBKDF2-HMAC-SHA256 and AES-256-CBC for both the key and the
     * certificates, and a SHA-256 MAC, as OpenSSL 3 writes it. Built with
     * Bouncy Castle's PKCS#12 builder; the JDK's key store would lower-case
     * the friendly name.
     */
    static byte[] pfx(PrivateKey key, List<X509Certificate> chain, String friendlyName, char[] password)
            throws Exception {
        DEROctetString localKeyId = new DEROctetString(
                java.security.MessageDigest.getInstance("SHA-1").digest(chain.get(0).getEncoded()));
        DERBMPString name = new DERBMPString(friendlyName);
        PKCS12SafeBag[] certBags = new PKCS12SafeBag[chain.size()];
        for (int i = 0; i < chain.size(); i++) {
            JcaPKCS12SafeBagBuilder b = new JcaPKCS12SafeBagBuilder(chain.get(i));
            if (i == 0) {
                b.addBagAttribute(PKCSObjectIdentifiers.pkcs_9_at_friendlyName, name);
                b.addBagAttribute(PKCSObjectIdentifiers.pkcs_9_at_localKeyId, localKeyId);
            }
            certBags[i] = b.build();
        }
        JcaPKCS12SafeBagBuilder keyBag = new JcaPKCS12SafeBagBuilder(key, pbes2(password));
        keyBag.addBagAttribute(PKCSObjectIdentifiers.pkcs_9_at_friendlyName, name);
        keyBag.addBagAttribute(PKCSObjectIdentifiers.pkcs_9_at_localKeyId, localKeyId);
        PKCS12PfxPduBuilder builder = new PKCS12PfxPduBuilder();
        builder.addEncryptedData(pbes2(password), certBags);
        builder.addData(keyBag.build());
        PKCS12PfxPdu pdu = builder.build(new JcePKCS12MacCalculatorBuilder(NISTObjectIdentifiers.id_sha256)
                .setProvider(bc()).setIterationCount(PBKDF2_ITERATIONS), password);
        return pdu.getEncoded(ASN1Encoding.DER);
    }

    private static OutputEncryptor pbes2(char[] password) throws Exception {
        return new JcePKCSPBEOutputEncryptorBuilder(NISTObjectIdentifiers.id_aes256_CBC).setProvider(bc())
                .setPRF(new AlgorithmIdentifier(PKCSObjectIdentifiers.id_hmacWithSHA256, DERNull.INSTANCE))
                .setIterationCount(PBKDF2_ITERATIONS).build(password);
    }

    // ---- certificates and public keys ----------------------------------------

    /**
     * Every certificate of a file: a PEM bundle (each CERTIFICATE block), one
     * DER certificate, or PKCS#7 (DER or PEM), each as its DER encoding.
     */
    static List<byte[]> readCertificates(byte[] data, String name) throws Exception {
        String text = new String(data, StandardCharsets.ISO_8859_1);
        if (FileIO.isPem(data)) {
            int begins = count(text, "-----BEGIN ");
            int ends = count(text, "-----END ");
            if (ends < begins) {
                throw new ToolError(name + ": not a certificate (PEM ends early)");
            }
            if (!text.contains("-----BEGIN CERTIFICATE-----") && !text.contains("-----BEGIN PKCS7-----")
                    && !text.contains("-----BEGIN CMS-----")) {
                throw new ToolError(name + ": holds no certificate (no BEGIN CERTIFICATE or PKCS7 block)");
            }
        }
        Collection<? extends Certificate> certs;
        try {
            certs = CertificateFactory.getInstance("X.509").generateCertificates(new ByteArrayInputStream(data));
        } catch (Exception e) {
            throw new ToolError(name + ": not a certificate, PEM bundle or PKCS#7 file (" + e.getMessage() + ")");
        }
        if (certs.isEmpty()) {
            throw new ToolError(name + ": holds no certificate");
        }
        List<byte[]> out = new ArrayList<>();
        for (Certificate c : certs) {
            out.add(c.getEncoded());
        }
        return out;
    }

    private static int count(String text, String what) {
        int n = 0;
        for (int i = text.indexOf(what); i >= 0; i = text.indexOf(what, i + 1)) {
            n++;
        }
        return n;
    }

    static X509Certificate x509(byte[] der) throws Exception {
        return (X509Certificate) CertificateFactory.getInstance("X.509")
                .generateCertificate(new ByteArrayInputStream(der));
    }

    /**
     * An RSA public key from a file: a certificate (PEM or DER), a
     * SubjectPublicKeyInfo ("PUBLIC KEY", PEM or DER) or PKCS#1 ("RSA PUBLIC KEY").
     */
    static RSAPublicKey readPublicKey(byte[] data, String name) throws Exception {
        PublicKey key;
        if (FileIO.isPem(data)) {
            Object o = readPemObject(data, name);
            if (o instanceof X509CertificateHolder h) {
                key = x509(h.getEncoded()).getPublicKey();
            } else if (o instanceof SubjectPublicKeyInfo spki) {
                key = KeyFactory.getInstance("RSA").generatePublic(new X509EncodedKeySpec(spki.getEncoded()));
            } else {
                throw new ToolError(name + ": not a certificate or public key but " + describe(o));
            }
        } else {
            try {
                key = x509(data).getPublicKey();
            } catch (Exception e) {
                try {
                    key = KeyFactory.getInstance("RSA").generatePublic(new X509EncodedKeySpec(data));
                } catch (Exception e2) {
                    throw new ToolError(name + ": not a certificate or public key (PEM or DER)");
                }
            }
        }
        if (!(key instanceof RSAPublicKey rsa)) {
            throw new ToolError(name + ": not an RSA key (" + key.getAlgorithm() + ")");
        }
        return rsa;
    }
}
