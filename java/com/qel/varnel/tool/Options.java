package com.qel.varnel.tool;

import com.qel.varnel.HashAlg;
import com.qel.varnel.KeyRole;
import com.qel.varnel.StoreKind;
import java.util.ArrayList;
import java.util.List;
import picocli.CommandLine.Option;

/**
 * The options several commands share, as picocli mixins, and the values
 * the bash completion offers for them.
 */
final class Options {
    static final String EXPORTABLE_TEXT = "On a PKCS#11 token, create the key extractable and not sensitive, so "
            + "that it can be exported again (else it never leaves the token). Keys of the other providers are "
            + "exportable when imported.";
    private Options() {
    }

    /** --help and --verbose: on every command. */
    static final class Common {
        @Option(names = {"-h", "--help"}, usageHelp = true, description = "Print this help.")
        boolean help;

        @Option(names = "--verbose", description = "Print the emulation's trace of every platform call the command "
                + "made.")
        boolean verbose;
    }

    /** A key's PIN: asked on the console (--pin) or read from a file (--pin-file). */
    static final class Pin {
        @Option(names = "--pin", description = "Ask for the key's PIN on the console, without echo.")
        boolean ask;

        @Option(names = "--pin-file", paramLabel = "F", description = "Read the key's PIN from the first line of F.")
        String file;

        /** The PIN's bytes, or null when none was given; the caller wipes them. */
        byte[] bytes() throws Exception {
            if (ask && file != null) {
                throw ToolError.usage("give either --pin or --pin-file");
            }
            try (Secret pin = new Secret(file, "--pin-file", ask, "PIN")) {
                return pin.bytes();
            }
        }
    }

    /** A password read from the first line of --password-file, else asked on the console. */
    static final class Password {
        @Option(names = "--password-file", paramLabel = "F", description = "Read the password from the first line "
                + "of F (else it is asked on the console, without echo).")
        String file;

        Secret secret(String what) {
            return new Secret(file, "--password-file", true, what);
        }
    }

    /** A stored key: its container, provider (else the default) and key spec. */
    static final class Key {
        @Option(names = "--container", paramLabel = "NAME", description = "The key container.")
        String container;

        @Option(names = "--provider", paramLabel = "P", description = "The provider (default: the machine's "
                + "default RSA provider).")
        String provider;

        @Option(names = "--spec", paramLabel = "S", completionCandidates = Specs.class,
                description = "The key's spec: exchange or signature (default).")
        String spec;

        int keySpec() throws ToolError {
            return Options.spec(spec);
        }

        String container() throws ToolError {
            if (container == null) {
                throw ToolError.usage("--container NAME is needed");
            }
            return container;
        }
    }

    /** A stored key named by its container, or by the thumbprint of a certificate of MY bound to it. */
    static final class KeyChoice {
        @picocli.CommandLine.Mixin
        Key key = new Key();

        @Option(names = "--thumbprint", paramLabel = "HEX", description = "The key of the certificate of MY with "
                + "this SHA-1 thumbprint (as certs shows it).")
        String thumbprint;

        KeyRef resolve() throws Exception {
            if (thumbprint != null) {
                String[][] given = {{"--container", key.container}, {"--provider", key.provider},
                    {"--spec", key.spec}};
                for (String[] o : given) {
                    if (o[1] != null) {
                        throw ToolError.usage(o[0] + " goes with --container, not with --thumbprint");
                    }
                }
                return KeyRef.byThumbprint(thumbprint);
            }
            if (key.container == null) {
                throw ToolError.usage("name the key: --container NAME, or --thumbprint HEX of a certificate in MY");
            }
            return new KeyRef(key.provider, key.container, key.keySpec(), null);
        }

        boolean given() {
            return thumbprint != null || key.container != null;
        }
    }

    /** --hash H, checked when it is read. */
    static final class Hash {
        @Option(names = "--hash", paramLabel = "H", completionCandidates = Hashes.class,
                description = "The hash: sha256 (default), sha1, md5, sha384 or sha512.")
        String hash;

        String name() throws ToolError {
            String h = hash == null ? "sha256" : hash;
            Options.hashAlg(h);
            return h;
        }
    }

    /** The store names, for the completion. */
    static final class Stores extends ArrayList<String> {
        private static final long serialVersionUID = 1L;

        Stores() {
            for (StoreKind k : StoreKind.values()) {
                add(k.storeName);
            }
        }
    }

    static final class Hashes extends ArrayList<String> {
        private static final long serialVersionUID = 1L;

        Hashes() {
            super(List.of("sha256", "sha1", "md5", "sha384", "sha512"));
        }
    }

    static final class Specs extends ArrayList<String> {
        private static final long serialVersionUID = 1L;

        Specs() {
            for (KeyRole s : KeyRole.values()) {
                add(s.word);
            }
        }
    }

    static int spec(String s) throws ToolError {
        if (s == null || s.equals(KeyRole.SIGNATURE.word)) {
            return KeyRole.SIGNATURE.code;
        }
        if (s.equals(KeyRole.EXCHANGE.word)) {
            return KeyRole.EXCHANGE.code;
        }
        throw ToolError.usage("--spec is exchange or signature, not " + s);
    }

    static HashAlg hashAlg(String hash) throws ToolError {
        HashAlg alg = HashAlg.named(hash);
        if (alg == null) {
            throw ToolError.usage("unknown --hash " + hash);
        }
        return alg;
    }

    static String jdkDigest(String hash) {
        return hash.equals("md5") ? "MD5" : "SHA-" + hash.substring(3);
    }
}
