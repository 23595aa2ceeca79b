#!/usr/bin/env bash
# End-to-end throughput of the pipeline against the local storage emulator
# and a throwaway PostgreSQL, with the offline outline summary engine:
# N medium SOPs (default 200) registered as NEW, then
# `kesto process --pending` with --jobs 1 and with --jobs 2 (forced, so the
# second run does the same work). Prints documents per second for each and
# the share of wall time the documents spent inside the pipeline's own code
# (conversion, stamping, sectioning, enrichment, summary) versus waiting on
# storage and the database, taken from the stages' timed log lines.
#
#   bash bench/pipeline/run.sh            DOCS=50 bash bench/pipeline/run.sh
set -euo pipefail
cd "$(dirname "$0")/../.."
DOCS=${DOCS:-200}
BUILD=${KESTO_BENCH_BUILD:-build-bench}

bash scripts/bootstrap.sh
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTO_BENCH=ON -DKESTO_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j 2 --target kesto bench_make_sop_docx >/dev/null
KESTO=$BUILD/kesto

STATE=$(mktemp -d /tmp/kesto-pbench.XXXXXX)
WORK=$STATE/docs
mkdir -p "$WORK"
started=()
cleanup() {
  for ((i = ${#started[@]} - 1; i >= 0; i--)); do bash "${started[$i]}" stop "$STATE" || true; done
  rm -rf "$STATE"
}
trap cleanup EXIT
for svc in scripts/services/azurite.sh scripts/services/postgres.sh; do
  started+=("$svc")
  eval "$(bash "$svc" start "$STATE")"
done
export SUMMARY_ENGINE=outline

"$KESTO" blob mkcontainer --log-level warning
"$KESTO" blob mkcontainer --source --log-level warning
sql="BEGIN;"
for i in $(seq 1 "$DOCS"); do
  n=$(printf 'QD-%06d' "$i")
  f="SOP $n Bench.docx"
  "$BUILD/bench/bench_make_sop_docx" "$WORK/$f" --paragraphs 400 --tables 6 >/dev/null
  "$KESTO" blob put --source "$WORK/$f" "$f" --log-level warning
  sql+="INSERT INTO $TOLVANSTORE_SCHEMA.$TOLVANSTORE_TABLE (blob_filename, kesto_status, document_name, document_number, url_document_name) VALUES ('$f', 'NEW', 'Bench $n', '$n', 'https://dms.example/$n');"
done
sql+="COMMIT;"
PGPASSWORD=$TOLVANSTORE_PASSWORD psql -X -q -v ON_ERROR_STOP=1 \
  "host=$TOLVANSTORE_HOST port=$TOLVANSTORE_PORT dbname=$TOLVANSTORE_NAME user=$TOLVANSTORE_USER sslmode=require" -c "$sql"

run() {
  local jobs=$1 log=$STATE/run-$1.log start end
  start=$(date +%s.%N)
  "$KESTO" process --pending --force --jobs "$jobs" >"$STATE/out-$jobs.txt" 2>"$log"
  end=$(date +%s.%N)
  python3 - "$log" "$DOCS" "$start" "$end" "$jobs" <<'PY'
import json, sys
log, docs, start, end, jobs = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), float(sys.argv[4]), sys.argv[5]
own = {"docx → markdown", "markdown sectioning", "enrichment"}
inside = 0.0
for line in open(log, encoding="utf-8"):
    try:
        rec = json.loads(line)
    except ValueError:
        continue
    msg = rec.get("message", "")
    if msg.endswith("] completed") and "duration_ms" in rec:
        label = msg[1:-len("] completed")]
        if label in own:
            inside += rec["duration_ms"] / 1000.0
wall = end - start
print(f"--jobs {jobs}: {docs} documents in {wall:.1f} s = {docs / wall:.2f} documents/s; "
      f"pipeline's own code {inside / docs * 1000:.0f} ms/document, "
      f"the rest of {wall / docs * int(jobs) * 1000:.0f} ms/document per worker waits on storage and the database")
PY
}
echo "Pipeline benchmark: $DOCS medium SOPs (400 paragraphs, 6 tables), outline summaries, local emulator"
run 1
run 2
