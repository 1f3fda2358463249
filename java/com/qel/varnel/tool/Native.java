package com.qel.varnel.tool;

import com.qel.varnel.MSCAPI;
import java.lang.reflect.InvocationTargetException;
import java.lang.reflect.Method;

/**
 * Calls the package-private native methods of {@link MSCAPI} from the tool's
 * own package, unwrapping the exceptions they raise.
 */
final class Native {
    private Native() {
    }

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

    static int getDLLVersion() throws Exception {
        return (Integer) call("getDLLVersion", new Class<?>[0]);
    }

    static byte[] generateRandom(String provider, int length) throws Exception {
        return (byte[]) call("generateRandom", new Class<?>[] {String.class, int.class}, provider, length);
    }
}
