"""Verification, validation and the table of many documents on a Dask cluster.

    import distributed, kelvane.dask

    client = distributed.Client("tcp://10.0.0.5:8786")
    frame = kelvane.dask.table(["/data/2023/*.zip", "/data/loose"], client)
    print(frame[frame.seal_check != "valid"].compute())

The client only lists: folder contents, glob matches and the central directories of ZIP
archives. Every document is read on a worker, which gives its table rows
(:func:`kelvane.table_rows`) and, once per document, the status columns: the seal checked
with :func:`kelvane.verify`, the stamp's seal checked with the stamping certificate, and the
validation findings counted (:func:`kelvane.validate`). Work is cut by file and by archive
entry, a large archive into ranges of its entries, and files are batched so that each task
holds enough work for the scheduler's cost per task to stay small beside it.

A document that cannot be read, parsed, verified or validated, an archive entry that is
refused, and an archive that cannot be opened are rows that say why, never a failed task.
Each worker process loads the library once, on its first document.

Paths must name the same files on the client and on every worker (a shared file system).
This module needs ``dask[dataframe]`` and ``distributed``; ``import kelvane`` does not.
"""

from __future__ import annotations

import argparse
import atexit
import functools
import glob
import itertools
import math
import os
import shutil
import sys
import tempfile
import threading
import zipfile
from typing import Dict, Iterable, Iterator, List, Optional, Sequence, Tuple, Union

import dask.dataframe as dd
import distributed
import pandas as pd

import kelvane

PathArg = Union[str, "os.PathLike[str]"]

# Status columns added to the table's own, once per document (repeated on each of its lines):
#   seal_check   "valid", "invalid" (the seal does not match), "unsigned" (no seal, or an
#                empty one), "error" (not checked: see check_error)
#   stamp_check  "valid", "invalid", "none" (no stamp), "unchecked" (no folder of stamping
#                certificates given), "no-cert" (the stamp's certificate is not in that
#                folder), "error"
#   findings     validation findings that make the document invalid (<NA>: not validated)
#   warnings     validation findings of checks that could not be made
#   check_error  why a check could not be made ("" when every check was made)
STATUS_COLUMNS = ("seal_check", "stamp_check", "findings", "warnings", "check_error")
_STATUS_DTYPES = {
    "seal_check": "object",
    "stamp_check": "object",
    "findings": "Int64",
    "warnings": "Int64",
    "check_error": "object",
}

# Documents per task when the caller does not choose: at least MIN_BATCH, at most MAX_BATCH,
# and otherwise enough tasks for TASKS_PER_THREAD per worker thread, so that a slow worker
# does not hold up the end. A document takes a worker 2 to 5 ms; between two tasks a worker
# waits for the scheduler a few milliseconds, up to 60 on a machine loaded five times over
# (bench/dask_bench.py): 250 documents keep that wait under 10 % of the work even then.
MIN_BATCH = 250
MAX_BATCH = 2000
TASKS_PER_THREAD = 8

# A unit of work: ("file", path); ("zip", path, start, stop) for the archive's entries
# [start, stop) in the order of its central directory, folders not counted; or ("archive",
# path) for an archive whose directory the client could not read (the worker reports why,
# or reads it whole).
Unit = Tuple


def columns(lines: bool = False, checks: bool = True) -> List[str]:
    """The frame's columns: the table's (one row per line with ``lines``), then the status
    columns unless ``checks`` is False."""
    table_columns = list(kelvane.LINE_COLUMNS if lines else kelvane.TABLE_COLUMNS)
    return table_columns + list(STATUS_COLUMNS) if checks else table_columns


def _dtypes(lines: bool, checks: bool) -> Dict[str, str]:
    return {name: _STATUS_DTYPES.get(name, "object") for name in columns(lines, checks)}


def meta(lines: bool = False, checks: bool = True) -> pd.DataFrame:
    """An empty frame with the columns and types of every partition."""
    return pd.DataFrame({name: pd.Series(dtype=dtype) for name, dtype in _dtypes(lines, checks).items()})


# ---- the client: listing and partitioning ---------------------------------------------------


def _is_archive(path: str) -> bool:
    return path.lower().endswith(".zip")


