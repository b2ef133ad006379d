"""Invoices: version, attributes, pipe string, digest, seal, signing, verification,
validation.

Paths may be ``str``, ``bytes`` or ``os.PathLike``. A key argument is the path of an
encrypted key file or a :class:`kelvane.PrivateKey` (whose password is then used when
``password`` is None). A certificate argument is the path of a certificate file (DER or
PEM), the certificate's bytes (DER, PEM or base64) or a :class:`kelvane.Certificate` (which
can also be read from a signed invoice: ``kelvane.Certificate("signed.xml")``).
"""

from __future__ import annotations

import ctypes
import os
import warnings
from pathlib import Path
from typing import List, Optional, Tuple, Union

from . import _library as L
from .errors import (
    BadPasswordError,
    CertificateError,
    InputFileError,
    InternalError,
    InvalidDataError,
    InvalidDocumentError,
    KelvaneWarning,
    NoMatchError,
    SignatureError,
)
from .findings import Finding, parse_findings
from .pki import CertArg, Certificate, KeyArg, cert_arg, key_args

PathArg = L.PathArg
Password = Union[str, bytes, None]


# Version numbers of Retenciones e información de pagos documents (root Retenciones), apart
# from every invoice version.
VERSION_RET10 = 1010
VERSION_RET20 = 1020

_NOT_SUPPORTED = 19  # NOT_SUPPORTED_ERROR: a version without findings (checked by its DTD)


def _options(*bits: Tuple[bool, int]) -> int:
    """The option word of (wanted, bit) pairs."""
    return sum(bit for wanted, bit in bits if wanted)


def version(path: PathArg) -> int:
    """The document's version times ten, as the library counts it: 2 (CFD 2.0), 22 (CFD 2.2),
    3 (CFDI 3.0), 32 (CFDI 3.2), 33 (CFDI 3.3) or 40 (CFDI 4.0); for Retenciones documents
    :data:`VERSION_RET10` (1010, Retenciones 1.0) or :data:`VERSION_RET20` (1020, 2.0).

    >>> kelvane.version("examples/cfdi32-invoice.xml")
    32
    """
    return L.call("KVN_XmlReceiptVersion", L.path_arg(path))


def _root_name(path: PathArg) -> str:
    """The root element's name: Retenciones for those documents, else Comprobante (also when
    the version cannot be read: the query then reports why)."""
    try:
        number = version(path)
    except Exception:
        return "Comprobante"
    return "Retenciones" if number in (VERSION_RET10, VERSION_RET20) else "Comprobante"


def attribute(path: PathArg, name: str, element: Optional[str] = None) -> Optional[str]:
    """The value of attribute ``name`` of ``element``, or None when no such element carries it.

    ``element`` defaults to the root: ``Comprobante``, or ``Retenciones`` in a Retenciones
    document; it may name an occurrence, as in
    ``"cfdi:Concepto[2]"``.

    >>> kelvane.attribute("examples/cfdi32-invoice.xml", "total")
    '4930.00'
    >>> kelvane.attribute("examples/cfdi32-invoice.xml", "importe", "cfdi:Concepto[2]")
    '2500.00'
    """
    try:
        return L.text(
            "KVN_GetXmlAttribute",
            L.path_arg(path),
            L.text_arg(name, "attribute name"),
            L.text_arg(element or _root_name(path), "element name"),
        )
    except NoMatchError:
        return None


def pipe_string(path: PathArg, stamp: bool = False, latin1: bool = False) -> str:
    """The document's pipe string (cadena original), the text its seal covers; with
    ``stamp``, the pipe string of its ``tfd:TimbreFiscalDigital`` stamp.

    ``latin1`` has the library convert the text to Latin-1 (characters outside it become
    "?"), as a Latin-1 seal covers it.

    >>> kelvane.pipe_string("examples/cfdi32-invoice.xml")[:30]
    '||3.2|2014-03-14T10:25:37|ingr'
    """
    options = _options((stamp, L.OPT_STAMP), (latin1, L.OPT_LATIN1))
    return L.text(
        "KVN_MakePipeStringFromXml",
        L.path_arg(path),
        options,
        encoding="latin-1" if latin1 else "utf-8",
    )


def digest(path: PathArg, md5: bool = False, stamp: bool = False, latin1: bool = False) -> str:
    """The lower-case hex digest of the pipe string: SHA-1, or MD5 with ``md5``.

    >>> import hashlib
    >>> text = kelvane.pipe_string("examples/cfdi32-invoice.xml")
    >>> kelvane.digest("examples/cfdi32-invoice.xml") == hashlib.sha1(text.encode()).hexdigest()
    True
    """
    options = _options((md5, L.OPT_MD5), (stamp, L.OPT_STAMP), (latin1, L.OPT_LATIN1))
    return L.text("KVN_MakeDigestFromXml", L.path_arg(path), options)


