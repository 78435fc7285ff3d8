#!/usr/bin/env bash
# The shipped gateways (TCP relay, serial gateway) run in what kyt-host@.service imposes, as far
# as this machine can impose it without systemd as PID 1 (systemd-run needs one): a private
# mount namespace with the file system read-only but the state folder (ProtectSystem=strict),
# /tmp and /home private, an unprivileged user without capabilities or new privileges, umask
# 0077 and LimitNOFILE. A client of each reaches an echoing far side and back, and the settings
# file is written 0600.
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
peer_pid=
trap '[ -n "$peer_pid" ] && kill "$peer_pid" 2> /dev/null; rm -rf "$conf"' EXIT
chmod 755 "$conf"

# Sends a line to the gateway's Server Socket and prints what comes back.
through() {
  python3 - "$1" << 'EOF'
import socket, sys, time
deadline = time.time() + 5
while True:
    try:
        client = socket.create_connection(("127.0.0.1", int(sys.argv[1])), 1)
        break
    except OSError:
        if time.time() > deadline:
            raise
        time.sleep(0.1)
client.settimeout(3)
time.sleep(0.5)  # the far side's channel opens at start; give it a moment
client.sendall(b"through the sandbox\n")
print(client.recv(100).decode().strip())
EOF
}

# Runs CONFIG in the sandbox for a few seconds; PREPARE runs inside it first, as root (a far
# side that must live in the private /tmp). A client must get its line back from the echoing far
# side, and the settings file must come out 0600.
run_gateway() {
  local name=$1 config=$2 port=$3 prepare=$4
  local state
  state=$(mktemp -d /var/tmp/kyt-sandbox-state.XXXXXX)
  chown 65534:65534 "$state"
  chmod 700 "$state"
  chmod 644 "$config"
  unshare -m --propagation private bash -c '
    set -e
    mount --bind "$1" "$1"
    mount -o remount,bind,ro /
    mount -t tmpfs -o mode=1777 tmpfs /tmp
    for home in /home /root; do [ -d "$home" ] && mount -t tmpfs tmpfs "$home"; done
    eval "$4"
    ulimit -n 16384
    exec setpriv --reuid=65534 --regid=65534 --clear-groups --no-new-privs \
      --inh-caps=-all --bounding-set=-all \
      bash -c "umask 0077; exec \"\$0\" --library \"\$1\" --settings \"\$2/settings.json\" run \"\$3\" --for 5" \
      "$2/kyt-host" "$2/VidiridAZ.so" "$1" "$3" < /dev/null
  ' sandbox "$state" "$build" "$config" "$prepare" > "$state/out" 2>&1 &
  local host_pid=$! answer status mode
  answer=$(through "$port") || true
  wait "$host_pid" && status=0 || status=$?
  if [ "$status" != 0 ] || [ "$answer" != "through the sandbox" ]; then
    cat "$state/out"
    echo "$name: kyt-host ended with $status; the client got '$answer'"
    exit 1
  fi
  mode=$(stat -c %a "$state/settings.json")
  rm -rf "$state"
  [ "$mode" = 600 ] || { echo "$name: settings.json has mode $mode"; exit 1; }
  echo "$name ran in the sandbox"
}

# The TCP relay, with an echoing far side outside the sandbox.
relay=$(free_port)
far=$(free_port)
sed -e "s/47020/$relay/" -e "s/47021/$far/" "$source/examples/tcp-relay.json" > "$conf/relay.json"
socat "TCP-LISTEN:$far,bind=127.0.0.1,reuseaddr,fork" EXEC:cat &
peer_pid=$!
for _ in $(seq 50); do
  python3 -c "import socket; socket.create_connection(('127.0.0.1', $far), 1)" 2> /dev/null && break
  sleep 0.1
done
run_gateway tcp-relay "$conf/relay.json" "$relay" ""
kill "$peer_pid" 2> /dev/null || true
peer_pid=

# The serial gateway on a pty in the private /tmp, given to the service user as a udev rule
# gives a serial port, with a far side that echoes.
gateway=$(free_port)
sed -e "s/47030/$gateway/" "$source/examples/serial-gateway.json" > "$conf/serial.json"
run_gateway serial-gateway "$conf/serial.json" "$gateway" '
  socat PTY,link=/tmp/kyt-serial0,raw,echo=0,user=65534,mode=600 EXEC:cat &
  for _ in $(seq 50); do [ -e /tmp/kyt-serial0 ] && break; sleep 0.1; done'
