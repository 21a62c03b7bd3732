#!/usr/bin/env python3
"""Validates PDF files as PDF/A-1b with Apache PDFBox Preflight from Debian
(libpdfbox2-java; tools/install-deps.sh installs it), all in one Java run.

    preflight.py FILE.pdf|FOLDER...

(a folder: every PDF under it) prints each file's verdict and its errors ("code: details"), and exits 1
when any file is not valid PDF/A-1b. check_readers.py uses validate()."""
import os
import shutil
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET

JARS = ("preflight", "pdfbox2", "fontbox2", "xmpbox", "commons-logging", "javax.activation", "jaxb-api")


def classpath():
    paths = [f"/usr/share/java/{j}.jar" for j in JARS]
    missing = [p for p in paths if not os.path.exists(p)]
    if missing or shutil.which("java") is None:
        raise RuntimeError(f"Preflight needs java and {', '.join(missing) or 'its jars'} "
                           "(tools/install-deps.sh installs them)")
    return ":".join(paths)


def validate(paths):
    """{path: [(code, details), ...]} for each of `paths`, as given; an empty
    list means valid PDF/A-1b."""
    cp = classpath()
    with tempfile.TemporaryDirectory() as tmp:
        # Preflight names files by their base names: each gets a unique one.
        links = {}
        for i, path in enumerate(paths):
            link = os.path.join(tmp, f"f{i}.pdf")
            os.symlink(os.path.abspath(path), link)
            links[f"f{i}.pdf"] = path
        listing = os.path.join(tmp, "files.txt")
        with open(listing, "w", encoding="utf-8") as f:
            f.write("".join(os.path.join(tmp, name) + "\n" for name in links))
        result = subprocess.run(
            ["java", f"-Dpdfbox.fontcache={tmp}", "-cp", cp, "org.apache.pdfbox.preflight.Validator_A1b", "xml",
             "group", listing], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=600)
        report = listing + ".preflight.xml"
        if not os.path.exists(report):
            raise RuntimeError(f"Preflight wrote no report ({result.returncode}): "
                               f"{result.stdout.decode(errors='replace')[-2000:]}")
        root = ET.parse(report).getroot()
    verdicts = {}
    for p in root.iter("preflight"):
        valid = (p.findtext("isValid") or "").strip() == "true"
        errors = [((e.findtext("code") or "").strip(), (e.findtext("details") or "").strip())
                  for e in p.iter("error")]
        if not valid and not errors:
            errors = [("?", "not valid, no error given")]
        if p.get("name") in links:
            verdicts[links[p.get("name")]] = [] if valid else errors
    for path in paths:
        verdicts.setdefault(path, [("?", "no verdict from Preflight")])
    return verdicts


def main():
    if len(sys.argv) < 2:
        print(__doc__)
        return 2
    paths = []
    for arg in sys.argv[1:]:
        if os.path.isdir(arg):
            paths += sorted(os.path.join(d, n) for d, _, names in os.walk(arg) for n in names if n.endswith(".pdf"))
        else:
            paths.append(arg)
    if not paths:
        print(f"no PDF files in {' '.join(sys.argv[1:])}")
        return 1
    verdicts = validate(paths)
    bad = 0
    for name, errors in verdicts.items():
        print(f"{name}: {'valid PDF/A-1b' if not errors else 'NOT valid'}")
        for code, details in errors:
            print(f"  {code}: {details}")
        bad += bool(errors)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
