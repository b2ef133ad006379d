#!/usr/bin/env python3
"""Writes the built-in catalog snapshot (src/cfdi/generated/catalog_tables_*.cpp).

Reads every CSV of the catalog folder (the top level for CFDI 4.0, cfdi33/, ret20/, pagos/)
and compiles each folder into one table file for src/cfdi/catalogs.h: one string pool, the
column names and fields as offsets into it, the validity of each row as two yyyymmdd
numbers, rows sorted by key. Nothing is parsed at run time.

The rules of the files are the ones the library applies to a user's catalog folder
(src/cfdi/catalog_csv.h): UTF-8, RFC 4180 quoting, a header row of unique names, the same
number of fields on every row, dates as YYYY-MM-DD or empty. The key is the column LAYOUTS
names for the catalog, else `id`, else the first column. The validity columns
(vigencia_desde, vigencia_hasta) become the row's dates; the descriptive columns (texto,
descripcion, notas, similares) are not kept. Anything else stops the generator with an
error naming the file and line.

Usage:
    gen_catalog_tables.py --catalogs DIR [--out DIR]     write the tables (default: src/cfdi/generated)
    gen_catalog_tables.py --catalogs DIR --check DIR     exit 1 when DIR's tables differ
"""
import argparse
import csv
import datetime
import io
import os
import re
import sys

# (symbol suffix, file suffix, folder under --catalogs)
SETS = [
    ("40", "40", ""),
    ("33", "33", "cfdi33"),
    ("Ret20", "ret20", "ret20"),
    ("Pagos", "pagos", "pagos"),
]

VALID_FROM = "vigencia_desde"
VALID_UNTIL = "vigencia_hasta"
DESCRIPTIVE = ("texto", "descripcion", "notas", "similares")
# Catalogs whose key is not simply `id` or their first column, and the other columns that
# the rules read them by (the library's reader keeps the same table, catalog_csv.cpp).
LAYOUTS = {
    "c_ClaveProdServ": ("id",),
    "c_CodigoPostal": ("id",),
    "c_Colonia": ("colonia", "codigo_postal"),
    "c_Estado": ("estado", "pais"),
    "c_Localidad": ("localidad", "estado"),
    "c_Municipio": ("municipio", "estado"),
    "c_NumPedimentoAduana": ("aduana", "patente", "ejercicio"),
    "c_TasaOCuota": ("impuesto", "factor"),
}
DATE = re.compile(r"^([0-9]{4})-([0-9]{2})-([0-9]{2})$")


class GenError(Exception):
    pass


def c_string(text):
    out = []
    for ch in text.encode("utf-8"):
        if ch in (0x22, 0x5C):
            out.append("\\" + chr(ch))
        elif 0x20 <= ch < 0x7F:
            out.append(chr(ch))
        else:
            out.append("\\%03o" % ch)
    return '"' + "".join(out) + '"'


def parse_date(text, where):
    """yyyymmdd of a YYYY-MM-DD date; 0 for an empty field."""
    if text == "":
        return 0
    m = DATE.match(text)
    if not m:
        raise GenError("%s: date '%s' is not YYYY-MM-DD" % (where, text))
    try:
        datetime.date(int(m.group(1)), int(m.group(2)), int(m.group(3)))
    except ValueError:
        raise GenError("%s: date '%s' does not exist" % (where, text))
    return int(m.group(1)) * 10000 + int(m.group(2)) * 100 + int(m.group(3))


class Catalog:
    def __init__(self, name, columns, key, rows):
        self.name = name
        self.columns = columns  # kept column names
        self.key = key          # index of the key in columns
        self.rows = rows        # (fields, valid_from, valid_until), sorted


def read_catalog(path):
    name = os.path.splitext(os.path.basename(path))[0]
    try:
        with open(path, "rb") as f:
            data = f.read().decode("utf-8-sig")
    except UnicodeDecodeError as e:
        raise GenError("%s: not UTF-8 (%s)" % (path, e))
    reader = csv.reader(io.StringIO(data, newline=""), strict=True)
    try:
        records = [(reader.line_num, r) for r in reader if r]
    except csv.Error as e:
        raise GenError("%s, line %d: %s" % (path, reader.line_num, e))
    if not records:
        raise GenError("%s: no header row" % path)
    header = records[0][1]
    if len(set(header)) != len(header) or "" in header:
        raise GenError("%s, line 1: column names must be unique and not empty" % path)
    if name in LAYOUTS:
        for column in LAYOUTS[name]:
            if column not in header:
                raise GenError("%s, line 1: no column '%s'" % (path, column))
        key_name = LAYOUTS[name][0]
    else:
        key_name = "id" if "id" in header else header[0]
    kept = [i for i, c in enumerate(header)
            if c not in (VALID_FROM, VALID_UNTIL) and (c not in DESCRIPTIVE or c == key_name)]
    at_from = header.index(VALID_FROM) if VALID_FROM in header else None
    at_until = header.index(VALID_UNTIL) if VALID_UNTIL in header else None
    rows = []
    for line, record in records[1:]:
        where = "%s, line %d" % (path, line)
        if len(record) != len(header):
            raise GenError("%s: %d fields where the header has %d" % (where, len(record), len(header)))
        valid_from = parse_date(record[at_from], where) if at_from is not None else 0
        valid_until = parse_date(record[at_until], where) if at_until is not None else 0
        rows.append(([record[i] for i in kept], valid_from, valid_until))
    key = [header[i] for i in kept].index(key_name)
    # Key order by UTF-8 bytes (the library compares unsigned bytes); one key's rows by the
    # start of their validity, then in file order (sorted() is stable).
    rows = sorted(rows, key=lambda r: (r[0][key].encode("utf-8"), r[1]))
    return Catalog(name, [header[i] for i in kept], key, rows)


