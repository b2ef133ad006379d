"""Version, attributes, pipe string, digest, BOM fixing and validation of documents."""

from __future__ import annotations

import hashlib
import subprocess
from pathlib import Path

import pytest

import kelvane
from conftest import CERT, EXAMPLES, FIXTURES, KEY, PASSWORD, corpus, manifest, pipe_differences

VERSION_NUMBERS = {"2.0": 2, "2.2": 22, "3.0": 3, "3.2": 32}
STYLESHEETS = {"2.0": "cadenaoriginal_2_0.xslt", "2.2": "cadenaoriginal_2_2.xslt", "3.2": "cadenaoriginal_3_2.xslt"}


@pytest.mark.parametrize(
    "name,number",
    [("cfd20-invoice.xml", 2), ("cfd22-invoice.xml", 22), ("cfdi30-invoice.xml", 3), ("cfdi32-invoice.xml", 32)],
)
def test_version_of_each_example(name: str, number: int) -> None:
    assert kelvane.version(EXAMPLES / name) == number
    assert kelvane.version(str(EXAMPLES / name)) == number
    assert kelvane.version(bytes(EXAMPLES / name)) == number


def test_version_of_the_corpus() -> None:
    for file, version, _ in manifest():
        assert kelvane.version(corpus(file)) == VERSION_NUMBERS[version], file


def test_attribute_values_occurrences_and_absence() -> None:
    invoice = EXAMPLES / "cfdi32-invoice.xml"
    assert kelvane.attribute(invoice, "total") == "4930.00"
    assert kelvane.attribute(invoice, "nombre", "cfdi:Emisor") == "Pruebas Ñandú & Cía S.A. de C.V."
    assert kelvane.attribute(invoice, "importe", "cfdi:Concepto") == "1750.00"
    assert kelvane.attribute(invoice, "importe", "cfdi:Concepto[2]") == "2500.00"
    assert kelvane.attribute(invoice, "importe", "cfdi:Concepto[3]") is None
    assert kelvane.attribute(invoice, "noSuchAttribute") is None
    assert kelvane.attribute(invoice, "sello") == ""


def test_pipe_string_of_the_fixture_invoices_is_their_expected_text() -> None:
    checked = 0
    for expected in sorted((FIXTURES / "invoices").glob("*.pipe.txt")):
        document = expected.with_name(expected.name.replace(".pipe.txt", ".xml"))
        assert kelvane.pipe_string(document) == expected.read_bytes().decode("utf-8"), document.name
        checked += 1
    assert checked >= 20


def test_pipe_strings_of_the_corpus_agree_with_the_stylesheets() -> None:
    differs = pipe_differences()["pipe"]
    checked = 0
    for file, version, _ in manifest():
        if file in differs:
            continue
        stylesheet = corpus("xslt/" + STYLESHEETS[version])
        peer = subprocess.run(["xsltproc", str(stylesheet), str(corpus(file))], capture_output=True, check=True)
        assert kelvane.pipe_string(corpus(file)) == peer.stdout.decode("utf-8"), file
        checked += 1
    assert checked >= 15


def test_pipe_strings_match_the_published_cadenas() -> None:
    published = sorted(corpus("cfdi32").glob("*.cadena.txt"))
    assert published
    for cadena in published:
        document = cadena.with_name(cadena.name.replace(".cadena.txt", ".xml"))
        assert kelvane.pipe_string(document) == cadena.read_text(encoding="utf-8-sig").rstrip("\n")
        stamp = cadena.with_name(cadena.name.replace(".cadena.txt", ".tfd-cadena.txt"))
        if stamp.exists():
            assert kelvane.pipe_string(document, stamp=True) == stamp.read_text(encoding="utf-8-sig").rstrip("\n")


