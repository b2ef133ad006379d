"""Signing sessions: kelvane.Signer signs and seals as kelvane.sign and kelvane.seal do,
refuses what they refuse, and serves many threads at once."""

from __future__ import annotations

from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest

import kelvane
from conftest import CERT, EXAMPLES, FIXTURES, KEY, PASSWORD

INVOICES = [EXAMPLES / "cfdi32-invoice.xml", EXAMPLES / "cfdi40-invoice.xml", EXAMPLES / "cfd22-invoice.xml"]


def test_signs_and_seals_as_the_single_calls(tmp_path: Path) -> None:
    key = kelvane.PrivateKey(KEY, PASSWORD)
    with kelvane.Signer(key, cert=kelvane.Certificate(CERT)) as signer:
        for invoice in INVOICES:
            kelvane.sign(invoice, KEY, PASSWORD, cert=CERT, out=tmp_path / "single.xml", bom=False)
            signer.sign(invoice, out=tmp_path / "session.xml", bom=False)
            assert (tmp_path / "session.xml").read_bytes() == (tmp_path / "single.xml").read_bytes(), invoice
            assert signer.seal(invoice) == kelvane.seal(invoice, KEY, PASSWORD), invoice
        assert signer.seal(INVOICES[0], md5=True) == kelvane.seal(INVOICES[0], KEY, PASSWORD, md5=True)
        with pytest.raises(kelvane.KelvaneError) as e:
            signer.seal(INVOICES[1], md5=True)
        assert e.value.name == "BAD_FLAG_ERROR"
    assert signer.closed
    assert kelvane.verify(tmp_path / "session.xml")


def test_refuses_what_the_single_calls_refuse(tmp_path: Path) -> None:
    other_cert = FIXTURES / "credentials" / "test-csd-2048.cer"
    cases = [
        ("wrong", None),
        (PASSWORD, other_cert),
        (PASSWORD, b"garbage"),
    ]
    for password, cert in cases:
        with pytest.raises(kelvane.KelvaneError) as single:
            kelvane.sign(INVOICES[0], KEY, password, cert=cert, out=tmp_path / "out.xml", checks=False)
        with pytest.raises(type(single.value)) as session:
            kelvane.Signer(KEY, password, cert)
        assert (session.value.code, session.value.message) == (single.value.code, single.value.message)
    assert not (tmp_path / "out.xml").exists()


def test_closed_session_is_refused() -> None:
    signer = kelvane.Signer(KEY, PASSWORD)
    signer.close()
    signer.close()
    with pytest.raises(kelvane.ParameterError):
        signer.seal(INVOICES[0])


def test_many_threads_share_one_session(tmp_path: Path) -> None:
    expected = [kelvane.seal(invoice, KEY, PASSWORD) for invoice in INVOICES]
    with kelvane.Signer(KEY, PASSWORD, CERT) as signer:

        def work(i: int):
            invoice = INVOICES[i % len(INVOICES)]
            out = tmp_path / ("out%d.xml" % i)
            signer.sign(invoice, out=out)
            return signer.seal(invoice), kelvane.verify(out)

        with ThreadPoolExecutor(4) as pool:
            results = list(pool.map(work, range(12)))
    assert results == [(expected[i % len(INVOICES)], True) for i in range(12)]
