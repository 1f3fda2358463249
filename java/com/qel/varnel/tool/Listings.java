package com.qel.varnel.tool;

import com.qel.varnel.KeyRole;
import com.qel.varnel.Records;
import com.qel.varnel.StoreKind;
import java.io.PrintStream;
import java.math.BigInteger;
import java.nio.charset.CharacterCodingException;
import java.nio.charset.CodingErrorAction;
import java.nio.charset.StandardCharsets;
import java.security.cert.X509Certificate;
import java.security.interfaces.RSAPublicKey;
import java.time.Instant;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.HexFormat;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import picocli.CommandLine.Command;
import picocli.CommandLine.Mixin;
import picocli.CommandLine.Option;
import picocli.CommandLine.Parameters;

/**
 * The listings: providers, keys and certs, for people (one block or line per
 * entry) or, with --json, as one JSON document (fields in the tool's README). A
 * listing prints nothing but its entries (and, for people, a count line);
 * an empty listing in JSON is an empty array.
 */
final class Listings {
    private static final String[] KEY_USAGE = {"digitalSignature", "nonRepudiation", "keyEncipherment",
        "dataEncipherment", "keyAgreement", "keyCertSign", "cRLSign", "encipherOnly", "decipherOnly"};

    private final PrintStream out;

    Listings(PrintStream out) {
        this.out = out;
    }

    @Command(name = "providers", header = "the installed RSA providers, the default first, each with its family",
            customSynopsis = "mscapi providers [--json]",
            description = "Each provider's family comes from its image: software, software token with PINs, or a "
                    + "PKCS#11 module, whose initialised tokens are listed by label and serial (or why the module "
                    + "could not be loaded). --json prints "
                    + "{\"providers\": [NAME, ...], \"details\": [{\"name\", \"family\", \"image\", "
                    + "\"tokens\"}, ...]} in the library's order.")
    static final class Providers extends Cmd {
        @Option(names = "--json", description = "Print one JSON document.")
        boolean json;

        @Override
        public Integer call() throws Exception {
            return new Listings(out).providers(json);
        }
    }

    @Command(name = "keys", header = "every RSA key pair of every provider's containers",
            customSynopsis = "mscapi keys [--json]",
            description = "One line per key: provider, container, key spec, length, public exponent. The software "
                    + "\"Microsoft ...\" providers share one namespace, listed under the first of them. --json "
                    + "prints {\"keys\": [{provider, container, spec, keySpec, bits, publicExponent, modulus}, ...]}.")
    static final class Keys extends Cmd {
        @Option(names = "--json", description = "Print one JSON document.")
        boolean json;

        @Override
        public Integer call() throws Exception {
            return new Listings(out).keys(json);
        }
    }

    @Command(name = "certs", header = "a store's certificates: names, validity, thumbprints, key usage, key binding",
            customSynopsis = {"mscapi certs STORE [--subject TEXT] [--issuer TEXT] [--thumbprint HEX]",
                "           [--expiring DAYS] [--expired] [--eku NAME|OID] [--has-key] [--json]"},
            description = "Expired certificates are marked. In MY only certificates bound to a key container are "
                    + "listed; \"has key\" says whether that container holds the certificate's key. A friendly name "
                    + "is shown as the list holds it (Latin-1) and marked where it was cut. The filters combine "
                    + "(all must hold), also for --json; when they leave nothing the command says so and exits 1. "
                    + Stores.STORE_TEXT + " --json prints one document (fields in the tool's README).")
    static final class Certs extends Cmd {
        @Parameters(index = "0", paramLabel = "STORE", completionCandidates = Options.Stores.class,
                description = "The store.")
        String store;

        @Mixin
        CertFilter filter = new CertFilter();

        @Option(names = "--json", description = "Print one JSON document.")
        boolean json;

        @Override
        public Integer call() throws Exception {
            return new Listings(out).certs(store, filter, json);
        }
    }

    /** The extended key usages the tool names; any other is shown and taken as its dotted OID. */
    static final String[][] EKU = {{"serverAuth", "1.3.6.1.5.5.7.3.1"}, {"clientAuth", "1.3.6.1.5.5.7.3.2"},
        {"codeSigning", "1.3.6.1.5.5.7.3.3"}, {"emailProtection", "1.3.6.1.5.5.7.3.4"},
        {"timeStamping", "1.3.6.1.5.5.7.3.8"}, {"OCSPSigning", "1.3.6.1.5.5.7.3.9"},
        {"documentSigning", "1.3.6.1.4.1.311.10.3.12"}, {"anyExtendedKeyUsage", "2.5.29.37.0"}};

