package com.qel.varnel;

import java.io.ByteArrayInputStream;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.security.Key;
import java.security.KeyStore;
import java.security.KeyStoreException;
import java.security.KeyStoreSpi;
import java.security.MessageDigest;
import java.security.NoSuchAlgorithmException;
import java.security.PKCS12Attribute;
import java.security.PublicKey;
import java.security.UnrecoverableEntryException;
import java.security.UnrecoverableKeyException;
import java.security.cert.Certificate;
import java.security.cert.CertificateException;
import java.security.cert.CertificateFactory;
import java.security.cert.X509Certificate;
import java.security.interfaces.RSAPrivateCrtKey;
import java.security.interfaces.RSAPublicKey;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.Date;
import java.util.Enumeration;
import java.util.HashMap;
import java.util.HexFormat;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import java.util.Set;
import javax.naming.InvalidNameException;
import javax.naming.ldap.LdapName;
import javax.naming.ldap.Rdn;
import javax.security.auth.callback.CallbackHandler;

/**
 * One certificate store as a Java key store: "MSCAPI-MY" (the personal
 * store, whose certificates bound to a key container are key entries),
 * "MSCAPI-ROOT", "MSCAPI-CA", "MSCAPI-AddressBook" and "MSCAPI-Varnel"
 * (certificate entries). Every change is written to the store at once;
 * {@code store(null, ...)} does nothing, and there is no stream to load
 * from or store to.
 *
 * <p>Aliases: a certificate's friendly name, else its subject's common
 * name, else its SHA-1 thumbprint in hex. Where two certificates of the
 * store would get the same alias (compared without regard to case), each of
 * them gets the first 8 hex digits of its SHA-1 thumbprint added in
 * parentheses, e.g. "Bob (1a2b3c4d)". Aliases are thus the same in every
 * run for the same store contents. Looking an alias up ignores case.
 *
 * <p>Renaming: {@code setEntry(newAlias, entry, protection)} with an entry
 * whose certificate the store already holds sets that certificate's
 * friendly name to {@code newAlias} (or to the entry's PKCS#12
 * "friendlyName" attribute, when it has one) and writes nothing else.
 */
public abstract class MscapiKeyStore extends KeyStoreSpi {
    /** The PKCS#9 friendlyName attribute, as PKCS#12 key stores carry it. */
    static final String FRIENDLY_NAME_OID = "1.2.840.113549.1.9.20";

    private final StoreKind kind;
    private CallbackHandler pinHandler;
    private List<Item> items = List.of();
    private Map<String, Item> byAlias;
    private List<X509Certificate> issuers;

    MscapiKeyStore(StoreKind kind) {
        this.kind = kind;
    }

    /**
     * One certificate of the store as the library listed it, its record
     * decoded when first needed: loading a large store costs little more
     * than listing it.
     */
    private static final class Item {
        private final byte[] list;
        private final int offset;
        private Records.Cert rec;
        private X509Certificate cert;
        private byte[] sha1;
        String alias;

        Item(byte[] list, int offset) {
            this.list = list;
            this.offset = offset;
        }

        synchronized Records.Cert rec() {
            if (rec == null) {
                rec = Records.certAt(list, offset);
            }
            return rec;
        }

        synchronized X509Certificate cert() throws CertificateException {
            if (cert == null) {
                cert = (X509Certificate) factory().generateCertificate(new ByteArrayInputStream(rec().encoded()));
            }
            return cert;
        }

        String sha1Hex() {
            if (sha1 == null) {
                try {
                    sha1 = MessageDigest.getInstance("SHA-1").digest(rec().encoded());
                } catch (NoSuchAlgorithmException e) {
                    throw new IllegalStateException(e);
                }
            }
            return HexFormat.of().formatHex(sha1);
        }

        String baseAlias() {
            if (!rec().friendlyName().isEmpty()) {
                return rec().friendlyName();
            }
            try {
                String cn = commonName(cert());
                if (cn != null && !cn.isEmpty()) {
                    return cn;
                }
            } catch (CertificateException e) {
                // an entry the JDK cannot read is named by its thumbprint
            }
            return sha1Hex();
        }
    }

    private static CertificateFactory factory() throws CertificateException {
        return CertificateFactory.getInstance("X.509");
    }

    static String commonName(X509Certificate c) {
        try {
            List<Rdn> rdns = new LdapName(c.getSubjectX500Principal().getName()).getRdns();
            for (int i = rdns.size() - 1; i >= 0; i--) {
                if (rdns.get(i).getType().equalsIgnoreCase("CN")) {
                    return String.valueOf(rdns.get(i).getValue());
                }
            }
        } catch (InvalidNameException e) {
            // no common name to be had
        }
        return null;
    }

