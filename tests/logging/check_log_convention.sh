#!/usr/bin/env bash
# Usage: check_log_convention.sh [--expect-violations] FILE_OR_DIR...
# Every function that opens with VE_LOG_ENTER (or VE_LOG_ENTER_MASKED) must leave only through
# VE_RETURN, VE_RETURN_VOID or VE_RETURN_VALUE, so that its exit event is never missed. This
# scans .cpp files for a bare `return` inside such a function and lists each one as
# file:line: function. Files without VE_LOG_ENTER are skipped. Comments, string and character
# literals and preprocessor lines are ignored; a function body is a brace block opened outside
# any other block except namespace and extern "C" blocks.
# With --expect-violations the result is inverted (used to test the checker itself).
set -u
expect=0
if [ "${1:-}" = "--expect-violations" ]; then
  expect=1
  shift
fi
files=()
for arg in "$@"; do
  if [ -d "$arg" ]; then
    while IFS= read -r f; do files+=("$f"); done < <(find "$arg" -name '*.cpp' | sort)
  else
    files+=("$arg")
  fi
done
found=0
for f in "${files[@]}"; do
  grep -q 'VE_LOG_ENTER' "$f" || continue
  out=$(awk -v file="$f" '
    function flush_function() {
      if (entered && nbad > 0)
        for (i = 1; i <= nbad; i++) print file ":" bad[i] ": bare return in " fname
      entered = 0; nbad = 0; fname = ""
    }
    BEGIN { depth = 0; in_comment = 0; continued = 0; entered = 0; nbad = 0; body = 0 }
    {
      line = $0
      # Preprocessor lines and their continuations.
      if (continued || (!in_comment && line ~ /^[ \t]*#/)) {
        continued = (line ~ /\\$/)
        next
      }
      # Strip comments and literals, keeping what lies between them.
      out = ""
      n = length(line)
      i = 1
      while (i <= n) {
        c = substr(line, i, 1)
        two = substr(line, i, 2)
        if (in_comment) {
          if (two == "*/") { in_comment = 0; i += 2 } else i++
          continue
        }
        if (two == "/*") { in_comment = 1; i += 2; continue }
        if (two == "//") break
        if (c == "\"" || c == "\047") {
          q = c; i++
          while (i <= n) {
            d = substr(line, i, 1)
            if (d == "\\") { i += 2; continue }
            i++
            if (d == q) break
          }
          out = out " "
          continue
        }
        out = out c
        i++
      }
      # Walk the braces; remember the text since the last statement end to classify a block.
      m = length(out)
      for (j = 1; j <= m; j++) {
        c = substr(out, j, 1)
        if (c == "{") {
          if (body == 0 && head ~ /(namespace|extern[ \t]*$|extern[ \t]+)[^;{}]*$/ && head !~ /\(/) {
            kind[depth] = "ns"
          } else if (body == 0) {
            kind[depth] = "fn"; body = 1
            fname = head
            sub(/\(.*/, "", fname); gsub(/.*[ \t*&:]/, "", fname)
            if (fname == "") fname = "?"
            start_depth = depth
          } else {
            kind[depth] = "blk"
          }
          depth++
          head = ""
        } else if (c == "}") {
          depth--
          if (depth < 0) depth = 0
          if (body && depth == start_depth) { body = 0; flush_function() }
          head = ""
        } else if (c == ";") {
          head = ""
        } else {
          head = head c
        }
      }
      if (body) {
        if (out ~ /VE_LOG_ENTER/) entered = 1
        tmp = out
        while (match(tmp, /(^|[^A-Za-z0-9_])return([^A-Za-z0-9_]|$)/)) {
          bad[++nbad] = NR
          tmp = substr(tmp, RSTART + RLENGTH)
        }
      }
      head = head " "
    }
  ' "$f")
  if [ -n "$out" ]; then
    echo "$out"
    found=1
  fi
done
if [ $expect -eq 1 ]; then
  [ $found -eq 1 ] && exit 0
  echo "expected violations, found none"
  exit 1
fi
[ $found -eq 0 ] && echo "logging convention kept (${#files[@]} file(s) scanned)"
exit $found
