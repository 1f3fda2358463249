package com.qel.varnel.tool;

import com.qel.varnel.KeyRole;
import com.qel.varnel.Records;
import com.qel.varnel.StoreKind;
import java.nio.charset.StandardCharsets;
import java.nio.file.Path;
import java.security.cert.X509Certificate;
import java.security.interfaces.RSAPublicKey;
import java.util.ArrayList;
import java.util.HexFormat;
import java.util.List;
import java.util.Locale;
import picocli.CommandLine.Command;
import picocli.CommandLine.Mixin;
import picocli.CommandLine.Option;
import picocli.CommandLine.Parameters;

/**
 * The certificate store commands of the tool: certs, addcert, delcert, name
 * and describe. STORE is MY, ROOT, CA, AddressBook or Varnel.
 */
final class CertCommands {
    private CertCommands() {
    }

    // ---- Helpers ------------------------------------------------------------

    /** The first certificate of a file (DER, PEM or PKCS#7). */
    static byte[] readCertificate(Path file) throws Exception {
        return Formats.readCertificates(FileIO.read(file.toString()), file.toString()).get(0);
    }

    static final String KEY_TEXT = "KEY names the certificate: --thumbprint HEX (its SHA-1, as certs shows it), "
            + "or --serial HEX --issuer-of FILE (FILE is the certificate itself: its issuer name is the key).";

    /** The certificate to act on: serial and issuer, or a thumbprint from the listing. */
    static final class CertKey {
        @Option(names = "--thumbprint", paramLabel = "HEX", description = "The certificate's SHA-1 thumbprint.")
        String thumbprint;

        @Option(names = "--serial", paramLabel = "HEX", description = "The certificate's serial number.")
        String serial;

        @Option(names = "--issuer-of", paramLabel = "FILE", description = "The certificate itself (its issuer's "
                + "name is the key).")
        String issuerOf;

        /** The lookup key: the serial (least significant byte first) and the issuer's encoded name. */
        byte[][] find(StoreKind kind) throws Exception {
            if (thumbprint != null && serial == null && issuerOf == null) {
                String want = thumbprint.replace(":", "").toUpperCase(Locale.ROOT);
                for (Records.Cert e : Stores.list(kind)) {
                    if (Text.sha1(e.encoded()).equals(want)) {
                        return new byte[][] {e.serial(), e.issuer()};
                    }
                }
                throw new ToolError("no certificate with that thumbprint in the listing");
            }
            if (serial == null || issuerOf == null || thumbprint != null) {
                throw ToolError.usage("give --serial HEX --issuer-of FILE, or --thumbprint HEX");
            }
            byte[] be;
            try {
                String hex = serial.replace(":", "");
                be = HexFormat.of().parseHex(hex.length() % 2 == 0 ? hex : "0" + hex);
            } catch (IllegalArgumentException e) {
                throw ToolError.usage("not a hex serial number: " + serial);
            }
            X509Certificate issuerCert = Formats.x509(readCertificate(Path.of(issuerOf)));
            // The certificate named by --issuer-of is the one to find: its issuer is the key.
            return new byte[][] {Text.reversed(be), issuerCert.getIssuerX500Principal().getEncoded()};
        }
    }

    // ---- Commands -----------------------------------------------------------

    @Command(name = "addcert", header = "add every certificate of a PEM bundle, DER or PKCS#7 file",
            customSynopsis = {"mscapi addcert STORE FILE [--friendly-name N] [--provider P] [--container C]",
                "           [--spec S] [--force]"},
            description = "Says how many were added and which were already present. In MY each certificate is "
                    + "bound to the stored key with its public key (found, or checked against --container); --force "
                    + "binds without a matching key. " + Stores.STORE_TEXT)
    static final class Addcert extends Cmd {
        @Parameters(index = "0", paramLabel = "STORE", completionCandidates = Options.Stores.class,
                description = "The store.")
        String store;

        @Parameters(index = "1", paramLabel = "FILE", description = "The certificates: PEM, DER or PKCS#7.")
        String file;

