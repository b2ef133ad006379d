"""Loading libkelvane.so.5 and the calling conventions of its exports.

The library is looked for, in this order, at the path in the ``KELVANE_LIBRARY``
environment variable, next to this package (a wheel that bundles it), and through the
system's loader. It is loaded on first use, so ``import kelvane`` works without it.

Every export returns an int: zero or positive on success, a negated error code on failure.
After a failure the messages recorded by the call are read on the same thread, right after
it, with ``KVN_LastError``. Text results use the library's buffer convention: a null buffer
asks for the length needed (an upper bound for the pipe string), then a buffer of that
length plus one byte is filled.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import threading
from pathlib import Path
from typing import Callable, Iterator, Optional, Union

from .errors import LibraryNotFoundError, ParameterError, make_error

SONAME = "libkelvane.so.5"

# Option bits of the exports (include/kelvane.h).
OPT_LATIN1 = 0x1
OPT_MD5 = 0x10
OPT_PLATFORM = 64
OPT_NOTBEFORE = 0x1000
OPT_NOBOM = 0x2000
OPT_NOFACETS = 0x4000
OPT_STAMP = 0x8000
OPT_XMLTEXT = 0x10000
OPT_LINES = 0x20000

PathArg = Union[str, "os.PathLike[str]", bytes, "os.PathLike[bytes]"]

_c = ctypes.c_char_p
_i = ctypes.c_int
_buf = ctypes.c_char_p  # output buffers are passed as ctypes string buffers (or None)

# Argument types of the exports; every one returns an int.
_PROTOTYPES = {
    "KVN_Version": [],
    "KVN_CompileTime": [_buf, _i],
    "KVN_ModuleName": [_buf, _i, _i],
    "KVN_PKIVersion": [],
    "KVN_PKICompileTime": [_buf, _i],
    "KVN_PKIModuleName": [_buf, _i],
    "KVN_LastError": [_buf, _i],
    "KVN_ErrorLookup": [_buf, _i, _i],
    "KVN_FixBOM": [_c, _c],
    "KVN_XmlReceiptVersion": [_c],
    "KVN_GetXmlAttribute": [_buf, _i, _c, _c, _c],
    "KVN_MakePipeStringFromXml": [_buf, _i, _c, _i],
    "KVN_MakeDigestFromXml": [_buf, _i, _c, _i],
    "KVN_MakeSignatureFromXml": [_buf, _i, _c, _c, _c],
    "KVN_MakeSignatureFromXmlEx": [_buf, _i, _c, _c, _c, _i],
    "KVN_SignXml": [_c, _c, _c, _c, _c, _i],
    "KVN_VerifySignature": [_c, _c, _i],
    "KVN_ExtractDigestFromSignature": [_buf, _i, _c, _c, _i],
    "KVN_ValidateXml": [_c, _i],
    "KVN_ValidateXmlFindings": [_buf, _i, _c, _c, _i],
    "KVN_GetCertNumber": [_buf, _i, _c],
    "KVN_GetCertExpiry": [_buf, _i, _c, _i],
    "KVN_GetCertAsString": [_buf, _i, _c],
    "KVN_QueryCert": [_buf, _i, _c, _c, _i],
    "KVN_CheckKeyAndCert": [_c, _c, _c],
    "KVN_GetKeyAsString": [_buf, _i, _c, _c, _i],
    "KVN_WritePfxFile": [_c, _c, _c, _c, _c, _i],
    "KVN_OpenSigner": [_c, _c, _c],
    "KVN_CloseSigner": [_i],
    "KVN_SignXmlWithSigner": [_i, _c, _c, _i],
    "KVN_MakeSignatureWithSigner": [_buf, _i, _i, _c, _i],
    "KVN_TableRows": [_buf, _i, _c, _i],
    "KVN_XmlToJson": [_buf, _i, _c, _i],
}

_lock = threading.Lock()
_lib: Optional[ctypes.CDLL] = None


def _candidates() -> Iterator[str]:
    """Where the library is looked for, in order."""
    named = os.environ.get("KELVANE_LIBRARY")
    if named:
        yield named
        return
    bundled = Path(__file__).with_name(SONAME)
    if bundled.exists():
        yield str(bundled)
    yield SONAME
    system = ctypes.util.find_library("kelvane")
    if system and system.endswith(".so.5"):
        yield system
    # cmake --install puts it here by default, and ldconfig may not have run since.
    for folder in ("/usr/local/lib", "/usr/local/lib64"):
        yield os.path.join(folder, SONAME)


def _load() -> ctypes.CDLL:
    errors = []
    for candidate in _candidates():
        try:
            lib = ctypes.CDLL(candidate)
            for name, argtypes in _PROTOTYPES.items():
                fn = getattr(lib, name)
                fn.argtypes = argtypes
                fn.restype = ctypes.c_int
        except (OSError, AttributeError) as e:
            errors.append("%s: %s" % (candidate, e))
            continue
        return lib
    raise LibraryNotFoundError(
        "cannot load %s (set KELVANE_LIBRARY to its path); tried: %s" % (SONAME, "; ".join(errors))
    )


def lib() -> ctypes.CDLL:
    """The loaded library, with the argument and result types of its exports set."""
    global _lib
    if _lib is None:
        with _lock:
            if _lib is None:
                _lib = _load()
    return _lib


# ---- arguments --------------------------------------------------------------------------


def _no_nul(data: bytes, what: str) -> bytes:
    # A C string ends at its first NUL: refuse what the library would silently cut.
    if b"\0" in data:
        raise ParameterError(6, "%s contains a NUL character" % what)
    return data


def path_arg(path: PathArg, what: str = "path") -> bytes:
    """A file name as the library takes it (str, bytes or os.PathLike)."""
    return _no_nul(os.fsencode(os.fspath(path)), what)


def require_readable(path: bytes, what: str = "path") -> bytes:
    """path when it names a file that can be opened for reading; otherwise the
    :class:`kelvane.InputFileError` the library gives a document it cannot open. Used where
    the library would read a missing file as something else (a certificate argument falls
    back to a document's certificate)."""
    try:
        os.close(os.open(_no_nul(path, what), os.O_RDONLY | os.O_NONBLOCK))  # a FIFO does not wait
    except OSError:
        raise make_error(-1, "Cannot open file '%s'/No se puede abrir el archivo" % os.fsdecode(path)) from None
    return path


def text_arg(text: Union[str, bytes, None], what: str) -> Optional[bytes]:
    """A password, name or query: str as UTF-8, bytes as given, None as a null pointer."""
    if text is None:
        return None
    if isinstance(text, str):
        text = text.encode("utf-8")
    elif not isinstance(text, bytes):
        raise TypeError("%s must be str or bytes, not %s" % (what, type(text).__name__))
    return _no_nul(text, what)


# ---- results ----------------------------------------------------------------------------


def last_error() -> str:
    """The messages recorded by the last failing call on this thread."""
    fn = lib().KVN_LastError
    size = fn(None, 0)
    if size <= 0:
        return ""
    buf = ctypes.create_string_buffer(size + 1)
    got = fn(buf, size)
    return buf.raw[: max(0, min(got, size))].decode("utf-8", "replace")


def check(rc: int) -> int:
    """rc when it is not negative; else the error it names, with the call's messages."""
    if rc < 0:
        raise make_error(rc, last_error() or generic_message(rc))
    return rc


def generic_message(code: int) -> str:
    """The error table's message for a code (either sign); "" for a code without a row."""
    fn = lib().KVN_ErrorLookup
    size = fn(None, 0, code)
    if size <= 0:
        return ""
    buf = ctypes.create_string_buffer(size + 1)
    got = fn(buf, size, code)
    return buf.raw[: max(0, min(got, size))].decode("ascii", "replace")


def call(name: str, *args) -> int:
    """Calls an export and raises for a negative result."""
    return check(getattr(lib(), name)(*args))


def text(name: str, *args, encoding: str = "utf-8") -> str:
    """Calls an export that answers text into (out, outlen) before the rest of its arguments.

    The first call, without a buffer, gives the length needed; the second fills a buffer of
    that length. An export that answers more on the second call than the buffer held (the
    input changed in between) is asked again with the larger length.
    """
    return raw_text(getattr(lib(), name), *args).decode(encoding)


def raw_text(fn: Callable[..., int], *args) -> bytes:
    size = check(fn(None, 0, *args))
    for _ in range(8):
        if size == 0:
            return b""
        buf = ctypes.create_string_buffer(size + 1)
        got = check(fn(buf, size, *args))
        if got <= size:
            return buf.raw[:got]
        size = got
    raise make_error(-9999, "the result kept growing between calls")
