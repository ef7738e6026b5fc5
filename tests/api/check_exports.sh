#!/bin/sh
# The shared library must export nothing but the zmr_ interface (and the few
# host-visible functions listed in allowed_exports.txt).
set -e
lib="$1"
allowed="$(dirname "$0")/allowed_exports.txt"
bad=$(nm -D --defined-only "$lib" | awk '{print $3}' | sed 's/@.*//' | grep -v '^zmr_' | grep -v '^ZMR_5$' | grep -vxF -f "$allowed" || true)
if [ -n "$bad" ]; then
  echo "unexpected exports:"; echo "$bad"; exit 1
fi
readelf -d "$lib" | grep -q 'SONAME.*libzmr.so.5' || { echo "SONAME is not libzmr.so.5"; exit 1; }
echo "exports ok"
