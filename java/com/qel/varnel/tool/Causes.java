package com.qel.varnel.tool;

import com.qel.varnel.KeyRole;
import java.nio.file.AccessDeniedException;
import java.nio.file.FileAlreadyExistsException;
import java.nio.file.FileSystemException;
import java.nio.file.NoSuchFileException;
import java.util.List;

/**
 * The cause of a failure in words. A library method raises a fixed message
 * ("Failed to sign data!"); the emulation's trace of the call says which
 * platform call failed, with what arguments, its error and often its reason.
 * From those this class says what went wrong in the user's terms and what to
 * do about it. It goes by the reason's stable code (the line's field
 * "cause", from the emulation's table in emu/common/reasons.h), never by the
 * words, which may change.
 */
final class Causes {
    private Causes() {
    }

    /** What the cause of a library failure was, in words, or null when the trace says nothing. */
    static String explain(List<Trace.Line> calls) {
        Trace.Line failed = null;
        Trace.Line acquire = null;
        Trace.Line acquireOfFailure = null;
        for (Trace.Line l : calls) {
            if (l.call().equals("CryptAcquireContextA")) {
                acquire = l;
            }
            if (!l.ok() && isFailure(l)) {
                failed = l;
                acquireOfFailure = acquire;
            }
        }
        if (failed == null) {
            return null;
        }
        String reason = failed.reason() == null ? "" : failed.reason();
        String error = failed.error() == null ? "" : failed.error();
        String cause = failed.cause() == null ? "" : failed.cause();
        String container = acquireOfFailure == null ? null : acquireOfFailure.text("container");
        String provider = acquireOfFailure == null ? null : acquireOfFailure.text("provider");

        if (failed.call().equals("CryptAcquireContextA")) {
            switch (cause) {
                case "PROVIDER_NOT_REGISTERED":
                    return "provider \"" + failed.text("named") + "\" is not registered (see mscapi providers)";
                case "PROVIDER_WRONG_TYPE":
                    return "provider \"" + failed.text("named") + "\" is of type " + failed.number("registered type")
                            + ", not an RSA full provider (type 1; see mscapi providers)";
                case "NO_DEFAULT_PROVIDER":
                    return "no default RSA provider is registered: give --provider (see mscapi providers)";
                default:
                    break;
            }
            if (cause.equals("TOKEN_NOT_PRESENT")) {
                return "token " + q(tokenOf(container)) + " is not present (container " + name(container)
                        + " in provider " + q(providerName(provider)) + ")";
            }
            if (cause.equals("CONTAINER_AMBIGUOUS")) {
                return "several key pairs on the token are labelled " + q(container)
                        + ": name one as \"<label> #<CKA_ID in hex>\" (see mscapi keys)";
            }
            if (cause.equals("CONTAINER_NOT_FOUND") || error.equals("NTE_BAD_KEYSET")) {
                return "no container " + name(container) + " in provider " + q(providerName(provider))
                        + " (see mscapi keys)";
            }
            if (cause.equals("CONTAINER_EXISTS") || error.equals("NTE_EXISTS")) {
                return "container " + name(container) + " already exists in provider " + q(providerName(provider))
                        + " (delete it with mscapi delkey, or choose another name)";
            }
        }
        switch (cause) {
            case "KEY_LENGTH": {
                long flags = failed.number("flags");
                long asked = flags >= 0 ? flags >>> 16 : -1;
                return "key length must be 512\u201316384 in steps of 8" + (asked > 0 ? " (asked: " + asked + ")" : "");
            }
            case "PIN_WRONG": {
                long tries = failed.number("tries");
                return "the PIN was refused (" + tries + (tries == 1 ? " try" : " tries")
                        + " left before the key is blocked)";
            }
            case "PIN_NOW_BLOCKED":
                return "the PIN was refused, and the key is now blocked after " + failed.number("wrong")
                        + " wrong PINs (mscapi unblock --container " + Text.quoted(container) + ")";
            case "PIN_BLOCKED":
                return "the key is blocked after " + failed.number("wrong") + " wrong PINs: unblock it with mscapi unblock "
                        + "--container " + Text.quoted(container) + ", or delete it";
            case "TOKEN_PIN_WRONG": {
                long tries = failed.number("tries");
                String reports = reports(failed.text("reports"));
                String token = q(failed.text("token"));
                if (tries > 0) {
                    return "wrong PIN for token " + token + " (" + (reports.isEmpty() ? "" : reports + "; ") + tries
                            + (tries == 1 ? " try" : " tries") + " left before no more PINs are handed to it)";
                }
                return "wrong PIN for token " + token + (reports.isEmpty() ? "" : " (" + reports + ")")
                        + ": no more PINs are handed to it (mscapi unblock --container "
                        + Text.quoted("\\\\.\\" + failed.text("token")) + ")";
            }
            case "TOKEN_PIN_BLOCKED":
                return "no PIN is handed to token " + q(failed.text("token")) + " after " + failed.number("wrong")
                        + " wrong PINs in a row (mscapi unblock --container "
                        + Text.quoted("\\\\.\\" + failed.text("token")) + ")";
            case "TOKEN_PIN_LOCKED":
                return "token " + q(failed.text("token")) + " reports its PIN locked: only its security officer "
                        + "can unlock it";
            case "PIN_NEEDED":
                return "this key needs a PIN: give --pin or --pin-file";
            case "PIN_NOT_TAKEN":
                return "this key has no PIN: leave out --pin and --pin-file";
            case "PIN_EMPTY":
                return "the PIN is empty";
            case "PIN_UNSUPPORTED":
                return "provider " + q(providerName(provider)) + " takes no PIN (only token keys have one): "
                        + "leave out --pin and --pin-file";
            case "PERMISSION_DENIED":
                // The words name the file, its owner and its mode.
                return reason.isEmpty() ? "permission denied in the home (see mscapi check)" : reason;
            case "MODULE_MISSING":
                return module(provider, reason, "fix its \"Image Path\"");
            case "MODULE_NOT_LIBRARY":
                return module(provider, reason,
                        "its \"Image Path\" must name a PKCS#11 module built for this machine");
            case "MODULE_NOT_PKCS11":
                return module(provider, reason, "its \"Image Path\" must name a PKCS#11 module");
            case "MODULE_INIT_FAILED":
                return module(provider, reason, "the module refused to start: see its configuration");
            default:
                break;
        }
        if (cause.equals("NO_KEY_OF_SPEC") || error.equals("NTE_NO_KEY")) {
            long spec = failed.number("spec");
            String what = spec == KeyRole.EXCHANGE.code ? "exchange key (try --spec signature)"
                    : spec == KeyRole.SIGNATURE.code ? "signature key (try --spec exchange)" : "key of that spec";
            return "container " + name(container) + " in provider " + q(providerName(provider)) + " holds no " + what;
        }
        if (cause.equals("KEY_NOT_EXPORTABLE")) {
            return "the key in container " + name(container) + " is not exportable";
        }
        if (!reason.isEmpty()) {
            return reason;
        }
        if (!error.isEmpty()) {
            return failed.call() + " failed with " + error;
        }
        return null;
    }

