#!/bin/bash
# Line coverage of the product code (common/, manager/, configer/, inspector/,
# platform/) under the whole test suite. Builds with --coverage, runs every
# ctest test once and writes, in BUILD_DIR/coverage/:
#   product.info    lcov tracefile of the product sources only
#   functions.txt   one line per function: hit or not, lines hit/total, file, name
#   total.txt       the line figure
# Exits with ctest's status, after writing the figures either way.
#
#   scripts/coverage.sh [BUILD_DIR [CTEST_ARGS...]]   default build-coverage, every test
#   scripts/coverage.sh --lost BEFORE.info AFTER.info   product lines run before, not after
set -euo pipefail
if [ "${1:-}" = "--lost" ]; then
    python3 - "$2" "$3" <<'PY'
import sys
def hit(path):
    lines, name = set(), None
    for line in open(path):
        if line.startswith("SF:"): name = line[3:].strip()
        elif line.startswith("DA:") and int(line[3:].split(",")[1]) > 0: lines.add((name, int(line[3:].split(",")[0])))
    return lines
for name, number in sorted(hit(sys.argv[1]) - hit(sys.argv[2])): print(f"{name}:{number}")
PY
    exit 0
fi
cd "$(dirname "$0")/.."
src=$PWD
build=$(realpath -m "${1:-build-coverage}")
[ $# -gt 0 ] && shift
out=$build/coverage

scripts/install-deps.sh coverage
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DSARV_SANITIZE= \
      -DCMAKE_C_FLAGS=--coverage -DCMAKE_CXX_FLAGS=--coverage >/dev/null
cmake --build "$build" -j"$(nproc)"

rm -rf "$out"
mkdir -p "$out"
find "$build" -name '*.gcda' -delete
# The initial capture lists the lines of sources no test ever loads.
lcov -q -c -i -d "$build" -o "$out/initial.info" 2>/dev/null
status=0
(cd "$build" && ctest -j"$(nproc)" --output-on-failure "$@") || status=$?
lcov -q -c -d "$build" -o "$out/run.info" 2>/dev/null
lcov -q -a "$out/initial.info" -a "$out/run.info" -o "$out/all.info"
product=()
for dir in common manager configer inspector platform; do product+=("$src/$dir/*"); done
lcov -q -e "$out/all.info" "${product[@]}" -o "$out/extracted.info"
lcov -q -r "$out/extracted.info" '*/moc_*' '*_autogen/*' '*.moc' -o "$out/product.info"
rm -f "$out/initial.info" "$out/run.info" "$out/all.info" "$out/extracted.info"

# Per function, from gcov's own records (they say which function each line
# belongs to; lines of template copies and inline functions are added up).
find "$build" -name '*.gcno' -print0 |
    (cd "$out" && xargs -0 -r -n 50 gcov -j -t 2>/dev/null) |
    python3 -c '
import json, sys, collections
src = sys.argv[1]
product = tuple(src + "/" + d + "/" for d in ("common", "manager", "configer", "inspector", "platform"))
JSON = "nlohmann::json_abi_v3_11_2::basic_json<std::map, std::vector, std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> >, bool, long, unsigned long, double, std::allocator, nlohmann::json_abi_v3_11_2::adl_serializer, std::vector<unsigned char, std::allocator<unsigned char> > >"
names, calls, lines = {}, collections.Counter(), collections.defaultdict(collections.Counter)
for text in sys.stdin:
    for f in json.loads(text)["files"]:
        path = f["file"]
        if not path.startswith(product) or "_autogen/" in path or "/moc_" in path:
            continue
        for fn in f["functions"]:
            names[path, fn["name"]] = fn["demangled_name"].replace(JSON, "json")
            calls[path, fn["name"]] += fn["execution_count"]
        for ln in f["lines"]:
            lines[path, ln.get("function_name", "")][ln["line_number"]] += ln["count"]
rows = []
for key, name in names.items():
    counts = lines.get(key, {})
    hit = sum(1 for c in counts.values() if c > 0)
    rows.append((key[0][len(src) + 1:], name, "hit " if calls[key] else "MISS", hit, len(counts)))
for path, name, state, hit, total in sorted(rows):
    print(f"{state} {hit:4}/{total:<4} {path}  {name}")
' "$src" >"$out/functions.txt"

lcov --summary "$out/product.info" 2>&1 | grep -E 'lines|functions' | sed 's/^ *//' >"$out/total.txt"
cat "$out/total.txt"
echo "coverage: $out"
exit "$status"
