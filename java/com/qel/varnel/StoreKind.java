package com.qel.varnel;

import java.util.Locale;

/** The certificate stores the library's store methods take, by the number they pass and the name they show. */
public enum StoreKind {
    MY(1, "MY"), ROOT(2, "ROOT"), CA(3, "CA"), ADDRESS_BOOK(4, "AddressBook"), VARNEL(5, "Varnel");

    /** The number the native methods take ({@code storeKind}). */
    public final int code;
    /** The store's name as listings and messages show it. */
    public final String storeName;

    StoreKind(int code, String storeName) {
        this.code = code;
        this.storeName = storeName;
    }

    /** The store of a name, in any case; null when there is none. */
    public static StoreKind named(String name) {
        for (StoreKind k : values()) {
            if (k.storeName.toLowerCase(Locale.ROOT).equals(name.toLowerCase(Locale.ROOT))) {
                return k;
            }
        }
        return null;
    }
}
