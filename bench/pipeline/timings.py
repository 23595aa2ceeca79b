#!/usr/bin/env python3
"""Reads the JSON log lines and the per-document output lines of one
`kesto process` run and prints where the time went.

    timings.py throughput LOG OUT DOCS START END LABEL SLOTS
    timings.py overlap LOG OUT

For queue workers, OUT holds the lines of every worker, each line prefixed
with the time it was printed, and END is the time of the last one.

Stage timers ("[label] completed" with duration_ms) carry the document's id,
so lines of several worker processes can be told apart. A document's time
in a throughput run is the time one of the SLOTS documents that run at once
(jobs, or workers x concurrency) is held: wall time x SLOTS / documents."""
import collections
import json
import re
import sys

OWN = {"docx \u2192 markdown", "stamp markdown", "markdown sectioning", "enrich sections"}
STORAGE = {"blob download", "markdown upload", "upload stamped markdown", "json upload",
           "enriched json upload", "summary upload"}
DATABASE = {"Indexing"}
SEQUENTIAL = {"blob download", "docx \u2192 markdown", "markdown upload", "stamp markdown",
              "upload stamped markdown"}
PATH_A = {"markdown sectioning", "json upload", "enrich sections", "enriched json upload", "Indexing"}
PATH_B = {"AI summarization", "summary upload"}


def timers(log):
    """{document_id: {label: seconds}} from the stage timers of a log."""
    per_doc = collections.defaultdict(lambda: collections.defaultdict(float))
    with open(log, encoding="utf-8") as f:
        for line in f:
            try:
                rec = json.loads(line)
            except ValueError:
                continue
            msg = rec.get("message", "")
            if msg.startswith("[") and msg.endswith("] completed") and "duration_ms" in rec:
                label = msg[1:-len("] completed")]
                per_doc[rec.get("document_id", "?")][label] += rec["duration_ms"] / 1000.0
    return per_doc


def document_seconds(out):
    """Seconds per processed document from the program's per-document lines."""
    found = []
    with open(out, encoding="utf-8") as f:
        for line in f:
            m = re.search(r"  PROCESSED  \S+  ([0-9.]+)s", line)
            if m:
                found.append(float(m.group(1)))
    return found


def total(d, labels):
    return sum(v for k, v in d.items() if k in labels)


def mean(values):
    values = list(values)
    return sum(values) / len(values) if values else 0.0


def throughput(log, out, docs, wall, label, slots):
    per_doc = list(timers(log).values())
    own = mean(total(d, OWN) for d in per_doc)
    summary = mean(d.get("AI summarization", 0.0) for d in per_doc)
    storage = mean(total(d, STORAGE) for d in per_doc)
    database = mean(total(d, DATABASE) for d in per_doc)
    stages = mean(total(d, SEQUENTIAL) + max(total(d, PATH_A), total(d, PATH_B)) for d in per_doc)
    doc = wall * slots / docs if docs else 0.0
    ms = lambda v: f"{v * 1000:.0f} ms"
    print(f"{label}: {docs} documents in {wall:.1f} s = {docs / wall:.2f} documents/s, "
          f"{ms(doc)} per document:")
    print(f"    stages {ms(stages)}: the pipeline's own code {ms(own)} (conversion, stamping, sectioning, "
          f"enrichment) + summary {ms(summary)}, storage {ms(storage)}, indexing {ms(database)}; "
          f"paths A and B overlap")
    print(f"    host {ms(max(doc - stages, 0.0))}: source copy, registry and metadata-row reads and writes")


def last_line_time(out):
    """The time stamp of the last PROCESSED line of a workers' output."""
    last = 0.0
    with open(out, encoding="utf-8") as f:
        for line in f:
            if "  PROCESSED  " in line:
                last = max(last, float(line.split(" ", 1)[0]))
    return last


def overlap(log, out):
    per_doc = list(timers(log).values())
    seq = mean(total(d, SEQUENTIAL) for d in per_doc)
    a = mean(total(d, PATH_A) for d in per_doc)
    b = mean(total(d, PATH_B) for d in per_doc)
    both_max = mean(total(d, SEQUENTIAL) + max(total(d, PATH_A), total(d, PATH_B)) for d in per_doc)
    both_sum = mean(total(d, SEQUENTIAL) + total(d, PATH_A) + total(d, PATH_B) for d in per_doc)
    doc = mean(document_seconds(out))
    print(f"{len(per_doc)} documents, model answering after 1 s: extraction and stamping {seq:.2f} s, "
          f"path A {a:.2f} s, path B {b:.2f} s per document")
    print(f"    document time {doc:.2f} s; extraction + max(A, B) = {both_max:.2f} s, "
          f"extraction + A + B = {both_sum:.2f} s")
    print(f"    (the document time also holds the source copy and the metadata row)")


if __name__ == "__main__":
    if sys.argv[1] == "throughput":
        throughput(sys.argv[2], sys.argv[3], int(sys.argv[4]), float(sys.argv[6]) - float(sys.argv[5]), sys.argv[7],
                   int(sys.argv[8]))
    elif sys.argv[1] == "last":
        print(f"{last_line_time(sys.argv[2]):.3f}")
    else:
        overlap(sys.argv[2], sys.argv[3])
