"""Table rows: the documents' own attributes, an independent reading of each file with
xml.etree; ZIP archives read as the folder is; damaged input as rows that say why."""

from __future__ import annotations

import os
import xml.etree.ElementTree as ET
import zipfile
from pathlib import Path

import pytest

import kelvane
from conftest import corpus

VERSION_FOLDERS = ("cfd20", "cfd22", "cfdi32", "cfdi33", "cfdi40")
# Manifest seal outcomes as the seal column names them ("unsigned" in the manifest also
# covers placeholder seals such as "XXXX", which cannot be checked).
SEAL_OF_MANIFEST = {"ok-sha1": {"valid"}, "ok-md5": {"valid"}, "ok-sha256": {"valid"}, "bad-content": {"invalid"},
                    "bad-key": {"invalid"}, "unsigned": {"unsigned", "unverifiable"}}


def corpus_documents():
    return sorted(p for folder in VERSION_FOLDERS for p in corpus(folder).glob("*.xml"))


def attr(element, *names):
    for n in names:
        if element is not None and n in element.attrib:
            return element.attrib[n]
    return None


def child(element, local):
    if element is None:
        return None
    for c in element:
        if c.tag.rsplit("}", 1)[-1] == local:
            return c
    return None


def test_rows_carry_each_documents_attributes():
    checked = 0
    for path in corpus_documents():
        try:
            root = ET.parse(path).getroot()
        except ET.ParseError:
            continue
        if root.tag.rsplit("}", 1)[-1] != "Comprobante":
            continue
        [row] = kelvane.table_rows(path)
        assert list(row) == list(kelvane.TABLE_COLUMNS)
        assert row["status"] == "ok", (path, row["error"])
        expect = {
            "total": attr(root, "Total", "total"),
            "subtotal": attr(root, "SubTotal", "subTotal"),
            "discount": attr(root, "Descuento", "descuento"),
            "currency": attr(root, "Moneda", "moneda"),
            "date": attr(root, "Fecha", "fecha"),
            "version": attr(root, "Version", "version"),
            "issuer_rfc": attr(child(root, "Emisor"), "Rfc", "rfc"),
            "receiver_name": attr(child(root, "Receptor"), "Nombre", "nombre"),
            "transferred_total": attr(child(root, "Impuestos"), "TotalImpuestosTrasladados",
                                      "totalImpuestosTrasladados"),
        }
        stamp = child(child(root, "Complemento"), "TimbreFiscalDigital")
        expect["uuid"] = attr(stamp, "UUID")
        assert {k: row[k] for k in expect} == expect, path
        checked += 1
    assert checked > 50


def test_retenciones_rows_carry_their_own_attributes():
    checked = 0
    for path in sorted(p for folder in ("retenciones10", "retenciones20") for p in corpus(folder).glob("*.xml")):
        root = ET.parse(path).getroot()
        if root.tag.rsplit("}", 1)[-1] != "Retenciones":
            continue
        [row] = kelvane.table_rows(path)
        assert row["status"] == "ok", (path, row["error"])
        receptor = child(root, "Receptor")
        national = child(receptor, "Nacional")
        person = national if national is not None else child(receptor, "Extranjero")
        totals = child(root, "Totales")
        expect = {
            "type": "Retenciones",
            "version": attr(root, "Version"),
            "date": attr(root, "FechaExp"),
            "folio": attr(root, "FolioInt"),
            "issuer_rfc": attr(child(root, "Emisor"), "RfcE", "RFCEmisor"),
            "issuer_name": attr(child(root, "Emisor"), "NomDenRazSocE"),
            "receiver_rfc": attr(national, "RfcR", "RFCRecep"),
            "receiver_name": attr(person, "NomDenRazSocR"),
            "total": attr(totals, "MontoTotOperacion", "montoTotOperacion"),
            "withheld_total": attr(totals, "MontoTotRet", "montoTotRet"),
            "uuid": attr(child(child(root, "Complemento"), "TimbreFiscalDigital"), "UUID"),
            "subtotal": None,
        }
        assert {k: row[k] for k in expect} == expect, path
        checked += 1
    assert checked >= 10


