package veska4j;

import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;

/**
 * One tracking event, filled in with chained setters and sent with
 * {@link Server#track(Event)}. Names of pairs are Java strings (sent as UTF-8); values and
 * identifiers are raw bytes. An event may be sent again after changing it.
 */
public final class Event {
    /** The unit of work started. */
    public static final int STARTED = 0;
    /** The unit of work passed a point. */
    public static final int HERE = 1;
    /** A request came in. */
    public static final int INBOUND = 2;
    /** A request went out. */
    public static final int OUTBOUND = 3;
    /** The unit of work finished. */
    public static final int FINISHED = 4;
    /** The unit of work started with an incoming request. */
    public static final int STARTED_INBOUND = 5;
    /** The reply to an outgoing request came back. */
    public static final int OUTBOUND_FINISHED = 6;
    /** The reply to an incoming request went out. */
    public static final int INBOUND_FINISHED = 7;
    /** The unit of work committed. */
    public static final int COMMIT = 8;
    /** The unit of work rolled back. */
    public static final int ROLLBACK = 9;

    int type;
    long seconds;
    int microseconds;
    boolean blocked;
    int verticalCaller;
    int horizontalCaller;
    byte[] verticalLink;
    byte[] horizontalLink;
    byte[] transactionId;
    private final List<byte[][]> verticalContext = new ArrayList<>();
    private final List<byte[][]> horizontalContext = new ArrayList<>();
    private final List<byte[][]> verticalStitches = new ArrayList<>();
    private final List<byte[][]> horizontalStitches = new ArrayList<>();
    private final List<byte[][]> transactionData = new ArrayList<>();

    /**
     * Creates an event of the given type, time-stamped when it is sent.
     *
     * @param type one of the type constants, 0 to 9
     */
    public Event(int type) {
        this.type = type;
    }

    /**
     * Sets the time of the event; 0 seconds with 0 microseconds means "when sent".
     *
     * @param seconds seconds since the epoch
     * @param microseconds 0 to 999999
     * @return this event
     */
    public Event timestamp(long seconds, int microseconds) {
        this.seconds = seconds;
        this.microseconds = microseconds;
        return this;
    }

    /**
     * Marks the event as blocked or not.
     *
     * @param blocked whether the event is blocked
     * @return this event
     */
    public Event blocked(boolean blocked) {
        this.blocked = blocked;
        return this;
    }

    /**
     * Sets the transaction identifier.
     *
     * @param id the identifier's bytes, or null for none
     * @return this event
     */
    public Event transactionId(byte[] id) {
        this.transactionId = id;
        return this;
    }

    /**
     * Sets the vertical association (the link to a caller in the same chain).
     *
     * @param callerType caller type, 0 to 255
     * @param link link identifier of at most 255 bytes, or null
     * @return this event
     */
    public Event vertical(int callerType, byte[] link) {
        this.verticalCaller = callerType;
        this.verticalLink = link;
        return this;
    }

    /**
     * Sets the horizontal association (the link to a peer across a call).
     *
     * @param callerType caller type, 0 to 255
     * @param link link identifier of at most 255 bytes, or null
     * @return this event
     */
    public Event horizontal(int callerType, byte[] link) {
        this.horizontalCaller = callerType;
        this.horizontalLink = link;
        return this;
    }

    /**
     * Adds a transaction data pair.
     *
     * @param name the pair's name
     * @param value the value's bytes, or null
     * @return this event
     */
    public Event addTransactionData(String name, byte[] value) {
        transactionData.add(pair(name, value));
        return this;
    }

    /**
     * Adds a stitch pair to the vertical association.
     *
     * @param name the pair's name
     * @param value the value's bytes, or null
     * @return this event
     */
    public Event addVerticalStitch(String name, byte[] value) {
        verticalStitches.add(pair(name, value));
        return this;
    }

    /**
     * Adds a stitch pair to the horizontal association.
     *
     * @param name the pair's name
     * @param value the value's bytes, or null
     * @return this event
     */
    public Event addHorizontalStitch(String name, byte[] value) {
        horizontalStitches.add(pair(name, value));
        return this;
    }

    /**
     * Adds a vertical context pair.
     *
     * @param name the pair's name
     * @param value the value's bytes, or null
     * @return this event
     */
    public Event addVerticalContext(String name, byte[] value) {
        verticalContext.add(pair(name, value));
        return this;
    }

    /**
     * Adds a horizontal context pair.
     *
     * @param name the pair's name
     * @param value the value's bytes, or null
     * @return this event
     */
    public Event addHorizontalContext(String name, byte[] value) {
        horizontalContext.add(pair(name, value));
        return this;
    }

    // The library reads a name as zero-terminated text.
    private static byte[][] pair(String name, byte[] value) {
        if (name == null) {
            throw new NullPointerException("name");
        }
        byte[] text = name.getBytes(StandardCharsets.UTF_8);
        byte[] key = new byte[text.length + 1];
        System.arraycopy(text, 0, key, 0, text.length);
        return new byte[][] {key, value};
    }

    static byte[][][] pairs(List<byte[][]> list) {
        return list.isEmpty() ? null : list.toArray(new byte[0][][]);
    }

    byte[][][] verticalContextPairs() {
        return pairs(verticalContext);
    }

    byte[][][] horizontalContextPairs() {
        return pairs(horizontalContext);
    }

    byte[][][] verticalStitchPairs() {
        return pairs(verticalStitches);
    }

    byte[][][] horizontalStitchPairs() {
        return pairs(horizontalStitches);
    }

    byte[][][] transactionDataPairs() {
        return pairs(transactionData);
    }
}
