#!/usr/bin/env bash
# The retrieval benchmark, against the local storage emulator and a throwaway
# PostgreSQL, with a deterministic stand-in embedding service:
#  1. quality: the three sample SOPs and nine generated ones go through the
#     real pipeline (`kesto process`, outline summaries, stand-in embeddings);
#     the questions of questions.tsv are asked lexically and hybrid, of the
#     enriched sections and of the same sections without their context
#     prefix; recall@1, recall@5, MRR and the top-20 failure rate are printed;
#  2. latency: SECTIONS synthetic sections (default 100,000) with DIM-
#     dimensional vectors (default 1536, the size of Azure's
#     text-embedding-3-small) are indexed, and lexical, hybrid and vector
#     search latency on one kept Searcher is printed; the same for 1,000
#     sections (searched exactly) to compare;
#  3. the vector index file (from KESTO_ANN_MIN_SECTIONS sections on): the
#     first question of a new process with its file present, again after one
#     document's ten sections changed (the file brought up to date), its
#     peak RSS, and recall@10 against the exact scan over 200 questions.
#
#   bash bench/retrieval/run.sh          SECTIONS=20000 bash bench/retrieval/run.sh
set -euo pipefail
cd "$(dirname "$0")/../.."
SECTIONS=${SECTIONS:-100000}
DIM=${DIM:-1536}
BUILD=${KESTO_BENCH_BUILD:-build-bench}

bash scripts/bootstrap.sh
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTO_BENCH=ON -DKESTO_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j "${JOBS:-2}" --target kesto bench_stand_in_embeddings bench_retrieval >/dev/null
KESTO=$BUILD/kesto

STATE=$(mktemp -d /tmp/kesto-rbench.XXXXXX)
model_pid=""
. scripts/lib/services.sh
cleanup() {
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

export SUMMARY_ENGINE=outline
export AZURE_OPENAI_ENDPOINT="http://127.0.0.1:$(cat "$STATE/model.port")"
export AZURE_OPENAI_KEY=stand-in AZURE_OPENAI_API_VERSION=2024-02-01 OPENAI_EMBEDDING_MODEL=stand-in
export VECTOR_TABLE=bench_enriched
export KESTO_VECTOR_CACHE_DIR="$STATE/cache"

"$KESTO" blob mkcontainer --log-level warning
python3 bench/retrieval/make_corpus.py "$STATE/corpus"
"$KESTO" process "$STATE"/corpus/*.docx --metadata "$STATE/corpus/metadata.csv" >"$STATE/process.txt" 2>"$STATE/process.log" ||
  { cat "$STATE/process.txt" >&2; exit 1; }
tail -n 1 "$STATE/process.txt"
echo
"$BUILD/bench/retrieval/bench_retrieval" quality bench/retrieval/questions.tsv bench_enriched bench_raw
echo
"$BUILD/bench/retrieval/bench_retrieval" latency bench_small 1000 "$DIM"
echo
"$BUILD/bench/retrieval/bench_retrieval" latency bench_latency "$SECTIONS" "$DIM"
echo
"$BUILD/bench/retrieval/bench_retrieval" first bench_latency
"$BUILD/bench/retrieval/bench_retrieval" change bench_latency "$DIM"
"$BUILD/bench/retrieval/bench_retrieval" first bench_latency
"$BUILD/bench/retrieval/bench_retrieval" recall bench_latency "$DIM" 200
