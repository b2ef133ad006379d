"""Threads calling the library at once get what a single thread gets.

ctypes releases the interpreter lock during each call, so these calls really overlap
inside the library; the messages of a failure are read on the failing thread.
"""

from __future__ import annotations

from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import kelvane
from conftest import CERT, EXAMPLES, KEY, PASSWORD, corpus, manifest

THREADS = 4
ROUNDS = 5


def outcome(call):
    try:
        return ("ok", call())
    except kelvane.KelvaneError as e:
        return (e.name, e.message)


def work(tmp_path: Path):
    """(label, call) pairs over the corpus: seals checked, pipe strings, digests, failures."""
    calls = []
    for file, _, _ in manifest():
        path = corpus(file)
        calls.append(("verify " + file, lambda p=path: kelvane.verify(p)))
        calls.append(("pipe " + file, lambda p=path: kelvane.pipe_string(p)))
        calls.append(("digest " + file, lambda p=path: kelvane.digest(p, md5=True)))
    missing = tmp_path / "missing.xml"
    calls.append(("missing", lambda: kelvane.pipe_string(missing)))
    calls.append(("bad password", lambda: kelvane.seal(EXAMPLES / "cfdi32-invoice.xml", KEY, "wrong")))
    calls.append(("seal", lambda: kelvane.seal(EXAMPLES / "cfdi32-invoice.xml", KEY, PASSWORD)))
    calls.append(("cert", lambda: kelvane.Certificate(CERT).organization))
    calls.append(("validate", lambda: kelvane.validate(EXAMPLES / "cfdi32-invoice.xml")))
    return calls


def test_concurrent_calls_answer_as_a_single_thread(tmp_path: Path) -> None:
    calls = work(tmp_path)
    expected = {label: outcome(call) for label, call in calls}
    assert any(result[0] != "ok" for result in expected.values())
    assert expected["verify cfdi32/bambu_cfdi32_implocal.xml"] == ("ok", True)

    def run(offset: int):
        answers = []
        for round in range(ROUNDS):
            # Each thread walks the list from its own place, so different calls overlap.
            start = (offset * 7 + round * 3) % len(calls)
            for label, call in calls[start:] + calls[:start]:
                answers.append((label, outcome(call)))
        return answers

    with ThreadPoolExecutor(THREADS) as pool:
        results = list(pool.map(run, range(THREADS)))
    for answers in results:
        assert len(answers) == ROUNDS * len(calls)
        wrong = [(label, got, expected[label]) for label, got in answers if got != expected[label]]
        assert wrong == []
