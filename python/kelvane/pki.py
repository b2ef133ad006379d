"""Certificates (CSD), encrypted private keys and PFX files."""

from __future__ import annotations

import base64 as _b64
import os
import re
from datetime import datetime, timezone
from typing import Optional, Tuple, Union

from . import _library as L
from .errors import NoMatchError

Password = Union[str, bytes, None]


def _der_to_base64(data: bytes) -> bytes:
    # DER starts with a SEQUENCE tag and a long-form length; anything else is taken as
    # text (PEM, base64, or a file name) and handed over as it is.
    if len(data) > 1 and data[0] == 0x30 and 0x81 <= data[1] <= 0x84:
        return _b64.b64encode(data)
    return data


def _is_certificate_text(data: bytes) -> bool:
    """PEM text, or the certificate as one long base64 line (DER's "MI..." start)."""
    if b"-----BEGIN" in data:
        return True
    return len(data) > 256 and data[:1] == b"M" and bool(re.fullmatch(rb"[A-Za-z0-9+/=\r\n]+", data))


def cert_arg(cert: "CertArg") -> bytes:
    """A certificate argument as the library takes it. A path that names no readable file
    raises :class:`kelvane.InputFileError`, as a missing document does (the library would
    take it for a document without a certificate)."""
    if isinstance(cert, Certificate):
        return cert.base64.encode("ascii")
    if isinstance(cert, (bytes, bytearray, memoryview)):
        data = _der_to_base64(bytes(cert))
        if not _is_certificate_text(data):
            L.require_readable(data, "certificate")
        return L._no_nul(data, "certificate")
    return L.require_readable(L.path_arg(cert, "certificate"), "certificate")


def _parse_time(text: str) -> datetime:
    # "yyyy-mm-ddThh:nn:ssZ"
    return datetime.strptime(text, "%Y-%m-%dT%H:%M:%SZ").replace(tzinfo=timezone.utc)


class Certificate:
    """An X.509 certificate: an issuer's CSD, a FIEL or a stamping certificate.

    ``source`` is a path (DER or PEM file, or a signed invoice whose ``certificado`` stands in
    for it) or the certificate's bytes (DER, PEM or base64). The certificate is read once;
    the object keeps its base64 text and answers from it.

    >>> cert = kelvane.Certificate("examples/test-credentials/test-csd-1024.cer")
    >>> cert.number, cert.rfc
    ('30001000000300000123', 'AAA010101AAA')
    >>> cert.organization
    'Pruebas Ñandú & Cía S.A. de C.V.'
    >>> cert.not_after.year > cert.not_before.year
    True
    >>> kelvane.Certificate(cert.der) == cert
    True
    """

    def __init__(self, source: Union[str, bytes, "os.PathLike[str]", "Certificate"]) -> None:
        #: The certificate as one base64 line.
        self.base64: str = L.text("KVN_GetCertAsString", cert_arg(source), encoding="ascii")
        self._arg = self.base64.encode("ascii")
        self._cache: dict = {}

    def _once(self, key: str, compute):
        if key not in self._cache:
            self._cache[key] = compute()
        return self._cache[key]

    @property
    def number(self) -> str:
        """The certificate number (noCertificado): its serial number read as text."""
        return self._once("number", lambda: L.text("KVN_GetCertNumber", self._arg))

    @property
    def rfc(self) -> str:
        """The holder's RFC (taxpayer identifier)."""
        return self.query("rfc")

    @property
    def organization(self) -> str:
        """The holder's name as the subject's organizationName gives it."""
        return self.query("organizationName")

    @property
    def not_before(self) -> datetime:
        """Start of validity (UTC)."""
        return self._once(
            "not_before", lambda: _parse_time(L.text("KVN_GetCertExpiry", self._arg, L.OPT_NOTBEFORE))
        )

    @property
    def not_after(self) -> datetime:
        """End of validity (UTC)."""
        return self._once("not_after", lambda: _parse_time(L.text("KVN_GetCertExpiry", self._arg, 0)))

    @property
    def der(self) -> bytes:
        """The certificate's DER bytes."""
        return _b64.b64decode(self.base64)

    def query(self, name: str) -> str:
        """One of the library's certificate queries: "rfc", "organizationName", "notBefore",
        "notAfter" or "serialNumber"; another name raises :class:`kelvane.ParameterError`.
        """
        return self._once(
            "query:" + name, lambda: L.text("KVN_QueryCert", self._arg, L.text_arg(name, "query"), 0)
        )

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Certificate) and other.base64 == self.base64

    def __hash__(self) -> int:
        return hash(self.base64)

    def __repr__(self) -> str:
        return "<kelvane.Certificate %s>" % self.number


