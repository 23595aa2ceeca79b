-- The pipeline's document metadata table: one row per source document, keyed
-- by its QD-number. Apply with
--   psql -v ON_ERROR_STOP=1 [-v table=NAME] -f sql/sop_metadata.sql
-- NAME (default sop_metadata, the PGTABLE setting) is written unquoted, as the
-- metadata store writes it, so give it in lower case; "schema.table" works.
-- Safe to run again: nothing that exists is changed; missing columns are added.
\if :{?table}
\else
  \set table sop_metadata
\endif

CREATE TABLE IF NOT EXISTS :table (
    -- Text, so that registry ids of any kind (numbers, UUIDs) can be copied in
    -- as given; rows inserted without one get a fresh UUID.
    id                text PRIMARY KEY DEFAULT gen_random_uuid()::text,
    document_number   text NOT NULL UNIQUE,
    document_name     text,
    blob_filename     text,
    url_document_name text,
    -- Registry record keys, so a registry record can be upserted as it is.
    file_name         text,
    blob_name         text,
    kesto_status      text,
    -- What the host program records about the last run of the document.
    -- status: PROCESSED, FAILED, ERROR, RUNNING, or QUEUED (waiting on the
    -- work queue of kesto worker).
    status            text,
    stage             text,
    error             text,
    summary           text,
    processed_at      timestamptz,
    duration_s        double precision,
    -- ETag of the source blob last processed: an unchanged document is skipped.
    source_etag       text,
    -- What the last run's indexing did: {"sections", "kept", "embedded", "removed"}.
    index_counts      jsonb,
    -- What the last conversion left out of the document: {"drawings", ...,
    -- "empty_paragraphs"}, every count present (see the README). json, not
    -- jsonb, so that the keys keep their fixed order.
    loss_report       json,
    created_at        timestamptz NOT NULL DEFAULT now()
);
-- Tables made before the column existed get it (quietly when present).
SET client_min_messages = warning;
ALTER TABLE :table ADD COLUMN IF NOT EXISTS index_counts jsonb;
ALTER TABLE :table ADD COLUMN IF NOT EXISTS loss_report json;
-- The two keys a recorded file's artefact names are looked up by (exact,
-- b-tree indexed expressions): the extraction's Markdown name without
-- ".md", and the last path component of the file name without its
-- extension. The program asks with the very same expressions, and makes
-- these indexes itself on a table made before them, on first use.
SELECT regexp_replace(:'table', '^.*\.', '') || '_artefact_stem_idx' AS stem_index,
       regexp_replace(:'table', '^.*\.', '') || '_artefact_doc_stem_idx' AS doc_stem_index \gset
CREATE INDEX IF NOT EXISTS :stem_index ON :table
    ((regexp_replace(regexp_replace(regexp_replace(blob_filename, '/+$', ''), '^.*/', ''), '(.)\.[^.]+$', '\1')));
CREATE INDEX IF NOT EXISTS :doc_stem_index ON :table
    ((regexp_replace(regexp_replace(blob_filename, '\.[^.]*$', ''), '^.*/', '')));