def test_seal_column_agrees_with_the_manifests():
    seen = 0
    for manifest in ("manifest.tsv", "manifest-sha256.tsv"):
        for line in corpus(manifest).read_text(encoding="utf-8").splitlines():
            if not line or line.startswith("#"):
                continue
            file, _version, seal = line.split("\t")[:3]
            if seal not in SEAL_OF_MANIFEST:
                continue
            [row] = kelvane.table_rows(corpus(file))
            assert row["seal"] in SEAL_OF_MANIFEST[seal], file
            seen += 1
    assert seen > 40


@pytest.mark.parametrize(
    "xml, column, value",
    [
        # 4.0: rates as fractions, sums of several lines of one rate keep the written scale
        ('<cfdi:Impuestos TotalImpuestosTrasladados="18.50"><cfdi:Traslados>'
         '<cfdi:Traslado Impuesto="002" TipoFactor="Tasa" TasaOCuota="0.160000" Importe="16.00"/>'
         '<cfdi:Traslado Impuesto="002" TipoFactor="Tasa" TasaOCuota="0.160000" Importe="2.5"/>'
         '<cfdi:Traslado Impuesto="002" TipoFactor="Tasa" TasaOCuota="0.080000" Importe="0.99"/>'
         '<cfdi:Traslado Impuesto="002" TipoFactor="Exento"/>'
         '</cfdi:Traslados></cfdi:Impuestos>',
         ("transferred_iva_16", "transferred_iva_8", "transferred_iva_0"), ("18.50", "0.99", None)),
        ('<cfdi:Impuestos><cfdi:Retenciones><cfdi:Retencion Impuesto="001" Importe="10.00"/>'
         '<cfdi:Retencion Impuesto="002" Importe="10.666667"/><cfdi:Retencion Impuesto="001" Importe="0.01"/>'
         '</cfdi:Retenciones></cfdi:Impuestos>',
         ("withheld_isr", "withheld_iva", "withheld_ieps"), ("10.01", "10.666667", None)),
        ('<cfdi:Impuestos><cfdi:Traslados><cfdi:Traslado Impuesto="003" TipoFactor="Tasa" TasaOCuota="0.265" '
         'Importe="99999999999999999999.99"/><cfdi:Traslado Impuesto="003" TipoFactor="Cuota" TasaOCuota="1.5" '
         'Importe="0.01"/></cfdi:Traslados></cfdi:Impuestos>',
         ("transferred_ieps",), ("100000000000000000000.00",)),
    ],
)
def test_tax_columns_are_exact_decimal_sums_by_tax_and_rate(xml, column, value):
    text = ('<cfdi:Comprobante xmlns:cfdi="http://www.sat.gob.mx/cfd/4" Version="4.0" Total="1">%s'
            "</cfdi:Comprobante>" % xml).encode()
    [row] = kelvane.table_rows(text)
    assert tuple(row[c] for c in column) == value


def test_older_versions_give_rates_as_percentages():
    text = (b'<Comprobante xmlns="http://www.sat.gob.mx/cfd/2" version="2.2"><Impuestos><Traslados>'
            b'<Traslado impuesto="IVA" tasa="16.00" importe="680.00"/><Traslado impuesto="IVA" tasa="11" '
            b'importe="1.00"/></Traslados></Impuestos></Comprobante>')
    [row] = kelvane.table_rows(text)
    assert (row["transferred_iva_16"], row["transferred_iva_other"], row["seal"]) == ("680.00", "1.00", "unsigned")


