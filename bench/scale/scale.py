#!/usr/bin/env python3
"""Per-document cost at several library sizes, against a storage emulator of
its own per size and the PostgreSQL of scripts/services/postgres.sh start.

For each size N: a dedicated emulator (azurite-blob, in memory, with both
accounts), a container, metadata table, audit trail and index of their own;
N synthetic documents made in bulk (metadata rows, six audit events and five
index sections each in SQL, five tagged empty artefact blobs each by Put Blob
straight to the emulator, folder by folder over a few kept connections);
then OPS real documents (copies of the sample SOPs) are processed, asked
about, verified with `kesto audit --verify`, planned with `kesto delete
--dry-run` (and `--sweep`) and deleted with `kesto delete --receipt`. Each
step's blob requests go through a counting proxy; its SQL is counted from
the server's statistics (transactions, and sequential and index scans of the
three tables). Any failed step stops the run with a non-zero exit.

    python3 bench/scale/scale.py [--lock FILE]... [--blob-docs M] KESTO SIZES...
                                                  e.g. build/kesto 100 100000

--lock FILE (repeatable) holds an exclusive flock on FILE during each timed
step only (not during the bulk generation), e.g. the build gate's slot locks
so no build shares the processor with a measurement. --blob-docs M writes
artefact blobs for the first M synthetic documents only (all by default):
the emulator's requests slow down with every blob it holds, and its Find
Blobs by Tags reads only the first 5,000 blobs of a container.
"""
import base64
import datetime
import fcntl
import hashlib
import hmac
import http.client
import http.server
import json
import os
import queue
import shutil
import signal
import socket
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
OUTPUT_ACCOUNT, SOURCE_ACCOUNT = "kestoout", "kestosrc"
WRITERS = int(os.environ.get("SCALE_WRITERS", "3"))  # kept connections of the bulk writer
REQUEST_TIMEOUT = 30  # seconds, every request to the emulator
ATTEMPTS = 6  # per bulk request; backoff 0.5, 1, 2, 4, 8 s


def log(message):
    print(f"[{time.strftime('%H:%M:%S')}] {message}", file=sys.stderr, flush=True)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def rss_mib(pid):
    """Resident memory of the process and its children (the emulator runs under a node launcher)."""
    total = 0
    try:
        out = subprocess.run(["ps", "-o", "rss=", "--ppid", str(pid), "-p", str(pid)], capture_output=True,
                             text=True, timeout=10).stdout
        total = sum(int(x) for x in out.split())
    except (OSError, ValueError, subprocess.TimeoutExpired):
        pass
    return round(total / 1024)


