package com.qel.varnel;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNull;

import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.security.MessageDigest;
import java.util.HashMap;
import java.util.HexFormat;
import java.util.List;
import java.util.Map;
import java.util.Set;
import java.util.TreeSet;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/**
 * The machine's trust anchors in "ROOT", served by p11-kit's trust module from the folder the
 * harness names for this home (HOME/trust-anchors): anchors/ holds a CA, a second CA that
 * blocklist/ distrusts and a certificate that is no authority; only the first is an anchor.
 */
class TrustAnchorsTest {
    static final Path FOLDER = TestHome.home().resolve("trust-anchors");
    static final Path NO_SOURCE = TestHome.home().resolve("registry").resolve("60-no-anchors.reg");
    static final Path LATER = FOLDER.resolve("anchors").resolve("later.pem");

    static String anchorSha1;
    static byte[] anchorDer;

    /** openssl's output of a command, failing the test when it fails. */
    static byte[] openssl(String... args) throws Exception {
        String[] cmd = new String[args.length + 1];
        cmd[0] = "openssl";
        System.arraycopy(args, 0, cmd, 1, args.length);
        Process p = new ProcessBuilder(cmd).redirectError(ProcessBuilder.Redirect.DISCARD).start();
        byte[] out = p.getInputStream().readAllBytes();
        if (p.waitFor() != 0) {
            throw new AssertionError(String.join(" ", cmd) + " failed");
        }
        return out;
    }