def _folder_files(folder: str) -> List[str]:
    """The documents and archives under folder, in the order kelvane.table takes them."""
    found = []
    for root, dirs, files in os.walk(folder):
        dirs.sort()
        for name in sorted(files):
            if name.lower().endswith((".xml", ".zip")):
                found.append(os.path.join(root, name))
    found.sort()
    return found


def expand(inputs: Iterable[PathArg]) -> List[str]:
    """The files that inputs name: a folder gives its documents and archives, a pattern that
    names no file as it is gives its matches (sorted; ``**`` reaches into subfolders), any
    other name stands for itself (a missing one gives a row that says so)."""
    files: List[str] = []
    for item in inputs:
        path = os.fsdecode(os.fspath(item))
        if os.path.isdir(path):
            files.extend(_folder_files(path))
        elif not os.path.lexists(path) and glob.has_magic(path):
            for match in sorted(glob.glob(path, recursive=True)):
                files.extend(_folder_files(match) if os.path.isdir(match) else [match])
        else:
            files.append(path)
    return files


def _archive_entries(path: str) -> Optional[int]:
    """The number of entries (folders aside) in the archive's central directory, read alone
    with no entry opened, or None when it cannot be read."""
    try:
        with zipfile.ZipFile(path) as archive:
            return sum(1 for info in archive.infolist() if not info.filename.endswith("/"))
    except (OSError, zipfile.BadZipFile, ValueError, EOFError):
        return None


def plan(inputs: Iterable[PathArg], batch_size: Optional[int] = None, threads: int = 1) -> List[List[Unit]]:
    """The tasks for inputs: lists of units that hold about batch_size documents each (by
    default a size chosen from the number of documents and of worker threads). An archive
    larger than a task is cut into ranges of entries."""
    counted: List[Tuple[Unit, int]] = []
    for path in expand(inputs):
        if _is_archive(path):
            entries = _archive_entries(path)
            counted.append((("archive", path), 1) if entries is None else (("zip", path, 0, entries), entries))
        else:
            counted.append((("file", path), 1))
    total = sum(n for _, n in counted)
    if batch_size is None:
        batch_size = min(MAX_BATCH, max(MIN_BATCH, math.ceil(total / (max(1, threads) * TASKS_PER_THREAD))))
    if batch_size < 1:
        raise ValueError("batch_size must be at least 1")
    tasks: List[List[Unit]] = []
    current: List[Unit] = []
    room = batch_size
    for unit, n in counted:
        if unit[0] != "zip":
            current.append(unit)
            room -= 1
        else:
            _, path, start, stop = unit
            while start < stop:
                end = min(stop, start + room)
                current.append(("zip", path, start, end))
                room -= end - start
                start = end
                if room == 0:
                    tasks.append(current)
                    current, room = [], batch_size
            continue
        if room == 0:
            tasks.append(current)
            current, room = [], batch_size
    if current:
        tasks.append(current)
    return tasks


def _threads(client: Optional[distributed.Client]) -> int:
    try:
        client = client or distributed.get_client()
        return max(1, sum(client.nthreads().values()))
    except (ValueError, OSError):
        return 1


def table(
    inputs: Union[PathArg, Iterable[PathArg]],
    client: Optional[distributed.Client] = None,
    lines: bool = False,
    batch_size: Optional[int] = None,
    sat_certs: Optional[PathArg] = None,
    catalogs: Optional[PathArg] = None,
    checks: bool = True,
) -> dd.DataFrame:
    """A dask frame of the table of every document that inputs name (files, folders, glob
    patterns and ZIP archives), one row per document (per line with ``lines``), in the order
    :func:`kelvane.table` gives, with :data:`STATUS_COLUMNS` added.

    ``client`` (default: the current one) is asked for its number of worker threads, to
    choose the documents per task when ``batch_size`` is None. ``sat_certs`` is a folder of
    stamping certificates, as the workers see it (default: ``KELVANE_SAT_CERTS`` on the
    client); without one, stamps are "unchecked". ``catalogs`` is passed to
    :func:`kelvane.validate`. ``checks=False`` gives the table alone, without the status
    columns and the work they take.
    """
    if isinstance(inputs, (str, bytes, os.PathLike)):
        inputs = [inputs]
    tasks = plan(inputs, batch_size, _threads(client))
    if sat_certs is None:
        sat_certs = os.environ.get("KELVANE_SAT_CERTS") or None
    options = (
        bool(lines),
        bool(checks),
        None if sat_certs is None else os.fsdecode(os.fspath(sat_certs)),
        None if catalogs is None else os.fsdecode(os.fspath(catalogs)),
    )
    empty = meta(lines, checks)
    if not tasks:
        return dd.from_pandas(empty, npartitions=1)
    return dd.from_map(_task_frame, tasks, args=options, meta=empty, label="kelvane-table", enforce_metadata=False)


