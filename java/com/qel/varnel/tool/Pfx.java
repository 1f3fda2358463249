package com.qel.varnel.tool;

import com.qel.varnel.KeyRole;
import com.qel.varnel.Records;
import com.qel.varnel.StoreKind;
import java.security.cert.X509Certificate;
import java.security.interfaces.RSAPrivateCrtKey;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.UUID;
import picocli.CommandLine.Command;
import picocli.CommandLine.Mixin;
import picocli.CommandLine.Option;
import picocli.CommandLine.Parameters;

/**
 * PKCS#12 in and out in one step: import-pfx puts the key into a new
 * container, its certificate into "MY" bound to it and the rest of the chain
 * into "CA"; export-pfx writes a bound certificate's key, certificate and
 * chain.
 */
final class Pfx {
    private Pfx() {
    }

    @Command(name = "import-pfx", header = "a PKCS#12 file's key, certificate and chain in one step",
            customSynopsis = {"mscapi import-pfx FILE [--container NAME] [--provider P] [--spec S] [--pin | --pin-file F]",
                "           [--password-file F] [--alias A] [--friendly-name N] [--exportable]"},
            description = "The key goes into a new container (a fresh name unless --container), its certificate "
                    + "into MY bound to it under the file's friendly name, the rest of the chain into CA. On a "
                    + "PKCS#11 token the key is created sensitive and not extractable (unless --exportable) and the "
                    + "certificate is written onto the token beside it (same CKA_ID and label), from where it "
                    + "appears in MY.")
    static final class ImportPfx extends Cmd {
        @Parameters(index = "0", paramLabel = "FILE", description = "The PKCS#12 file.")
        String file;

        @Mixin
        Options.Key key = new Options.Key();

        @Mixin
        Options.Pin pinOption = new Options.Pin();

        @Mixin
        Options.Password passwordFile = new Options.Password();

        @Option(names = "--alias", paramLabel = "A", description = "The key to take when the file holds several.")
        String alias;

        @Option(names = "--friendly-name", paramLabel = "N", description = "The certificate's friendly name (else "
                + "the file's).")
        String friendlyOption;

        @Option(names = "--exportable", description = Options.EXPORTABLE_TEXT)
        boolean exportable;

        @Override
        public Integer call() throws Exception {
            String provider = key.provider;
            String container = key.container;
            int keySpec = key.keySpec();
            byte[] pin = pinOption.bytes();
            Secret password = passwordFile.secret("PFX password");
            try {
                byte[] data = FileIO.read(file);
                if (!Formats.isPkcs12(data)) {
                    throw new ToolError(file + ": not a PKCS#12 (.p12/.pfx) file");
                }
                Formats.PfxEntry entry = Formats.readPfx(data, file, password, alias);
                if (entry.chain().isEmpty()) {
                    throw new ToolError(file + ": the key comes without its certificate");
                }
                X509Certificate leaf = entry.chain().get(0);
                if (!(leaf.getPublicKey() instanceof java.security.interfaces.RSAPublicKey pub)
                        || !pub.getModulus().equals(entry.key().getModulus())) {
                    throw new ToolError(file + ": the certificate is not the key's");
                }
                if (provider == null) {
                    provider = Stores.defaultProvider();
                }
                if (container == null) {
                    // A fresh name, as the platform's own PFX import gives one.
                    container = UUID.randomUUID().toString();
                }
                byte[] der = leaf.getEncoded();
                for (Records.Cert c : Native.certs(StoreKind.MY)) {
                    if (Arrays.equals(c.encoded(), der)) {
                        throw new ToolError("the certificate SHA-1 " + Text.sha1(der)
                                + " is in MY already, bound to container " + Text.quoted(c.container())
                                + " (delete it first: mscapi delcert MY --thumbprint "
                                + Text.sha1(der) + ")");
                    }
                }
                RSAPrivateCrtKey key = entry.key();
                String friendly = friendlyOption != null ? friendlyOption : entry.friendlyName();
                if (TokenImport.isPkcs11(provider)) {
                    onToken(provider, container, keySpec, key, der, pin, friendly);
                } else {
                    inContainer(provider, container, keySpec, key, der, pin, friendly);
                }
                CertCommands.warnExpired(err, der);
                int added = 0;
                List<String> present = new ArrayList<>();
                for (X509Certificate c : entry.chain().subList(1, entry.chain().size())) {
                    byte[] cd = c.getEncoded();
                    if (Native.addCertToStore(cd, null, null, 0, null, StoreKind.CA) != null) {
                        added++;
                        CertCommands.warnExpired(err, cd);
                    } else {
                        present.add(Text.sha1(cd));
                    }
                }
                if (entry.chain().size() > 1) {
                    out.println("chain: " + added + " added to CA" + (present.isEmpty() ? ""
                            : ", already present: " + String.join(", ", present)));
                }
            } finally {
                password.close();
                Secret.wipe(pin);
            }
            return Exit.OK;
        }

