#!/usr/bin/env python3
"""Deterministic SOP-like Markdown of about SIZE MiB on standard output:
numbered headings of levels 1 to 4 about every 600 bytes, a metadata block,
paragraphs, lists and small tables, some non-ASCII text.

usage: make_sop_md.py SIZE_MIB
"""
import sys

WORDS = ["the", "operator", "shall", "verify", "batch", "record", "cleaning", "validation", "deviation",
         "approved", "procedure", "equipment", "according", "to", "quality", "assurance", "sample",
         "temperature", "must", "be", "documented", "in", "the", "logbook", "Prüfung", "Qualität", "résumé",
         "→", "≤ 25 °C", "and", "within", "limits"]
TITLES = ["Purpose", "Scope", "Responsibilities", "Definitions", "Procedure", "Training", "References",
          "Records", "Change history", "Annex"]


class Rng:
    def __init__(self):
        self.s = 0x9E3779B97F4A7C15

    def below(self, n):
        s = self.s
        s ^= (s << 13) & 0xFFFFFFFFFFFFFFFF
        s ^= s >> 7
        s ^= (s << 17) & 0xFFFFFFFFFFFFFFFF
        self.s = s
        return (s >> 11) % n


def sentence(rng):
    words = [WORDS[rng.below(len(WORDS))] for _ in range(8 + rng.below(14))]
    return (words[0][:1].upper() + words[0][1:] + " " + " ".join(words[1:])).rstrip() + "."


def main():
    target = int(float(sys.argv[1]) * 1024 * 1024)
    rng = Rng()
    out = ["<!-- METADATA_START -->\n## Metadata\n\n- **Document Name:** Cleaning of production equipment\n"
           "- **Document Number:** QD-000958\n- **Veeva Link:** https://veeva.example/doc/958\n"
           "<!-- METADATA_END -->\n\n"]
    size = len(out[0].encode())
    n = [0, 0, 0, 0]
    while size < target:
        pick = rng.below(10)
        if n[0] == 0 or pick == 0:
            level = 1
        elif pick < 5 or n[1] == 0:
            level = 2
        elif pick < 8 or n[2] == 0:
            level = 3
        else:
            level = 4
        n[level - 1] += 1
        for k in range(level, 4):
            n[k] = 0
        number = ".".join(str(x) for x in n[:level])
        part = ["#" * level + " " + number + " " + TITLES[rng.below(len(TITLES))] + "\n\n"]
        kind = rng.below(4)
        if kind == 0:
            part += ["- " + sentence(rng) + "\n" for _ in range(2 + rng.below(4))] + ["\n"]
        elif kind == 1:
            part.append("| Step | Action | Check |\n| --- | --- | --- |\n")
            part += [f"| {i + 1} | {sentence(rng)} | ☐ |\n" for i in range(2 + rng.below(3))] + ["\n"]
        part += [sentence(rng) + " " + sentence(rng) + "\n\n" for _ in range(1 + rng.below(3))]
        text = "".join(part)
        out.append(text)
        size += len(text.encode())
    sys.stdout.write("".join(out))


if __name__ == "__main__":
    main()
