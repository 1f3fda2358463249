package com.qel.varnel.tool;

import java.io.Console;
import java.io.PrintStream;
import java.math.BigInteger;
import java.nio.charset.StandardCharsets;
import java.security.KeyFactory;
import java.security.interfaces.RSAPrivateCrtKey;
import java.security.spec.RSAPrivateCrtKeySpec;
import java.security.spec.RSAPublicKeySpec;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;

/**
 * The key container commands of the tool: genkey, delkey, import, export, sign. A PIN is read
 * from the console without echo (--pin) or from the first line of a file (--pin-file), never from
 * the command line itself.
 */
final class KeyCommands {
    static final int AT_KEYEXCHANGE = 1;
    static final int AT_SIGNATURE = 2;

    private final PrintStream out;

    KeyCommands(PrintStream out) {
        this.out = out;
    }

    // ---- options ---------------------------------------------------------------

    static int spec(List<String> args) throws Main.UsageException {
        String s = Main.option(args, "--spec");
        if (s == null || s.equals("signature")) {
            return AT_SIGNATURE;
        }
        if (s.equals("exchange")) {
            return AT_KEYEXCHANGE;
        }
        throw new Main.UsageException("--spec is exchange or signature, not " + s);
    }

    static String container(List<String> args) throws Main.UsageException {
        String c = Main.option(args, "--container");
        if (c == null) {
            throw new Main.UsageException("--container NAME is needed");
        }
        return c;
    }

    /** The PIN: from the console without echo (--pin), a file's first line (--pin-file), or none. */
    static byte[] pin(List<String> args) throws Exception {
        String file = Main.option(args, "--pin-file");
        boolean prompt = args.remove("--pin");
        if (file != null && prompt) {
            throw new Main.UsageException("give either --pin or --pin-file");
        }
        if (file != null) {
            byte[] all = FileIO.read(file);
            int end = 0;
            while (end < all.length && all[end] != '\n' && all[end] != '\r') {
                end++;
            }
            byte[] pin = Arrays.copyOf(all, end);
            Arrays.fill(all, (byte) 0);
            return pin;
        }
        if (prompt) {
            Console console = System.console();
            if (console == null) {
                throw new Main.UsageException("--pin needs a console; use --pin-file");
            }
            char[] chars = console.readPassword("PIN: ");
            if (chars == null) {
                throw new Main.UsageException("no PIN read");
            }
            byte[] pin = new String(chars).getBytes(StandardCharsets.UTF_8);
            Arrays.fill(chars, '\0');
            return pin;
        }
        return null;
    }

    /** PEM text (nothing secret) into the --out file when one is given, else to standard output. */
    void emit(String outFile, String text) throws Exception {
        if (outFile != null) {
            FileIO.writePublic(outFile, text.getBytes(StandardCharsets.US_ASCII));
        } else {
            out.print(text);
        }
    }

    static String pem(String type, byte[] der) {
        return FileIO.pem(type, der);
    }

    static int algId(String hash) throws Main.UsageException {
        switch (hash) {
            case "md5": return 0x8003;
            case "sha1": return 0x8004;
            case "sha256": return 0x800C;
            case "sha384": return 0x800D;
            case "sha512": return 0x800E;
            default: throw new Main.UsageException("unknown --hash " + hash);
        }
    }

    static String jdkDigest(String hash) {
        return hash.equals("md5") ? "MD5" : "SHA-" + hash.substring(3);
    }

    // ---- commands ------------------------------------------------------------

    int genkey(List<String> args) throws Exception {
        String provider = Main.option(args, "--provider");
        String container = container(args);
        int keySpec = spec(args);
        String bitsText = Main.option(args, "--bits");
        String outFile = Main.option(args, "--out");
        Main.noMore(args);
        int bits;
        try {
            bits = bitsText == null ? 2048 : Integer.parseInt(bitsText);
        } catch (NumberFormatException e) {
            throw new Main.UsageException("not a key length: " + bitsText);
        }
        byte[] pub = Native.generateKeyPair(provider, container, keySpec, bits);
        long e = (pub[0] & 0xFFL) | (pub[1] & 0xFFL) << 8 | (pub[2] & 0xFFL) << 16 | (pub[3] & 0xFFL) << 24;
        BigInteger n = new BigInteger(1, Arrays.copyOfRange(pub, 4, pub.length));
        byte[] der = KeyFactory.getInstance("RSA").generatePublic(new RSAPublicKeySpec(n, BigInteger.valueOf(e)))
                .getEncoded();
        String text = pem("PUBLIC KEY", der);
        emit(outFile, text);
        return Main.OK;
    }

    int delkey(List<String> args) throws Exception {
        String provider = Main.option(args, "--provider");
        String container = container(args);
        boolean withCerts = args.remove("--with-certs");
        Main.noMore(args);
        // A certificate of "MY" bound to a container that is gone could no
        // longer sign: delete such certificates with their key, or not at all.
        KeyRef key = new KeyRef(provider, container, AT_SIGNATURE, null);
        String family = key.providerOrDefault();
        List<Layouts.Cert> bound = new ArrayList<>();
        for (Layouts.Cert c : Layouts.certs(Native.queryCerts(KeyRef.STORE_MY))) {
            if (key.binds(c, family)) {
                bound.add(c);
            }
        }
        if (!bound.isEmpty() && !withCerts) {
            StringBuilder which = new StringBuilder();
            for (Layouts.Cert c : bound) {
                which.append("\n  SHA-1 ").append(CertCommands.sha1(c.encoded()));
            }
            throw new Exception(bound.size() + " certificate(s) in MY are bound to container \"" + container
                    + "\"; give --with-certs to delete them with it:" + which);
        }
        for (Layouts.Cert c : bound) {
            Native.deleteCertFromStore(c.serial(), c.issuer(), KeyRef.STORE_MY);
            out.println("deleted certificate SHA-1 " + CertCommands.sha1(c.encoded()) + " from MY");
        }
        Native.deleteKeyPair(provider, container);
        out.println("deleted container \"" + container + "\"");
        return Main.OK;
    }

