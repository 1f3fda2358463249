package com.qel.varnel.tool;

import com.qel.varnel.KeyRole;
import com.qel.varnel.Records;
import com.qel.varnel.StoreKind;
import java.io.PrintStream;
import java.security.cert.CertPathBuilder;
import java.security.cert.CertPathBuilderException;
import java.security.cert.CertStore;
import java.security.cert.CollectionCertStoreParameters;
import java.security.cert.PKIXBuilderParameters;
import java.security.cert.PKIXCertPathBuilderResult;
import java.security.cert.TrustAnchor;
import java.security.cert.X509CertSelector;
import java.security.cert.X509Certificate;
import java.security.interfaces.RSAPublicKey;
import java.time.Instant;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collection;
import java.util.HashSet;
import java.util.HexFormat;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.Set;
import picocli.CommandLine.Command;
import picocli.CommandLine.Mixin;
import picocli.CommandLine.Option;
import picocli.CommandLine.Parameters;

/**
 * show and chain: one certificate in full, and its chain of issuers up to a
 * trust anchor. The chain is built by the JDK's PKIX path builder with the
 * certificates of ROOT as trust anchors and those of CA as intermediates,
 * revocation not checked. When no path is found the chain is followed by
 * issuer name and signature as far as the stores go, to say why: the issuer
 * that is missing, or the link that is expired or not yet valid.
 */
final class Chains {
    private Chains() {
    }

    static final String CHAIN_TEXT = "The chain is built by the JDK's PKIX path builder with ROOT's certificates as "
            + "trust anchors and CA's as intermediates; revocation is not checked. The verdict is trusted, "
            + "untrusted (no anchor reached: the missing issuer is named), expired or not yet valid (the link is "
            + "named).";

    /** The certificate show and chain act on: its store and its thumbprint. */
    static final class Picked {
        @Parameters(index = "0", paramLabel = "STORE", completionCandidates = Options.Stores.class,
                description = "The store.")
        String store;

        @Option(names = "--thumbprint", paramLabel = "HEX", required = true,
                description = "The certificate's SHA-1 or SHA-256 thumbprint, or a unique start of it.")
        String thumbprint;

        StoreKind kind() throws ToolError {
            return Stores.storeToShow(store);
        }

        Listings.CertView view(StoreKind kind) throws Exception {
            return Listings.byThumbprint(Listings.certViews(kind), thumbprint, store);
        }
    }

    @Command(name = "show", header = "one certificate in full, with its key binding and its chain",
            customSynopsis = "mscapi show STORE --thumbprint HEX [--pem | --json]",
            description = "Subject, issuer, serial, validity, key, key usage, extended key usage, subject "
                    + "alternative names, friendly name, description, key binding (whether the container holds the "
                    + "certificate's key), both thumbprints and the chain. HEX is the SHA-1 or SHA-256 thumbprint "
                    + "or a unique start of it (8 hex digits at least). " + CHAIN_TEXT + " "
                    + Stores.STORE_TEXT)
    static final class Show extends Cmd {
        @Mixin
        Picked picked = new Picked();

        @Option(names = "--pem", description = "Print the certificate as PEM only.")
        boolean pem;

        @Option(names = "--json", description = "Print one JSON document.")
        boolean json;

        @Override
        public Integer call() throws Exception {
            if (pem && json) {
                throw ToolError.usage("give either --pem or --json");
            }
            StoreKind kind = picked.kind();
            Listings.CertView v = picked.view(kind);
            if (pem) {
                out.print(FileIO.pem("CERTIFICATE", v.entry().encoded()));
                return Exit.OK;
            }
            X509Certificate c = v.x509();
            if (c == null) {
                throw new ToolError("the certificate is not readable as X.509: " + v.parseError());
            }
            Chain chain = build(c, kind);
            Map<String, Object> m = fields(v, c);
            if (json) {
                m.put("chain", chain.json());
                out.print(Json.write(m));
                return Exit.OK;
            }
            for (Map.Entry<String, Object> e : m.entrySet()) {
                Object value = e.getValue();
                if (e.getKey().equals("hasKeyReason")) {
                    continue;
                }
                String text = value == null ? "(none)" : value instanceof List<?> l ? join(l)
                        : value instanceof Map<?, ?> b ? b.get("provider") + " / " + Text.quoted((String) b.get(
                                "container")) + " / " + b.get("spec")
                        : e.getKey().equals("hasKey") ? v.hasKey() : String.valueOf(value);
                out.printf("%-18s %s%n", LABELS.getOrDefault(e.getKey(), e.getKey()) + ":", text);
            }
            out.println();
            chain.print(out);
            return Exit.OK;
        }
    }

