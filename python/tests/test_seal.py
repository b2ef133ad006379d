"""Seals: making them, signing documents, verifying them and the digest inside them."""

from __future__ import annotations

import re
from pathlib import Path

import pytest

import kelvane
from conftest import CERT, EXAMPLES, FIXTURES, KEY, PASSWORD, corpus, corpus_passwords, manifest, pipe_differences

BOM = b"\xef\xbb\xbf"


def corpus_certificate(number: str) -> Path | None:
    """The corpus certificate file named after a certificate number."""
    found = sorted(corpus("certs").glob("*_%s.cer" % number)) if re.fullmatch(r"\d{20}", number or "") else []
    return found[0] if found else None


def test_corpus_seals_check_as_the_manifest_says() -> None:
    differs = pipe_differences()["pipe"]
    valid = 0
    for file, _, seal in manifest():
        path = corpus(file)
        if seal.startswith("ok-") and file not in differs:
            assert kelvane.verify(path), file
            md5 = seal == "ok-md5"
            assert kelvane.extract_digest(path).lower() == kelvane.digest(path, md5=md5), file
            cert = corpus_certificate(kelvane.attribute(path, "noCertificado") or "")
            if cert:
                assert kelvane.verify(path, cert), file
                assert kelvane.verify(path, kelvane.Certificate(cert)), file
            valid += 1
        elif seal == "unsigned":
            with pytest.raises((kelvane.ParameterError, kelvane.InvalidDataError, kelvane.CertificateError)):
                kelvane.verify(path)
        else:
            # bad-content, bad-key, and seals made over the stylesheet's differing text.
            assert kelvane.verify(path) is False, file
    assert valid >= 10


def test_corpus_invoices_seal_again_into_their_own_seal() -> None:
    passwords = corpus_passwords()
    differs = pipe_differences()["pipe"]
    resealed = 0
    for file, _, seal in manifest():
        if not seal.startswith("ok-") or file in differs:
            continue
        path = corpus(file)
        cert = corpus_certificate(kelvane.attribute(path, "noCertificado") or "")
        if cert is None or not cert.with_suffix(".key").exists():
            continue
        key = kelvane.PrivateKey(cert.with_suffix(".key"), passwords[cert.with_suffix(".key").name])
        published = re.sub(r"\s", "", kelvane.attribute(path, "sello"))
        assert kelvane.seal(path, key, md5=seal == "ok-md5") == published, file
        resealed += 1
    assert resealed >= 5


@pytest.mark.parametrize("name", ["cfd20-invoice.xml", "cfd22-invoice.xml", "cfdi30-invoice.xml", "cfdi32-invoice.xml"])
def test_each_example_signs_verifies_and_validates(name: str, tmp_path: Path) -> None:
    key = kelvane.PrivateKey(KEY, PASSWORD)
    cert = kelvane.Certificate(CERT)
    out = tmp_path / name
    kelvane.sign(EXAMPLES / name, key, cert=cert, out=out)
    assert kelvane.verify(out)
    assert kelvane.validate(out) == []
    assert kelvane.attribute(out, "sello") == kelvane.seal(EXAMPLES / name, KEY, PASSWORD)
    assert kelvane.attribute(out, "noCertificado") == cert.number
    assert kelvane.attribute(out, "certificado") == cert.base64


def test_sign_options_and_outputs(tmp_path: Path) -> None:
    source = tmp_path / "invoice.xml"
    source.write_bytes((EXAMPLES / "cfdi32-invoice.xml").read_bytes())
    original = source.read_bytes()

    # Without a certificate only sello is filled; the document's own certificate is empty.
    kelvane.sign(source, KEY, PASSWORD, out=tmp_path / "no-cert.xml")
    assert kelvane.attribute(tmp_path / "no-cert.xml", "certificado") == ""
    assert kelvane.verify(tmp_path / "no-cert.xml", CERT)

    kelvane.sign(source, KEY, PASSWORD, cert=CERT, out=tmp_path / "md5.xml", md5=True, bom=False)
    assert not (tmp_path / "md5.xml").read_bytes().startswith(BOM)
    assert len(kelvane.extract_digest(tmp_path / "md5.xml")) == 32
    assert kelvane.verify(tmp_path / "md5.xml")

    assert source.read_bytes() == original
    kelvane.sign(source, KEY, PASSWORD, cert=CERT)  # in place
    assert source.read_bytes().startswith(BOM)
    assert kelvane.verify(source)


