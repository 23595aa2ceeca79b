#!/usr/bin/env bash
# The browser tests of the web page: starts its own storage emulator and
# PostgreSQL, runs the sample SOPs of examples/ through the real pipeline,
# adds rows of every status (names and errors written to be hostile), changes
# one artefact behind the pipeline's back, makes a reader and an operator key,
# starts `kesto serve` on a free port and drives Debian's Chromium over it
# with puppeteer-core (tests/web/browser_test.mjs).
#
#   bash tests/web/run.sh KESTO_BINARY [OUTPUT_FOLDER]
#
# Screenshots go to OUTPUT_FOLDER (default build-test/web-test). Exit 0 when
# every test passed.
set -euo pipefail
cd "$(dirname "$0")/../.."
ROOT=$PWD
KESTO=$(realpath "${1:?usage: tests/web/run.sh KESTO_BINARY [OUTPUT_FOLDER]}")
OUT=$(mkdir -p "${2:-$ROOT/build-test/web-test}" && realpath "${2:-$ROOT/build-test/web-test}")
export PUPPETEER_SKIP_DOWNLOAD=1
if [ ! -e node_modules/puppeteer-core/package.json ] || [ ! -e node_modules/.bin/azurite ]; then
  npm ci --no-audit --no-fund --loglevel=error >&2
fi
CHROMIUM=${KESTO_CHROMIUM:-/usr/bin/chromium}
[ -x "$CHROMIUM" ] || { echo "web tests: $CHROMIUM is missing (scripts/bootstrap.sh installs chromium)" >&2; exit 1; }

STATE=$(mktemp -d /tmp/kesto-web.XXXXXX)
. scripts/lib/services.sh
SERVE_PID=
cleanup() {
  if [ -n "$SERVE_PID" ]; then kill -TERM "$SERVE_PID" 2>/dev/null || true; wait "$SERVE_PID" 2>/dev/null || true; fi
  stop_services "$STATE"
  rm -rf "$STATE"
}
trap cleanup EXIT
start_services "$STATE" scripts/services/azurite.sh scripts/services/postgres.sh >&2
export SUMMARY_ENGINE=outline PGSSLMODE=require
metadata_sql() {
  psql -X -q -v ON_ERROR_STOP=1 "host=$PGHOST port=$PGPORT dbname=$PGDATABASE user=$PGUSER sslmode=require" "$@"
}

echo "web tests: processing the sample SOPs" >&2
"$KESTO" blob mkcontainer "$STORAGE_CONTAINER_NAME" >&2
"$KESTO" process examples/*.docx --metadata examples/metadata.csv --log-level warning >"$STATE/process.out" 2>&1 ||
  { cat "$STATE/process.out" >&2; exit 1; }

# Rows of every status, 130 of them so that the documents page has three
# pages of 50; some names, errors and links are markup or script meant to run.
metadata_sql <<'SQL'
INSERT INTO sop_metadata (document_number, document_name, blob_filename, url_document_name, status, stage, error, processed_at, duration_s)
SELECT format('QD-9%s', lpad(i::text, 5, '0')),
       CASE WHEN i % 10 = 3 THEN format('<img src=x onerror="window.__kestoPwned=%s"> Hostile **name** %s', i, i)
            ELSE format('Synthetic SOP %s', i) END,
       format('Synthetic SOP QD-9%s.docx', lpad(i::text, 5, '0')),
       CASE WHEN i % 10 = 3 THEN 'javascript:window.__kestoPwned=1' ELSE 'https://vault.example.invalid/ui/#doc' END,
       (ARRAY['PROCESSED','FAILED','ERROR','QUEUED','RUNNING'])[1 + i % 5],
       CASE WHEN i % 5 IN (1, 2) THEN 'extraction' END,
       CASE WHEN i % 5 = 1 THEN format('not a Word file <script>window.__kestoPwned=%s</script>', i)
            WHEN i % 5 = 2 THEN 'storage did not answer' END,
       now() - make_interval(mins => i * 20),
       i / 10.0
FROM generate_series(1, 130) AS i;
SQL

# An artefact changed behind the pipeline's back.
SUMMARY_BLOB="kesto-ml-dev-summary-files/SOP QD-000958 Cleaning Validation.summary.md"
printf '# Cleaning Validation\n\nChanged by hand.\n' >"$STATE/changed.md"
"$KESTO" blob put "$STATE/changed.md" "$SUMMARY_BLOB" --log-level critical >&2

# What the page should show, read from the database the server reads.
export KESTO_WEB_COUNTS=$(metadata_sql -tA -c "SELECT json_object_agg(status, n) FROM (SELECT status, count(*) AS n FROM sop_metadata GROUP BY status) s")
export KESTO_WEB_LOSS=$(metadata_sql -tA -c "SELECT loss_report FROM sop_metadata WHERE document_number = 'QD-000958'")
export KESTO_WEB_CHANGED_BLOB=$SUMMARY_BLOB

new_key() {  # NAME ROLE -> the key on stdout, its line appended to the keys file
  local out
  out=$("$KESTO" serve --new-key "$1" "$2")
  printf '%s\n' "$out" | tail -n 1 >>"$STATE/keys"
  printf '%s\n' "$out" | sed -n 's/^key (shown once, give it to its holder): //p'
}
: >"$STATE/keys"
export KESTO_WEB_READER_KEY=$(new_key web-reader reader)
export KESTO_WEB_OPERATOR_KEY=$(new_key web-operator operator)
export KESTO_API_KEYS_FILE=$STATE/keys

"$KESTO" serve --listen 127.0.0.1:0 --log-level warning >"$STATE/serve.out" 2>"$STATE/serve.log" &
SERVE_PID=$!
for _ in $(seq 1 300); do
  grep -q '^listening on ' "$STATE/serve.out" && break
  kill -0 "$SERVE_PID" 2>/dev/null || { cat "$STATE/serve.log" >&2; exit 1; }
  sleep 0.1
done
export KESTO_WEB_URL=$(sed -n 's/^listening on //p' "$STATE/serve.out")
[ -n "$KESTO_WEB_URL" ] || { echo "web tests: kesto serve did not start" >&2; cat "$STATE/serve.log" >&2; exit 1; }
echo "web tests: kesto serve at $KESTO_WEB_URL, screenshots in $OUT" >&2

export KESTO_WEB_OUT=$OUT KESTO_CHROMIUM=$CHROMIUM
set +e
node --test tests/web/browser_test.mjs
rc=$?
set -e
if [ "$rc" -ne 0 ]; then
  echo "web tests: the server's log:" >&2
  tail -n 40 "$STATE/serve.log" >&2
fi
exit "$rc"
