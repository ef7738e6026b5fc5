#!/bin/sh
# Layers include only what lies below them: the foundation (store, tools,
# net, hsm, misc) never a service, a signed-object module or the exported
# layer; services and signed objects never the exported layer.
set -e
src="$1"
bad=$(cd "$src" && {
  grep -rnE '#include +"(services|signedobjects|api)/' store tools net hsm misc 2>/dev/null || true
  grep -rnE '#include +"api/' services signedobjects 2>/dev/null || true
})
if [ -n "$bad" ]; then
  echo "an include reaches up a layer:"; echo "$bad"; exit 1
fi
echo "layering ok"
