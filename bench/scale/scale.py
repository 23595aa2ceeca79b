#!/usr/bin/env python3
"""Per-document cost at two library sizes, against the local emulator and
PostgreSQL (the environment of scripts/services/*.sh start).

For each size N: a container, metadata table, audit trail and index of
their own; N synthetic documents made in bulk (metadata rows, six audit
events and five index sections each in SQL, five tagged artefact blobs each
by parallel Put Blob requests straight to the emulator); then OPS real
documents (copies of the sample SOPs) are processed, asked about, verified
with `kesto audit --verify`, planned with `kesto delete --dry-run` and
deleted with `kesto delete --receipt`. Each step's blob requests go through
a counting proxy; its SQL is counted from the server's statistics
(transactions, and sequential and index scans of the three tables).

    python3 bench/scale/scale.py KESTO SIZES...     e.g. build/kesto 100 20000
"""
import base64
import concurrent.futures
import datetime
import hashlib
import hmac
import http.client
import http.server
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
OPS = int(os.environ.get("OPS", "20"))
FOLDERS = [("kesto-ml-dev-documents", ".docx"), ("kesto-ml-dev-markdown-files", ".md"),
           ("kesto-ml-dev-json", ".sections.json"), ("kesto-ml-dev-enriched-json", ".enriched.json"),
           ("kesto-ml-dev-summary-files", ".summary.md")]


def connection():
    parts = dict(p.split("=", 1) for p in os.environ["STORAGE_ACCOUNT_CONNECTION_STRING"].split(";") if p)
    return parts["AccountName"], base64.b64decode(parts["AccountKey"]), parts["BlobEndpoint"].rstrip("/")


ACCOUNT, KEY, ENDPOINT = connection()
UPSTREAM = urllib.parse.urlsplit(ENDPOINT)


def put_blob(conn, container, name, body, tags):
    """One signed Put Blob with x-ms-tags on a kept connection."""
    path = "/" + ACCOUNT + "/" + urllib.parse.quote(container) + "/" + urllib.parse.quote(name)
    date = datetime.datetime.now(datetime.timezone.utc).strftime("%a, %d %b %Y %H:%M:%S GMT")
    h = {"x-ms-date": date, "x-ms-version": "2021-12-02", "x-ms-blob-type": "BlockBlob", "x-ms-tags": tags}
    canon = "".join(f"{k}:{v}\n" for k, v in sorted(h.items()))
    sts = f"PUT\n\n\n{len(body)}\n\n\n\n\n\n\n\n\n{canon}/{ACCOUNT}{path}"
    sig = base64.b64encode(hmac.new(KEY, sts.encode(), hashlib.sha256).digest()).decode()
    h["Authorization"] = f"SharedKey {ACCOUNT}:{sig}"
    conn.request("PUT", path, body=body, headers=h)
    r = conn.getresponse()
    r.read()
    if r.status != 201:
        raise RuntimeError(f"put {name}: {r.status}")


def bulk_blobs(container, docs):
    names = [(f"{folder}/SOP QD-{i:06d} Synthetic {i}{suffix}", f"kesto_qd=QD-{i:06d}")
             for i in docs for folder, suffix in FOLDERS]
    local = threading.local()

    def one(item):
        for attempt in range(3):
            if not hasattr(local, "conn"):
                local.conn = http.client.HTTPConnection(UPSTREAM.hostname, UPSTREAM.port, timeout=60)
            try:
                put_blob(local.conn, container, item[0], b"synthetic artefact", item[1])
                return
            except (OSError, http.client.HTTPException):
                del local.conn
                if attempt == 2:
                    raise

    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        list(pool.map(one, names, chunksize=256))
    return len(names)


class Counter:
    def __init__(self):
        self.lock = threading.Lock()
        self.by_kind = {}

    def add(self, method, query):
        q = urllib.parse.parse_qs(query)
        kind = method + (" comp=" + q["comp"][0] if "comp" in q else "")
        with self.lock:
            self.by_kind[kind] = self.by_kind.get(kind, 0) + 1

    def take(self):
        with self.lock:
            out, self.by_kind = self.by_kind, {}
        return out


COUNTER = Counter()


