#!/usr/bin/env bash
# End-to-end throughput of the pipeline against the local storage emulator
# and a throwaway PostgreSQL, with the offline outline summary engine:
# N medium SOPs (default 200) registered as NEW, then
# `kesto process --pending` with --jobs 1 and with --jobs 2 (forced, so the
# second run does the same work). Prints documents per second for each and
# the share of wall time the documents spent inside the pipeline's own code
# (conversion, stamping, sectioning, enrichment, summary) versus waiting on
# storage and the database, taken from the stages' timed log lines. Then,
# with a stand-in model that answers after 1 s, shows that a document takes
# about max(path A, path B) after extraction, not their sum.
#
#   bash bench/pipeline/run.sh            DOCS=50 bash bench/pipeline/run.sh
set -euo pipefail
cd "$(dirname "$0")/../.."
DOCS=${DOCS:-200}
BUILD=${KESTO_BENCH_BUILD:-build-bench}

bash scripts/bootstrap.sh
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTO_BENCH=ON -DKESTO_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j 2 --target kesto bench_make_sop_docx bench_slow_model >/dev/null
KESTO=$BUILD/kesto

STATE=$(mktemp -d /tmp/kesto-pbench.XXXXXX)
WORK=$STATE/docs
mkdir -p "$WORK"
. scripts/lib/services.sh
trap 'stop_services "$STATE"; rm -rf "$STATE"' EXIT
start_services "$STATE" scripts/services/azurite.sh scripts/services/postgres.sh
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
  local jobs=$1 start end
  start=$(date +%s.%N)
  "$KESTO" process --pending --force --jobs "$jobs" >"$STATE/out-$jobs.txt" 2>"$STATE/run-$jobs.log"
  end=$(date +%s.%N)
  python3 bench/pipeline/timings.py throughput "$STATE/run-$jobs.log" "$STATE/out-$jobs.txt" "$DOCS" "$start" "$end" "$jobs"
}
echo "Pipeline benchmark: $DOCS medium SOPs (400 paragraphs, 6 tables), outline summaries, local emulator"
run 1
run 2

# Path A and path B overlap: a model that takes 1 s per summary, and
# documents large enough that path A takes a noticeable time too.
OVERLAP_DOCS=${OVERLAP_DOCS:-8}
"$BUILD/bench/pipeline/bench_slow_model" --port-file "$STATE/model.port" --delay 1 &
model_pid=$!
trap 'kill $model_pid 2>/dev/null || true; cleanup' EXIT
for _ in $(seq 50); do [ -s "$STATE/model.port" ] && break; sleep 0.1; done
files=()
for i in $(seq 1 "$OVERLAP_DOCS"); do
  f="$WORK/SOP $(printf 'QD-9%05d' "$i") Overlap.docx"
  "$BUILD/bench/bench_make_sop_docx" "$f" --paragraphs 20000 --tables 200 >/dev/null
  files+=("$f")
done
echo
echo "Overlap of the two paths: $OVERLAP_DOCS large SOPs (20000 paragraphs, 200 tables), --jobs 1"
SUMMARY_ENGINE=azure-openai AZURE_OPENAI_ENDPOINT="http://127.0.0.1:$(cat "$STATE/model.port")" \
  AZURE_OPENAI_KEY=bench-key OPENAI_SUMMARY_MODEL=bench \
  "$KESTO" process "${files[@]}" >"$STATE/out-overlap.txt" 2>"$STATE/run-overlap.log"
python3 bench/pipeline/timings.py overlap "$STATE/run-overlap.log" "$STATE/out-overlap.txt"
