package com.qel.varnel.tool;

/** The tool's exit codes. */
final class Exit {
    private Exit() {
    }

    static final int OK = 0;
    static final int FAILED = 1;
    static final int USAGE = 2;
    /** A certificate check that --strict makes an error (sign). */
    static final int STRICT = 4;
}
