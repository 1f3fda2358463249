package com.qel.varnel;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.math.BigInteger;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.security.cert.X509Certificate;
import java.util.Arrays;
import java.util.List;
import java.util.stream.Stream;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.function.Executable;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;
import org.junit.jupiter.params.provider.ValueSource;

class CertStoreTest {
    static final String ADD_FAILED = "Error while adding certificate to store!";
    static final String ADD_OPEN = "Error opening target store!";
    static final String OPEN = "Failed to open the requested store!";
    static final String NAME_FAILED = "Failed to set friendly name property!";
    static final String FLAGS_FAILED = "Failed to set certificate description property !";
    static final String NOT_FOUND = "Cert not found !";

    static void assertRaises(String message, Executable call) {
        Exception e = assertThrows(Exception.class, call);
        assertSame(Exception.class, e.getClass(), () -> "got " + e);
        assertEquals(message, e.getMessage());
    }

    static List<Layouts.Cert> list(int kind) {
        return Layouts.certs(MSCAPI.queryCerts(kind));
    }

    static Layouts.Cert only(int kind, byte[] der) {
        return list(kind).stream().filter(e -> Arrays.equals(e.encoded, der)).findFirst()
                .orElseThrow(() -> new AssertionError("certificate not listed"));
    }

    static Stream<Arguments> serials() {
        return Stream.of(
                Arguments.of(BigInteger.ONE, "CN=One"),
                Arguments.of(BigInteger.valueOf(127), "CN=Seven F, O=Org"),
                Arguments.of(BigInteger.valueOf(128), "CN=Sign Byte"),       // DER 00 80
                Arguments.of(BigInteger.ONE.shiftLeft(127), "CN=Sixteen Bytes, OU=Unit, O=Org, C=DE"),
                Arguments.of(new BigInteger("0123456789abcdef0123456789abcd", 16), "CN=\u00c9milie, O=Acm\u00e9"));
    }

    @ParameterizedTest
    @MethodSource("serials")
    void certIdMatchesTheJdksReading(BigInteger serial, String issuer) throws Exception {
        byte[] der = Certs.make(serial, issuer, "CN=Subject " + serial);
        X509Certificate jdk = Certs.x509(der);
        byte[] certId = MSCAPI.addCertToStore(der, null, null, 0, null, Certs.CA);
        assertNotNull(certId);
        Certs.Id id = Layouts.certId(certId);
        assertArrayEquals(Certs.platformSerial(jdk), id.serial);
        assertArrayEquals(jdk.getIssuerX500Principal().getEncoded(), id.issuer);
        assertEquals(8 + id.serial.length + id.issuer.length, certId.length);
    }

    @Test
    void keytoolCertificateInMyWithBinding() throws Exception {
        byte[] der = Certs.fromKeytool("CN=Keytool Made, OU=Tests, O=Varnel, C=GB");
        X509Certificate jdk = Certs.x509(der);
        Certs.Id id = Layouts.certId(MSCAPI.addCertToStore(der, Keys.STRONG, "kt-box", 2, "kt", Certs.MY));
        assertArrayEquals(Certs.platformSerial(jdk), id.serial);
        assertArrayEquals(jdk.getIssuerX500Principal().getEncoded(), id.issuer);
        Layouts.Cert e = only(Certs.MY, der);
        assertArrayEquals(id.serial, e.serial);
        assertArrayEquals(id.issuer, e.issuer);
        assertEquals(Keys.STRONG, e.provider);
        assertEquals("kt-box", e.container);
        assertEquals(2, e.keySpec);
        assertEquals("kt", new String(e.friendlyName, StandardCharsets.ISO_8859_1));
    }

    @Test
    void listIsNewestFirstWithNamesAndDescriptions() throws Exception {
        byte[] a = Certs.fresh("list-a");
        byte[] b = Certs.fresh("list-b");
        byte[] c = Certs.fresh("list-c");
        byte[] d = Certs.fresh("list-d");
        assertNotNull(MSCAPI.addCertToStore(a, "ignored", "ignored", 1, "abc", Certs.ADDRESS_BOOK));
        assertNotNull(MSCAPI.addCertToStore(b, null, null, 0, "Zo\u00eb", Certs.ADDRESS_BOOK));
        assertNotNull(MSCAPI.addCertToStore(c, null, null, 0, "x\u540dy", Certs.ADDRESS_BOOK));
        assertNotNull(MSCAPI.addCertToStore(d, null, null, 0, "", Certs.ADDRESS_BOOK));
        Certs.Id idB = Certs.Id.of(b);
        MSCAPI.setFlags(new byte[] {1, 2}, idB.serial, idB.issuer, Certs.ADDRESS_BOOK);

        byte[] raw = MSCAPI.queryCerts(Certs.ADDRESS_BOOK);
        List<Layouts.Cert> l = Layouts.certs(raw);
        assertEquals(4, l.size());
        assertArrayEquals(d, l.get(0).encoded);
        assertArrayEquals(c, l.get(1).encoded);
        assertArrayEquals(b, l.get(2).encoded);
        assertArrayEquals(a, l.get(3).encoded);
        // Outside "MY" no key binding is read or written.
        for (Layouts.Cert e : l) {
            assertEquals("", e.provider);
            assertEquals("", e.container);
            assertEquals(0, e.keySpec);
            X509Certificate jdk = Certs.x509(e.encoded);
            assertArrayEquals(Certs.platformSerial(jdk), e.serial);
            assertArrayEquals(jdk.getIssuerX500Principal().getEncoded(), e.issuer);
        }
        assertArrayEquals(new byte[0], l.get(0).friendlyName, "empty name: like none");
        // U+540D does not fit in 8 bits: the conversion stops there and the
        // rest of the field is zero.
        assertArrayEquals(new byte[] {'x', 0, 0}, l.get(1).friendlyName);
        assertArrayEquals(new byte[] {'Z', 'o', (byte) 0xEB}, l.get(2).friendlyName);
        assertArrayEquals(new byte[] {'a', 'b', 'c'}, l.get(3).friendlyName);
        assertArrayEquals(new byte[] {1, 2}, l.get(2).description);
        assertArrayEquals(new byte[0], l.get(3).description);
        // A record without name or description takes 32 + L1 + L2 + L3 bytes.
        Layouts.Cert plain = l.get(0);
        assertEquals(32 + plain.encoded.length + plain.serial.length + plain.issuer.length, plain.size);
    }

