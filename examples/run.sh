#!/usr/bin/env bash
# Builds the library and runs the example merchant programs: the small one
# on files generated for it (a development-environment key file, trust
# store and properties file), then the main road of an authentication and
# a signing against the test support's stand-ins and simulated client.
set -euo pipefail
cd "$(dirname "$0")/.."
bash .ci/deps.sh
build=build/demo
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release > /dev/null
cmake --build "$build" --target merchant demo_files mainroad mainroad_peers
files="$build/demo-files"
rm -rf "$files"; mkdir -p "$files"
password=$("$build/examples/demo_files" "$files")
"$build/examples/merchant" "$files/merchant.p12" "$password" "$files/merchant.properties"
echo
"$build/examples/mainroad" "$build/examples/mainroad_peers"
