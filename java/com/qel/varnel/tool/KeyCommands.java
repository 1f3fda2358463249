package com.qel.varnel.tool;

import com.qel.varnel.KeyRole;
import com.qel.varnel.Records;
import com.qel.varnel.StoreKind;
import java.math.BigInteger;
import java.nio.charset.StandardCharsets;
import java.security.KeyFactory;
import java.security.interfaces.RSAPrivateCrtKey;
import java.security.spec.RSAPrivateCrtKeySpec;
import java.security.spec.RSAPublicKeySpec;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import picocli.CommandLine.Command;
import picocli.CommandLine.Mixin;
import picocli.CommandLine.Option;
import picocli.CommandLine.Parameters;

/**
 * The key container commands of the tool: genkey, delkey, import, export, sign. A PIN is read
 * from the console without echo (--pin) or from the first line of a file (--pin-file), never from
 * the command line itself.
 */
final class KeyCommands {
    static final long CRYPT_NEWKEYSET = 0x8;

    static final String PIN_TEXT = "A PIN is read from the console without echo (--pin) or from the first line "
            + "of a file (--pin-file F), never from the command line. Only keys of the token provider "
            + "(\"Soft Token RSA Provider\") have PINs.";

    private KeyCommands() {
    }

    // ---- options ---------------------------------------------------------------

    static String pem(String type, byte[] der) {
        return FileIO.pem(type, der);
    }

    // ---- commands ------------------------------------------------------------

    @Command(name = "genkey", header = "a new container with an RSA key pair; its public key as PEM",
            customSynopsis = {"mscapi genkey --container NAME [--provider P] [--spec exchange|signature] [--bits N]",
                "           [--out FILE] [--selfsign SUBJECT [--days N] [--add STORE]]"},
            description = "Key lengths are 512 to 16384 bits in steps of 8 (default 2048). --spec defaults to "
                    + "signature. --selfsign also makes the key's self-signed certificate, as selfsign does: "
                    + "printed as PEM, or added to STORE (in MY bound to the new key).")
    static final class Genkey extends Cmd {
        @Mixin
        Options.Key key = new Options.Key();

        @Option(names = "--bits", paramLabel = "N", description = "The key length in bits (default 2048).")
        String bits;

        @Option(names = "--out", paramLabel = "FILE", description = "Write the public key into FILE.")
        String outFile;

        @Option(names = "--selfsign", paramLabel = "SUBJECT", description = "Also make the key's self-signed "
                + "certificate with this subject (DN as for req).")
        String selfsign;

        @Option(names = "--days", paramLabel = "N", description = "The certificate's lifetime in days (default 365).")
        String days;

        @Option(names = "--add", paramLabel = "STORE", completionCandidates = Options.Stores.class,
                description = "Add the certificate to STORE instead of printing it.")
        String addTo;

        @Override
        public Integer call() throws Exception {
            String container = key.container();
            int keySpec = key.keySpec();
            CertLife.Selfsign certificate = null;
            if (selfsign != null) {
                // Every argument of the certificate is checked before the key is made.
                certificate = new CertLife.Selfsign();
                certificate.out = out;
                certificate.err = err;
                certificate.key.key.container = container;
                certificate.key.key.provider = key.provider;
                certificate.key.key.spec = key.spec;
                certificate.subject = selfsign;
                certificate.days = days != null ? days : "365";
                certificate.addTo = addTo;
                CertLife.subject(certificate.subject);
                CertLife.days(certificate.days);
                if (addTo != null) {
                    Stores.storeKind(addTo);
                }
            } else if (days != null || addTo != null) {
                throw ToolError.usage("--days and --add go with --selfsign SUBJECT");
            }
            int length;
            try {
                length = bits == null ? 2048 : Integer.parseInt(bits);
            } catch (NumberFormatException e) {
                throw ToolError.usage("not a key length: " + bits);
            }
            BigInteger[] ne;
            try {
                ne = Native.generateKeyPair(key.provider, container, keySpec, length);
            } catch (Native.LibraryException failed) {
                // The library leaves a container it made when the key fails
                // (a token's PIN prompt that fails, say); genkey does not.
                long end = Trace.mark();
                if (madeContainer(failed)) {
                    removeQuietly(key.provider, container);
                }
                throw new Native.LibraryException(failed, end);
            }
            try {
                byte[] der = KeyFactory.getInstance("RSA").generatePublic(new RSAPublicKeySpec(ne[0], ne[1]))
                        .getEncoded();
                FileIO.emit(out, outFile, pem("PUBLIC KEY", der));
                return certificate == null ? Exit.OK : certificate.call();
            } catch (Exception failed) {
                // Made by this command, and the command failed: removed again.
                long end = Trace.mark();
                removeQuietly(key.provider, container);
                throw failed instanceof Native.LibraryException l ? new Native.LibraryException(l, end) : failed;
            }
        }

