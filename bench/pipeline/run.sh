#!/usr/bin/env bash
# End-to-end throughput of the pipeline against the local storage emulator
# and a throwaway PostgreSQL: N medium SOPs (default 200) registered as NEW,
# then, with the offline outline summary engine,
#   `kesto process --pending --force --jobs J` for J in JOBS (default 1 2 4 8)
#   `kesto enqueue --pending --force` and W `kesto worker --concurrency 4`
#   processes at once for W in WORKERS (default 1 2 4)
# and the same again with a stand-in model that answers every summary after
# 1 s (MODEL_DOCS documents, default N). Prints documents per second for each
# and where a document's time goes (the pipeline's own code, storage,
# indexing, the host), from the stages' timed log lines. Then shows that a
# document takes about max(path A, path B) after extraction, not their sum.
#
#   bash bench/pipeline/run.sh            DOCS=50 MODEL_DOCS=50 bash bench/pipeline/run.sh
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

JOBS=${JOBS:-"1 2 4 8"}
WORKERS=${WORKERS:-"1 2 4"}
MODEL_DOCS=${MODEL_DOCS:-$DOCS}
export KESTO_QUEUE=bench-documents

# Every run indexes every section afresh, as the first run does: a re-run
# of unchanged documents would keep their index rows and do less.
fresh_index() {
  psql -X -q -v ON_ERROR_STOP=1 "host=$PGHOST port=$PGPORT dbname=$PGDATABASE user=$PGUSER sslmode=require" \
    -c "DROP TABLE IF EXISTS ${VECTOR_TABLE:-document_sections}" 2>/dev/null
}

# `kesto process --jobs J` over the whole registry (forced: every run does the same work).
run() {
  local jobs=$1 tag=$2 start end
  fresh_index
  start=$(date +%s.%N)
  "$KESTO" process --pending --force --jobs "$jobs" >"$STATE/out-$tag-$jobs.txt" 2>"$STATE/run-$tag-$jobs.log" ||
    { echo "process --jobs $jobs failed for some documents:"; grep -v '  PROCESSED  ' "$STATE/out-$tag-$jobs.txt" | head -5; }
  end=$(date +%s.%N)
  python3 bench/pipeline/timings.py throughput "$STATE/run-$tag-$jobs.log" "$STATE/out-$tag-$jobs.txt" \
    "$(grep -c '  PROCESSED  ' "$STATE/out-$tag-$jobs.txt")" "$start" "$end" "process --jobs $jobs" "$jobs"
}

# W queue workers of concurrency 4 at once on the queued registry; the time
# runs from their start to the last document's line (the idle wait at the
# end is not counted).
workers() {
  local n=$1 tag=$2 start end i pids=()
  "$KESTO" enqueue --pending --force --log-level warning >"$STATE/enqueue-$tag-$n.txt" 2>"$STATE/enqueue-$tag-$n.log"
  fresh_index
  : >"$STATE/out-$tag-w$n.txt"
  start=$(date +%s.%N)
  for i in $(seq 1 "$n"); do
    "$KESTO" worker --concurrency 4 --idle-exit 2 2>>"$STATE/run-$tag-w$n.log" |
      python3 -u -c 'import sys, time
for line in sys.stdin: print(f"{time.time():.3f} {line}", end="", flush=True)' >>"$STATE/out-$tag-w$n.txt" &
    pids+=($!)
  done
  wait "${pids[@]}"
  end=$(python3 bench/pipeline/timings.py last "$STATE/out-$tag-w$n.txt")
  python3 bench/pipeline/timings.py throughput "$STATE/run-$tag-w$n.log" "$STATE/out-$tag-w$n.txt" \
    "$(grep -c '  PROCESSED  ' "$STATE/out-$tag-w$n.txt")" "$start" "$end" "$n kesto worker --concurrency 4" "$((n * 4))"
}

echo "Pipeline benchmark: $DOCS medium SOPs (400 paragraphs, 6 tables), outline summaries, local emulator"
for j in $JOBS; do run "$j" outline; done
for w in $WORKERS; do workers "$w" outline; done

"$BUILD/bench/pipeline/bench_slow_model" --port-file "$STATE/model.port" --delay 1 &
model_pid=$!
trap 'kill $model_pid 2>/dev/null || true; stop_services "$STATE"; rm -rf "$STATE"' EXIT
for _ in $(seq 50); do [ -s "$STATE/model.port" ] && break; sleep 0.1; done
export AZURE_OPENAI_ENDPOINT="http://127.0.0.1:$(cat "$STATE/model.port")" AZURE_OPENAI_KEY=bench-key \
  OPENAI_SUMMARY_MODEL=bench

# The first MODEL_DOCS documents only: the registry keeps the others, as NEW.
if [ "$MODEL_DOCS" -lt "$DOCS" ]; then
  PGPASSWORD=$TOLVANSTORE_PASSWORD psql -X -q -v ON_ERROR_STOP=1 \
    "host=$TOLVANSTORE_HOST port=$TOLVANSTORE_PORT dbname=$TOLVANSTORE_NAME user=$TOLVANSTORE_USER sslmode=require" \
    -c "UPDATE $TOLVANSTORE_SCHEMA.$TOLVANSTORE_TABLE SET kesto_status = 'PROCESSED' WHERE document_number > '$(printf 'QD-%06d' "$MODEL_DOCS")'"
fi
echo
echo "The same with a stand-in model answering every summary after 1 s: $MODEL_DOCS documents"
for j in $JOBS; do SUMMARY_ENGINE=azure-openai run "$j" model; done
for w in $WORKERS; do SUMMARY_ENGINE=azure-openai workers "$w" model; done

# Path A and path B overlap: a model that takes 1 s per summary, and
# documents large enough that path A takes a noticeable time too.
OVERLAP_DOCS=${OVERLAP_DOCS:-8}
files=()
for i in $(seq 1 "$OVERLAP_DOCS"); do
  f="$WORK/SOP $(printf 'QD-9%05d' "$i") Overlap.docx"
  "$BUILD/bench/bench_make_sop_docx" "$f" --paragraphs 20000 --tables 200 >/dev/null
  files+=("$f")
done
echo
echo "Overlap of the two paths: $OVERLAP_DOCS large SOPs (20000 paragraphs, 200 tables), --jobs 1"
SUMMARY_ENGINE=azure-openai "$KESTO" process "${files[@]}" >"$STATE/out-overlap.txt" 2>"$STATE/run-overlap.log"
python3 bench/pipeline/timings.py overlap "$STATE/run-overlap.log" "$STATE/out-overlap.txt"