class PrivateKey:
    """An encrypted PKCS#8 private-key file (DER or PEM) and its password.

    The password is checked at once: a wrong one raises :class:`kelvane.BadPasswordError`.
    The object keeps the path and the password (not the decrypted key); wherever a function
    takes a key and a password, it takes a ``PrivateKey`` alone.

    >>> key = kelvane.PrivateKey("examples/test-credentials/test-csd-1024.key", "test-password")
    >>> key.matches("examples/test-credentials/test-csd-1024.cer")
    True
    >>> key.to_xml()[:14]
    '<RSAKeyValue><'
    """

    def __init__(self, path: L.PathArg, password: Union[str, bytes]) -> None:
        self.path: str = os.fsdecode(os.fspath(path))
        self._path = L.path_arg(path, "key")
        self._password = L.text_arg(password, "password")
        L.call("KVN_GetKeyAsString", None, 0, self._path, self._password, 0)

    def matches(self, cert: "CertArg") -> bool:
        """True when this key belongs to the certificate, False when it belongs to another."""
        try:
            L.call("KVN_CheckKeyAndCert", self._path, self._password, cert_arg(cert))
        except NoMatchError:
            return False
        return True

    def to_xml(self, encoded: bool = False) -> str:
        """The key in its ``<RSAKeyValue>`` XML form (with private parts: keep it secret);
        with ``encoded``, base64-encoded as the library hands it out."""
        text = L.text("KVN_GetKeyAsString", self._path, self._password, 0, encoding="ascii")
        return text if encoded else _b64.b64decode(text).decode("utf-8")

    def __repr__(self) -> str:
        return "<kelvane.PrivateKey %r>" % self.path


KeyArg = Union[str, bytes, "os.PathLike[str]", PrivateKey]
CertArg = Union[str, bytes, "os.PathLike[str]", Certificate]


def key_args(key: KeyArg, password: Password) -> Tuple[bytes, Optional[bytes]]:
    """The key file and password arguments of a key given as a path or a PrivateKey."""
    if isinstance(key, PrivateKey):
        return key._path, key._password if password is None else L.text_arg(password, "password")
    return L.path_arg(key, "key"), L.text_arg(password, "password")


def write_pfx(
    path: L.PathArg,
    key: KeyArg,
    password: Password = None,
    cert: Optional[CertArg] = None,
    pfx_password: Password = None,
) -> None:
    """Writes the key and its certificate as a PKCS#12 (PFX) file of base64 lines, protected
    by ``pfx_password`` (default: the key's password). A key of another certificate raises
    :class:`kelvane.NoMatchError`.

    >>> key = kelvane.PrivateKey("examples/test-credentials/test-csd-1024.key", "test-password")
    >>> kelvane.write_pfx("test.pfx", key, cert="examples/test-credentials/test-csd-1024.cer",
    ...                   pfx_password="pfx-secret")
    """
    key_path, key_password = key_args(key, password)
    L.call(
        "KVN_WritePfxFile",
        L.path_arg(path),
        L.text_arg(pfx_password, "PFX password") or b"",
        key_path,
        key_password,
        None if cert is None else cert_arg(cert),
        0,
    )
