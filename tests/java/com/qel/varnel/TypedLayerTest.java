package com.qel.varnel;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.lang.reflect.Method;
import java.lang.reflect.Modifier;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Enumeration;
import java.util.List;
import java.util.jar.JarEntry;
import java.util.jar.JarFile;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;

/** The typed layer is the only public way to the natives; the failure code it reads. */
class TypedLayerTest {
    /**
     * Every native method of the library's jar is package-private or
     * private: code on the class path reaches them only through
     * MscapiLibrary. Classes are read without being initialised (the native
     * library is not loaded).
     */
    @Test
    void noNativeMethodIsPublic() throws Exception {
        Path jar = Path.of(MSCAPI.class.getProtectionDomain().getCodeSource().getLocation().toURI());
        List<String> natives = new ArrayList<>();
        try (JarFile f = new JarFile(jar.toFile())) {
            for (Enumeration<JarEntry> e = f.entries(); e.hasMoreElements();) {
                String name = e.nextElement().getName();
                if (!name.startsWith("com/qel/varnel/") || !name.endsWith(".class")) {
                    continue;
                }
                Class<?> c = Class.forName(name.substring(0, name.length() - 6).replace('/', '.'), false,
                        TypedLayerTest.class.getClassLoader());
                for (Method m : c.getDeclaredMethods()) {
                    if (Modifier.isNative(m.getModifiers())) {
                        natives.add(c.getSimpleName() + "." + m.getName());
                        assertFalse(Modifier.isPublic(m.getModifiers()) || Modifier.isProtected(m.getModifiers()),
                                c.getName() + "." + m.getName() + " is reachable from outside the package");
                    }
                }
            }
        }
        // The sixteen methods of MSCAPI and the library's own two.
        assertEquals(18, natives.size(), () -> "natives: " + natives);
        assertTrue(natives.contains("ContainerKeys.publicKeyBlob") && natives.contains("SilentSigning.sign"),
                () -> "natives: " + natives);
    }

    @ParameterizedTest
    @CsvSource(delimiter = '|', nullValues = "NULL", value = {
        "0x8009000A: Bad type specified.      | -2146893814",
        "0x80090022 Provider could not perform the action since the context was acquired as silent. | -2146893790",
        "0x8010006F                           | -2146434961",
        "0x00000000                           | 0",
        "8009000A                             | 0",
        "0x8009                               | 0",
        "0xZZZZZZZZ                           | 0",
        "NULL                                 | 0",
    })
    void errorCodeIsReadFromTheCause(String causeMessage, int expected) {
        Exception e = new Exception("Failed to sign!", causeMessage == null ? null : new Exception(causeMessage));
        assertEquals(expected, ErrorCode.of(e).value(), () -> "cause " + causeMessage);
    }

    @Test
    void errorCodeConstantsCompareByValue() {
        Exception e = new Exception("Failed!", new Exception("0x8009000A"));
        assertEquals(ErrorCode.NTE_BAD_TYPE, ErrorCode.of(e));
        assertEquals("0x8009000A", ErrorCode.NTE_BAD_TYPE.toString());
        assertEquals(ErrorCode.NONE, ErrorCode.of(new Exception("no cause")));
    }
}