def test_verify_answers_false_for_a_seal_that_does_not_match(signed: Path, tmp_path: Path) -> None:
    tampered = tmp_path / "tampered.xml"
    tampered.write_bytes(signed.read_bytes().replace(b'total="4930.00"', b'total="4390.00"'))
    assert kelvane.verify(tampered) is False
    # Another certificate's key does not open the seal.
    other = corpus("certs/CSD01_AAA010101AAA.cer")
    assert kelvane.verify(signed, other) is False
    assert kelvane.verify(signed, other.read_bytes()) is False
    # The certificate given in memory, DER or PEM.
    assert kelvane.verify(signed, CERT.read_bytes())
    assert kelvane.verify(signed, (FIXTURES / "credentials" / "test-csd-1024.pem").read_bytes())
    # A document, or a certificate file, that is not there is an input that cannot be read,
    # however the certificate is given.
    for document, cert in ((tmp_path / "missing.xml", CERT), (tmp_path / "missing.xml", None),
                           (signed, tmp_path / "missing.cer")):
        with pytest.raises(kelvane.InputFileError) as e:
            kelvane.verify(document, cert)
        assert e.value.name == "OPEN_ERROR"
        assert e.value.messages[0].startswith("Cannot open file")


def test_stamp_seal_is_checked_with_the_stamping_certificate(tmp_path: Path) -> None:
    stamped = FIXTURES / "invoices" / "cfdi32_stamped.xml"
    stamp_seal = kelvane.seal(stamped, KEY, PASSWORD, stamp=True)
    document = tmp_path / "stamped.xml"
    document.write_bytes(stamped.read_bytes().replace(b'selloSAT="U0FU"', b'selloSAT="%s"' % stamp_seal.encode(), 1))
    assert kelvane.verify(document, CERT, stamp=True)
    assert kelvane.extract_digest(document, CERT, stamp=True) == kelvane.digest(document, stamp=True).upper()
    # The stamping certificate is never the document's own.
    with pytest.raises(kelvane.InvalidDataError) as e:
        kelvane.verify(document, stamp=True)
    assert e.value.name == "MISSING_ERROR"
    assert "TFD" in e.value.message


def test_seal_options_select_the_digest_and_text(tmp_path: Path) -> None:
    invoice = EXAMPLES / "cfdi32-invoice.xml"
    plain = kelvane.seal(invoice, KEY, PASSWORD)
    assert kelvane.seal(invoice, kelvane.PrivateKey(KEY, PASSWORD)) == plain
    assert kelvane.seal(invoice, KEY, PASSWORD.encode()) == plain
    assert kelvane.seal(invoice, KEY, PASSWORD, md5=True) != plain
    # The example's text is all Latin-1, so both encodings give the same seal only if the
    # digest covers the bytes of the encoding asked for: it does not.
    assert kelvane.seal(invoice, KEY, PASSWORD, latin1=True) != plain

    signed = tmp_path / "latin1.xml"
    kelvane.sign(invoice, KEY, PASSWORD, cert=CERT, out=signed, latin1=True)
    assert kelvane.verify(signed) is False
    assert kelvane.verify(signed, latin1=True)


