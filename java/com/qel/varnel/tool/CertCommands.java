package com.qel.varnel.tool;

import com.qel.varnel.MSCAPI;
import java.io.ByteArrayInputStream;
import java.io.PrintStream;
import java.lang.reflect.InvocationTargetException;
import java.lang.reflect.Method;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.security.MessageDigest;
import java.security.cert.CertificateFactory;
import java.security.cert.X509Certificate;
import java.util.ArrayList;
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

    // ---- The native methods, reached from this package ---------------------

    static Object call(String name, Class<?>[] types, Object... args) throws Exception {
        Method m = MSCAPI.class.getDeclaredMethod(name, types);
        m.setAccessible(true);
        try {
            return m.invoke(null, args);
        } catch (InvocationTargetException e) {
            Throwable cause = e.getCause();
            if (cause instanceof Exception) {
                throw (Exception) cause;
            }
            if (cause instanceof Error) {
                throw (Error) cause;
            }
            throw e;
        }
    }

    static byte[] addCertToStore(byte[] cert, String provider, String container, int keySpec, String friendlyName,
            int kind) throws Exception {
        return (byte[]) call("addCertToStore", new Class<?>[] {byte[].class, String.class, String.class, int.class,
            String.class, int.class}, cert, provider, container, keySpec, friendlyName, kind);
    }

    static void setFriendlyName(String name, byte[] serial, byte[] issuer, int kind) throws Exception {
        call("setFriendlyName", new Class<?>[] {String.class, byte[].class, byte[].class, int.class}, name, serial,
                issuer, kind);
    }

    static void setFlags(byte[] flags, byte[] serial, byte[] issuer, int kind) throws Exception {
        call("setFlags", new Class<?>[] {byte[].class, byte[].class, byte[].class, int.class}, flags, serial,
                issuer, kind);
    }

    static void deleteCertFromStore(byte[] serial, byte[] issuer, int kind) throws Exception {
        call("deleteCertFromStore", new Class<?>[] {byte[].class, byte[].class, int.class}, serial, issuer, kind);
    }

    static byte[] queryCerts(int kind) throws Exception {
        return (byte[]) call("queryCerts", new Class<?>[] {int.class}, kind);
    }

    // ---- CertList -----------------------------------------------------------

    /** One record of CertList. */
    static final class Entry {
        byte[] encoded;
        byte[] serial;
        byte[] issuer;
        byte[] friendlyName;
        byte[] provider;
        byte[] container;
        int keySpec;
        byte[] description;
    }

    static List<Entry> parseList(byte[] list) {
        ByteBuffer b = ByteBuffer.wrap(list).order(ByteOrder.LITTLE_ENDIAN);
        int n = b.getInt();
        List<Entry> entries = new ArrayList<>();
        for (int i = 0; i < n; i++) {
            Entry e = new Entry();
            e.encoded = field(b);
            e.serial = field(b);
            e.issuer = field(b);
            e.friendlyName = field(b);
            e.provider = field(b);
            e.container = field(b);
            e.keySpec = b.getInt();
            e.description = field(b);
            entries.add(e);
        }
        return entries;
    }

    private static byte[] field(ByteBuffer b) {
        byte[] f = new byte[b.getInt()];
        b.get(f);
        return f;
    }

    static List<Entry> list(int kind) throws Exception {
        return parseList(queryCerts(kind));
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
            for (Entry e : list(kind)) {
                if (sha1(e.encoded).equals(want)) {
                    return new byte[][] {e.serial, e.issuer};
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
        List<Entry> entries = list(storeKind(args.get(0)));
        out.println(entries.size() + " certificate(s) in " + args.get(0));
        for (Entry e : entries) {
            out.println();
            try {
                X509Certificate c = x509(e.encoded);
                out.println("  subject:       " + c.getSubjectX500Principal().getName());
                out.println("  issuer:        " + c.getIssuerX500Principal().getName());
            } catch (Exception ex) {
                out.println("  (not readable as X.509: " + ex.getMessage() + ")");
            }
            out.println("  serial:        " + HexFormat.of().withUpperCase().formatHex(reversed(e.serial)));
            out.println("  SHA-1:         " + sha1(e.encoded));
            out.println("  friendly name: " + new String(e.friendlyName, StandardCharsets.ISO_8859_1));
            out.println("  description:   " + describeBytes(e.description));
            if (e.provider.length != 0 || e.container.length != 0) {
                out.println("  key:           " + new String(e.provider, StandardCharsets.ISO_8859_1) + " / "
                        + new String(e.container, StandardCharsets.ISO_8859_1) + " / spec " + e.keySpec);
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
        byte[] id = addCertToStore(der, provider, container, keySpec, friendly, kind);
        if (id == null) {
            throw new Exception("not added: not a certificate, or the store already holds it");
        }
        ByteBuffer b = ByteBuffer.wrap(id).order(ByteOrder.LITTLE_ENDIAN);
        byte[] serial = field(b);
        out.println("added, serial " + HexFormat.of().withUpperCase().formatHex(reversed(serial)) + ", SHA-1 "
                + sha1(der));
        return Main.OK;
    }

    /** The first entry of ProviderList: the machine's default PROV_RSA_FULL provider. */
    static String defaultProvider() throws Exception {
        byte[] list = (byte[]) call("queryProviders", new Class<?>[0]);
        ByteBuffer b = ByteBuffer.wrap(list).order(ByteOrder.LITTLE_ENDIAN);
        if (b.getInt() == 0) {
            throw new Exception("no PROV_RSA_FULL provider is installed");
        }
        return new String(field(b), StandardCharsets.ISO_8859_1);
    }

    int delcert(List<String> args) throws Exception {
        if (args.isEmpty()) {
            throw new Main.UsageException("delcert needs a STORE");
        }
        int kind = storeKind(args.remove(0));
        byte[][] key = lookupKey(args, kind);
        Main.noMore(args);
        deleteCertFromStore(key[0], key[1], kind);
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
        setFriendlyName(name, key[0], key[1], kind);
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
        setFlags(text, key[0], key[1], kind);
        out.println("description set");
        return Main.OK;
    }
}
