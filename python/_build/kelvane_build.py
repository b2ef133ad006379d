"""Build backend of the kelvane package (PEP 517 and PEP 660), standard library only.

The package is plain Python files, so a wheel is a zip of them plus the .dist-info files;
doing it here keeps `pip install ./python` working offline in an isolated build (nothing
to fetch) and on an interpreter whose setuptools cannot make wheels without the separate
wheel package. When kelvane/libkelvane.so.5 is present (build_wheel.sh copies it there),
the wheel bundles it and is tagged for this platform instead of py3-none-any.

Metadata comes from the plain `key = "string"` lines of pyproject.toml's [project] table.
"""

from __future__ import annotations

import base64
import hashlib
import io
import os
import re
import sysconfig
import tarfile
import zipfile
from pathlib import Path
from typing import Dict, List, Optional, Tuple

ROOT = Path(__file__).resolve().parent.parent
PACKAGE = "kelvane"
LIBRARY = "libkelvane.so.5"
# A fixed timestamp, so the same tree always gives the same wheel.
ZIP_TIME = (2014, 1, 3, 0, 0, 0)


def _project() -> Dict[str, str]:
    fields: Dict[str, str] = {}
    section = None
    for line in (ROOT / "pyproject.toml").read_text(encoding="utf-8").splitlines():
        header = re.match(r"\s*\[([^\]]+)\]\s*$", line)
        if header:
            section = header.group(1).strip()
            continue
        value = re.match(r'\s*([A-Za-z][\w-]*)\s*=\s*"([^"]*)"\s*$', line)
        if section == "project" and value:
            fields[value.group(1)] = value.group(2)
    return fields


def _metadata() -> str:
    p = _project()
    lines = [
        "Metadata-Version: 2.1",
        "Name: " + p["name"],
        "Version: " + p["version"],
        "Summary: " + p.get("description", ""),
        "Requires-Python: " + p.get("requires-python", ">=3.8"),
    ]
    readme = ROOT / p.get("readme", "README.md")
    if readme.exists():
        lines.append("Description-Content-Type: text/markdown")
        return "\n".join(lines) + "\n\n" + readme.read_text(encoding="utf-8")
    return "\n".join(lines) + "\n"


def _package_files() -> List[Path]:
    files = []
    for path in sorted((ROOT / PACKAGE).rglob("*")):
        if path.is_file() and "__pycache__" not in path.parts and path.suffix not in (".pyc", ".pyo"):
            files.append(path)
    return files


def _tag(bundled: bool) -> Tuple[str, bool]:
    """The wheel's tag and whether it is pure."""
    if not bundled:
        return "py3-none-any", True
    platform = re.sub(r"[^\w]", "_", sysconfig.get_platform())
    return "py3-none-" + platform, False


def _record_hash(data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode("ascii")
    return "sha256=" + digest


class _Wheel:
    def __init__(self, directory: str, tag: str) -> None:
        p = _project()
        self.dist_info = "%s-%s.dist-info" % (p["name"], p["version"])
        self.filename = "%s-%s-%s.whl" % (p["name"], p["version"], tag)
        self.path = os.path.join(directory, self.filename)
        self.zip = zipfile.ZipFile(self.path, "w", zipfile.ZIP_DEFLATED)
        self.records: List[str] = []

    def add(self, name: str, data: bytes, mode: int = 0o644) -> None:
        info = zipfile.ZipInfo(name, ZIP_TIME)
        info.external_attr = (0o100000 | mode) << 16
        info.compress_type = zipfile.ZIP_DEFLATED
        self.zip.writestr(info, data)
        self.records.append("%s,%s,%d" % (name, _record_hash(data), len(data)))

    def close(self, tag: str, pure: bool) -> str:
        self.add(self.dist_info + "/METADATA", _metadata().encode("utf-8"))
        wheel = "Wheel-Version: 1.0\nGenerator: kelvane_build\nRoot-Is-Purelib: %s\nTag: %s\n" % (
            "true" if pure else "false",
            tag,
        )
        self.add(self.dist_info + "/WHEEL", wheel.encode("ascii"))
        record = self.dist_info + "/RECORD"
        self.records.append(record + ",,")
        info = zipfile.ZipInfo(record, ZIP_TIME)
        info.external_attr = 0o100644 << 16
        self.zip.writestr(info, "\n".join(self.records) + "\n", zipfile.ZIP_DEFLATED)
        self.zip.close()
        return self.filename


# ---- PEP 517 hooks ----------------------------------------------------------------------


def get_requires_for_build_wheel(config_settings: Optional[dict] = None) -> List[str]:
    return []


def get_requires_for_build_sdist(config_settings: Optional[dict] = None) -> List[str]:
    return []


def get_requires_for_build_editable(config_settings: Optional[dict] = None) -> List[str]:
    return []


def build_wheel(
    wheel_directory: str, config_settings: Optional[dict] = None, metadata_directory: Optional[str] = None
) -> str:
    files = _package_files()
    bundled = any(f.name == LIBRARY for f in files)
    tag, pure = _tag(bundled)
    wheel = _Wheel(wheel_directory, tag)
    for path in files:
        mode = 0o755 if path.name == LIBRARY else 0o644
        wheel.add(path.relative_to(ROOT).as_posix(), path.read_bytes(), mode)
    return wheel.close(tag, pure)


def build_editable(
    wheel_directory: str, config_settings: Optional[dict] = None, metadata_directory: Optional[str] = None
) -> str:
    tag, pure = _tag(False)
    wheel = _Wheel(wheel_directory, tag)
    wheel.add("__editable__.kelvane.pth", (str(ROOT) + "\n").encode("utf-8"))
    return wheel.close(tag, pure)


def build_sdist(sdist_directory: str, config_settings: Optional[dict] = None) -> str:
    p = _project()
    base = "%s-%s" % (p["name"], p["version"])
    filename = base + ".tar.gz"
    sources = [ROOT / "pyproject.toml", ROOT / "README.md", ROOT / "build_wheel.sh", ROOT / "_build" / "kelvane_build.py"]
    sources += [f for f in _package_files() if f.name != LIBRARY]
    with tarfile.open(os.path.join(sdist_directory, filename), "w:gz", format=tarfile.PAX_FORMAT) as tar:
        for path in sources:
            if path.exists():
                tar.add(str(path), arcname=base + "/" + path.relative_to(ROOT).as_posix())
        pkg_info = _metadata().encode("utf-8")
        info = tarfile.TarInfo(base + "/PKG-INFO")
        info.size = len(pkg_info)
        tar.addfile(info, io.BytesIO(pkg_info))
    return filename
