package veska4j;

/**
 * Raised when the native library refuses an operation. It carries the library's numeric
 * result code (for example 21 for an invalid argument or 102 for an invalid event type) and
 * the library's text for that code.
 */
public class VESKA4JException extends RuntimeException {
    private static final long serialVersionUID = 1L;

    /** The library's result code. */
    private final int code;

    /**
     * Creates the exception; the native library calls this constructor.
     *
     * @param code the library's result code
     * @param message the library's text for the code
     */
    public VESKA4JException(int code, String message) {
        super(message);
        this.code = code;
    }

    /**
     * Returns the library's result code.
     *
     * @return the result code, never 0
     */
    public int getCode() {
        return code;
    }

    @Override
    public String toString() {
        return getClass().getName() + ": " + code + " " + getMessage();
    }
}
