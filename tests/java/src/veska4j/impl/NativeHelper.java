package veska4j.impl;

/** Test natives (libveska4jtest.so) that drive the logging bridge and read configurations. */
final class NativeHelper {
    static {
        // The library itself first, so that its JNI_OnLoad has registered the virtual machine.
        new ServerImpl();
        System.loadLibrary("veska4jtest");
    }

    private NativeHelper() {}

    static final int LOG_DETAIL = 1;
    static final int LOG_ERROR = 2;
    static final int EVENT_ENTER = 2;
    static final int EVENT_EXIT = 4;

    static native void log(int level, String prefix, String message);

    static native boolean logFromNewThread(int level, String prefix, String message);

    static native boolean logFromSelfAttachedThread(int level, String prefix, String message);

    static native void functionEvent(int event, String function, String file);

    static native void throwThenLog(String message);

    static native int configQueueSize(long handle);

    static native String configServer(long handle);

    /** The process environment as the library sees it (System.getenv is a snapshot). */
    static native String getenv(String name);
}