    static void selfSigned(String cn, boolean ca, Path pem) throws Exception {
        openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                "-keyout", "/dev/null", "-subj", "/CN=" + cn, "-days", "30",
                "-addext", "basicConstraints=critical,CA:" + (ca ? "TRUE" : "FALSE"), "-out", pem.toString());
    }

    /** The SHA-1 fingerprint as openssl computes it, as lower-case hex. */
    static String sha1Of(Path pem) throws Exception {
        String out = new String(openssl("x509", "-in", pem.toString(), "-noout", "-fingerprint", "-sha1"),
                StandardCharsets.US_ASCII).trim();
        return out.substring(out.indexOf('=') + 1).replace(":", "").toLowerCase();
    }

    @BeforeAll
    static void makeAnchors() throws Exception {
        Files.createDirectories(FOLDER.resolve("anchors"));
        Files.createDirectories(FOLDER.resolve("blocklist"));
        Path ca = FOLDER.resolve("anchors").resolve("ca.pem");
        selfSigned("Test Anchor CA", true, ca);
        Path distrusted = FOLDER.resolve("anchors").resolve("distrusted.pem");
        selfSigned("Test Distrusted CA", true, distrusted);
        Files.copy(distrusted, FOLDER.resolve("blocklist").resolve("distrusted.pem"));
        selfSigned("Test Leaf", false, FOLDER.resolve("anchors").resolve("leaf.pem"));
        anchorSha1 = sha1Of(ca);
        anchorDer = openssl("x509", "-in", ca.toString(), "-outform", "DER");
    }

    @AfterEach
    void restore() throws Exception {
        Files.deleteIfExists(NO_SOURCE);
        Files.deleteIfExists(LATER);
    }

    static String sha1(byte[] der) throws Exception {
        return HexFormat.of().formatHex(MessageDigest.getInstance("SHA-1").digest(der));
    }

    /** The store's records by SHA-1 of their encoding. */
    static Map<String, Layouts.Cert> listed(int kind) throws Exception {
        Map<String, Layouts.Cert> out = new HashMap<>();
        for (Layouts.Cert e : Layouts.certs(MSCAPI.queryCerts(kind))) {
            out.put(sha1(e.encoded), e);
        }
        return out;
    }

    @Test
    void rootListsExactlyTheTrustedAuthorities() throws Exception {
        Map<String, Layouts.Cert> root = listed(Certs.ROOT);
        assertEquals(Set.of(anchorSha1), root.keySet(), "not an authority, or distrusted: left out");
        Layouts.Cert e = root.get(anchorSha1);
        assertArrayEquals(anchorDer, e.encoded);
        assertArrayEquals(Certs.Id.of(anchorDer).serial, e.serial);
        assertArrayEquals(Certs.Id.of(anchorDer).issuer, e.issuer);
        // The module's label (here the subject's common name) is the friendly name.
        assertEquals("Test Anchor CA", new String(e.friendlyName, StandardCharsets.ISO_8859_1));
        assertEquals(0, e.description.length);
        // "CA" and "MY" do not show the anchors.
        assertEquals(Map.of(), listed(Certs.CA));
        assertEquals(Map.of(), listed(Certs.MY));
    }

    @Test
    void anAnchorCannotBeDeletedRenamedOrReflagged() throws Exception {
        Certs.Id id = Certs.Id.of(anchorDer);
        CertStoreTest.assertRaises(CertStoreTest.NOT_FOUND,
                () -> MSCAPI.deleteCertFromStore(id.serial, id.issuer, Certs.ROOT));
        CertStoreTest.assertRaises(CertStoreTest.NAME_FAILED,
                () -> MSCAPI.setFriendlyName("renamed", id.serial, id.issuer, Certs.ROOT));
        CertStoreTest.assertRaises(CertStoreTest.FLAGS_FAILED,
                () -> MSCAPI.setFlags(new byte[] {7}, id.serial, id.issuer, Certs.ROOT));
        Layouts.Cert e = listed(Certs.ROOT).get(anchorSha1);
        assertNotNull(e, "the anchor is still listed");
        assertEquals("Test Anchor CA", new String(e.friendlyName, StandardCharsets.ISO_8859_1));
        assertEquals(0, e.description.length);
        // The view already holds it: adding it is refused as a duplicate.
        assertNull(MSCAPI.addCertToStore(anchorDer, null, null, 0, "copy", Certs.ROOT));
        assertEquals(Set.of(anchorSha1), listed(Certs.ROOT).keySet());
    }

    @Test
    void theUsersOwnRootCertificatesAddListAndDeleteAsBefore() throws Exception {
        byte[] mine = Certs.fresh("user-root");
        Certs.Id id = Layouts.certId(MSCAPI.addCertToStore(mine, null, null, 0, "mine", Certs.ROOT));
        MSCAPI.setFriendlyName("still mine", id.serial, id.issuer, Certs.ROOT);
        MSCAPI.setFlags(new byte[] {3}, id.serial, id.issuer, Certs.ROOT);
        Map<String, Layouts.Cert> root = listed(Certs.ROOT);
        assertEquals(new TreeSet<>(List.of(anchorSha1, sha1(mine))), new TreeSet<>(root.keySet()));
        assertEquals("still mine", new String(root.get(sha1(mine)).friendlyName, StandardCharsets.ISO_8859_1));
        assertArrayEquals(new byte[] {3}, root.get(sha1(mine)).description);
        MSCAPI.deleteCertFromStore(id.serial, id.issuer, Certs.ROOT);
        assertEquals(Set.of(anchorSha1), listed(Certs.ROOT).keySet());
    }

    @Test
    void anAnchorAddedToTheFolderIsListedByTheNextQuery() throws Exception {
        assertEquals(Set.of(anchorSha1), listed(Certs.ROOT).keySet());
        selfSigned("Test Later CA", true, LATER);
        assertEquals(Set.of(anchorSha1, sha1Of(LATER)), listed(Certs.ROOT).keySet());
        Files.delete(LATER);
        assertEquals(Set.of(anchorSha1), listed(Certs.ROOT).keySet());
    }

    @Test
    void aRegistrationWithoutTheSourceShowsNoAnchors() throws Exception {
        Files.writeString(NO_SOURCE, "Windows Registry Editor Version 5.00\n\n"
                + "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\SystemCertificates\\ROOT\\Trust Anchors]\n");
        assertEquals(Map.of(), listed(Certs.ROOT));
        Files.delete(NO_SOURCE);
        assertEquals(Set.of(anchorSha1), listed(Certs.ROOT).keySet());
    }
}