    @Test
    void myListsOnlyCertificatesWithAUsableBinding() throws Exception {
        byte[] bound = Certs.fresh("my-bound");
        byte[] noProvider = Certs.fresh("my-no-provider");
        byte[] noContainer = Certs.fresh("my-no-container");
        byte[] wide = Certs.fresh("my-wide");
        int before = list(Certs.MY).size();
        assertNotNull(MSCAPI.addCertToStore(bound, Keys.ENHANCED, "boxA", 7, "bound", Certs.MY));
        assertNotNull(MSCAPI.addCertToStore(noProvider, null, "boxB", 1, null, Certs.MY));
        assertNotNull(MSCAPI.addCertToStore(noContainer, Keys.ENHANCED, null, 1, null, Certs.MY));
        assertNotNull(MSCAPI.addCertToStore(wide, Keys.BASE, "Bo\u00eete", 1, null, Certs.MY));
        List<Layouts.Cert> l = list(Certs.MY);
        assertEquals(before + 2, l.size(), "certificates without both names are left out");
        Layouts.Cert w = l.get(0);
        assertArrayEquals(wide, w.encoded);
        // Bound byte by byte from modified UTF-8 and narrowed back unit by unit.
        assertEquals("Bo\u00c3\u00aete", w.container);
        assertEquals(Keys.BASE, w.provider);
        Layouts.Cert b = l.get(1);
        assertArrayEquals(bound, b.encoded);
        assertEquals("boxA", b.container);
        assertEquals(7, b.keySpec, "the key spec is recorded unchanged");
        // They are in the store all the same: a second add is refused.
        assertNull(MSCAPI.addCertToStore(noProvider, Keys.ENHANCED, "boxB", 1, null, Certs.MY));
    }

    @Test
    void addingTwiceReturnsNullAndKeepsTheFirstCopy() throws Exception {
        byte[] der = Certs.fresh("twice");
        assertNotNull(MSCAPI.addCertToStore(der, null, null, 0, "first", Certs.ROOT));
        Certs.Id id = Certs.Id.of(der);
        MSCAPI.setFlags(new byte[] {9}, id.serial, id.issuer, Certs.ROOT);
        assertNull(MSCAPI.addCertToStore(der, null, null, 0, "second", Certs.ROOT));
        long copies = list(Certs.ROOT).stream().filter(e -> Arrays.equals(e.encoded, der)).count();
        assertEquals(1, copies);
        Layouts.Cert e = only(Certs.ROOT, der);
        assertEquals("first", new String(e.friendlyName, StandardCharsets.ISO_8859_1));
        assertArrayEquals(new byte[] {9}, e.description);
    }

    @Test
    void bytesThatAreNotOneCertificateGiveASilentNull() throws Exception {
        byte[] der = Certs.fresh("not-a-cert");
        byte[] trailing = Arrays.copyOf(der, der.length + 1);
        byte[] truncated = Arrays.copyOf(der, der.length - 1);
        int before = list(Certs.CA).size();
        for (byte[] bad : new byte[][] {new byte[0], {0x30, 0x00}, trailing, truncated}) {
            assertNull(MSCAPI.addCertToStore(bad, null, null, 0, "bad", Certs.CA));
        }
        assertEquals(before, list(Certs.CA).size());
        assertRaises(ADD_FAILED, () -> MSCAPI.addCertToStore(null, Keys.STRONG, "box", 1, "n", Certs.MY));
    }

