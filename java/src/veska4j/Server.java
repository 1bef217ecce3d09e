package veska4j;

import java.util.concurrent.locks.ReentrantReadWriteLock;
import veska4j.impl.ServerImpl;

/**
 * One tracking configuration: a queue and a background connection to a collector. Events
 * are queued by {@link #track(Event)} without waiting for the network; {@link #close()} sends
 * what is queued and stops. Any number of threads may use one server until it is closed.
 * Failures raise {@link VESKA4JException} with the library's result code.
 */
public final class Server implements AutoCloseable {
    private final ServerImpl impl = new ServerImpl();
    // Calls hold the read lock for as long as the native side uses the handle; close takes
    // the write lock, so the configuration is never freed under a running call.
    private final ReentrantReadWriteLock lock = new ReentrantReadWriteLock();
    private long handle;
    // Each thread lays its events out in a buffer of its own, kept between calls up to this
    // size; the native side copies what it needs before the call returns.
    private static final int KEPT_LAYOUT_BYTES = 64 * 1024;
    private static final ThreadLocal<byte[]> LAYOUT_BUFFER =
            ThreadLocal.withInitial(() -> new byte[512]);

    /**
     * Starts a configuration for the collector at address with the library's defaults.
     *
     * @param address "transport:address", for example "tcp:127.0.0.1:5455"; null for that
     *     default
     */
    public Server(String address) {
        this(address, null, 0, 0, 0, 0);
    }

    /**
     * Starts a configuration; zero numbers take the library's defaults.
     *
     * @param address "transport:address", or null for "tcp:127.0.0.1:5455"
     * @param tokenFile token file for {@link #token()}, or null for no tokens
     * @param connectTimeoutMillis time allowed for one connection attempt (0: 30000)
     * @param connectRetries connection retries (0: retry for ever)
     * @param connectRetryIntervalMillis pause between attempts (0: 5000)
     * @param queueSize event queue slots, 1 to 65535 (0: 1000)
     */
    public Server(String address, String tokenFile, long connectTimeoutMillis,
            long connectRetries, long connectRetryIntervalMillis, int queueSize) {
        handle = ServerImpl._init(address, tokenFile, connectTimeoutMillis, connectRetries,
                connectRetryIntervalMillis, queueSize);
    }

    /**
     * Checks an address without connecting.
     *
     * @param address "transport:address"
     * @throws VESKA4JException with 21 when the address has no transport part, or the
     *     transport's code when it refuses the address
     */
    public static void verifyAddress(String address) {
        ServerImpl._verifyAddress(address);
    }

    /**
     * Validates the event and queues it for the collector.
     *
     * @param event the event; it may be changed or sent again afterwards
     * @throws VESKA4JException with the validation code (102 to 174) or another failure
     */
    public void track(Event event) {
        int size = event.layoutSize();
        byte[] layout = null;
        if (size >= 0) {
            layout = LAYOUT_BUFFER.get();
            if (layout.length < size) {
                layout = new byte[Math.max(size, 2 * layout.length)];
                if (layout.length <= KEPT_LAYOUT_BYTES) {
                    LAYOUT_BUFFER.set(layout);
                }
            }
            event.layOut(layout);
        }
        lock.readLock().lock();
        try {
            if (layout != null) {
                impl._trackFlat(open(), event.type, event.seconds, event.microseconds,
                        event.blocked, event.verticalCaller, event.horizontalCaller, layout,
                        size);
            } else {
                impl._track(open(), event.type, event.seconds, event.microseconds,
                        event.blocked, event.verticalCaller, event.horizontalCaller,
                        event.verticalLink, event.horizontalLink, event.transactionId,
                        event.verticalContextPairs(), event.horizontalContextPairs(),
                        event.verticalStitchPairs(), event.horizontalStitchPairs(),
                        event.transactionDataPairs());
            }
        } finally {
            lock.readLock().unlock();
        }
    }

    /**
     * Draws a token unique among this host's processes that share the token file.
     *
     * @return the token
     * @throws VESKA4JException when the server has no usable token file
     */
    public int token() {
        lock.readLock().lock();
        try {
            return ServerImpl._getToken(open());
        } finally {
            lock.readLock().unlock();
        }
    }

    /**
     * Sends what is queued and stops the configuration; later calls do nothing.
     *
     * @throws VESKA4JException when stopping reported a failure (the server is closed anyway)
     */
    @Override
    public void close() {
        lock.writeLock().lock();
        try {
            long h = handle;
            handle = 0;
            ServerImpl._close(h);
        } finally {
            lock.writeLock().unlock();
        }
    }

    // The handle of an open server; the caller holds the read lock.
    private long open() {
        if (handle == 0) {
            throw new IllegalStateException("server closed");
        }
        return handle;
    }
}
