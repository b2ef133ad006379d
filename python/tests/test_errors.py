"""Error classes, codes and messages; the library's identity; the binding covers every export."""

from __future__ import annotations

import re
from pathlib import Path

import pytest

import kelvane
from kelvane import _library
from kelvane.errors import ERROR_NAMES, error_class
from conftest import CERT, EXAMPLES, KEY, PASSWORD, REPO

INVOICE = EXAMPLES / "cfdi32-invoice.xml"


def not_well_formed(tmp_path: Path) -> Path:
    path = tmp_path / "broken.xml"
    path.write_bytes(INVOICE.read_bytes().replace(b"</cfdi:Comprobante>", b""))
    return path


def other_version(tmp_path: Path) -> Path:
    path = tmp_path / "v99.xml"
    path.write_bytes(INVOICE.read_bytes().replace(b'version="3.2"', b'version="9.9"', 1))
    return path


# (call, exception class, error name, text the messages contain)
CASES = [
    (lambda t: kelvane.pipe_string(t / "missing.xml"), kelvane.FileError, "OPEN_ERROR", ""),
    (lambda t: kelvane.seal(INVOICE, KEY, None), kelvane.ParameterError, "BAD_PARAM_ERROR", ""),
    (lambda t: kelvane.seal(INVOICE, KEY, "wrong"), kelvane.BadPasswordError, "DECRYPT_ERROR", "private key"),
    (lambda t: kelvane.digest(EXAMPLES / "cfd22-invoice.xml", stamp=True), kelvane.ParameterError, "BAD_FLAG_ERROR", ""),
    (lambda t: kelvane.pipe_string(other_version(t)), kelvane.UnsupportedError, "NOT_SUPPORTED_ERROR", "9.9"),
    (lambda t: kelvane.pipe_string(not_well_formed(t)), kelvane.InvalidDocumentError, "BAD_XML_ERROR", "not closed"),
    (lambda t: kelvane.Certificate(CERT).query("x"), kelvane.ParameterError, "BAD_QUERY_ERROR", "'x'"),
    (lambda t: kelvane.PrivateKey(KEY, PASSWORD).matches(REPO / "tests/fixtures/credentials/test-csd-2048.cer"),
     None, None, None),
    (lambda t: kelvane.version("bad\0name.xml"), kelvane.ParameterError, "BAD_PARAM_ERROR", "NUL"),
]


@pytest.mark.parametrize("case", range(len(CASES)))
def test_failures_raise_the_class_of_their_code(case: int, tmp_path: Path) -> None:
    call, cls, name, text = CASES[case]
    if cls is None:
        assert call(tmp_path) is False
        return
    with pytest.raises(cls) as e:
        call(tmp_path)
    error = e.value
    assert isinstance(error, kelvane.KelvaneError)
    assert error.name == name
    assert error.code == [c for c, n in ERROR_NAMES.items() if n == name][0]
    assert text in error.message
    assert str(error) == "%s (%s)" % (error.message, name)


def test_the_exception_carries_what_the_call_recorded(tmp_path: Path) -> None:
    with pytest.raises(kelvane.UnsupportedError) as e:
        kelvane.version(other_version(tmp_path))
    assert e.value.message == "CFD version '9.9' not supported/CFD version no es compatible"
    assert kelvane.last_error() == e.value.message
    # A failure without a message of its own carries the code's generic one.
    with pytest.raises(kelvane.ParameterError) as e:
        kelvane.seal(INVOICE, KEY, None)
    assert e.value.message == "Parameter is wrong or missing/El parametro es incorrecto o falta"


def test_every_code_has_a_class_and_the_library_message() -> None:
    for code, name in ERROR_NAMES.items():
        if code == 0:
            continue
        assert error_class(code) is not kelvane.KelvaneError, name
        assert error_class(-code) is error_class(code)
        assert kelvane.error_message(-code) == kelvane.error_message(code)
        assert re.fullmatch(r"[^/]+/[^/]+", kelvane.error_message(code)), name
    for code in (11, 13, 14, 36, 9745):
        assert error_class(code) is not kelvane.KelvaneError
        assert kelvane.error_message(code) is None
        assert kelvane.error_name(code) == "ERROR_%d" % code
    assert kelvane.error_message(0) == "OK, success, no error/OK, el exito, no hay error"
    assert issubclass(kelvane.ParameterError, ValueError)
    assert issubclass(kelvane.OutOfMemoryError, MemoryError)


def test_library_identity() -> None:
    assert kelvane.library_version() == 50202
    assert kelvane.pki_version() == 381
    assert kelvane.library_platform() == "Linux64"
    assert Path(kelvane.library_path()).samefile(next(_library._candidates()))
    assert re.fullmatch(r"[A-Z][a-z]{2} [ 123]\d \d{4} \d\d:\d\d:\d\d", kelvane.library_compile_time())
    assert kelvane.pki_compile_time() == "Dec 13 2013 08:58:37"
    assert kelvane.pki_module_name() == "N/A"


def test_the_binding_declares_every_export_of_the_header() -> None:
    header = (REPO / "include" / "kelvane.h").read_text(encoding="utf-8")
    exports = set(re.findall(r"KVN_API int (KVN_\w+)\(", header))
    assert len(exports) == 33
    assert set(_library._PROTOTYPES) == exports
    source = "".join(p.read_text(encoding="utf-8") for p in (REPO / "python" / "kelvane").glob("*.py")
                     if p.name != "_library.py")
    source += re.sub(r"_PROTOTYPES = \{.*?\n\}", "", (REPO / "python/kelvane/_library.py").read_text(), flags=re.S)
    assert {name for name in exports if not re.search(r'"%s"|\.%s\b' % (name, name), source)} == set()


def test_a_library_that_cannot_be_found_says_where_it_was_looked_for(monkeypatch, tmp_path: Path) -> None:
    monkeypatch.setenv("KELVANE_LIBRARY", str(tmp_path / "libkelvane.so.5"))
    with pytest.raises(kelvane.LibraryNotFoundError) as e:
        _library._load()
    assert str(tmp_path) in str(e.value)
    # A library without the exports is not taken for it.
    monkeypatch.setenv("KELVANE_LIBRARY", "libc.so.6")
    with pytest.raises(kelvane.LibraryNotFoundError) as e:
        _library._load()
    assert "KVN_" in str(e.value)
