#!/bin/bash
# Writes the seed corpus of every fuzz target into OUT/<target>/, made from
# the demo configuration and the small hand-written seeds in seeds/.
#
#   make-corpus.sh SOURCE_DIR OUT
set -euo pipefail

if [ $# -ne 2 ]; then
    echo "usage: make-corpus.sh SOURCE_DIR OUT" >&2
    exit 2
fi
src=$1
out=$2
demo=$src/data/demo
here=$src/tests/fuzz

for target in records_fuzz filename_fuzz bus_fuzz pkgdb_fuzz; do
    mkdir -p "$out/$target"
    [ -d "$here/seeds/$target" ] && cp "$here/seeds/$target"/* "$out/$target/"
done

# The method numbers of bus_fuzz.cpp.
sel_getmode='\x00' sel_list='\x01' sel_getentity='\x02' sel_getpolicy='\x03'
sel_setmode='\x04' sel_delmode='\x05' sel_setentity='\x06' sel_delentity='\x07'
sel_setpolicy='\x08' sel_delpolicy='\x09' sel_canauth='\x0a' sel_checkauth='\x0b'
sep='\x1e'

# A record file on one line (the bus target splits calls at 0x1E, never at
# a newline, but short seeds mutate better).
flat() { tr -s '\n ' '  ' < "$1"; }
# The record name a file name stands for (the %XX escapes undone).
stem_name() {
    local stem=${1%.*}
    [ "$stem" = "%" ] && return 0
    printf '%b' "$(printf '%s' "$stem" | sed 's/%\([0-9A-F][0-9A-F]\)/\\x\1/g')"
}

declare -A kind_files
n=0
for file in "$demo"/etc/olm/sarv/*.d/* "$demo"/usr/share/olm/sarv/*.d/*; do
    [ -f "$file" ] || continue
    n=$((n + 1))
    folder=$(basename "$(dirname "$file")")
    base=$(basename "$file")
    name=$(stem_name "$base")
    kind_files[$folder]+="$file"$'\n'

    cp "$file" "$out/records_fuzz/demo-$n"
    printf '%s' "$name" > "$out/filename_fuzz/demo-$n"

    case $folder in
    mode.d) set_sel=$sel_setmode get_sel=$sel_getmode del_sel=$sel_delmode ;;
    entity.d) set_sel=$sel_setentity get_sel=$sel_getentity del_sel=$sel_delentity ;;
    policy.d) set_sel=$sel_setpolicy get_sel=$sel_getpolicy del_sel=$sel_delpolicy ;;
    *) continue ;;
    esac
    { printf "$set_sel"; flat "$file"; } > "$out/bus_fuzz/set-$n"
    { printf "$get_sel"; printf '%s' "$name"; } > "$out/bus_fuzz/get-$n"
    # Store, look, store again (nothing changed), delete, look again.
    { printf "$set_sel"; flat "$file"; printf "$sep$get_sel"; printf '%s' "$name"
      printf "$sep$set_sel"; flat "$file"; printf "$sep$del_sel"; printf '%s' "$name"
      printf "$sep$get_sel"; printf '%s' "$name"; } > "$out/bus_fuzz/cycle-$n"
    { printf "$sel_canauth"; printf '\x00%s' "$name"; } > "$out/bus_fuzz/canauth-$n"
    { printf "$sel_checkauth"; printf '%s\x00camera\x00allow' "$name"; } > "$out/bus_fuzz/checkauth-$n"
done

# Two records of one kind, separated by NUL: what records_fuzz merges.
for folder in "${!kind_files[@]}"; do
    mapfile -t files < <(printf '%s' "${kind_files[$folder]}")
    for ((i = 0; i + 1 < ${#files[@]}; i++)); do
        { cat "${files[$i]}"; printf '\x00'; cat "${files[$((i + 1))]}"; } > "$out/records_fuzz/pair-$folder-$i"
    done
done

printf "$sel_list" > "$out/bus_fuzz/list"
printf "${sel_checkauth}/usr/bin/cheese\x00camera\x00allow\x00deny" > "$out/bus_fuzz/checkauth-exe"
printf "${sel_delpolicy}cheese${sep}${sel_getpolicy}cheese${sep}${sel_delentity}cheese" > "$out/bus_fuzz/delete-shipped"
# The first packages of this machine's database with their file lists, as
# pkgdb_fuzz takes them: status, journal, format, then one list per package.
if [ -r /var/lib/dpkg/status ]; then
    for skip in 0 40; do
        status=$(awk -v skip="$skip" 'BEGIN { RS = ""; ORS = "\n\n" } NR > skip && NR <= skip + 3' /var/lib/dpkg/status)
        {
            printf '%s\n\n' "$status"; printf '\x00\x001\n'
            for name in $(printf '%s\n' "$status" | sed -n 's/^Package: *//p'); do
                list=/var/lib/dpkg/info/$name.list
                [ -r "$list" ] || list=$(ls /var/lib/dpkg/info/"$name":*.list 2>/dev/null | head -n1)
                printf '\x00'
                [ -n "$list" ] && [ -r "$list" ] && head -n 50 "$list"
            done
        } > "$out/pkgdb_fuzz/machine-$skip"
    done
fi

echo "corpus: $(find "$out" -type f | wc -l) seeds in $out"
