"""The table of many documents on a local Dask cluster of two worker processes: the same rows
as the single-process table, status columns that agree with verify and validate, damaged
documents, entries and archives as rows with reasons, and a worker killed half-way."""

from __future__ import annotations

import os
import shutil
import signal
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

distributed = pytest.importorskip("distributed")
pd = pytest.importorskip("pandas")
pytest.importorskip("dask.dataframe")

import kelvane  # noqa: E402
import kelvane.dask as kd  # noqa: E402
from conftest import PYTHON_DIR, corpus  # noqa: E402

COPIES = 2  # of the corpus in the folder; one more copy goes into the archives
BATCH = 16  # documents per task: many tasks, archives cut into ranges


def corpus_documents():
    found = []
    for folder in sorted(p for p in corpus().iterdir() if p.is_dir() and p.name not in ("certs", "xsd", "xslt")):
        found.extend(sorted(folder.glob("*.xml")))
    return found


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    """A folder of the corpus copied COPIES times with a damaged document, two archives of
    the corpus (the second also holding refused entries) and an archive that is no archive."""
    root = tmp_path_factory.mktemp("dask")
    documents = corpus_documents()
    folder = root / "folder"
    for copy in range(COPIES):
        for path in documents:
            target = folder / ("copy%d" % copy) / path.parent.name / path.name
            target.parent.mkdir(parents=True, exist_ok=True)
            shutil.copyfile(path, target)
    (folder / "damaged.xml").write_bytes(documents[0].read_bytes()[:300])
    half = len(documents) // 2
    first, second = root / "first.zip", root / "second.zip"
    with zipfile.ZipFile(first, "w", zipfile.ZIP_DEFLATED) as archive:
        for path in documents[:half]:
            archive.write(path, path.parent.name + "/" + path.name)
    with zipfile.ZipFile(second, "w", zipfile.ZIP_DEFLATED) as archive:
        for path in documents[half:]:
            archive.write(path, path.parent.name + "/" + path.name)
        archive.writestr("not-xml.xml", b"\x89PNG\r\n\x1a\n" + bytes(range(256)))
        archive.writestr("../escape.xml", documents[0].read_bytes())
    broken = root / "broken.zip"
    broken.write_bytes(b"PK\x03\x04" + b"\0" * 200)
    return {"folder": folder, "archives": [first, second], "broken": broken, "documents": documents}


@pytest.fixture(scope="module")
def client():
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([str(PYTHON_DIR)] + [p for p in [env.get("PYTHONPATH")] if p])
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None, env=env
    ) as cluster, distributed.Client(cluster) as client:
        yield client


def all_inputs(inputs):
    return [inputs["folder"], *inputs["archives"], inputs["broken"]]


def expected_table(paths, lines=False):
    return pd.DataFrame(kelvane.table(paths, lines=lines), columns=kelvane.LINE_COLUMNS if lines else kelvane.TABLE_COLUMNS)


def table_part(frame, lines=False):
    part = frame[list(kelvane.LINE_COLUMNS if lines else kelvane.TABLE_COLUMNS)].reset_index(drop=True)
    return part.astype(object).where(part.notna(), None)


def same_rows(got, expected):
    assert len(got) == len(expected)
    for i, (a, b) in enumerate(zip(got.to_dict("records"), expected.astype(object).where(expected.notna(), None).to_dict("records"))):
        assert a == b, "row %d" % i


def verify_answer(path):
    try:
        return "valid" if kelvane.verify(path) else "invalid"
    except kelvane.KelvaneError as e:
        return e.name


def sealed_documents(inputs):
    return [p for p in inputs["documents"] if verify_answer(p) == "valid"]


def manifest_results():
    """file -> (seal, stamp) of the corpus manifests."""
    results = {}
    for name in ("manifest.tsv", "manifest-sha256.tsv", "manifest-retenciones.tsv"):
        for line in corpus(name).read_text(encoding="utf-8").splitlines():
            if line and not line.startswith("#"):
                fields = line.split("\t") + [""]
                results[fields[0]] = (fields[2], fields[3])
    return results


