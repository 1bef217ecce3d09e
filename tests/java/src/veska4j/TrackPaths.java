package veska4j;

import java.io.ByteArrayOutputStream;
import java.io.InputStream;
import java.net.InetAddress;
import java.net.ServerSocket;
import java.net.Socket;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import veska4j.impl.ServerImpl;

/**
 * Server.track's own path against the array path of ServerImpl._track: every event of the
 * table goes through both, each into its own configuration, and the two must raise the same
 * exceptions and put the same event messages on the wire.
 */
public final class TrackPaths {
    private TrackPaths() {}

    /** Keeps every byte of the one connection it accepts on a loopback port. */
    private static final class RawSink implements AutoCloseable {
        final ServerSocket socket;
        final ByteArrayOutputStream bytes = new ByteArrayOutputStream();
        final Thread reader;

        RawSink() throws Exception {
            socket = new ServerSocket(0, 1, InetAddress.getLoopbackAddress());
            socket.setSoTimeout(30000);
            reader = new Thread(() -> {
                try (Socket peer = socket.accept(); InputStream in = peer.getInputStream()) {
                    peer.setSoTimeout(60000);
                    byte[] chunk = new byte[65536];
                    for (int n; (n = in.read(chunk)) > 0; ) {
                        synchronized (bytes) {
                            bytes.write(chunk, 0, n);
                        }
                    }
                } catch (Exception e) {
                    System.out.println("sink: " + e);
                }
            });
            reader.start();
        }

        String address() {
            return "tcp:127.0.0.1:" + socket.getLocalPort();
        }

        // The event messages (type 1) received once the peer has closed, header included.
        List<String> events() throws Exception {
            reader.join(90000);
            byte[] all;
            synchronized (bytes) {
                all = bytes.toByteArray();
            }
            List<String> events = new ArrayList<>();
            for (int at = 0; at + 4 <= all.length; ) {
                int end = at + 4 + ((all[at + 2] & 0xff) << 8 | (all[at + 3] & 0xff));
                if (all[at] == 1) {
                    events.add(Arrays.toString(Arrays.copyOfRange(all, at, Math.min(end,
                            all.length))));
                }
                at = end;
            }
            return events;
        }

        @Override
        public void close() throws Exception {
            socket.close();
        }
    }

    private static byte[] ascii(String s) {
        return s.getBytes(StandardCharsets.US_ASCII);
    }

    private static byte[] filled(int n) {
        byte[] b = new byte[n];
        Arrays.fill(b, (byte) 'v');
        return b;
    }

    private static Event manyPairs(int n, int valueSize) {
        Event e = new Event(Event.HERE).timestamp(1700000000L, 7);
        for (int i = 0; i < n; i++) {
            e.addVerticalContext("k" + i, i % 3 == 0 ? null : filled(valueSize));
        }
        return e;
    }

    private static final class Case {
        final String name;
        final int code;  // 0: tracked
        final Event event;

        Case(String name, int code, Event event) {
            this.name = name;
            this.code = code;
            this.event = event;
        }
    }

