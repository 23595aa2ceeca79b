#!/usr/bin/env python3
"""Writes the sample SOPs of examples/ as .docx files (standard library only).

Each document has Heading 1 and Heading 2 paragraphs, numbered and bulleted
list paragraphs, a table with merged cells (horizontal and vertical) and
non-ASCII text, which is what the pipeline's conversion cares about.
Run: python3 examples/make_examples.py [OUTDIR]   (default: examples/)
"""
import os
import sys
import zipfile
from xml.sax.saxutils import escape

W = "http://schemas.openxmlformats.org/wordprocessingml/2006/main"

CONTENT_TYPES = """<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">
<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>
<Default Extension="xml" ContentType="application/xml"/>
<Override PartName="/word/document.xml" ContentType="application/vnd.openxmlformats-officedocument.wordprocessingml.document.main+xml"/>
<Override PartName="/word/styles.xml" ContentType="application/vnd.openxmlformats-officedocument.wordprocessingml.styles+xml"/>
<Override PartName="/word/numbering.xml" ContentType="application/vnd.openxmlformats-officedocument.wordprocessingml.numbering+xml"/>
</Types>"""

ROOT_RELS = """<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">
<Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument" Target="word/document.xml"/>
</Relationships>"""

DOC_RELS = """<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">
<Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/styles" Target="styles.xml"/>
<Relationship Id="rId2" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/numbering" Target="numbering.xml"/>
</Relationships>"""

STYLES = f"""<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<w:styles xmlns:w="{W}">
<w:style w:type="paragraph" w:default="1" w:styleId="Normal"><w:name w:val="Normal"/></w:style>
<w:style w:type="paragraph" w:styleId="Heading1"><w:name w:val="heading 1"/><w:basedOn w:val="Normal"/></w:style>
<w:style w:type="paragraph" w:styleId="Heading2"><w:name w:val="heading 2"/><w:basedOn w:val="Normal"/></w:style>
<w:style w:type="paragraph" w:styleId="ListParagraph"><w:name w:val="List Paragraph"/><w:basedOn w:val="Normal"/></w:style>
<w:style w:type="paragraph" w:styleId="Title"><w:name w:val="Title"/><w:basedOn w:val="Normal"/></w:style>
</w:styles>"""

NUMBERING = f"""<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<w:numbering xmlns:w="{W}">
<w:abstractNum w:abstractNumId="0"><w:lvl w:ilvl="0"><w:start w:val="1"/><w:numFmt w:val="decimal"/><w:lvlText w:val="%1."/></w:lvl></w:abstractNum>
<w:abstractNum w:abstractNumId="1"><w:lvl w:ilvl="0"><w:numFmt w:val="bullet"/><w:lvlText w:val="\u2022"/></w:lvl></w:abstractNum>
<w:num w:numId="1"><w:abstractNumId w:val="0"/></w:num>
<w:num w:numId="2"><w:abstractNumId w:val="1"/></w:num>
</w:numbering>"""


def run(text):
    return f'<w:r><w:t xml:space="preserve">{escape(text)}</w:t></w:r>'


def para(text, style=None, num=None):
    ppr = ""
    if style or num:
        ppr = "<w:pPr>"
        if style:
            ppr += f'<w:pStyle w:val="{style}"/>'
        if num:
            ppr += f'<w:numPr><w:ilvl w:val="0"/><w:numId w:val="{num}"/></w:numPr>'
        ppr += "</w:pPr>"
    return f"<w:p>{ppr}{run(text)}</w:p>"


def cell(text, span=1, vmerge=None):
    tcpr = ""
    if span > 1 or vmerge:
        tcpr = "<w:tcPr>"
        if span > 1:
            tcpr += f'<w:gridSpan w:val="{span}"/>'
        if vmerge == "restart":
            tcpr += '<w:vMerge w:val="restart"/>'
        elif vmerge == "continue":
            tcpr += "<w:vMerge/>"
        tcpr += "</w:tcPr>"
    return f"<w:tc>{tcpr}{para(text)}</w:tc>"


def table(grid_cols, rows):
    grid = "".join('<w:gridCol w:w="2000"/>' for _ in range(grid_cols))
    body = "".join("<w:tr>" + "".join(r) + "</w:tr>" for r in rows)
    return f"<w:tbl><w:tblGrid>{grid}</w:tblGrid>{body}</w:tbl>"


def document(blocks):
    return (f'<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<w:document xmlns:w="{W}"><w:body>'
            + "".join(blocks) + '<w:sectPr/></w:body></w:document>')


