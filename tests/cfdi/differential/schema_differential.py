#!/usr/bin/env python3
"""Differential test of CFDI 3.3 and 4.0 and Retenciones validation against libxml2's XML Schema validator.

Generated documents (gen_documents.py --schema: valid ones and one mutation each of every
kind) and every 3.3, 4.0 and Retenciones document of the corpus are validated by xmllint --schema, with
the authority's schemas plus a catCFDI.xsd built from the catalog CSVs and the Addenda
wildcard made lax, and by the library (kelvane.validate through the Python package, with the
generated catalog folder). The verdict must agree, and for an invalid document the element
and the attribute of the first error.

    schema_differential.py --library LIB --sat DIR --catalogs DIR --corpus DIR --out DIR
                           [--count N] [--seed S]

Documents are written under --out (kept for inspection). A larger run by hand:
    KVN_DIFFERENTIAL_COUNT=2000 KVN_DIFFERENTIAL_SEED=7 ctest -R schema_differential

Known differences of the peer, kept out of the generated documents: libxml2 does not apply
the whiteSpace collapse of xs:date, xs:dateTime and xs:int when they are used directly as an
attribute's type (a leading space fails there, against XML Schema Part 2), and it takes
decimals of at most 24 significant digits (the specification asks for at least 18 and leaves
the rest to the processor; patterns such as [0-9]{1,18}(.[0-9]{1,6})?, whose '.' is any
character, admit 25). The library follows the specification in the first and has no limit
in the second. Catalog values are checked at the document's date, which the peer's catalog
schema cannot do: a catalog finding about a value that its catalog has at another date is
listed, not compared.
"""
import argparse
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.normpath(os.path.join(HERE, "..", "..", ".."))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(SOURCE, "python"))

ERROR_LINE = re.compile(r"^(?P<file>.+?):(?P<line>\d+): (?:element [^:]*: )?(?P<domain>[^:]+) error : (?P<message>.*)$")
ELEMENT = re.compile(r"^Element '(?:\{[^}]*\})?(?P<local>[^']+)'(?:, attribute '(?:\{[^}]*\})?(?P<attribute>[^']+)')?")
# A missing attribute is named in the message, not in the place.
MISSING = re.compile(r"The attribute '(?:\{[^}]*\})?(?P<attribute>[^']+)' is required but missing")


def peer_verdicts(xmllint, schema, documents):
    """file -> None (valid) or (element, attribute, message) of libxml2's first error."""
    results = {}
    for start in range(0, len(documents), 200):
        chunk = documents[start:start + 200]
        run = subprocess.run([xmllint, "--noout", "--nonet", "--schema", schema] + chunk,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, errors="replace")
        first = {}
        for line in run.stdout.splitlines():
            m = ERROR_LINE.match(line)
            if m and m.group("file") in chunk and m.group("file") not in first:
                e = ELEMENT.match(m.group("message"))
                if m.group("domain").strip() != "Schemas validity":
                    first[m.group("file")] = ("(not well-formed)", "", m.group("message"))
                else:
                    attribute = (e.group("attribute") or "") if e else ""
                    missing = MISSING.search(m.group("message"))
                    if missing and not attribute:
                        attribute = missing.group("attribute")
                    first[m.group("file")] = (e.group("local") if e else "?", attribute, m.group("message"))
        for doc in chunk:
            if doc + " validates" in run.stdout.splitlines():
                results[doc] = None
            else:
                results[doc] = first.get(doc, ("?", "", "no error line from the peer"))
    return results


def local(qname):
    name = qname.rsplit(":", 1)[-1]
    return re.sub(r"\[\d+\]$", "", name)


CATALOG_NAME = re.compile(r"catalog (c_\w+)")