def test_sign_refuses_what_it_would_not_seal_and_adds_what_40_lacks(tmp_path: Path) -> None:
    example32 = (EXAMPLES / "cfdi32-invoice.xml").read_bytes()
    no_sello = tmp_path / "no-sello.xml"
    no_sello.write_bytes(example32.replace(b' sello=""', b"", 1))
    with pytest.raises(kelvane.InvalidDataError) as e:
        kelvane.sign(no_sello, KEY, PASSWORD, cert=CERT, out=tmp_path / "out.xml")
    assert "has no sello attribute" in e.value.message
    assert not (tmp_path / "out.xml").exists()

    no_cert = tmp_path / "no-cert.xml"
    no_cert.write_bytes(example32.replace(b' certificado=""', b"", 1))
    with pytest.warns(kelvane.KelvaneWarning, match="no certificado attribute"):
        kelvane.sign(no_cert, KEY, PASSWORD, cert=CERT, out=tmp_path / "out.xml")
    assert kelvane.verify(tmp_path / "out.xml", CERT)

    bare40 = tmp_path / "bare40.xml"
    example40 = (EXAMPLES / "cfdi40-invoice.xml").read_bytes()
    for attribute in (b' Sello=""', b' NoCertificado=""', b' Certificado=""'):
        example40 = example40.replace(attribute, b"", 1)
    bare40.write_bytes(example40)
    kelvane.sign(bare40, KEY, PASSWORD, cert=CERT, out=tmp_path / "out40.xml")
    assert kelvane.attribute(tmp_path / "out40.xml", "NoCertificado") == kelvane.Certificate(CERT).number
    assert kelvane.verify(tmp_path / "out40.xml")


def test_one_class_per_cause(tmp_path: Path) -> None:
    missing = tmp_path / "missing.cer"
    for call in (
        lambda: kelvane.Certificate(missing),
        lambda: kelvane.sign(EXAMPLES / "cfdi32-invoice.xml", KEY, PASSWORD, cert=missing, out=tmp_path / "o.xml"),
        lambda: kelvane.extract_digest(tmp_path / "missing.xml"),
        lambda: kelvane.PrivateKey(tmp_path / "missing.key", PASSWORD),
        lambda: kelvane.pipe_string(tmp_path / "missing.xml"),
    ):
        with pytest.raises(kelvane.InputFileError):
            call()
    (tmp_path / "folder").mkdir()
    with pytest.raises(kelvane.OutputFileError) as e:
        kelvane.sign(EXAMPLES / "cfdi32-invoice.xml", KEY, PASSWORD, out=tmp_path / "folder")
    assert e.value.messages[0].endswith("is a directory/La salida es un directorio")
    # A seal that another certificate's key made is a seal that does not hold.
    signed = tmp_path / "signed.xml"
    kelvane.sign(EXAMPLES / "cfdi32-invoice.xml", KEY, PASSWORD, cert=CERT, out=signed)
    with pytest.raises(kelvane.SignatureError):
        kelvane.extract_digest(signed, FIXTURES / "credentials" / "test-csd-2048.cer")


def test_stamp_certificate_found_by_number(tmp_path: Path, monkeypatch) -> None:
    stamped = corpus("cfdi40/corasa_CFDv40_tfd.xml")
    assert kelvane.verify(stamped, stamp=True, sat_certs=corpus("certs"))
    monkeypatch.setenv("KELVANE_SAT_CERTS", str(corpus("certs")))
    assert kelvane.verify(stamped, stamp=True)
    with pytest.raises(kelvane.InputFileError) as e:
        kelvane.verify(stamped, stamp=True, sat_certs=tmp_path)
    assert "no certificate numbered 20001000000300022779" in e.value.message


def test_retenciones_sign_verify_and_read_from_their_root(tmp_path: Path) -> None:
    example = EXAMPLES / "retenciones20-dividendos.xml"
    assert kelvane.version(example) == kelvane.VERSION_RET20 == 1020
    signed = tmp_path / "signed.xml"
    kelvane.sign(example, KEY, PASSWORD, cert=CERT, out=signed)
    assert kelvane.verify(signed)
    # The root is Retenciones: its attributes are read without naming it.
    assert kelvane.attribute(signed, "NoCertificado") == kelvane.Certificate(CERT).number
    assert kelvane.attribute(signed, "Sello") == kelvane.attribute(signed, "Sello", "Retenciones")
    assert len(kelvane.digest(signed)) == 64
    with pytest.raises(kelvane.KelvaneError):
        kelvane.digest(signed, md5=True)
    changed = tmp_path / "changed.xml"
    changed.write_bytes(signed.read_bytes().replace(b'MontoRet="15000.00"', b'MontoRet="15001.00"'))
    assert not kelvane.verify(changed)