        /** Whether the failed call made the container: its CRYPT_NEWKEYSET acquisition succeeded. */
        private static boolean madeContainer(Native.LibraryException failed) {
            Trace trace = Trace.ofThisRun();
            if (trace == null) {
                return false;  // without the trace it cannot be told: the container is left as it is
            }
            for (Trace.Line l : trace.callsSince(failed.traceMark)) {
                long flags = l.number("flags");
                if (l.call().equals("CryptAcquireContextA") && l.ok() && flags >= 0 && (flags & CRYPT_NEWKEYSET) != 0) {
                    return true;
                }
            }
            return false;
        }

        private static void removeQuietly(String provider, String container) {
            try {
                Native.deleteKeyPair(provider, container);
            } catch (Exception ignored) {
                // the command's own failure is what is reported
            }
        }
    }

    @Command(name = "delkey", header = "delete a key container",
            customSynopsis = "mscapi delkey --container NAME [--provider P] [--with-certs]",
            description = "Refused while certificates in MY are bound to the container, unless --with-certs "
                    + "deletes them too.")
    static final class Delkey extends Cmd {
        @Option(names = "--container", paramLabel = "NAME", description = "The key container.")
        String container;

        @Option(names = "--provider", paramLabel = "P", description = "The provider (default: the machine's "
                + "default RSA provider).")
        String provider;

        @Option(names = "--with-certs", description = "Delete the certificates of MY bound to the container too.")
        boolean withCerts;

        @Override
        public Integer call() throws Exception {
            if (container == null) {
                throw ToolError.usage("--container NAME is needed");
            }
            // A certificate of "MY" bound to a container that is gone could no
            // longer sign: delete such certificates with their key, or not at all.
            KeyRef key = new KeyRef(provider, container, KeyRole.SIGNATURE.code, null);
            String family = key.providerOrDefault();
            List<Records.Cert> bound = new ArrayList<>();
            List<Records.Cert> all = Native.certs(StoreKind.MY);
            // A token's certificates reach MY bound to the container's full
            // name (\\.\<token>\<name>), which a plain name also opens.
            KeyRef full = all.isEmpty() ? null : tokenName(family, container);
            for (Records.Cert c : all) {
                if (key.binds(c, family) || (full != null && full.binds(c, family))) {
                    bound.add(c);
                }
            }
            if (!bound.isEmpty() && !withCerts) {
                StringBuilder which = new StringBuilder();
                for (Records.Cert c : bound) {
                    which.append("\n  SHA-1 ").append(Text.sha1(c.encoded()));
                }
                throw new ToolError(bound.size() + " certificate(s) in MY are bound to container " + Text.quoted(container)
                        + "; give --with-certs to delete them with it:" + which);
            }
            for (Records.Cert c : bound) {
                Native.deleteCertFromStore(c.serial(), c.issuer(), StoreKind.MY);
                out.println("deleted certificate SHA-1 " + Text.sha1(c.encoded()) + " from MY");
            }
            Native.deleteKeyPair(provider, container);
            out.println("deleted container " + Text.quoted(container));
            return Exit.OK;
        }
    }

    /**
     * The token container a plain name opens, by its full name: the first of
     * the provider's key pairs (listed token by token in slot order, as a
     * plain name is resolved) named \\.\<token>\NAME; null when none is.
     */
    static KeyRef tokenName(String family, String container) throws Exception {
        if (container.startsWith("\\\\.\\")) {
            return null;  // a full name already
        }
        for (Records.KeyPair k : Native.keyPairs()) {
            String name = k.container();
            int slash = name.startsWith("\\\\.\\") ? name.indexOf('\\', 4) : -1;
            if (slash > 0 && KeyRef.sameFamily(k.provider(), family)
                    && KeyRef.sameName(name.substring(slash + 1), container)) {
                return new KeyRef(k.provider(), name, KeyRole.SIGNATURE.code, null);
            }
        }
        return null;
    }

    @Command(name = "import", header = "an RSA private key into a new container",
            customSynopsis = {"mscapi import FILE --container NAME [--provider P] [--spec S] [--pin | --pin-file F]",
                "           [--password-file F] [--alias A] [--exportable]"},
            description = "FILE is PKCS#8 (plain or encrypted), PKCS#1 (also legacy-encrypted PEM) or PKCS#12 "
                    + "(.p12/.pfx); a password is asked without echo or read from --password-file. On a PKCS#11 "
                    + "token the key is created sensitive and not extractable unless --exportable. " + PIN_TEXT)
    static final class Import extends Cmd {
        @Parameters(index = "0", paramLabel = "FILE", description = "The key file.")
        String file;

        @Mixin
        Options.Key key = new Options.Key();