    /** The names for completing --eku. */
    static final class EkuNames extends ArrayList<String> {
        private static final long serialVersionUID = 1L;

        EkuNames() {
            for (String[] e : EKU) {
                add(e[0]);
            }
        }
    }

    /** The OID of an extended key usage given by name (any case) or as a dotted OID. */
    static String ekuOid(String given) throws ToolError {
        for (String[] e : EKU) {
            if (e[0].equalsIgnoreCase(given) || e[1].equals(given)) {
                return e[1];
            }
        }
        if (given.matches("[0-2](\\.(0|[1-9][0-9]*))+")) {
            return given;
        }
        StringBuilder names = new StringBuilder();
        for (String[] e : EKU) {
            names.append(names.length() > 0 ? ", " : "").append(e[0]);
        }
        throw ToolError.usage("--eku is a dotted OID or one of " + names + ": " + given);
    }

    /** An extended key usage's name, or its OID when it has none here. */
    static String ekuName(String oid) {
        for (String[] e : EKU) {
            if (e[1].equals(oid)) {
                return e[0];
            }
        }
        return oid;
    }

    /** The certificate's extended key usages by name, or null without the extension. */
    static List<String> extendedKeyUsage(X509Certificate c) {
        try {
            List<String> oids = c.getExtendedKeyUsage();
            return oids == null ? null : oids.stream().map(Listings::ekuName).toList();
        } catch (java.security.cert.CertificateParsingException e) {
            return List.of("(unreadable: " + e.getMessage() + ")");
        }
    }

    /** The filters of certs: each given one must hold. */
    static final class CertFilter {
        @Option(names = "--subject", paramLabel = "TEXT", description = "Only subjects (RFC 4514) that contain "
                + "TEXT, in any case.")
        String subject;

        @Option(names = "--issuer", paramLabel = "TEXT", description = "Only issuers (RFC 4514) that contain TEXT, "
                + "in any case.")
        String issuer;

        @Option(names = "--thumbprint", paramLabel = "HEX", description = "Only the certificate whose SHA-1 or "
                + "SHA-256 thumbprint is HEX or starts with it (8 hex digits at least).")
        String thumbprint;

        @Option(names = "--expiring", paramLabel = "DAYS", description = "Only certificates valid now that expire "
                + "within DAYS days.")
        Integer expiring;

        @Option(names = "--expired", description = "Only expired certificates.")
        boolean expired;

        @Option(names = "--eku", paramLabel = "NAME|OID", completionCandidates = EkuNames.class,
                description = "Only certificates whose extended key usage names this one: serverAuth, clientAuth, "
                        + "codeSigning, emailProtection, timeStamping, OCSPSigning, documentSigning "
                        + "(1.3.6.1.4.1.311.10.3.12), or a dotted OID.")
        String eku;

        @Option(names = "--has-key", description = "Only certificates whose bound container holds their key.")
        boolean hasKey;

        boolean any() {
            return subject != null || issuer != null || thumbprint != null || expiring != null || expired
                    || eku != null || hasKey;
        }

        /** The filters as given, for the message that nothing matched. */
        String describe() {
            List<String> given = new ArrayList<>();
            if (subject != null) {
                given.add("--subject " + subject);
            }
            if (issuer != null) {
                given.add("--issuer " + issuer);
            }
            if (thumbprint != null) {
                given.add("--thumbprint " + thumbprint);
            }
            if (expiring != null) {
                given.add("--expiring " + expiring);
            }
            if (expired) {
                given.add("--expired");
            }
            if (eku != null) {
                given.add("--eku " + eku);
            }
            if (hasKey) {
                given.add("--has-key");
            }
            return String.join(" ", given);
        }

