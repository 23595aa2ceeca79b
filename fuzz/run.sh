#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in their own build folder (only
# the targets and the pure transformations they link) and runs each for
# SECONDS (default 60), seeded from the shared corpus. Exits non-zero when a
# target does not build or a run ends in a finding (crash, leak, timeout,
# out of memory, sanitizer report); the finding is kept under
# $BUILD/findings/<target>/.
#   bash fuzz/run.sh [SECONDS]
# BUILD (default build-fuzz) names the build folder; KESTO_CORPUS the corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
SECONDS_PER_TARGET=${1:-60}
BUILD=${BUILD:-build-fuzz}

bash scripts/bootstrap.sh

# The shared corpus lies beside the repository, or beside the folder of its
# worktrees (as scripts/test.sh finds it).
if [ -z "${KESTO_CORPUS:-}" ]; then
  KESTO_CORPUS=$ROOT/../shared/corpus
  [ -d "$KESTO_CORPUS" ] || [ ! -d "$ROOT/../../shared/corpus" ] || KESTO_CORPUS=$ROOT/../../shared/corpus
fi
if [ ! -d "$KESTO_CORPUS/docx" ]; then
  echo "fuzz: no corpus at $KESTO_CORPUS/docx (set KESTO_CORPUS)" >&2
  exit 2
fi

cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DKESTO_FUZZ=ON -DKESTO_TESTS=OFF -DKESTO_BENCH=OFF >/dev/null
cmake --build "$BUILD" --target kesto_fuzzers -j "${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"

WORK=$(mktemp -d /tmp/kesto-fuzz.XXXXXX)
trap 'rm -rf "$WORK"' EXIT

# Seeds of docx_xml_fuzzer: the main document part of every corpus package.
mkdir -p "$WORK/xml-seeds"
python3 - "$KESTO_CORPUS/docx" "$WORK/xml-seeds" <<'PY'
import pathlib, sys, zipfile
src, dst = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
for i, f in enumerate(sorted(src.rglob("*"))):
    if not f.is_file():
        continue
    try:
        with zipfile.ZipFile(f) as z:
            names = {n.lower(): n for n in z.namelist()}
            if "word/document.xml" in names:
                (dst / f"{i:04d}-{f.stem}.xml").write_bytes(z.read(names["word/document.xml"]))
    except (zipfile.BadZipFile, OSError, RuntimeError, ValueError):
        pass
PY

run_target() {
  local name=$1 max_len=$2
  shift 2
  local exe findings=$ROOT/$BUILD/findings/$name
  exe=$(find "$BUILD" -name "$name" -type f -perm -u+x | head -n1)
  mkdir -p "$WORK/$name" "$findings"
  echo "fuzz: $name for ${SECONDS_PER_TARGET}s" >&2
  # New inputs go into the first (scratch) folder; the seeds are only read.
  if ! "$exe" "$WORK/$name" "$@" -max_total_time="$SECONDS_PER_TARGET" -max_len="$max_len" -timeout=10 \
      -rss_limit_mb=2048 -artifact_prefix="$findings/" -print_final_stats=1 >"$WORK/$name.log" 2>&1; then
    tail -n 60 "$WORK/$name.log" >&2
    echo "fuzz: $name found a problem; the input is in $findings/" >&2
    return 1
  fi
  grep -E '^(Done|stat::number_of_executed_units)' "$WORK/$name.log" >&2 || true
}

status=0
run_target docx_fuzzer 200000 "$KESTO_CORPUS"/docx/* "$KESTO_CORPUS/bad" || status=1
run_target docx_xml_fuzzer 100000 "$WORK/xml-seeds" || status=1
exit $status
