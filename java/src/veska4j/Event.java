package veska4j;

import java.nio.charset.StandardCharsets;
import java.util.Arrays;

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
    // The bytes of this event's layout and of the field contents in it, kept up to date by
    // every setter (a Java array's length never changes). Empty: the head's length, the pair
    // count, three absent fields and five empty lists.
    private long layoutBytes = 4 + 4 + 3 * 4 + 5 * 4;
    private long contentBytes;
    private int pairCount;
    // The layout's head (every length and key), built when first needed after a setter changed
    // it; volatile so that a thread tracking an unchanged event sees it whole.
    private volatile byte[] head;
    private final Pairs verticalContext = new Pairs();
    private final Pairs horizontalContext = new Pairs();
    private final Pairs verticalStitches = new Pairs();
    private final Pairs horizontalStitches = new Pairs();
    private final Pairs transactionData = new Pairs();

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
        resized(length(id) - length(transactionId));
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
        resized(length(link) - length(verticalLink));
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
        resized(length(link) - length(horizontalLink));
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
        add(transactionData, name, value);
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
        add(verticalStitches, name, value);
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
        add(horizontalStitches, name, value);
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
        add(verticalContext, name, value);
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
        add(horizontalContext, name, value);
        return this;
    }

    private static int length(byte[] field) {
        return field == null ? 0 : field.length;
    }

    private void resized(int contentChange) {
        layoutBytes += contentChange;
        contentBytes += contentChange;
        head = null;
    }

    private void add(Pairs list, String name, byte[] value) {
        layoutBytes += list.add(name, value);
        resized(length(value));
        pairCount++;
    }

    // One list's pairs kept flat so that laying them out walks one array: each key already
    // laid out (its length, then its UTF-8 bytes and the zero byte that ends the text the
    // library reads), then the value as given.
    private static final class Pairs {
        private static final byte[][] NONE = new byte[0][];
        byte[][] keysAndValues = NONE;
        int count;

        // Adds a pair; the bytes it adds to the layout.
        int add(String name, byte[] value) {
            if (name == null) {
                throw new NullPointerException("name");
            }
            byte[] text = name.getBytes(StandardCharsets.UTF_8);
            byte[] key = new byte[4 + text.length + 1];
            putInt(key, 0, text.length + 1);
            System.arraycopy(text, 0, key, 4, text.length);
            if (2 * count == keysAndValues.length) {
                keysAndValues = Arrays.copyOf(keysAndValues, Math.max(4, 4 * count));
            }
            keysAndValues[2 * count] = key;
            keysAndValues[2 * count + 1] = value;
            count++;
            return key.length + 4;
        }

        // [key, value] pairs for ServerImpl._track, or null when there are none.
        byte[][][] toArrays() {
            if (count == 0) {
                return null;
            }
            byte[][][] pairs = new byte[count][][];
            for (int i = 0; i < count; i++) {
                byte[] key = keysAndValues[2 * i];
                pairs[i] = new byte[][] {Arrays.copyOfRange(key, 4, key.length),
                        keysAndValues[2 * i + 1]};
            }
            return pairs;
        }

        int layOutHead(byte[] out, int at) {
            at = putInt(out, at, count == 0 ? -1 : count);
            for (int i = 0; i < 2 * count; i += 2) {
                byte[] key = keysAndValues[i];
                System.arraycopy(key, 0, out, at, key.length);
                at = putInt(out, at + key.length, fieldLength(keysAndValues[i + 1]));
            }
            return at;
        }

        int layOutValues(byte[] out, int at) {
            for (int i = 1; i < 2 * count; i += 2) {
                at = putContent(out, at, keysAndValues[i]);
            }
            return at;
        }
    }

    // ---- The flat layout ServerImpl._trackFlat reads -----------------------------------
    // Larger layouts take the array path: no valid event comes near this size, and the
    // array path gives the same refusal without a copy of this size.
    private static final long LAYOUT_LIMIT = 256 * 1024;

    private static int putInt(byte[] out, int at, int value) {
        out[at] = (byte) value;
        out[at + 1] = (byte) (value >>> 8);
        out[at + 2] = (byte) (value >>> 16);
        out[at + 3] = (byte) (value >>> 24);
        return at + 4;
    }

    private static int fieldLength(byte[] field) {
        return field == null ? -1 : field.length;
    }

    private static int putContent(byte[] out, int at, byte[] field) {
        if (field == null) {
            return at;
        }
        System.arraycopy(field, 0, out, at, field.length);
        return at + field.length;
    }

    /**
     * The bytes of the event's layout for ServerImpl._trackFlat, or -1 when it would be
     * larger than any valid event's (the array path then serves).
     */
    int layoutSize() {
        return layoutBytes > LAYOUT_LIMIT ? -1 : (int) layoutBytes;
    }

    private byte[] head() {
        byte[] laid = head;
        if (laid != null) {
            return laid;
        }
        laid = new byte[(int) (layoutBytes - contentBytes)];
        int at = putInt(laid, 0, laid.length);
        at = putInt(laid, at, pairCount);
        at = putInt(laid, at, fieldLength(verticalLink));
        at = putInt(laid, at, fieldLength(horizontalLink));
        at = putInt(laid, at, fieldLength(transactionId));
        at = verticalContext.layOutHead(laid, at);
        at = horizontalContext.layOutHead(laid, at);
        at = verticalStitches.layOutHead(laid, at);
        at = horizontalStitches.layOutHead(laid, at);
        transactionData.layOutHead(laid, at);
        head = laid;
        return laid;
    }

    /**
     * Lays the event out from the start of out: the head with every length and key, then the
     * links, the transaction id and the values, the only bytes the caller may have changed
     * since the last call.
     */
    void layOut(byte[] out) {
        byte[] laid = head();
        System.arraycopy(laid, 0, out, 0, laid.length);
        int at = putContent(out, laid.length, verticalLink);
        at = putContent(out, at, horizontalLink);
        at = putContent(out, at, transactionId);
        at = verticalContext.layOutValues(out, at);
        at = horizontalContext.layOutValues(out, at);
        at = verticalStitches.layOutValues(out, at);
        at = horizontalStitches.layOutValues(out, at);
        transactionData.layOutValues(out, at);
    }

    byte[][][] verticalContextPairs() {
        return verticalContext.toArrays();
    }

    byte[][][] horizontalContextPairs() {
        return horizontalContext.toArrays();
    }

    byte[][][] verticalStitchPairs() {
        return verticalStitches.toArrays();
    }

    byte[][][] horizontalStitchPairs() {
        return horizontalStitches.toArrays();
    }

    byte[][][] transactionDataPairs() {
        return transactionData.toArrays();
    }
}