def test_latin1_pipe_string_and_digests(tmp_path: Path) -> None:
    invoice = EXAMPLES / "cfdi32-invoice.xml"
    text = kelvane.pipe_string(invoice)
    assert "Ñandú" in text
    assert kelvane.pipe_string(invoice, latin1=True) == text
    assert kelvane.digest(invoice) == hashlib.sha1(text.encode("utf-8")).hexdigest()
    assert kelvane.digest(invoice, md5=True) == hashlib.md5(text.encode("utf-8")).hexdigest()
    assert kelvane.digest(invoice, latin1=True) == hashlib.sha1(text.encode("latin-1")).hexdigest()
    assert kelvane.digest(invoice, md5=True, latin1=True) == hashlib.md5(text.encode("latin-1")).hexdigest()

    # A character outside Latin-1 becomes "?" in the Latin-1 text.
    euro = tmp_path / "euro.xml"
    euro.write_bytes((invoice.read_bytes()).replace("Pruebas Ñandú".encode(), "Pruebas €uro".encode()))
    assert "Pruebas €uro" in kelvane.pipe_string(euro)
    assert "Pruebas ?uro" in kelvane.pipe_string(euro, latin1=True)


def test_stamp_pipe_string_and_digest() -> None:
    stamped = FIXTURES / "invoices" / "cfdi32_stamped.xml"
    expected = (FIXTURES / "invoices" / "cfdi32_stamped.stamp.txt").read_bytes().decode("utf-8")
    assert kelvane.pipe_string(stamped, stamp=True) == expected
    assert kelvane.digest(stamped, stamp=True) == hashlib.sha1(expected.encode()).hexdigest()


def test_digests_of_the_corpus_are_digests_of_their_pipe_strings() -> None:
    for file, _, _ in manifest():
        text = kelvane.pipe_string(corpus(file)).encode("utf-8")
        assert kelvane.digest(corpus(file)) == hashlib.sha1(text).hexdigest(), file


def test_fix_bom(tmp_path: Path) -> None:
    source = tmp_path / "plain.xml"
    source.write_bytes((EXAMPLES / "cfdi32-invoice.xml").read_bytes().lstrip(b"\xef\xbb\xbf"))
    kelvane.fix_bom(source, tmp_path / "copy.xml")
    assert (tmp_path / "copy.xml").read_bytes() == b"\xef\xbb\xbf" + source.read_bytes()
    # In place, and a file that has the mark already keeps a single one.
    kelvane.fix_bom(source)
    kelvane.fix_bom(source)
    assert source.read_bytes() == (tmp_path / "copy.xml").read_bytes()

    latin1 = tmp_path / "latin1.xml"
    latin1.write_bytes("<a b='Ñandú'/>".encode("latin-1"))
    with pytest.raises(kelvane.InvalidDataError) as e:
        kelvane.fix_bom(latin1, tmp_path / "never.xml")
    assert e.value.name == "BAD_FORMAT_ERROR"
    assert not (tmp_path / "never.xml").exists()


def test_validate_answers_the_messages(signed: Path, tmp_path: Path) -> None:
    assert kelvane.validate(signed) == []
    unsigned = EXAMPLES / "cfdi32-invoice.xml"
    messages = kelvane.validate(unsigned)
    assert messages and all("cfdi:Comprobante/@" in m for m in messages)
    assert any("@noCertificado" in m for m in messages)
    assert kelvane.validate(unsigned, facets=False) == []

    broken = tmp_path / "broken.xml"
    broken.write_bytes(signed.read_bytes().replace(b"</cfdi:Comprobante>", b""))
    [message] = kelvane.validate(broken)
    assert "XML" in message

    other = tmp_path / "other.xml"
    other.write_bytes(signed.read_bytes().replace(b'version="3.2"', b'version="9.9"', 1))
    with pytest.raises(kelvane.UnsupportedError):
        kelvane.validate(other)
    with pytest.raises(kelvane.FileError):
        kelvane.validate(tmp_path / "missing.xml")


def test_validate_the_corpus_as_the_library_suite_expects() -> None:
    expected = {}
    for line in (FIXTURES / "validation" / "corpus_expected.tsv").read_text(encoding="utf-8").splitlines():
        if line and not line.startswith("#"):
            file, _, first_message = line.split("\t")[:3]
            expected[file] = first_message
    for file, _, _ in manifest():
        messages = kelvane.validate(corpus(file))
        if file in expected:
            assert messages and expected[file] in messages[0], (file, messages)
        else:
            assert messages == [], file


