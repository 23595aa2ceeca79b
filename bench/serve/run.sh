#!/usr/bin/env bash
# The HTTP door's benchmark, against the local storage emulator and a
# throwaway PostgreSQL with the stand-in embedding service of
# bench/retrieval: an index of SECTIONS synthetic sections (default 100,000,
# made as bench/retrieval makes its latency index) is asked QUESTIONS
# questions (default 200) through GET /api/search of one `kesto serve`, at
# 1, 8 and 64 clients at once (CLIENTS), lexical and hybrid; then CLI_QUESTIONS
# of them (default 20) through one `kesto search` process each, for scale.
#
#   bash bench/serve/run.sh          SECTIONS=20000 bash bench/serve/run.sh
set -euo pipefail
cd "$(dirname "$0")/../.."
SECTIONS=${SECTIONS:-100000}
DIM=${DIM:-1536}
QUESTIONS=${QUESTIONS:-200}
CLI_QUESTIONS=${CLI_QUESTIONS:-20}
CLIENTS=${CLIENTS:-"1 8 64"}
BUILD=${KESTO_BENCH_BUILD:-build-bench}

bash scripts/bootstrap.sh
if [ -z "${KESTO_BENCH_NO_BUILD:-}" ]; then
  cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTO_BENCH=ON -DKESTO_TESTS=OFF >/dev/null
  cmake --build "$BUILD" -j "${JOBS:-2}" --target kesto bench_stand_in_embeddings bench_retrieval bench_serve >/dev/null
fi
KESTO=$BUILD/kesto

STATE=$(mktemp -d /tmp/kesto-sbench.XXXXXX)
model_pid="" serve_pid=""
. scripts/lib/services.sh
cleanup() {
  [ -z "$serve_pid" ] || kill "$serve_pid" 2>/dev/null || true
  [ -z "$model_pid" ] || kill "$model_pid" 2>/dev/null || true
  stop_services "$STATE"
  rm -rf "$STATE"
}
trap cleanup EXIT
start_services "$STATE" scripts/services/azurite.sh scripts/services/postgres.sh

"$BUILD/bench/retrieval/bench_stand_in_embeddings" --port-file "$STATE/model.port" --dim "$DIM" &
model_pid=$!
for _ in $(seq 1 100); do [ -s "$STATE/model.port" ] && break; sleep 0.1; done
[ -s "$STATE/model.port" ] || { echo "the stand-in embedding service did not start" >&2; exit 1; }
export AZURE_OPENAI_ENDPOINT="http://127.0.0.1:$(cat "$STATE/model.port")"
export AZURE_OPENAI_KEY=stand-in AZURE_OPENAI_API_VERSION=2024-02-01 OPENAI_EMBEDDING_MODEL=stand-in
export VECTOR_TABLE=bench_serve

# The index (filled by the retrieval benchmark's latency run, which also
# prints the library's own latency on one Searcher for comparison).
"$BUILD/bench/retrieval/bench_retrieval" latency bench_serve "$SECTIONS" "$DIM" 20
# Questions of 2 to 5 words drawn from the index's own text.
psql -X -q -At "host=$PGHOST port=$PGPORT dbname=$PGDATABASE user=$PGUSER sslmode=require" -c \
  "SELECT array_to_string((regexp_split_to_array(own_text, '\s+'))[3:3 + (id_hash % 4)], ' ')
     FROM (SELECT own_text, abs(hashtext(section_key)) AS id_hash FROM bench_serve ORDER BY section_key LIMIT $QUESTIONS) s" \
  | tr -cd 'a-z \n' | awk 'NF >= 2' >"$STATE/questions.txt"
echo "$(wc -l <"$STATE/questions.txt") questions"

"$KESTO" serve --new-key bench reader >"$STATE/new-key"
KEY=$(sed -n 's/^key (shown once, give it to its holder): //p' "$STATE/new-key")
tail -n 1 "$STATE/new-key" >"$STATE/api-keys"
export KESTO_API_KEYS_FILE=$STATE/api-keys KESTO_SERVE_THREADS=${SERVE_THREADS:-16}
"$KESTO" serve --listen 127.0.0.1:0 --log-level warning >"$STATE/serve.out" 2>"$STATE/serve.err" &
serve_pid=$!
for _ in $(seq 1 100); do grep -q listening "$STATE/serve.out" 2>/dev/null && break; sleep 0.1; done
PORT=$(sed -n 's/.*127.0.0.1:\([0-9]*\).*/\1/p' "$STATE/serve.out")
[ -n "$PORT" ] || { cat "$STATE/serve.err" >&2; exit 1; }

echo
echo "GET /api/search, $SECTIONS sections, k = 10 (KESTO_SERVE_THREADS=$KESTO_SERVE_THREADS):"
echo
echo "| mode | clients | questions | questions/s | median ms | p95 ms | p99 ms | failures |"
echo "| --- | --- | --- | --- | --- | --- | --- | --- |"
for mode in lexical hybrid; do
  # One warm-up round: the first hybrid question loads the vectors.
  "$BUILD/bench/serve/bench_serve" "$PORT" "$KEY" "$mode" 1 <(head -n 2 "$STATE/questions.txt") >/dev/null
  for c in $CLIENTS; do
    "$BUILD/bench/serve/bench_serve" "$PORT" "$KEY" "$mode" "$c" "$STATE/questions.txt"
  done
done

echo
echo "The same questions through one 'kesto search' process each ($CLI_QUESTIONS of them):"
for mode in lexical hybrid; do
  start=$(date +%s.%N)
  head -n "$CLI_QUESTIONS" "$STATE/questions.txt" | while read -r q; do
    "$KESTO" search --"$mode" --json --k 10 -- $q >/dev/null
  done
  end=$(date +%s.%N)
  awk -v s="$start" -v e="$end" -v n="$CLI_QUESTIONS" -v m="$mode" \
    'BEGIN { printf "| %s | kesto search | %d | %.2f questions/s | %.0f ms each |\n", m, n, n / (e - s), (e - s) * 1000 / n }'
done
