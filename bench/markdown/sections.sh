#!/usr/bin/env bash
# `kesto sections` on SIZE MiB (default 16) of generated SOP Markdown, as a
# whole process writing its output to a file, beside:
#   - the floor: read the input in one read, as the command does, and write
#     an output of the same size (the sections document's) in the command's
#     1 MiB pieces, nothing else;
#   - bench/markdown/sections.py, the same work written plainly in Python
#     (its output is checked byte for byte against kesto's first).
# Times are medians of RUNS runs (default 5), memory the peak resident set.
#
#   bash bench/markdown/sections.sh [SIZE]      RUNS=9 bash bench/markdown/sections.sh
set -euo pipefail
cd "$(dirname "$0")/../.."
SIZE=${1:-16}
RUNS=${RUNS:-5}
BUILD=${KESTO_BENCH_BUILD:-build-bench}

cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTO_BENCH=ON -DKESTO_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j "${CMAKE_BUILD_PARALLEL_LEVEL:-2}" --target kesto bench_measure sections_floor >/dev/null
floor_exe=$(find "$BUILD" -name sections_floor -type f -perm -u+x | head -n1)

WORK=$(mktemp -d /tmp/kesto-sections-bench.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
python3 bench/markdown/make_sop_md.py "$SIZE" >"$WORK/sop.md"
printf '%s\n' '{"blob_filename": "QD-000958 Cleaning.docx", "document_number": "QD-000958",' \
  ' "url_document_name": "https://veeva.example/doc/958"}' >"$WORK/doc.json"

"$BUILD/kesto" sections --doc "$WORK/doc.json" "$WORK/sop.md" >"$WORK/kesto.json"
python3 bench/markdown/sections.py "$WORK/doc.json" "$WORK/sop.md" >"$WORK/python.json"
if ! cmp -s "$WORK/kesto.json" "$WORK/python.json"; then
  echo "sections.sh: kesto and the Python program disagree" >&2
  exit 1
fi
in_bytes=$(stat -c %s "$WORK/sop.md")
out_bytes=$(stat -c %s "$WORK/kesto.json")

measure() { "$BUILD/bench/bench_measure" -n "$1" -- sh -c "$2"; }
field() { sed -n "s/.*$1=\([0-9.]*\).*/\1/p" <<<"$2"; }
floor=$(measure "$RUNS" "'$floor_exe' '$WORK/sop.md' $out_bytes >'$WORK/floor.out'")
kesto=$(measure "$RUNS" "'$BUILD/kesto' sections --doc '$WORK/doc.json' '$WORK/sop.md' >'$WORK/kesto.out'")
python=$(measure "$RUNS" "python3 bench/markdown/sections.py '$WORK/doc.json' '$WORK/sop.md' >'$WORK/python.out'")

printf 'input %s bytes of SOP Markdown, sections document %s bytes (identical from both programs)\n\n' \
  "$in_bytes" "$out_bytes"
row() { printf '%-46s %9s %9s %11s\n' "$@"; }
row "" "time (s)" "cpu (s)" "peak (MiB)"
row "floor: read the input, write the output size" "$(field time "$floor")" "$(field cpu "$floor")" "$(field rss_mib "$floor")"
row "kesto sections" "$(field time "$kesto")" "$(field cpu "$kesto")" "$(field rss_mib "$kesto")"
row "sections.py (python3)" "$(field time "$python")" "$(field cpu "$python")" "$(field rss_mib "$python")"
echo
awk -v kt="$(field time "$kesto")" -v ft="$(field time "$floor")" -v pt="$(field time "$python")" \
    -v km="$(field rss_mib "$kesto")" -v io="$(( in_bytes + out_bytes ))" 'BEGIN {
  printf "kesto sections: %.1fx faster than Python, %.2fx the floor'"'"'s time, peak memory %.2fx input + output\n",
         pt / kt, kt / ft, km * 1048576 / io
}'
