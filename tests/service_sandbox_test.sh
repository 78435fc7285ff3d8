#!/usr/bin/env bash
# The shipped TCP relay runs in what kyt-host@.service imposes, as far as this machine can impose
# it without systemd as PID 1 (systemd-run needs one): a private mount namespace with the file
# system read-only but the state folder (ProtectSystem=strict), /tmp and /home private, an
# unprivileged user without capabilities or new privileges, umask 0077 and LimitNOFILE. A client
# of the relay reaches an echoing far side and back, and the settings file is written 0600.
# The system call filter, the address families and the device policy are rated by
# systemd-analyze in install_test.sh, not exercised here. Exit 77 (skipped) without root.
set -euo pipefail
build=$1
source=$2
if [ "$(id -u)" != 0 ] || ! unshare -m true 2> /dev/null || ! command -v setpriv > /dev/null; then
  echo "needs root, unshare and setpriv"
  exit 77
fi
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
conf=$(mktemp -d /var/tmp/kyt-sandbox-conf.XXXXXX)
state=$(mktemp -d /var/tmp/kyt-sandbox-state.XXXXXX)
peer_pid=
trap '[ -n "$peer_pid" ] && kill "$peer_pid" 2> /dev/null; rm -rf "$conf" "$state"' EXIT
chmod 755 "$conf"
chown 65534:65534 "$state"
chmod 700 "$state"
relay=$(free_port)
far=$(free_port)
sed -e "s/47020/$relay/" -e "s/47021/$far/" "$source/examples/tcp-relay.json" > "$conf/relay.json"
chmod 644 "$conf/relay.json"

socat "TCP-LISTEN:$far,bind=127.0.0.1,reuseaddr" EXEC:cat &
peer_pid=$!
for _ in $(seq 50); do
  python3 -c "import socket; socket.create_connection(('127.0.0.1', $far), 1)" 2> /dev/null && break
  sleep 0.1
done
# The probe above used the peer's one connection: start it again for kyt-host.
kill "$peer_pid" 2> /dev/null || true
wait "$peer_pid" 2> /dev/null || true
socat "TCP-LISTEN:$far,bind=127.0.0.1,reuseaddr" EXEC:cat &
peer_pid=$!

unshare -m --propagation private bash -c '
  set -e
  mount --bind "$1" "$1"
  mount -o remount,bind,ro /
  mount -t tmpfs -o mode=1777 tmpfs /tmp
  for home in /home /root; do [ -d "$home" ] && mount -t tmpfs tmpfs "$home"; done
  ulimit -n 16384
  exec setpriv --reuid=65534 --regid=65534 --clear-groups --no-new-privs \
    --inh-caps=-all --bounding-set=-all \
    bash -c "umask 0077; exec \"\$0\" --library \"\$1\" --settings \"\$2/settings.json\" run \"\$3\" --for 4" \
    "$2/kyt-host" "$2/VidiridAZ.so" "$1" "$3" < /dev/null
' sandbox "$state" "$build" "$conf/relay.json" > "$state/out" 2>&1 &
host_pid=$!

answer=$(python3 - "$relay" << 'EOF'
import socket, sys, time
deadline = time.time() + 3
while True:
    try:
        client = socket.create_connection(("127.0.0.1", int(sys.argv[1])), 1)
        break
    except OSError:
        if time.time() > deadline:
            raise
        time.sleep(0.1)
client.settimeout(2)
time.sleep(0.5)  # the relay's Client Socket connects at start; give it a moment
client.sendall(b"through the sandbox\n")
print(client.recv(100).decode().strip())
EOF
) || true
wait "$host_pid" && status=0 || status=$?
cat "$state/out"
[ "$status" = 0 ] || { echo "kyt-host ended with $status in the sandbox"; exit 1; }
[ "$answer" = "through the sandbox" ] || { echo "the relay answered: '$answer'"; exit 1; }
mode=$(stat -c %a "$state/settings.json")
[ "$mode" = 600 ] || { echo "settings.json has mode $mode"; exit 1; }
echo "tcp-relay ran in the sandbox"
