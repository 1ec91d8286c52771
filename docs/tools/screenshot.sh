#!/bin/bash
# Takes screenshots of the inspector over the demo configuration: the real
# program at its trusted path, on an X server of its own (xvfb-run), talking
# to sarvd with the manager plug-in on a private bus. Everything runs in the
# test sandbox; only the pictures leave it.
#
#   docs/tools/screenshot.sh BUILD_DIR [OUT_DIR]     (OUT_DIR: docs/)
#
# BUILD_DIR must hold the targets sarvd, sarv-acmanager, sarv-ac-example and
# sarv-ac-manager-tools; window-driver.cpp, which clicks through the window,
# is built here against Qt 6. Needs xvfb-run; the Chinese line of the privacy
# list needs a CJK font (fonts-wqy-microhei), and the tree's icons show only
# where their icon themes are installed.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
build=$(cd "${1:?usage: screenshot.sh BUILD_DIR [OUT_DIR]}" && pwd)
out=$(mkdir -p "${2:-$source_dir/docs}" && cd "${2:-$source_dir/docs}" && pwd)

if [ "${SARV_SANDBOX:-}" != 1 ]; then
    exec "$source_dir/tests/sandbox/sarv-sandbox" "$0" "$build" "$out"
fi
if [ -z "${DBUS_SYSTEM_BUS_ADDRESS:-}" ]; then
    exec "$source_dir/tests/sandbox/with-private-bus" "$0" "$build" "$out"
fi

# The service's commands that would touch the machine are stand-ins.
mkdir -p /tmp/fake-bin
for cmd in systemctl killall; do
    printf '#!/bin/sh\nexit 0\n' >/tmp/fake-bin/$cmd
    chmod 755 /tmp/fake-bin/$cmd
done
export PATH=/tmp/fake-bin:$PATH

cp -r "$source_dir/data/demo/usr/share/olm/sarv/." /usr/share/olm/sarv/
cp -r "$source_dir/data/demo/etc/olm/sarv/." /etc/olm/sarv/
mkdir -p /var/lib/olm/sarv/entity.d /var/lib/olm/sarv/mode.d /var/lib/olm/sarv/policy.d
mkdir -p /usr/share/olm/sarv/acadapter.d
cp "$build/platform/example-adapter/"libsarv-ac-example*.so /usr/share/olm/sarv/acadapter.d/
export SARV_AC_EXAMPLE_DIR=/tmp/sarv-ac-example/

"$build/platform/sarvd/sarvd" "$build/manager/libsarv-acmanager.so" &
sarvd=$!
trap 'kill $sarvd 2>/dev/null; wait $sarvd 2>/dev/null || true' EXIT
for _ in $(seq 300); do
    busctl --system status org.nimbra.sarv1 >/dev/null 2>&1 && break
    sleep 0.1
done

install -m 755 "$build/inspector/sarv-ac-manager-tools" /usr/bin/sarv-ac-manager-tools
# shellcheck disable=SC2046
c++ -std=c++17 -shared -fPIC -I"$source_dir/inspector" "$here/window-driver.cpp" -o /tmp/window-driver.so \
    $(pkg-config --cflags --libs Qt6Widgets)

cat >/tmp/shots.script <<SCRIPT
wait 300
click-tree New Entity
type {"name":"veltrin-notes","type":"subject","subtype":"veltrin-package","attrs":{"veltrin_applicationid":"notes"}}
press pushButton_refresh
click-tree New Mode
type {"mode":"allow","object":"microphone","version":"1.0"}
press pushButton_refresh
click-tree /var/lib/olm/sarv/mode.d/microphone.mode
wait 800
shot $out/inspector-configs.png
tab 1
click-object camera
wait 800
shot $out/inspector-privacy.png
quit
SCRIPT
rm -f /tmp/shots.report
QT_QPA_PLATFORM=xcb LD_PRELOAD=/tmp/window-driver.so \
    SARV_INSPECTOR_SCRIPT=/tmp/shots.script SARV_INSPECTOR_REPORT=/tmp/shots.report \
    xvfb-run -a -s "-screen 0 1280x1024x24" /usr/bin/sarv-ac-manager-tools
cat /tmp/shots.report