# ---- the workers: rows and checks -----------------------------------------------------------


def _task_frame(
    units: List[Unit], lines: bool, with_checks: bool, sat_certs: Optional[str], catalogs: Optional[str]
) -> pd.DataFrame:
    """The rows of one task's units, with the columns and types of :func:`meta`."""
    check = functools.partial(checks, sat_certs=sat_certs, catalogs=catalogs) if with_checks else None
    rows: List[dict] = []
    for unit in units:
        rows.extend(_unit_rows(unit, lines, check))
    return pd.DataFrame(rows, columns=columns(lines, with_checks)).astype(_dtypes(lines, with_checks))


def _unit_rows(unit: Unit, lines: bool, check) -> Iterator[dict]:
    kind, path = unit[0], unit[1]
    if kind == "file":
        yield from _document_rows(path, path, None, lines, check)
        return
    start, stop = (unit[2], unit[3]) if kind == "zip" else (0, None)
    opened = False
    try:
        for name, data in _entries(path, start, stop):
            opened = True
            label = "%s:%s" % (path, name)
            if isinstance(data, bytes):
                yield from _document_rows(data, None, label, lines, check)
            else:
                yield from _refused_rows(label, "ZIP entry refused: %s" % data.reason, lines, check)
    except Exception as e:  # whatever stops the archive, its row says so
        # An archive that cannot be opened is one row, given by the task of its first entries.
        if opened or start == 0:
            yield from _refused_rows(path, str(e), lines, check)


def _entries(path: str, start: int, stop: Optional[int]) -> Iterator[Tuple[str, object]]:
    """The archive's entries [start, stop) as kelvane.zip_entries gives them (folders not
    counted). The entries before start are not read: skipping one through zip_entries
    would inflate it, which costs a good part of what its row does."""
    if start == 0:
        yield from itertools.islice(kelvane.zip_entries(path), stop)
        return
    try:
        archive = zipfile.ZipFile(path)
    except (OSError, zipfile.BadZipFile, ValueError, EOFError):
        return  # an archive that cannot be opened is reported by the task of its first entries
    with archive:
        files = [info for info in archive.infolist() if not info.filename.endswith("/")]
        for info in files[start:stop]:
            yield info.filename, _entry(archive, info)


def _entry(archive: zipfile.ZipFile, info: zipfile.ZipInfo):
    """One entry's bytes, or the kelvane.ZipEntryError that refuses it, by the table's rules."""
    rules = sys.modules[kelvane.zip_entries.__module__]  # the rules zip_entries applies
    reason = rules._refusal(info)
    if reason:
        return kelvane.ZipEntryError(info.filename, reason)
    try:
        data = archive.read(info)
    except (zipfile.BadZipFile, zipfile.LargeZipFile, OSError, EOFError, NotImplementedError) as e:
        return kelvane.ZipEntryError(info.filename, "damaged entry: %s" % e)
    if len(data) != info.file_size:
        return kelvane.ZipEntryError(info.filename, "damaged entry: its data do not match its declared size")
    if not rules._looks_like_xml(data):
        return kelvane.ZipEntryError(info.filename, "not an XML document")
    return data


def _refused_rows(name: str, reason: str, lines: bool, check) -> Iterator[dict]:
    """The row of a document, entry or archive that gives no table rows of its own."""
    row = dict.fromkeys(kelvane.LINE_COLUMNS if lines else kelvane.TABLE_COLUMNS)
    row.update({"file": name, "status": "error", "error": reason})
    if check is not None:
        row.update(_unchecked(reason))
    yield row


