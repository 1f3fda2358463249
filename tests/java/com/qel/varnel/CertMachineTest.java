package com.qel.varnel;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Arrays;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;

/** The local-machine fallback of deleteCertFromStore, and the fault guard of queryCerts. */
class CertMachineTest {
    static Path machineScope() {
        return TestHome.home().resolve("machine-scope");
    }

    @AfterEach
    void restore() throws IOException {
        Files.deleteIfExists(machineScope());
        TestControl.clear(TestControl.ENUM_THROWS_ERROR | TestControl.ENUM_THROWS_BAD_ALLOC);
    }

    /** Puts a certificate into the machine's part of a store, as an administrator would. */
    static Certs.Id installForMachine(byte[] der, int kind) throws Exception {
        Files.writeString(machineScope(), "install\n");
        try {
            return Layouts.certId(MSCAPI.addCertToStore(der, null, null, 0, "machine", kind));
        } finally {
            Files.delete(machineScope());
        }
    }

    static boolean listed(int kind, byte[] der) {
        return Layouts.certs(MSCAPI.queryCerts(kind)).stream().anyMatch(e -> Arrays.equals(e.encoded, der));
    }

    @Test
    void machineCertificateIsDeletedThroughTheFallback() throws Exception {
        byte[] der = Certs.fresh("machine-delete");
        Certs.Id id = installForMachine(der, Certs.ROOT);
        assertTrue(listed(Certs.ROOT, der), "the user's view shows the machine's certificate");
        MSCAPI.deleteCertFromStore(id.serial, id.issuer, Certs.ROOT);
        assertTrue(!listed(Certs.ROOT, der));
        CertStoreTest.assertRaises(CertStoreTest.NOT_FOUND,
                () -> MSCAPI.deleteCertFromStore(id.serial, id.issuer, Certs.ROOT));
    }

    @Test
    void theMachinesPersonalCertificatesAreNotTheUsers() throws Exception {
        // The current user's "MY" holds the user's own certificates only;
        // "ROOT" and "CA" also show the machine's.
        byte[] mine = Certs.fresh("machine-my");
        Certs.Id id = installForMachine(mine, Certs.MY);
        assertTrue(!listed(Certs.MY, mine), "the machine's MY is not in the user's list");
        CertStoreTest.assertRaises(CertStoreTest.NOT_FOUND,
                () -> MSCAPI.deleteCertFromStore(id.serial, id.issuer, Certs.MY));
        byte[] ca = Certs.fresh("machine-ca");
        installForMachine(ca, Certs.CA);
        assertTrue(listed(Certs.CA, ca), "the user's CA shows the machine's");
    }

    @ParameterizedTest
    @ValueSource(strings = {"readonly", "unavailable"})
    void fallbackFailsWhenTheMachineScopeDoesNotAllow(String mode) throws Exception {
        byte[] der = Certs.fresh("machine-" + mode);
        Certs.Id id = installForMachine(der, Certs.CA);
        Files.writeString(machineScope(), mode + "\n");
        CertStoreTest.assertRaises(CertStoreTest.NOT_FOUND,
                () -> MSCAPI.deleteCertFromStore(id.serial, id.issuer, Certs.CA));
        // The user's view cannot change the machine's certificate either.
        CertStoreTest.assertRaises(CertStoreTest.NAME_FAILED,
                () -> MSCAPI.setFriendlyName("mine", id.serial, id.issuer, Certs.CA));
        assertTrue(listed(Certs.CA, der));
        Files.delete(machineScope());
        MSCAPI.deleteCertFromStore(id.serial, id.issuer, Certs.CA);
        assertTrue(!listed(Certs.CA, der));
    }

    @Test
    void userCopyIsDeletedBeforeTheMachineIsAsked() throws Exception {
        byte[] der = Certs.fresh("user-first");
        Certs.Id id = Layouts.certId(MSCAPI.addCertToStore(der, null, null, 0, null, Certs.ADDRESS_BOOK));
        Files.writeString(machineScope(), "unavailable\n");
        MSCAPI.deleteCertFromStore(id.serial, id.issuer, Certs.ADDRESS_BOOK);
        assertTrue(!listed(Certs.ADDRESS_BOOK, der));
    }

    @ParameterizedTest
    @ValueSource(strings = {"bad_alloc", "error"})
    void faultGuardReportsAnExceptionFromTheStore(String kind) throws Exception {
        for (int i = 0; i < 3; i++) {
            assertNotNull(MSCAPI.addCertToStore(Certs.fresh("fault-" + kind + i), "P", "C", 1, "f", Certs.MY));
        }
        TestControl.set(kind.equals("bad_alloc") ? TestControl.ENUM_THROWS_BAD_ALLOC : TestControl.ENUM_THROWS_ERROR);
        for (int store : new int[] {Certs.MY, Certs.VARNEL, Certs.ADDRESS_BOOK}) {
            CertStoreTest.assertRaises(
                    "Caught exception in mscapi.dll: 0xe06d7363. Please contact QEL for assistance.",
                    () -> MSCAPI.queryCerts(store));
        }
        TestControl.clear(TestControl.ENUM_THROWS_ERROR | TestControl.ENUM_THROWS_BAD_ALLOC);
        // Everything was released: the store lists normally again.
        assertTrue(Layouts.certs(MSCAPI.queryCerts(Certs.MY)).size() >= 3);
        assertEquals(0, Layouts.certs(MSCAPI.queryCerts(Certs.VARNEL)).size());
    }
}