class Emulator:
    """A blob emulator of its own: in memory, on a free port, with the output and source accounts."""

    def __init__(self, state):
        self.dir = state
        self.account = OUTPUT_ACCOUNT
        self.key = os.urandom(64)
        source_key = os.urandom(64)
        self.port = free_port()
        env = dict(os.environ, AZURITE_ACCOUNTS=f"{OUTPUT_ACCOUNT}:{base64.b64encode(self.key).decode()};"
                                               f"{SOURCE_ACCOUNT}:{base64.b64encode(source_key).decode()}",
                   # Node's default old-space limit (about 4 GiB here) is below what half a million blob
                   # records need with their indexes; a full heap shows as an emulator that stops answering.
                   NODE_OPTIONS=os.environ.get("SCALE_NODE_OPTIONS", "--max-old-space-size=12288"))
        program = os.path.join(ROOT, "node_modules", ".bin", "azurite-blob")
        if not os.path.exists(program):
            raise RuntimeError(f"{program} is missing: run `npm ci` in {ROOT} (or scripts/services/azurite.sh once)")
        self.log_path = os.path.join(state, "azurite.log")
        self.log_file = open(self.log_path, "wb")
        self.proc = subprocess.Popen(
            [program, "--blobHost", "127.0.0.1", "--blobPort",
             str(self.port), "--inMemoryPersistence", "--extentMemoryLimit", "1024", "--disableTelemetry", "--silent"],
            env=env, stdin=subprocess.DEVNULL, stdout=self.log_file, stderr=subprocess.STDOUT,
            start_new_session=True)
        deadline = time.monotonic() + 60
        while not self.answers(2):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError(f"the emulator did not start: {self.log_tail()}")
            time.sleep(0.2)
        self.endpoint = f"http://127.0.0.1:{self.port}/{OUTPUT_ACCOUNT}"
        self.source_endpoint = f"http://127.0.0.1:{self.port}/{SOURCE_ACCOUNT}"
        self.source_key = source_key

    def connection_string(self, endpoint=None):
        return (f"DefaultEndpointsProtocol=http;AccountName={OUTPUT_ACCOUNT};"
                f"AccountKey={base64.b64encode(self.key).decode()};BlobEndpoint={endpoint or self.endpoint};")

    def source_connection_string(self):
        return (f"DefaultEndpointsProtocol=http;AccountName={SOURCE_ACCOUNT};"
                f"AccountKey={base64.b64encode(self.source_key).decode()};BlobEndpoint={self.source_endpoint};")

    def answers(self, timeout):
        """Whether the emulator gives any HTTP answer within `timeout` seconds."""
        try:
            conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
            conn.request("GET", "/")
            conn.getresponse().read()
            conn.close()
            return True
        except (OSError, http.client.HTTPException):
            return False

    def check(self, what):
        if self.proc.poll() is not None:
            raise RuntimeError(f"the emulator exited ({self.proc.returncode}) during {what}: {self.log_tail()}")
        if not self.answers(20):
            raise RuntimeError(f"the emulator stopped answering during {what} (RSS {rss_mib(self.proc.pid)} MiB): "
                               f"{self.log_tail()}")

    def rss(self):
        return rss_mib(self.proc.pid)

    def log_tail(self):
        self.log_file.flush()
        with open(self.log_path, "rb") as f:
            return f.read()[-2000:].decode(errors="replace")

    def stop(self):
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, 15)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                os.killpg(self.proc.pid, 9)
                self.proc.wait()
        self.log_file.close()


def signed(emu, method, path, headers, body=b"", query=None):
    """The headers of a SharedKey-signed request (path: "/account/container[/blob]", percent-encoded)."""
    h = dict(headers)
    h["x-ms-date"] = datetime.datetime.now(datetime.timezone.utc).strftime("%a, %d %b %Y %H:%M:%S GMT")
    h["x-ms-version"] = "2021-12-02"
    canon = "".join(f"{k}:{v}\n" for k, v in sorted(h.items()) if k.startswith("x-ms-"))
    length = str(len(body)) if body else ""
    resource = f"/{emu.account}{path}" + "".join(f"\n{k}:{v}" for k, v in sorted((query or {}).items()))
    sts = f"{method}\n\n\n{length}\n\n\n\n\n\n\n\n\n{canon}{resource}"
    sig = base64.b64encode(hmac.new(emu.key, sts.encode(), hashlib.sha256).digest()).decode()
    h["Authorization"] = f"SharedKey {emu.account}:{sig}"
    return h


def blob_path(emu, container, name):
    return "/" + emu.account + "/" + urllib.parse.quote(container) + "/" + urllib.parse.quote(name)


def put_blob(emu, conn, container, name, tags):
    """One signed Put Blob of an empty body with x-ms-tags on a kept connection."""
    path = blob_path(emu, container, name)
    h = signed(emu, "PUT", path, {"x-ms-blob-type": "BlockBlob", "x-ms-tags": tags})
    h["Content-Length"] = "0"
    conn.request("PUT", path, body=b"", headers=h)
    r = conn.getresponse()
    r.read()
    if r.status != 201:
        raise RuntimeError(f"put {name}: HTTP {r.status} {r.getheader('x-ms-error-code')}")


def create_container(emu, container):
    path = "/" + emu.account + "/" + container
    conn = http.client.HTTPConnection("127.0.0.1", emu.port, timeout=REQUEST_TIMEOUT)
    try:
        h = signed(emu, "PUT", path, {}, query={"restype": "container"})
        h["Content-Length"] = "0"
        conn.request("PUT", path + "?restype=container", body=b"", headers=h)
        r = conn.getresponse()
        r.read()
        if r.status != 201:
            raise RuntimeError(f"create container {container}: HTTP {r.status}")
    finally:
        conn.close()


def head_status(emu, container, name):
    path = blob_path(emu, container, name)
    conn = http.client.HTTPConnection("127.0.0.1", emu.port, timeout=REQUEST_TIMEOUT)
    try:
        conn.request("HEAD", path, headers=signed(emu, "HEAD", path, {}))
        r = conn.getresponse()
        r.read()
        return r.status
    finally:
        conn.close()


