"""The table of many invoices on a local Dask cluster against `kelvane table -j JOBS` on one
machine: 20,000 generated CFDI 4.0 invoices of 10 concepts (the invoice of
generated_invoice.h's WriteGeneratedInvoice40), sealed with a 2048-bit key, in a folder.

Printed: files per second of the tool, of the cluster giving the same table alone, and of the
cluster giving the table with every seal verified and every document validated (the frame
kelvane.dask.table returns), the ratios to the tool, and the scheduler's cost per task: how long
a worker waits between the end of one task and the start of the next (from the task stream),
per task and as a share of the tasks' work.

Run by hand (not in CI), from the repository's top folder after the normal build:
    cmake --preset test && cmake --build build/test
    KELVANE_LIBRARY=$PWD/build/test/libkelvane.so.5 PYTHONPATH=python /usr/bin/python3 bench/dask_bench.py [FILES] [WORKERS]
The invoices are made once under $TMPDIR/kvn-dask-bench-FILES and kept for the next run.
KVN_TOOL names another build's kelvane tool.
"""

from __future__ import annotations

import os
import subprocess
import sys
import tempfile
import time
from collections import defaultdict
from pathlib import Path

import distributed

import kelvane.dask as kd

REPO = Path(__file__).resolve().parents[1]
TOOL = Path(os.environ.get("KVN_TOOL", REPO / "build" / "test" / "tools" / "kelvane" / "kelvane"))
CREDENTIALS = REPO / "tests" / "fixtures" / "credentials"
KEY = CREDENTIALS / "test-rsa2048-pbes2-3des-sha1.der"
CERT = CREDENTIALS / "test-csd-2048.cer"
PASSWORD = "test-password"
CONCEPTS = 10