def seal(
    path: PathArg,
    key: KeyArg,
    password: Password = None,
    md5: bool = False,
    stamp: bool = False,
    latin1: bool = False,
) -> str:
    """The seal (sello) of the document: the base64 RSA signature of its pipe string.

    >>> kelvane.seal("examples/cfdi32-invoice.xml",
    ...              "examples/test-credentials/test-csd-1024.key", "test-password")[:20]
    'jemEq4eg84U5NaMybzAN'
    """
    key_path, key_password = key_args(key, password)
    options = _options((md5, L.OPT_MD5), (stamp, L.OPT_STAMP), (latin1, L.OPT_LATIN1))
    if options == 0:
        return L.text("KVN_MakeSignatureFromXml", L.path_arg(path), key_path, key_password)
    return L.text("KVN_MakeSignatureFromXmlEx", L.path_arg(path), key_path, key_password, options)


def sign(
    path: PathArg,
    key: KeyArg,
    password: Password = None,
    cert: Optional[CertArg] = None,
    out: Optional[PathArg] = None,
    md5: bool = False,
    latin1: bool = False,
    bom: bool = True,
    checks: bool = True,
    validate: bool = False,
) -> None:
    """Writes the signed document to ``out`` (default: over ``path``): ``sello`` filled with
    the seal and, given ``cert``, ``certificado`` and ``noCertificado`` (``Sello``,
    ``Certificado``, ``NoCertificado`` in CFDI 3.3 and 4.0, added to the root when it lacks
    them). Up to CFDI 3.2 only attributes present on the root are filled: a document whose
    root has no ``sello`` would come out unsealed, and raises :class:`kelvane.InvalidDataError`
    (nothing is written); a ``cert`` that cannot be embedded (no ``certificado``) gives a
    :class:`kelvane.KelvaneWarning`. The output is UTF-8 with a byte-order mark unless
    ``bom`` is False. A regular file (or the file a link names) is replaced only when it was
    written whole, keeping its mode and owner; a device or a pipe is written as the document
    is made; a directory is refused.

    Before sealing, the certificate (``cert``, else the one the document carries) must be a
    seal certificate (CSD; an e.signature certificate, FIEL, is refused), valid at the
    document's ``Fecha`` and issued to the ``Emisor``'s ``Rfc``; otherwise
    :class:`kelvane.CertificateError` is raised and nothing is written. A CFDI 3.3/4.0
    document that fails validation (its seal attributes aside) is signed with a
    :class:`kelvane.KelvaneWarning`, or refused with :class:`kelvane.InvalidDocumentError`
    when ``validate`` is True. ``checks=False`` signs without any of these checks.

    >>> kelvane.sign("examples/cfdi32-invoice.xml", "examples/test-credentials/test-csd-1024.key",
    ...              "test-password", cert="examples/test-credentials/test-csd-1024.cer",
    ...              out="signed.xml")
    >>> kelvane.verify("signed.xml")
    True
    """
    key_path, key_password = key_args(key, password)
    options = _options((md5, L.OPT_MD5), (latin1, L.OPT_LATIN1), (not bom, L.OPT_NOBOM))
    source = L.path_arg(path)
    if checks:
        _check_before_signing(path, cert, validate)
    _refuse_unsealable(path, cert is not None)
    L.call(
        "KVN_SignXml",
        source if out is None else L.path_arg(out, "out"),
        source,
        key_path,
        key_password,
        None if cert is None else cert_arg(cert),
        options,
    )


_SEAL_FIELDS = ("Sello", "NoCertificado", "Certificado")