    // ---- loading

    @Override
    public void engineLoad(InputStream stream, char[] password) throws IOException {
        if (stream != null) {
            throw new IOException("an MSCAPI key store is the system store itself: load it with a null stream");
        }
        reload();
    }

    @Override
    public void engineLoad(KeyStore.LoadStoreParameter param) throws IOException {
        KeyStore.ProtectionParameter p = param == null ? null : param.getProtectionParameter();
        if (p instanceof KeyStore.CallbackHandlerProtection cb) {
            pinHandler = cb.getCallbackHandler();
        }
        reload();
    }

    private synchronized void reload() throws IOException {
        byte[] list;
        try {
            list = MscapiLibrary.certList(kind);
        } catch (Exception e) {
            throw new IOException("cannot list store " + storeName() + ": " + e.getMessage()
                    + (KeyAccess.reason(e) != null ? " (" + KeyAccess.reason(e) + ")" : ""), e);
        }
        int[] offsets = Records.certOffsets(list);
        List<Item> loaded = new ArrayList<>(offsets.length);
        for (int at : offsets) {
            loaded.add(new Item(list, at));
        }
        items = loaded;
        byAlias = null;
        issuers = null;
    }

    String storeName() {
        return kind.storeName;
    }

    /** The aliases, made when first asked for. */
    private synchronized Map<String, Item> index() {
        if (byAlias != null) {
            return byAlias;
        }
        Map<String, List<Item>> groups = new LinkedHashMap<>();
        for (Item it : items) {
            groups.computeIfAbsent(it.baseAlias().toLowerCase(Locale.ROOT), k -> new ArrayList<>()).add(it);
        }
        Map<String, Item> out = new LinkedHashMap<>();
        for (List<Item> group : groups.values()) {
            for (Item it : group) {
                String base = it.baseAlias();
                it.alias = group.size() == 1 ? base : base + " (" + it.sha1Hex().substring(0, 8) + ")";
            }
        }
        Map<String, Integer> seen = new HashMap<>();
        for (Item it : items) {
            seen.merge(it.alias.toLowerCase(Locale.ROOT), 1, Integer::sum);
        }
        for (Item it : items) {
            // Eight digits that still clash (or an alias that equals another's
            // base): the whole thumbprint.
            if (seen.get(it.alias.toLowerCase(Locale.ROOT)) > 1) {
                it.alias = it.baseAlias() + " (" + it.sha1Hex() + ")";
            }
            out.put(it.alias, it);
        }
        byAlias = out;
        return out;
    }

    private Item find(String alias) {
        if (alias == null) {
            return null;
        }
        Map<String, Item> idx = index();
        Item it = idx.get(alias);
        if (it != null) {
            return it;
        }
        for (Map.Entry<String, Item> e : idx.entrySet()) {
            if (e.getKey().equalsIgnoreCase(alias)) {
                return e.getValue();
            }
        }
        return null;
    }

    private boolean isKey(Item it) {
        return kind == StoreKind.MY && it.rec().hasKey();
    }

    // ---- reading

    @Override
    public Enumeration<String> engineAliases() {
        return Collections.enumeration(new ArrayList<>(index().keySet()));
    }

    @Override
    public boolean engineContainsAlias(String alias) {
        return find(alias) != null;
    }

    @Override
    public int engineSize() {
        return items.size();
    }

    @Override
    public boolean engineIsKeyEntry(String alias) {
        Item it = find(alias);
        return it != null && isKey(it);
    }

    @Override
    public boolean engineIsCertificateEntry(String alias) {
        Item it = find(alias);
        return it != null && !isKey(it);
    }

    @Override
    public Certificate engineGetCertificate(String alias) {
        Item it = find(alias);
        try {
            return it == null ? null : it.cert();
        } catch (CertificateException e) {
            return null;
        }
    }

    @Override
    public String engineGetCertificateAlias(Certificate cert) {
        if (cert == null) {
            return null;
        }
        byte[] der;
        try {
            der = cert.getEncoded();
        } catch (CertificateException e) {
            return null;
        }
        for (Map.Entry<String, Item> e : index().entrySet()) {
            if (Arrays.equals(e.getValue().rec().encoded(), der)) {
                return e.getKey();
            }
        }
        return null;
    }

    /** The certificate's start of validity: the store keeps no date of its own. */
    @Override
    public Date engineGetCreationDate(String alias) {
        Certificate c = engineGetCertificate(alias);
        return c instanceof X509Certificate x ? x.getNotBefore() : null;
    }

