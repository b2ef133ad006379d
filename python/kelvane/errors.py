"""Exceptions raised for the library's error codes.

Every failing call raises a subclass of :class:`KelvaneError`, chosen by the cause of the
failure, as the command-line tool chooses its exit status: an input that cannot be read is
an :class:`InputFileError` whatever the call (status 3), an output that cannot be written
an :class:`OutputFileError` (4), a key that cannot be opened a :class:`BadPasswordError`
(5), a seal that does not hold a :class:`SignatureError` (1), and so on. The exception
carries the code (positive, as in the library's error table), its symbolic name, and the
messages the call recorded::

    >>> try:
    ...     kelvane.pipe_string("missing.xml")
    ... except kelvane.FileError as e:
    ...     print(e.code, e.name)
    1 OPEN_ERROR
"""

from __future__ import annotations

from typing import Dict, List, Optional, Type

# The library's error table: code -> symbolic name.
ERROR_NAMES: Dict[int, str] = {
    0: "SUCCESS_ERROR",
    1: "OPEN_ERROR",
    2: "CREATE_ERROR",
    3: "READ_ERROR",
    4: "WRITE_ERROR",
    5: "MEMORY_ERROR",
    6: "BAD_PARAM_ERROR",
    7: "BAD_FORMAT_ERROR",
    8: "INVALID_DATA_ERROR",
    9: "EOF_ERROR",
    15: "DECRYPT_ERROR",
    16: "MISSING_ERROR",
    17: "BAD_FLAG_ERROR",
    19: "NOT_SUPPORTED_ERROR",
    20: "NO_DATA_ERROR",
    21: "NO_MATCH_ERROR",
    22: "SIGNATURE_ERROR",
    26: "BAD_LENGTH_ERROR",
    27: "BAD_XML_ERROR",
    28: "XML_FACET_ERROR",
    29: "BAD_QUERY_ERROR",
    30: "SHORT_BUF_ERROR",
    101: "BAD_CERT_ERROR",
    102: "PARSER_FAILED_ERROR",
    103: "VALIDATOR_FAIL_ERROR",
    104: "BAD_DTD_ERROR",
    9999: "MISC_ERROR",
}


def error_name(code: int) -> str:
    """The symbolic name of an error code (either sign).

    Codes of the cryptographic layer that have no row in the table (11, 13, 14, 36, 9745)
    are named ``ERROR_<code>``, as the command-line tool names them.

    >>> kelvane.error_name(-22)
    'SIGNATURE_ERROR'
    >>> kelvane.error_name(9745)
    'ERROR_9745'
    """
    code = abs(code)
    return ERROR_NAMES.get(code, "ERROR_%d" % code)


class KelvaneError(Exception):
    """A call into the library failed.

    Attributes:
        code: the error code, positive (22 for ``SIGNATURE_ERROR``).
        name: the code's symbolic name.
        message: the messages the call recorded (English/Spanish, joined by "; "), or the
            code's generic message when the call recorded none.
    """

    def __init__(self, code: int, message: str = "") -> None:
        self.code = abs(code)
        self.name = error_name(self.code)
        self.message = message or self.name
        super().__init__(self.code, self.message)

    @property
    def messages(self) -> List[str]:
        """The recorded messages one by one."""
        return self.message.split("; ")

    def __str__(self) -> str:
        return "%s (%s)" % (self.message, self.name)


class FileError(KelvaneError):
    """A file could not be opened, read, created or written: an :class:`InputFileError` or
    an :class:`OutputFileError`."""


class InputFileError(FileError):
    """An input file (document, key, certificate) could not be opened or read (OPEN_ERROR,
    READ_ERROR, EOF_ERROR); the tool's exit status 3."""


class OutputFileError(FileError):
    """An output file could not be created or written, or is of a kind the library does not
    write to, such as a directory (CREATE_ERROR, WRITE_ERROR); the tool's exit status 4."""


class OutOfMemoryError(KelvaneError, MemoryError):
    """The library ran out of memory (MEMORY_ERROR)."""


class ParameterError(KelvaneError, ValueError):
    """An argument is missing or wrong (BAD_PARAM_ERROR, BAD_FLAG_ERROR, BAD_QUERY_ERROR,
    SHORT_BUF_ERROR)."""


class InvalidDataError(KelvaneError):
    """Input data is malformed, truncated or missing (BAD_FORMAT_ERROR, INVALID_DATA_ERROR,
    MISSING_ERROR, NO_DATA_ERROR, BAD_LENGTH_ERROR)."""


class BadPasswordError(KelvaneError):
    """A private key could not be decrypted: wrong password or damaged key (DECRYPT_ERROR)."""


class UnsupportedError(KelvaneError):
    """The document's version or an algorithm is not supported (NOT_SUPPORTED_ERROR)."""


class NoMatchError(KelvaneError):
    """Nothing matched: a key of another certificate, an attribute not found (NO_MATCH_ERROR)."""


class SignatureError(KelvaneError):
    """A seal is invalid or missing (SIGNATURE_ERROR)."""


class InvalidDocumentError(KelvaneError):
    """A document is not well-formed, breaks its DTD or its value restrictions
    (BAD_XML_ERROR, XML_FACET_ERROR, BAD_DTD_ERROR)."""


class CertificateError(KelvaneError):
    """A certificate cannot be read or its key is not an RSA key (BAD_CERT_ERROR)."""


class InternalError(KelvaneError):
    """The library failed inside (PARSER_FAILED_ERROR, VALIDATOR_FAIL_ERROR, MISC_ERROR and
    codes of the cryptographic layer without a more specific meaning)."""


class LibraryNotFoundError(OSError):
    """libkelvane.so.5 could not be loaded."""


class KelvaneWarning(UserWarning):
    """Something done differently from what was likely wanted, for instance a certificate
    that could not be embedded in a signed document."""


_CLASS_BY_CODE: Dict[int, Type[KelvaneError]] = {}
for _cls, _codes in (
    (InputFileError, (1, 3, 9)),
    (OutputFileError, (2, 4, 13)),
    (OutOfMemoryError, (5,)),
    (ParameterError, (6, 17, 29, 30)),
    (InvalidDataError, (7, 8, 11, 16, 20, 26)),
    (BadPasswordError, (15,)),
    (UnsupportedError, (19,)),
    (NoMatchError, (21,)),
    (SignatureError, (22,)),
    (InvalidDocumentError, (27, 28, 104)),
    (CertificateError, (36, 101)),
    (InternalError, (14, 102, 103, 9745, 9999)),
):
    for _code in _codes:
        _CLASS_BY_CODE[_code] = _cls


def error_class(code: int) -> Type[KelvaneError]:
    """The exception class raised for an error code (either sign).

    >>> kelvane.errors.error_class(-15).__name__
    'BadPasswordError'
    """
    return _CLASS_BY_CODE.get(abs(code), KelvaneError)


def make_error(code: int, message: Optional[str] = None) -> KelvaneError:
    """An exception of the right class for a (negative or positive) error code."""
    return error_class(code)(code, message or "")