    int importKey(List<String> args) throws Exception {
        String provider = Main.option(args, "--provider");
        String container = container(args);
        int keySpec = spec(args);
        byte[] pin = pin(args);
        FileIO.Password password = FileIO.Password.fromArgs(args, "password of the key file");
        String alias = Main.option(args, "--alias");
        if (args.size() != 1) {
            throw new Main.UsageException(args.isEmpty() ? "import needs one key file"
                    : "unexpected argument: " + args.get(1));
        }
        String file = args.get(0);
        try {
            RSAPrivateCrtKey k = Formats.readPrivateKey(FileIO.read(file), file, password, alias);
            store(provider, container, keySpec, k, pin);
            out.println("imported a " + k.getModulus().bitLength() + "-bit key into container \"" + container
                    + "\" (" + specName(keySpec) + ")");
        } finally {
            password.wipe();
            wipe(pin);
        }
        return Main.OK;
    }

    /** Puts an RSA private key into a new container through importKeyPairPwd. */
    static void store(String provider, String container, int keySpec, RSAPrivateCrtKey k, byte[] pin)
            throws Exception {
        int bits = k.getModulus().bitLength();
        int n = (bits + 7) / 8;
        int h = (n + 1) / 2;
        byte[][] parts = {fixed(k.getModulus(), n), fixed(k.getPrivateExponent(), n), fixed(k.getPrimeP(), h),
            fixed(k.getPrimeQ(), h), fixed(k.getPrimeExponentP(), h), fixed(k.getPrimeExponentQ(), h),
            fixed(k.getCrtCoefficient(), h)};
        try {
            // Fixed-width fields: each array holds exactly its field's bytes.
            Native.importKeyPairPwd(provider, container, keySpec, parts[0], bits,
                    k.getPublicExponent().intValueExact(), parts[1], parts[2], parts[3], parts[4], parts[5],
                    parts[6], pin);
        } finally {
            for (byte[] p : parts) {
                Arrays.fill(p, (byte) 0);
            }
        }
    }

    /** The private key of an exportable stored key, from getPrivateKey's PrivateKeyBytes. */
    static RSAPrivateCrtKey load(String provider, String container, int keySpec, byte[] pin) throws Exception {
        byte[] b = Native.getPrivateKey(provider, container, keySpec, pin);
        try {
            int h = (b.length - 4) / 9;
            BigInteger[] f = new BigInteger[8];
            int[][] fields = {{0, 2 * h}, {2 * h, 4}, {2 * h + 4, 2 * h}, {4 * h + 4, h}, {5 * h + 4, h},
                {6 * h + 4, h}, {7 * h + 4, h}, {8 * h + 4, h}};
            for (int i = 0; i < 8; i++) {
                byte[] part = Arrays.copyOfRange(b, fields[i][0], fields[i][0] + fields[i][1]);
                f[i] = new BigInteger(1, part);
                Arrays.fill(part, (byte) 0);
            }
            return (RSAPrivateCrtKey) KeyFactory.getInstance("RSA")
                    .generatePrivate(new RSAPrivateCrtKeySpec(f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7]));
        } finally {
            Arrays.fill(b, (byte) 0);
        }
    }

    int export(List<String> args) throws Exception {
        String provider = Main.option(args, "--provider");
        String container = container(args);
        int keySpec = spec(args);
        byte[] pin = pin(args);
        String outFile = Main.option(args, "--out");
        boolean force = args.remove("--force");
        boolean unencrypted = args.remove("--unencrypted");
        if (unencrypted && args.contains("--password-file")) {
            throw new Main.UsageException("--unencrypted and --password-file exclude each other");
        }
        FileIO.Password password = FileIO.Password.fromArgs(args, "password for the exported key");
        Main.noMore(args);
        try {
            RSAPrivateCrtKey k = load(provider, container, keySpec, pin);
            byte[] text = unencrypted ? pem("PRIVATE KEY", k.getEncoded()).getBytes(StandardCharsets.US_ASCII)
                    : Formats.encryptedPkcs8(k, password.getNew());
            try {
                if (outFile != null) {
                    FileIO.writePrivate(outFile, text, force);
                } else {
                    out.write(text);
                    out.flush();
                }
            } finally {
                Arrays.fill(text, (byte) 0);
            }
        } finally {
            password.wipe();
            wipe(pin);
        }
        return Main.OK;
    }

    int sign(List<String> args) throws Exception {
        return new StreamSign(out).sign(args);
    }

    int verify(List<String> args) throws Exception {
        return new StreamSign(out).verify(args);
    }

    static String specName(int spec) {
        return spec == AT_KEYEXCHANGE ? "exchange" : spec == AT_SIGNATURE ? "signature" : "spec " + spec;
    }

    static void wipe(byte[] secret) {
        if (secret != null) {
            Arrays.fill(secret, (byte) 0);
        }
    }

    static byte[] fixed(BigInteger v, int width) {
        byte[] raw = v.toByteArray();
        byte[] out = new byte[width];
        int take = Math.min(raw.length, width);
        System.arraycopy(raw, raw.length - take, out, width - take, take);
        return out;
    }
}
