package com.qel.varnel;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.Arrays;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;

/**
 * Honest results when storage fails: a store that cannot be written is an
 * error, never the silent null of a duplicate; the key store likewise.
 * Runs on the test build of the library, whose faults TestControl switches.
 */
class StoreFaultTest {
    static final String ADD_FAILED = "Error while adding certificate to store!";

    @AfterEach
    void clearFaults() {
        TestControl.clear(TestControl.CERT_STORE_REFUSES_WRITES | TestControl.KEY_STORE_REFUSES_WRITES
                | TestControl.DATABASE_OPEN_FAILS);
    }

    static boolean listed(int kind, byte[] der) {
        return Layouts.certs(MSCAPI.queryCerts(kind)).stream().anyMatch(e -> Arrays.equals(e.encoded, der));
    }

    @ParameterizedTest
    @ValueSource(ints = {Certs.MY, Certs.ROOT, Certs.CA, Certs.ADDRESS_BOOK, Certs.VARNEL})
    void aStoreThatRefusesWritesRaisesInsteadOfLosingTheCertificate(int kind) throws Exception {
        byte[] der = Certs.fresh("refused-" + kind);
        MSCAPI.queryCerts(kind);  // the store exists before the fault
        TestControl.set(TestControl.CERT_STORE_REFUSES_WRITES);
        CertStoreTest.assertRaises(ADD_FAILED, () -> MSCAPI.addCertToStore(der, "P", "C", 2, "refused", kind));
        TestControl.clear(TestControl.CERT_STORE_REFUSES_WRITES);
        assertTrue(!listed(kind, der), "nothing was stored");
        // The same certificate then goes in, and a second add is the silent duplicate.
        Certs.Id id = Layouts.certId(MSCAPI.addCertToStore(der, "P", "C", 2, "stored", kind));
        assertArrayEquals(Certs.Id.of(der).serial, id.serial);
        assertNull(MSCAPI.addCertToStore(der, "P", "C", 2, "again", kind));
        // A duplicate stays silent even while the store cannot be written.
        TestControl.set(TestControl.CERT_STORE_REFUSES_WRITES);
        assertNull(MSCAPI.addCertToStore(der, "P", "C", 2, "again", kind));
    }

    @ParameterizedTest
    @ValueSource(ints = {Certs.MY, Certs.CA})
    void aDifferentCertificateWithTheSameIssuerAndSerialIsNoDuplicate(int kind) throws Exception {
        java.math.BigInteger serial = java.math.BigInteger.valueOf(4242 + kind);
        byte[] first = Certs.make(serial, "CN=Same Issuer", "CN=first");
        byte[] second = Certs.make(serial, "CN=Same Issuer", "CN=second");
        assertNotNull(MSCAPI.addCertToStore(first, "P", "C", 2, null, kind));
        TestControl.set(TestControl.CERT_STORE_REFUSES_WRITES);
        CertStoreTest.assertRaises(ADD_FAILED, () -> MSCAPI.addCertToStore(second, "P", "C", 2, null, kind));
    }

    @ParameterizedTest
    @ValueSource(ints = {TestControl.KEY_STORE_REFUSES_WRITES, TestControl.DATABASE_OPEN_FAILS})
    void aKeyStoreThatFailsRaisesTheMethodsMessage(int fault) throws Exception {
        TestControl.set(fault);
        CertStoreTest.assertRaises("Failed to generate key pair!",
                () -> MSCAPI.generateKeyPair(null, "fault-" + fault, 1, 1024));
        TestControl.clear(fault);
        byte[] pub = MSCAPI.generateKeyPair(null, "fault-" + fault, 1, 1024);
        assertEquals(132, pub.length);
    }
}
