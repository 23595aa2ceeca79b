#!/usr/bin/env python3
"""`kesto sections` written plainly in Python, as the yardstick of
bench/markdown/sections.sh: the same heading pattern, hierarchy, collapse and
sections document, printed as two-space-indented JSON with non-ASCII as
itself.

usage: sections.py DOC.json FILE.md
"""
import json
import re
import sys

HEADING_RE = re.compile(r"^(#{1,8})\s+(.+)$", re.MULTILINE)


def split_markdown_hierarchical(md_text, doc_name):
    matches = list(HEADING_RE.finditer(md_text))
    nodes = []
    for i, m in enumerate(matches):
        end = matches[i + 1].start() if i + 1 < len(matches) else len(md_text)
        nodes.append({"level": len(m.group(1)), "title": m.group(2).strip(),
                      "text": md_text[m.start():end].strip(), "children": []})
    roots, stack = [], []
    for node in nodes:
        while stack and stack[-1]["level"] >= node["level"]:
            stack.pop()
        (stack[-1]["children"] if stack else roots).append(node)
        stack.append(node)

    def collapse(node):
        return "\n\n".join([node["text"]] + [collapse(c) for c in node["children"]])

    flat = {}

    def visit(node):
        flat[f"{doc_name}::{node['title']}"] = collapse(node)
        for c in node["children"]:
            visit(c)

    for r in roots:
        visit(r)
    return flat


def main():
    with open(sys.argv[1], encoding="utf-8") as f:
        doc = json.load(f)
    with open(sys.argv[2], encoding="utf-8", newline="") as f:
        md_text = f.read()
    name = doc.get("blob_filename", "")
    doc_name = name.rsplit(".", 1)[0] if "." in name else name
    document = {"qd": doc.get("document_number"), "document": doc_name, "link": doc.get("url_document_name", ""),
                "sections": split_markdown_hierarchical(md_text, doc_name)}
    sys.stdout.write(json.dumps(document, indent=2, ensure_ascii=False))


if __name__ == "__main__":
    main()
