package com.qel.varnel.tool;

import java.io.OutputStream;
import java.io.PrintStream;
import java.math.BigInteger;
import java.nio.charset.StandardCharsets;
import java.security.DigestOutputStream;
import java.security.MessageDigest;
import java.security.SecureRandom;
import java.security.cert.X509Certificate;
import java.security.interfaces.RSAPublicKey;
import java.time.Duration;
import java.time.Instant;
import java.util.Date;
import java.util.HexFormat;
import java.util.List;
import javax.security.auth.x500.X500Principal;
import org.bouncycastle.asn1.ASN1ObjectIdentifier;
import org.bouncycastle.asn1.x500.X500Name;
import org.bouncycastle.asn1.x500.X500NameBuilder;
import org.bouncycastle.asn1.x500.style.BCStyle;
import org.bouncycastle.asn1.x509.AlgorithmIdentifier;
import org.bouncycastle.asn1.x509.BasicConstraints;
import org.bouncycastle.asn1.x509.Extension;
import org.bouncycastle.asn1.x509.KeyUsage;
import org.bouncycastle.cert.X509v3CertificateBuilder;
import org.bouncycastle.cert.jcajce.JcaX509ExtensionUtils;
import org.bouncycastle.cert.jcajce.JcaX509v3CertificateBuilder;
import org.bouncycastle.operator.ContentSigner;
import org.bouncycastle.operator.DefaultSignatureAlgorithmIdentifierFinder;
import org.bouncycastle.operator.jcajce.JcaContentVerifierProviderBuilder;
import org.bouncycastle.pkcs.PKCS10CertificationRequest;
import org.bouncycastle.pkcs.jcajce.JcaPKCS10CertificationRequestBuilder;

/**
 * A certificate's life for a stored key: a PKCS#10 request (req) or a
 * self-signed certificate (selfsign), both signed by the library through a
 * Bouncy Castle ContentSigner and checked against the key before they are
 * handed out.
 */
final class CertLife {
    private final PrintStream out;

    CertLife(PrintStream out) {
        this.out = out;
    }

    /** Signs what Bouncy Castle writes into it: the hash is made here, the signature by the library. */
    static final class LibrarySigner implements ContentSigner {
        private final String provider;
        private final String container;
        private final int spec;
        private final byte[] pin;
        private final String hash;
        private final MessageDigest digest;
        private final AlgorithmIdentifier algorithm;

        LibrarySigner(String provider, String container, int spec, byte[] pin, String hash) throws Exception {
            this.provider = provider;
            this.container = container;
            this.spec = spec;
            this.pin = pin;
            this.hash = hash;
            this.digest = MessageDigest.getInstance(KeyCommands.jdkDigest(hash));
            this.algorithm = new DefaultSignatureAlgorithmIdentifierFinder()
                    .find(KeyCommands.jdkDigest(hash).replace("-", "") + "withRSA");
        }

        @Override
        public AlgorithmIdentifier getAlgorithmIdentifier() {
            return algorithm;
        }

        @Override
        public OutputStream getOutputStream() {
            return new DigestOutputStream(OutputStream.nullOutputStream(), digest);
        }

        @Override
        public byte[] getSignature() {
            byte[] h = digest.digest();
            try {
                return pin == null ? Native.sign(provider, container, spec, h, KeyCommands.algId(hash))
                        : Native.verifyAndSign(provider, container, spec, h, KeyCommands.algId(hash), pin);
            } catch (Exception e) {
                throw new SigningFailed(e);
            }
        }
    }

    /** Carries the library's exception through Bouncy Castle's signer interface. */
    static final class SigningFailed extends RuntimeException {
        private static final long serialVersionUID = 1L;

        SigningFailed(Exception cause) {
            super(cause.getMessage(), cause);
        }
    }

    /** Runs a build that signs through a LibrarySigner, giving back the library's own exception. */
    interface Build<T> {
        T run() throws Exception;
    }

    static <T> T signing(Build<T> build) throws Exception {
        try {
            return build.run();
        } catch (SigningFailed e) {
            throw (Exception) e.getCause();
        } catch (RuntimeException e) {
            if (e.getCause() instanceof SigningFailed s) {
                throw (Exception) s.getCause();
            }
            throw e;
        }
    }

    /** A distinguished name in RFC 4514 form ("CN=a,O=b") or OpenSSL's ("/O=b/CN=a"). */
    static X500Name subject(String dn) throws Main.UsageException {
        if (dn == null) {
            throw new Main.UsageException("--subject DN is needed, e.g. --subject \"CN=Alice,O=Example\"");
        }
        try {
            if (dn.startsWith("/")) {
                X500NameBuilder b = new X500NameBuilder(BCStyle.INSTANCE);
                for (String part : dn.substring(1).split("(?<!\\\\)/")) {
                    int eq = part.indexOf('=');
                    if (eq <= 0) {
                        throw new IllegalArgumentException("no TYPE=value in \"" + part + "\"");
                    }
                    ASN1ObjectIdentifier oid = BCStyle.INSTANCE.attrNameToOID(part.substring(0, eq).trim());
                    b.addRDN(oid, part.substring(eq + 1).replace("\\/", "/"));
                }
                return b.build();
            }
            X500Name name = X500Name.getInstance(new X500Principal(dn).getEncoded());
            if (name.getRDNs().length == 0) {
                throw new IllegalArgumentException("empty");
            }
            return name;
        } catch (IllegalArgumentException e) {
            throw new Main.UsageException("not a distinguished name: --subject " + dn + " (" + e.getMessage() + ")");
        }
    }