def _unchecked(reason: str) -> dict:
    return {"seal_check": "error", "stamp_check": "error", "findings": pd.NA, "warnings": pd.NA, "check_error": reason}


def _reason(error: BaseException) -> str:
    message = getattr(error, "message", None) or str(error) or type(error).__name__
    return message


def _document_rows(
    source: Union[str, bytes],
    path: Optional[str],
    name: Optional[str],
    lines: bool,
    check,
) -> List[dict]:
    """The table rows of one document (a path, or an archive entry's bytes and name), each
    with the document's status columns."""
    try:
        rows = kelvane.table_rows(source, lines=lines, name=name)
    except Exception as e:
        return list(_refused_rows(name or path or "", _reason(e), lines, check))
    if check is None or not rows:
        return rows
    # A document's row already names its stamp's certificate: no need to read it again.
    read = rows[0].get("status") != "error" and "stamp_certificate" in rows[0]
    stamp = rows[0]["stamp_certificate"] if read else _UNREAD
    try:
        if path is None:
            with _scratch_copy(source) as copy:
                status = check(copy, stamp_number=stamp)
        else:
            status = check(path, stamp_number=stamp)
    except OSError as e:  # no room for the entry's scratch copy: the document is not checked
        status = _unchecked(_reason(e))
    for row in rows:
        row.update(status)
    return rows


class _scratch_copy:
    """A private file holding an archive entry's bytes while the library reads it, removed
    afterwards. One folder per worker process, one file name per thread."""

    _folder: Optional[str] = None
    _lock = threading.Lock()

    def __init__(self, data: bytes) -> None:
        self.data = data

    @classmethod
    def folder(cls) -> str:
        with cls._lock:
            if cls._folder is None or not os.path.isdir(cls._folder):
                cls._folder = tempfile.mkdtemp(prefix="kelvane-dask-")
                atexit.register(shutil.rmtree, cls._folder, True)
            return cls._folder

    def __enter__(self) -> str:
        self.path = os.path.join(self.folder(), "entry-%d.xml" % threading.get_ident())
        fd = os.open(self.path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
        with os.fdopen(fd, "wb") as out:
            out.write(self.data)
        return self.path

    def __exit__(self, *exc) -> None:
        try:
            os.unlink(self.path)
        except OSError:
            pass


@functools.lru_cache(maxsize=8)
def _stamp_certificates(folder: str) -> Dict[str, str]:
    """Certificate number -> file, for the certificates in folder (read once per process)."""
    found: Dict[str, str] = {}
    for name in sorted(os.listdir(folder)):
        path = os.path.join(folder, name)
        if os.path.isfile(path):
            try:
                found.setdefault(kelvane.Certificate(path).number, path)
            except Exception:
                continue
    return found


def _stamp_number(path: str) -> Optional[str]:
    for attribute in ("NoCertificadoSAT", "noCertificadoSAT"):
        number = kelvane.attribute(path, attribute, "tfd:TimbreFiscalDigital")
        if number is not None:
            return number
    return None


def _unsigned(path: str) -> bool:
    """Whether the document is an invoice whose root has no seal or an empty one."""
    try:
        kelvane.version(path)
        return not any(kelvane.attribute(path, name) for name in ("Sello", "sello"))
    except Exception:
        return False


_UNREAD = object()


def checks(path: str, sat_certs: Optional[str] = None, catalogs: Optional[str] = None, stamp_number=_UNREAD) -> dict:
    """The status columns of the document at path. ``stamp_number``, when the caller has
    read it, is its stamp's NoCertificadoSAT (None: no stamp)."""
    reasons = []
    status: Dict[str, object] = {"findings": pd.NA, "warnings": pd.NA}
    try:
        status["seal_check"] = "valid" if kelvane.verify(path) else "invalid"
    except Exception as e:
        if _unsigned(path):
            status["seal_check"] = "unsigned"
        else:
            status["seal_check"] = "error"
            reasons.append("seal: " + _reason(e))
    try:
        number = _stamp_number(path) if stamp_number is _UNREAD else stamp_number
        if number is None:
            status["stamp_check"] = "none"
        elif sat_certs is None:
            status["stamp_check"] = "unchecked"
        elif number not in _stamp_certificates(sat_certs):
            status["stamp_check"] = "no-cert"
        else:
            certificate = _stamp_certificates(sat_certs)[number]
            status["stamp_check"] = "valid" if kelvane.verify(path, cert=certificate, stamp=True) else "invalid"
    except Exception as e:
        status["stamp_check"] = "error"
        reasons.append("stamp: " + _reason(e))
    try:
        found = kelvane.validate(path, catalogs=catalogs)
        status["findings"] = sum(1 for f in found if f.is_error)
        status["warnings"] = len(found) - status["findings"]
    except Exception as e:
        reasons.append("validation: " + _reason(e))
    status["check_error"] = "; ".join(reasons)
    return status


# ---- the command line -----------------------------------------------------------------------

_USAGE_EXIT = 2


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="kelvane-dask",
        description="The table of many invoices, with each seal and stamp verified and each document "
        "validated, computed on a Dask cluster.",
    )
    where = parser.add_mutually_exclusive_group(required=True)
    where.add_argument("--scheduler", metavar="ADDRESS", help="the cluster's scheduler, e.g. tcp://10.0.0.5:8786")
    where.add_argument("--local", metavar="N", type=int, help="a cluster of N worker processes on this machine")
    parser.add_argument("inputs", nargs="+", metavar="INPUT", help="documents, folders, ZIP archives or glob patterns")
    parser.add_argument("-o", "--output", metavar="FILE", help="where the table goes (default: CSV on standard output)")
    parser.add_argument(
        "--format", choices=("csv", "parquet"), help="the output's format (default: by the output's suffix, else CSV)"
    )
    parser.add_argument("--lines", action="store_true", help="one row per concept instead of one per document")
    parser.add_argument("--batch", metavar="N", type=int, help="documents per task (default: chosen by size)")
    parser.add_argument(
        "--sat-certs", metavar="DIR", help="folder of stamping certificates on the workers (default: $KELVANE_SAT_CERTS)"
    )
    parser.add_argument("--catalogs", metavar="DIR", help="folder of catalogs for validation, on the workers")
    parser.add_argument("-q", "--quiet", action="store_true", help="no progress or summary on standard error")
    return parser


