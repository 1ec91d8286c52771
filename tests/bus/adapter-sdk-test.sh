#!/bin/bash
# The adapter kit on its own: install only its files, build an adapter with
# nothing but what `pkg-config --cflags sarv-ac-sdk` gives, and check that the
# result exports the entry point and needs nothing of the manager.
#
#   adapter-sdk-test.sh BUILD-DIR ADAPTER-SOURCE
set -euo pipefail
build=$1
source=$2

stage=$(mktemp -d /tmp/sdk.XXXXXX)
trap 'rm -rf "$stage"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

DESTDIR=$stage cmake --install "$build" --component sdk >/dev/null
pc=$(find "$stage" -name sarv-ac-sdk.pc)
[ -n "$pc" ] || fail "no sarv-ac-sdk.pc installed"
export PKG_CONFIG_PATH=$(dirname "$pc") PKG_CONFIG_SYSROOT_DIR=$stage PKG_CONFIG_LIBDIR=

cflags=$(pkg-config --cflags sarv-ac-sdk)
includedir=$(pkg-config --variable=includedir sarv-ac-sdk)/sarv-ac-sdk
[ "$(ls "$includedir" | sort | tr '\n' ' ')" = "acadapter-interface.h acconstants.h acrecords.h " ] ||
    fail "unexpected headers in $includedir: $(ls "$includedir")"
case "$(pkg-config --variable=adapterdir sarv-ac-sdk)" in
*/usr/share/olm/sarv/acadapter.d) ;;
*) fail "adapterdir is $(pkg-config --variable=adapterdir sarv-ac-sdk)" ;;
esac

# Only the kit's folder and the system's headers are searched.
g++ -std=c++17 -Wall -Wextra -Werror -shared -fPIC -fvisibility=hidden -Wl,--no-undefined -pthread \
    $cflags "$source" -o "$stage/adapter.so"
symbols=$(nm -D --defined-only "$stage/adapter.so")
grep -q ' T GetAcAdapter$' <<<"$symbols" || fail "GetAcAdapter not exported"
echo "adapter built against the kit alone: ok"