    @Override
    public Key engineGetKey(String alias, char[] password) throws UnrecoverableKeyException {
        return key(alias, password, pinHandler);
    }

    private MscapiPrivateKey key(String alias, char[] pin, CallbackHandler handler) throws UnrecoverableKeyException {
        Item it = find(alias);
        if (it == null || !isKey(it)) {
            return null;
        }
        PublicKey pub;
        try {
            pub = it.cert().getPublicKey();
        } catch (CertificateException e) {
            throw (UnrecoverableKeyException) new UnrecoverableKeyException(
                    "the certificate of \"" + alias + "\" cannot be read").initCause(e);
        }
        if (!(pub instanceof RSAPublicKey rsa)) {
            throw new UnrecoverableKeyException("the key of \"" + alias + "\" is not an RSA key");
        }
        Records.Cert r = it.rec;
        MscapiPrivateKey key = new MscapiPrivateKey(r.provider().isEmpty() ? null : r.provider(), r.container(),
                r.keySpec(), rsa.getModulus(), rsa.getPublicExponent(), pin, handler);
        // As CRYPT_ACQUIRE_COMPARE_KEY_FLAG: the container holds the
        // certificate's key (a container that cannot be read now fails at
        // the signature, with its own cause).
        Exception other = KeyAccess.notBound(key, false);
        if (other != null) {
            key.destroy();
            throw new UnrecoverableKeyException("the key of \"" + alias + "\": " + other.getMessage());
        }
        return key;
    }

    @Override
    public Certificate[] engineGetCertificateChain(String alias) {
        Item it = find(alias);
        if (it == null || !isKey(it)) {
            return null;
        }
        try {
            return chain(it.cert()).toArray(new Certificate[0]);
        } catch (CertificateException e) {
            return null;
        }
    }

    /** The certificate and its issuers up to a self-issued one, from "CA" and "ROOT". */
    private List<X509Certificate> chain(X509Certificate leaf) {
        List<X509Certificate> chain = new ArrayList<>();
        chain.add(leaf);
        X509Certificate cur = leaf;
        while (chain.size() < 10 && !cur.getIssuerX500Principal().equals(cur.getSubjectX500Principal())) {
            X509Certificate next = null;
            for (X509Certificate cand : issuers()) {
                if (cand.getSubjectX500Principal().equals(cur.getIssuerX500Principal()) && !chain.contains(cand)
                        && signedBy(cur, cand)) {
                    next = cand;
                    break;
                }
            }
            if (next == null) {
                break;
            }
            chain.add(next);
            cur = next;
        }
        return chain;
    }

    private static boolean signedBy(X509Certificate c, X509Certificate issuer) {
        try {
            c.verify(issuer.getPublicKey());
            return true;
        } catch (Exception e) {
            return false;
        }
    }

    private synchronized List<X509Certificate> issuers() {
        if (issuers == null) {
            List<X509Certificate> pool = new ArrayList<>();
            for (StoreKind k : new StoreKind[] {StoreKind.CA, StoreKind.ROOT}) {
                try {
                    for (Records.Cert r : MscapiLibrary.certs(k)) {
                        pool.add((X509Certificate) factory().generateCertificate(new ByteArrayInputStream(r.encoded())));
                    }
                } catch (Exception e) {
                    // a store that cannot be read gives no issuers; the chain ends earlier
                }
            }
            issuers = pool;
        }
        return issuers;
    }

    @Override
    public KeyStore.Entry engineGetEntry(String alias, KeyStore.ProtectionParameter prot)
            throws KeyStoreException, NoSuchAlgorithmException, UnrecoverableEntryException {
        Item it = find(alias);
        if (it == null) {
            return null;
        }
        Set<KeyStore.Entry.Attribute> attrs = it.rec().friendlyName().isEmpty() ? Set.of()
                : Set.of(new PKCS12Attribute(FRIENDLY_NAME_OID, it.rec().friendlyName()));
        if (!isKey(it)) {
            return new KeyStore.TrustedCertificateEntry(engineGetCertificate(alias), attrs);
        }
        char[] pin = null;
        CallbackHandler handler = pinHandler;
        if (prot instanceof KeyStore.PasswordProtection pp) {
            pin = pp.getPassword();
        } else if (prot instanceof KeyStore.CallbackHandlerProtection cb) {
            handler = cb.getCallbackHandler();
        } else if (prot != null) {
            throw new UnrecoverableEntryException("unknown protection " + prot.getClass().getName());
        }
        MscapiPrivateKey key = key(alias, pin, handler);
        return new KeyStore.PrivateKeyEntry(key, engineGetCertificateChain(alias), attrs);
    }

    // ---- writing