        List<CertView> apply(List<CertView> views, Instant now) throws Exception {
            String oid = eku == null ? null : ekuOid(eku);
            String prefix = thumbprint == null ? null : thumbprintPrefix(thumbprint);
            if (expiring != null && expiring < 0) {
                throw ToolError.usage("--expiring takes a number of days, 0 or more: " + expiring);
            }
            List<CertView> kept = new ArrayList<>();
            for (CertView v : views) {
                X509Certificate c = v.x509();
                boolean keep = (prefix == null || thumbprintMatches(v.entry().encoded(), prefix))
                        && (!hasKey || v.hasKey().equals("yes"));
                if (c == null) {
                    keep &= subject == null && issuer == null && expiring == null && !expired && oid == null;
                } else {
                    keep &= (subject == null || contains(c.getSubjectX500Principal().getName(), subject))
                            && (issuer == null || contains(c.getIssuerX500Principal().getName(), issuer))
                            && (!expired || validity(c, now).equals("EXPIRED"))
                            && (expiring == null || (validity(c, now).equals("valid")
                                    && !c.getNotAfter().toInstant().isAfter(now.plus(java.time.Duration.ofDays(expiring)))))
                            && (oid == null || (c.getExtendedKeyUsage() != null && c.getExtendedKeyUsage().contains(oid)));
                }
                if (keep) {
                    kept.add(v);
                }
            }
            return kept;
        }

        private static boolean contains(String name, String text) {
            return name.toLowerCase(Locale.ROOT).contains(text.toLowerCase(Locale.ROOT));
        }
    }

    /** A thumbprint or its start as upper-case hex, colons and spaces dropped; 8 digits at least. */
    static String thumbprintPrefix(String given) throws ToolError {
        String hex = given.replace(":", "").replace(" ", "").toUpperCase(Locale.ROOT);
        if (!hex.matches("[0-9A-F]{8,64}")) {
            throw ToolError.usage("--thumbprint is the SHA-1 or SHA-256 thumbprint in hex, or its first 8 digits "
                    + "or more: " + given);
        }
        return hex;
    }

    static boolean thumbprintMatches(byte[] der, String prefix) throws Exception {
        return Text.digest("SHA-1", der).startsWith(prefix) || Text.digest("SHA-256", der).startsWith(prefix);
    }

    /** The one certificate of a listing a thumbprint (or a unique start of one) names. */
    static CertView byThumbprint(List<CertView> views, String given, String store) throws Exception {
        String prefix = thumbprintPrefix(given);
        List<CertView> found = new ArrayList<>();
        for (CertView v : views) {
            if (thumbprintMatches(v.entry().encoded(), prefix)) {
                found.add(v);
            }
        }
        if (found.isEmpty()) {
            throw new ToolError("no certificate with thumbprint " + prefix + " in " + store + " (see mscapi certs "
                    + store + ")");
        }
        if (found.size() > 1) {
            throw new ToolError("thumbprint " + prefix + " names " + found.size() + " certificates in " + store
                    + ": give more digits");
        }
        return found.get(0);
    }

    // ---- providers -----------------------------------------------------------

    int providers(boolean json) throws Exception {
        List<String> names = Native.providers();
        // Each provider's image, family and tokens, as the emulation sees them.
        Map<String, Map<String, Object>> registered = new HashMap<>();
        for (Map<String, Object> p : Admin.objects(Admin.ask("providers", "--json"), "providers")) {
            registered.put(Admin.string(p, "name").toLowerCase(Locale.ROOT), p);
        }
        if (json) {
            List<Object> details = new ArrayList<>();
            for (String name : names) {
                Map<String, Object> p = registered.get(name.toLowerCase(Locale.ROOT));
                Map<String, Object> m = new LinkedHashMap<>();
                m.put("name", name);
                m.put("family", Admin.family(p));
                m.put("image", Admin.string(p, "image"));
                List<String> tokens = Admin.tokens(p);
                if (tokens != null) {
                    m.put("tokens", Json.list(tokens));
                }
                details.add(m);
            }
            Map<String, Object> doc = new LinkedHashMap<>();
            doc.put("providers", Json.list(names));
            doc.put("details", details);
            out.print(Json.write(doc));
            return Exit.OK;
        }
        for (int i = 0; i < names.size(); i++) {
            String name = names.get(i);
            out.println(name + (i == 0 ? "    (first: the default when it is installed)" : ""));
            Map<String, Object> p = registered.get(name.toLowerCase(Locale.ROOT));
            out.println("    family: " + Admin.family(p));
            List<String> tokens = Admin.tokens(p);
            if (tokens != null) {
                for (String t : tokens) {
                    out.println("    " + t);
                }
            }
        }
        if (names.isEmpty()) {
            out.println("(no RSA provider installed)");
        }
        return Exit.OK;
    }

