"""Installing the package offline, the wheel that bundles the library, and the README's
example run as written."""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
import tarfile
import zipfile
from pathlib import Path

import pytest

from conftest import PYTHON_DIR, REPO

PROBE = "import kelvane; print(kelvane.__file__); print(kelvane.library_path()); print(kelvane.library_version())"


def run_python(code: str, cwd: Path, path: Path | None, library: bool = True) -> list:
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "KELVANE_LIBRARY")}
    if path is not None:
        env["PYTHONPATH"] = str(path)
    if library:
        env["KELVANE_LIBRARY"] = os.environ["KELVANE_LIBRARY"]
    done = subprocess.run([sys.executable, "-c", code], cwd=cwd, env=env, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    return done.stdout.splitlines()


@pytest.mark.parametrize("isolation", [False, True])
def test_pip_installs_the_package_offline(isolation: bool, tmp_path: Path) -> None:
    target = tmp_path / "site"
    command = [sys.executable, "-m", "pip", "install", "--no-index", "--no-deps", "--target", str(target)]
    if not isolation:
        command.append("--no-build-isolation")
    done = subprocess.run(command + [str(PYTHON_DIR)], capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr
    assert (target / "kelvane" / "py.typed").exists()
    assert list(target.glob("kelvane-*.dist-info/RECORD"))
    assert not (PYTHON_DIR / "build").exists()  # the source tree stays as it was
    module, library, version = run_python(PROBE, tmp_path, target)
    assert Path(module).parent == target / "kelvane"
    assert Path(library).samefile(os.environ["KELVANE_LIBRARY"])
    assert version == "50202"


def test_pip_install_bundles_the_library(tmp_path: Path) -> None:
    # The package built from the source tree carries the library it found (here the one
    # KELVANE_LIBRARY names), so the installed package needs nothing else.
    target = tmp_path / "site"
    done = subprocess.run(
        [sys.executable, "-m", "pip", "install", "--no-index", "--no-deps", "--target", str(target), str(PYTHON_DIR)],
        capture_output=True,
        text=True,
    )
    assert done.returncode == 0, done.stdout + done.stderr
    assert (target / "kelvane" / "libkelvane.so.5").is_file()
    module, library, version = run_python(PROBE, tmp_path, target, library=False)
    assert Path(library) == target / "kelvane" / "libkelvane.so.5"
    assert version == "50202"


def test_wheel_bundles_the_library_and_loads_it(tmp_path: Path) -> None:
    done = subprocess.run(
        ["sh", str(PYTHON_DIR / "build_wheel.sh"), os.environ["KELVANE_LIBRARY"], str(tmp_path / "dist")],
        capture_output=True,
        text=True,
        env=dict(os.environ, PYTHON=sys.executable),
    )
    assert done.returncode == 0, done.stderr
    wheel = Path(done.stdout.strip().splitlines()[-1])
    assert re.fullmatch(r"kelvane-5\.2\.2-py3-none-linux_\w+\.whl", wheel.name)
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
        assert "kelvane/libkelvane.so.5" in names
        assert "Root-Is-Purelib: false" in archive.read("kelvane-5.2.2.dist-info/WHEEL").decode()
        record = archive.read("kelvane-5.2.2.dist-info/RECORD").decode()
        assert all(name in record for name in names)
        archive.extractall(tmp_path / "site")
    # Without KELVANE_LIBRARY the package loads the library beside it.
    module, library, version = run_python(PROBE, tmp_path, tmp_path / "site", library=False)
    assert Path(library) == tmp_path / "site" / "kelvane" / "libkelvane.so.5"
    assert version == "50202"


def test_source_and_editable_builds(tmp_path: Path) -> None:
    sys.path.insert(0, str(PYTHON_DIR / "_build"))
    try:
        import kelvane_build
    finally:
        sys.path.pop(0)
    sdist = tmp_path / kelvane_build.build_sdist(str(tmp_path))
    with tarfile.open(sdist) as archive:
        names = archive.getnames()
    assert {"kelvane-5.2.2/PKG-INFO", "kelvane-5.2.2/pyproject.toml", "kelvane-5.2.2/kelvane/__init__.py"} <= set(names)
    assert "kelvane-5.2.2/_build/kelvane_build.py" in names
    editable = tmp_path / kelvane_build.build_editable(str(tmp_path))
    with zipfile.ZipFile(editable) as archive:
        assert archive.read("__editable__.kelvane.pth").decode().strip() == str(PYTHON_DIR)


def test_readme_example_runs_as_written(tmp_path: Path) -> None:
    readme = (REPO / "README.md").read_text(encoding="utf-8")
    section = readme.split("\n## Python\n", 1)[1].split("\n## ", 1)[0]
    code = re.search(r"```python\n(.*?)```", section, re.S).group(1)
    assert len(code.strip().splitlines()) <= 11
    shutil.copytree(REPO / "examples", tmp_path / "examples")
    printed = run_python(code, tmp_path, PYTHON_DIR)
    expected = [line.split("# ", 1)[1] for line in code.splitlines() if line.startswith("print(")]
    assert printed == expected
    assert (tmp_path / "signed.xml").exists()