class Proxy(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def forward(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else None
        COUNTER.add(self.command, urllib.parse.urlsplit(self.path).query)
        if not hasattr(self.server, "local"):
            self.server.local = threading.local()
        local = self.server.local
        if not hasattr(local, "conn"):
            local.conn = http.client.HTTPConnection(UPSTREAM.hostname, UPSTREAM.port, timeout=120)
        headers = {k: v for k, v in self.headers.items() if k.lower() not in ("host", "connection")}
        try:
            local.conn.request(self.command, self.path, body=body, headers=headers)
            r = local.conn.getresponse()
        except (http.client.HTTPException, OSError):
            local.conn = http.client.HTTPConnection(UPSTREAM.hostname, UPSTREAM.port, timeout=120)
            local.conn.request(self.command, self.path, body=body, headers=headers)
            r = local.conn.getresponse()
        data = r.read()
        self.send_response(r.status)
        for k, v in r.getheaders():
            if k.lower() not in ("transfer-encoding", "connection", "content-length"):
                self.send_header(k, v)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(data)

    do_GET = do_PUT = do_DELETE = do_HEAD = do_POST = forward


def start_proxy():
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Proxy)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server.server_address[1]


def psql(sql, db_env=None):
    out = subprocess.run(["psql", "-X", "-q", "-At", "-v", "ON_ERROR_STOP=1", "-c", sql], check=True,
                         capture_output=True, text=True, env=db_env or os.environ)
    return out.stdout.strip()


def sql_stats(tables):
    names = ",".join(f"'{t}'" for t in tables)
    row = psql("SELECT pg_stat_clear_snapshot(); SELECT (SELECT xact_commit + xact_rollback FROM pg_stat_database "
               "WHERE datname = current_database()) || ' ' || coalesce(sum(seq_scan), 0) || ' ' || "
               f"coalesce(sum(idx_scan), 0) FROM pg_stat_user_tables WHERE relname IN ({names})")
    x, s, i = row.split("\n")[-1].split()
    return int(x), int(s), int(i)


def run_step(name, commands, env, tables, per):
    """Runs `commands` one after the other; time, requests and SQL per document."""
    time.sleep(0.6)  # statistics of earlier sessions reach the server
    before = sql_stats(tables)
    COUNTER.take()
    start = time.monotonic()
    for cmd in commands:
        r = subprocess.run(cmd, env=env, capture_output=True, text=True)
        if r.returncode != 0:
            raise RuntimeError(f"{name}: {' '.join(cmd)} exited {r.returncode}: {r.stderr[-2000:]}")
    seconds = time.monotonic() - start
    requests = COUNTER.take()
    time.sleep(0.6)
    after = sql_stats(tables)
    return {"step": name, "ms_per_doc": round(1000 * seconds / per, 1),
            "blob_requests_per_doc": round(sum(requests.values()) / per, 2),
            "requests": {k: round(v / per, 2) for k, v in sorted(requests.items())},
            "transactions_per_doc": round((after[0] - before[0]) / per, 1),
            "seq_scans": after[1] - before[1], "index_scans_per_doc": round((after[2] - before[2]) / per, 1)}


def one_size(kesto, n, work):
    tag = f"scale{n}"
    meta, audit, index = f"{tag}_meta", f"{tag}_audit", f"{tag}_idx"
    container = f"scale-{n}-{int(time.time())}"
    env = dict(os.environ, STORAGE_CONTAINER_NAME=container, PGTABLE=meta, KESTO_AUDIT_TABLE=audit,
               VECTOR_TABLE=index, SUMMARY_ENGINE="outline", OPENAI_EMBEDDING_MODEL="")
    proxied = dict(env, STORAGE_ACCOUNT_CONNECTION_STRING=os.environ["STORAGE_ACCOUNT_CONNECTION_STRING"].replace(
        f"BlobEndpoint={ENDPOINT}", f"BlobEndpoint=http://127.0.0.1:{PROXY_PORT}/{ACCOUNT}"))
    psql(f"DROP TABLE IF EXISTS {meta}, {audit}, {index}, {index}_generation, {index}_terms")
    subprocess.run(["psql", "-X", "-q", "-v", "ON_ERROR_STOP=1", "-v", f"table={meta}", "-f",
                    os.path.join(ROOT, "sql", "sop_metadata.sql")], check=True, capture_output=True)
    subprocess.run([kesto, "blob", "mkcontainer", container], env=env, check=True)
    # One real document first makes the audit trail and the index as the program makes them.
    samples = sorted(f for f in os.listdir(os.path.join(ROOT, "examples")) if f.endswith(".docx"))
    first = os.path.join(work, "SOP QD-700000 Warmup.docx")
    shutil.copy(os.path.join(ROOT, "examples", samples[0]), first)
    subprocess.run([kesto, "process", first], env=env, check=True, capture_output=True)

    synthetic = range(1, n + 1)
    t0 = time.monotonic()
    psql(f"""
      INSERT INTO {meta} (document_number, document_name, blob_filename, status, processed_at)
        SELECT 'QD-' || lpad(i::text, 6, '0'), 'Synthetic ' || i, 'SOP QD-' || lpad(i::text, 6, '0') || ' Synthetic ' || i || '.docx',
               'PROCESSED', now() FROM generate_series(1, {n}) i;
      INSERT INTO {audit} (document_number, action, blob_path, size_bytes, sha256)
        SELECT 'QD-' || lpad(i::text, 6, '0'), CASE WHEN f = 'kesto-ml-dev-documents' THEN 'ingested' ELSE 'artefact_written' END,
               f || '/SOP QD-' || lpad(i::text, 6, '0') || ' Synthetic ' || i || s, 18, 'x'
        FROM generate_series(1, {n}) i, (VALUES {", ".join(f"('{f}', '{s}')" for f, s in FOLDERS)}) AS e(f, s);
      INSERT INTO {audit} (document_number, action, index_rows) SELECT 'QD-' || lpad(i::text, 6, '0'), 'indexed', 5
        FROM generate_series(1, {n}) i;
      INSERT INTO {index} (qd_number, section_key, section_index, document_name, link, enriched_text, own_text,
                           context_text, content_sha256, search_vector)
        SELECT 'QD-' || lpad(i::text, 6, '0'), 'k' || j, j, 'Synthetic ' || i, '',
               'Section ' || j || ' of synthetic procedure ' || i || ' on equipment cleaning and batch records',
               'Section ' || j, 'Synthetic ' || i, md5(i::text || j),
               to_tsvector('english', 'Section ' || j || ' of synthetic procedure ' || i || ' on equipment cleaning')
        FROM generate_series(1, {n}) i, generate_series(1, 5) j;
      ANALYZE {meta}; ANALYZE {audit}; ANALYZE {index};""")
    rows_s = time.monotonic() - t0
    t0 = time.monotonic()
    blobs = bulk_blobs(container, synthetic)
    blobs_s = time.monotonic() - t0

    files = []
    for k in range(OPS):
        path = os.path.join(work, f"SOP QD-9{k:05d} Bench {n}.docx")
        shutil.copy(os.path.join(ROOT, "examples", samples[k % len(samples)]), path)
        files.append(path)
    qds = [f"QD-9{k:05d}" for k in range(OPS)]
    tables = [meta, audit, index]
    questions = ["how are sampling points swabbed", "who approves a deviation", "batch record review steps",
                 "cleaning validation acceptance criteria", "what is the purpose of the procedure"]
    steps = [
        run_step("process", [[kesto, "process", *files, "--log-level", "warning"]], proxied, tables, OPS),
        run_step("question", [[kesto, "search", questions[k % len(questions)], "--log-level", "warning"]
                              for k in range(OPS)], proxied, tables, OPS),
        run_step("audit --verify", [[kesto, "audit", "--verify", qd] for qd in qds], proxied, tables, OPS),
        run_step("delete --dry-run", [[kesto, "delete", "--dry-run", *qds, "--log-level", "warning"]], proxied,
                 tables, OPS),
        run_step("delete --dry-run --sweep", [[kesto, "delete", "--dry-run", "--sweep", qds[0],
                                               "--log-level", "warning"]], proxied, tables, 1),
        run_step("delete --receipt", [[kesto, "delete", "--receipt", *qds, "--log-level", "warning"]], proxied,
                 tables, OPS),
    ]
    subprocess.run(["psql", "-X", "-q", "-c", f"DROP TABLE IF EXISTS {meta}, {audit}, {index}, {index}_generation, "
                    f"{index}_terms"], capture_output=True)
    return {"documents": n, "blobs": blobs + 5, "bulk_rows_s": round(rows_s, 1), "bulk_blobs_s": round(blobs_s, 1),
            "steps": steps}


if __name__ == "__main__":
    kesto = os.path.abspath(sys.argv[1])
    PROXY_PORT = start_proxy()
    results = []
    with tempfile.TemporaryDirectory() as work:
        for n in [int(x) for x in sys.argv[2:]]:
            results.append(one_size(kesto, n, work))
            print(json.dumps(results[-1]), flush=True)
    if len(results) == 2:
        small, big = results
        print(f"\n| step | ms/doc at {small['documents']} | ms/doc at {big['documents']} | ratio | blob requests/doc "
              f"at {small['documents']} / {big['documents']} | transactions/doc | seq scans |")
        print("| --- | --- | --- | --- | --- | --- | --- |")
        for a, b in zip(small["steps"], big["steps"]):
            print(f"| {a['step']} | {a['ms_per_doc']} | {b['ms_per_doc']} | {b['ms_per_doc'] / max(a['ms_per_doc'], 0.1):.2f} | "
                  f"{a['blob_requests_per_doc']} / {b['blob_requests_per_doc']} | "
                  f"{a['transactions_per_doc']} / {b['transactions_per_doc']} | {a['seq_scans']} / {b['seq_scans']} |")