def _output_format(args: argparse.Namespace) -> str:
    if args.format:
        return args.format
    if args.output and args.output.lower().endswith((".parquet", ".pq")):
        return "parquet"
    return "csv"


def _parquet_modules():
    try:
        import pyarrow
        import pyarrow.parquet
    except ImportError:
        return None
    return pyarrow, pyarrow.parquet


class _Output:
    """The output file, written whole or not at all: the rows go to a new file beside it that
    replaces it once complete, with the old file's mode (standard output is written as the
    rows come)."""

    def __init__(self, path: Optional[str], fmt: str) -> None:
        self.path, self.fmt = path, fmt
        self.temp: Optional[str] = None
        self.stream = None
        self.parquet = None
        self.writer = None

    def __enter__(self) -> "_Output":
        if self.path is None or self.path == "-":
            self.stream = sys.stdout
            return self
        folder = os.path.dirname(os.path.abspath(self.path))
        fd, self.temp = tempfile.mkstemp(prefix=".kelvane-dask-", dir=folder)
        self.stream = os.fdopen(fd, "w", encoding="utf-8", newline="") if self.fmt == "csv" else os.fdopen(fd, "wb")
        return self

    def write(self, part: pd.DataFrame, first: bool) -> None:
        if self.fmt == "csv":
            part.to_csv(self.stream, header=first, index=False)
            return
        pyarrow, parquet = self.parquet
        table = pyarrow.Table.from_pandas(part, preserve_index=False)
        if self.writer is None:
            self.writer = parquet.ParquetWriter(self.stream, table.schema)
        self.writer.write_table(table)

    def __exit__(self, kind, error, trace) -> None:
        if self.writer is not None:
            self.writer.close()
        if self.stream is sys.stdout:
            self.stream.flush()
            return
        if self.stream is not None:
            self.stream.close()
        if kind is None:
            try:
                mode = os.stat(self.path).st_mode & 0o7777
            except OSError:
                mode = 0o666 & ~_umask()
            os.chmod(self.temp, mode)
            os.replace(self.temp, self.path)
        elif self.temp is not None:
            os.unlink(self.temp)