    // ---- keys ----------------------------------------------------------------

    int keys(boolean json) throws Exception {
        List<Records.KeyPair> keys = Native.keyPairs();
        // Containers without a key (a generation that did not finish) hold no
        // key pair to list: the emulation names them.
        List<Map<String, Object>> empty = Admin.objects(Admin.ask("containers", "--json"), "empty");
        if (json) {
            List<Object> list = new ArrayList<>();
            for (Records.KeyPair k : keys) {
                Map<String, Object> m = new LinkedHashMap<>();
                m.put("provider", k.provider());
                m.put("container", k.container());
                m.put("spec", KeyRole.describe(k.keySpec()));
                m.put("keySpec", k.keySpec());
                m.put("bits", k.modulus().bitLength());
                m.put("publicExponent", k.publicExponent());
                m.put("modulus", HexFormat.of().formatHex(unsigned(k.modulus())));
                list.add(m);
            }
            Map<String, Object> doc = new LinkedHashMap<>();
            doc.put("keys", list);
            if (!empty.isEmpty()) {
                List<Object> e = new ArrayList<>();
                for (Map<String, Object> c : empty) {
                    Map<String, Object> m = new LinkedHashMap<>();
                    m.put("family", Admin.string(c, "family"));
                    m.put("container", Admin.string(c, "name"));
                    if (c.containsKey("provider")) {
                        m.put("provider", Admin.string(c, "provider"));
                    }
                    e.add(m);
                }
                doc.put("emptyContainers", e);
            }
            out.print(Json.write(doc));
            return Exit.OK;
        }
        for (Records.KeyPair k : keys) {
            out.printf("%-42s %-28s %-9s %5d bits  e=%d%n", k.provider(), Text.quoted(k.container()),
                    KeyRole.describe(k.keySpec()), k.modulus().bitLength(), k.publicExponent());
        }
        out.println(keys.size() + (keys.size() == 1 ? " key pair" : " key pairs"));
        for (Map<String, Object> c : empty) {
            // A token's container is deleted through its provider.
            String provider = c.containsKey("provider") ? " --provider " + Text.quoted(Admin.string(c, "provider")) : "";
            out.println("empty container " + Text.quoted(Admin.string(c, "name")) + " (" + Admin.string(c, "family")
                    + " family): no key; mscapi delkey --container " + Text.quoted(Admin.string(c, "name")) + provider
                    + " removes it");
        }
        return Exit.OK;
    }

    private static byte[] unsigned(BigInteger v) {
        byte[] b = v.toByteArray();
        if (b.length > 1 && b[0] == 0) {
            return java.util.Arrays.copyOfRange(b, 1, b.length);
        }
        return b;
    }

    // ---- certs ---------------------------------------------------------------

    /** One certificate of a listing with everything the tool can say about it. */
    record CertView(Records.Cert entry, X509Certificate x509, String parseError, String friendlyName,
            boolean friendlyNameCut, String hasKey) {
    }

    /**
     * The friendly name as the list holds it: one byte per UTF-16 unit,
     * stopped at the first unit above U+00FF with the rest of the field zero.
     * Returns what it holds and whether it was cut there.
     */
    static String[] friendlyName(String field) {
        int nul = field.indexOf('\0');
        if (nul < 0) {
            return new String[] {field, null};
        }
        return new String[] {field.substring(0, nul), "cut"};
    }

    /**
     * Whether the certificate's key binding names a container that holds the
     * certificate's public key: "yes", or "no: why".
     */
    static String hasKey(Records.Cert e, X509Certificate c, List<Records.KeyPair> keys) {
        if (e.container().isEmpty()) {
            return "no: the certificate is not bound to a key container";
        }
        Records.KeyPair found = null;
        for (Records.KeyPair k : keys) {
            if (sameNamespace(k.provider(), e.provider()) && k.container().equalsIgnoreCase(e.container())
                    && k.keySpec() == e.keySpec()) {
                found = k;
            }
        }
        if (found == null) {
            return "no: container " + Text.quoted(e.container()) + " holds no " + KeyRole.describe(e.keySpec()) + " key";
        }
        if (c != null && c.getPublicKey() instanceof RSAPublicKey) {
            RSAPublicKey pub = (RSAPublicKey) c.getPublicKey();
            if (!pub.getModulus().equals(found.modulus())
                    || pub.getPublicExponent().longValue() != found.publicExponent()) {
                return "no: the key in container " + Text.quoted(e.container()) + " is another key";
            }
        }
        return "yes";
    }

