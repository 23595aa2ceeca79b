#!/usr/bin/env bash
# The pipeline's main job on local defaults, in one command:
# installs what is missing, builds in Release, starts the storage emulator and
# a throwaway PostgreSQL, creates the containers and tables, loads the sample
# SOPs of examples/ into the source account and the registry, runs
# `kesto process --pending` with the offline outline summary engine, shows
# where every artefact went and what the conversion of one SOP left out (its
# loss report), then marks one document DELETED, runs again and
# shows that nothing of it is left with its audit trail and deletion receipt,
# checks the stores against the trail of another, and finally asks the index one question
# with `kesto search` and shows the section that answers it. The services are
# stopped at the end
# (pass --keep to leave them running and print their settings, and to start
# `kesto serve` with the web page and print its address and two keys).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
KEEP=0
[ "${1:-}" = "--keep" ] && KEEP=1

say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }

bash scripts/bootstrap.sh
# KESTO_BIN runs an already built kesto instead of building one.
if [ -n "${KESTO_BIN:-}" ]; then
  KESTO=$KESTO_BIN
else
  say "Building (Release)"
  cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTO_TESTS=OFF >/dev/null
  cmake --build build-release -j "$(nproc)" --target kesto
  KESTO=$ROOT/build-release/kesto
fi

STATE=$(mktemp -d /tmp/kesto-local.XXXXXX)
. scripts/lib/services.sh
cleanup() {
  if [ "$KEEP" = 1 ]; then
    echo "Services left running; stop them with:"
    [ -f "$STATE/serve.pid" ] && echo "  kill $(cat "$STATE/serve.pid")   # kesto serve"
    print_stop_commands "$STATE"
    return
  fi
  stop_services "$STATE"
  rm -rf "$STATE"
}
trap cleanup EXIT

say "Starting the storage emulator and PostgreSQL"
start_services "$STATE" scripts/services/azurite.sh scripts/services/postgres.sh
export SUMMARY_ENGINE=outline
export PGSSLMODE=require
[ "$KEEP" = 1 ] && env | grep -E '^(STORAGE_|TOLVAN|PG|SUMMARY_ENGINE)' | grep -vE 'PASSWORD|CONNECTION_STRING' >"$STATE/settings.txt" || true

registry_sql() {
  PGPASSWORD=$TOLVANSTORE_PASSWORD psql -X -q -v ON_ERROR_STOP=1 \
    "host=$TOLVANSTORE_HOST port=$TOLVANSTORE_PORT dbname=$TOLVANSTORE_NAME user=$TOLVANSTORE_USER sslmode=require" "$@"
}
metadata_sql() {
  psql -X -q -v ON_ERROR_STOP=1 "host=$PGHOST port=$PGPORT dbname=$PGDATABASE user=$PGUSER sslmode=require" "$@"
}