def sop(title, number, area, steps, hazards, owner):
    b = [para(f"{title} ({number})", "Title"),
         para("Purpose", "Heading1"),
         para(f"This procedure describes how {area} is carried out at the Kesto site in Malmö and Zürich."),
         para("It applies to every batch released for clinical or commercial supply."),
         para("Scope", "Heading2"),
         para(f"All personnel in {area} follow this procedure; contractors are trained before access."),
         para("Definitions", "Heading2"),
         para("QA: Quality Assurance — approves the record.", None, 2),
         para("µg/cm²: micrograms per square centimetre, the residue limit unit.", None, 2),
         para("Responsibilities", "Heading1"),
         para(f"The {owner} owns this procedure and reviews it every two years."),
         para("Operators perform the steps; QA verifies the result → release.", None, 2),
         para("Procedure", "Heading1"),
         para("Preparation", "Heading2")]
    b += [para(s, None, 1) for s in steps[:3]]
    b.append(para("Execution", "Heading2"))
    b += [para(s, None, 1) for s in steps[3:]]
    b.append(para("Acceptance criteria are listed in the table below (temperatures in °C)."))
    b.append(table(3, [
        [cell("Parameter"), cell("Limit"), cell("Action if exceeded")],
        [cell("Residue", vmerge="restart"), cell("≤ 10 µg/cm²"), cell("Re-clean and re-sample")],
        [cell("", vmerge="continue"), cell("≤ 25 µg/cm² (rinse)"), cell("Open a deviation")],
        [cell("Temperature"), cell("20–25 °C", span=2)],
    ]))
    b.append(para("Safety", "Heading1"))
    b += [para(h, None, 2) for h in hazards]
    b.append(para("Records", "Heading1"))
    b.append(para("Completed forms are archived for ten years; électronique copies are kept in the DMS."))
    return document(b)


DOCS = [
    ("SOP QD-000958 Cleaning Validation.docx", sop(
        "Cleaning Validation of Manufacturing Equipment", "QD-000958", "cleaning validation",
        ["Collect the cleaning agent and the swab kit.", "Check the equipment log for the last product.",
         "Label every swab with the sampling point.", "Swab each sampling point over 25 cm².",
         "Rinse the vessel with purified water and keep the rinse sample.", "Send the samples to the laboratory within 24 h."],
        ["Wear gloves and goggles when handling caustic agents.", "Never enter a vessel without a permit."],
        "Head of Production")),
    ("SOP QD-001204 Batch Record Review.docx", sop(
        "Review of Executed Batch Records", "QD-001204", "batch record review",
        ["Receive the executed batch record from production.", "Confirm that every page is present.",
         "Check the signatures against the training matrix.", "Compare every entry with the master record.",
         "Raise a query for each discrepancy.", "Sign the review page when every query is closed."],
        ["Keep records away from liquids.", "Report a lost page to QA immediately."],
        "QA Manager")),
    ("SOP QD-002317 Deviation Handling.docx", sop(
        "Handling of Deviations", "QD-002317", "deviation handling",
        ["Stop the affected activity safely.", "Secure the material and label it “on hold”.",
         "Inform the supervisor and QA within one hour.", "Record the deviation in the quality system.",
         "Perform the root-cause analysis (5 × why).", "Define corrective and preventive actions."],
        ["Do not discard material on hold.", "Escalate critical deviations to the Qualified Person."],
        "Head of Quality")),
]

REGISTRY = [
    ("SOP QD-000958 Cleaning Validation.docx", "Cleaning Validation of Manufacturing Equipment", "QD-000958"),
    ("SOP QD-001204 Batch Record Review.docx", "Review of Executed Batch Records", "QD-001204"),
    ("SOP QD-002317 Deviation Handling.docx", "Handling of Deviations", "QD-002317"),
]


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    os.makedirs(out, exist_ok=True)
    for name, xml in DOCS:
        with zipfile.ZipFile(os.path.join(out, name), "w", zipfile.ZIP_DEFLATED) as z:
            # Fixed timestamps keep the files identical from run to run.
            def add(arc, data):
                info = zipfile.ZipInfo(arc, date_time=(2026, 1, 1, 0, 0, 0))
                info.compress_type = zipfile.ZIP_DEFLATED
                z.writestr(info, data)
            add("[Content_Types].xml", CONTENT_TYPES)
            add("_rels/.rels", ROOT_RELS)
            add("word/_rels/document.xml.rels", DOC_RELS)
            add("word/styles.xml", STYLES)
            add("word/numbering.xml", NUMBERING)
            add("word/document.xml", xml)
    with open(os.path.join(out, "metadata.csv"), "w", encoding="utf-8", newline="") as f:
        f.write("blob_filename,document_name,document_number,url_document_name\r\n")
        for name, title, number in REGISTRY:
            url = "https://vault.example.invalid/ui/#doc_info/" + number
            f.write(f'"{name}","{title}",{number},{url}\r\n')


if __name__ == "__main__":
    main()
