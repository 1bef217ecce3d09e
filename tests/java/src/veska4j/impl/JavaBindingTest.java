package veska4j.impl;

import java.io.File;
import java.net.ServerSocket;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.List;
import java.util.Map;
import java.util.concurrent.TimeUnit;
import java.util.logging.Handler;
import java.util.logging.Level;
import java.util.logging.LogRecord;
import java.util.logging.Logger;
import veska4j.Event;
import veska4j.Server;
import veska4j.VESKA4JException;

/**
 * The Java binding against the real library: one case per run, named by the first argument.
 * Exit status 0 passes, 1 fails, 77 skips (a part of the library this case needs is not
 * there yet). System properties: veska.collector (path of veska-collector, may be empty) and
 * veska.tmp (a scratch folder).
 */
public final class JavaBindingTest {
    private static final int SKIP = 77;
    private static int failures;

    private static final class Skip extends RuntimeException {
        private static final long serialVersionUID = 1L;

        Skip(String why) {
            super(why);
        }
    }

    public static void main(String[] args) throws Exception {
        String name = args.length > 0 ? args[0] : "";
        try {
            switch (name) {
                case "exceptions": exceptions(); break;
                case "config": config(); break;
                case "tokens": tokens(); break;
                case "translation": translation(); break;
                case "transaction": transaction(); break;
                case "paths": failures += veska4j.TrackPaths.run(); break;
                case "bridge": bridge(); break;
                case "bridge_front_end": bridgeFrontEnd(); break;
                case "dispatcher_logging": dispatcherLogging(); break;
                default: throw new IllegalArgumentException("unknown case '" + name + "'");
            }
        } catch (Skip s) {
            System.out.println("SKIP " + name + ": " + s.getMessage());
            System.exit(SKIP);
        }
        System.out.println((failures == 0 ? "PASS " : "FAIL ") + name + " (" + failures
                + " failed checks)");
        System.exit(failures == 0 ? 0 : 1);
    }

    // ---- Checks ------------------------------------------------------------------------

    private static void check(boolean ok, String what) {
        if (!ok) {
            failures++;
            System.out.println("FAIL: " + what);
            new Throwable().printStackTrace(System.out);
        }
    }

    private static void equal(Object expected, Object actual, String what) {
        boolean same = expected == null ? actual == null : expected.equals(actual);
        check(same, what + ": expected <" + expected + "> but was <" + actual + ">");
    }

    private static VESKA4JException veska(Runnable call) {
        try {
            call.run();
        } catch (VESKA4JException e) {
            return e;
        }
        return null;
    }

    private static void expectCode(int code, String text, Runnable call, String what) {
        VESKA4JException e = veska(call);
        check(e != null, what + ": no VESKA4JException");
        if (e != null) {
            equal(code, e.getCode(), what + " code");
            if (text != null) {
                equal(text, e.getMessage(), what + " text");
            }
        }
    }

    // A configuration, or a skip when the lifecycle is not in the library yet.
    private static long init(String address, String tokenFile, long timeout, long retries,
            long interval, int queueSize) {
        try {
            return ServerImpl._init(address, tokenFile, timeout, retries, interval, queueSize);
        } catch (VESKA4JException e) {
            if (e.getCode() == 22) {
                throw new Skip("QIVA_init is not implemented yet");
            }
            throw e;
        }
    }

    private static void closeQuietly(long handle) {
        try {
            ServerImpl._close(handle);
        } catch (VESKA4JException e) {
            System.out.println("close: " + e);
        }
    }

    private static byte[] ascii(String s) {
        return s.getBytes(StandardCharsets.ISO_8859_1);
    }

    private static byte[] key(String s) {
        return ascii(s + "\0");
    }

    private static byte[][] pair(byte[] k, byte[] v) {
        return new byte[][] {k, v};
    }

    // ---- Cases -------------------------------------------------------------------------