        @Option(names = "--friendly-name", paramLabel = "N", description = "The friendly name of each.")
        String friendly;

        @Option(names = "--provider", paramLabel = "P", description = "The provider of the key (MY).")
        String provider;

        @Option(names = "--container", paramLabel = "C", description = "The container of the key (MY).")
        String container;

        @Option(names = "--spec", paramLabel = "S", completionCandidates = Options.Specs.class,
                description = "The key's spec (MY): exchange or signature.")
        String spec;

        @Option(names = "--force", description = "Bind without a matching key (MY).")
        boolean force;

        @Override
        public Integer call() throws Exception {
            StoreKind kind = Stores.storeKind(store);
            Integer keySpec = null;
            if (spec != null) {
                keySpec = switch (spec) {
                    case "1", "exchange" -> KeyRole.EXCHANGE.code;
                    case "2", "signature" -> KeyRole.SIGNATURE.code;
                    default -> throw ToolError.usage("--spec is exchange (1) or signature (2), not " + spec);
                };
            }
            if (kind != StoreKind.MY && (provider != null || container != null || keySpec != null)) {
                throw ToolError.usage("--provider, --container and --spec bind certificates of MY only");
            }
            List<byte[]> certs = Formats.readCertificates(FileIO.read(file), file);
            // Every binding is settled before anything is added: a bundle goes in whole or not at all.
            List<Binding> bindings = new ArrayList<>();
            for (byte[] der : certs) {
                bindings.add(kind == StoreKind.MY ? binding(Formats.x509(der), provider, container, keySpec, force) : null);
            }
            java.util.Set<String> before = new java.util.HashSet<>();
            for (Records.Cert e : Stores.list(kind)) {
                before.add(Text.sha1(e.encoded()));
            }
            int added = 0;
            int failed = 0;
            for (int i = 0; i < certs.size(); i++) {
                byte[] der = certs.get(i);
                Binding b = bindings.get(i);
                String what = "SHA-1 " + Text.sha1(der) + " (" + Formats.x509(der).getSubjectX500Principal().getName() + ")";
                if (before.contains(Text.sha1(der))) {
                    out.println("already present: " + what);
                    continue;
                }
                Records.CertId id = b == null ? Native.addCertToStore(der, null, null, 0, friendly, kind)
                        : Native.addCertToStore(der, b.provider(), b.container(), b.spec(), friendly, kind);
                if (id == null) {
                    failed++;
                    out.println("not added: " + what + (kind == StoreKind.MY
                            ? ": the store refused it (it may be there already without a key binding)"
                            : ": the store refused it"));
                    continue;
                }
                added++;
                warnExpired(err, der);
                out.println("added: " + what + (b == null ? ""
                        : ", bound to container " + Text.quoted(b.container()) + " of \"" + b.provider() + "\" ("
                                + KeyRole.describe(b.spec()) + ")" + (b.warning() == null ? "" : "; " + b.warning())));
            }
            out.println(added + " added, " + (certs.size() - added - failed) + " already present"
                    + (failed > 0 ? ", " + failed + " refused" : "") + " (" + store + ")");
            return failed > 0 ? Exit.FAILED : Exit.OK;
        }
    }

    /** A warning on stderr when the certificate has expired. */
    static void warnExpired(java.io.PrintStream err, byte[] der) throws Exception {
        X509Certificate c = Formats.x509(der);
        if (java.time.Instant.now().isAfter(c.getNotAfter().toInstant())) {
            err.println("mscapi: warning: the certificate \"" + c.getSubjectX500Principal().getName()
                    + "\" (SHA-1 " + Text.sha1(der) + ") expired on "
                    + Text.DATE.format(c.getNotAfter().toInstant()));
        }
    }

    /** The key a certificate of "MY" is bound to. warning says why it was bound with --force. */
    record Binding(String provider, String container, int spec, String warning) {
    }