    /** Calls whose failure is part of a normal sequence (the end of an enumeration) are no cause. */
    private static boolean isFailure(Trace.Line l) {
        String e = l.error() == null ? "" : l.error();
        return !(e.equals("ERROR_NO_MORE_ITEMS") || e.equals("CRYPT_E_NOT_FOUND") && l.call().startsWith("CertEnum")
                || e.equals("ERROR_MORE_DATA"));
    }

    /** What a token says of its own retry counter, in words ("" when it says nothing). */
    private static String reports(String flag) {
        if ("final".equals(flag)) {
            return "the token reports a final try left";
        }
        if ("low".equals(flag)) {
            return "the token reports few tries left";
        }
        if ("locked".equals(flag)) {
            return "the token reports its PIN locked";
        }
        return "";
    }

    /** A provider's PKCS#11 module that cannot be used: the emulation's words, and what to do. */
    private static String module(String provider, String reason, String todo) {
        return "provider " + q(providerName(provider)) + ": " + reason + "; " + todo + " (see mscapi providers)";
    }

    private static String q(String s) {
        return s == null ? "(default)" : "\"" + s + "\"";
    }

    /** The token label of a full container name (\\\\.\\<token>\\<name>), else the name itself. */
    private static String tokenOf(String container) {
        if (container == null || !container.startsWith("\\\\.\\")) {
            return container;
        }
        int slash = container.indexOf('\\', 4);
        return slash < 0 ? container.substring(4) : container.substring(4, slash);
    }

    /** A container name as the listings print it. */
    private static String name(String s) {
        return s == null ? "(default)" : Text.quoted(s);
    }

    /** The provider a null name stands for: the default, the first one queryProviders lists. */
    private static String providerName(String provider) {
        if (provider != null) {
            return provider;
        }
        try {
            List<String> names = Native.providers();
            return names.isEmpty() ? null : names.get(0);
        } catch (Exception e) {
            return null;
        }
    }

    /** The words for a failure the tool met itself (files, mostly), or null. */
    static String ofTool(Throwable t) {
        if (t instanceof NoSuchFileException) {
            return "file not found: " + ((NoSuchFileException) t).getFile();
        }
        if (t instanceof AccessDeniedException) {
            return "permission denied: " + ((AccessDeniedException) t).getFile();
        }
        if (t instanceof FileAlreadyExistsException) {
            return "file exists: " + ((FileAlreadyExistsException) t).getFile();
        }
        if (t instanceof FileSystemException) {
            FileSystemException f = (FileSystemException) t;
            return f.getFile() + ": " + (f.getReason() != null ? f.getReason() : f.getClass().getSimpleName());
        }
        if (t instanceof java.io.UncheckedIOException && t.getCause() != null) {
            return ofTool(t.getCause());
        }
        if (t instanceof java.io.FileNotFoundException) {
            return "cannot open " + t.getMessage();
        }
        if (t instanceof OutOfMemoryError) {
            return "out of memory (raise it with MSCAPI_JAVA_OPTS=-Xmx...)";
        }
        if (t instanceof UnsatisfiedLinkError) {
            return "the native library cannot be loaded: " + t.getMessage();
        }
        return null;
    }
}