    @Command(name = "chain", header = "a certificate's chain up to a trust anchor, and whether it is trusted",
            customSynopsis = "mscapi chain STORE --thumbprint HEX [--json]",
            description = "Prints the chain as a tree from the anchor down, each link with its validity, and one "
                    + "verdict; the exit code is 0 only for trusted. " + CHAIN_TEXT + " " + Stores.STORE_TEXT)
    static final class ChainCommand extends Cmd {
        @Mixin
        Picked picked = new Picked();

        @Option(names = "--json", description = "Print one JSON document.")
        boolean json;

        @Override
        public Integer call() throws Exception {
            StoreKind kind = picked.kind();
            Listings.CertView v = picked.view(kind);
            if (v.x509() == null) {
                throw new ToolError("the certificate is not readable as X.509: " + v.parseError());
            }
            Chain chain = build(v.x509(), kind);
            if (json) {
                out.print(Json.write(chain.json()));
            } else {
                chain.print(out);
            }
            return chain.verdict.equals("trusted") ? Exit.OK : Exit.FAILED;
        }
    }

    private static final Map<String, String> LABELS = Map.ofEntries(Map.entry("subject", "subject"),
            Map.entry("issuer", "issuer"), Map.entry("serial", "serial"), Map.entry("notBefore", "valid from"),
            Map.entry("notAfter", "valid to"), Map.entry("validity", "validity"), Map.entry("key", "key"),
            Map.entry("keyUsage", "key usage"), Map.entry("extendedKeyUsage", "ext key usage"),
            Map.entry("subjectAltNames", "alt names"), Map.entry("friendlyName", "friendly name"),
            Map.entry("description", "description"), Map.entry("binding", "binding"),
            Map.entry("hasKey", "has key"), Map.entry("sha1", "SHA-1"), Map.entry("sha256", "SHA-256"));

    private static String join(List<?> l) {
        List<String> s = new ArrayList<>();
        for (Object o : l) {
            s.add(String.valueOf(o));
        }
        return String.join(", ", s);
    }

    /** show's fields, in its order; the same names in the listing (labels) and the JSON. */
    static Map<String, Object> fields(Listings.CertView v, X509Certificate c) throws Exception {
        Records.Cert e = v.entry();
        Instant now = Instant.now();
        Map<String, Object> m = new LinkedHashMap<>();
        m.put("subject", c.getSubjectX500Principal().getName());
        m.put("issuer", c.getIssuerX500Principal().getName());
        m.put("serial", Text.hex(Text.reversed(e.serial())));
        m.put("notBefore", Text.DATE.format(c.getNotBefore().toInstant()));
        m.put("notAfter", Text.DATE.format(c.getNotAfter().toInstant()));
        m.put("validity", Listings.validity(c, now));
        String alg = c.getPublicKey().getAlgorithm();
        m.put("key", c.getPublicKey() instanceof RSAPublicKey rsa ? alg + " " + rsa.getModulus().bitLength() + " bits"
                : alg);
        List<String> ku = Listings.keyUsage(c);
        m.put("keyUsage", ku == null ? null : Json.list(ku));
        List<String> eku = Listings.extendedKeyUsage(c);
        m.put("extendedKeyUsage", eku == null ? null : Json.list(eku));
        m.put("subjectAltNames", altNames(c));
        m.put("friendlyName", v.friendlyName());
        m.put("description", Listings.descriptionText(e.description(), false));
        if (!e.provider().isEmpty() || !e.container().isEmpty()) {
            Map<String, Object> b = new LinkedHashMap<>();
            b.put("provider", e.provider());
            b.put("container", e.container());
            b.put("spec", KeyRole.describe(e.keySpec()));
            m.put("binding", b);
        } else {
            m.put("binding", null);
        }
        m.put("hasKey", v.hasKey().equals("yes"));
        m.put("hasKeyReason", v.hasKey().equals("yes") ? null : v.hasKey().substring(4));
        m.put("sha1", Text.digest("SHA-1", e.encoded()));
        m.put("sha256", Text.digest("SHA-256", e.encoded()));
        return m;
    }