    /** The failure rows that need no configuration. */
    private static void exceptions() {
        try {
            ServerImpl.onLoad(2);
            check(false, "onLoad(2) did not throw");
        } catch (VESKA4JException e) {
            check(false, "onLoad(2) threw " + e);
        } catch (RuntimeException e) {
            equal(RuntimeException.class, e.getClass(), "onLoad(2) exception class");
            equal("JNI versions do not match (Java: 2, native: 1)", e.getMessage(),
                    "onLoad(2) text");
        }
        ServerImpl.onLoad(1);  // again, the right version: nothing raised
        // Run without a logger specification, loading the library set one.
        equal("veska", NativeHelper.getenv("QIVA_LOGGER"), "logger specification set at load");

        check(veska(() -> ServerImpl._close(0)) == null, "_close(0) throws nothing");
        check(veska(() -> ServerImpl._verifyAddress(null)) == null, "null address accepted");
        expectCode(21, "Invalid parameter(s)", () -> ServerImpl._verifyAddress("nocolon"),
                "address without colon");
        expectCode(21, "Invalid parameter(s)", () -> ServerImpl._verifyAddress(":1.2.3.4:5"),
                "address starting with colon");
        VESKA4JException good = veska(() -> Server.verifyAddress("tcp:127.0.0.1:5455"));
        check(good == null || good.getCode() == 22, "tcp address accepted: " + good);
        VESKA4JException unknown = veska(() -> ServerImpl._verifyAddress("nosuch:thing"));
        check(unknown != null && unknown.getCode() != 0, "unknown transport refused");

        // A set top bit would make the library copy raw memory as a pre-built block.
        ServerImpl impl = new ServerImpl();
        for (int type : new int[] {-1, Integer.MIN_VALUE, 0x80000014}) {
            expectCode(102, "Invalid event type", () -> impl._track(0, type, 0, 0, false, 0, 0,
                    null, null, key("tid"), null, null, null, null, null), "eventType " + type);
        }
    }

    /** What _init stores, and the failures of a live configuration. */
    private static void config() {
        long h = init(null, null, 500, 1, 50, 65536);
        try {
            equal("tcp:127.0.0.1:5455", NativeHelper.configServer(h), "default address");
            equal(1000, NativeHelper.configQueueSize(h), "queueSize 65536 gives the default");
        } finally {
            closeQuietly(h);
        }
        long n = init("null:sink", null, 0, 0, 0, 5);
        try {
            equal("null:sink", NativeHelper.configServer(n), "address copied");
            equal(5, NativeHelper.configQueueSize(n), "queue size");
            ServerImpl impl = new ServerImpl();
            expectCode(102, "Invalid event type", () -> impl._track(n, 10, 0, 0, false, 0, 0,
                    null, null, null, null, null, null, null, null), "event type 10");
            expectCode(103, null, () -> impl._track(n, 1, 5, 1000000, false, 0, 0, null, null,
                    null, null, null, null, null, null), "microseconds 1000000");
            expectCode(21, "Invalid parameter(s)", () -> ServerImpl._getToken(n),
                    "token without token file");
        } finally {
            ServerImpl._close(n);
        }
        try {
            init("nosuch:thing", null, 0, 0, 0, 0);
            check(false, "unknown transport accepted by _init");
        } catch (VESKA4JException e) {
            check(e.getCode() != 0 && e.getMessage().length() > 0, "_init failure: " + e);
        }
    }

    /** Tokens through the natives and through the facade. */
    private static void tokens() throws Exception {
        File file = new File(System.getProperty("veska.tmp"), "tokens");
        Files.write(file.toPath(), ascii(" 7\n"));
        new File(file.getPath() + ".ctr").delete();
        long h = init("null:sink", file.getPath(), 0, 0, 0, 0);
        try {
            int first = ServerImpl._getToken(h);
            int second = ServerImpl._getToken(h);
            equal(7, first >>> 24, "prefix of the first token");
            equal(7, second >>> 24, "prefix of the second token");
            equal((first + 1) & 0xffffff, second & 0xffffff, "the counter advances by one");
        } finally {
            ServerImpl._close(h);
        }
        Files.write(file.toPath(), ascii("200\n"));
        try (Server server = new Server("null:sink", file.getPath(), 0, 0, 0, 0)) {
            int token = server.token();
            check(token < 0, "prefix 200 gives a negative token: " + token);
            equal(200, token >>> 24, "facade token prefix");
        } catch (VESKA4JException e) {
            if (e.getCode() == 22) {
                throw new Skip("not implemented");
            }
            throw e;
        }
    }