def bulk_blobs(emu, container, n):
    """Five tagged empty artefacts for each of documents 1..n, folder by folder, over WRITERS kept
    connections; each request has a timeout and is retried with backoff when refused, reset or timed out."""
    total = n * len(FOLDERS)
    work = queue.Queue(maxsize=WRITERS * 64)
    done = [0]
    retries = [0]
    failure = []
    lock = threading.Lock()

    def writer():
        conn = None
        while True:
            item = work.get()
            if item is None:
                return
            if failure:
                continue
            name, tags = item
            for attempt in range(ATTEMPTS):
                try:
                    if conn is None:
                        conn = http.client.HTTPConnection("127.0.0.1", emu.port, timeout=REQUEST_TIMEOUT)
                    put_blob(emu, conn, container, name, tags)
                    break
                except (OSError, http.client.HTTPException, RuntimeError) as e:
                    if conn is not None:
                        conn.close()
                        conn = None
                    with lock:
                        retries[0] += 1
                    if attempt == ATTEMPTS - 1 or emu.proc.poll() is not None:
                        failure.append(f"{name}: {e}")
                        break
                    time.sleep(0.5 * 2 ** attempt)
            with lock:
                done[0] += 1

    threads = [threading.Thread(target=writer, daemon=True) for _ in range(WRITERS)]
    for t in threads:
        t.start()
    step = max(1, total // 20)
    start = time.monotonic()
    queued = 0
    for folder, suffix in FOLDERS:
        for i in range(1, n + 1):
            work.put((f"{folder}/SOP QD-{i:06d} Synthetic {i}{suffix}", f"kesto_qd=QD-{i:06d}"))
            queued += 1
            if queued % step == 0:
                if failure:
                    break
                emu.check("the bulk writing")
                log(f"  blobs {queued}/{total} queued, {done[0]} written, {retries[0]} retries, "
                    f"{done[0] / (time.monotonic() - start):.0f}/s, emulator RSS {emu.rss()} MiB")
        if failure:
            break
    for _ in threads:
        work.put(None)
    for t in threads:
        t.join()
    if failure:
        raise RuntimeError(f"bulk writing failed after {done[0]} blobs: {failure[0]}; emulator: {emu.log_tail()}")
    emu.check("the bulk writing")
    # Spot checks: the first and the last document's artefacts are there.
    for i in (1, n):
        for folder, suffix in FOLDERS:
            status = head_status(emu, container, f"{folder}/SOP QD-{i:06d} Synthetic {i}{suffix}")
            if status != 200:
                raise RuntimeError(f"synthetic blob of document {i} in {folder}: HEAD answered {status}")
    return total, retries[0]


class Counter:
    """Blob requests by kind, and the time the emulator took to answer them."""

    def __init__(self):
        self.lock = threading.Lock()
        self.by_kind = {}
        self.upstream_s = 0.0

    def add(self, method, query, seconds):
        q = urllib.parse.parse_qs(query)
        kind = method + (" comp=" + q["comp"][0] if "comp" in q else "")
        with self.lock:
            self.by_kind[kind] = self.by_kind.get(kind, 0) + 1
            self.upstream_s += seconds

    def take(self):
        with self.lock:
            out, self.by_kind = self.by_kind, {}
            seconds, self.upstream_s = self.upstream_s, 0.0
        return out, seconds


COUNTER = Counter()


class Proxy(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def connect(self):
        return http.client.HTTPConnection("127.0.0.1", self.server.upstream_port, timeout=120)

    def forward(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else None
        local = self.server.local
        if not hasattr(local, "conn"):
            local.conn = self.connect()
        headers = {k: v for k, v in self.headers.items() if k.lower() not in ("host", "connection")}
        start = time.monotonic()
        try:
            local.conn.request(self.command, self.path, body=body, headers=headers)
            r = local.conn.getresponse()
        except (http.client.HTTPException, OSError):
            # A kept connection the emulator closed: once more on a new one.
            local.conn.close()
            local.conn = self.connect()
            local.conn.request(self.command, self.path, body=body, headers=headers)
            r = local.conn.getresponse()
        data = r.read()
        COUNTER.add(self.command, urllib.parse.urlsplit(self.path).query, time.monotonic() - start)
        self.send_response(r.status)
        for k, v in r.getheaders():
            if k.lower() not in ("transfer-encoding", "connection", "content-length"):
                self.send_header(k, v)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(data)

    do_GET = do_PUT = do_DELETE = do_HEAD = do_POST = forward


def start_proxy(upstream_port):
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Proxy)
    server.daemon_threads = True
    server.upstream_port = upstream_port
    server.local = threading.local()
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def psql(sql):
    out = subprocess.run(["psql", "-X", "-q", "-At", "-v", "ON_ERROR_STOP=1", "-c", sql], check=True,
                         capture_output=True, text=True)
    return out.stdout.strip()


def sql_stats(tables):
    names = ",".join(f"'{t}'" for t in tables)
    row = psql("SELECT pg_stat_clear_snapshot(); SELECT (SELECT xact_commit + xact_rollback FROM pg_stat_database "
               "WHERE datname = current_database()) || ' ' || coalesce(sum(seq_scan), 0) || ' ' || "
               f"coalesce(sum(idx_scan), 0) FROM pg_stat_user_tables WHERE relname IN ({names})")
    x, s, i = row.split("\n")[-1].split()
    return int(x), int(s), int(i)


class Locks:
    """Exclusive flocks on the given files, held only while a step is timed."""

    def __init__(self, paths):
        self.paths = paths
        self.files = []

    def __enter__(self):
        start = time.monotonic()
        # Each one taken as soon as it is free and kept, rather than waiting on the first while others
        # take the second.
        waiting = [open(path, "a") for path in self.paths]
        while waiting:
            for f in list(waiting):
                try:
                    fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
                except BlockingIOError:
                    continue
                waiting.remove(f)
                self.files.append(f)
            if waiting:
                time.sleep(0.2)
        waited = time.monotonic() - start
        if self.paths and waited > 1:
            log(f"  waited {waited:.0f} s for {', '.join(self.paths)}")
        return self

    def __exit__(self, *exc):
        for f in reversed(self.files):
            fcntl.flock(f, fcntl.LOCK_UN)
            f.close()
        self.files = []


def run_step(name, commands, env, tables, per, locks, emu, check=None):
    """Runs `commands` one after the other; time, requests and SQL per document. Fails on any failed command,
    on a failed `check` of the outputs, or when the emulator stopped answering."""
    with Locks(locks):
        time.sleep(0.6)  # statistics of earlier sessions reach the server
        before = sql_stats(tables)
        COUNTER.take()
        load = os.getloadavg()[0]
        outputs = []
        start = time.monotonic()
        for cmd in commands:
            r = subprocess.run(cmd, env=env, capture_output=True, text=True, timeout=3600)
            if r.returncode != 0:
                raise RuntimeError(f"{name}: {' '.join(cmd)} exited {r.returncode}: {r.stderr[-2000:]}")
            outputs.append(r.stdout)
        seconds = time.monotonic() - start
        requests, upstream_s = COUNTER.take()
        time.sleep(0.6)
        after = sql_stats(tables)
    emu.check(name)
    if check:
        check(outputs)
    result = {"step": name, "ms_per_doc": round(1000 * seconds / per, 1),
              "emulator_ms_per_doc": round(1000 * upstream_s / per, 1),
              "blob_requests_per_doc": round(sum(requests.values()) / per, 2),
              "requests": {k: round(v / per, 2) for k, v in sorted(requests.items())},
              "transactions_per_doc": round((after[0] - before[0]) / per, 1),
              "seq_scans": after[1] - before[1], "index_scans_per_doc": round((after[2] - before[2]) / per, 1),
              "load_before": round(load, 2)}
    log(f"  {name}: {result['ms_per_doc']} ms/doc ({result['emulator_ms_per_doc']} in the emulator), "
        f"{result['blob_requests_per_doc']} requests/doc, load {load:.2f}")
    return result


def run(cmd, env):
    r = subprocess.run(cmd, env=env, capture_output=True, text=True, timeout=600)
    if r.returncode != 0:
        raise RuntimeError(f"{' '.join(cmd)} exited {r.returncode}: {r.stderr[-2000:]}")


def sql_list(values):
    return ", ".join(f"'{v}'" for v in values)


def one_size(kesto, n, blob_docs, work, locks):
    """Makes the library of size n, yields, then measures it and returns the figures (a generator, so that
    every size is made before any is timed and the timed steps follow each other)."""
    tag = f"scale{n}"
    meta, audit, index = f"{tag}_meta", f"{tag}_audit", f"{tag}_idx"
    container = f"scale-{n}"
    state = tempfile.mkdtemp(prefix="emulator.", dir=work)
    log(f"size {n}: starting an emulator of its own")
    emu = Emulator(state)
    proxy = start_proxy(emu.port)
    try:
        env = dict(os.environ, STORAGE_ACCOUNT_CONNECTION_STRING=emu.connection_string(),
                   TOLVAN_STORAGE_ACCOUNT_CONNECTION_STRING=emu.source_connection_string(),
                   STORAGE_CONTAINER_NAME=container, PGTABLE=meta, KESTO_AUDIT_TABLE=audit,
                   VECTOR_TABLE=index, SUMMARY_ENGINE="outline", OPENAI_EMBEDDING_MODEL="")
        proxied = dict(env, STORAGE_ACCOUNT_CONNECTION_STRING=emu.connection_string(
            f"http://127.0.0.1:{proxy.server_address[1]}/{OUTPUT_ACCOUNT}"))
        psql(f"DROP TABLE IF EXISTS {meta}, {audit}, {index}, {index}_generation, {index}_terms")
        subprocess.run(["psql", "-X", "-q", "-v", "ON_ERROR_STOP=1", "-v", f"table={meta}", "-f",
                        os.path.join(ROOT, "sql", "sop_metadata.sql")], check=True, capture_output=True)
        run([kesto, "blob", "mkcontainer", container], env)
        # One real document first makes the audit trail and the index as the program makes them.
        samples = sorted(f for f in os.listdir(os.path.join(ROOT, "examples")) if f.endswith(".docx"))
        first = os.path.join(work, "SOP QD-700000 Warmup.docx")
        shutil.copy(os.path.join(ROOT, "examples", samples[0]), first)
        run([kesto, "process", first], env)

        log(f"size {n}: {n} metadata rows, {6 * n} audit events, {5 * n} index sections")
        t0 = time.monotonic()
        psql(f"""
          INSERT INTO {meta} (document_number, document_name, blob_filename, status, processed_at)
            SELECT 'QD-' || lpad(i::text, 6, '0'), 'Synthetic ' || i, 'SOP QD-' || lpad(i::text, 6, '0') || ' Synthetic ' || i || '.docx',
                   'PROCESSED', now() FROM generate_series(1, {n}) i;
          INSERT INTO {audit} (document_number, action, blob_path, size_bytes, sha256)
            SELECT 'QD-' || lpad(i::text, 6, '0'), CASE WHEN f = 'kesto-ml-dev-documents' THEN 'ingested' ELSE 'artefact_written' END,
                   f || '/SOP QD-' || lpad(i::text, 6, '0') || ' Synthetic ' || i || s, 0,
                   'e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855'
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
        with_blobs = min(n, blob_docs)
        log(f"size {n}: {5 * with_blobs} artefact blobs of {with_blobs} documents")
        t0 = time.monotonic()
        blobs, retries = bulk_blobs(emu, container, with_blobs)
        blobs_s = time.monotonic() - t0
        rss_loaded = emu.rss()
        yield

        files = []
        for k in range(OPS):
            path = os.path.join(work, f"SOP QD-9{k:05d} Bench {n}.docx")
            shutil.copy(os.path.join(ROOT, "examples", samples[k % len(samples)]), path)
            files.append(path)
        qds = [f"QD-9{k:05d}" for k in range(OPS)]
        tables = [meta, audit, index]
        questions = ["how are sampling points swabbed", "who approves a deviation", "batch record review steps",
                     "cleaning validation acceptance criteria", "what is the purpose of the procedure"]

        def processed(_):
            done = int(psql(f"SELECT count(*) FROM {meta} WHERE document_number IN ({sql_list(qds)}) "
                            "AND status = 'PROCESSED'"))
            if done != OPS:
                raise RuntimeError(f"process: {done} of {OPS} documents PROCESSED")

        def answered(outputs):
            empty = sum(1 for o in outputs if not o.strip())
            if empty:
                raise RuntimeError(f"question: {empty} of {len(outputs)} questions printed nothing")

        def written_paths():
            return psql(f"SELECT DISTINCT blob_path FROM {audit} WHERE document_number IN ({sql_list(qds)}) "
                        "AND blob_path IS NOT NULL AND action <> 'deleted'").splitlines()

        steps = [run_step("process", [[kesto, "process", *files, "--log-level", "warning"]], proxied, tables, OPS,
                          locks, emu, processed)]
        paths = written_paths()
        if len(paths) < 5 * OPS:
            raise RuntimeError(f"process: only {len(paths)} artefacts recorded for {OPS} documents")
        steps += [
            run_step("question", [[kesto, "search", questions[k % len(questions)], "--log-level", "warning"]
                                  for k in range(OPS)], proxied, tables, OPS, locks, emu, answered),
            run_step("audit --verify", [[kesto, "audit", "--verify", qd] for qd in qds], proxied, tables, OPS,
                     locks, emu),
            run_step("delete --dry-run", [[kesto, "delete", "--dry-run", *qds, "--log-level", "warning"]], proxied,
                     tables, OPS, locks, emu),
            run_step("delete --dry-run --sweep", [[kesto, "delete", "--dry-run", "--sweep", qds[0],
                                                   "--log-level", "warning"]], proxied, tables, 1, locks, emu),
            run_step("delete --receipt", [[kesto, "delete", "--receipt", *qds, "--log-level", "warning"]], proxied,
                     tables, OPS, locks, emu),
        ]
        left = [p for p in paths if head_status(emu, container, p) != 404]
        if left:
            raise RuntimeError(f"delete --receipt left {len(left)} artefacts, e.g. {left[0]}")
        return {"documents": n, "blob_documents": with_blobs, "blobs": blobs + 6, "bulk_rows_s": round(rows_s, 1),
                "bulk_blobs_s": round(blobs_s, 1), "bulk_retries": retries, "emulator_rss_mib_loaded": rss_loaded,
                "emulator_rss_mib_end": emu.rss(), "steps": steps}
    finally:
        proxy.shutdown()
        emu.stop()
        subprocess.run(["psql", "-X", "-q", "-c", f"DROP TABLE IF EXISTS {meta}, {audit}, {index}, "
                        f"{index}_generation, {index}_terms"], capture_output=True)


def main(argv):
    locks, blob_docs, args = [], 10 ** 9, []
    it = iter(argv)
    for a in it:
        if a == "--lock":
            locks.append(next(it))
        elif a == "--blob-docs":
            blob_docs = int(next(it))
        else:
            args.append(a)
    if len(args) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    kesto = os.path.abspath(args[0])
    results = []
    with tempfile.TemporaryDirectory(prefix="scale.") as work:
        sizes = [one_size(kesto, int(x), blob_docs, work, locks) for x in args[1:]]
        try:
            for size in sizes:
                next(size)
            for size in sizes:
                try:
                    next(size)
                except StopIteration as done:
                    results.append(done.value)
                    print(json.dumps(results[-1]), flush=True)
        finally:
            for size in sizes:
                size.close()
    if len(results) >= 2:
        small, big = results[0], results[-1]
        a_n, b_n = small["documents"], big["documents"]
        print(f"\n| step | ms/doc at {a_n} | ms/doc at {b_n} | ratio | of which the emulator, {a_n} / {b_n} | "
              f"blob requests/doc, {a_n} / {b_n} | transactions/doc | seq scans |")
        print("| --- | --- | --- | --- | --- | --- | --- | --- |")
        for a, b in zip(small["steps"], big["steps"]):
            print(f"| {a['step']} | {a['ms_per_doc']} | {b['ms_per_doc']} | "
                  f"{b['ms_per_doc'] / max(a['ms_per_doc'], 0.1):.2f} | "
                  f"{a['emulator_ms_per_doc']} / {b['emulator_ms_per_doc']} | "
                  f"{a['blob_requests_per_doc']} / {b['blob_requests_per_doc']} | "
                  f"{a['transactions_per_doc']} / {b['transactions_per_doc']} | {a['seq_scans']} / {b['seq_scans']} |")
    return 0


if __name__ == "__main__":
    # Stopped from outside: the emulators and tables still go (the finally clauses run).
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    sys.exit(main(sys.argv[1:]))
