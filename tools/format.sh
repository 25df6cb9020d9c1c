#!/bin/sh
# Formats the tree's C++ files with clang-format and the style in .clang-format.
#
#   tools/format.sh                   format every C++ file git knows of
#   tools/format.sh --check           change nothing: list the files that are
#                                     not formatted and fail when there are any
#   tools/format.sh [--check] FILE... only these files
#
# CLANG_FORMAT names another clang-format (the style is written for version 14).
set -eu
cd "$(dirname "$0")/.."
check=false
if [ "${1:-}" = "--check" ]; then
  check=true
  shift
fi
format=${CLANG_FORMAT:-clang-format}
if ! command -v "$format" >/dev/null; then
  echo "format: $format not found (tools/deps.sh installs clang-format)" >&2
  exit 2
fi
if [ $# -eq 0 ]; then
  # shellcheck disable=SC2046
  set -- $(git ls-files '*.cpp' '*.h')
fi

unformatted=0
for file in "$@"; do
  if $check; then
    if ! "$format" --style=file "$file" | cmp -s - "$file"; then
      echo "$file"
      unformatted=$((unformatted + 1))
    fi
  else
    "$format" --style=file -i "$file"
  fi
done
if [ "$unformatted" -gt 0 ]; then
  echo "format: $unformatted file(s) not formatted; tools/format.sh formats them" >&2
  exit 1
fi