    /** Translation of large, odd and faulty pair arrays into a configuration that discards. */
    private static void translation() {
        long h = init("null:sink", null, 0, 0, 0, 0);
        ServerImpl impl = new ServerImpl();
        try {
            // A list carries at most 255 items on the wire.
            byte[][][] many = new byte[255][][];
            for (int i = 0; i < many.length; i++) {
                many[i] = pair(key("k" + i), i % 3 == 0 ? null : ascii("v" + i));
            }
            VESKA4JException big = veska(() -> impl._track(h, 1, 0, 0, true, 1, 2, ascii("vl"),
                    ascii("hl"), ascii("tid"), many, many, many, many, many));
            check(big == null, "1275 pairs tracked: " + big);
            byte[][][] tooMany = Arrays.copyOf(many, 256);
            tooMany[255] = pair(key("one more"), null);
            expectCode(100, null, () -> impl._track(h, 1, 0, 0, false, 0, 0, null, null, null,
                    tooMany, null, null, null, null), "256 pairs in one list");
            byte[][][] cut = {pair(key("a"), ascii("1")), pair(null, ascii("2")),
                    pair(key("c"), null)};
            byte[][][] nullPair = {null, pair(key("x"), null)};
            check(veska(() -> impl._track(h, 1, 0, 0, false, 0, 0, null, null, null, cut,
                    nullPair, cut, cut, null)) == null, "null key and null pair accepted");
            // Without its zero byte a key would be read past its end; the list's name fault.
            byte[][][] bare = {pair(ascii("bare"), ascii("v"))};
            expectCode(170, null, () -> impl._track(h, 1, 0, 0, false, 0, 0, null, null, null,
                    bare, null, null, null, null), "vertical context key without zero");
            expectCode(140, null, () -> impl._track(h, 1, 0, 0, false, 0, 0, null, null, null,
                    null, null, null, bare, null), "horizontal stitch key without zero");
            // A pair with a missing value element: the virtual machine's exception reaches us.
            byte[][][] shortPair = {new byte[][] {key("only")}};
            try {
                impl._track(h, 1, 0, 0, false, 0, 0, null, null, null, shortPair, null, null,
                        null, null);
                check(false, "short pair accepted");
            } catch (ArrayIndexOutOfBoundsException expected) {
                // the array's own exception, not one of the library's
            }
            byte[] longLink = new byte[256];
            expectCode(110, null, () -> impl._track(h, 1, 0, 0, false, 0, 0, null, longLink,
                    null, null, null, null, null, null), "256-byte horizontal link");
        } finally {
            ServerImpl._close(h);
        }
    }

    // ---- The collector -----------------------------------------------------------------

    private static final class Collector implements AutoCloseable {
        final Process process;
        final File output;
        final String address;

        Collector(int count) throws Exception {
            String path = System.getProperty("veska.collector", "");
            if (path.isEmpty() || !new File(path).canExecute()) {
                throw new Skip("veska-collector is not built yet");
            }
            File dir = new File(System.getProperty("veska.tmp"));
            File ready = new File(dir, "collector.ready");
            output = new File(dir, "collector.out");
            ready.delete();
            output.delete();
            process = new ProcessBuilder(path, "--listen", "127.0.0.1:0", "--ready-file",
                    ready.getPath(), "--output", output.getPath(), "--count",
                    Integer.toString(count))
                    .redirectErrorStream(true)
                    .redirectOutput(new File(dir, "collector.log"))
                    .start();
            String line = null;
            long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(30);
            while (System.nanoTime() < deadline && process.isAlive()) {
                if (ready.exists()) {
                    String text = new String(Files.readAllBytes(ready.toPath()),
                            StandardCharsets.US_ASCII);
                    if (text.endsWith("\n")) {
                        line = text.trim();
                        break;
                    }
                }
                Thread.sleep(20);
            }
            if (line == null) {
                process.destroy();
                throw new IllegalStateException("collector did not become ready");
            }
            address = "tcp:" + line;
        }

