#!/usr/bin/env bash
# Usage: check_exports.sh LIBRARY LIST_DIR
# Every name listed in LIST_DIR/*.txt (one per line, '#' comments) must be a defined dynamic
# symbol of LIBRARY, and the library must export no C++-mangled symbol.
set -u
lib=$1
dir=$2
symbols=$(nm -D --defined-only "$lib" | awk '{print $NF}' | sed 's/@.*//' | sort -u)
status=0
missing=0
for list in "$dir"/*.txt; do
  # A list for an optional part names one of its symbols; without it the part is not built.
  guard=$(sed -n 's/^# only-if-exported: *//p' "$list" | head -n 1)
  if [ -n "$guard" ] && ! grep -qx -- "$guard" <<<"$symbols"; then
    echo "skipping $(basename "$list"): $guard is not exported (optional part not built)"
    continue
  fi
  while read -r name _; do
    case "$name" in ''|'#'*) continue ;; esac
    if ! grep -qx -- "$name" <<<"$symbols"; then
      echo "missing export: $name (listed in $(basename "$list"))"
      missing=$((missing + 1))
      status=1
    fi
  done <"$list"
done
mangled=$(grep '^_Z' <<<"$symbols" || true)
if [ -n "$mangled" ]; then
  echo "C++-mangled symbols exported by accident:"
  echo "$mangled" | head -n 40
  status=1
fi
[ $status -eq 0 ] && echo "all listed exports present, none mangled"
exit $status