def _umask() -> int:
    # Read from /proc rather than set and restored, which would race with other threads.
    try:
        with open("/proc/self/status", encoding="ascii") as status:
            for line in status:
                if line.startswith("Umask:"):
                    return int(line.split()[1], 8)
    except (OSError, ValueError):
        pass
    return 0o022


def _failed(part: pd.DataFrame) -> int:
    """The rows of part whose document could not be read or whose seal is not valid."""
    failed = part["status"] == "error"
    if "seal_check" in part:
        failed |= part["seal_check"] != "valid"
    return int(failed.sum())


def main(argv: Optional[Sequence[str]] = None) -> int:
    """``kelvane-dask``: writes the table of the inputs computed on a cluster. Exit status 0
    when every document was read and checked, 1 when some were not (their rows say why), 2 for
    a bad command line, 3 when the cluster cannot be reached or the output cannot be written."""
    args = _parser().parse_args(argv)
    fmt = _output_format(args)
    output = _Output(args.output, fmt)
    if fmt == "parquet":
        output.parquet = _parquet_modules()
        if output.parquet is None:
            print(
                "kelvane-dask: Parquet output needs pyarrow, which is not installed (Debian 12 has no "
                "python3-pyarrow); write CSV instead (-o FILE.csv)",
                file=sys.stderr,
            )
            return _USAGE_EXIT
        if args.output in (None, "-"):
            print("kelvane-dask: Parquet output needs a file (-o FILE.parquet)", file=sys.stderr)
            return _USAGE_EXIT
    if args.batch is not None and args.batch < 1:
        print("kelvane-dask: --batch must be at least 1", file=sys.stderr)
        return _USAGE_EXIT
    if args.local is not None and args.local < 1:
        print("kelvane-dask: --local must be at least 1", file=sys.stderr)
        return _USAGE_EXIT
    try:
        if args.local is not None:
            cluster = distributed.LocalCluster(
                n_workers=args.local, threads_per_worker=1, processes=True, dashboard_address=None
            )
        else:
            cluster = None
        client = distributed.Client(cluster if cluster is not None else args.scheduler)
    except (OSError, ValueError, TimeoutError) as e:
        print("kelvane-dask: cannot reach the scheduler %s: %s" % (args.scheduler, e), file=sys.stderr)
        return 3
    try:
        return _run(args, client, output)
    finally:
        client.close()
        if cluster is not None:
            cluster.close()


def _run(args: argparse.Namespace, client: distributed.Client, output: _Output) -> int:
    frame = table(args.inputs, client, lines=args.lines, batch_size=args.batch, sat_certs=args.sat_certs, catalogs=args.catalogs)
    parts = frame.to_delayed()
    futures = client.compute(parts)
    progress = not args.quiet and sys.stderr.isatty()
    rows = failed = 0
    try:
        with output:
            for i, future in enumerate(futures):
                part = future.result()
                futures[i] = None  # the worker may forget it now
                output.write(part, first=i == 0)
                rows += len(part)
                failed += _failed(part)
                if progress:
                    print("\rkelvane-dask: %d/%d tasks, %d rows" % (i + 1, len(futures), rows), end="", file=sys.stderr)
    except OSError as e:
        print("\nkelvane-dask: cannot write %s: %s" % (args.output, e), file=sys.stderr)
        return 3
    if not args.quiet:
        print(
            "%skelvane-dask: %d rows, %d failed%s"
            % ("\r" if progress else "", rows, failed, "" if args.output in (None, "-") else " -> " + args.output),
            file=sys.stderr,
        )
    return 1 if failed else 0


if __name__ == "__main__":
    # Run as `python3 -m kelvane.dask`: the tasks must name this module's functions as the
    # workers import them (kelvane.dask), not this copy run as __main__.
    from kelvane.dask import main as _main

    sys.exit(_main())