        // The event records, once at least count of them are in the output (bounded).
        List<Map<String, Object>> events(int count) throws Exception {
            long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(60);
            List<Map<String, Object>> events = new ArrayList<>();
            while (System.nanoTime() < deadline) {
                events.clear();
                if (output.exists()) {
                    for (String line : Files.readAllLines(output.toPath())) {
                        if (line.trim().isEmpty() || !line.endsWith("}")) {
                            continue;
                        }
                        @SuppressWarnings("unchecked")
                        Map<String, Object> record = (Map<String, Object>) Json.parse(line);
                        check(!"protocol_error".equals(record.get("kind")),
                                "protocol error: " + line);
                        if ("event".equals(record.get("kind"))) {
                            events.add(record);
                        }
                    }
                }
                if (events.size() >= count) {
                    return events;
                }
                Thread.sleep(50);
            }
            check(false, "only " + events.size() + " of " + count + " events arrived");
            return events;
        }

        @Override
        public void close() throws Exception {
            if (process.isAlive()) {
                process.destroy();
            }
            if (!process.waitFor(10, TimeUnit.SECONDS)) {
                process.destroyForcibly();
                process.waitFor(10, TimeUnit.SECONDS);
            }
        }
    }

    // A collector value: a string of printable ASCII, or {"hex": "..."}.
    private static byte[] bytesOf(Object value) {
        if (value == null) {
            return new byte[0];
        }
        if (value instanceof String) {
            return ascii((String) value);
        }
        String hex = (String) ((Map<?, ?>) value).get("hex");
        byte[] out = new byte[hex.length() / 2];
        for (int i = 0; i < out.length; i++) {
            out[i] = (byte) Integer.parseInt(hex.substring(2 * i, 2 * i + 2), 16);
        }
        return out;
    }

    private static void equalBytes(byte[] expected, Object actual, String what) {
        byte[] got = bytesOf(actual);
        check(Arrays.equals(expected == null ? new byte[0] : expected, got),
                what + ": expected " + Arrays.toString(expected) + " but was "
                        + Arrays.toString(got));
    }

    // The pairs the collector decoded against [key, value] pairs as Java passed them: names
    // without their zero byte, null values as empty ones.
    private static void equalList(byte[][][] expected, Object actual, String what) {
        List<?> got = actual == null ? Collections.emptyList() : (List<?>) actual;
        List<?> items = got;
        if (!got.isEmpty() && "ServerAddress".equals(((Map<?, ?>) got.get(0)).get("name"))) {
            items = got.subList(1, got.size());  // the library's own item on start events
        }
        int n = expected == null ? 0 : expected.length;
        equal(n, items.size(), what + " item count");
        for (int i = 0; i < Math.min(n, items.size()); i++) {
            Map<?, ?> item = (Map<?, ?>) items.get(i);
            byte[] k = expected[i][0];
            equalBytes(Arrays.copyOf(k, k.length - 1), item.get("name"), what + " name " + i);
            equalBytes(expected[i][1], item.get("value"), what + " value " + i);
        }
    }

    private static long number(Map<String, Object> record, String field) {
        Object v = record.get(field);
        return v == null ? -1 : (Long) v;
    }

    @SuppressWarnings("unchecked")
    private static Map<String, Object> section(Map<String, Object> record, String field) {
        return (Map<String, Object>) record.get(field);
    }