def test_a_document_as_text_gives_the_rows_of_its_file():
    for path in corpus_documents()[::7]:
        assert kelvane.table_rows(path.read_bytes(), name=str(path)) == kelvane.table_rows(path)
        assert kelvane.table_rows(path.read_bytes(), lines=True, name=str(path)) == \
            kelvane.table_rows(path, lines=True)


def test_line_rows_follow_the_concepts():
    path = next(p for p in sorted(corpus("cfdi40").glob("*.xml")) if b"cfdi:Concepto " in p.read_bytes())
    root = ET.parse(path).getroot()
    concepts = [c for c in child(root, "Conceptos")]
    rows = kelvane.table_rows(path, lines=True)
    assert [r["amount"] for r in rows] == [c.attrib["Importe"] for c in concepts]
    assert [r["line"] for r in rows] == [str(i + 1) for i in range(len(concepts))]
    assert all(list(r) == list(kelvane.LINE_COLUMNS) for r in rows)


@pytest.mark.parametrize(
    "content, reason",
    [
        (b"", "not well-formed"),
        (b"<cfdi:Comprobante xmlns:cfdi='http://www.sat.gob.mx/cfd/4'><cfdi:Emisor>", "not well-formed"),
        (b"<html/>", "not an invoice"),
        (b"<a>\0</a>", "NUL"),
    ],
)
def test_a_damaged_document_gives_one_error_row(content, reason):
    for lines in (False, True):
        [row] = kelvane.table_rows(content, lines=lines, name="bad.xml")
        assert (row["file"], row["status"]) == ("bad.xml", "error")
        assert reason in row["error"]
    [row] = kelvane.table_rows("/nonexistent/x.xml")
    assert row["status"] == "error" and "Cannot open file" in row["error"]


def without_file(rows):
    return [{k: v for k, v in r.items() if k != "file"} for r in rows]


def test_a_zip_of_the_corpus_gives_the_folders_table(tmp_path):
    folder = corpus("cfdi40")
    archive = tmp_path / "cfdi40.zip"
    with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as z:
        for p in sorted(folder.glob("*.xml")):
            z.write(p, "inner/" + p.name)
    for lines in (False, True):
        from_zip = kelvane.table([archive], lines=lines, jobs=2)
        from_folder = kelvane.table([folder], lines=lines, jobs=2)
        assert without_file(from_zip) == without_file(from_folder)
        assert from_zip[0]["file"] == "%s:inner/%s" % (archive, sorted(folder.glob("*.xml"))[0].name)


def test_zip_entries_refuse_unsafe_entries(tmp_path):
    archive = tmp_path / "mixed.zip"
    good = next(iter(sorted(corpus("cfdi40").glob("*.xml")))).read_bytes()
    with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("a.xml", good)
        z.writestr("../escape.xml", good)
        z.writestr("/abs.xml", good)
        z.writestr("folder/", b"")
        z.writestr("bomb.xml", b"<" + b" " * (8 * 1024 * 1024))
        z.writestr("notes.txt", b"not xml at all")
    entries = list(kelvane.zip_entries(archive))
    assert [n for n, _ in entries] == ["a.xml", "../escape.xml", "/abs.xml", "bomb.xml", "notes.txt"]
    assert entries[0][1] == good
    reasons = [d.reason for _, d in entries[1:]]
    assert "unsafe" in reasons[0] and "unsafe" in reasons[1]
    assert "ZIP bomb" in reasons[2] and "not an XML document" in reasons[3]
    rows = kelvane.table([archive])
    assert [r["status"] for r in rows] == ["ok", "error", "error", "error", "error"]
    assert not (tmp_path.parent / "escape.xml").exists()


def test_rows_make_a_pandas_frame():
    pandas = pytest.importorskip("pandas")
    rows = kelvane.table([corpus("cfdi33"), corpus("cfdi40")])
    frame = pandas.DataFrame(rows)
    assert list(frame.columns) == list(kelvane.TABLE_COLUMNS)
    assert len(frame) == len(rows)