    /**
     * A self-signed X.509 v3 certificate for the key, its signature made by
     * the library; the JDK checks it against the key before it is returned.
     */
    static X509Certificate selfSigned(KeyRef key, RSAPublicKey publicKey, X500Name subject, int days, String hash,
            byte[] pin) throws Exception {
        Instant now = Instant.now();
        BigInteger serial = new BigInteger(64, new SecureRandom()).setBit(62).clearBit(63);
        X509v3CertificateBuilder builder = new JcaX509v3CertificateBuilder(subject, serial,
                Date.from(now.minus(Duration.ofMinutes(5))), Date.from(now.plus(Duration.ofDays(days))), subject,
                publicKey);
        JcaX509ExtensionUtils ext = new JcaX509ExtensionUtils();
        builder.addExtension(Extension.basicConstraints, true, new BasicConstraints(false));
        builder.addExtension(Extension.keyUsage, true, new KeyUsage(key.spec() == KeyCommands.AT_KEYEXCHANGE
                ? KeyUsage.digitalSignature | KeyUsage.keyEncipherment : KeyUsage.digitalSignature));
        builder.addExtension(Extension.subjectKeyIdentifier, false, ext.createSubjectKeyIdentifier(publicKey));
        LibrarySigner signer = new LibrarySigner(key.provider(), key.container(), key.spec(), pin, hash);
        byte[] der = signing(() -> builder.build(signer).getEncoded());
        X509Certificate cert = Formats.x509(der);
        try {
            cert.verify(publicKey);
        } catch (java.security.SignatureException e) {
            throw new Exception("the library's signature does not match the key's public key");
        }
        return cert;
    }

    static int days(String text) throws Main.UsageException {
        if (text == null) {
            throw new Main.UsageException("--days N is needed (the certificate's lifetime in days)");
        }
        try {
            int d = Integer.parseInt(text);
            if (d >= 1 && d <= 365 * 100) {
                return d;
            }
        } catch (NumberFormatException e) {
            // below
        }
        throw new Main.UsageException("--days is a number of days from 1 to 36500, not " + text);
    }

    // ---- commands ------------------------------------------------------------

    int req(List<String> args) throws Exception {
        KeyRef key = KeyRef.fromArgs(args);
        X500Name subject = subject(Main.option(args, "--subject"));
        String hash = certHash(args);
        byte[] pin = KeyCommands.pin(args);
        String outFile = Main.option(args, "--out");
        Main.noMore(args);
        try {
            RSAPublicKey publicKey = key.publicKey();
            LibrarySigner signer = new LibrarySigner(key.provider(), key.container(), key.spec(), pin, hash);
            PKCS10CertificationRequest csr =
                    signing(() -> new JcaPKCS10CertificationRequestBuilder(subject, publicKey).build(signer));
            if (!csr.isSignatureValid(new JcaContentVerifierProviderBuilder().build(publicKey))) {
                throw new Exception("the library's signature does not match the key's public key");
            }
            emit(outFile, FileIO.pem("CERTIFICATE REQUEST", csr.getEncoded()));
        } finally {
            KeyCommands.wipe(pin);
        }
        return Main.OK;
    }

    int selfsign(List<String> args) throws Exception {
        KeyRef key = KeyRef.fromArgs(args);
        X500Name subject = subject(Main.option(args, "--subject"));
        int days = days(Main.option(args, "--days"));
        String hash = certHash(args);
        byte[] pin = KeyCommands.pin(args);
        String outFile = Main.option(args, "--out");
        String addTo = Main.option(args, "--add");
        String friendly = Main.option(args, "--friendly-name");
        Main.noMore(args);
        int kind = addTo == null ? 0 : CertCommands.storeKind(addTo);
        if (friendly != null && addTo == null) {
            throw new Main.UsageException("--friendly-name goes with --add STORE");
        }
        try {
            X509Certificate cert = selfSigned(key, key.publicKey(), subject, days, hash, pin);
            byte[] der = cert.getEncoded();
            if (outFile != null || addTo == null) {
                emit(outFile, FileIO.pem("CERTIFICATE", der));
            }
            if (addTo != null) {
                String provider = kind == KeyRef.STORE_MY ? key.providerOrDefault() : null;
                String container = kind == KeyRef.STORE_MY ? key.container() : null;
                byte[] id = Native.addCertToStore(der, provider, container, key.spec(), friendly, kind);
                if (id == null) {
                    throw new Exception("the store " + addTo + " refused the certificate");
                }
                out.println("added to " + addTo + ", SHA-1 " + CertCommands.sha1(der)
                        + (kind == KeyRef.STORE_MY ? ", bound to " + key.describe() : ""));
            }
        } finally {
            KeyCommands.wipe(pin);
        }
        return Main.OK;
    }

    /** The hash of a signature inside a certificate or request: SHA-1 or SHA-2, never MD5. */
    static String certHash(List<String> args) throws Main.UsageException {
        String hash = StreamSign.hashOption(args);
        if (hash.equals("md5")) {
            throw new Main.UsageException("--hash md5 is not offered for certificates and requests");
        }
        return hash;
    }

    private void emit(String outFile, String text) throws Exception {
        if (outFile != null) {
            FileIO.writePublic(outFile, text.getBytes(StandardCharsets.US_ASCII));
        } else {
            out.print(text);
        }
    }

    static String hex(byte[] b) {
        return HexFormat.of().formatHex(b);
    }
}