        @Mixin
        Options.Pin pin = new Options.Pin();

        @Mixin
        Options.Password password = new Options.Password();

        @Option(names = "--alias", paramLabel = "A", description = "The key of a PKCS#12 file that holds several.")
        String alias;

        @Option(names = "--exportable", description = Options.EXPORTABLE_TEXT)
        boolean exportable;

        @Override
        public Integer call() throws Exception {
            String container = key.container();
            int keySpec = key.keySpec();
            byte[] pinBytes = pin.bytes();
            try (Secret secret = password.secret("password of the key file")) {
                RSAPrivateCrtKey k = Formats.readPrivateKey(FileIO.read(file), file, secret, alias);
                String provider = key.provider != null ? key.provider : Stores.defaultProvider();
                if (TokenImport.isPkcs11(provider)) {
                    TokenImport.Stored stored = TokenImport.store(provider, container, keySpec, k, null, pinBytes,
                            exportable);
                    out.println("imported a " + k.getModulus().bitLength() + "-bit key onto the token, container "
                            + Text.quoted(stored.container()) + " (" + KeyRole.describe(keySpec) + ", "
                            + (stored.exportable() ? "exportable" : "sensitive, not extractable") + ")");
                    return Exit.OK;
                }
                Native.importKey(key.provider, container, keySpec, k, pinBytes);
                out.println("imported a " + k.getModulus().bitLength() + "-bit key into container " + Text.quoted(container)
                        + " (" + KeyRole.describe(keySpec) + ")");
            } finally {
                Secret.wipe(pinBytes);
            }
            return Exit.OK;
        }
    }

    /** The private key of an exportable stored key, from getPrivateKey's PrivateKeyBytes. */
    static RSAPrivateCrtKey load(String provider, String container, int keySpec, byte[] pin) throws Exception {
        byte[] b = Native.getPrivateKey(provider, container, keySpec, pin);
        try {
            int h = (b.length - 4) / 9;
            BigInteger[] f = new BigInteger[8];
            int[][] fields = {{0, 2 * h}, {2 * h, 4}, {2 * h + 4, 2 * h}, {4 * h + 4, h}, {5 * h + 4, h},
                {6 * h + 4, h}, {7 * h + 4, h}, {8 * h + 4, h}};
            for (int i = 0; i < 8; i++) {
                byte[] part = Arrays.copyOfRange(b, fields[i][0], fields[i][0] + fields[i][1]);
                f[i] = new BigInteger(1, part);
                Arrays.fill(part, (byte) 0);
            }
            return (RSAPrivateCrtKey) KeyFactory.getInstance("RSA")
                    .generatePrivate(new RSAPrivateCrtKeySpec(f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7]));
        } finally {
            Arrays.fill(b, (byte) 0);
        }
    }

    @Command(name = "export", header = "the private key as encrypted PKCS#8 PEM (exportable keys only)",
            customSynopsis = {"mscapi export --container NAME [--provider P] [--spec S] [--pin | --pin-file F]",
                "           [--unencrypted | --password-file F] [--out FILE [--force]]"},
            description = "Encrypted with AES-256 and PBKDF2; plain PKCS#8 only with --unencrypted. FILE is created "
                    + "with mode 0600 and must not exist, unless --force. " + PIN_TEXT)
    static final class Export extends Cmd {
        @Mixin
        Options.Key key = new Options.Key();

        @Mixin
        Options.Pin pin = new Options.Pin();

        @Mixin
        Options.Password password = new Options.Password();

        @Option(names = "--out", paramLabel = "FILE", description = "Write the key into FILE (mode 0600).")
        String outFile;

        @Option(names = "--force", description = "Replace FILE when it exists.")
        boolean force;

        @Option(names = "--unencrypted", description = "Write plain PKCS#8, not encrypted.")
        boolean unencrypted;

        @Override
        public Integer call() throws Exception {
            String container = key.container();
            int keySpec = key.keySpec();
            if (unencrypted && password.file != null) {
                throw ToolError.usage("--unencrypted and --password-file exclude each other");
            }
            byte[] pinBytes = pin.bytes();
            try (Secret secret = password.secret("password for the exported key")) {
                RSAPrivateCrtKey k = load(key.provider, container, keySpec, pinBytes);
                byte[] text = unencrypted ? pem("PRIVATE KEY", k.getEncoded()).getBytes(StandardCharsets.US_ASCII)
                        : Formats.encryptedPkcs8(k, secret.confirmed());
                try {
                    if (outFile != null) {
                        FileIO.writePrivate(outFile, text, force);
                    } else {
                        out.write(text);
                        out.flush();
                    }
                } finally {
                    Arrays.fill(text, (byte) 0);
                }
            } finally {
                Secret.wipe(pinBytes);
            }
            return Exit.OK;
        }
    }
}