    /** The subject alternative names as TYPE:VALUE (DNS, email, URI, IP, ...), or null without them. */
    static List<Object> altNames(X509Certificate c) throws Exception {
        Collection<List<?>> names = c.getSubjectAlternativeNames();
        if (names == null) {
            return null;
        }
        String[] types = {"other", "email", "DNS", "x400", "dirName", "ediParty", "URI", "IP", "RID"};
        List<Object> out = new ArrayList<>();
        for (List<?> n : names) {
            int type = (Integer) n.get(0);
            Object value = n.get(1);
            out.add((type < types.length ? types[type] : "type" + type) + ":"
                    + (value instanceof byte[] b ? HexFormat.of().formatHex(b) : value));
        }
        return out;
    }

    // ---- the chain -------------------------------------------------------------

    /** One certificate of a chain and the store it came from. */
    record Link(X509Certificate cert, String store) {
    }

    /**
     * A chain from the certificate up (links.get(0) is the certificate),
     * anchored when its last link is a certificate of ROOT; the verdict and
     * the words that explain it.
     */
    static final class Chain {
        final List<Link> links;
        final boolean anchored;
        final String verdict;
        final String reason;
        final Instant now;

        Chain(List<Link> links, boolean anchored, String verdict, String reason, Instant now) {
            this.links = links;
            this.anchored = anchored;
            this.verdict = verdict;
            this.reason = reason;
            this.now = now;
        }

        void print(PrintStream out) {
            out.println("chain (revocation is not checked):");
            String indent = "  ";
            if (!anchored) {
                X509Certificate top = links.get(links.size() - 1).cert();
                out.println(indent + "? " + top.getIssuerX500Principal().getName() + "   [missing: in neither CA "
                        + "nor ROOT]");
                indent += "  ";
            }
            for (int i = links.size() - 1; i >= 0; i--) {
                Link l = links.get(i);
                X509Certificate c = l.cert();
                String state = Listings.validity(c, now);
                out.println(indent + c.getSubjectX500Principal().getName() + "   ["
                        + (anchored && i == links.size() - 1 ? "anchor, " : "") + l.store() + "]");
                out.println(indent + "    valid " + Text.DATE.format(c.getNotBefore().toInstant()) + " to "
                        + Text.DATE.format(c.getNotAfter().toInstant())
                        + (state.equals("valid") ? "" : "   ** " + state + " **"));
                indent += "  ";
            }
            out.println("verdict: " + verdict.replace("notYetValid", "not yet valid") + ": " + reason);
        }

        Map<String, Object> json() {
            List<Object> list = new ArrayList<>();
            for (int i = links.size() - 1; i >= 0; i--) {
                X509Certificate c = links.get(i).cert();
                Map<String, Object> m = new LinkedHashMap<>();
                m.put("subject", c.getSubjectX500Principal().getName());
                m.put("issuer", c.getIssuerX500Principal().getName());
                m.put("store", links.get(i).store());
                m.put("anchor", anchored && i == links.size() - 1);
                m.put("notBefore", c.getNotBefore().toInstant().toString());
                m.put("notAfter", c.getNotAfter().toInstant().toString());
                m.put("validity", Listings.validity(c, now));
                list.add(m);
            }
            Map<String, Object> doc = new LinkedHashMap<>();
            doc.put("links", list);
            doc.put("missingIssuer", anchored ? null
                    : links.get(links.size() - 1).cert().getIssuerX500Principal().getName());
            doc.put("verdict", verdict);
            doc.put("reason", reason);
            doc.put("revocationChecked", false);
            return doc;
        }
    }

    static List<X509Certificate> storeCerts(StoreKind kind) throws Exception {
        List<X509Certificate> certs = new ArrayList<>();
        for (Records.Cert e : Stores.list(kind)) {
            try {
                certs.add(Formats.x509(e.encoded()));
            } catch (Exception unreadable) {
                // not X.509: no part of any chain
            }
        }
        return certs;
    }

