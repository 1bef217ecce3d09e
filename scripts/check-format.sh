#!/usr/bin/env bash
# Checks that the C and C++ files changed against a base revision are formatted as .clang-format
# says. Exit 0 when they are, 1 when one is not (its differences are printed), 2 on a usage error.
#
#   scripts/check-format.sh [--lines] [--fix] [--all | BASE]
#
# --all checks every tracked C and C++ file (what the test run does). BASE defaults to origin/main, or main when there is no origin. Changed files are those that
# differ from the merge base of BASE and the working tree (committed, staged or not). --lines
# checks only the changed lines (for files not yet formatted as a whole); --fix rewrites the
# files (or lines) instead of reporting them.
set -euo pipefail

lines=0
fix=0
all=0
base=""
for arg in "$@"; do
  case "$arg" in
    --lines) lines=1 ;;
    --fix) fix=1 ;;
    --all) all=1 ;;
    -h | --help) sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "check-format: unknown option $arg" >&2; exit 2 ;;
    *) base="$arg" ;;
  esac
done

cd "$(git rev-parse --show-toplevel)"
clang_format=$(command -v clang-format-14 || command -v clang-format) ||
  { echo "check-format: clang-format is not installed" >&2; exit 2; }
if [[ $all -eq 1 ]]; then
  lines=0
  base="every tracked file"
  mapfile -t files < <(git ls-files '*.c' '*.h' '*.cpp' '*.cc' '*.hpp')
else
  if [[ -z "$base" ]]; then
    if git rev-parse --verify --quiet origin/main >/dev/null; then base=origin/main; else base=main; fi
  fi
  merge_base=$(git merge-base "$base" HEAD) || { echo "check-format: no base $base" >&2; exit 2; }
  mapfile -t files < <(git diff --name-only --diff-filter=ACMR "$merge_base" -- \
    '*.c' '*.h' '*.cpp' '*.cc' '*.hpp')
fi
if [[ ${#files[@]} -eq 0 ]]; then
  echo "check-format: no C or C++ file changed against $base"
  exit 0
fi

if [[ $lines -eq 1 ]]; then
  # git clang-format formats only the lines that differ from the merge base.
  if [[ $fix -eq 1 ]]; then
    git clang-format --binary "$clang_format" --force "$merge_base" -- "${files[@]}"
    exit 0
  fi
  out=$(git clang-format --binary "$clang_format" --diff "$merge_base" -- "${files[@]}" || true)
  if [[ -z "$out" || "$out" == *"no modified files to format"* ||
        "$out" == *"clang-format did not modify any files"* ]]; then
    echo "check-format: changed lines of ${#files[@]} files are formatted"
    exit 0
  fi
  printf '%s\n' "$out"
  exit 1
fi

status=0
for file in "${files[@]}"; do
  if [[ $fix -eq 1 ]]; then
    "$clang_format" -i "$file"
  elif ! "$clang_format" "$file" | diff -u --label "$file" --label "$file (formatted)" "$file" -; then
    status=1
  fi
done
[[ $status -eq 0 ]] && echo "check-format: ${#files[@]} files are formatted"
exit $status