    @Override
    public void engineSetKeyEntry(String alias, Key key, char[] password, Certificate[] chain)
            throws KeyStoreException {
        if (kind != StoreKind.MY) {
            throw new KeyStoreException("only MSCAPI-MY holds keys");
        }
        if (!(key instanceof RSAPrivateCrtKey k)) {
            throw new KeyStoreException("MSCAPI-MY imports RSA private keys with their CRT components, not "
                    + (key == null ? "null" : key.getClass().getName()));
        }
        if (chain == null || chain.length == 0 || !(chain[0] instanceof X509Certificate leaf)) {
            throw new KeyStoreException("a key entry needs its X.509 certificate");
        }
        if (!(leaf.getPublicKey() instanceof RSAPublicKey pub) || !pub.getModulus().equals(k.getModulus())) {
            throw new KeyStoreException("the certificate does not belong to the key");
        }
        if (find(alias) != null) {
            engineDeleteEntry(alias);
        }
        // The binding names the provider: "MY" lists only certificates whose
        // binding does.
        String provider = defaultProvider();
        String container = newContainerName(alias);
        int spec = KeyRole.EXCHANGE.code; // signs and, on Windows, decrypts
        importKey(provider, container, spec, k, MscapiPrivateKey.pinBytes(password));
        Records.CertId id;
        try {
            id = MscapiLibrary.addCert(leaf.getEncoded(), provider, container, spec, alias, StoreKind.MY);
        } catch (Exception e) {
            deleteQuietly(provider, container);
            throw keyStoreFailure("cannot add the certificate to MY", e);
        }
        if (id == null) {
            deleteQuietly(provider, container);
            throw new KeyStoreException("MY already holds this certificate (alias \""
                    + engineGetCertificateAlias(leaf) + "\")");
        }
        reloadQuietly();
    }

    /** The default RSA provider's name, which the provider list gives first. */
    private static String defaultProvider() throws KeyStoreException {
        try {
            String name = MscapiLibrary.defaultProvider();
            if (name == null) {
                throw new KeyStoreException("no RSA provider is installed");
            }
            return name;
        } catch (KeyStoreException e) {
            throw e;
        } catch (Exception e) {
            throw keyStoreFailure("cannot list the providers", e);
        }
    }

    private static void importKey(String provider, String container, int spec, RSAPrivateCrtKey k, byte[] pin)
            throws KeyStoreException {
        try {
            if (pin != null) {
                try {
                    MscapiLibrary.importKey(provider, container, spec, k, pin);
                    return;
                } catch (ArithmeticException ex) {
                    throw ex;
                } catch (Exception ex) {
                    if (!ErrorCode.of(ex).equals(ErrorCode.NTE_BAD_TYPE)) {
                        throw keyStoreFailure("cannot import the key", ex);
                    }
                    // The default provider takes no PIN: the key is stored without one.
                }
            }
            MscapiLibrary.importKey(provider, container, spec, k);
        } catch (KeyStoreException ex) {
            throw ex;
        } catch (ArithmeticException ex) {
            throw new KeyStoreException("the public exponent does not fit 32 bits");
        } catch (Exception ex) {
            throw keyStoreFailure("cannot import the key", ex);
        } finally {
            MscapiPrivateKey.wipe(pin);
        }
    }

    /** A container name of the default provider not yet taken: the alias, else the alias and a random suffix. */
    private static String newContainerName(String alias) throws KeyStoreException {
        java.util.Set<String> taken = new java.util.HashSet<>();
        try {
            for (Records.KeyPair kp : MscapiLibrary.keyPairs()) {
                taken.add(kp.container().toLowerCase(Locale.ROOT));
            }
        } catch (Exception e) {
            throw keyStoreFailure("cannot list the key containers", e);
        }
        String base = alias == null || alias.isEmpty() ? "key" : alias;
        if (!taken.contains(base.toLowerCase(Locale.ROOT))) {
            return base;
        }
        byte[] r = new byte[4];
        new java.security.SecureRandom().nextBytes(r);
        return base + "-" + HexFormat.of().formatHex(r);
    }

    private static void deleteQuietly(String provider, String container) {
        try {
            MscapiLibrary.deleteKeyPair(provider, container);
        } catch (Exception e) {
            // the container stays; the caller's failure says what went wrong
        }
    }

    @Override
    public void engineSetKeyEntry(String alias, byte[] key, Certificate[] chain) throws KeyStoreException {
        throw new KeyStoreException("MSCAPI-MY takes keys as RSAPrivateCrtKey objects, not encoded");
    }