    /**
     * The container whose key is the certificate's own: the one named by
     * --container when its key matches, else the one queryKeyPairs finds
     * with the same public key (of --provider, else of any provider). --force
     * binds without a match.
     */
    static Binding binding(X509Certificate cert, String provider, String container, Integer spec, boolean force)
            throws Exception {
        String family = provider != null ? provider : Stores.defaultProvider();
        List<Records.KeyPair> holders = cert.getPublicKey() instanceof RSAPublicKey pub
                ? KeyRef.holdersOf(pub) : List.of();
        for (Records.KeyPair k : holders) {
            // Without --provider, every provider's keys (tokens included), in queryKeyPairs' order.
            if ((provider == null || KeyRef.sameFamily(k.provider(), provider))
                    && (container == null || KeyRef.sameName(k.container(), container))
                    && (spec == null || spec == k.keySpec())) {
                String name = container != null ? container : k.container();
                return new Binding(provider != null ? provider : k.provider(), name, k.keySpec(),
                        null);
            }
        }
        String subject = cert.getSubjectX500Principal().getName();
        if (container != null) {
            if (!force) {
                throw new ToolError("the public key of \"" + subject + "\" is not the key of container " + Text.quoted(container)
                        + "" + (spec != null ? " (" + KeyRole.describe(spec) + ")" : "")
                        + "; give --force to bind it anyway");
            }
            return new Binding(family, container, spec != null ? spec : KeyRole.SIGNATURE.code,
                    "its public key does not match that container's");
        }
        if (!force) {
            throw new ToolError("no stored key matches the public key of \"" + subject
                    + "\" (see mscapi keys); give --container C --force to bind it anyway");
        }
        // Bound as CryptoAPI resolves null names: the default container, named after the login name.
        return new Binding(family, System.getProperty("user.name"), spec != null ? spec : KeyRole.SIGNATURE.code,
                "no stored key matches it");
    }

    @Command(name = "delcert", header = "delete a certificate", customSynopsis = "mscapi delcert STORE KEY",
            description = KEY_TEXT + " " + Stores.STORE_TEXT)
    static final class Delcert extends Cmd {
        @Parameters(index = "0", paramLabel = "STORE", completionCandidates = Options.Stores.class,
                description = "The store.")
        String store;

        @Mixin
        CertKey key = new CertKey();

        @Override
        public Integer call() throws Exception {
            StoreKind kind = Stores.storeKind(store);
            byte[][] id = key.find(kind);
            Native.deleteCertFromStore(id[0], id[1], kind);
            out.println("deleted");
            return Exit.OK;
        }
    }

    @Command(name = "name", header = "set a certificate's friendly name", customSynopsis = "mscapi name STORE NAME KEY",
            description = KEY_TEXT + " " + Stores.STORE_TEXT)
    static final class Name extends Cmd {
        @Parameters(index = "0", paramLabel = "STORE", completionCandidates = Options.Stores.class,
                description = "The store.")
        String store;

        @Parameters(index = "1", paramLabel = "NAME", description = "The friendly name.")
        String name;

        @Mixin
        CertKey key = new CertKey();

        @Override
        public Integer call() throws Exception {
            StoreKind kind = Stores.storeKind(store);
            byte[][] id = key.find(kind);
            Native.setFriendlyName(name, id[0], id[1], kind);
            out.println("friendly name set");
            return Exit.OK;
        }
    }

    @Command(name = "describe", header = "set a certificate's description (TEXT's UTF-8 bytes)",
            customSynopsis = "mscapi describe STORE TEXT KEY", description = KEY_TEXT + " " + Stores.STORE_TEXT)
    static final class Describe extends Cmd {
        @Parameters(index = "0", paramLabel = "STORE", completionCandidates = Options.Stores.class,
                description = "The store.")
        String store;

        @Parameters(index = "1", paramLabel = "TEXT", description = "The description.")
        String text;

        @Mixin
        CertKey key = new CertKey();

        @Override
        public Integer call() throws Exception {
            StoreKind kind = Stores.storeKind(store);
            byte[][] id = key.find(kind);
            Native.setFlags(text.getBytes(StandardCharsets.UTF_8), id[0], id[1], kind);
            out.println("description set");
            return Exit.OK;
        }
    }
}