@pytest.mark.parametrize("lines", [False, True], ids=["documents", "lines"])
def test_frame_is_the_single_process_table_with_the_checks(inputs, client, lines):
    paths = all_inputs(inputs)
    frame = kd.table(paths, client, lines=lines, batch_size=BATCH, sat_certs=corpus("certs"))
    assert frame.npartitions > 10
    assert list(frame.columns) == kd.columns(lines)
    got = frame.compute()
    assert list(got.dtypes) == list(kd.meta(lines).dtypes)
    same_rows(table_part(got, lines), expected_table(paths, lines))

    # The status columns of every copy of a document: kelvane.verify's and validate's answers,
    # and the stamp's result in the corpus manifest.
    manifest = manifest_results()
    expected = {}
    for path in inputs["documents"]:
        key = path.parent.name + "/" + path.name
        try:
            found = kelvane.validate(path)
            findings = sum(1 for f in found if f.is_error)
        except kelvane.KelvaneError:
            findings = None
        stamp = {"ok-sha256": "valid", "bad": "invalid", "no-cert": "no-cert"}.get(manifest.get(key, ("", ""))[1])
        expected[key] = (verify_answer(path), stamp, findings)
    seen = 0
    for row in got.to_dict("records"):
        key = "/".join(Path(row["file"].split(".zip:")[-1]).parts[-2:])  # folder/name of a file or entry
        if key not in expected:
            continue
        seal, stamp, findings = expected[key]
        if seal in ("valid", "invalid"):
            assert row["seal_check"] == seal, key
        else:
            assert row["seal_check"] in ("unsigned", "error"), key
            assert row["seal_check"] == "error" or manifest[key][0] == "unsigned", key
        if stamp is not None:
            assert row["stamp_check"] == stamp, key
        assert (None if pd.isna(row["findings"]) else row["findings"]) == findings, key
        seen += 1
    assert seen >= (1 if lines else COPIES + 1) * len(inputs["documents"])
    assert {"valid", "invalid", "unsigned"} <= set(got.seal_check)
    assert {"valid", "invalid", "none", "no-cert"} <= set(got.stamp_check)


def test_damaged_documents_entries_and_archives_are_rows_with_reasons(inputs, client):
    got = kd.table(all_inputs(inputs), client, batch_size=BATCH).compute()
    failed = got[got.seal_check == "error"]
    reasons = {row["file"]: row for row in failed.to_dict("records")}
    for name in ("damaged.xml", "not-xml.xml", "escape.xml", "broken.zip"):
        matches = [row for key, row in reasons.items() if key.endswith(name)]
        assert len(matches) == 1, (name, sorted(reasons))
        row = matches[0]
        assert row["status"] == "error" and row["error"], row
        assert row["check_error"] and pd.isna(row["findings"]), row


def test_no_document_is_read_on_the_client(inputs, client, monkeypatch):
    # Building the frame lists folders and central directories: any read of a document or of
    # an entry's bytes on the client fails the test.
    def refuse(*args, **kwargs):
        raise AssertionError("a document was read on the client")

    for name in ("table_rows", "table", "verify", "validate", "zip_entries"):
        monkeypatch.setattr(kelvane, name, refuse)
    monkeypatch.setattr(zipfile.ZipFile, "open", refuse)
    monkeypatch.setattr(zipfile.ZipFile, "read", refuse)
    frame = kd.table(all_inputs(inputs), batch_size=BATCH)
    tasks = kd.plan(all_inputs(inputs), batch_size=BATCH)
    assert frame.npartitions == len(tasks)
    units = [unit for task in tasks for unit in task]
    assert all(sum(1 if u[0] != "zip" else u[3] - u[2] for u in task) <= BATCH for task in tasks)
    assert [len(t) for t in tasks[:-1]] and all(
        sum(1 if u[0] != "zip" else u[3] - u[2] for u in task) == BATCH for task in tasks[:-1]
    )
    # Each archive is cut into ranges that cover its entries once, in order.
    for archive in inputs["archives"]:
        ranges = [(u[2], u[3]) for u in units if u[0] == "zip" and u[1] == str(archive)]
        assert len(ranges) > 1 and ranges[0][0] == 0
        assert ranges[-1][1] == len(zipfile.ZipFile(archive).namelist())
        assert all(a[1] == b[0] for a, b in zip(ranges, ranges[1:]))
    assert ("archive", str(inputs["broken"])) in units