    /** The "Microsoft ..." software providers share one container namespace. */
    static boolean sameNamespace(String a, String b) {
        return a.equalsIgnoreCase(b) || (a.startsWith("Microsoft ") && b.startsWith("Microsoft "));
    }

    static List<CertView> certViews(StoreKind kind) throws Exception {
        List<Records.Cert> entries = Native.certs(kind);
        List<Records.KeyPair> keys = kind == StoreKind.MY && !entries.isEmpty()
                ? Native.keyPairs() : List.of();
        List<CertView> views = new ArrayList<>();
        for (Records.Cert e : entries) {
            X509Certificate c = null;
            String error = null;
            try {
                c = Formats.x509(e.encoded());
            } catch (Exception ex) {
                error = ex.getMessage();
            }
            String[] name = friendlyName(e.friendlyName());
            views.add(new CertView(e, c, error, name[0], name[1] != null, kind == StoreKind.MY ? hasKey(e, c, keys)
                    : "no: only certificates of MY are bound to keys"));
        }
        return views;
    }

    static String pem(byte[] der) {
        return FileIO.pem("CERTIFICATE", der);
    }

    static List<String> keyUsage(X509Certificate c) {
        boolean[] ku = c.getKeyUsage();
        if (ku == null) {
            return null;
        }
        List<String> names = new ArrayList<>();
        for (int i = 0; i < ku.length && i < KEY_USAGE.length; i++) {
            if (ku[i]) {
                names.add(KEY_USAGE[i]);
            }
        }
        return names;
    }

    /**
     * What makes a certificate unfit to sign with now: expired, not yet
     * valid, a key usage without digitalSignature and nonRepudiation. Empty
     * when it is fit.
     */
    static List<String> signingProblems(X509Certificate c, Instant now) {
        List<String> problems = new ArrayList<>();
        String what = "the certificate \"" + c.getSubjectX500Principal().getName() + "\"";
        if (now.isAfter(c.getNotAfter().toInstant())) {
            problems.add(what + " expired on " + Text.DATE.format(c.getNotAfter().toInstant()));
        } else if (now.isBefore(c.getNotBefore().toInstant())) {
            problems.add(what + " is not valid before " + Text.DATE.format(c.getNotBefore().toInstant()));
        }
        List<String> ku = keyUsage(c);
        if (ku != null && !ku.contains("digitalSignature") && !ku.contains("nonRepudiation")) {
            problems.add(what + " has key usage " + (ku.isEmpty() ? "(none)" : String.join(", ", ku))
                    + ", without digitalSignature or nonRepudiation");
        }
        return problems;
    }

    /** "valid", "EXPIRED" or "NOT YET VALID", now. */
    static String validity(X509Certificate c, Instant now) {
        if (now.isAfter(c.getNotAfter().toInstant())) {
            return "EXPIRED";
        }
        if (now.isBefore(c.getNotBefore().toInstant())) {
            return "NOT YET VALID";
        }
        return "valid";
    }

    /**
     * The description as text when its bytes are UTF-8 (for people only when
     * it is also free of control characters), else null.
     */
    static String descriptionText(byte[] d, boolean printableOnly) {
        try {
            String text = StandardCharsets.UTF_8.newDecoder().onMalformedInput(CodingErrorAction.REPORT)
                    .onUnmappableCharacter(CodingErrorAction.REPORT).decode(java.nio.ByteBuffer.wrap(d))
                    .toString();
            if (!printableOnly) {
                return text;
            }
            for (int i = 0; i < text.length(); i++) {
                if (text.charAt(i) < 0x20 || text.charAt(i) == 0x7F) {
                    return null;
                }
            }
            return text;
        } catch (CharacterCodingException e) {
            return null;
        }
    }