def generated_invoice_40(concepts: int, folio: int) -> str:
    """generated_invoice.h's WriteGeneratedInvoice40, byte for byte."""
    subtotal = 100 * concepts * (concepts + 1) // 2
    tax = subtotal * 16 // 100
    parts = [
        '<?xml version="1.0" encoding="UTF-8"?>\n'
        '<cfdi:Comprobante xmlns:cfdi="http://www.sat.gob.mx/cfd/4" Version="4.0" Serie="B" Folio="%d" '
        'Fecha="2024-05-20T11:42:08" Sello="" FormaPago="03" NoCertificado="" Certificado="" '
        'SubTotal="%d.00" Moneda="MXN" Total="%d.00" TipoDeComprobante="I" Exportacion="01" MetodoPago="PUE" '
        'LugarExpedicion="44100">\n'
        '  <cfdi:Emisor Rfc="AAA010101AAA" Nombre="EMPRESA DE PRUEBA" RegimenFiscal="601"/>\n'
        '  <cfdi:Receptor Rfc="EKU9003173C9" Nombre="ESCUELA KEMPER URGATE" DomicilioFiscalReceptor="42501" '
        'RegimenFiscalReceptor="601" UsoCFDI="G03"/>\n  <cfdi:Conceptos>\n' % (folio, subtotal, subtotal + tax)
    ]
    for i in range(1, concepts + 1):
        amount = 100 * i
        parts.append(
            '    <cfdi:Concepto ClaveProdServ="25172002" NoIdentificacion="SKU-%d" Cantidad="1" ClaveUnidad="H87" '
            'Unidad="Pieza" Descripcion="Articulo de prueba numero %d" ValorUnitario="%d.00" Importe="%d.00" '
            'ObjetoImp="02">\n'
            '      <cfdi:Impuestos><cfdi:Traslados><cfdi:Traslado Base="%d.00" Impuesto="002" TipoFactor="Tasa" '
            'TasaOCuota="0.160000" Importe="%d.00"/></cfdi:Traslados></cfdi:Impuestos>\n    </cfdi:Concepto>\n'
            % (i, i, amount, amount, amount, amount * 16 // 100)
        )
    parts.append(
        '  </cfdi:Conceptos>\n  <cfdi:Impuestos TotalImpuestosTrasladados="%d.00"><cfdi:Traslados>'
        '<cfdi:Traslado Base="%d.00" Impuesto="002" TipoFactor="Tasa" TasaOCuota="0.160000" Importe="%d.00"/>'
        "</cfdi:Traslados></cfdi:Impuestos>\n</cfdi:Comprobante>\n" % (tax, subtotal, tax)
    )
    return "".join(parts)


def sealed_invoices(files: int, jobs: int) -> Path:
    """FILES sealed invoices in a folder, made (and sealed with the tool) on the first run."""
    root = Path(tempfile.gettempdir()) / ("kvn-dask-bench-%d" % files)
    sealed = root / "sealed"
    if sealed.is_dir() and len(os.listdir(sealed)) == files:
        return sealed
    plain = root / "plain"
    plain.mkdir(parents=True, exist_ok=True)
    sealed.mkdir(exist_ok=True)
    for i in range(files):
        (plain / ("invoice-%05d.xml" % i)).write_text(generated_invoice_40(CONCEPTS, i + 1), encoding="utf-8")
    password = root / "password.txt"
    password.write_text(PASSWORD)
    run([TOOL, "sign", plain, "--out-dir", sealed, "-k", KEY, "-c", CERT, "--password-file", password, "-j", jobs, "-q"])
    return sealed


def run(command) -> float:
    start = time.perf_counter()
    done = subprocess.run([str(c) for c in command], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if done.returncode != 0:
        sys.exit("dask_bench: failed (%d): %s\n%s" % (done.returncode, " ".join(map(str, command)), done.stderr))
    return time.perf_counter() - start


def on_cluster(client: distributed.Client, folder: Path, checks: bool):
    """(seconds, rows, tasks, cost per task in seconds, cost share) of one computation of the
    frame. A task's cost is the time its worker waited between the end of its previous task
    and its start (the scheduler's dispatch and the transfer of its arguments): the
    workers' total of those waits over the tasks that had a predecessor, and beside the
    tasks' own compute time."""
    frame = kd.table([folder], client, checks=checks)
    with distributed.get_task_stream(client) as stream:
        start = time.perf_counter()
        rows = len(frame.compute())
        wall = time.perf_counter() - start
    spans = defaultdict(list)
    for task in stream.data:
        for part in task["startstops"]:
            if part["action"] == "compute":
                spans[task["worker"]].append((part["start"], part["stop"]))
    work = waits = 0.0
    following = 0
    for runs in spans.values():
        runs.sort()
        work += sum(stop - begin for begin, stop in runs)
        waits += sum(max(0.0, b[0] - a[1]) for a, b in zip(runs, runs[1:]))
        following += len(runs) - 1
    return wall, rows, len(stream.data), waits / max(1, following), waits / work


def main() -> None:
    files = int(sys.argv[1]) if len(sys.argv) > 1 else 20000
    workers = int(sys.argv[2]) if len(sys.argv) > 2 else 2
    folder = sealed_invoices(files, workers)
    with tempfile.TemporaryDirectory() as scratch:
        tool = run([TOOL, "table", folder, "-j", workers, "-o", Path(scratch) / "table.csv"])
    print("kelvane table -j %d: %d files in %.2f s, %.0f files/s" % (workers, files, tool, files / tool))
    with distributed.LocalCluster(
        n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None
    ) as cluster, distributed.Client(cluster) as client:
        client.run(lambda: __import__("kelvane").library_version())  # each worker loads the library
        for checks, label in ((False, "table alone"), (True, "table, seals and validation")):
            wall, rows, tasks, per_task, share = on_cluster(client, folder, checks)
            if rows != files:
                sys.exit("dask_bench: %d rows for %d files" % (rows, files))
            print(
                "cluster of %d workers, %s: %.2f s, %.0f files/s, ratio to the tool %.2f; "
                "%d tasks, %.1f ms between tasks on a worker (%.2f %% of the tasks' work)"
                % (workers, label, wall, files / wall, tool / wall, tasks, per_task * 1000, share * 100)
            )


if __name__ == "__main__":
    main()