    @Override
    public void engineSetCertificateEntry(String alias, Certificate cert) throws KeyStoreException {
        if (kind == StoreKind.MY) {
            throw new KeyStoreException("MSCAPI-MY lists only certificates bound to a key: use setKeyEntry");
        }
        if (!(cert instanceof X509Certificate x)) {
            throw new KeyStoreException("only X.509 certificates are stored");
        }
        byte[] der;
        try {
            der = x.getEncoded();
        } catch (CertificateException e) {
            throw new KeyStoreException("the certificate cannot be encoded", e);
        }
        Item old = find(alias);
        if (old != null && Arrays.equals(old.rec().encoded(), der)) {
            return;
        }
        if (old != null) {
            engineDeleteEntry(alias);
        }
        Records.CertId id;
        try {
            id = MscapiLibrary.addCert(der, null, null, 0, alias, kind);
        } catch (Exception e) {
            throw keyStoreFailure("cannot add the certificate to " + storeName(), e);
        }
        if (id == null) {
            // Already in the store under another alias: it takes this one.
            rename(x, alias);
        }
        reloadQuietly();
    }

    @Override
    public void engineSetEntry(String alias, KeyStore.Entry entry, KeyStore.ProtectionParameter prot)
            throws KeyStoreException {
        Certificate c = entry instanceof KeyStore.TrustedCertificateEntry t ? t.getTrustedCertificate()
                : entry instanceof KeyStore.PrivateKeyEntry p ? p.getCertificate() : null;
        if (c != null && engineGetCertificateAlias(c) != null
                && (!(entry instanceof KeyStore.PrivateKeyEntry p) || p.getPrivateKey() instanceof MscapiPrivateKey)) {
            String name = alias;
            for (KeyStore.Entry.Attribute a : entry.getAttributes()) {
                if (a.getName().equals(FRIENDLY_NAME_OID)) {
                    name = a.getValue();
                }
            }
            rename((X509Certificate) c, name);
            reloadQuietly();
            return;
        }
        super.engineSetEntry(alias, entry, prot);
    }

    /** Sets the friendly name of a certificate this store holds. */
    private void rename(X509Certificate c, String name) throws KeyStoreException {
        Item it = null;
        byte[] der;
        try {
            der = c.getEncoded();
        } catch (CertificateException e) {
            throw new KeyStoreException(e);
        }
        for (Item i : items) {
            if (Arrays.equals(i.rec().encoded(), der)) {
                it = i;
            }
        }
        if (it == null) {
            throw new KeyStoreException("the certificate is not in " + storeName());
        }
        try {
            MscapiLibrary.setFriendlyName(name, it.rec().serial(), it.rec().issuer(), kind);
        } catch (Exception e) {
            throw keyStoreFailure("cannot set the friendly name", e);
        }
    }

    /**
     * Deletes the certificate. A key entry's key container stays: it may be
     * on a card, or serve other certificates; delete it with the tool or
     * {@code deleteKeyPair}.
     */
    @Override
    public void engineDeleteEntry(String alias) throws KeyStoreException {
        Item it = find(alias);
        if (it == null) {
            return;
        }
        try {
            MscapiLibrary.deleteCert(it.rec().serial(), it.rec().issuer(), kind);
        } catch (Exception e) {
            throw keyStoreFailure("cannot delete \"" + alias + "\" from " + storeName(), e);
        }
        reloadQuietly();
    }

    @Override
    public void engineStore(OutputStream stream, char[] password) throws IOException {
        if (stream != null) {
            throw new IOException("an MSCAPI key store writes every change at once; there is nothing to store "
                    + "to a stream");
        }
    }

    private void reloadQuietly() throws KeyStoreException {
        try {
            reload();
        } catch (IOException e) {
            throw new KeyStoreException(e.getMessage(), e);
        }
    }

    private static KeyStoreException keyStoreFailure(String what, Exception e) {
        String why = KeyAccess.reason(e);
        return new KeyStoreException(what + ": " + e.getMessage() + (why != null ? " (" + why + ")" : ""), e);
    }

    public static final class MY extends MscapiKeyStore {
        public MY() {
            super(StoreKind.MY);
        }
    }

    public static final class ROOT extends MscapiKeyStore {
        public ROOT() {
            super(StoreKind.ROOT);
        }
    }

    public static final class CA extends MscapiKeyStore {
        public CA() {
            super(StoreKind.CA);
        }
    }

    public static final class AddressBook extends MscapiKeyStore {
        public AddressBook() {
            super(StoreKind.ADDRESS_BOOK);
        }
    }

    public static final class Varnel extends MscapiKeyStore {
        public Varnel() {
            super(StoreKind.VARNEL);
        }
    }
}
