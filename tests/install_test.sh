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
# The service files: the unit names the installed kyt-host, and systemd takes the unit and the
# user entry as they are.
unit="$prefix/lib/systemd/system/kyt-host@.service"
grep -qx "ExecStart=$prefix/bin/kyt-host --settings \${STATE_DIRECTORY}/settings.json run \${CONFIGURATION_DIRECTORY}/%i.json" "$unit"
grep -qx 'ExecReload=/bin/kill -HUP $MAINPID' "$unit"
test -f "$prefix/lib/udev/rules.d/70-kyt-host.rules"
if command -v systemd-analyze > /dev/null; then
  mkdir "$prefix/units" && cp "$unit" "$prefix/units/" && ln -s kyt-host@.service "$prefix/units/kyt-host@demo.service"
  systemd-analyze verify "$prefix/units/kyt-host@demo.service"
  # The sandbox: at most 3.0 of systemd's exposure scale (10 is none at all).
  score=$(systemd-analyze security --offline=yes "$prefix/units/kyt-host@demo.service" 2>&1 |
    sed -n 's/.*Overall exposure level for .*: \([0-9.]*\) .*/\1/p')
  awk -v s="$score" 'BEGIN { exit !(s != "" && s <= 3.0) }' ||
    { echo "systemd-analyze security rates the unit ${score:-(no score)}, above 3.0"; exit 1; }
fi
if command -v systemd-sysusers > /dev/null; then
  systemd-sysusers --dry-run "$prefix/lib/sysusers.d/kyt-host.conf" > /dev/null 2>&1
fi
# doctor finds the installed plug-in's catalogues.
LANGUAGE=de LC_ALL=C.UTF-8 "$prefix/bin/kyt-host" doctor | grep -q '^pass  message catalogues: de: ' \
  || { echo "doctor did not find the German catalogue"; exit 1; }
echo "service files OK"
# Our D2XX library, where it is built, is found beside the installed plug-in.
if [ -f "$build/libkyt_ftd2xx.so" ]; then
  env -u KYT_FTD2XX_LIBRARY "$prefix/bin/kyt-host" doctor |
    grep -q "^pass  FTDI library: .*ours, libkyt_ftd2xx.so .*$prefix/.*/vidiridaz/libkyt_ftd2xx.so)" ||
    { echo "doctor did not find the installed libkyt_ftd2xx.so"; exit 1; }
  echo "D2XX library OK"
fi
