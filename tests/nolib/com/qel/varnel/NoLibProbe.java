package com.qel.varnel;

/**
 * Run in a JVM of its own with the LIB-less variant of MSCAPI: the entry
 * check must let the JVM's NoSuchFieldError through, while getDLLVersion,
 * which runs no check, still answers.
 */
public final class NoLibProbe {
    public static void main(String[] args) {
        int failures = 0;
        if (MSCAPI.getDLLVersion() != 262146) {
            System.out.println("getDLLVersion did not answer 262146");
            failures++;
        }
        try {
            byte[] r = MSCAPI.generateRandom(null, 8);
            System.out.println("generateRandom returned " + (r == null ? "null" : r.length + " bytes") + " without LIB");
            failures++;
        } catch (NoSuchFieldError e) {
            if (!e.getMessage().contains("LIB")) {
                System.out.println("NoSuchFieldError without the field's name: " + e.getMessage());
                failures++;
            }
        } catch (Throwable t) {
            System.out.println("expected NoSuchFieldError, got " + t);
            failures++;
        }
        if (failures == 0) {
            System.out.println("NoLibProbe: all checks held");
        }
        System.exit(failures == 0 ? 0 : 1);
    }
}
