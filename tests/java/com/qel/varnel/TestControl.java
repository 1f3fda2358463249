package com.qel.varnel;

/**
 * Switches the emulation's test faults on and off. Its native method exists
 * only in the test build of the library (build/testlib), never in the
 * product; test classes that use it run against that build.
 */
final class TestControl {
    static final int ENUM_THROWS_ERROR = 1 << 0;
    static final int ENUM_THROWS_BAD_ALLOC = 1 << 1;
    static final int CERT_STORE_REFUSES_WRITES = 1 << 2;
    static final int KEY_STORE_REFUSES_WRITES = 1 << 3;
    static final int DATABASE_OPEN_FAILS = 1 << 4;

    static {
        // The test library is the one MSCAPI loaded: make sure it is loaded.
        MSCAPI.getDLLVersion();
    }

    private TestControl() {}

    private static native int control(int set, int clear);

    static int set(int faults) {
        return control(faults, 0);
    }

    static int clear(int faults) {
        return control(0, faults);
    }
}
