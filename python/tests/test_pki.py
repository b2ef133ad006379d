"""Certificates, private keys and PFX files, checked against openssl where it has an answer."""

from __future__ import annotations

import base64
import re
import subprocess
import xml.etree.ElementTree as ET
from datetime import datetime, timezone
from pathlib import Path

import pytest

import kelvane
from conftest import CERT, FIXTURES, KEY, PASSWORD, corpus, corpus_passwords


def openssl(*args: str, input: bytes | None = None) -> str:
    return subprocess.run(["openssl", *args], input=input, capture_output=True, check=True).stdout.decode()


def test_certificate_from_every_kind_of_source(signed: Path) -> None:
    cert = kelvane.Certificate(CERT)
    pem = FIXTURES / "credentials" / "test-csd-1024.pem"
    sources = [
        str(CERT),
        CERT.read_bytes(),  # DER
        pem,
        pem.read_bytes(),
        cert.base64.encode("ascii"),
        signed,  # a signed invoice carries it in certificado
        cert,
    ]
    for source in sources:
        assert kelvane.Certificate(source) == cert, type(source)
    assert cert.der == CERT.read_bytes()
    assert kelvane.PrivateKey(KEY, PASSWORD).matches(signed)


def test_certificate_fields_agree_with_openssl() -> None:
    cert = kelvane.Certificate(CERT)
    assert cert.number == "30001000000300000123"
    assert cert.rfc == "AAA010101AAA"
    assert cert.organization == "Pruebas Ñandú & Cía S.A. de C.V."
    dates = openssl("x509", "-inform", "DER", "-in", str(CERT), "-noout", "-startdate", "-enddate")
    start = re.search(r"notBefore=(.*)", dates).group(1)
    end = re.search(r"notAfter=(.*)", dates).group(1)
    parse = lambda text: datetime.strptime(text, "%b %d %H:%M:%S %Y GMT").replace(tzinfo=timezone.utc)
    assert cert.not_before == parse(start)
    assert cert.not_after == parse(end)
    assert cert.not_after.tzinfo == timezone.utc
    assert cert.query("notAfter") == cert.not_after.strftime("%Y-%m-%dT%H:%M:%SZ")
    assert cert.query("serialNumber") == cert.number
    with pytest.raises(kelvane.ParameterError) as e:
        cert.query("email")
    assert e.value.name == "BAD_QUERY_ERROR"


def test_corpus_certificates_are_numbered_as_their_files() -> None:
    checked = 0
    for path in sorted(corpus("certs").glob("*.cer")):
        cert = kelvane.Certificate(path)
        named = re.search(r"_(\d{20})\.cer$", path.name)
        if named:
            assert cert.number == named.group(1), path.name
            checked += 1
        assert cert.not_before < cert.not_after
        assert cert.rfc and cert.organization, path.name
    assert checked >= 8


def test_what_is_no_certificate_raises(tmp_path: Path) -> None:
    with pytest.raises(kelvane.KelvaneError):
        kelvane.Certificate(b"MIIBnotacertificate")
    with pytest.raises(kelvane.KelvaneError):
        kelvane.Certificate(tmp_path / "missing.cer")


def test_corpus_keys_match_their_certificates() -> None:
    passwords = corpus_passwords()
    other = kelvane.Certificate(CERT)
    checked = 0
    for name, password in sorted(passwords.items()):
        key_path = corpus("certs/" + name)
        cert_path = key_path.with_suffix(".cer")
        if not key_path.exists() or not cert_path.exists():
            continue
        key = kelvane.PrivateKey(key_path, password)
        assert key.matches(cert_path), name
        assert key.matches(kelvane.Certificate(cert_path)), name
        assert not key.matches(other), name
        checked += 1
    assert checked >= 10


def test_private_key_password_and_file_errors(tmp_path: Path) -> None:
    with pytest.raises(kelvane.BadPasswordError) as e:
        kelvane.PrivateKey(KEY, "wrong")
    assert e.value.code == 15
    assert e.value.message == "Cannot read private key/No se puede leer la clave privada"
    with pytest.raises(kelvane.FileError):
        kelvane.PrivateKey(tmp_path / "missing.key", PASSWORD)
    with pytest.raises(kelvane.KelvaneError):
        kelvane.PrivateKey(CERT, PASSWORD)  # a certificate is no key


def test_key_xml_holds_the_certificate_modulus() -> None:
    key = kelvane.PrivateKey(KEY, PASSWORD.encode())
    xml = key.to_xml()
    assert base64.b64decode(key.to_xml(encoded=True)).decode() == xml
    root = ET.fromstring(xml)
    assert root.tag == "RSAKeyValue"
    modulus = int.from_bytes(base64.b64decode(root.findtext("Modulus")), "big")
    peer = openssl("x509", "-inform", "DER", "-in", str(CERT), "-noout", "-modulus")
    assert modulus == int(peer.strip().split("=")[1], 16)
    assert {child.tag for child in root} >= {"Modulus", "Exponent", "D", "P", "Q"}


def test_pfx_file_opens_with_openssl(tmp_path: Path) -> None:
    key = kelvane.PrivateKey(KEY, PASSWORD)
    for pfx_password, expected in ((None, PASSWORD), ("pfx-secret", "pfx-secret")):
        pfx = tmp_path / "out.pfx"
        kelvane.write_pfx(pfx, key, cert=CERT, pfx_password=pfx_password)
        der = base64.b64decode(pfx.read_text(encoding="ascii"))
        der_file = tmp_path / "out.p12"
        der_file.write_bytes(der)
        # -legacy where openssl 3 needs it for Triple DES / RC2 PKCS#12.
        text = subprocess.run(
            ["openssl", "pkcs12", "-in", str(der_file), "-nokeys", "-passin", "pass:" + expected],
            capture_output=True,
        )
        if text.returncode != 0:
            text = subprocess.run(
                ["openssl", "pkcs12", "-legacy", "-in", str(der_file), "-nokeys", "-passin", "pass:" + expected],
                capture_output=True,
                check=True,
            )
        pem = re.search(rb"-----BEGIN CERTIFICATE-----.*?-----END CERTIFICATE-----", text.stdout, re.S).group(0)
        assert kelvane.Certificate(pem) == kelvane.Certificate(CERT)

    with pytest.raises(kelvane.NoMatchError):
        kelvane.write_pfx(tmp_path / "mismatch.pfx", KEY, PASSWORD, cert=corpus("certs/CSD01_AAA010101AAA.cer"))
    assert not (tmp_path / "mismatch.pfx").exists()