    private static List<Case> cases() {
        byte[] tid = ascii("txn-000000000042");
        List<Case> t = new ArrayList<>();
        t.add(new Case("typical", 0, new Event(Event.OUTBOUND).timestamp(1700000000L, 1)
                .transactionId(tid).addTransactionData("customer", ascii("ACME Corporation"))
                .addTransactionData("amount", ascii("129.50 EUR"))
                .horizontal(1, new byte[] {10, 11, 12, 13})
                .addHorizontalStitch("correlation", ascii("c-77"))
                .addHorizontalContext("host", ascii("app-01"))));
        t.add(new Case("started, every list", 0, new Event(Event.STARTED_INBOUND)
                .timestamp(1700000001L, 999999).blocked(true).transactionId(tid)
                .vertical(255, ascii("vl")).addVerticalStitch("parent", ascii("p-1"))
                .addVerticalContext("na\u00efve \u20ac", new byte[] {0, 1, 0, (byte) 0xff})
                .horizontal(0, new byte[0]).addHorizontalStitch("", ascii("empty name"))
                .addHorizontalContext("none", null).addTransactionData("empty", new byte[0])));
        t.add(new Case("empty transaction id", 0,
                new Event(Event.COMMIT).timestamp(5, 0).transactionId(new byte[0])));
        t.add(new Case("255 pairs", 0, manyPairs(255, 3)));
        t.add(new Case("past the native stack buffers", 0, manyPairs(40, 200)));
        t.add(new Case("type 10", 102, new Event(10).timestamp(5, 0)));
        t.add(new Case("type with the top bit", 102, new Event(-1).timestamp(5, 0)));
        t.add(new Case("microseconds", 103, new Event(Event.HERE).timestamp(5, 1000000)));
        t.add(new Case("transaction id of 70000", 104,
                new Event(Event.HERE).timestamp(5, 0).transactionId(filled(70000))));
        t.add(new Case("horizontal link of 300", 110,
                new Event(Event.HERE).timestamp(5, 0).horizontal(1, filled(300))));
        t.add(new Case("horizontal caller 256", 112,
                new Event(Event.HERE).timestamp(5, 0).horizontal(256, null)));
        t.add(new Case("vertical link of 256", 120,
                new Event(Event.HERE).timestamp(5, 0).vertical(1, filled(256))));
        t.add(new Case("value of 65536", 132, new Event(Event.HERE).timestamp(5, 0)
                .addTransactionData("big", filled(65536))));
        t.add(new Case("value of 70000", 132, new Event(Event.HERE).timestamp(5, 0)
                .addTransactionData("big", filled(70000))));
        t.add(new Case("value of 300000, the array path", 162, new Event(Event.HERE)
                .timestamp(5, 0).addHorizontalContext("huge", filled(300000))));
        t.add(new Case("256 pairs", 100, manyPairs(256, 1)));
        t.add(new Case("too large", 100, manyPairs(30, 4000)));
        return t;
    }

    private static String outcome(Runnable call) {
        try {
            call.run();
            return "tracked";
        } catch (VESKA4JException e) {
            return e.getCode() + " " + e.getMessage();
        } catch (RuntimeException e) {
            return e.getClass().getName() + " " + e.getMessage();
        }
    }

    /** Runs the table; returns the failed checks, each printed. */
    public static int run() throws Exception {
        int failures = 0;
        ServerImpl impl = new ServerImpl();
        List<Case> table = cases();
        List<String> arrayEvents;
        List<String> flatEvents;
        try (RawSink arraySink = new RawSink(); RawSink flatSink = new RawSink()) {
            long handle = ServerImpl._init(arraySink.address(), null, 10000, 3, 100, 0);
            try (Server server = new Server(flatSink.address(), null, 10000, 3, 100, 0)) {
                for (Case c : table) {
                    Event e = c.event;
                    String viaArrays = outcome(() -> impl._track(handle, e.type, e.seconds,
                            e.microseconds, e.blocked, e.verticalCaller, e.horizontalCaller,
                            e.verticalLink, e.horizontalLink, e.transactionId,
                            e.verticalContextPairs(), e.horizontalContextPairs(),
                            e.verticalStitchPairs(), e.horizontalStitchPairs(),
                            e.transactionDataPairs()));
                    String viaLayout = outcome(() -> server.track(e));
                    String expected = c.code == 0 ? "tracked" : c.code + " ";
                    if (!viaArrays.startsWith(expected) || !viaLayout.equals(viaArrays)) {
                        failures++;
                        System.out.println("FAIL: " + c.name + ": expected <" + expected
                                + "> arrays <" + viaArrays + "> layout <" + viaLayout + ">");
                    }
                }
            } finally {
                ServerImpl._close(handle);
            }
            arrayEvents = arraySink.events();
            flatEvents = flatSink.events();
        }
        long good = table.stream().filter(c -> c.code == 0).count();
        if (arrayEvents.size() != good || !flatEvents.equals(arrayEvents)) {
            failures++;
            System.out.println("FAIL: " + good + " events expected on both connections; arrays "
                    + arrayEvents.size() + ", layout " + flatEvents.size() + ", same bytes "
                    + flatEvents.equals(arrayEvents));
        }
        return failures;
    }
}
