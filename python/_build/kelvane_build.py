"""Build backend of the kelvane package (PEP 517 and PEP 660), standard library only.

The package is plain Python files, so a wheel is a zip of them plus the .dist-info files;
doing it here keeps `pip install ./python` working offline in an isolated build (nothing
to fetch) and on an interpreter whose setuptools cannot make wheels without the separate
wheel package.

The wheel carries the library, so that the installed package works without anything else:
kelvane/libkelvane.so.5 when present (build_wheel.sh copies it there), else the library
named by KELVANE_LIBRARY, else the one in the repository's build tree (build/test or
another build without sanitizers), else one built here with CMake into build/python. Such
a wheel is tagged for this platform instead of py3-none-any. Only when no library can be
had (no CMake, or a copy of the package outside its repository) is the wheel pure, and the
installed package then looks for the library on the system.

Metadata comes from the plain `key = "string"` lines of pyproject.toml's [project] table,
console commands from its [project.scripts] table.
"""

from __future__ import annotations

import base64
import hashlib
import io
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import tempfile
import zipfile
from pathlib import Path
from typing import Dict, List, Optional, Tuple

ROOT = Path(__file__).resolve().parent.parent
PACKAGE = "kelvane"
LIBRARY = "libkelvane.so.5"
# A fixed timestamp, so the same tree always gives the same wheel.
ZIP_TIME = (2014, 1, 3, 0, 0, 0)


def _project(table: str = "project") -> Dict[str, str]:
    fields: Dict[str, str] = {}
    section = None
    for line in (ROOT / "pyproject.toml").read_text(encoding="utf-8").splitlines():
        header = re.match(r"\s*\[([^\]]+)\]\s*$", line)
        if header:
            section = header.group(1).strip()
            continue
        value = re.match(r'\s*([A-Za-z][\w-]*)\s*=\s*"([^"]*)"\s*$', line)
        if section == table and value:
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


REPOSITORY = ROOT.parent
# Builds whose library does not run in a plain process (sanitizer runtimes) or is not built.
NOT_FOR_WHEELS = ("asan", "tsan", "fuzz", "bench")


def _log(message: str) -> None:
    print("kelvane_build: " + message, file=sys.stderr, flush=True)


def _library_in_build_tree() -> Optional[Path]:
    build = REPOSITORY / "build"
    if not build.is_dir():
        return None
    found = [p for p in build.glob("*/" + LIBRARY) if p.parent.name not in NOT_FOR_WHEELS and p.is_file()]
    found.sort(key=lambda p: (p.parent.name != "test", -p.stat().st_mtime))
    return found[0] if found else None


def _build_library() -> Optional[Path]:
    """Builds the library alone (no tests) into build/python; None when it cannot be."""
    cmake = shutil.which("cmake")
    if not cmake or not (REPOSITORY / "CMakeLists.txt").is_file() or not (REPOSITORY / "src").is_dir():
        return None
    build = REPOSITORY / "build" / "python"
    configure = [cmake, "-S", str(REPOSITORY), "-B", str(build), "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DKVN_BUILD_TESTS=OFF"]
    if shutil.which("ninja") and not (build / "CMakeCache.txt").exists():
        configure += ["-G", "Ninja"]
    _log("building the library with CMake into %s" % build)
    try:
        subprocess.run(configure, check=True, stdout=sys.stderr)
        subprocess.run([cmake, "--build", str(build), "--target", "kelvane", "-j", str(os.cpu_count() or 1)],
                       check=True, stdout=sys.stderr)
    except (OSError, subprocess.CalledProcessError) as e:
        _log("could not build the library: %s" % e)
        return None
    built = build / LIBRARY
    return built if built.is_file() else None


def _library_to_bundle() -> Optional[Path]:
    """The library the wheel carries (see the module's docstring), or None."""
    bundled = ROOT / PACKAGE / LIBRARY
    if bundled.is_file():
        return bundled
    named = os.environ.get("KELVANE_LIBRARY")
    if named and Path(named).is_file():
        return Path(named)
    return _library_in_build_tree() or _build_library()


def _stripped(library: Path) -> bytes:
    """The library's bytes without debug sections (most of a RelWithDebInfo build)."""
    strip = shutil.which("strip")
    if not strip:
        return library.read_bytes()
    with tempfile.TemporaryDirectory() as scratch:
        copy = Path(scratch) / LIBRARY
        shutil.copyfile(library, copy)
        if subprocess.run([strip, "--strip-debug", str(copy)], capture_output=True).returncode != 0:
            return library.read_bytes()
        return copy.read_bytes()


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
        scripts = _project("project.scripts")
        if scripts:
            lines = "".join("%s = %s\n" % item for item in sorted(scripts.items()))
            self.add(self.dist_info + "/entry_points.txt", ("[console_scripts]\n" + lines).encode("utf-8"))
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
    files = [f for f in _package_files() if f.name != LIBRARY]
    library = _library_to_bundle()
    if library is None:
        _log("no %s to bundle: the installed package will look for it on the system" % LIBRARY)
    else:
        _log("bundling %s" % library)
    tag, pure = _tag(library is not None)
    wheel = _Wheel(wheel_directory, tag)
    for path in files:
        wheel.add(path.relative_to(ROOT).as_posix(), path.read_bytes())
    if library is not None:
        wheel.add(PACKAGE + "/" + LIBRARY, _stripped(library), 0o755)
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
