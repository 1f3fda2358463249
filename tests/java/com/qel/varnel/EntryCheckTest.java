package com.qel.varnel;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertThrows;

import java.util.ArrayList;
import java.util.List;
import java.util.function.Supplier;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/** The entry check every native method but getDLLVersion runs first. */
@SuppressWarnings("removal")
class EntryCheckTest {
    /** Allows everything but linking the named library, and records what it was asked. */
    static final class RefusingManager extends SecurityManager {
        final List<String> asked = new ArrayList<>();
        final SecurityException refusal = new SecurityException("linking refused by test");

        @Override
        public void checkPermission(java.security.Permission perm) {
        }

        @Override
        public void checkLink(String lib) {
            asked.add(lib);
            throw refusal;
        }
    }

    @BeforeAll
    static void loadLibraryFirst() {
        // System.loadLibrary asks checkLink itself: load before any manager is installed.
        assertEquals(262146, MSCAPI.getDLLVersion());
    }

    @AfterEach
    void restore() {
        System.setSecurityManager(null);
        MSCAPI.LIB = "mscapi";
    }

    @Test
    void versionIs4Point2EvenWhenTheCheckWouldRefuse() {
        assertEquals(0x40002, MSCAPI.getDLLVersion());
        RefusingManager m = new RefusingManager();
        System.setSecurityManager(m);
        assertEquals(0x40002, MSCAPI.getDLLVersion());
        assertEquals(List.of(), m.asked, "getDLLVersion runs no entry check");
    }

    @Test
    void refusedLinkReachesTheCallerUnchanged() {
        RefusingManager m = new RefusingManager();
        System.setSecurityManager(m);
        List<Supplier<Object>> calls = List.of(
                () -> MSCAPI.generateRandom(null, 8),
                // An unknown provider would otherwise raise java.lang.Exception:
                // the refusal comes first, before any provider is touched.
                () -> MSCAPI.generateRandom("No Such Provider", -1));
        for (Supplier<Object> call : calls) {
            SecurityException e = assertThrows(SecurityException.class, call::get);
            assertSame(m.refusal, e);
        }
        assertEquals(List.of("mscapi", "mscapi"), m.asked, "checkLink is asked about LIB");
    }

    @Test
    void libNamesWhatCheckLinkIsAskedAbout() {
        MSCAPI.LIB = "another-name";
        RefusingManager m = new RefusingManager();
        System.setSecurityManager(m);
        assertThrows(SecurityException.class, () -> MSCAPI.generateRandom(null, 1));
        assertEquals(List.of("another-name"), m.asked);
    }

    @Test
    void nullLibPassesWithoutAskingTheManager() {
        MSCAPI.LIB = null;
        RefusingManager m = new RefusingManager();
        System.setSecurityManager(m);
        byte[] r = MSCAPI.generateRandom(null, 16);
        assertNotNull(r);
        assertEquals(16, r.length);
        assertEquals(List.of(), m.asked);
    }

    @Test
    void noManagerPasses() {
        assertNull(System.getSecurityManager());
        assertEquals(3, MSCAPI.generateRandom(null, 3).length);
        assertArrayEquals(new byte[0], MSCAPI.generateRandom(null, 0));
    }
}