        /** The key into a container of the library's kind, its certificate into MY bound to it. */
        private void inContainer(String provider, String container, int keySpec, RSAPrivateCrtKey key, byte[] der,
                byte[] pin, String friendly) throws Exception {
            Native.importKey(provider, container, keySpec, key, pin);
            out.println("key: " + key.getModulus().bitLength() + "-bit RSA into container " + Text.quoted(container)
                    + " of \"" + provider + "\" (" + KeyRole.describe(keySpec) + ")");
            Records.CertId id;
            try {
                id = Native.addCertToStore(der, provider, container, keySpec, friendly, StoreKind.MY);
            } catch (Exception e) {
                Native.deleteKeyPair(provider, container);
                throw e;
            }
            if (id == null) {
                // Stored already without a usable binding: the key is of no use without it.
                Native.deleteKeyPair(provider, container);
                throw new ToolError("the store MY refused the certificate SHA-1 " + Text.sha1(der)
                        + " (it holds it already, without a key binding); the key was not kept");
            }
            out.println("certificate: added to MY, SHA-1 " + Text.sha1(der)
                    + (friendly != null ? ", friendly name \"" + friendly + "\"" : ""));
        }

        /**
         * The key onto a PKCS#11 token (sensitive and not extractable unless --exportable) with its
         * certificate beside it; opening MY then copies the certificate in, bound to the container, as
         * for every card.
         */
        private void onToken(String provider, String container, int keySpec, RSAPrivateCrtKey key, byte[] der,
                byte[] pin, String friendly) throws Exception {
            TokenImport.Stored stored = TokenImport.store(provider, container, keySpec, key, der, pin, exportable);
            out.println("key: " + key.getModulus().bitLength() + "-bit RSA onto the token, container "
                    + Text.quoted(stored.container()) + " of \"" + provider + "\" (" + KeyRole.describe(keySpec)
                    + ", " + (stored.exportable() ? "exportable" : "sensitive, not extractable") + ")");
            Records.Cert inMy = null;
            try {
                for (Records.Cert c : Native.certs(StoreKind.MY)) {
                    if (Arrays.equals(c.encoded(), der)) {
                        inMy = c;
                    }
                }
                // Bound by the card propagation to the container's full name (under
                // the first registered provider that shows the token).
                if (inMy == null || !KeyRef.sameName(inMy.container(), stored.container())) {
                    throw new ToolError("the certificate written onto the token is not in MY bound to its key");
                }
                if (friendly != null) {
                    Native.setFriendlyName(friendly, inMy.serial(), inMy.issuer(), StoreKind.MY);
                }
            } catch (Exception e) {
                if (inMy != null) {
                    Native.deleteCertFromStore(inMy.serial(), inMy.issuer(), StoreKind.MY);
                }
                Native.deleteKeyPair(provider, stored.container());
                throw e;
            }
            out.println("certificate: written onto the token beside the key and into MY, SHA-1 "
                    + Text.sha1(der) + (friendly != null ? ", friendly name \"" + friendly + "\"" : ""));
        }
    }

