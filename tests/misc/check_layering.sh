#!/bin/sh
# Every #include "..." under src points to a file of the same group or of a
# lower floor in the list below (src/README.md says why the floors lie so).
# Two groups on the same floor (net, hsm) include neither each other.
# Usage: check_layering.sh <src dir>     check the tree
#        check_layering.sh --selftest <src dir>
#                                        plant upward includes in a copy of
#                                        the tree and expect each to be caught
set -e
floors() {
  # floor group path-prefix (the first matching line wins)
  cat <<'LIST'
0 misc misc/
1 store store/sessionstore.
1 store store/threadstore.
1 store store/setup.
2 tools tools/
3 loaders store/loaders/
4 net net/
4 hsm hsm/
5 services services/
6 seid signedobjects/xmlreading.h
6 seid signedobjects/seid/
7 sdolist signedobjects/sdolist/
8 api api/
LIST
}

check() {
  dir="$1"
  floors | sed 's/ *#.*//' >"$tmp/floors"
  (cd "$dir" && grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]+"[a-z]+/' --include='*.h' --include='*.cpp' .) |
    sed -E 's|^\./||; s|^([^:]*):([0-9]*):[^"]*"([^"]*)".*|\1 \2 \3|' >"$tmp/includes"
  awk -v floors="$tmp/floors" '
    BEGIN { while ((getline l < floors) > 0) { n++; split(l, f, " "); rank[n] = f[1]; group[n] = f[2]; prefix[n] = f[3] } }
    function place(p,   i) { for (i = 1; i <= n; i++) if (index(p, prefix[i]) == 1) return i; return 0 }
    { a = place($1); b = place($3)
      if (a == 0) { print $1 ": a file of no floor"; bad = 1; next }
      if (b == 0) next  # a system or generated header
      if (group[a] != group[b] && rank[b] >= rank[a]) {
        printf "%s:%s includes %s: floor %s (%s) may include only lower floors, not %s (%s)\n", $1, $2, $3, rank[a], group[a], rank[b], group[b]
        bad = 1 } }
    END { exit bad }' "$tmp/includes"
}

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
if [ "$1" = "--selftest" ]; then
  tree="$2"
  check "$tree" >/dev/null || { echo "the tree itself fails"; exit 1; }
  # Each plant: a file, and the include that reaches up (or sideways) from it.
  for plant in "misc/status.h api/frame.h" "store/threadstore.h tools/base64.h" "tools/base64.h net/http_lib.h" \
               "net/http_lib.h hsm/hsmclient.h" "hsm/hsmclient.h net/http_lib.h" "services/entry.h signedobjects/seid/seidsdo.h" \
               "signedobjects/seid/seidsdo.h signedobjects/sdolist/sdolist.h" \
               "store/sessionstore.h store/loaders/keyfile.h" "misc/ossl.h store/setup.h"; do
    set -- $plant
    [ -f "$tree/$1" ] || continue
    rm -rf "$tmp/copy"; cp -r "$tree" "$tmp/copy"
    printf '#include "%s"\n' "$2" >>"$tmp/copy/$1"
    if check "$tmp/copy" >/dev/null; then echo "not caught: $1 including $2"; exit 1; fi
  done
  echo "layering selftest ok"; exit 0
fi
check "$1" || { echo "an include runs against the floors"; exit 1; }
echo "layering ok"
