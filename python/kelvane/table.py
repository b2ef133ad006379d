"""Invoices as a table: one row per document, or one per concept.

The rows come from the library (``KVN_TableRows``), so they are the rows ``kelvane table``
writes, column for column. Every row is a dict with exactly the keys of
:data:`TABLE_COLUMNS` (or :data:`LINE_COLUMNS`), each value a ``str`` as written in the
document (amounts keep their digits; the tax columns are exact decimal sums) or ``None``
when the document has no such value. ``pandas.DataFrame(rows)`` takes them as they are.

A document that cannot be read gives one row whose ``status`` is ``"error"`` and whose
``error`` says why; these functions never raise for a document's own faults.

ZIP archives are read entry by entry (:func:`zip_entries`) with the rules of the tool:
entries in the order of the archive's central directory; folders skipped; refused, each
with a reason, an entry whose name is absolute or has a ``..`` part, an encrypted one, one
compressed by a method other than stored or deflate, one whose declared size is above
64 MiB or above both 1 MiB and 100 times its compressed size (a ZIP bomb), one whose data
do not match its declared size or checksum, and one that is not XML (its first character,
after a byte-order mark and white space, is not ``<``). An entry's row names it
``ARCHIVE:ENTRY``.
"""

from __future__ import annotations

import ctypes
import os
import zipfile
from concurrent.futures import ThreadPoolExecutor
from typing import Dict, Iterable, Iterator, List, Optional, Tuple, Union

from . import _library as L
from .errors import KelvaneError, make_error

# The tax columns, the same for every document: IVA by rate (16 %, 8 %, 0 %, any other),
# IEPS and any other transferred tax summed, withholdings by tax.
_TAX_COLUMNS = (
    "transferred_iva_16",
    "transferred_iva_8",
    "transferred_iva_0",
    "transferred_iva_other",
    "transferred_ieps",
    "transferred_other",
    "withheld_isr",
    "withheld_iva",
    "withheld_ieps",
    "withheld_other",
)

#: Columns of a document table, in order.
TABLE_COLUMNS: Tuple[str, ...] = (
    "file",
    "status",
    "error",
    "uuid",
    "version",
    "type",
    "date",
    "series",
    "folio",
    "issuer_rfc",
    "issuer_name",
    "receiver_rfc",
    "receiver_name",
    "currency",
    "exchange_rate",
    "subtotal",
    "discount",
    "total",
    "payment_method",
    "payment_form",
    "transferred_total",
    "withheld_total",
) + _TAX_COLUMNS + (
    "transferred_local",
    "withheld_local",
    "stamp_date",
    "certifier",
    "stamp_certificate",
    "seal",
)

#: Columns of a line table (one row per concept), in order.
LINE_COLUMNS: Tuple[str, ...] = (
    "file",
    "status",
    "error",
    "uuid",
    "line",
    "product_code",
    "id_number",
    "quantity",
    "unit_code",
    "unit",
    "description",
    "unit_value",
    "amount",
    "discount",
    "tax_object",
) + _TAX_COLUMNS

# ZIP limits, the tool's own (tools/kelvane/zip_reader.h).
ZIP_MAX_ENTRY = 64 * 1024 * 1024
ZIP_RATIO_FLOOR = 1024 * 1024
ZIP_MAX_RATIO = 100

Row = Dict[str, Optional[str]]
Document = Union[str, bytes, "os.PathLike[str]"]


class ZipEntryError(Exception):
    """A ZIP entry that is not read: ``name`` is the entry's name, ``reason`` why."""

    def __init__(self, name: str, reason: str) -> None:
        super().__init__("%s: %s" % (name, reason))
        self.name = name
        self.reason = reason


def _unescape(field: str) -> Optional[str]:
    if field == "\\N":
        return None
    if "\\" not in field:
        return field
    out = []
    i = 0
    while i < len(field):
        c = field[i]
        if c == "\\" and i + 1 < len(field):
            out.append({"t": "\t", "n": "\n", "r": "\r"}.get(field[i + 1], field[i + 1]))
            i += 2
        else:
            out.append(c)
            i += 1
    return "".join(out)


def _error_row(name: str, reason: str, lines: bool) -> Row:
    row: Row = dict.fromkeys(LINE_COLUMNS if lines else TABLE_COLUMNS)
    row.update(file=name, status="error", error=reason)
    return row


def whole_text(fn, *args) -> bytes:
    """The text of an export that answers its whole length even when the buffer was too
    short (KVN_TableRows, KVN_XmlToJson): one call with a buffer that usually holds it, a
    second only for a longer text, so that a document is not read twice for its length."""
    size = 64 * 1024
    for _ in range(8):
        buf = ctypes.create_string_buffer(size + 1)
        got = L.check(fn(buf, size, *args))
        if got <= size:
            return buf.raw[:got]
        size = got
    raise make_error(-9999, "the result kept growing between calls")


def _parse_rows(text: str, name: str, lines: bool) -> List[Row]:
    columns = LINE_COLUMNS if lines else TABLE_COLUMNS
    records = text.split("\n")
    header = records[0].split("\t")
    if tuple(header) != columns[1:]:
        raise make_error(-9999, "the library's table columns are not this package's: %s" % header)
    rows = []
    for record in records[1:]:
        if not record:
            continue
        fields = [_unescape(f) for f in record.split("\t")]
        rows.append(dict(zip(columns, [name] + fields)))
    return rows