def _check_before_signing(path: PathArg, cert: Optional[CertArg], refuse_invalid: bool) -> None:
    """The checks of :func:`sign`: the certificate's key usage, validity at the document's
    Fecha and RFC, then the document's validation (CFDI 3.3 and 4.0)."""
    try:
        number = version(path)
    except InputFileError:
        raise
    except Exception:
        return  # the signing reports a document it cannot read
    modern = number in (33, 40)
    try:
        certificate = Certificate(cert if cert is not None else path)
        usage = certificate.query("keyUsage")
    except Exception:
        certificate = None  # no certificate to go by: the signing reports on it
    if certificate is not None:
        bits = usage.split(",") if usage else []
        if bits and ("dataEncipherment" in bits or "keyAgreement" in bits or "digitalSignature" not in bits):
            raise CertificateError(
                101,
                "the certificate is not a seal certificate (CSD): its key usage (%s) is that of an "
                "e.signature certificate (FIEL), which does not seal invoices" % usage,
            )
        fecha = attribute(path, "Fecha" if modern else "fecha")
        start, end = certificate.query("notBefore"), certificate.query("notAfter")
        if fecha and len(fecha) >= 19 and not (start[:19] <= fecha[:19] <= end[:19]):
            raise CertificateError(
                101,
                "the certificate is not valid at the document's Fecha %s: it is valid from %s to %s"
                % (fecha[:19], start, end),
            )
        issuer = attribute(path, "Rfc" if modern else "rfc", "Emisor")
        holder = certificate.rfc
        if issuer and holder and issuer != holder:
            raise CertificateError(
                101,
                "the certificate belongs to RFC %s, not to the document's issuer (Emisor Rfc %s)" % (holder, issuer),
            )
    if not modern:
        return
    errors = [
        f
        for f in validate(path)
        if f.severity == "error" and not (f.path.count("/") == 1 and f.attribute in _SEAL_FIELDS)
    ]
    if not errors:
        return
    first = errors[0]
    summary = "the document fails validation (%d error%s; first: [%s%s] %s %s)" % (
        len(errors),
        "" if len(errors) == 1 else "s",
        first.path,
        "/@" + first.attribute if first.attribute else "",
        first.code,
        first.message,
    )
    if refuse_invalid:
        raise InvalidDocumentError(28, summary)
    warnings.warn(summary + "; signed anyway", KelvaneWarning, stacklevel=3)


def _refuse_unsealable(path: PathArg, with_cert: bool) -> None:
    """Refuses a document up to CFDI 3.2 whose root has no sello (the library would write
    it unsealed, as it always has for its C callers); warns when a certificate cannot be
    embedded. A document whose version cannot be read is left to the signing to report."""
    try:
        number = version(path)
    except InputFileError:
        raise
    except Exception:
        return
    if number not in (2, 22, 3, 32):  # CFD 2.0/2.2, CFDI 3.0/3.2
        return
    if attribute(path, "sello") is None:
        raise InvalidDataError(
            16,
            "the root Comprobante of '%s' has no sello attribute, so the document would not be sealed: "
            'add sello="" (and noCertificado="" certificado="" to embed the certificate)' % os.fsdecode(os.fspath(path)),
        )
    if with_cert:
        missing = [name for name in ("certificado", "noCertificado") if attribute(path, name) is None]
        if missing:
            warnings.warn(
                "the certificate was not embedded in '%s': the root has no %s attribute"
                % (os.fsdecode(os.fspath(path)), " and ".join(missing)),
                KelvaneWarning,
                stacklevel=3,
            )


def _stamp_certificate(path: PathArg, folder: PathArg) -> bytes:
    """The stamping certificate, in folder, whose number the document's first stamp names."""
    number = None
    for name in ("NoCertificadoSAT", "noCertificadoSAT"):
        number = attribute(path, name, "tfd:TimbreFiscalDigital")
        if number:
            break
    if not number:
        raise InvalidDataError(16, "the document has no stamp with a NoCertificadoSAT")
    for candidate in sorted(Path(os.fsdecode(os.fspath(folder))).iterdir()):
        if not candidate.is_file():
            continue
        try:
            if Certificate(candidate).number == number:
                return L.path_arg(candidate)
        except Exception:
            continue
    raise InputFileError(1, "no certificate numbered %s in '%s'" % (number, os.fsdecode(os.fspath(folder))))


def verify(
    path: PathArg,
    cert: Optional[CertArg] = None,
    stamp: bool = False,
    latin1: bool = False,
    sat_certs: Optional[PathArg] = None,
) -> bool:
    """True when the document's seal (with ``stamp``, the ``selloSAT`` of its first stamp)
    is valid.

    The certificate is ``cert``, or the one the document carries when ``cert`` is None. A
    stamp needs the stamping certificate: ``cert``, or the one in the folder ``sat_certs``
    (default: the environment variable ``KELVANE_SAT_CERTS``) whose number the stamp's
    ``NoCertificadoSAT`` gives. False for a seal that does not match (SIGNATURE_ERROR, or a
    seal that the certificate's key cannot open); a missing document or certificate raises
    :class:`kelvane.InputFileError`, and a malformed one :class:`kelvane.KelvaneError`.

    >>> kelvane.verify("signed.xml")
    True
    """
    options = _options((stamp, L.OPT_STAMP), (latin1, L.OPT_LATIN1))
    source = L.require_readable(L.path_arg(path))
    if stamp and cert is None:
        folder = sat_certs if sat_certs is not None else os.environ.get("KELVANE_SAT_CERTS")
        certificate = _stamp_certificate(path, folder) if folder else None
    else:
        certificate = None if cert is None else cert_arg(cert)
    try:
        L.call("KVN_VerifySignature", source, certificate, options)
    except (SignatureError, BadPasswordError):
        # DECRYPT_ERROR here: the certificate's public key does not open the seal.
        return False
    return True