    @Command(name = "export-pfx", header = "a certificate of MY with its key and chain as PKCS#12",
            customSynopsis = {"mscapi export-pfx --thumbprint HEX --out FILE [--password-file F] [--pin | --pin-file F]",
                "           [--force]"},
            description = "AES-256-CBC with PBKDF2-HMAC-SHA256; the key must be exportable. FILE gets mode 0600.")
    static final class ExportPfx extends Cmd {
        @Option(names = "--thumbprint", paramLabel = "HEX", description = "The certificate's SHA-1 thumbprint.")
        String thumbprint;

        @Option(names = "--out", paramLabel = "FILE", description = "The PKCS#12 file to write (mode 0600).")
        String outFile;

        @Option(names = "--force", description = "Replace FILE when it exists.")
        boolean force;

        @Mixin
        Options.Pin pinOption = new Options.Pin();

        @Mixin
        Options.Password passwordFile = new Options.Password();

        @Override
        public Integer call() throws Exception {
            if (thumbprint == null) {
                throw ToolError.usage("export-pfx needs --thumbprint HEX of a certificate in MY");
            }
            if (outFile == null) {
                throw ToolError.usage("export-pfx needs --out FILE");
            }
            byte[] pin = pinOption.bytes();
            Secret password = passwordFile.secret("password for the PFX");
            try {
                // An empty password would leave the key in the file unprotected:
                // refused before any work.
                if (password.confirmed().length == 0) {
                    throw new ToolError("the password for the PFX is empty: the private key would be written "
                            + "unprotected (give a password)");
                }
                KeyRef key = KeyRef.byThumbprint(thumbprint);
                X509Certificate leaf = key.certificate();
                String alias = friendlyName(leaf);
                RSAPrivateCrtKey privateKey = KeyCommands.load(key.provider(), key.container(), key.spec(), pin);
                if (!privateKey.getModulus().equals(((java.security.interfaces.RSAPublicKey) leaf.getPublicKey())
                        .getModulus())) {
                    throw new ToolError("the certificate's key is not the one in " + key.describe());
                }
                List<X509Certificate> chain = chain(leaf);
                byte[] pfx = Formats.pfx(privateKey, chain, alias == null || alias.isEmpty() ? key.container() : alias,
                        password.confirmed());
                FileIO.writePrivate(outFile, pfx, force);
                Arrays.fill(pfx, (byte) 0);
                out.println("wrote " + outFile + ": key, certificate" + (chain.size() > 1
                        ? " and " + (chain.size() - 1) + " more of its chain" : ""));
            } finally {
                password.close();
                Secret.wipe(pin);
            }
            return Exit.OK;
        }
    }


    private static String friendlyName(X509Certificate leaf) throws Exception {
        byte[] der = leaf.getEncoded();
        for (Records.Cert c : Native.certs(StoreKind.MY)) {
            if (Arrays.equals(c.encoded(), der)) {
                return c.friendlyName();
            }
        }
        return null;
    }

    /** The certificate and its issuers found in "CA" and "ROOT", each checked by its signature. */
    static List<X509Certificate> chain(X509Certificate leaf) throws Exception {
        List<X509Certificate> pool = new ArrayList<>();
        for (StoreKind kind : new StoreKind[] {StoreKind.CA, StoreKind.ROOT}) {
            for (Records.Cert c : Native.certs(kind)) {
                try {
                    pool.add(Formats.x509(c.encoded()));
                } catch (Exception e) {
                    // not readable as X.509: cannot be an issuer
                }
            }
        }
        List<X509Certificate> chain = new ArrayList<>();
        chain.add(leaf);
        X509Certificate current = leaf;
        while (chain.size() < 16 && !current.getIssuerX500Principal().equals(current.getSubjectX500Principal())) {
            X509Certificate issuer = null;
            for (X509Certificate candidate : pool) {
                if (candidate.getSubjectX500Principal().equals(current.getIssuerX500Principal())
                        && !chain.contains(candidate)) {
                    try {
                        current.verify(candidate.getPublicKey());
                        issuer = candidate;
                        break;
                    } catch (Exception e) {
                        // same name, other key
                    }
                }
            }
            if (issuer == null) {
                break;
            }
            chain.add(issuer);
            current = issuer;
        }
        return chain;
    }
}