def our_verdict(kelvane, document, catalogs, known, dated):
    """None (valid) or (element, attribute, message) of the library's first error. A catalog
    finding about a value that its catalog has at another date (known(name, value)) is left
    out and added to `dated`: the peer's catalog schema has no dates."""
    try:
        findings = kelvane.validate(document, catalogs=catalogs)
    except kelvane.InvalidDocumentError as e:
        return ("(not well-formed)", "", str(e))
    errors = []
    for f in findings:
        if f.severity != "error" or f.kind == "rule":  # the peer knows the schemas, not the rules
            continue
        name = CATALOG_NAME.search(f.message)
        if f.code == "CATALOG-VALUE" and name and known(name.group(1), f.value):
            dated.setdefault(os.path.basename(document), []).append("%s/@%s=%s" % (f.path, f.attribute, f.value))
            continue
        errors.append(f)
    if not errors:
        return None
    f = errors[0]
    return (local(f.path.rsplit("/", 1)[-1]), local(f.attribute), "%s %s" % (f.code, f.message))


def agree(ours, peer):
    if ours is None or peer is None:
        return ours is None and peer is None
    return ours[0] == peer[0] and ours[1] == peer[1]


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--library", required=True)
    ap.add_argument("--sat", required=True)
    ap.add_argument("--catalogs", required=True)
    ap.add_argument("--corpus", required=True)
    ap.add_argument("--out", required=True)
    ap.add_argument("--xmllint", default="xmllint")
    ap.add_argument("--count", type=int, default=int(os.environ.get("KVN_DIFFERENTIAL_COUNT", "150")))
    ap.add_argument("--seed", type=int, default=int(os.environ.get("KVN_DIFFERENTIAL_SEED", "20240115")))
    args = ap.parse_args()
    os.environ["KELVANE_LIBRARY"] = os.path.abspath(args.library)
    os.environ.pop("KELVANE_CATALOGS", None)
    import kelvane
    import schema_documents

    out = os.path.abspath(args.out)
    print("schema differential: %d documents per version, seed %d" % (args.count, args.seed))
    rows = schema_documents.generate(args.sat, args.catalogs, out, args.count, args.seed)
    with open(os.path.join(out, "peers.tsv"), encoding="utf-8") as f:
        peers = dict(line.split("\t") for line in f.read().splitlines())
    generated_catalogs = os.path.join(out, "catalogs")

    # Groups of documents that share the peer's schema and the library's catalog folder:
    # generated ones with the generated folder, the corpus with the snapshot alone.
    groups = {}  # peer name -> (catalog folder or None, [(document, label)])
    for number, path, label in rows:
        groups.setdefault(number, (generated_catalogs, []))[1].append((path, label))
    for folder in ("cfdi33", "cfdi40", "retenciones10", "retenciones20"):
        root = os.path.join(args.corpus, folder)
        for name in sorted(os.listdir(root)):
            if name.endswith(".xml"):
                path = os.path.join(root, name)
                group = "%d-snapshot" % kelvane.version(path)
                groups.setdefault(group, (None, []))[1].append((path, "corpus"))

    failures = 0
    dated = {}
    counts = {}
    for group, (catalogs, documents) in sorted(groups.items()):
        number = int(group.split("-")[0])
        sub = schema_documents.VERSIONS[number][1]
        snapshot = schema_documents.Catalogs.of(args.catalogs, sub)
        user = schema_documents.Catalogs.of(catalogs, sub) if catalogs else schema_documents.Catalogs("")

        def known(name, value, snapshot=snapshot, user=user):
            return value in (user.keys(name) if name in user.rows else snapshot.keys(name))

        peer = peer_verdicts(args.xmllint, peers[group], [d for d, _ in documents])
        for doc, label in documents:
            ours = our_verdict(kelvane, doc, catalogs, known, dated)
            theirs = peer[doc]
            kind = label.split(" ")[0]
            key = (kind, "valid" if theirs is None else "invalid")
            counts[key] = counts.get(key, 0) + 1
            if agree(ours, theirs):
                continue
            failures += 1
            print("DIFFERS %s (%s)\n  ours: %s\n  peer: %s" % (doc, label, ours, theirs))
    print("compared %d documents: %s" % (sum(counts.values()), ", ".join(
        "%s %s %d" % (k[0], k[1], v) for k, v in sorted(counts.items()))))
    if dated:
        print("documents with catalog values not valid at their date (the peer's catalogs have no dates):")
        for doc, values in sorted(dated.items()):
            print("  %s: %d values, the first %s" % (doc, len(values), values[0]))
    if failures:
        print("%d documents differ" % failures)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
