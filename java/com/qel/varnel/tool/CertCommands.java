package com.qel.varnel.tool;

import java.io.ByteArrayInputStream;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.security.MessageDigest;
import java.security.cert.CertificateFactory;
import java.security.cert.X509Certificate;
import java.util.Base64;
import java.util.HexFormat;
import java.util.List;
import java.util.Locale;

/**
 * The certificate store commands of the tool: certs, addcert, delcert, name
 * and describe. STORE is MY, ROOT, CA, AddressBook or Varnel.
 */
final class CertCommands {
    private final PrintStream out;

    CertCommands(PrintStream out) {
        this.out = out;
    }

    static void usage(PrintStream s) {
        s.println("  certs STORE                   list a store: subject, issuer, serial, SHA-1,");
        s.println("                                friendly name, description, key binding");
        s.println("  addcert STORE FILE [--friendly-name N] [--provider P --container C --spec S]");
        s.println("                                add a DER or PEM certificate; in MY bound to");
        s.println("                                the key (default provider, login-name container)");
        s.println("  delcert STORE KEY             delete a certificate");
        s.println("  name STORE NAME KEY           set a certificate's friendly name");
        s.println("  describe STORE TEXT KEY       set a certificate's description (UTF-8 bytes)");
        s.println("     KEY is --serial HEX --issuer-of FILE, or --thumbprint HEX (from certs)");
        s.println("     STORE is MY, ROOT, CA, AddressBook or Varnel");
    }

    int run(String command, List<String> args) throws Exception {
        switch (command) {
            case "certs":
                return certs(args);
            case "addcert":
                return addcert(args);
            case "delcert":
                return delcert(args);
            case "name":
                return name(args);
            case "describe":
                return describe(args);
            default:
                throw new Main.UsageException("unknown command: " + command);
        }
    }

    static List<Layouts.Cert> list(int kind) throws Exception {
        return Layouts.certs(Native.queryCerts(kind));
    }

    // ---- Helpers ------------------------------------------------------------

    static int storeKind(String name) throws Main.UsageException {
        switch (name.toLowerCase(Locale.ROOT)) {
            case "my":
                return 1;
            case "root":
                return 2;
            case "ca":
                return 3;
            case "addressbook":
                return 4;
            case "varnel":
                return 5;
            default:
                throw new Main.UsageException("unknown store: " + name + " (MY, ROOT, CA, AddressBook or Varnel)");
        }
    }

    static byte[] reversed(byte[] a) {
        byte[] r = new byte[a.length];
        for (int i = 0; i < a.length; i++) {
            r[i] = a[a.length - 1 - i];
        }
        return r;
    }

    /** A DER certificate, or the first certificate of a PEM file. */
    static byte[] readCertificate(Path file) throws Exception {
        byte[] data = Files.readAllBytes(file);
        String text = new String(data, StandardCharsets.ISO_8859_1);
        int begin = text.indexOf("-----BEGIN CERTIFICATE-----");
        if (begin < 0) {
            return data;
        }
        int end = text.indexOf("-----END CERTIFICATE-----", begin);
        if (end < 0) {
            throw new Main.UsageException(file + ": PEM certificate without its END line");
        }
        String body = text.substring(begin + "-----BEGIN CERTIFICATE-----".length(), end);
        return Base64.getMimeDecoder().decode(body);
    }

    static X509Certificate x509(byte[] der) throws Exception {
        return (X509Certificate) CertificateFactory.getInstance("X.509")
                .generateCertificate(new ByteArrayInputStream(der));
    }

    static String sha1(byte[] der) throws Exception {
        return HexFormat.of().withUpperCase().formatHex(MessageDigest.getInstance("SHA-1").digest(der));
    }

    /** The lookup key given on the command line: serial and issuer, or a thumbprint from the listing. */
    static byte[][] lookupKey(List<String> args, int kind) throws Exception {
        String serial = Main.option(args, "--serial");
        String issuerOf = Main.option(args, "--issuer-of");
        String thumbprint = Main.option(args, "--thumbprint");
        if (thumbprint != null && serial == null && issuerOf == null) {
            String want = thumbprint.replace(":", "").toUpperCase(Locale.ROOT);
            for (Layouts.Cert e : list(kind)) {
                if (sha1(e.encoded()).equals(want)) {
                    return new byte[][] {e.serial(), e.issuer()};
                }
            }
            throw new Exception("no certificate with that thumbprint in the listing");
        }
        if (serial == null || issuerOf == null || thumbprint != null) {
            throw new Main.UsageException("give --serial HEX --issuer-of FILE, or --thumbprint HEX");
        }
        byte[] be;
        try {
            String hex = serial.replace(":", "");
            be = HexFormat.of().parseHex(hex.length() % 2 == 0 ? hex : "0" + hex);
        } catch (IllegalArgumentException e) {
            throw new Main.UsageException("not a hex serial number: " + serial);
        }
        X509Certificate issuerCert = x509(readCertificate(Path.of(issuerOf)));
        // The certificate named by --issuer-of is the one to find: its issuer is the key.
        return new byte[][] {reversed(be), issuerCert.getIssuerX500Principal().getEncoded()};
    }