    int certs(String store, CertFilter filter, boolean json) throws Exception {
        StoreKind kind = Stores.storeToShow(store);
        Instant now = Instant.now();
        List<CertView> views = filter.apply(certViews(kind), now);
        if (views.isEmpty() && filter.any()) {
            throw new ToolError("no certificate in " + kind.storeName + " matches " + filter.describe());
        }
        if (json) {
            out.print(Json.write(certsDocument(kind, views, now)));
            return Exit.OK;
        }
        out.println(views.size() + (views.size() == 1 ? " certificate" : " certificates") + " in "
                + kind.storeName);
        for (CertView v : views) {
            Records.Cert e = v.entry();
            X509Certificate c = v.x509();
            out.println();
            if (c != null) {
                String state = validity(c, now);
                out.println("  subject:       " + c.getSubjectX500Principal().getName());
                out.println("  issuer:        " + c.getIssuerX500Principal().getName());
                out.println("  valid from:    " + Text.DATE.format(c.getNotBefore().toInstant()));
                out.println("  valid to:      " + Text.DATE.format(c.getNotAfter().toInstant())
                        + (state.equals("valid") ? "" : "   ** " + state + " **"));
            } else {
                out.println("  (not readable as X.509: " + v.parseError() + ")");
            }
            out.println("  serial:        " + Text.hex(Text.reversed(e.serial())));
            out.println("  SHA-1:         " + Text.digest("SHA-1", e.encoded()));
            out.println("  SHA-256:       " + Text.digest("SHA-256", e.encoded()));
            if (c != null) {
                List<String> ku = keyUsage(c);
                out.println("  key usage:     " + (ku == null ? "(any: no key usage extension)" : String.join(", ", ku)));
                List<String> eku = extendedKeyUsage(c);
                out.println("  ext key usage: " + (eku == null ? "(any: no extended key usage extension)"
                        : String.join(", ", eku)));
            }
            out.println("  friendly name: " + v.friendlyName()
                    + (v.friendlyNameCut() ? "   (cut: the name goes on with a character outside Latin-1)" : ""));
            String text = descriptionText(e.description(), true);
            out.println("  description:   " + (text != null ? text : "hex " + HexFormat.of().formatHex(e.description())));
            if (!e.provider().isEmpty() || !e.container().isEmpty()) {
                out.println("  key:           " + e.provider() + " / " + Text.quoted(e.container()) + " / spec " + e.keySpec());
            }
            out.println("  has key:       " + v.hasKey());
        }
        return Exit.OK;
    }

    static Map<String, Object> certsDocument(StoreKind kind, List<CertView> views, Instant now) throws Exception {
        List<Object> list = new ArrayList<>();
        for (CertView v : views) {
            Records.Cert e = v.entry();
            X509Certificate c = v.x509();
            Map<String, Object> m = new LinkedHashMap<>();
            m.put("subject", c == null ? null : c.getSubjectX500Principal().getName());
            m.put("issuer", c == null ? null : c.getIssuerX500Principal().getName());
            m.put("serial", Text.hex(Text.reversed(e.serial())));
            m.put("notBefore", c == null ? null : c.getNotBefore().toInstant().toString());
            m.put("notAfter", c == null ? null : c.getNotAfter().toInstant().toString());
            m.put("expired", c != null && validity(c, now).equals("EXPIRED"));
            m.put("notYetValid", c != null && validity(c, now).equals("NOT YET VALID"));
            m.put("sha1", Text.digest("SHA-1", e.encoded()));
            m.put("sha256", Text.digest("SHA-256", e.encoded()));
            m.put("keyUsage", c == null || keyUsage(c) == null ? null : Json.list(keyUsage(c)));
            m.put("extendedKeyUsage", c == null || extendedKeyUsage(c) == null ? null : Json.list(extendedKeyUsage(c)));
            m.put("friendlyName", v.friendlyName());
            m.put("friendlyNameCut", v.friendlyNameCut());
            m.put("description", descriptionText(e.description(), false));
            m.put("descriptionHex", HexFormat.of().formatHex(e.description()));
            if (!e.provider().isEmpty() || !e.container().isEmpty()) {
                Map<String, Object> key = new LinkedHashMap<>();
                key.put("provider", e.provider());
                key.put("container", e.container());
                key.put("keySpec", e.keySpec());
                m.put("key", key);
            } else {
                m.put("key", null);
            }
            m.put("hasKey", v.hasKey().equals("yes"));
            m.put("hasKeyReason", v.hasKey().equals("yes") ? null : v.hasKey().substring(4));
            m.put("parseError", v.parseError());
            m.put("pem", pem(e.encoded()));
            list.add(m);
        }
        Map<String, Object> doc = new LinkedHashMap<>();
        doc.put("store", kind.storeName);
        doc.put("certificates", list);
        return doc;
    }

}
