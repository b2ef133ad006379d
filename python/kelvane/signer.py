"""Signing many invoices with one key: the key is read and decrypted once.

    >>> with kelvane.Signer("examples/test-credentials/test-csd-1024.key", "test-password",
    ...                     "examples/test-credentials/test-csd-1024.cer") as signer:
    ...     signer.sign("examples/cfdi32-invoice.xml", out="signed.xml")
    ...     signer.seal("examples/cfdi32-invoice.xml")[:20]
    'jemEq4eg84U5NaMybzAN'
    >>> kelvane.verify("signed.xml")
    True
"""

from __future__ import annotations

import ctypes
from typing import Optional

from . import _library as L
from .documents import Password, _options
from .errors import ParameterError
from .pki import CertArg, KeyArg, cert_arg, key_args

# Room for the seal of the largest key the library takes (16384 bits: 2732 characters).
_SEAL_ROOM = 4096


class Signer:
    """A signing session: the key (and the certificate, checked against it) read once, for
    any number of documents, from any number of threads at once.

    ``key`` is the path of an encrypted key file or a :class:`kelvane.PrivateKey` (whose
    password is used when ``password`` is None); ``cert`` a certificate as
    :func:`kelvane.sign` takes it. A wrong password, a damaged key or a key that does not
    belong to the certificate raises here, as :func:`kelvane.sign` raises for them.

    Use it as a context manager, or call :meth:`close`; the library wipes the key once
    the session is closed and the calls using it have returned. A closed session raises
    :class:`kelvane.ParameterError`.
    """

    def __init__(self, key: KeyArg, password: Password = None, cert: Optional[CertArg] = None) -> None:
        key_path, key_password = key_args(key, password)
        self._handle = 0
        self._handle = L.check(
            L.lib().KVN_OpenSigner(key_path, key_password, None if cert is None else cert_arg(cert))
        )

    def sign(
        self,
        path: L.PathArg,
        out: Optional[L.PathArg] = None,
        md5: bool = False,
        latin1: bool = False,
        bom: bool = True,
    ) -> None:
        """Writes the signed document to ``out`` (default: over ``path``), as
        :func:`kelvane.sign` does with this session's key and certificate."""
        options = _options((md5, L.OPT_MD5), (latin1, L.OPT_LATIN1), (not bom, L.OPT_NOBOM))
        source = L.path_arg(path)
        L.check(
            L.lib().KVN_SignXmlWithSigner(
                self._live(), source if out is None else L.path_arg(out, "out"), source, options
            )
        )

    def seal(self, path: L.PathArg, md5: bool = False, stamp: bool = False, latin1: bool = False) -> str:
        """The seal of the document as it stands, as :func:`kelvane.seal` makes it with this
        session's key."""
        options = _options((md5, L.OPT_MD5), (stamp, L.OPT_STAMP), (latin1, L.OPT_LATIN1))
        # One call with room for any seal: asking for the length first would sign twice.
        fn, source = L.lib().KVN_MakeSignatureWithSigner, L.path_arg(path)
        buf = ctypes.create_string_buffer(_SEAL_ROOM + 1)
        got = L.check(fn(buf, _SEAL_ROOM, self._live(), source, options))
        if got > _SEAL_ROOM:
            return L.raw_text(fn, self._live(), source, options).decode("ascii")
        return buf.raw[:got].decode("ascii")

    def close(self) -> None:
        """Closes the session; closing it again does nothing."""
        handle, self._handle = self._handle, 0
        if handle > 0:
            L.lib().KVN_CloseSigner(handle)

    @property
    def closed(self) -> bool:
        return self._handle <= 0

    def _live(self) -> int:
        if self._handle <= 0:
            raise ParameterError(6, "the signing session is closed")
        return self._handle

    def __enter__(self) -> "Signer":
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()

    def __del__(self) -> None:
        # A session dropped without close() is closed here (the interpreter may be shutting down).
        try:
            self.close()
        except Exception:
            pass


__all__ = ["Signer"]
