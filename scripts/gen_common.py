"""Pieces shared by the generators that compile the tax authority's files into C++ tables
(gen_stylesheet_tables.py, gen_schema_tables.py): the error that stops a generator, C
literals, the FNV-1a hash the library computes at run time, open-addressing slot tables,
and the write-or-check step that every generator ends with.
"""
import os
import sys


class GenError(Exception):
    """Something in the authority's files that the generator does not understand."""


def fail(where, message):
    raise GenError("%s: %s" % (where, message))


def c_string(text):
    """A C string literal of the UTF-8 bytes of text (non-ASCII and controls as three-digit
    octal escapes, which never swallow a following digit)."""
    out = []
    for ch in text.encode("utf-8"):
        if ch in (0x22, 0x5C):
            out.append("\\" + chr(ch))
        elif 0x20 <= ch < 0x7F:
            out.append(chr(ch))
        else:
            out.append("\\%03o" % ch)
    return '"' + "".join(out) + '"'


def fnv1a(text):
    """FNV-1a, 32 bits, of the UTF-8 bytes: the hash the library computes (StyleHash)."""
    h = 2166136261
    for b in text.encode("utf-8"):
        h = ((h ^ b) * 16777619) & 0xFFFFFFFF
    return h


def slots(keys):
    """An open-addressing table (linear probing) of 1-based indices by the hash of keys[i]."""
    size = 8
    while size < 2 * len(keys):
        size *= 2
    table = [0] * size
    for i, key in enumerate(keys):
        at = fnv1a(key) & (size - 1)
        while table[at]:
            at = (at + 1) & (size - 1)
        table[at] = i + 1
    return table


def write_slots(o, name, table):
    write_array(o, "std::uint16_t", name, table)


def write_array(o, ctype, name, values, per_line=16):
    """constexpr array of integers, per_line values a line (one dummy 0 when empty)."""
    o.write("constexpr %s %s[] = {" % (ctype, name))
    if not values:
        values = [0]
    for i, v in enumerate(values):
        o.write(("\n    " if i % per_line == 0 else " ") + "%d," % v)
    o.write("\n};\n\n")


def finish(tool, files, out_dir, check_dir, what):
    """Writes files (name -> text) into out_dir, or with check_dir compares them with the
    files there. Returns the process exit status: 1 when a checked file differs."""
    if check_dir:
        differing = []
        for name, text in sorted(files.items()):
            target = os.path.join(check_dir, name)
            current = None
            if os.path.exists(target):
                with open(target, encoding="utf-8", newline="") as f:
                    current = f.read()
            if current != text:
                differing.append(name)
        if differing:
            print("%s out of date: %s (run scripts/%s)" % (what, ", ".join(differing), tool), file=sys.stderr)
            return 1
        return 0
    for name, text in sorted(files.items()):
        with open(os.path.join(out_dir, name), "w", encoding="utf-8", newline="\n") as f:
            f.write(text)
    return 0