    /** A whole transaction from Java to the collector, compared field by field. */
    private static void transaction() throws Exception {
        try (Collector collector = new Collector(100)) {
            byte[] tid = {'t', 'x', 0, (byte) 0xff, 42};
            byte[][][] data = {pair(key("user"), ascii("alice")), pair(key("empty"), null)};
            byte[] hlink = {1, 2, 3, (byte) 0x80};
            byte[][][] hstitches = {pair(key("url"), ascii("http://example/x")),
                    pair(key("bin"), new byte[] {0, 1, 2})};
            byte[][][] vstitches = {pair(key("parent"), ascii("p-1"))};
            byte[][][] hcontext = {pair(key("method"), ascii("GET"))};
            byte[][][] vcontext = new byte[40][][];
            for (int i = 0; i < vcontext.length; i++) {
                vcontext[i] = pair(key("c" + i), i == 7 ? null : ascii("value " + i));
            }
            byte[][][] cut = {pair(key("first"), ascii("1")), pair(null, ascii("2")),
                    pair(key("third"), ascii("3"))};
            byte[][][] cutExpected = {cut[0]};

            long h = init(collector.address, null, 5000, 5, 200, 0);
            ServerImpl impl = new ServerImpl();
            try {
                impl._track(h, Event.STARTED, 1700000000L, 250000, false, 23, 0, ascii("vl"),
                        null, tid, null, null, vstitches, null, data);
                impl._track(h, Event.OUTBOUND, 1700000001L, 999999, true, 0, 1, null, hlink,
                        tid, vcontext, hcontext, null, hstitches, null);
                impl._track(h, Event.FINISHED, 1700000002L, 0, false, 0, 200, null,
                        ascii("h"), tid, null, null, null, cut, cut);
            } finally {
                ServerImpl._close(h);  // sends what is queued
            }
            // The facade, with a time stamp of "now".
            try (Server server = new Server(collector.address)) {
                server.track(new Event(Event.COMMIT).transactionId(tid)
                        .addTransactionData("user", ascii("alice")).blocked(true));
            }

            List<Map<String, Object>> events = collector.events(4);
            if (events.size() < 4) {
                return;
            }
            Map<String, Object> started = events.get(0);
            equal(0L, number(started, "type"), "started type");
            equal("STARTED", started.get("type_name"), "started type name");
            equal(Boolean.FALSE, started.get("blocked"), "started blocked");
            equal(1700000000L, number(started, "seconds"), "started seconds");
            equal(250000L, number(started, "microseconds"), "started microseconds");
            equalBytes(tid, section(started, "instance").get("transaction_id"), "tid");
            equalList(data, section(started, "instance").get("transaction_data"), "tdata");
            Map<String, Object> vertical = section(started, "vertical");
            equal(23L, number(vertical, "caller_type"), "vertical caller");
            equalBytes(ascii("vl"), vertical.get("link_id"), "vertical link");
            equalList(vstitches, vertical.get("stitch_ids"), "vertical stitches");
            check(started.get("horizontal_context") == null, "no horizontal context");

            Map<String, Object> outbound = events.get(1);
            equal(3L, number(outbound, "type"), "outbound type");
            equal(Boolean.TRUE, outbound.get("blocked"), "outbound blocked");
            equal(1700000001L, number(outbound, "seconds"), "outbound seconds");
            equal(999999L, number(outbound, "microseconds"), "outbound microseconds");
            Map<String, Object> horizontal = section(outbound, "horizontal");
            equal(1L, number(horizontal, "caller_type"), "horizontal caller");
            equalBytes(hlink, horizontal.get("link_id"), "horizontal link");
            equalList(hstitches, horizontal.get("stitch_ids"), "horizontal stitches");
            equalList(hcontext, outbound.get("horizontal_context"), "horizontal context");
            equalList(vcontext, outbound.get("vertical_context"), "vertical context");

            Map<String, Object> finished = events.get(2);
            equal(4L, number(finished, "type"), "finished type");
            equal(200L, number(section(finished, "horizontal"), "caller_type"), "user caller");
            // A null key ends its list; the next list keeps its own pairs.
            equalList(cutExpected, section(finished, "horizontal").get("stitch_ids"),
                    "stitches cut at the null key");
            equalList(cutExpected, section(finished, "instance").get("transaction_data"),
                    "data cut at the null key");

            Map<String, Object> commit = events.get(3);
            equal(8L, number(commit, "type"), "commit type");
            equal(Boolean.TRUE, commit.get("blocked"), "commit blocked");
            check(number(commit, "seconds") > 1700000000L, "commit stamped now");
            equalList(new byte[][][] {pair(key("user"), ascii("alice"))},
                    section(commit, "instance").get("transaction_data"), "facade data");
        }
    }

    // ---- The logging bridge ------------------------------------------------------------

    private static final class Capture extends Handler {
        final List<LogRecord> records = Collections.synchronizedList(new ArrayList<>());
        volatile boolean explode;

