#!/usr/bin/env bash
# The installed tree works on its own: kyt-host finds the plug-in, and the plug-in its
# catalogues, relative to where they were installed.
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" > /dev/null
"$prefix/bin/kyt-host" modules | grep -q '^CSCK {3CFF0FD9-E306-41DB-9B5A-9D06D38576C3} Client Socket$'
echo '{"instances": [{"id": 11, "module": "Console"}]}' > "$prefix/config.json"
out=$(LANGUAGE=de LC_ALL=C.UTF-8 "$prefix/bin/kyt-host" run "$prefix/config.json" --for 0 < /dev/null)
grep -q 'Console: Erstelle\.\.\.' <<< "$out" || { echo "no German text in: $out"; exit 1; }
echo "installed tree OK"
