"""Kelvane for Python: seal, verify and validate Mexican electronic invoices (CFD 2.0/2.2,
CFDI 3.0/3.2/3.3/4.0 and their stamps) and read certificates and keys, through
libkelvane.so.5.

    >>> import kelvane
    >>> key = kelvane.PrivateKey("examples/test-credentials/test-csd-1024.key", "test-password")
    >>> kelvane.sign("examples/cfdi32-invoice.xml", key,
    ...              cert="examples/test-credentials/test-csd-1024.cer", out="signed.xml")
    >>> kelvane.verify("signed.xml")
    True

The library is loaded on first use from ``KELVANE_LIBRARY`` if that is set, else from this
package's folder (a wheel that bundles it), else from the system. Any number of threads may
call these functions at once when the library serves concurrent calls. A failure raises a
subclass of :class:`KelvaneError` chosen by the library's error code.
"""

from .data import to_dict, to_json
from .documents import (
    attribute,
    digest,
    extract_digest,
    fix_bom,
    pipe_string,
    seal,
    sign,
    validate,
    verify,
    version,
)
from .errors import (
    BadPasswordError,
    CertificateError,
    FileError,
    InputFileError,
    InternalError,
    InvalidDataError,
    InvalidDocumentError,
    KelvaneError,
    KelvaneWarning,
    LibraryNotFoundError,
    NoMatchError,
    OutOfMemoryError,
    OutputFileError,
    ParameterError,
    SignatureError,
    UnsupportedError,
    error_name,
)
from .findings import Finding
from .info import (
    error_message,
    last_error,
    library_compile_time,
    library_path,
    library_platform,
    library_version,
    pki_compile_time,
    pki_module_name,
    pki_version,
)
from .pki import Certificate, PrivateKey, write_pfx
from .signer import Signer
from .table import LINE_COLUMNS, TABLE_COLUMNS, ZipEntryError, table, table_rows, zip_entries

__version__ = "5.2.2"

__all__ = [
    "attribute",
    "digest",
    "extract_digest",
    "fix_bom",
    "pipe_string",
    "seal",
    "sign",
    "validate",
    "verify",
    "version",
    "Finding",
    "Certificate",
    "PrivateKey",
    "write_pfx",
    "Signer",
    "TABLE_COLUMNS",
    "LINE_COLUMNS",
    "ZipEntryError",
    "table",
    "table_rows",
    "zip_entries",
    "to_dict",
    "to_json",
    "error_message",
    "error_name",
    "last_error",
    "library_compile_time",
    "library_path",
    "library_platform",
    "library_version",
    "pki_compile_time",
    "pki_module_name",
    "pki_version",
    "KelvaneError",
    "KelvaneWarning",
    "BadPasswordError",
    "CertificateError",
    "FileError",
    "InputFileError",
    "InternalError",
    "InvalidDataError",
    "InvalidDocumentError",
    "LibraryNotFoundError",
    "NoMatchError",
    "OutOfMemoryError",
    "OutputFileError",
    "ParameterError",
    "SignatureError",
    "UnsupportedError",
]
