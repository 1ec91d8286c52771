#!/bin/bash
# What the packages ship around the programs: "man" (every manual page renders without warnings),
# "interface" (the interface description is what the service introspects) and "unit" (the unit's
# exposure score, and the service at work under exactly its capability bounding set). The last two
# run in the sandbox on a private bus:   packaging-checks.sh man|interface|unit BUILD-DIR
set -euo pipefail
mode=$1 build=$2 top=$(cd "$(dirname "$0")/../.." && pwd)
unit=$top/data/sarvd.service
fail() { echo "FAIL: $*" >&2; exit 1; }

if [ "$mode" = man ]; then
    pages=("$build"/man/*.[18])
    [ ${#pages[@]} -eq 4 ] || fail "expected 4 pages, found ${pages[*]}"
    for page in "${pages[@]}"; do
        warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
        [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
    done
    exit 0
fi

[ "${SARV_SANDBOX:-}" = 1 ] && [ -n "${DBUS_SYSTEM_BUS_ADDRESS:-}" ] || fail "run me in the sandbox, on a private bus"
mkdir -p /tmp/fake-bin && printf '#!/bin/sh\n' | tee /tmp/fake-bin/killall >/tmp/fake-bin/systemctl
chmod +x /tmp/fake-bin/* && export PATH=/tmp/fake-bin:$PATH
sarvd="" other=""
trap 'for pid in $sarvd $other; do kill $pid && wait $pid; done 2>/dev/null || true' EXIT
start_service() {  # sarvd with the manager plug-in, behind the command prefix given
    "$@" "$build/platform/sarvd/sarvd" "$build/manager/libsarv-acmanager.so" 2>/tmp/sarvd.log &
    sarvd=$!
    for _ in $(seq 100); do busctl --system status org.nimbra.sarv1 >/dev/null 2>&1 && return 0; sleep 0.1; done
    fail "the service did not come up: $(cat /tmp/sarvd.log)"
}

if [ "$mode" = interface ]; then
    canonical() {  # members, types and directions; argument names are documentation only
        perl -0777 -ne 's/<!--.*?-->//gs;
            m{<interface name="org\.nimbra\.sarv1\.AccessControl">(.*?)</interface>}s or die "no interface\n";
            for (split /(?=<)/, $1) {
                next unless /^<(\w+)([^>]*)>/;
                my ($tag, $attrs) = ($1, $2);
                my %a = $attrs =~ /(\w+)="([^"]*)"/g;
                delete $a{name} if $tag eq "arg";
                print join(" ", $tag, map { "$_=$a{$_}" } sort keys %a), "\n";
            }'
    }
    start_service
    busctl --system introspect --xml-interface org.nimbra.sarv1 /org/nimbra/sarv1/AccessControl >/tmp/live.xml
    diff -u <(canonical </tmp/live.xml) <(canonical <"$top/data/org.nimbra.sarv1.AccessControl.xml") ||
        fail "data/org.nimbra.sarv1.AccessControl.xml differs from the running service"
    exit 0
fi

[ "$mode" = unit ] || fail "unknown check $mode"
score=$(systemd-analyze security --offline=true "$unit" 2>/dev/null |
        sed -n 's/.*Overall exposure level for sarvd.service: \([0-9.]*\).*/\1/p')
echo "exposure level of sarvd.service: $score (at most 5.0)"
awk -v s="$score" 'BEGIN { exit !(s != "" && s <= 5.0) }' || fail "exposure level $score"
caps=$(sed -n 's/^CapabilityBoundingSet=//p' "$unit" | tr 'A-Z' 'a-z')
bounding=-all$(for cap in $caps; do printf ',+%s' "${cap#cap_}"; done)

# An object, the kernel's credential file (new subjects are labelled), another user's program in a
# folder only that user may enter, a process of that user, a trusted caller at its installed path.
mkdir -p /usr/share/olm/sarv/entity.d /usr/share/olm/sarv/mode.d /tmp/fake-proc/1/attr/olmsec
echo '{"name":"camera","type":"object","subtype":"file","available_operations":["read","write"]}' \
    >/usr/share/olm/sarv/entity.d/camera.object
echo '{"object":"camera","mode":"blacklist"}' >/usr/share/olm/sarv/mode.d/camera.mode
echo 1 >/tmp/fake-proc/1/attr/olmsec/cred && export SARV_PROC_ATTR_ROOT=/tmp/fake-proc
install -d -m 0700 -o 65534 -g 65534 /tmp/nobody && install -m 0700 -o 65534 -g 65534 /dev/null /tmp/nobody/app
setpriv --reuid=65534 --regid=65534 --clear-groups sleep 120 &
other=$!
install -m 0755 "$(command -v busctl)" /usr/bin/sarv-ac-manager-tools
call() { "$1" --system call org.nimbra.sarv1 /org/nimbra/sarv1/AccessControl org.nimbra.sarv1.AccessControl "${@:2}" 2>&1; }

start_service setpriv --no-new-privs --inh-caps=-all --bounding-set "$bounding"
have=$(capsh --decode="$(awk '/^CapBnd/ { print $2 }' /proc/$sarvd/status)" | sed 's/.*=//' | tr , '\n' | sort)
[ "$have" = "$(tr ' ' '\n' <<<"$caps" | sort)" ] || fail "the service's bounding set is $(echo $have), not $caps"
[ "$(call busctl GetMode s camera)" = 's "{\"mode\":\"blacklist\",\"object\":\"camera\",\"version\":\"1.0\"}"' ] ||
    fail "query: $(call busctl GetMode s camera)"
[ "$(call busctl CanAuthorize is "$other" camera)" = 'as 2 "read" "write"' ] ||
    fail "authorization about another user's process: $(call busctl CanAuthorize is "$other" camera)"
call /usr/bin/sarv-ac-manager-tools SetMode s '{"object":"camera","mode":"whitelist"}' &&
    [ -f /var/lib/olm/sarv/mode.d/camera.mode ] || fail "change"
call /usr/bin/sarv-ac-manager-tools SetEntity s \
    '{"name":"app","type":"subject","subtype":"exe","attrs":{"exes":["/tmp/nobody/app"]}}' || fail "SetEntity"
[ "$(getfattr --absolute-names --only-values -n security.appid /tmp/nobody/app 2>&1)" = app ] ||
    fail "labelling in another user's private folder: $(getfattr --absolute-names -n security.appid /tmp/nobody/app 2>&1)"
echo "ok: bounding set $caps, no new privileges: a query, an authorization question, a change, a labelling"