    // ---- Commands -----------------------------------------------------------

    int certs(List<String> args) throws Exception {
        if (args.size() != 1) {
            throw new Main.UsageException("certs needs a STORE");
        }
        List<Layouts.Cert> entries = list(storeKind(args.get(0)));
        out.println(entries.size() + " certificate(s) in " + args.get(0));
        for (Layouts.Cert e : entries) {
            out.println();
            try {
                X509Certificate c = x509(e.encoded());
                out.println("  subject:       " + c.getSubjectX500Principal().getName());
                out.println("  issuer:        " + c.getIssuerX500Principal().getName());
            } catch (Exception ex) {
                out.println("  (not readable as X.509: " + ex.getMessage() + ")");
            }
            out.println("  serial:        " + HexFormat.of().withUpperCase().formatHex(reversed(e.serial())));
            out.println("  SHA-1:         " + sha1(e.encoded()));
            out.println("  friendly name: " + e.friendlyName());
            out.println("  description:   " + describeBytes(e.description()));
            if (!e.provider().isEmpty() || !e.container().isEmpty()) {
                out.println("  key:           " + e.provider() + " / " + e.container() + " / spec " + e.keySpec());
            }
        }
        return Main.OK;
    }

    private static String describeBytes(byte[] d) {
        if (d.length == 0) {
            return "";
        }
        String text = new String(d, StandardCharsets.UTF_8);
        boolean printable = text.codePoints().allMatch(cp -> cp >= 0x20 && cp != 0x7F && cp != 0xFFFD);
        return printable ? text : "hex " + HexFormat.of().formatHex(d);
    }

    int addcert(List<String> args) throws Exception {
        String friendly = Main.option(args, "--friendly-name");
        String provider = Main.option(args, "--provider");
        String container = Main.option(args, "--container");
        String spec = Main.option(args, "--spec");
        if (args.size() != 2) {
            throw new Main.UsageException("addcert needs STORE and FILE");
        }
        int kind = storeKind(args.get(0));
        int keySpec;
        try {
            keySpec = spec == null ? 2 : Integer.parseInt(spec);
        } catch (NumberFormatException e) {
            throw new Main.UsageException("not a key spec: " + spec);
        }
        byte[] der = readCertificate(Path.of(args.get(1)));
        if (kind == 1) {
            // A certificate of "MY" is listed only with both names of its key
            // binding: without them, bind it as CryptoAPI resolves null names,
            // to the default provider's default container (the login name).
            if (provider == null) {
                provider = defaultProvider();
            }
            if (container == null) {
                container = System.getProperty("user.name");
            }
        }
        byte[] id = Native.addCertToStore(der, provider, container, keySpec, friendly, kind);
        if (id == null) {
            throw new Exception("not added: not a certificate, or the store already holds it");
        }
        byte[] serial = Layouts.certId(id).serial();
        out.println("added, serial " + HexFormat.of().withUpperCase().formatHex(reversed(serial)) + ", SHA-1 "
                + sha1(der));
        return Main.OK;
    }

    /** The first entry of ProviderList: the machine's default PROV_RSA_FULL provider. */
    static String defaultProvider() throws Exception {
        List<String> providers = Layouts.providers(Native.queryProviders());
        if (providers.isEmpty()) {
            throw new Exception("no PROV_RSA_FULL provider is installed");
        }
        return providers.get(0);
    }

    int delcert(List<String> args) throws Exception {
        if (args.isEmpty()) {
            throw new Main.UsageException("delcert needs a STORE");
        }
        int kind = storeKind(args.remove(0));
        byte[][] key = lookupKey(args, kind);
        Main.noMore(args);
        Native.deleteCertFromStore(key[0], key[1], kind);
        out.println("deleted");
        return Main.OK;
    }

    int name(List<String> args) throws Exception {
        if (args.size() < 2) {
            throw new Main.UsageException("name needs STORE and NAME");
        }
        int kind = storeKind(args.remove(0));
        String name = args.remove(0);
        byte[][] key = lookupKey(args, kind);
        Main.noMore(args);
        Native.setFriendlyName(name, key[0], key[1], kind);
        out.println("friendly name set");
        return Main.OK;
    }

    int describe(List<String> args) throws Exception {
        if (args.size() < 2) {
            throw new Main.UsageException("describe needs STORE and TEXT");
        }
        int kind = storeKind(args.remove(0));
        byte[] text = args.remove(0).getBytes(StandardCharsets.UTF_8);
        byte[][] key = lookupKey(args, kind);
        Main.noMore(args);
        Native.setFlags(text, key[0], key[1], kind);
        out.println("description set");
        return Main.OK;
    }
}
