package com.qel.varnel;

/**
 * The platform error code a failure of the library carries: the native
 * methods raise {@code java.lang.Exception} with a fixed message, its cause's
 * message beginning with the code as 0x and eight hex digits.
 */
public record ErrorCode(int value) {
    public static final ErrorCode NONE = new ErrorCode(0);
    public static final ErrorCode NTE_BAD_TYPE = new ErrorCode(0x8009000A);
    public static final ErrorCode NTE_PERM = new ErrorCode(0x80090010);
    public static final ErrorCode NTE_SILENT_CONTEXT = new ErrorCode(0x80090022);
    public static final ErrorCode SCARD_W_CARD_NOT_AUTHENTICATED = new ErrorCode(0x8010006F);

    /** The code a library exception carries in its cause, or {@link #NONE}. */
    public static ErrorCode of(Throwable e) {
        Throwable c = e == null ? null : e.getCause();
        String m = c == null ? null : c.getMessage();
        if (m == null || m.length() < 10 || !m.startsWith("0x")) {
            return NONE;
        }
        try {
            return new ErrorCode(Integer.parseUnsignedInt(m.substring(2, 10), 16));
        } catch (NumberFormatException ex) {
            return NONE;
        }
    }

    @Override
    public String toString() {
        return String.format("0x%08X", value);
    }
}
