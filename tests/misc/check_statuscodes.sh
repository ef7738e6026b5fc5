#!/bin/sh
# The status-code table, the public header and the sources agree:
#  - every row of misc/statuscodes.def has its ZMR_E_ define in zmr.h with
#    the same number, and zmr.h defines no ZMR_E_ that is not a row;
#  - no number or name is used by two rows;
#  - no source under src returns or compares a code as a bare number.
# Usage: check_statuscodes.sh <source root>
set -e
root="$1"
def="$root/src/misc/statuscodes.def"
header="$root/include/zmr/zmr.h"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

sed -n 's/^ZMR_STATUS(\([A-Za-z0-9]*\), \([A-Z0-9_]*\), \([0-9]*\), ".*")$/ZMR_E_\2 \3/p' "$def" | sort >"$tmp/table"
if [ ! -s "$tmp/table" ]; then echo "no rows read from $def"; exit 1; fi
if [ "$(grep -c '^ZMR_STATUS(' "$def")" != "$(wc -l <"$tmp/table")" ]; then
  echo "a row of $def is not of the form ZMR_STATUS(Name, PUBLIC, number, \"meaning\"):"
  grep '^ZMR_STATUS(' "$def" | grep -v '^ZMR_STATUS([A-Za-z0-9]*, [A-Z0-9_]*, [0-9]*, ".*")$'
  exit 1
fi
dups=$( { cut -d' ' -f1 "$tmp/table" | uniq -d; cut -d' ' -f2 "$tmp/table" | sort | uniq -d; } )
if [ -n "$dups" ]; then echo "used by two rows:"; echo "$dups"; exit 1; fi

sed -n 's/^#define \(ZMR_E_[A-Z0-9_]*\) *\([0-9]*\).*/\1 \2/p' "$header" | sort >"$tmp/header"
if ! cmp -s "$tmp/table" "$tmp/header"; then
  echo "table (<) and zmr.h (>) differ:"; diff "$tmp/table" "$tmp/header" | grep '^[<>]'; exit 1
fi

# Bare codes in status positions: return N; rc = N; == N; != N; case N:;
# ? N :; a failure helper's code argument.
cut -d' ' -f2 "$tmp/table" >"$tmp/codes"
grep -rnE --include='*.cpp' --include='*.h' \
  -e '(return|=|==|!=|case|\?|:) *[0-9]{4,5} *[;:,)]' -e '[a-z]*fail[a-z]*\([^;]*[(, ][0-9]{4,5}[,)]' "$root/src" |
  sed 's/"\([^"\\]\|\\.\)*"/""/g; s|//.*||' >"$tmp/sites" || true
bare=$(awk -v codes="$tmp/codes" '
  BEGIN { while ((getline c <codes) > 0) code[c] = 1 }
  { line = $0; sub(/^[^:]*:[0-9]*:/, "", line)
    while (match(line, /[0-9]+/)) {
      n = substr(line, RSTART, RLENGTH); before = substr(line, RSTART - 1, 1)
      if (length(n) >= 4 && (n in code) && before !~ /[A-Za-z_.]/) { print $0; break }
      line = substr(line, RSTART + RLENGTH) } }' "$tmp/sites")
if [ -n "$bare" ]; then echo "bare status numbers (use the k names of misc/status.h):"; echo "$bare"; exit 1; fi
echo "status codes ok: $(wc -l <"$tmp/table") codes"