    /** The chain of a certificate of store kind, and its verdict now. */
    static Chain build(X509Certificate target, StoreKind kind) throws Exception {
        Instant now = Instant.now();
        List<X509Certificate> roots = storeCerts(StoreKind.ROOT);
        List<X509Certificate> cas = storeCerts(StoreKind.CA);
        // Followed by name and signature: the chain as far as the stores go.
        List<Link> links = new ArrayList<>();
        links.add(new Link(target, kind.storeName));
        Set<X509Certificate> seen = new HashSet<>(List.of(target));
        boolean anchored = contains(roots, target);
        X509Certificate current = target;
        while (!anchored) {
            X509Certificate issuer = issuerOf(current, roots);
            String from = "ROOT";
            if (issuer == null) {
                issuer = issuerOf(current, cas);
                from = "CA";
            }
            if (issuer == null || !seen.add(issuer)) {
                break;
            }
            links.add(new Link(issuer, from));
            anchored = from.equals("ROOT");
            current = issuer;
        }
        if (!anchored && current.getSubjectX500Principal().equals(current.getIssuerX500Principal())) {
            return new Chain(links, false, "untrusted", "no trust anchor reached: \""
                    + current.getSubjectX500Principal().getName() + "\" is self-signed and not in ROOT", now);
        }
        if (!anchored) {
            return new Chain(links, false, "untrusted", "no trust anchor reached: the issuer \""
                    + current.getIssuerX500Principal().getName() + "\" is in neither CA nor ROOT", now);
        }
        for (Link l : links) {
            String state = Listings.validity(l.cert(), now);
            String name = "\"" + l.cert().getSubjectX500Principal().getName() + "\" (" + l.store() + ")";
            if (state.equals("EXPIRED")) {
                return new Chain(links, true, "expired", name + " expired on "
                        + Text.DATE.format(l.cert().getNotAfter().toInstant()), now);
            }
            if (state.equals("NOT YET VALID")) {
                return new Chain(links, true, "notYetValid", name + " is not valid before "
                        + Text.DATE.format(l.cert().getNotBefore().toInstant()), now);
            }
        }
        X509Certificate anchor = links.get(links.size() - 1).cert();
        if (links.size() == 1) {
            // The certificate is itself an anchor of ROOT.
            return new Chain(links, true, "trusted", "the certificate is a trust anchor in ROOT", now);
        }
        // The verdict on a chain that reaches an anchor is the PKIX path builder's.
        Set<TrustAnchor> anchors = new HashSet<>();
        for (X509Certificate r : roots) {
            anchors.add(new TrustAnchor(r, null));
        }
        List<X509Certificate> pool = new ArrayList<>(cas);
        pool.add(target);
        X509CertSelector selector = new X509CertSelector();
        selector.setCertificate(target);
        PKIXBuilderParameters params = new PKIXBuilderParameters(anchors, selector);
        params.setRevocationEnabled(false);
        params.addCertStore(CertStore.getInstance("Collection", new CollectionCertStoreParameters(pool)));
        try {
            PKIXCertPathBuilderResult r = (PKIXCertPathBuilderResult) CertPathBuilder.getInstance("PKIX").build(params);
            List<Link> path = new ArrayList<>();
            for (java.security.cert.Certificate c : r.getCertPath().getCertificates()) {
                X509Certificate x = (X509Certificate) c;
                path.add(new Link(x, x.equals(target) ? kind.storeName : "CA"));
            }
            path.add(new Link(r.getTrustAnchor().getTrustedCert(), "ROOT"));
            return new Chain(path, true, "trusted", "the PKIX path builder reached the anchor \""
                    + r.getTrustAnchor().getTrustedCert().getSubjectX500Principal().getName() + "\"", now);
        } catch (CertPathBuilderException e) {
            return new Chain(links, true, "untrusted", "the chain up to \"" + anchor.getSubjectX500Principal().getName()
                    + "\" does not validate: " + e.getMessage(), now);
        }
    }

    private static boolean contains(List<X509Certificate> certs, X509Certificate c) throws Exception {
        for (X509Certificate x : certs) {
            if (Arrays.equals(x.getEncoded(), c.getEncoded())) {
                return true;
            }
        }
        return false;
    }

    /** The certificate of a store that issued c: its subject is c's issuer and its key verifies c's signature. */
    private static X509Certificate issuerOf(X509Certificate c, List<X509Certificate> candidates) {
        for (X509Certificate x : candidates) {
            if (!x.getSubjectX500Principal().equals(c.getIssuerX500Principal()) || x.equals(c)) {
                continue;
            }
            try {
                c.verify(x.getPublicKey());
                return x;
            } catch (Exception notThisOne) {
                // same name, another key
            }
        }
        return null;
    }
}