def extract_digest(path: PathArg, cert: Optional[CertArg] = None, stamp: bool = False) -> str:
    """The upper-case hex digest carried inside the seal (``selloSAT`` with ``stamp``),
    opened with ``cert`` or the document's own certificate. A seal that the certificate's
    key does not open raises :class:`kelvane.SignatureError`.

    >>> kelvane.extract_digest("signed.xml").lower() == kelvane.digest("signed.xml")
    True
    """
    options = _options((stamp, L.OPT_STAMP))
    source = L.require_readable(L.path_arg(path))
    try:
        return L.text("KVN_ExtractDigestFromSignature", source, None if cert is None else cert_arg(cert), options)
    except BadPasswordError as e:
        # DECRYPT_ERROR here: not a key that failed to open, but a seal that is not this
        # certificate's.
        raise SignatureError(e.code, e.message) from None


def validate(
    path: PathArg, facets: bool = True, catalogs: Optional[PathArg] = None, registry_rules: bool = False
) -> List[Finding]:
    """The findings of validating the document: an empty list when it is valid. Each
    :class:`kelvane.Finding` is its message as a ``str``, with the finding's fields as
    attributes.

    CFDI 3.3 and 4.0 are checked against the tax authority's schemas of the version and of
    the complements the document carries, and their catalog values at the document's date,
    and every finding is listed; warnings (``severity == "warning"``: a check not made, its
    catalog being absent) do not make the document invalid. ``catalogs`` names a folder of
    catalogs in the CSV layout of the built-in snapshot that replace its own (default: the
    ``KELVANE_CATALOGS`` environment variable, else the snapshot); it is the only source of
    c_ClaveProdServ, c_CodigoPostal, c_Colonia and c_NumPedimentoAduana. Older versions are
    checked against the DTD and value restrictions of their version: one finding per message.
    ``facets=False`` leaves values unchecked.

    CFDI 4.0 documents are also checked against the tax authority's rules beyond the schemas:
    each broken rule is a finding of ``kind == "rule"`` whose ``code`` is the authority's
    (``"CFDI40108"``) and whose message is the authority's. ``registry_rules=True`` lists each
    rule that needs the authority's registries (taxpayer list, confirmation codes) and applies
    to the document as a ``"not-checked"`` warning.

    A document that is not well-formed gives its parser's message. A version the library
    does not validate raises :class:`kelvane.UnsupportedError`; an unreadable file raises
    :class:`kelvane.InputFileError`, an unreadable catalog folder :class:`kelvane.FileError`,
    a malformed catalog file :class:`kelvane.InvalidDataError`.

    >>> kelvane.validate("signed.xml")
    []
    >>> kelvane.validate("examples/cfdi32-invoice.xml")[0][:30]
    'Bad attribute/atributo mal [cf'
    """
    options = (0 if facets else L.OPT_NOFACETS) | (L.OPT_REGISTRY_RULES if registry_rules else 0)
    document = L.path_arg(path)
    folder = None if catalogs is None else L.path_arg(catalogs, "catalogs")
    fn = L.lib().KVN_ValidateXmlFindings
    # One validation when the list fits the first buffer; a second one only for a longer list.
    size = 64 * 1024
    for _ in range(8):
        buf = ctypes.create_string_buffer(size + 1)
        got = fn(buf, size, document, folder, options)
        if got == -_NOT_SUPPORTED:
            return _validate_by_dtd(document, options)
        L.check(got)
        if got <= size:
            return parse_findings(buf.raw[:got].decode("utf-8", "replace"))
        size = got
    raise InternalError(-9999, "the findings kept growing between calls")


def _validate_by_dtd(document: bytes, options: int) -> List[Finding]:
    """CFD 2.x and CFDI 3.0/3.2: the messages of KVN_ValidateXml, one finding each."""
    try:
        L.call("KVN_ValidateXml", document, options)
    except InvalidDocumentError as e:
        return [Finding(m) for m in e.messages]
    return []


def fix_bom(path: PathArg, out: Optional[PathArg] = None) -> None:
    """Writes a copy of a UTF-8 file that begins with the byte-order mark to ``out`` (default:
    over ``path``), as :func:`sign` writes its output. A file that is not valid UTF-8 raises
    :class:`kelvane.InvalidDataError`.
    """
    source = L.path_arg(path)
    L.call("KVN_FixBOM", source if out is None else L.path_arg(out, "out"), source)


__all__ = [
    "version",
    "attribute",
    "pipe_string",
    "digest",
    "seal",
    "sign",
    "verify",
    "extract_digest",
    "validate",
    "fix_bom",
]
