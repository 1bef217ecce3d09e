package veska4j.bench;

import java.lang.reflect.Field;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import veska4j.Event;
import veska4j.Server;

/**
 * Server.track of the typical event beside QIVA_track of the same event, in alternating
 * rounds in one process over the null transport, timed the same way as veska-bench: batches
 * smaller than the queue, each timed in groups of 64 calls whose median mean is the figure,
 * the queue drained between batches outside the timed region. Prints one line per round and
 * the median ratio.
 *
 * <p>Usage: JavaTrackBench [rounds] [seconds per path and round]
 */
public final class JavaTrackBench {
    private static final int QUEUE_SIZE = 65535;
    private static final int BATCH = 16384;
    private static final int GROUP = 64;

    static {
        System.loadLibrary("veska4jbench");
    }

    private static native long openNative(int queueSize);

    private static native void closeNative(long handle);

    private static native int trackNative(long handle, int groups, int group, double[] groupNs);

    private static native boolean flush(long handle);

    private static native long drops();

    private JavaTrackBench() {}

    private static byte[] ascii(String s) {
        return s.getBytes(StandardCharsets.US_ASCII);
    }

    // The event of bench_events.h's TypicalEvent: 120 bytes on the wire.
    private static Event typicalEvent() {
        return new Event(Event.OUTBOUND)
                .transactionId(ascii("txn-000000000042"))
                .addTransactionData("customer", ascii("ACME Corporation"))
                .addTransactionData("amount", ascii("129.50 EUR"))
                .horizontal(1, new byte[] {0x0a, 0x0b, 0x0c, 0x0d})
                .addHorizontalStitch("correlation", ascii("c-77"))
                .addHorizontalContext("host", ascii("app-01"));
    }

    private interface Path {
        // Runs one batch, filling groupNs; returns the calls that failed.
        int batch(double[] groupNs);
    }

    private static double median(double[] values, int n) {
        double[] sorted = Arrays.copyOf(values, n);
        Arrays.sort(sorted);
        return n % 2 == 1 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
    }

    // Batches of path for about seconds, draining between them; the median group mean.
    private static double run(Path path, long handle, double seconds, int[] failed) {
        int groups = BATCH / GROUP;
        List<double[]> all = new ArrayList<>();
        long deadline = System.nanoTime() + (long) (seconds * 1e9);
        do {
            double[] groupNs = new double[groups];
            failed[0] += path.batch(groupNs);
            all.add(groupNs);
            if (!flush(handle)) {
                throw new IllegalStateException("the queue was not drained within 30 s");
            }
        } while (System.nanoTime() < deadline);
        double[] merged = new double[all.size() * groups];
        for (int i = 0; i < all.size(); i++) {
            System.arraycopy(all.get(i), 0, merged, i * groups, groups);
        }
        return median(merged, merged.length);
    }

    // The facade's handle, for the flush it does not offer.
    private static long handleOf(Server server) throws ReflectiveOperationException {
        Field field = Server.class.getDeclaredField("handle");
        field.setAccessible(true);
        return field.getLong(server);
    }

    public static void main(String[] args) throws Exception {
        int rounds = args.length > 0 ? Integer.parseInt(args[0]) : 5;
        double seconds = args.length > 1 ? Double.parseDouble(args[1]) : 1.0;
        long nativeHandle = openNative(QUEUE_SIZE);
        if (nativeHandle == 0) {
            throw new IllegalStateException("QIVA_init failed");
        }
        int[] failed = new int[1];
        try (Server server = new Server("null:discard", null, 0, 0, 0, QUEUE_SIZE)) {
            long serverHandle = handleOf(server);
            Event event = typicalEvent();
            Path java = groupNs -> {
                for (int g = 0; g < groupNs.length; g++) {
                    long start = System.nanoTime();
                    for (int i = 0; i < GROUP; i++) {
                        server.track(event);
                    }
                    groupNs[g] = (System.nanoTime() - start) / (double) GROUP;
                }
                return 0;
            };
            Path javaBuilt = groupNs -> {
                for (int g = 0; g < groupNs.length; g++) {
                    long start = System.nanoTime();
                    for (int i = 0; i < GROUP; i++) {
                        server.track(typicalEvent());
                    }
                    groupNs[g] = (System.nanoTime() - start) / (double) GROUP;
                }
                return 0;
            };
            Path nativePath = groupNs -> trackNative(nativeHandle, groupNs.length, GROUP, groupNs);

            // The compilers settle before anything counts.
            run(java, serverHandle, 3 * seconds, failed);
            run(javaBuilt, serverHandle, seconds, failed);
            run(nativePath, nativeHandle, seconds, failed);
            long dropsBefore = drops();
            double[] ratios = new double[rounds];
            double[] javaNs = new double[rounds];
            double[] builtNs = new double[rounds];
            double[] nativeNs = new double[rounds];
            for (int r = 0; r < rounds; r++) {
                javaNs[r] = run(java, serverHandle, seconds, failed);
                nativeNs[r] = run(nativePath, nativeHandle, seconds, failed);
                builtNs[r] = run(javaBuilt, serverHandle, seconds, failed);
                ratios[r] = javaNs[r] / nativeNs[r];
                System.out.printf("round %d: Server.track %.0f ns, with the Event built %.0f ns,"
                        + " QIVA_track %.0f ns, ratio %.2f%n", r + 1, javaNs[r], builtNs[r],
                        nativeNs[r], ratios[r]);
            }
            System.out.printf("java typical event, median of %d rounds: Server.track %.0f ns"
                    + " (Event built per call %.0f ns), QIVA_track %.0f ns, ratio %.2f"
                    + " (target <= 2); drops %d, failed calls %d%n", rounds,
                    median(javaNs, rounds), median(builtNs, rounds), median(nativeNs, rounds),
                    median(ratios, rounds), drops() - dropsBefore, failed[0]);
        } finally {
            closeNative(nativeHandle);
        }
    }
}
