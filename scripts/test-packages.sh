#!/bin/bash
# Builds the Debian packages of this tree, checks them with lintian, and
# tries them for real inside the test sandbox: installs them into its
# private /usr, /etc and /var, starts the host daemon as the installed unit
# says on a private system bus with the installed bus policy, asks one
# question, makes one change through the installer command, and purges the
# packages again. Nothing reaches this machine's own files, bus or services.
#
#   scripts/test-packages.sh      packages and logs in build/packages/
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" != --inside ]; then
    scripts/install-deps.sh packages
    # The installed programs write audit records through the tests' stand-in.
    cmake -S . -B build >/dev/null
    cmake --build build -j"$(nproc)" --target sarv-audit-preload >/dev/null
    out=$PWD/build/packages
    rm -rf "$out"
    mkdir -p "$out/src"
    git ls-files -z -co --exclude-standard | tar -c --null --ignore-failed-read -T - -f - | tar -x -C "$out/src"
    echo "== building the packages (log: $out/build.log)"
    started=$SECONDS
    if ! (cd "$out/src" &&
          DEB_BUILD_OPTIONS="nocheck noautodbgsym parallel=$(nproc)" dpkg-buildpackage -b -us -uc) \
          >"$out/build.log" 2>&1; then
        tail -n 40 "$out/build.log"
        exit 1
    fi
    echo "built in $((SECONDS - started)) s: $(cd "$out" && echo *.deb)"
    echo "== lintian"
    lintian --fail-on error --tag-display-limit 0 "$out"/*.changes 2>&1 |
        { grep -v 'running with root privileges' || true; }
    export SARV_AUDIT_PRELOAD=$PWD/build/platform/audit/libsarv-audit-preload.so
    export SARV_AUDIT_LOG=/tmp/audit.log
    exec tests/sandbox/sarv-sandbox "$0" --inside "$out"
fi

# --- Inside the sandbox --------------------------------------------------
out=$2
passed=0
check() {
    local what=$1
    shift
    if "$@"; then
        echo "ok: $what"
        passed=$((passed + 1))
    else
        echo "FAIL: $what" >&2
        exit 1
    fi
}

# dpkg, its triggers and the bus daemon write below /run, /var/log and
# /var/cache as well: private copies of those too.
for dir in /run /var/log /var/cache; do
    mount -t tmpfs -o mode=0755 sarv-packages "$dir"
done
mkdir -p /run/lock /run/dbus
# No maintainer script starts or stops a service of this machine; the
# commands the service runs are recorded instead.
printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
chmod +x /usr/sbin/policy-rc.d
# systemctl --root= only changes files, which are private here: the unit's
# enablement goes through to the real one.
mkdir -p /tmp/fake-bin
printf '#!/bin/sh\necho "killall $*" >>/tmp/commands.log\n' >/tmp/fake-bin/killall
printf '#!/bin/sh\n[ "${1#--root=}" = "$1" ] || exec /usr/bin/systemctl "$@"\necho "systemctl $*" >>/tmp/commands.log\n' \
    >/tmp/fake-bin/systemctl
chmod +x /tmp/fake-bin/*
export PATH=/tmp/fake-bin:$PATH
# The maintainer scripts make the trees themselves.
rmdir /etc/olm/sarv /var/lib/olm/sarv /usr/share/olm/sarv

# The system bus as Debian configures it, with every installed policy, at
# its usual address in the private /run.
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=/run/dbus/system_bus_socket
dbus-daemon --system --nofork --nopidfile 2>/dev/null &
bus=$!
sarvd=""
cleanup() {
    [ -n "$sarvd" ] && kill "$sarvd" 2>/dev/null && wait "$sarvd" 2>/dev/null
    kill "$bus" 2>/dev/null || true
    wait "$bus" 2>/dev/null || true
}
trap cleanup EXIT
for _ in $(seq 100); do [ -S /run/dbus/system_bus_socket ] && break; sleep 0.05; done

# dpkg's output only when it fails.
logged() { "$@" >>/tmp/dpkg.log 2>&1 || { cat /tmp/dpkg.log; return 1; }; }
packages=$(cd "$out" && ls ./*.deb | sed 's|^\./||; s|_.*||')
check "the packages install" logged dpkg -i "$out"/*.deb

modes() { stat -c '%n %a %U' "$@"; }
expected_modes=$(for tree in /usr/share/olm/sarv /etc/olm/sarv /var/lib/olm/sarv; do
    for d in "$tree" "$tree/entity.d" "$tree/mode.d" "$tree/policy.d"; do echo "$d 755 root"; done
done)
check "the three trees are there, mode 0755" test "$(modes /{usr/share,etc,var/lib}/olm/sarv{,/entity.d,/mode.d,/policy.d})" = "$expected_modes"
check "the unit is enabled" test -L /etc/systemd/system/multi-user.target.wants/sarvd.service
check "no configuration file is a conffile" test -z "$(dpkg-query -W -f='${Conffiles}' $packages)"
pages_found() { man -w sarv-ac-manager sarv-ac-manager-configer sarv-ac-manager-tools sarvd >/dev/null; }
check "the man pages are found" pages_found

# The daemon as the unit starts it.
exec_start=$(sed -n 's/^ExecStart=//p' /lib/systemd/system/sarvd.service)
$exec_start 2>/tmp/sarvd.log &
sarvd=$!
ac() { busctl --system call org.nimbra.sarv1 /org/nimbra/sarv1/AccessControl org.nimbra.sarv1.AccessControl "$@"; }
owned() { for _ in $(seq 100); do busctl --system status org.nimbra.sarv1 >/dev/null 2>&1 && return 0; sleep 0.1; done; return 1; }
check "sarvd serves org.nimbra.sarv1 under the installed bus policy" owned

echo '{"object":"camera","mode":"whitelist"}' >/tmp/camera.mode
check "the installer command installs a mode" sarv-ac-manager-configer add --mode /tmp/camera.mode
check "... and leaves an audit record" grep -q $'message=add sarv-ac-manager config file /tmp/camera.mode\t.*result=1' /tmp/audit.log
query() {
    for _ in $(seq 100); do
        [ "$(setpriv --reuid=65534 --regid=65534 --clear-groups busctl --system call org.nimbra.sarv1 \
             /org/nimbra/sarv1/AccessControl org.nimbra.sarv1.AccessControl GetMode s camera 2>&1)" = \
          's "{\"mode\":\"whitelist\",\"object\":\"camera\",\"version\":\"1.0\"}"' ] && return 0
        sleep 0.1
    done
    return 1
}
check "the service takes the change; any user may ask" query

completions() {
    bash -c '. /usr/share/bash-completion/completions/sarv-ac-manager-configer
             COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _sarv_ac_manager_configer; echo "${COMPREPLY[*]}"' - "$@"
}
check "completion offers the kinds" test "$(completions sarv-ac-manager-configer add --)" = "--mode --entity --policy"
check "completion offers the installed file for delete" \
    test "$(completions sarv-ac-manager-configer delete /etc/olm/sarv/mode.d/c)" = "/etc/olm/sarv/mode.d/camera.mode"

kill "$sarvd"
wait "$sarvd" || true
sarvd=""
check "the packages purge" logged dpkg --purge $packages
check "the administrator's file stays" test -f /etc/olm/sarv/mode.d/camera.mode
check "the service's tree is gone" test ! -e /var/lib/olm/sarv
check "no file of the packages is left" test ! -e /usr/bin/sarv-ac-manager -a ! -e /lib/systemd/system/sarvd.service
echo "$passed passed, 0 failed"