class Pool:
    """Distinct NUL-terminated strings, each at its offset; "" at offset 0."""

    def __init__(self):
        self.strings = []
        self.offsets = {}
        self.size = 0
        self.add("")

    def add(self, text):
        if text not in self.offsets:
            self.offsets[text] = self.size
            self.strings.append(text)
            self.size += len(text.encode("utf-8")) + 1
        return self.offsets[text]


def write_numbers(o, ctype, name, numbers):
    o.write("constexpr %s %s[] = {" % (ctype, name))
    for i, v in enumerate(numbers or [0]):
        o.write(("\n    " if i % 16 == 0 else " ") + "%d," % v)
    o.write("\n};\n\n")


def write_set(suffix, folder, catalogs):
    pool = Pool()
    columns, fields, valid_from, valid_until = [], [], [], []
    entries = []
    for c in catalogs:
        entry = (pool.add(c.name), len(columns), len(fields), len(valid_from), len(c.rows), len(c.columns), c.key)
        columns.extend(pool.add(n) for n in c.columns)
        for row, start, end in c.rows:
            fields.extend(pool.add(v) for v in row)
            valid_from.append(start)
            valid_until.append(end)
        entries.append(entry)
    o = io.StringIO()
    o.write("// Generated by scripts/gen_catalog_tables.py from the catalog folder%s.\n"
            % (" " + folder + "/" if folder else "'s top level"))
    o.write("// Do not edit: change the generator or the catalogs and run it again.\n")
    o.write('#include "cfdi/catalog_snapshot.h"\n\nnamespace kvn {\nnamespace {\n\n')
    o.write("constexpr char kPool[] =")
    width = 100
    for s in pool.strings:
        piece = c_string(s)[:-1] + '\\0"'  # the NUL closes the literal: no digit can extend it
        if width + 1 + len(piece) > 100:
            o.write("\n   ")
            width = 3
        o.write(" " + piece)
        width += 1 + len(piece)
    o.write(";\n\n")
    write_numbers(o, "std::uint32_t", "kColumns", columns)
    write_numbers(o, "std::uint32_t", "kFields", fields)
    write_numbers(o, "std::int32_t", "kValidFrom", valid_from)
    write_numbers(o, "std::int32_t", "kValidUntil", valid_until)
    o.write("constexpr CatalogTable kTables[] = {\n")
    for name, col, field, row, rows, ncol, key in entries:
        o.write("    {kPool + %d, kPool, kColumns + %d, kFields + %d, kValidFrom + %d, kValidUntil + %d, %d, %d, %d},\n"
                % (name, col, field, row, row, rows, ncol, key))
    o.write("};\n\n}  // namespace\n\n")
    o.write("extern const CatalogTableList kCatalogSnapshot%s = {kTables, %d};\n\n}  // namespace kvn\n"
            % (suffix, len(entries)))
    return o.getvalue()


def generate(root):
    files = {}
    for suffix, file_suffix, folder in SETS:
        where = os.path.join(root, folder)
        names = sorted(n for n in os.listdir(where) if n.endswith(".csv") and os.path.isfile(os.path.join(where, n)))
        if not names:
            raise GenError("%s: no catalogs" % where)
        catalogs = [read_catalog(os.path.join(where, n)) for n in names]
        # Catalogs by name in byte order: the library finds them by binary search.
        catalogs.sort(key=lambda c: c.name.encode("utf-8"))
        files["catalog_tables_%s.cpp" % file_suffix] = write_set(suffix, folder, catalogs)
    return files


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--catalogs", required=True)
    ap.add_argument("--out", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src", "cfdi", "generated"))
    ap.add_argument("--check")
    args = ap.parse_args()
    try:
        files = generate(args.catalogs)
    except (GenError, OSError) as e:
        print("gen_catalog_tables: %s" % e, file=sys.stderr)
        return 2
    if args.check:
        differing = []
        for name, text in sorted(files.items()):
            target = os.path.join(args.check, name)
            current = open(target, encoding="utf-8").read() if os.path.exists(target) else None
            if current != text:
                differing.append(name)
        if differing:
            print("catalog tables out of date: %s (run scripts/gen_catalog_tables.py)" % ", ".join(differing),
                  file=sys.stderr)
            return 1
        return 0
    for name, text in sorted(files.items()):
        with open(os.path.join(args.out, name), "w", encoding="utf-8", newline="\n") as f:
            f.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