def table_rows(document: Document, lines: bool = False, name: Optional[str] = None) -> List[Row]:
    """The rows of one document: a path, or ``bytes`` that are the document's own text (a
    ZIP entry, say). ``name`` is what the ``file`` column shows (default: the path, or ""
    for bytes). ``lines=True`` gives one row per concept instead of one per document.

    >>> kelvane.table_rows("signed40.xml")[0]["total"]
    '5015.00'
    """
    options = L.OPT_LINES if lines else 0
    if isinstance(document, (bytes, bytearray, memoryview)):
        data = bytes(document)
        label = "" if name is None else name
        if b"\0" in data:
            return [_error_row(label, "Document contains a NUL byte/El documento contiene un byte nulo", lines)]
        argument = data
        options |= L.OPT_XMLTEXT
    else:
        label = os.fspath(document) if name is None else name
        if isinstance(label, bytes):
            label = os.fsdecode(label)
        try:
            argument = L.path_arg(document)
        except Exception as e:  # a NUL in the name: the document cannot be named
            return [_error_row(label, str(e), lines)]
    raw = whole_text(L.lib().KVN_TableRows, argument, options)
    return _parse_rows(raw.decode("utf-8", "replace"), label, lines)


def _is_zip(path: str) -> bool:
    return path.lower().endswith(".zip")


def _expand(paths: Iterable[Document]) -> Iterator[str]:
    """Files as given; folders searched for *.xml and *.zip files, sorted by path."""
    for p in paths:
        path = os.fsdecode(os.fspath(p))
        if os.path.isdir(path):
            found = []
            for folder, _dirs, files in os.walk(path):
                for f in files:
                    if f.lower().endswith((".xml", ".zip")):
                        found.append(os.path.join(folder, f))
            yield from sorted(found)
        else:
            yield path


def _unsafe_name(name: str) -> bool:
    if not name or name.startswith(("/", "\\")) or (len(name) > 1 and name[1] == ":"):
        return True
    parts = name.replace("\\", "/").split("/")
    return ".." in parts


def _looks_like_xml(data: bytes) -> bool:
    if data.startswith(b"\xef\xbb\xbf"):
        data = data[3:]
    data = data.lstrip(b" \t\r\n")
    return data.startswith(b"<")


def zip_entries(path: Document) -> Iterator[Tuple[str, Union[bytes, ZipEntryError]]]:
    """The entries of a ZIP archive that a table reads, in the archive's order, as
    ``(name, bytes)``, or ``(name, ZipEntryError)`` for an entry refused by the rules in
    this module's description. An archive that cannot be read at all raises
    :class:`kelvane.InputFileError`.
    """
    archive_path = os.fsdecode(os.fspath(path))
    try:
        archive = zipfile.ZipFile(archive_path)
    except (OSError, zipfile.BadZipFile) as e:
        raise make_error(-1, "Cannot read ZIP archive '%s': %s/No se puede leer el archivo ZIP" % (archive_path, e))
    with archive:
        for info in archive.infolist():
            name = info.filename
            if name.endswith("/"):
                continue
            reason = _refusal(info)
            if reason:
                yield name, ZipEntryError(name, reason)
                continue
            try:
                data = archive.read(info)
            except (zipfile.BadZipFile, zipfile.LargeZipFile, OSError, EOFError, NotImplementedError) as e:
                yield name, ZipEntryError(name, "damaged entry: %s" % e)
                continue
            if len(data) != info.file_size:
                yield name, ZipEntryError(name, "damaged entry: its data do not match its declared size")
            elif not _looks_like_xml(data):
                yield name, ZipEntryError(name, "not an XML document")
            else:
                yield name, data


def _refusal(info: zipfile.ZipInfo) -> Optional[str]:
    if _unsafe_name(info.filename):
        return "unsafe entry name (absolute, or with a '..' part)"
    if info.flag_bits & 0x1:
        return "encrypted entry"
    if info.compress_type not in (zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED):
        return "unsupported compression method %d" % info.compress_type
    if info.file_size > ZIP_MAX_ENTRY:
        return "declared size %d is above the limit of %d bytes" % (info.file_size, ZIP_MAX_ENTRY)
    if info.file_size > ZIP_RATIO_FLOOR and info.file_size > ZIP_MAX_RATIO * info.compress_size:
        return "declared size %d is far above its compressed size %d (a ZIP bomb)" % (
            info.file_size,
            info.compress_size,
        )
    return None


def _zip_rows(path: str, lines: bool) -> List[Row]:
    rows: List[Row] = []
    try:
        for name, data in zip_entries(path):
            label = "%s:%s" % (path, name)
            if isinstance(data, ZipEntryError):
                rows.append(_error_row(label, "ZIP entry refused: %s" % data.reason, lines))
            else:
                rows.extend(table_rows(data, lines=lines, name=label))
    except KelvaneError as e:
        rows.append(_error_row(path, str(e), lines))
    return rows


def table(paths: Union[Document, Iterable[Document]], lines: bool = False, jobs: Optional[int] = None) -> List[Row]:
    """The rows of every document under ``paths`` (files, folders searched for *.xml and
    *.zip, ZIP archives), in the order of the inputs, read by ``jobs`` threads (default:
    the processors).

    >>> import pandas
    >>> frame = pandas.DataFrame(kelvane.table(["invoices/", "download.zip"]))
    """
    if isinstance(paths, (str, bytes, os.PathLike)):
        paths = [paths]
    files = list(_expand(paths))

    def rows_of(path: str) -> List[Row]:
        if _is_zip(path):
            return _zip_rows(path, lines)
        return table_rows(path, lines=lines)

    workers = jobs or os.cpu_count() or 1
    if workers == 1 or len(files) < 2:
        parts = [rows_of(f) for f in files]
    else:
        with ThreadPoolExecutor(max_workers=workers) as pool:
            parts = list(pool.map(rows_of, files))
    return [row for part in parts for row in part]


__all__ = ["TABLE_COLUMNS", "LINE_COLUMNS", "ZipEntryError", "table_rows", "table", "zip_entries"]
