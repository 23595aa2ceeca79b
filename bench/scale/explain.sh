#!/usr/bin/env bash
# The plans of every per-document statement of the host, the worker, the
# audit trail and the index, on tables of ROWS documents (default 200,000):
# a metadata table made by sql/sop_metadata.sql, an audit trail with six
# events per document, an index with five sections per document. Prints
# each statement's plan (EXPLAIN ANALYZE, inside a transaction that is
# rolled back) and fails when one reads a table with a sequential scan.
#
#   eval "$(bash scripts/services/postgres.sh start /tmp/kpg)"
#   bash bench/scale/explain.sh [ROWS]
set -euo pipefail
ROWS=${1:-200000}
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
META=scale_meta AUDIT=scale_audit INDEX=scale_idx
psql=(psql -X -q -v ON_ERROR_STOP=1)
"${psql[@]}" -c "DROP TABLE IF EXISTS $META, $AUDIT, $INDEX"
"${psql[@]}" -v table=$META -f "$ROOT/sql/sop_metadata.sql" >/dev/null
# The audit trail and the index as the program makes them.
"${psql[@]}" <<SQL
CREATE TABLE $AUDIT (id bigserial PRIMARY KEY, recorded_at timestamptz NOT NULL DEFAULT clock_timestamp(),
  host_user text, machine text, document_number text NOT NULL, action text NOT NULL, blob_path text,
  size_bytes bigint, sha256 text, etag text, source_etag text, index_rows bigint, pipeline_version text, detail jsonb);
CREATE INDEX ${AUDIT}_document_number_idx ON $AUDIT (document_number, id);
CREATE INDEX ${AUDIT}_blob_path_idx ON $AUDIT (blob_path, id);
CREATE TABLE $INDEX (qd_number text NOT NULL, section_key text NOT NULL, section_index integer NOT NULL,
  document_name text, link text, enriched_text text NOT NULL, embedding real[], indexed_at timestamptz NOT NULL DEFAULT now(),
  content_sha256 text, embedding_model text, search_vector tsvector, own_text text, context_text text,
  PRIMARY KEY (qd_number, section_key));
CREATE INDEX ${INDEX}_qd_upper_idx ON $INDEX (upper(qd_number));
INSERT INTO $META (document_number, document_name, blob_filename, status, processed_at)
  SELECT 'QD-' || lpad(i::text, 6, '0'), 'Title ' || i, 'SOP QD-' || lpad(i::text, 6, '0') || ' Title ' || i || '.docx',
         'PROCESSED', now() FROM generate_series(1, $ROWS) i;
INSERT INTO $AUDIT (document_number, action, blob_path, size_bytes, sha256)
  SELECT 'QD-' || lpad(i::text, 6, '0'), a, f || '/SOP QD-' || lpad(i::text, 6, '0') || ' Title ' || i || s, 100, 'x'
  FROM generate_series(1, $ROWS) i,
       (VALUES ('ingested', 'kesto-ml-dev-documents', '.docx'), ('artefact_written', 'kesto-ml-dev-markdown-files', '.md'),
               ('artefact_written', 'kesto-ml-dev-json', '.sections.json'),
               ('artefact_written', 'kesto-ml-dev-enriched-json', '.enriched.json'),
               ('artefact_written', 'kesto-ml-dev-summary-files', '.summary.md')) AS e(a, f, s);
INSERT INTO $INDEX (qd_number, section_key, section_index, enriched_text)
  SELECT 'QD-' || lpad(i::text, 6, '0'), 'k' || j, j, 'text' FROM generate_series(1, $ROWS) i, generate_series(1, 5) j;
ANALYZE $META; ANALYZE $AUDIT; ANALYZE $INDEX;
SQL
QD=QD-$(printf '%06d' $((ROWS / 2)))
FILE="SOP $QD Title $((ROWS / 2)).docx"
STEM="${FILE%.docx}"
# The two artefact key expressions, as sql/sop_metadata.sql indexes them.
STEM_SQL="regexp_replace(regexp_replace(regexp_replace(blob_filename, '/+\$', ''), '^.*/', ''), '(.)\\.[^.]+\$', '\\1')"
DOC_STEM_SQL="regexp_replace(regexp_replace(blob_filename, '\\.[^.]*\$', ''), '^.*/', '')"
plans=$(mktemp)
explain() {  # name, statement
  printf '### %s\n' "$1" >>"$plans"
  "${psql[@]}" -At -c "BEGIN" -c "EXPLAIN (ANALYZE, COSTS OFF, TIMING OFF, SUMMARY OFF) $2" -c "ROLLBACK" >>"$plans"
}
explain "metadata row of a document (host: read, get, upsert's lookup)" \
  "SELECT status, source_etag FROM $META WHERE document_number = '$QD'"
explain "metadata row update (host: mark, outcome; deletion: DELETION_PENDING)" \
  "UPDATE $META SET status = 'RUNNING' WHERE document_number = '$QD' RETURNING *"
explain "metadata row delete (deletion)" "DELETE FROM $META WHERE document_number = '$QD' RETURNING *"
explain "files with the same artefact names (ingest collision check; deletion's other documents' claims)" \
  "WITH k AS (SELECT ARRAY(SELECT jsonb_array_elements_text('[\"$STEM\", \"$STEM\"]'::jsonb)) AS keys)
   SELECT document_number, blob_filename FROM $META, k WHERE (($STEM_SQL) = ANY (k.keys) OR ($DOC_STEM_SQL) = ANY (k.keys))
   AND upper(document_number) <> 'QD-1' ORDER BY document_number"
explain "the same, as it was (leading-wildcard LIKE)" \
  "SELECT document_number, blob_filename FROM $META WHERE upper(document_number) <> 'QD-1' AND EXISTS (SELECT 1 FROM
   jsonb_array_elements_text('[\"%$STEM%\"]'::jsonb) AS p(pattern) WHERE blob_filename LIKE p.pattern)"
explain "audit trail of a document (deletion, audit, receipt)" \
  "SELECT * FROM $AUDIT WHERE document_number = '$QD' ORDER BY id"
explain "live owners of candidate paths (deletion's other documents' claims)" \
  "SELECT w.blob_path, w.document_number FROM (SELECT DISTINCT ON (blob_path) blob_path, document_number, id
   FROM $AUDIT WHERE blob_path = ANY (ARRAY(SELECT jsonb_array_elements_text('[\"kesto-ml-dev-markdown-files/$STEM.md\"]'::jsonb)))
   AND action IN ('ingested', 'artefact_written') ORDER BY blob_path, id DESC) w
   WHERE NOT EXISTS (SELECT 1 FROM $AUDIT d WHERE d.blob_path = w.blob_path
   AND d.document_number = w.document_number AND d.action = 'deleted' AND d.id > w.id)"
explain "index sections of a document (count, read, re-index's old rows)" \
  "SELECT section_key, content_sha256 FROM $INDEX WHERE upper(qd_number) = upper('$QD') ORDER BY section_index"
explain "index sections delete (deletion, re-index)" \
  "DELETE FROM $INDEX WHERE upper(qd_number) = upper('$QD') AND section_key NOT IN (SELECT jsonb_array_elements('[]'::jsonb)->>0)"
cat "$plans"
# The old LIKE statement is shown for comparison only.
if awk '/^### /{old = /as it was/} /Seq Scan on/ && !old {bad = 1} END {exit !bad}' "$plans"; then
  echo "explain.sh: a per-document statement reads a table sequentially" >&2
  exit 1
fi
"${psql[@]}" -c "DROP TABLE IF EXISTS $META, $AUDIT, $INDEX"
