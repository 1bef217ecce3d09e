package veska4j.impl;

import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;

/** A small JSON reader for the collector's records: objects, arrays, strings, numbers. */
final class Json {
    private final String text;
    private int at;

    private Json(String text) {
        this.text = text;
    }

    static Object parse(String text) {
        Json j = new Json(text);
        Object value = j.value();
        j.space();
        if (j.at != text.length()) {
            throw new IllegalArgumentException("trailing text at " + j.at + ": " + text);
        }
        return value;
    }

    private void space() {
        while (at < text.length() && Character.isWhitespace(text.charAt(at))) {
            at++;
        }
    }

    private char next() {
        space();
        if (at >= text.length()) {
            throw new IllegalArgumentException("unexpected end: " + text);
        }
        return text.charAt(at);
    }

    private void expect(char c) {
        if (next() != c) {
            throw new IllegalArgumentException("expected " + c + " at " + at + ": " + text);
        }
        at++;
    }

    private Object value() {
        char c = next();
        if (c == '{') {
            Map<String, Object> map = new LinkedHashMap<>();
            at++;
            if (next() == '}') {
                at++;
                return map;
            }
            while (true) {
                String key = string();
                expect(':');
                map.put(key, value());
                if (next() == ',') {
                    at++;
                    continue;
                }
                expect('}');
                return map;
            }
        }
        if (c == '[') {
            List<Object> list = new ArrayList<>();
            at++;
            if (next() == ']') {
                at++;
                return list;
            }
            while (true) {
                list.add(value());
                if (next() == ',') {
                    at++;
                    continue;
                }
                expect(']');
                return list;
            }
        }
        if (c == '"') {
            return string();
        }
        int start = at;
        while (at < text.length() && "{}[],: \t\r\n".indexOf(text.charAt(at)) < 0) {
            at++;
        }
        String word = text.substring(start, at);
        switch (word) {
            case "true":
                return Boolean.TRUE;
            case "false":
                return Boolean.FALSE;
            case "null":
                return null;
            default:
                return Long.parseLong(word);
        }
    }

    private String string() {
        expect('"');
        StringBuilder sb = new StringBuilder();
        while (true) {
            char c = text.charAt(at++);
            if (c == '"') {
                return sb.toString();
            }
            if (c != '\\') {
                sb.append(c);
                continue;
            }
            char e = text.charAt(at++);
            switch (e) {
                case 'n': sb.append('\n'); break;
                case 't': sb.append('\t'); break;
                case 'r': sb.append('\r'); break;
                case 'b': sb.append('\b'); break;
                case 'f': sb.append('\f'); break;
                case 'u':
                    sb.append((char) Integer.parseInt(text.substring(at, at + 4), 16));
                    at += 4;
                    break;
                default: sb.append(e);
            }
        }
    }
}