        @Override
        public void publish(LogRecord record) {
            records.add(record);
            if (explode) {
                throw new IllegalArgumentException("handler failure");
            }
        }

        @Override
        public void flush() {}

        @Override
        public void close() {}

        LogRecord find(Level level, String message) {
            synchronized (records) {
                for (LogRecord r : records) {
                    if (r.getLevel().equals(level) && r.getMessage().equals(message)) {
                        return r;
                    }
                }
            }
            return null;
        }

        int indexOf(Level level, String message, String method) {
            synchronized (records) {
                for (int i = 0; i < records.size(); i++) {
                    LogRecord r = records.get(i);
                    if (r.getLevel().equals(level) && r.getMessage().startsWith(message)
                            && (method == null || method.equals(r.getSourceMethodName()))) {
                        return i;
                    }
                }
            }
            return -1;
        }
    }

    private static Capture capture() {
        Logger logger = Logger.getLogger("veska4j");
        logger.setLevel(Level.ALL);
        logger.setUseParentHandlers(false);
        Capture c = new Capture();
        c.setLevel(Level.ALL);
        logger.addHandler(c);
        return c;
    }

    @SuppressWarnings("deprecation")
    private static int threadOf(LogRecord r) {
        return r.getThreadID();
    }

    @SuppressWarnings("deprecation")
    private static int currentThread() {
        return (int) Thread.currentThread().getId();
    }

    /** The module's operations called directly, from each kind of thread. */
    private static void bridge() {
        Capture c = capture();
        NativeHelper.log(NativeHelper.LOG_ERROR, "QIVAD00I ", "an error");
        check(c.find(Level.SEVERE, "QIVAD00I an error") != null, "error as severe, prefix first");
        NativeHelper.log(NativeHelper.LOG_DETAIL, "QIVAD63I ", "a detail");
        check(c.find(Level.FINE, "QIVAD63I a detail") != null, "detail as fine");
        NativeHelper.log(NativeHelper.LOG_DETAIL, null, "no prefix");
        check(c.find(Level.FINE, "no prefix") != null, "line without prefix");

        char[] xs = new char[2000];
        Arrays.fill(xs, 'x');
        NativeHelper.log(NativeHelper.LOG_DETAIL, "QIVAD00I ", new String(xs));
        String cutLine = "QIVAD00I " + new String(xs, 0, 1023 - 9);
        check(c.find(Level.FINE, cutLine) != null, "prefix and message cut to 1023");
        // A cut through a two-byte character leaves no broken sequence behind.
        char[] es = new char[600];
        Arrays.fill(es, '\u00e9');
        NativeHelper.log(NativeHelper.LOG_DETAIL, "QIVAD00I ", "a" + new String(es));
        check(c.find(Level.FINE, "QIVAD00I a" + new String(es, 0, 506) + "?") != null,
                "cut character replaced");

        NativeHelper.functionEvent(NativeHelper.EVENT_ENTER, "ServerImpl.track", "server.cpp");
        LogRecord entry = c.find(Level.FINER, "ENTRY");
        check(entry != null && "server.cpp".equals(entry.getSourceClassName())
                && "ServerImpl.track".equals(entry.getSourceMethodName()), "entering record");
        NativeHelper.functionEvent(NativeHelper.EVENT_EXIT, "ServerImpl.track", "server.cpp");
        LogRecord exit = c.find(Level.FINER, "RETURN");
        check(exit != null && exit.getParameters() == null
                && "ServerImpl.track".equals(exit.getSourceMethodName()),
                "exiting record without the result");
        int before = c.records.size();
        NativeHelper.functionEvent(1, "ServerImpl.track", "server.cpp");
        equal(before, c.records.size(), "init event gives no record");

        check(NativeHelper.logFromNewThread(NativeHelper.LOG_ERROR, "QIVAD00I ", "native"),
                "a thread the bridge attached is detached again");
        LogRecord fromNative = c.find(Level.SEVERE, "QIVAD00I native");
        check(fromNative != null && threadOf(fromNative) != currentThread(),
                "record from a native thread");
        check(NativeHelper.logFromSelfAttachedThread(NativeHelper.LOG_DETAIL, null, "self"),
                "a thread that attached itself stays attached");
        check(c.find(Level.FINE, "self") != null, "record from a self-attached thread");

        // A pending exception survives the log calls made after it.
        try {
            NativeHelper.throwThenLog("original");
            check(false, "exception lost");
        } catch (IllegalStateException e) {
            equal("original", e.getMessage(), "pending exception kept");
        }
        check(c.find(Level.SEVERE, "QIVAD00I logged while an exception is pending") != null,
                "line logged while an exception was pending");

        // An exception raised inside the logging framework is dropped with its line.
        c.explode = true;
        try {
            NativeHelper.log(NativeHelper.LOG_ERROR, null, "explode");
            check(NativeHelper.logFromNewThread(NativeHelper.LOG_ERROR, null, "explode 2"),
                    "native thread with failing handler");
            try {
                NativeHelper.throwThenLog("kept");
                check(false, "exception lost with a failing handler");
            } catch (IllegalStateException e) {
                equal("kept", e.getMessage(), "caller's exception wins over the handler's");
            }
        } catch (IllegalArgumentException e) {
            check(false, "the handler's exception reached the caller");
        } finally {
            c.explode = false;
        }
    }