say "Creating containers and loading the sample SOPs into the source account and the registry"
"$KESTO" blob mkcontainer "$STORAGE_CONTAINER_NAME"
"$KESTO" blob mkcontainer --source "$TOLVAN_STORAGE_CONTAINER_NAME"
for f in examples/*.docx; do
  "$KESTO" blob put --source "$f" "$(basename "$f")" \
    --content-type application/vnd.openxmlformats-officedocument.wordprocessingml.document
done
# The registry rows come from examples/metadata.csv (RFC 4180, as psql's CSV
# reader takes it), all marked NEW.
registry_sql <<SQL
CREATE TEMP TABLE incoming (blob_filename text, document_name text, document_number text, url_document_name text);
\copy incoming FROM 'examples/metadata.csv' WITH (FORMAT csv, HEADER true)
INSERT INTO $TOLVANSTORE_SCHEMA.$TOLVANSTORE_TABLE
    (blob_filename, kesto_status, document_name, document_number, url_document_name)
  SELECT blob_filename, 'NEW', document_name, document_number, url_document_name FROM incoming
  ON CONFLICT (blob_filename) DO UPDATE SET kesto_status = 'NEW';
SQL
"$KESTO" registry pending --log-level warning

say "Processing the pending documents (log lines: $STATE/run1.log)"
"$KESTO" process --pending 2>"$STATE/run1.log"

say "Where every artefact went"
for folder in kesto-ml-dev-documents kesto-ml-dev-markdown-files kesto-ml-dev-json kesto-ml-dev-enriched-json kesto-ml-dev-summary-files; do
  echo "-- $folder"
  "$KESTO" blob ls "$folder" --log-level warning | sed 's/^/   /'
done
echo "-- metadata table ${PGTABLE:-sop_metadata}"
metadata_sql -c "SELECT document_number, status, stage, round(duration_s::numeric, 2) AS seconds, left(source_etag, 20) AS source_etag FROM ${PGTABLE:-sop_metadata} ORDER BY document_number"
echo "-- vector index ${VECTOR_TABLE:-document_sections}"
metadata_sql -c "SELECT qd_number, count(*) AS sections FROM ${VECTOR_TABLE:-document_sections} GROUP BY qd_number ORDER BY qd_number"

DOC="SOP QD-000958 Cleaning Validation"
say "Sections of '$DOC'"
"$KESTO" blob get "kesto-ml-dev-json/$DOC.sections.json" --log-level warning | head -40
echo "..."
say "Enriched sections of '$DOC'"
"$KESTO" blob get "kesto-ml-dev-enriched-json/$DOC.enriched.json" --log-level warning | head -12
echo "..."
say "Summary of '$DOC'"
"$KESTO" blob get "kesto-ml-dev-summary-files/$DOC.summary.md" --log-level warning

say "What the conversion of '$DOC' left out (its loss report)"
echo "-- as recorded in its metadata row"
metadata_sql -tA -c "SELECT loss_report FROM ${PGTABLE:-sop_metadata} WHERE document_number = 'QD-000958'" | sed 's/^/   /'
echo "-- from kesto convert --report, keys in their fixed order"
"$KESTO" convert "examples/$DOC.docx" -o "$STATE/convert.md" --report 2>&1 | sed 's/^/   /'

say "Marking QD-001204 DELETED in the registry and running again"
registry_sql -c "UPDATE $TOLVANSTORE_SCHEMA.$TOLVANSTORE_TABLE SET kesto_status = 'DELETED' WHERE document_number = 'QD-001204'"
"$KESTO" process --pending 2>"$STATE/run2.log"

say "What is left of QD-001204"
left=0
for folder in kesto-ml-dev-documents kesto-ml-dev-markdown-files kesto-ml-dev-json kesto-ml-dev-enriched-json kesto-ml-dev-summary-files; do
  n=$("$KESTO" blob ls "$folder" --log-level warning | grep -c 'QD-001204' || true)
  echo "   $folder: $n blob(s)"
  left=$((left + n))
done
rows=$(metadata_sql -tA -c "SELECT count(*) FROM ${PGTABLE:-sop_metadata} WHERE document_number = 'QD-001204'")
sections=$(metadata_sql -tA -c "SELECT count(*) FROM ${VECTOR_TABLE:-document_sections} WHERE qd_number = 'QD-001204'")
echo "   metadata rows: $rows, index sections: $sections"
if [ "$left" = 0 ] && [ "$rows" = 0 ] && [ "$sections" = 0 ]; then
  echo "Nothing of QD-001204 is left."
else
  echo "Something of QD-001204 is still there." >&2
  exit 1
fi

say "The audit trail of QD-001204, oldest first"
"$KESTO" audit QD-001204 --log-level warning | sed 's/^/   /'
say "Its deletion receipt (the trail's last event)"
"$KESTO" audit QD-001204 --json --log-level warning | tail -n 1 |
  node -e 'let s="";process.stdin.on("data",d=>s+=d).on("end",()=>console.log(JSON.stringify(JSON.parse(s).detail,null,2)))'
say "The stores checked against the trail of QD-000958"
"$KESTO" audit --verify QD-000958 --log-level warning

QUESTION="What protection is worn when handling caustic agents?"
say "Asking the index: $QUESTION"
"$KESTO" search "$QUESTION" --k 3
say "The answer's section"
"$KESTO" search "$QUESTION" --k 1 --text

# With --keep, the web page on `kesto serve`, with a reader's and an
# operator's key made for this run alone.
if [ "$KEEP" = 1 ]; then
  say "The web page (kesto serve)"
  : >"$STATE/api-keys"
  new_key() {
    local out
    out=$("$KESTO" serve --new-key "$1" "$2")
    printf '%s\n' "$out" | tail -n 1 >>"$STATE/api-keys"
    printf '%s\n' "$out" | sed -n 's/^key (shown once, give it to its holder): //p'
  }
  READER_KEY=$(new_key local-reader reader)
  OPERATOR_KEY=$(new_key local-operator operator)
  KESTO_API_KEYS_FILE=$STATE/api-keys setsid "$KESTO" serve --listen 127.0.0.1:0 \
    </dev/null >"$STATE/serve.out" 2>"$STATE/serve.log" &
  echo $! >"$STATE/serve.pid"
  for _ in $(seq 1 100); do
    grep -q '^listening on ' "$STATE/serve.out" && break
    sleep 0.1
  done
  URL=$(sed -n 's/^listening on //p' "$STATE/serve.out")
  if [ -z "$URL" ]; then
    echo "kesto serve did not start:" >&2
    cat "$STATE/serve.log" >&2
    exit 1
  fi
  echo "Open $URL/ in a browser and sign in with one of these keys (made for this run;"
  echo "the server keeps only their hashes, in $STATE/api-keys):"
  echo "  reader:   $READER_KEY"
  echo "  operator: $OPERATOR_KEY"
  echo "Pages: Overview, Documents, a document's page (from the table), Search."
fi
