#!/bin/bash
# The inside of scripts/run-demo.sh: runs in the sandbox, on the private bus.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
build=$top/build

# The demo configuration and the example adapter.
cp -a data/demo/usr/share/olm/sarv/. /usr/share/olm/sarv/
cp -a data/demo/etc/olm/sarv/. /etc/olm/sarv/
adapters=$(PKG_CONFIG_PATH=$build/common pkg-config --variable=adapterdir sarv-ac-sdk)
mkdir -p "$adapters"
cp "$build"/platform/example-adapter/*.so "$adapters/"
export SARV_AC_EXAMPLE_DIR=/tmp/sarv-ac-example/

# The companion programs at their installed paths (the sandbox's /usr is private).
cp "$build/configer/sarv-ac-manager-configer" /usr/bin/
[ -x "$build/inspector/sarv-ac-manager-tools" ] && cp "$build/inspector/sarv-ac-manager-tools" /usr/bin/

# Commands the service runs that would act on the machine are recorded instead.
mkdir -p /tmp/demo-bin
for cmd in killall systemctl; do
    printf '#!/bin/sh\necho "%s $*" >> /tmp/demo-commands.log\n' "$cmd" > "/tmp/demo-bin/$cmd"
    chmod +x "/tmp/demo-bin/$cmd"
done
export PATH=/tmp/demo-bin:$PATH

# In a session of its own, so that Ctrl-C reaches it once, through stop().
setsid "$build/platform/sarvd/sarvd" "$build/manager/libsarv-acmanager.so" &
sarvd=$!
stop() {
    trap - INT TERM EXIT
    echo
    echo "stopping sarvd ..."
    local started=$SECONDS
    kill -TERM "$sarvd" 2>/dev/null || true
    wait "$sarvd" 2>/dev/null || true
    echo "sarvd ended after $((SECONDS - started)) s"
    rm -f "$build/demo.env"
    echo "stopped."
    exit 0
}
trap stop INT TERM EXIT

bus() { busctl --system "$@"; }
ac() { bus call org.nimbra.sarv1 /org/nimbra/sarv1/AccessControl org.nimbra.sarv1.AccessControl "$@"; }
for _ in $(seq 100); do
    bus status org.nimbra.sarv1 >/dev/null 2>&1 && break
    kill -0 "$sarvd" 2>/dev/null || { echo "sarvd ended early" >&2; exit 1; }
    sleep 0.1
done

cat > "$build/demo.env" <<ENV
SARVD_PID=$sarvd
DBUS_SYSTEM_BUS_ADDRESS=$DBUS_SYSTEM_BUS_ADDRESS
ENV

show() {
    echo "\$ $*"
    "$@" 2>&1 | sed 's/^/  /'
}
echo
echo "== org.nimbra.sarv1 is served on a private system bus ($DBUS_SYSTEM_BUS_ADDRESS)"
show bus get-property org.nimbra.sarv1 /org/nimbra/sarv1/AccessControl org.nimbra.sarv1.AccessControl Status Version
echo "\$ ac ListEntity   (names of the entities served)"
ac ListEntity | grep -o '\\"name\\":\\"[^\\]*' | sed 's/.*"/  /'
show ac GetMode s camera
show ac GetPolicy s microphone
show ac CheckAuthorization ssas /usr/bin/arecord microphone 1 allow
show ac CanAuthorize is $$ camera
echo
echo "== what the example adapter was given (in $SARV_AC_EXAMPLE_DIR)"
echo "  (objects are pushed when their mode or policy changes; see after the first change below)"

cat <<TXT

== Ready commands (from another terminal, in this checkout; they enter the sandbox)
  # ask
  scripts/demo-cmd busctl --system call org.nimbra.sarv1 /org/nimbra/sarv1/AccessControl org.nimbra.sarv1.AccessControl GetMode s microphone
  scripts/demo-cmd busctl --system call org.nimbra.sarv1 /org/nimbra/sarv1/AccessControl org.nimbra.sarv1.AccessControl CheckAuthorization ssas cheese camera 1 allow
  # change: install a mode file with the installer command; the service picks it up
  echo '{"object":"camera","mode":"blacklist"}' > build/camera.mode
  scripts/demo-cmd sarv-ac-manager-configer add --mode $top/build/camera.mode
  scripts/demo-cmd cat $SARV_AC_EXAMPLE_DIR/camera.json
  # change over the bus: refused, busctl is no trusted program and carries no label
  scripts/demo-cmd busctl --system call org.nimbra.sarv1 /org/nimbra/sarv1/AccessControl org.nimbra.sarv1.AccessControl SetMode s '{"object":"camera","mode":"whitelist"}'
  # the audit records written so far (to a file in the sandbox)
  scripts/demo-cmd cat /tmp/sarv-audit-records.log
  # watch the change signals
  scripts/demo-cmd busctl --system monitor org.nimbra.sarv1

Ctrl-C stops the service.
TXT
wait "$sarvd"
