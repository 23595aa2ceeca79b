#!/usr/bin/env bash
# The conversion benchmark. Builds the release programs, generates a large
# synthetic SOP (20,000 paragraphs, 300 tables) and 200 medium ones, and
# prints side by side, measured in one run on this machine:
#   - `kesto convert` on the large document (the whole process),
#   - the floor: inflate the main part and pass over it once with libxml2's
#     streaming reader, nothing else (and, for scale, the same pass fed while
#     inflating, and building a tree instead),
#   - pandoc's docx-to-markdown on the same file, when pandoc is installed,
#   - the batch converter on the 200 medium documents with 1 and 4 workers.
# Times are medians of RUNS runs (default 5), memory is the peak resident set.
#
#   bash bench/run.sh            RUNS=9 bash bench/run.sh
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD=${KESTO_BENCH_BUILD:-build-bench}
RUNS=${RUNS:-5}
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTO_BENCH=ON -DKESTO_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j 2 --target kesto batchconvert bench_floor bench_make_sop_docx bench_measure >/dev/null

WORK=$(mktemp -d /tmp/kesto-bench.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
B=$BUILD/bench
measure() { "$B/bench_measure" -n "$1" -- "${@:2}"; }
field() { sed -n "s/.*$1=\([0-9.]*\).*/\1/p" <<<"$2"; }

"$B/bench_make_sop_docx" "$WORK/large.docx" --paragraphs 20000 --tables 300
part_bytes=$(unzip -l "$WORK/large.docx" word/document.xml 2>/dev/null | awk '$4 == "word/document.xml" {print $1}')
printf 'Large SOP: %s bytes .docx, %s bytes main part, 20000 paragraphs, 300 tables\n\n' \
  "$(stat -c %s "$WORK/large.docx")" "${part_bytes:-?}"

floor=$(measure "$RUNS" "$B/bench_floor" "$WORK/large.docx" 2>/dev/null)
stream=$(measure "$RUNS" "$B/bench_floor" "$WORK/large.docx" --stream 2>/dev/null)
tree=$(measure "$RUNS" "$B/bench_floor" "$WORK/large.docx" --tree 2>/dev/null)
convert=$(measure "$RUNS" "$BUILD/kesto" convert "$WORK/large.docx" -o "$WORK/large.md")
pandoc=""
if command -v pandoc >/dev/null 2>&1; then
  pandoc=$(measure 1 pandoc -f docx -t markdown "$WORK/large.docx" -o "$WORK/pandoc.md")
fi

row() { printf '%-52s %9s %9s %11s\n' "$@"; }
row "" "time (s)" "cpu (s)" "peak (MiB)"
row "floor: inflate + one streaming pass" "$(field time "$floor")" "$(field cpu "$floor")" "$(field rss_mib "$floor")"
row "  the same pass fed while inflating" "$(field time "$stream")" "$(field cpu "$stream")" "$(field rss_mib "$stream")"
row "  a libxml2 tree instead" "$(field time "$tree")" "$(field cpu "$tree")" "$(field rss_mib "$tree")"
row "kesto convert (whole process)" "$(field time "$convert")" "$(field cpu "$convert")" "$(field rss_mib "$convert")"
if [ -n "$pandoc" ]; then
  row "pandoc -f docx -t markdown ($(pandoc --version | head -1 | cut -d' ' -f2), 1 run)" \
    "$(field time "$pandoc")" "$(field cpu "$pandoc")" "$(field rss_mib "$pandoc")"
else
  row "pandoc: not installed" "-" "-" "-"
fi
echo
awk -v ct="$(field time "$convert")" -v ft="$(field time "$floor")" \
    -v cc="$(field cpu "$convert")" -v fc="$(field cpu "$floor")" \
    -v cm="$(field rss_mib "$convert")" -v fm="$(field rss_mib "$floor")" \
    -v pt="$(field time "$pandoc")" 'BEGIN {
  printf "kesto convert / floor: time %.2fx, cpu %.2fx, memory %.2fx (target: at most 1.5x)\n", ct / ft, cc / fc, cm / fm
  if (pt != "") printf "pandoc / kesto convert: %.0fx (target: at least 100x)\n", pt / ct
}'

mkdir -p "$WORK/batch/docs"
for i in $(seq 1 200); do
  "$B/bench_make_sop_docx" "$WORK/batch/docs/SOP-$i.docx" --paragraphs 1500 --tables 20 --seed "$i"
done
one=$(measure "$RUNS" "$BUILD/batchconvert" --src "$WORK/batch/docs" --dst "$WORK/batch/md1" --workers 1)
four=$(measure "$RUNS" "$BUILD/batchconvert" --src "$WORK/batch/docs" --dst "$WORK/batch/md4" --workers 4)
echo
printf 'Batch converter, 200 medium SOPs (%s bytes each, 1500 paragraphs, 20 tables), %s cores:\n' \
  "$(stat -c %s "$WORK/batch/docs/SOP-1.docx")" "$(nproc)"
row "" "time (s)" "cpu (s)" "peak (MiB)"
row "batchconvert --workers 1" "$(field time "$one")" "$(field cpu "$one")" "$(field rss_mib "$one")"
row "batchconvert --workers 4" "$(field time "$four")" "$(field cpu "$four")" "$(field rss_mib "$four")"
awk -v a="$(field time "$one")" -v b="$(field time "$four")" \
  'BEGIN { printf "4 workers are %.2fx faster than 1 (target: at least 1.7x on 2 cores)\n", a / b }'
if ! diff -rq "$WORK/batch/md1" "$WORK/batch/md4" >/dev/null; then
  echo "error: 1 and 4 workers wrote different Markdown" >&2
  exit 1
fi
