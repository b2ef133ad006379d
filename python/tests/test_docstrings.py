"""The examples in the package's docstrings run as shown, from a folder holding examples/."""

from __future__ import annotations

import doctest
import io
import shutil
from pathlib import Path

import kelvane
from kelvane import _library, documents, errors, info, pki, signer
from conftest import EXAMPLES


def test_docstring_examples(tmp_path: Path, monkeypatch) -> None:
    shutil.copytree(EXAMPLES, tmp_path / "examples")
    monkeypatch.chdir(tmp_path)
    # Examples that read a signed invoice may come before the one that writes it.
    kelvane.sign("examples/cfdi32-invoice.xml", "examples/test-credentials/test-csd-1024.key", "test-password",
                 cert="examples/test-credentials/test-csd-1024.cer", out="signed.xml")
    report = io.StringIO()
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    examples = 0
    for module in (kelvane, documents, errors, info, pki, signer, _library):
        for test in doctest.DocTestFinder().find(module, globs={"kelvane": kelvane}):
            examples += len(test.examples)
            runner.run(test, out=report.write)
    assert runner.failures == 0, report.getvalue()
    assert examples >= 25
