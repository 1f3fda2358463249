package com.qel.varnel.tool;

import com.qel.varnel.KeyRole;
import com.qel.varnel.Records;
import com.qel.varnel.StoreKind;
import java.io.OutputStream;
import java.math.BigInteger;
import java.security.DigestOutputStream;
import java.security.MessageDigest;
import java.security.SecureRandom;
import java.security.cert.X509Certificate;
import java.security.interfaces.RSAPublicKey;
import java.time.Duration;
import java.time.Instant;
import java.util.Date;
import java.util.HexFormat;
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
import picocli.CommandLine.Command;
import picocli.CommandLine.Mixin;
import picocli.CommandLine.Option;

/**
 * A certificate's life for a stored key: a PKCS#10 request (req) or a
 * self-signed certificate (selfsign), both signed by the library through a
 * Bouncy Castle ContentSigner and checked against the key before they are
 * handed out.
 */
final class CertLife {
    private CertLife() {
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
            this.digest = MessageDigest.getInstance(Options.jdkDigest(hash));
            this.algorithm = new DefaultSignatureAlgorithmIdentifierFinder()
                    .find(Options.jdkDigest(hash).replace("-", "") + "withRSA");
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
                return pin == null ? Native.sign(provider, container, spec, h, Options.hashAlg(hash))
                        : Native.verifyAndSign(provider, container, spec, h, Options.hashAlg(hash), pin);
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
    static X500Name subject(String dn) throws ToolError {
        if (dn == null) {
            throw ToolError.usage("--subject DN is needed, e.g. --subject \"CN=Alice,O=Example\"");
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
            throw ToolError.usage("not a distinguished name: --subject " + dn + " (" + e.getMessage() + ")");
        }
    }

    /**
     * A self-signed X.509 v3 certificate for the key, its signature made by
     * the library; the JDK checks it against the key before it is returned.
     */
    static X509Certificate selfSigned(KeyRef key, RSAPublicKey publicKey, X500Name subject, int days, String hash,
            byte[] pin, org.bouncycastle.asn1.x509.KeyPurposeId... extendedKeyUsage) throws Exception {
        Instant now = Instant.now();
        BigInteger serial = new BigInteger(64, new SecureRandom()).setBit(62).clearBit(63);
        X509v3CertificateBuilder builder = new JcaX509v3CertificateBuilder(subject, serial,
                Date.from(now.minus(Duration.ofMinutes(5))), Date.from(now.plus(Duration.ofDays(days))), subject,
                publicKey);
        JcaX509ExtensionUtils ext = new JcaX509ExtensionUtils();
        builder.addExtension(Extension.basicConstraints, true, new BasicConstraints(false));
        builder.addExtension(Extension.keyUsage, true, new KeyUsage(key.spec() == KeyRole.EXCHANGE.code
                ? KeyUsage.digitalSignature | KeyUsage.keyEncipherment : KeyUsage.digitalSignature));
        builder.addExtension(Extension.subjectKeyIdentifier, false, ext.createSubjectKeyIdentifier(publicKey));
        if (extendedKeyUsage.length > 0) {
            builder.addExtension(Extension.extendedKeyUsage, false,
                    new org.bouncycastle.asn1.x509.ExtendedKeyUsage(extendedKeyUsage));
        }
        LibrarySigner signer = new LibrarySigner(key.provider(), key.container(), key.spec(), pin, hash);
        byte[] der = signing(() -> builder.build(signer).getEncoded());
        X509Certificate cert = Formats.x509(der);
        try {
            cert.verify(publicKey);
        } catch (java.security.SignatureException e) {
            throw new ToolError("the library's signature does not match the key's public key");
        }
        return cert;
    }

    static int days(String text) throws ToolError {
        if (text == null) {
            throw ToolError.usage("--days N is needed (the certificate's lifetime in days)");
        }
        try {
            int d = Integer.parseInt(text);
            if (d >= 1 && d <= 365 * 100) {
                return d;
            }
        } catch (NumberFormatException e) {
            // below
        }
        throw ToolError.usage("--days is a number of days from 1 to 36500, not " + text);
    }

    // ---- commands ------------------------------------------------------------

    @Command(name = "req", header = "a PKCS#10 certificate request (PEM) for a stored key",
            customSynopsis = {"mscapi req (--container NAME [--provider P] [--spec S] | --thumbprint HEX) --subject DN",
                "           [--hash H] [--pin | --pin-file F] [--out FILE]"},
            description = "DN is \"CN=x,O=y,C=z\" (RFC 4514) or \"/C=z/O=y/CN=x\" (OpenSSL's order). The library "
                    + "makes the signature.")
    static final class Req extends Cmd {
        @Mixin
        Options.KeyChoice key = new Options.KeyChoice();

        @Option(names = "--subject", paramLabel = "DN", description = "The subject's distinguished name.")
        String subject;

        @Mixin
        Options.Hash hash = new Options.Hash();

        @Mixin
        Options.Pin pin = new Options.Pin();

        @Option(names = "--out", paramLabel = "FILE", description = "Write the request into FILE.")
        String outFile;

        @Override
        public Integer call() throws Exception {
            KeyRef ref = key.resolve();
            X500Name name = subject(subject);
            String h = certHash(hash);
            byte[] pinBytes = pin.bytes();
            try {
                RSAPublicKey publicKey = ref.publicKey();
                LibrarySigner signer = new LibrarySigner(ref.provider(), ref.container(), ref.spec(), pinBytes, h);
                PKCS10CertificationRequest csr =
                        signing(() -> new JcaPKCS10CertificationRequestBuilder(name, publicKey).build(signer));
                if (!csr.isSignatureValid(new JcaContentVerifierProviderBuilder().build(publicKey))) {
                    throw new ToolError("the library's signature does not match the key's public key");
                }
                FileIO.emit(out, outFile, FileIO.pem("CERTIFICATE REQUEST", csr.getEncoded()));
            } finally {
                Secret.wipe(pinBytes);
            }
            return Exit.OK;
        }
    }

    @Command(name = "selfsign", header = "a self-signed certificate (PEM) for a stored key",
            customSynopsis = {"mscapi selfsign --container NAME [--provider P] [--spec S] --subject DN --days N",
                "           [--hash H] [--pin | --pin-file F] [--out FILE] [--add STORE [--friendly-name N]]"},
            description = "--add puts it into STORE (in MY bound to the key). DN as for req.")
    static final class Selfsign extends Cmd {
        @Mixin
        Options.KeyChoice key = new Options.KeyChoice();

        @Option(names = "--subject", paramLabel = "DN", description = "The subject's (and issuer's) "
                + "distinguished name.")
        String subject;

        @Option(names = "--days", paramLabel = "N", description = "The certificate's lifetime in days.")
        String days;

        @Mixin
        Options.Hash hash = new Options.Hash();

        @Mixin
        Options.Pin pin = new Options.Pin();

        @Option(names = "--out", paramLabel = "FILE", description = "Write the certificate into FILE.")
        String outFile;

        @Option(names = "--add", paramLabel = "STORE", completionCandidates = Options.Stores.class,
                description = "Add the certificate to STORE.")
        String addTo;

        @Option(names = "--friendly-name", paramLabel = "N", description = "The friendly name in STORE.")
        String friendly;

        @Override
        public Integer call() throws Exception {
            KeyRef ref = key.resolve();
            X500Name name = subject(subject);
            int lifetime = days(days);
            String h = certHash(hash);
            StoreKind kind = addTo == null ? null : Stores.storeKind(addTo);
            if (friendly != null && addTo == null) {
                throw ToolError.usage("--friendly-name goes with --add STORE");
            }
            byte[] pinBytes = pin.bytes();
            try {
                X509Certificate cert = selfSigned(ref, ref.publicKey(), name, lifetime, h, pinBytes);
                byte[] der = cert.getEncoded();
                if (outFile != null || addTo == null) {
                    FileIO.emit(out, outFile, FileIO.pem("CERTIFICATE", der));
                }
                if (addTo != null) {
                    String provider = kind == StoreKind.MY ? ref.providerOrDefault() : null;
                    String container = kind == StoreKind.MY ? ref.container() : null;
                    Records.CertId id = Native.addCertToStore(der, provider, container, ref.spec(), friendly, kind);
                    if (id == null) {
                        throw new ToolError("the store " + addTo + " refused the certificate");
                    }
                    out.println("added to " + addTo + ", SHA-1 " + Text.sha1(der)
                            + (kind == StoreKind.MY ? ", bound to " + ref.describe() : ""));
                }
            } finally {
                Secret.wipe(pinBytes);
            }
            return Exit.OK;
        }
    }

    /** The hash of a signature inside a certificate or request: SHA-1 or SHA-2, never MD5. */
    static String certHash(Options.Hash option) throws ToolError {
        String hash = option.name();
        if (hash.equals("md5")) {
            throw ToolError.usage("--hash md5 is not offered for certificates and requests");
        }
        return hash;
    }

    static String hex(byte[] b) {
        return HexFormat.of().formatHex(b);
    }
}