    @ParameterizedTest
    @ValueSource(ints = {0, 6, -1})
    void codesOutsideTheTableNameNoStore(int kind) throws Exception {
        byte[] der = Certs.fresh("kind" + kind);
        Certs.Id id = Certs.Id.of(der);
        assertRaises(ADD_OPEN, () -> MSCAPI.addCertToStore(der, null, null, 0, null, kind));
        assertRaises(OPEN, () -> MSCAPI.setFriendlyName("n", id.serial, id.issuer, kind));
        assertRaises(OPEN, () -> MSCAPI.setFlags(new byte[1], id.serial, id.issuer, kind));
        assertRaises(OPEN, () -> MSCAPI.deleteCertFromStore(id.serial, id.issuer, kind));
        assertRaises(OPEN, () -> MSCAPI.queryCerts(kind));
        // A missing argument is refused before the store is looked at.
        assertRaises("Name missing !", () -> MSCAPI.setFriendlyName(null, id.serial, id.issuer, kind));
        assertRaises("Flags missing !", () -> MSCAPI.setFlags(null, id.serial, id.issuer, kind));
    }

    @Test
    void nullOrUnknownKeysFindNothing() throws Exception {
        byte[] der = Certs.fresh("null-keys");
        Certs.Id id = Layouts.certId(MSCAPI.addCertToStore(der, null, null, 0, null, Certs.CA));
        byte[] otherSerial = id.serial.clone();
        otherSerial[0] ^= 1;
        byte[][][] keys = {{null, id.issuer}, {id.serial, null}, {null, null}, {otherSerial, id.issuer},
            {id.serial, Arrays.copyOf(id.issuer, id.issuer.length - 1)}};
        for (byte[][] k : keys) {
            assertRaises(NAME_FAILED, () -> MSCAPI.setFriendlyName("n", k[0], k[1], Certs.CA));
            assertRaises(FLAGS_FAILED, () -> MSCAPI.setFlags(new byte[] {1}, k[0], k[1], Certs.CA));
            assertRaises(NOT_FOUND, () -> MSCAPI.deleteCertFromStore(k[0], k[1], Certs.CA));
        }
        // Nothing changed.
        Layouts.Cert e = only(Certs.CA, der);
        assertEquals(0, e.friendlyName.length);
        assertEquals(0, e.description.length);
        // And the same key in another store finds nothing either.
        assertRaises(NOT_FOUND, () -> MSCAPI.deleteCertFromStore(id.serial, id.issuer, Certs.ROOT));
    }

    @Test
    void setAndDeleteWithIdsFromCertIdAndFromTheList() throws Exception {
        byte[] a = Certs.fresh("round-a");
        byte[] b = Certs.fresh("round-b");
        Certs.Id fromAdd = Layouts.certId(MSCAPI.addCertToStore(a, Keys.STRONG, "boxR", 1, null, Certs.MY));
        MSCAPI.addCertToStore(b, Keys.STRONG, "boxS", 2, null, Certs.MY);
        Certs.Id fromList = only(Certs.MY, b).id();

        MSCAPI.setFriendlyName("Na\u00efve", fromAdd.serial, fromAdd.issuer, Certs.MY);
        MSCAPI.setFlags(new byte[] {0, 7, (byte) 0xFF}, fromAdd.serial, fromAdd.issuer, Certs.MY);
        MSCAPI.setFriendlyName("", fromList.serial, fromList.issuer, Certs.MY);
        MSCAPI.setFlags(new byte[0], fromList.serial, fromList.issuer, Certs.MY);
        Layouts.Cert ea = only(Certs.MY, a);
        assertArrayEquals(new byte[] {'N', 'a', (byte) 0xEF, 'v', 'e'}, ea.friendlyName);
        assertArrayEquals(new byte[] {0, 7, (byte) 0xFF}, ea.description);
        assertEquals("boxR", ea.container, "the binding stays");
        Layouts.Cert eb = only(Certs.MY, b);
        assertEquals(0, eb.friendlyName.length);
        assertEquals(0, eb.description.length);

        MSCAPI.deleteCertFromStore(fromList.serial, fromList.issuer, Certs.MY);
        assertRaises(NOT_FOUND, () -> MSCAPI.deleteCertFromStore(fromList.serial, fromList.issuer, Certs.MY));
        MSCAPI.deleteCertFromStore(fromAdd.serial, fromAdd.issuer, Certs.MY);
        assertTrue(list(Certs.MY).stream().noneMatch(e -> Arrays.equals(e.encoded, a) || Arrays.equals(e.encoded, b)));
        assertRaises(NAME_FAILED, () -> MSCAPI.setFriendlyName("gone", fromAdd.serial, fromAdd.issuer, Certs.MY));
    }

    @Test
    void applicationStoreIsCreatedByTheFirstListing() throws Exception {
        // This class's other tests never touch "Varnel".
        assertArrayEquals(new byte[4], MSCAPI.queryCerts(Certs.VARNEL));
        assertTrue(Files.exists(TestHome.home().resolve("certs.db")));
        byte[] der = Certs.fresh("varnel");
        assertNotNull(MSCAPI.addCertToStore(der, Keys.STRONG, "ignored", 1, "app", Certs.VARNEL));
        List<Layouts.Cert> l = list(Certs.VARNEL);
        assertEquals(1, l.size());
        assertArrayEquals(der, l.get(0).encoded);
        assertEquals("", l.get(0).container);
    }
}