def test_validate_gives_the_findings_of_a_40_invoice(tmp_path: Path) -> None:
    key = kelvane.PrivateKey(KEY, PASSWORD)
    signed = tmp_path / "signed40.xml"
    kelvane.sign(EXAMPLES / "cfdi40-invoice.xml", key, cert=CERT, out=signed)
    findings = kelvane.validate(signed)
    assert [f for f in findings if f.is_error] == []
    # Catalogs the snapshot lacks: a warning each, with the number of values not checked.
    absent = {f.attribute: f for f in findings if f.kind == "not-checked" and f.code == "CATALOG-ABSENT"}
    assert absent["ClaveProdServ"].code == "CATALOG-ABSENT"
    assert absent["ClaveProdServ"].path == "/cfdi:Comprobante/cfdi:Conceptos/cfdi:Concepto"
    assert "2 values were not checked" in absent["ClaveProdServ"]

    bad = tmp_path / "bad40.xml"
    bad.write_bytes(signed.read_bytes().replace(b'Moneda="MXN"', b'Moneda="ZZZ"').replace(b' Sello="', b' Sel="'))
    errors = [f for f in kelvane.validate(bad) if f.is_error]
    assert [(f.kind, f.code, f.attribute) for f in errors] == [
        ("catalog", "CATALOG-VALUE", "Moneda"),
        ("schema", "XSD-ATTRIBUTE-UNKNOWN", "Sel"),
        ("schema", "XSD-ATTRIBUTE-MISSING", "Sello"),
        ("rule", "CFDI40113", "Moneda"),
    ]
    assert errors[0].value == "ZZZ" and errors[0].line == 2 and errors[0].path == "/cfdi:Comprobante"
    assert isinstance(errors[0], str) and errors[0] == errors[0].message
    assert "c_Moneda" in errors[0]

    folder = tmp_path / "catalogos"
    folder.mkdir()
    (folder / "c_ClaveProdServ.csv").write_text("id,texto\n25172002,Balatas\n78181500,Taller\n", encoding="utf-8")
    assert not [f for f in kelvane.validate(signed, catalogs=folder) if f.attribute == "ClaveProdServ"]
    with pytest.raises(kelvane.FileError):
        kelvane.validate(signed, catalogs=tmp_path / "no-such-folder")
    (folder / "c_Moneda.csv").write_text('id\n"MXN\n', encoding="utf-8")
    with pytest.raises(kelvane.InvalidDataError):
        kelvane.validate(signed, catalogs=folder)


def test_sign_refuses_certificates_that_may_not_seal_the_invoice(tmp_path: Path) -> None:
    invoice = EXAMPLES / "cfdi40-invoice.xml"
    out = tmp_path / "out.xml"
    fiel = corpus("certs/FIEL_AAA010101AAA.cer")
    with pytest.raises(kelvane.CertificateError, match="not a seal certificate"):
        kelvane.sign(invoice, KEY, PASSWORD, cert=fiel, out=out)
    with pytest.raises(kelvane.CertificateError, match="not valid at the document's Fecha 2024-05-20T11:42:08"):
        kelvane.sign(invoice, KEY, PASSWORD, cert=FIXTURES / "credentials" / "test-csd-2048.cer", out=out)
    other = tmp_path / "other.xml"
    other.write_bytes(invoice.read_bytes().replace(b'Rfc="AAA010101AAA"', b'Rfc="EKU9003173C9"'))
    with pytest.raises(kelvane.CertificateError, match="not to the document's issuer"):
        kelvane.sign(other, KEY, PASSWORD, cert=CERT, out=out)
    assert not out.exists()
    # Without the checks the signing itself goes on (and finds the key is not the FIEL's).
    with pytest.raises(kelvane.NoMatchError):
        kelvane.sign(invoice, KEY, PASSWORD, cert=fiel, out=out, checks=False)


def test_sign_warns_about_an_invalid_document_or_refuses_it(tmp_path: Path) -> None:
    bad = tmp_path / "bad.xml"
    bad.write_bytes((EXAMPLES / "cfdi40-invoice.xml").read_bytes().replace(b'Total="5015.00"', b'Total="5016.00"'))
    with pytest.warns(kelvane.KelvaneWarning, match="CFDI40119"):
        kelvane.sign(bad, KEY, PASSWORD, cert=CERT, out=tmp_path / "signed.xml")
    assert kelvane.verify(tmp_path / "signed.xml")
    with pytest.raises(kelvane.InvalidDocumentError, match="fails validation"):
        kelvane.sign(bad, KEY, PASSWORD, cert=CERT, out=tmp_path / "refused.xml", validate=True)
    assert not (tmp_path / "refused.xml").exists()