    /** The front end with QIVA_LOGGER selecting the bridge: a failing native's records. */
    private static void bridgeFrontEnd() {
        Capture c = capture();
        equal("veska:veska4j", NativeHelper.getenv("QIVA_LOGGER"), "specification kept");
        expectCode(21, "Invalid parameter(s)", () -> ServerImpl._verifyAddress("nocolon"),
                "address without colon, logged through the bridge");
        int enter = c.indexOf(Level.FINER, "ENTRY", "ServerImpl._verifyAddress");
        int error = c.indexOf(Level.SEVERE, "QIVAD66E Transport address malformed: expected"
                + " format 'transport:address', found 'nocolon'", null);
        int throwExit = c.indexOf(Level.FINER, "RETURN", "VESKA4J_throw");
        int exit = c.indexOf(Level.FINER, "RETURN", "ServerImpl._verifyAddress");
        check(enter >= 0 && error > enter && throwExit > error && exit > throwExit,
                "entry, message 66, the throw and the exit in order: " + enter + " " + error
                        + " " + throwExit + " " + exit);
        if (exit >= 0) {
            check(c.records.get(exit).getParameters() == null, "exit without result");
        }
    }

    /** Records written by a dispatcher thread, which the bridge attaches per call. */
    private static void dispatcherLogging() throws Exception {
        Capture c = capture();
        int port;
        try (ServerSocket socket = new ServerSocket(0)) {
            port = socket.getLocalPort();  // closed again: connections are refused
        }
        long h = init("tcp:127.0.0.1:" + port, null, 500, 1, 50, 0);
        int main = currentThread();
        // Java threads log through the bridge while the dispatcher does.
        ServerImpl impl = new ServerImpl();
        List<Throwable> errors = Collections.synchronizedList(new ArrayList<>());
        List<Thread> threads = new ArrayList<>();
        for (int t = 0; t < 4; t++) {
            Thread thread = new Thread(() -> {
                try {
                    for (int i = 0; i < 100; i++) {
                        impl._track(h, Event.HERE, 0, 0, false, 0, 0, null, null, key("t"),
                                new byte[][][] {pair(key("i"), ascii("v"))}, null, null, null,
                                null);
                    }
                } catch (Throwable e) {
                    errors.add(e);
                }
            });
            thread.start();
            threads.add(thread);
        }
        for (Thread thread : threads) {
            thread.join(60000);
            check(!thread.isAlive(), "tracking thread finished");
        }
        check(errors.isEmpty(), "tracking from four threads: " + errors);
        long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(30);
        boolean seen = false;
        while (!seen && System.nanoTime() < deadline) {
            synchronized (c.records) {
                for (LogRecord r : c.records) {
                    seen |= threadOf(r) != main;
                }
            }
            Thread.sleep(20);
        }
        closeQuietly(h);
        check(seen, "a record from the dispatcher thread");
        System.out.println(c.records.size() + " records");
    }
}