def test_default_batches_keep_tasks_few_but_enough(tmp_path, monkeypatch):
    folder = tmp_path / "many"
    folder.mkdir()
    for i in range(1000):
        (folder / ("%04d.xml" % i)).write_bytes(b"<x/>")
    # 1000 documents on 2 threads: no task below the floor, each at most the ceiling.
    assert [len(t) for t in kd.plan([folder], threads=2)] == [250] * 4
    assert len(kd.plan([folder], threads=64)) == 4
    monkeypatch.setattr(kd, "MIN_BATCH", 10)
    monkeypatch.setattr(kd, "MAX_BATCH", 100)
    assert [len(t) for t in kd.plan([folder], threads=2)] == [63] * 15 + [55]  # eight tasks a thread
    assert [len(t) for t in kd.plan([folder], threads=1)] == [100] * 10
    assert len(kd.plan([str(folder / "*.xml")], batch_size=400)) == 3


def test_a_killed_worker_changes_nothing(inputs, client):
    paths = all_inputs(inputs)
    frame = kd.table(paths, client, batch_size=8)
    futures = client.compute(frame.to_delayed())
    distributed.wait(futures, return_when="FIRST_COMPLETED")
    pids = client.run(os.getpid)
    busy = [address for address, tasks in client.processing().items() if tasks] or list(pids)
    os.kill(pids[busy[0]], signal.SIGKILL)
    got = pd.concat(client.gather(futures), ignore_index=True)
    assert set(client.run(os.getpid).values()) != set(pids.values())  # the nanny started a new one
    same_rows(table_part(got), expected_table(paths))
    assert list(got.seal_check) == list(kd.table(paths, client).compute().seal_check)


def test_command_writes_the_table_and_says_when_some_failed(inputs, client, tmp_path):
    paths = [str(p) for p in all_inputs(inputs)]
    out = tmp_path / "table.csv"
    out.write_text("old contents\n")
    assert kd.main(["--scheduler", client.scheduler.address, "-q", "--batch", "32", "-o", str(out), *paths]) == 1
    written = pd.read_csv(out, dtype=str, keep_default_na=False)
    assert list(written.columns) == kd.columns()
    expected = expected_table(paths)
    assert list(written.file) == list(expected.file)
    assert (written.seal_check == "error").sum() >= 4

    good = sealed_documents(inputs)[0]
    assert kd.main(["--scheduler", client.scheduler.address, "-q", "-o", str(out), str(good)]) == 0
    assert len(pd.read_csv(out, dtype=str)) == 1
    assert sorted(p.name for p in tmp_path.iterdir()) == ["table.csv"]  # no scratch file left


@pytest.mark.parametrize(
    "argv, message",
    [
        (["--local", "1", "-o", "t.parquet", "x.xml"], "pyarrow"),
        (["--local", "0", "x.xml"], "--local"),
        (["--local", "1", "--batch", "0", "x.xml"], "--batch"),
    ],
)
def test_command_refuses_what_it_cannot_do(argv, message, capsys, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    try:
        import pyarrow  # noqa: F401

        if message == "pyarrow":
            pytest.skip("pyarrow is installed")
    except ImportError:
        pass
    assert kd.main(argv) == 2
    assert message in capsys.readouterr().err
    assert list(tmp_path.iterdir()) == []


def test_installed_command_runs_a_local_cluster(inputs, tmp_path):
    target = tmp_path / "site"
    done = subprocess.run(
        [sys.executable, "-m", "pip", "install", "--no-index", "--no-deps", "--target", str(target), str(PYTHON_DIR)],
        capture_output=True,
        text=True,
    )
    assert done.returncode == 0, done.stdout + done.stderr
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    env["PYTHONPATH"] = str(target)
    documents = [str(p) for p in sealed_documents(inputs)[:3]]
    done = subprocess.run(
        [str(target / "bin" / "kelvane-dask"), "--local", "1", *documents], capture_output=True, text=True, env=env
    )
    assert done.returncode == 0, done.stderr
    assert "3 rows, 0 failed" in done.stderr
    rows = done.stdout.splitlines()
    assert rows[0].split(",") == kd.columns() and len(rows) == 4


def test_a_range_of_an_archive_reads_only_its_entries(inputs, monkeypatch):
    archive = inputs["archives"][1]  # ends with the two refused entries
    whole = [(row["file"], row["status"], row["error"]) for row in kelvane.table([archive])]
    reads = []
    original = zipfile.ZipFile.read
    monkeypatch.setattr(zipfile.ZipFile, "read", lambda self, info, *a: reads.append(info) or original(self, info, *a))
    count = len(whole)
    for start, stop in [(0, 3), (count - 4, count)]:
        reads.clear()
        rows = [(row["file"], row["status"], row["error"]) for row in kd._unit_rows(("zip", str(archive), start, stop), False, None)]
        assert rows == whole[start:stop]
        assert len(reads) <= stop - start
