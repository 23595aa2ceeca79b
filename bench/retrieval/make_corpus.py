#!/usr/bin/env python3
"""Writes the retrieval benchmark's corpus: the three sample SOPs of
examples/ and nine more SOPs generated with the same template (their own
areas, steps, hazards and owners), as .docx files, with a metadata.csv for
`kesto process FILES --metadata`.

Run: python3 bench/retrieval/make_corpus.py OUTDIR
"""
import os
import sys
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples"))
import make_examples as ex  # noqa: E402

MORE = [
    ("QD-003101", "Equipment Calibration", "Calibration of Laboratory Balances", "balance calibration",
     ["Retrieve the calibration certificate of the reference weights.", "Warm up the balance for thirty minutes.",
      "Record the ambient temperature and humidity.", "Weigh the certified test weights at three points.",
      "Compare each reading with the tolerance in the calibration plan.",
      "Attach a calibration label with the next due date."],
     ["Handle test weights with tongs, never with bare hands.", "Keep the balance room door closed during measurement."],
     "Metrology Engineer"),
    ("QD-003455", "Cleanroom Gowning", "Gowning for Grade B Cleanrooms", "cleanroom gowning",
     ["Remove jewellery and wash hands with soap.", "Put on the hair cover and the beard mask.",
      "Step over the bench into the gowning room.", "Put on the sterile coverall without touching the floor.",
      "Pull on the second pair of sterile gloves.", "Check the gown in the mirror before entering grade B."],
     ["Leave the cleanroom at once if you feel unwell.", "Never wear a gown that has touched the floor."],
     "Sterility Assurance Lead"),
    ("QD-004020", "Environmental Monitoring", "Environmental Monitoring of Classified Areas", "environmental monitoring",
     ["Place settle plates at the marked locations.", "Expose each plate for four hours.",
      "Sample the air with the active air sampler at one cubic metre.",
      "Incubate the plates at 30–35 °C for three days.", "Count the colony forming units on each plate.",
      "Trend the counts monthly against alert and action levels."],
     ["Disinfect the sampler head between locations.", "Do not open incubators during a power failure."],
     "Microbiology Manager"),
    ("QD-004512", "Change Control", "Change Control of GMP Systems", "change control",
     ["Describe the proposed change and its reason.",
      "Assess the impact on validated systems and the marketing authorisation.",
      "Obtain approval from the change control board.", "Implement the change according to the action plan.",
      "Verify the effectiveness of the change after three months.", "Close the change record in the quality system."],
     ["Do not implement any change before approval.", "Inform regulatory affairs about changes with filing impact."],
     "Change Control Coordinator"),
    ("QD-005230", "Supplier Qualification", "Qualification of Suppliers", "supplier qualification",
     ["Send the supplier the quality questionnaire.", "Review the supplier's certificates and audit history.",
      "Perform an on-site audit for critical suppliers.", "Sign a quality agreement with the supplier.",
      "Add the supplier to the approved supplier list.", "Requalify the supplier every three years."],
     ["Do not order from suppliers missing from the approved list.", "Wear safety shoes during audits in warehouses."],
     "Supplier Quality Manager"),
    ("QD-005876", "Stability Testing", "Stability Testing of Finished Products", "stability testing",
     ["Place the samples in the stability chamber at 25 °C and 60 % relative humidity.",
      "Pull samples at 3, 6, 12 and 24 months.", "Test assay and degradation products by HPLC.",
      "Compare the results with the acceptance criteria.",
      "Report out-of-limit results within one working day.", "Compile the annual stability report."],
     ["Do not switch off chamber alarms.", "Use the fume hood when preparing solvents."],
     "Stability Coordinator"),
    ("QD-006140", "Complaint Handling", "Handling of Customer Complaints", "complaint handling",
     ["Log the customer complaint within one working day.", "Request the returned sample from the customer.",
      "Investigate the retained sample of the same batch.", "Decide whether a recall must be considered.",
      "Answer the customer in writing within thirty days.",
      "Trend complaints quarterly by product and defect type."],
     ["Treat returned samples as potentially contaminated.",
      "Never destroy a returned sample before the investigation ends."],
     "Complaints Officer"),
    ("QD-006702", "Pest Control", "Pest Control in Production Buildings", "pest control",
     ["Inspect the bait stations every two weeks.", "Record each sighting of insects or rodents.",
      "Replace the glue boards of the insect light traps.", "Seal gaps around doors and pipes.",
      "Call the pest control contractor for any infestation.", "Review the pest trend report every quarter."],
     ["Never place rodenticide inside production areas.", "Wear gloves when emptying traps."],
     "Facility Manager"),
    ("QD-007315", "Water System Sanitisation", "Sanitisation of the Purified Water System", "water system sanitisation",
     ["Drain the purified water loop.", "Heat the loop to 80 °C for one hour.",
      "Flush the points of use for five minutes each.",
      "Take samples for total organic carbon and conductivity.",
      "Test the samples for endotoxins and microbial count.",
      "Release the water system for use after acceptable results."],
     ["Beware of hot water and steam at the points of use.", "Lock out the pump before opening any valve housing."],
     "Utilities Engineer"),
]


def write_docx(path, xml):
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        def add(arc, data):
            info = zipfile.ZipInfo(arc, date_time=(2026, 1, 1, 0, 0, 0))
            info.compress_type = zipfile.ZIP_DEFLATED
            z.writestr(info, data)
        add("[Content_Types].xml", ex.CONTENT_TYPES)
        add("_rels/.rels", ex.ROOT_RELS)
        add("word/_rels/document.xml.rels", ex.DOC_RELS)
        add("word/styles.xml", ex.STYLES)
        add("word/numbering.xml", ex.NUMBERING)
        add("word/document.xml", xml)


def main():
    if len(sys.argv) != 2:
        print("usage: make_corpus.py OUTDIR", file=sys.stderr)
        return 2
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    rows = list(ex.REGISTRY)
    for name, xml in ex.DOCS:
        write_docx(os.path.join(out, name), xml)
    for number, short, title, area, steps, hazards, owner in MORE:
        name = f"SOP {number} {short}.docx"
        write_docx(os.path.join(out, name), ex.sop(title, number, area, steps, hazards, owner))
        rows.append((name, title, number))
    with open(os.path.join(out, "metadata.csv"), "w", encoding="utf-8", newline="") as f:
        f.write("blob_filename,document_name,document_number,url_document_name\r\n")
        for name, title, number in rows:
            f.write(f'"{name}","{title}",{number},https://vault.example.invalid/ui/#doc_info/{number}\r\n')
    return 0


if __name__ == "__main__":
    sys.exit(main())
