package veska4j.impl;

/**
 * The native methods of the veska library, one to one. Loading this class loads
 * {@code libveska.so} (found on {@code java.library.path}) and checks that the library
 * speaks the same interface version. Most programs use {@link veska4j.Server} instead.
 *
 * <p>A configuration is identified by the handle {@link #_init} returns; it must be closed
 * with {@link #_close} exactly once and not be used afterwards. Every method raises
 * {@link veska4j.VESKA4JException} with the library's result code when the library refuses
 * the call.
 */
public final class ServerImpl {
    /** The interface version this class was written against. */
    public static final int VESKA4J_JNI_VERSION = 1;

    static {
        System.loadLibrary("veska");
        onLoad(VESKA4J_JNI_VERSION);
    }

    /**
     * Checks the native interface version and prepares the native side; called once by the
     * static initialiser.
     *
     * @param veska4jJniVersion the Java side's interface version
     * @throws RuntimeException when the versions differ
     */
    public static native void onLoad(int veska4jJniVersion);

    /**
     * Creates and starts a configuration.
     *
     * @param address collector address "transport:address", or null for "tcp:127.0.0.1:5455"
     * @param tokenfile token file for {@link #_getToken}, or null for no tokens
     * @param connectTimeout milliseconds allowed for one connection attempt (0: 30000)
     * @param connectRetries connection retries (0: retry for ever)
     * @param connectRetryInterval milliseconds between attempts (0: 5000)
     * @param queueSize slots of the event queue, 1 to 65535 (0: 1000; only the low 16 bits
     *     are used)
     * @return the configuration's handle, never 0
     */
    public static native long _init(String address, String tokenfile, long connectTimeout,
            long connectRetries, long connectRetryInterval, int queueSize);

    /**
     * Validates one event and queues it for the collector; never waits for the network.
     * Every key of a [key, value] pair must end with a zero byte; a value may be null. A pair
     * with a null key ends its list.
     *
     * @param handle the configuration
     * @param eventType event type, 0 to 9
     * @param timestampSeconds seconds since the epoch (0 with 0 microseconds: now)
     * @param timestampMicroseconds microseconds, 0 to 999999
     * @param blocked whether the event is blocked
     * @param verticalCaller caller type of the vertical association, 0 to 255
     * @param horizontalCaller caller type of the horizontal association, 0 to 255
     * @param verticalLink vertical link identifier (at most 255 bytes), or null
     * @param horizontalLink horizontal link identifier (at most 255 bytes), or null
     * @param transactionId transaction identifier, or null
     * @param verticalContext vertical context pairs, or null
     * @param horizontalContext horizontal context pairs, or null
     * @param verticalStitches vertical stitch pairs, or null
     * @param horizontalStitches horizontal stitch pairs, or null
     * @param transactionData transaction data pairs, or null
     */
    public native void _track(long handle, int eventType, long timestampSeconds,
            int timestampMicroseconds, boolean blocked, int verticalCaller,
            int horizontalCaller, byte[] verticalLink, byte[] horizontalLink,
            byte[] transactionId, byte[][][] verticalContext, byte[][][] horizontalContext,
            byte[][][] verticalStitches, byte[][][] horizontalStitches,
            byte[][][] transactionData);

    /**
     * {@link #_track} for an event whose links, transaction id and pairs are laid out in the
     * first {@code length} bytes of {@code layout}, in one call instead of one per array; it
     * tracks the same event and raises the same exceptions. The layout, little-endian 32-bit
     * lengths throughout, is a head and the contents. The head: its own length in bytes; the
     * number of pairs; the lengths of the vertical link, the horizontal link and the
     * transaction id (-1 for null); then for the vertical context, horizontal context,
     * vertical stitches, horizontal stitches and transaction data each its pair count (-1
     * for null) and every pair's key length, key (ending with a zero byte) and value length
     * (-1 for null). The contents: the bytes of the links, the transaction id and the values,
     * in that order. {@link veska4j.Event} writes it.
     *
     * @param layout the laid-out event
     * @param length how many bytes of layout it takes
     * @throws veska4j.VESKA4JException with 21 when the layout is malformed
     */
    public native void _trackFlat(long handle, int eventType, long timestampSeconds,
            int timestampMicroseconds, boolean blocked, int verticalCaller,
            int horizontalCaller, byte[] layout, int length);

    /**
     * Draws a token unique among the processes of this host that share the token file.
     *
     * @param handle the configuration, created with a token file
     * @return the token: the file's prefix in bits 31 to 24, a shared counter below
     */
    public static native int _getToken(long handle);

    /**
     * Sends what is queued, stops the configuration and frees it; 0 does nothing. The handle
     * is invalid afterwards even when an exception is raised.
     *
     * @param handle the configuration, or 0
     */
    public static native void _close(long handle);

    /**
     * Checks that an address "transport:address" is acceptable, without connecting; null is
     * accepted.
     *
     * @param address the address to check, or null
     */
    public static native void _verifyAddress(String address);
}
