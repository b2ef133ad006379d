"""Identity of the loaded library and its error table."""

from __future__ import annotations

from typing import Optional

from . import _library as L


def library_version() -> int:
    """The library's version as major * 10000 + minor * 100 + release (50202 is 5.2.2)."""
    return L.lib().KVN_Version()


def library_compile_time() -> str:
    """The library's build date and time, "Mmm dd yyyy hh:mm:ss"."""
    return L.text("KVN_CompileTime")


def library_path() -> str:
    """The path of the loaded library file."""
    return L.text("KVN_ModuleName", 0)


def library_platform() -> str:
    """The platform the library was built for ("Linux64")."""
    return L.text("KVN_ModuleName", L.OPT_PLATFORM)


def pki_version() -> int:
    """The cryptographic layer's version number."""
    return L.lib().KVN_PKIVersion()


def pki_compile_time() -> str:
    """The cryptographic layer's build date."""
    return L.text("KVN_PKICompileTime")


def pki_module_name() -> str:
    """The cryptographic layer's module name."""
    return L.text("KVN_PKIModuleName")


def last_error() -> str:
    """The messages recorded by this thread's last failing call (the exceptions carry them
    already)."""
    return L.last_error()


def error_message(code: int) -> Optional[str]:
    """The generic message of an error code (either sign), or None for a code without one.

    >>> kelvane.error_message(-6)
    'Parameter is wrong or missing/El parametro es incorrecto o falta'
    """
    return L.generic_message(code) or None
