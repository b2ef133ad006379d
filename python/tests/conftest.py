"""Shared paths for the tests of the Python package.

The library under test is the one named by KELVANE_LIBRARY (scripts/test points it at
build/test); without it, build/test's library when it has been built. The real-world corpus
is found through KVN_CORPUS_DIR (default ../shared/corpus beside the repository); a missing
corpus fails the tests that need it rather than skipping them.
"""

from __future__ import annotations

import os
from pathlib import Path
from typing import Dict, List, Tuple

import pytest

REPO = Path(__file__).resolve().parents[2]
PYTHON_DIR = REPO / "python"
EXAMPLES = REPO / "examples"
CREDENTIALS = EXAMPLES / "test-credentials"
FIXTURES = REPO / "tests" / "fixtures"
CORPUS = Path(os.environ.get("KVN_CORPUS_DIR", str(REPO.parent / "shared" / "corpus")))

KEY = CREDENTIALS / "test-csd-1024.key"
CERT = CREDENTIALS / "test-csd-1024.cer"
PASSWORD = (CREDENTIALS / "password.txt").read_text(encoding="ascii").strip()

if not os.environ.get("KELVANE_LIBRARY"):
    built = REPO / "build" / "test" / "libkelvane.so.5"
    if built.exists():
        os.environ["KELVANE_LIBRARY"] = str(built)


def corpus(name: str = "") -> Path:
    assert (CORPUS / "manifest.tsv").is_file(), "corpus missing at %s (set KVN_CORPUS_DIR)" % CORPUS
    return CORPUS / name


def manifest() -> List[Tuple[str, str, str]]:
    """(file, version, seal) rows of the corpus manifest."""
    rows = []
    for line in corpus("manifest.tsv").read_text(encoding="utf-8").splitlines():
        if line and not line.startswith("#"):
            file, version, seal = line.split("\t")[:3]
            rows.append((file, version, seal))
    return rows


def corpus_passwords() -> Dict[str, str]:
    passwords = {}
    for line in corpus("certs/passwords.txt").read_text(encoding="utf-8").splitlines():
        if line and not line.startswith("#") and "\t" in line:
            name, password = line.split("\t", 1)
            passwords[name] = password
    return passwords


def pipe_differences() -> Dict[str, set]:
    """Corpus documents whose pipe string differs by design from the authority's stylesheet,
    by kind ("pipe" or "stamp"), as the C++ suite lists them."""
    kinds: Dict[str, set] = {"pipe": set(), "stamp": set()}
    for line in (REPO / "tests" / "cfdi" / "xslt_differences.txt").read_text(encoding="utf-8").splitlines():
        if line and not line.startswith("#"):
            kind, file = line.split("\t")[:2]
            kinds[kind].add(file)
    return kinds


@pytest.fixture
def signed(tmp_path: Path) -> Path:
    """The CFDI 3.2 example signed with the test credentials, certificate included."""
    import kelvane

    out = tmp_path / "signed.xml"
    kelvane.sign(EXAMPLES / "cfdi32-invoice.xml", KEY, PASSWORD, cert=CERT, out=out)
    return out
