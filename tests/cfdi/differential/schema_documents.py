"""Documents for the differential test of schema validation (gen_documents.py --schema).

The shape of every document comes from the authority's schemas themselves, as the schema
generator compiles them (scripts/gen_schema_tables.py): content models, attribute uses,
simple types with their facets and patterns. Valid documents of CFDI 3.3 and 4.0 and of
Retenciones 1.0 and 2.0 carry
every complement the version publishes, in turns; catalog values are drawn from the
catalog CSVs, valid at the document's date. Each mutation breaks one thing of a valid
document: a required attribute left out, an attribute the schema does not declare, children
swapped, an element repeated too often, a required element removed, every facet broken in
turn, a value outside its catalog, an unknown element inside a complement, an element in a
wrong namespace, an unpublished complement, and an Addenda with unknown content (valid).

Besides the documents, this writes what the peer (xmllint --schema) needs: for each version
a tree of links to the authority's schemas with catCFDI.xsd built from the catalog CSVs (the
authority's tree lacks it) and the Addenda wildcard made lax (the only change to the
authority's schemas), and a schema that imports the version's schema and its complements
(peer/<version>/peer.xsd with the generated catalog folder, peer/<version>-snapshot/ with
the snapshot alone, for documents validated without a folder); and the catalog folder the
library is given (the four large catalogs that the snapshot lacks, with the values the
documents use).
"""
import base64
import csv
import datetime
import os
import random
import re
import sys
from decimal import Decimal

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "..", "scripts"))

import gen_schema_tables as G  # noqa: E402
import xsd_regex  # noqa: E402

XSI = "http://www.w3.org/2001/XMLSchema-instance"
CATALOG_NS = "http://www.sat.gob.mx/sitio_internet/cfd/catalogos"
LARGE_CATALOGS = {
    "c_ClaveProdServ": ["id", "texto", "iva_trasladado", "ieps_trasladado", "complemento", "vigencia_desde",
                        "vigencia_hasta", "estimulo_frontera", "similares"],
    "c_CodigoPostal": ["id", "estado", "municipio", "localidad", "estimulo_frontera", "vigencia_desde",
                       "vigencia_hasta", "huso_descripcion", "huso_verano_mes_inicio", "huso_verano_dia_inicio",
                       "huso_verano_hora_inicio", "huso_verano_diferencia", "huso_invierno_mes_inicio",
                       "huso_invierno_dia_inicio", "huso_invierno_hora_inicio", "huso_invierno_diferencia"],
    "c_Colonia": ["colonia", "codigo_postal", "texto"],
    "c_NumPedimentoAduana": ["aduana", "patente", "ejercicio", "cantidad", "vigencia_desde", "vigencia_hasta"],
}
# version number: (Version, catalog folder)
VERSIONS = {33: ("3.3", "cfdi33"), 40: ("4.0", ""), 1010: ("1.0", ""), 1020: ("2.0", "ret20")}
# Catalog folders read over the top folder: a catalog they lack is the top folder's.
OVER_TOP = {"ret20"}
WORDS = ["Producto", "Servicio", "de", "prueba", "Compañía", "Ñandú", "Peñón", "A&B", "1<2", "\"x\"", "años",
         "Ütil", "canción", "ABC", "xyz", "123"]


# ---------------------------------------------------------------------------------------
# Catalogs


class Catalogs:
    """The catalog rows a set of documents may use: name -> [(key, from, to)]."""

    def __init__(self, folder):
        self.rows = {}
        if not os.path.isdir(folder):
            return
        for name in os.listdir(folder):
            if not name.endswith(".csv"):
                continue
            with open(os.path.join(folder, name), encoding="utf-8", newline="") as f:
                reader = csv.reader(f)
                header = next(reader)
                low = header.index("vigencia_desde") if "vigencia_desde" in header else None
                high = header.index("vigencia_hasta") if "vigencia_hasta" in header else None
                rows = []
                for r in reader:
                    if not r:
                        continue
                    rows.append((r[0], r[low] if low is not None else "", r[high] if high is not None else ""))
                self.rows[name[:-4]] = rows

    @staticmethod
    def of(root, sub):
        """The catalogs of a version's folder under root (over the top folder's when the
        folder is one of OVER_TOP)."""
        catalogs = Catalogs(os.path.join(root, sub))
        if sub in OVER_TOP:
            top = Catalogs(root)
            top.rows.update(catalogs.rows)
            catalogs = top
        return catalogs

    def valid(self, name, date):
        """Keys valid at date (yyyy-mm-dd)."""
        return sorted({k for k, a, b in self.rows.get(name, []) if (not a or a <= date) and (not b or date <= b)})

    def keys(self, name):
        return sorted({k for k, _, _ in self.rows.get(name, [])})


def write_large_catalogs(folder, rng):
    """The four catalogs the snapshot lacks, small, in the top folder and in cfdi33/: the
    values documents may draw from them."""
    values = {
        "c_ClaveProdServ": ["01010101", "84111506", "50211503", "43211500", "78101800", "25101500"],
        "c_CodigoPostal": ["44100", "06600", "64000", "01000", "20000", "97000"],
        "c_Colonia": ["0001", "0002", "0510", "1234"],
        "c_NumPedimentoAduana": ["24", "48", "16"],
    }
    for sub in ("", "cfdi33"):
        os.makedirs(os.path.join(folder, sub), exist_ok=True)
        for name, columns in LARGE_CATALOGS.items():
            with open(os.path.join(folder, sub, name + ".csv"), "w", encoding="utf-8", newline="") as f:
                w = csv.writer(f, lineterminator="\n")
                w.writerow(columns)
                for key in values[name]:
                    row = []
                    for c in columns:
                        if c == columns[0]:
                            row.append(key)
                        elif c == "vigencia_desde":
                            row.append("2017-01-01")
                        elif c == "vigencia_hasta":
                            row.append("")
                        elif c == "codigo_postal":
                            row.append("44100")
                        elif c in ("texto", "estado", "municipio", "localidad"):
                            row.append("Prueba")
                        else:
                            row.append("0")
                    w.writerow(row)


# ---------------------------------------------------------------------------------------
# Values


class Values:
    """Valid and invalid values of the compiled simple types."""

    def __init__(self, compiler, rng):
        self.c = compiler
        self.rng = rng
        self.trees = {}

    def pattern_ok(self, t, v):
        for group in t.pattern_groups:
            if not any(xsd_regex.matches(self.c.pattern_list[self.c.patterns[p]][1:], v) for p in group):
                return False
        return True

    def check(self, t, v):
        """Whether v (after t's whitespace rule) is valid for t; catalogs are not checked."""
        v = G.whitespace_apply(v, t.whitespace)
        p = t.primitive
        if p == "kCatalog":
            return True
        if p in ("kString", "kNmtoken", "kBase64Binary"):
            if p == "kNmtoken" and not re.fullmatch(r"[\w.:\-\u00b7\u00c0-\uffff]+", v):
                return False
            n = len(v)
            if p == "kBase64Binary":
                s = re.sub(r"[ \t\r\n]", "", v)
                if not re.fullmatch(r"([A-Za-z0-9+/]{4})*([A-Za-z0-9+/]{2}==|[A-Za-z0-9+/]{3}=)?", s):
                    return False
                n = len(s) // 4 * 3 - s.count("=")
            if t.length is not None and n != t.length:
                return False
            if t.min_length is not None and n < t.min_length:
                return False
            if t.max_length is not None and n > t.max_length:
                return False
            if not self.pattern_ok(t, v):
                return False
            return t.enumeration is None or v in t.enumeration
        if p in ("kDecimal", "kInteger"):
            if not re.fullmatch(r"[+-]?[0-9]+" if p == "kInteger" else r"[+-]?([0-9]+(\.[0-9]*)?|\.[0-9]+)", v):
                return False
            if not self.pattern_ok(t, v):
                return False
            canon = G.canonical_decimal(v, "value")
            if t.enumeration is not None and canon not in t.enumeration:
                return False
            d = Decimal(canon)
            if t.min_inclusive is not None and d < Decimal(t.min_inclusive):
                return False
            if t.max_inclusive is not None and d > Decimal(t.max_inclusive):
                return False
            if t.min_exclusive is not None and d <= Decimal(t.min_exclusive):
                return False
            if t.max_exclusive is not None and d >= Decimal(t.max_exclusive):
                return False
            whole, _, frac = canon.lstrip("-").partition(".")
            digits = (len(whole.lstrip("0")) + len(frac))
            if digits > 24:
                return False  # beyond the peer's decimals (see schema_differential.py)
            if t.total_digits is not None and digits > t.total_digits:
                return False
            return t.fraction_digits is None or len(frac) <= t.fraction_digits
        if p in ("kDate", "kDateTime"):
            # A time zone is taken when the type's pattern asks for one (Retenciones 1.0).
            m = re.fullmatch(r"(\d{4})-(\d\d)-(\d\d)" + (r"T(\d\d):(\d\d):(\d\d)" if p == "kDateTime" else "") +
                             r"([+-]\d\d:\d\d)?", v)
            if not m:
                return False
            try:
                datetime.date(int(m.group(1)), int(m.group(2)), int(m.group(3)))
            except ValueError:
                return False
            if p == "kDateTime" and (int(m.group(4)) > 23 or int(m.group(5)) > 59 or int(m.group(6)) > 59):
                return False
            if t.min_inclusive is not None and v < t.min_inclusive:
                return False
            return self.pattern_ok(t, v)
        return False

    def tree(self, text):
        if text not in self.trees:
            self.trees[text] = xsd_regex.parse_pattern(text, "test")
        return self.trees[text]

    def candidates(self, t):
        """A stream of guesses for a valid value of t."""
        rng = self.rng
        p = t.primitive
        if t.enumeration is not None:
            while True:
                yield rng.choice(t.enumeration)
        groups = t.pattern_groups
        if groups and p in ("kString", "kNmtoken", "kInteger", "kDate", "kDateTime"):
            while True:
                group = groups[-1] if rng.random() < 0.7 else rng.choice(groups)
                yield xsd_regex.sample(self.tree(rng.choice(group)), rng, prefer=".")
        if p == "kDate":
            while True:
                yield "20%02d-%02d-%02d" % (rng.randint(17, 25), rng.randint(1, 12), rng.randint(1, 28))
        if p == "kDateTime":
            while True:
                yield "20%02d-%02d-%02dT%02d:%02d:%02d" % (rng.randint(17, 25), rng.randint(1, 12), rng.randint(1, 28),
                                                           rng.randint(0, 23), rng.randint(0, 59), rng.randint(0, 59))
        if p in ("kDecimal", "kInteger"):
            while True:
                if groups and rng.random() < 0.5:
                    yield xsd_regex.sample(self.tree(rng.choice(groups[-1])), rng, prefer=".")
                    continue
                whole = str(rng.choice([0, 1, 2, 5, 10, 16, 100, 1000, rng.randint(0, 99999)]))
                if t.min_inclusive is not None and rng.random() < 0.3:
                    whole = t.min_inclusive.split(".")[0].lstrip("+")
                frac_max = t.fraction_digits if t.fraction_digits is not None else 4
                if p == "kInteger" or frac_max == 0 or rng.random() < 0.3:
                    yield whole
                else:
                    yield whole + "." + "".join(rng.choice("0123456789") for _ in range(rng.randint(1, frac_max)))
        if p == "kBase64Binary":
            while True:
                yield base64.b64encode(bytes(rng.randint(0, 255) for _ in range(rng.randint(1, 40)))).decode()
        while True:
            low = t.min_length if t.min_length is not None else (t.length or 1)
            high = t.max_length if t.max_length is not None else (t.length or low + 20)
            words = []
            while len(" ".join(words)) < low:
                words.append(rng.choice(WORDS))
            text = " ".join(words)[: max(low, min(high, rng.randint(low, high)))]
            if p == "kNmtoken":
                text = re.sub(r"[^A-Za-z0-9]", "A", text) or "A"
            yield text

    def valid(self, t):
        for i, v in enumerate(self.candidates(t)):
            if self.check(t, v):
                return v
            if i > 400:
                raise RuntimeError("no valid value found for type %s %r" % (t.name, vars(t)))

    def invalid(self, t, prefer=None):
        """(label, value) breaking one facet or the lexical form of t (the facet `prefer`
        when t has it), or None."""
        rng = self.rng
        options = []
        p = t.primitive
        good = self.valid(t) if p != "kCatalog" else None
        if p in ("kDecimal", "kInteger"):
            options.append(("type", "abc"))
            if t.fraction_digits is not None and p == "kDecimal":
                options.append(("fractionDigits", "1." + "1" * (t.fraction_digits + 1)))
            if t.total_digits is not None:
                options.append(("totalDigits", "1" * (t.total_digits + 1)))
            if t.min_inclusive is not None:
                options.append(("minInclusive", str(Decimal(t.min_inclusive) - 1)))
            if t.max_inclusive is not None:
                options.append(("maxInclusive", str(Decimal(t.max_inclusive) + 1)))
        if p in ("kDate", "kDateTime"):
            options.append(("type", good.replace("-", "/", 1)))
            options.append(("type", good[:5] + "13" + good[7:]))
        if p in ("kString", "kNmtoken"):
            if t.length is not None:
                options.append(("length", good + "X"))
            if t.max_length is not None:
                options.append(("maxLength", "X" * (t.max_length + 1)))
            if t.min_length is not None and t.min_length > 1:
                options.append(("minLength", "X" * (t.min_length - 1)))
            if t.enumeration is not None:
                options.append(("enumeration", "NoEsValor"))
        if t.pattern_groups and p not in ("kDate", "kDateTime"):
            options.append(("pattern", good + "|" if good is not None else "|"))
            options.append(("pattern", "?" + (good or "")))
        if p == "kBase64Binary":
            options.append(("type", "no base64!"))
        if p == "kCatalog":
            options.append(("catalog", "ZZZ99"))
        options = [o for o in options if o[1] is not None and not self.check(t, o[1]) or o[0] == "catalog"]
        preferred = [o for o in options if o[0] == prefer]
        return rng.choice(preferred or options) if options else None


# ---------------------------------------------------------------------------------------
# Documents as trees (Node of gen_documents.py, with the declaration each came from)


class Builder:
    def __init__(self, compiler, schema_set, catalogs, values, rng, date):
        self.c = compiler
        self.set = schema_set
        self.catalogs = catalogs
        self.values = values
        self.rng = rng
        self.date = date
        self.budget = 0
        self.complements = []   # element ids a wildcard may stand for
        for ns, ids, rel in schema_set.namespaces:
            for i in ids:
                if i != schema_set.root:
                    self.complements.append(i)

    def catalog_value(self, t):
        keys = self.catalogs.valid(t.catalog, self.date[:10])
        if not keys:
            return self.values.valid(G.SimpleType("kString", "collapse"))
        return self.rng.choice(keys)

    def value(self, type_id):
        t = self.c.simple_types[type_id]
        if t.primitive == "kCatalog":
            return self.catalog_value(t)
        return self.values.valid(t)

    def element(self, element_id, node_class, fill=None):
        """A valid element of the declaration; fill(owner, at_least) gives the elements that
        stand for a wildcard of the element named owner."""
        e = self.c.elements[element_id]
        node = node_class(e.ns, e.local)
        node.decl = element_id
        self.budget -= 1
        if e.simple is not None:
            node.children.append(("text", self.value(e.simple)))
            return node
        t = self.c.complex_types[e.complex]
        for a in t.attributes:
            if a.required or self.rng.random() < 0.6:
                value = a.fixed if a.fixed is not None else self.value(a.type)
                if a.name == self.set.spec["date"] and e.local == self.set.spec["root"]:
                    value = self.date
                node.attrs.append(("", a.name, value))
        if t.content == "kSimple":
            node.children.append(("text", self.value(t.simple)))
        elif t.content in ("kElements", "kMixed"):
            for child in self.particle(t.particle, node_class, fill, e.local):
                node.children.append(child)
        return node

    def particle(self, tree, node_class, fill, owner):
        kind = tree[0]
        if kind == "sym":
            sym = next(iter(tree[1]))
            if sym & G.WILDCARD:
                return fill(owner, 1) if fill else []
            return [self.element(sym, node_class, fill)]
        if kind == "seq":
            out = []
            for t in tree[1]:
                out.extend(self.particle(t, node_class, fill, owner))
            return out
        if kind == "alt":
            return self.particle(self.rng.choice(tree[1]), node_class, fill, owner)
        _, inner, low, high = tree
        if inner[0] == "sym" and next(iter(inner[1])) & G.WILDCARD:
            return fill(owner, low) if fill else []
        extra = 0 if self.budget <= 0 else self.rng.choice([0, 0, 1, 1, 2])
        n = low + extra if high is None else min(high, low + extra)
        out = []
        for _ in range(n):
            out.extend(self.particle(inner, node_class, fill, owner))
        return out


def mark_text(node):
    """The builder's values become the writer's raw, escaped text and attribute values."""
    node.attrs = [(ns, name, escape(value)) for ns, name, value in node.attrs]
    for i, child in enumerate(node.children):
        if isinstance(child, tuple):
            node.children[i] = ("raw", escape(child[1]))
        else:
            mark_text(child)


def escape(text):
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;").replace("\"", "&quot;")


def walk(node):
    yield node
    for c in node.children:
        if not isinstance(c, tuple):
            yield from walk(c)


# ---------------------------------------------------------------------------------------
# Mutations: each returns a label, or None when the document offers no place for it.


def elements_of(root):
    return [n for n in walk(root) if getattr(n, "decl", None) is not None]


FACETS = ["type", "length", "minLength", "maxLength", "pattern", "enumeration", "minInclusive", "maxInclusive",
          "totalDigits", "fractionDigits"]


def mutate(kind, root, builder, rng, turn=0):
    """Applies one mutation of `kind`; `turn` chooses the facet that a facet mutation looks
    for first, so that every facet is broken in turn."""
    c = builder.c
    nodes = elements_of(root)
    rng.shuffle(nodes)
    values = builder.values

    def complex_of(n):
        e = c.elements[n.decl]
        return c.complex_types[e.complex] if e.complex is not None else None

    if kind == "missing-attribute":
        for n in nodes:
            t = complex_of(n)
            required = [a.name for a in (t.attributes if t else []) if a.required]
            if n.decl == builder.set.root:
                required.remove("Version")  # without it the document has no version to validate by
            present = [a for a in n.attrs if a[1] in required]
            if present:
                victim = rng.choice(present)
                n.attrs.remove(victim)
                return "missing-attribute %s/@%s" % (n.local, victim[1])
    if kind == "unknown-attribute":
        n = nodes[0]
        n.attrs.insert(rng.randint(0, len(n.attrs)), ("", "AtributoExtra", "x"))
        return "unknown-attribute %s" % n.local
    if kind in ("wrong-order", "too-many", "missing-element"):
        for n in nodes:
            kids = [k for k in n.children if not isinstance(k, tuple) and getattr(k, "decl", None) is not None]
            if kind == "wrong-order":
                pairs = [i for i in range(len(n.children) - 1)
                         if not isinstance(n.children[i], tuple) and not isinstance(n.children[i + 1], tuple)
                         and n.children[i].local != n.children[i + 1].local]
                if pairs:
                    i = rng.choice(pairs)
                    n.children[i], n.children[i + 1] = n.children[i + 1], n.children[i]
                    return "wrong-order %s/%s,%s" % (n.local, n.children[i].local, n.children[i + 1].local)
            elif kind == "too-many" and kids:
                k = rng.choice(kids)
                n.children.insert(n.children.index(k), copy_node(k))
                return "too-many %s/%s" % (n.local, k.local)
            elif kind == "missing-element" and kids:
                k = rng.choice(kids)
                n.children.remove(k)
                return "missing-element %s/%s" % (n.local, k.local)
    if kind in ("facet", "catalog"):
        wanted = FACETS[turn % len(FACETS)]
        # nodes with an attribute whose type has the wanted facet first
        def offers(n):
            t = complex_of(n)
            if t is None:
                return False
            for a in t.attributes:
                st = c.simple_types[a.type]
                has = {"type": st.primitive in ("kDecimal", "kInteger", "kDate", "kDateTime"),
                       "length": st.length is not None, "minLength": (st.min_length or 0) > 1,
                       "maxLength": st.max_length is not None, "pattern": bool(st.pattern_groups),
                       "enumeration": st.enumeration is not None, "minInclusive": st.min_inclusive is not None,
                       "maxInclusive": st.max_inclusive is not None, "totalDigits": st.total_digits is not None,
                       "fractionDigits": st.fraction_digits is not None}[wanted]
                if has and any(x[1] == a.name for x in n.attrs):
                    return True
            return False
        nodes.sort(key=lambda n: not offers(n))
        for n in nodes:
            t = complex_of(n)
            if t is None:
                continue
            uses = {a.name: a for a in t.attributes}
            candidates = [a for a in n.attrs if a[1] in uses and uses[a[1]].fixed is None and
                          (c.simple_types[uses[a[1]].type].primitive == "kCatalog") == (kind == "catalog")]
            rng.shuffle(candidates)
            for a in candidates:
                broken = values.invalid(c.simple_types[uses[a[1]].type], FACETS[turn % len(FACETS)])
                if broken is None:
                    continue
                if kind == "catalog" and not builder.catalogs.rows.get(c.simple_types[uses[a[1]].type].catalog):
                    continue
                n.attrs[n.attrs.index(a)] = ("", a[1], broken[1])
                return "%s-%s %s/@%s" % (kind, broken[0], n.local, a[1])
    if kind == "unknown-in-complement":
        roots = [n for n in nodes if n.decl in builder.complements and n.ns != builder.c.elements[builder.set.root].ns]
        for n in roots:
            inner = [m for m in elements_of(n) if complex_of(m) is not None and
                     complex_of(m).content in ("kElements", "kMixed")] or [n]
            m = rng.choice(inner)
            m.children.insert(rng.randint(0, len(m.children)), new_node(m.ns, "ElementoDesconocido"))
            return "unknown-in-complement %s" % m.local
    if kind == "wrong-namespace":
        for n in nodes:
            if n.decl == builder.set.root:
                continue
            n.ns = rng.choice(["http://www.sat.gob.mx/cfd/3", "http://www.sat.gob.mx/cfd/4", "http://ejemplo.mx/otro"])
            if n.ns == c.elements[n.decl].ns:
                n.ns = "http://ejemplo.mx/otro"
            return "wrong-namespace %s" % n.local
    if kind == "unpublished-complement":
        for n in nodes:
            if n.local == "Complemento":
                n.children.append(new_node("http://www.sat.gob.mx/noPublicado", "Complemento10", [("", "Version", "1.0")]))
                return "unpublished-complement"
    return None


def new_node(ns, local, attrs=None):
    from gen_documents import Node
    return Node(ns, local, list(attrs or []), [])


def copy_node(n):
    from gen_documents import Node
    m = Node(n.ns, n.local, list(n.attrs), [copy_node(k) if not isinstance(k, tuple) else k for k in n.children])
    m.decl = getattr(n, "decl", None)
    return m


MUTATIONS = ["missing-attribute", "unknown-attribute", "wrong-order", "too-many", "missing-element", "facet",
             "catalog", "unknown-in-complement", "wrong-namespace", "unpublished-complement"]


# ---------------------------------------------------------------------------------------
# The peer's schemas


def addenda_lax(text):
    """The main schema with the wildcard inside Addenda made lax (processContents)."""
    m = re.search(r'<xs:element name="Addenda"[^>]*>.*?</xs:element>', text, re.S)
    if not m:
        raise RuntimeError("no Addenda in the main schema")
    inner = m.group(0)
    changed = re.sub(r"<xs:any(\s)", r'<xs:any processContents="lax"\1', inner, count=1)
    if changed == inner:
        raise RuntimeError("no wildcard in Addenda")
    return text[:m.start()] + changed + text[m.end():]


def catalog_schema(compiler, snapshot, user):
    """catCFDI.xsd: every catalog type the schemas use, an enumeration of the keys of the
    catalog where the library has it (the user's folder over the snapshot), else any string."""
    out = ['<?xml version="1.0" encoding="UTF-8"?>',
           '<xs:schema xmlns:xs="http://www.w3.org/2001/XMLSchema" targetNamespace="%s" '
           'elementFormDefault="qualified" attributeFormDefault="unqualified">' % CATALOG_NS]
    for name in compiler.catalogs:
        keys = user.keys(name) if name in user.rows else snapshot.keys(name)
        out.append('  <xs:simpleType name="%s"><xs:restriction base="xs:string"><xs:whiteSpace value="collapse"/>'
                   % name)
        for k in keys:
            out.append('    <xs:enumeration value="%s"/>' % escape(k))
        out.append("  </xs:restriction></xs:simpleType>")
    out.append("</xs:schema>")
    return "\n".join(out) + "\n"


def write_peer(out, name, sat_root, compiler, schema_set, snapshot, user):
    """A tree of links to the authority's schemas with catCFDI.xsd and the lax Addenda, and
    peer.xsd importing the version's schema and complements, under out/peer/name. Returns
    peer.xsd's path."""
    base = os.path.join(out, "peer", name)
    site = os.path.join(sat_root, "www.sat.gob.mx")
    main = os.path.normpath(os.path.join(sat_root, schema_set.spec["main"]))
    for folder, _, files in os.walk(site):
        rel = os.path.relpath(folder, sat_root)
        os.makedirs(os.path.join(base, rel), exist_ok=True)
        for name in files:
            if not name.endswith(".xsd"):
                continue
            source = os.path.join(folder, name)
            target = os.path.join(base, rel, name)
            if os.path.lexists(target):
                os.remove(target)
            if os.path.normpath(source) == main:
                with open(source, encoding="utf-8") as f:
                    text = f.read()
                with open(target, "w", encoding="utf-8") as f:
                    f.write(addenda_lax(text))
            else:
                os.symlink(source, target)
    with open(os.path.join(base, G.CFD, "catalogos", "catCFDI.xsd"), "w", encoding="utf-8") as f:
        f.write(catalog_schema(compiler, snapshot, user))
    imports = []
    for rel in [schema_set.spec["main"]] + [x if x.startswith("www.") else G.CFD + x
                                            for x in schema_set.spec["complements"]]:
        ns = G.SchemaFile(os.path.join(sat_root, rel), rel).tns
        imports.append('  <xs:import namespace="%s" schemaLocation="%s"/>' % (ns, rel))
    peer = os.path.join(base, "peer.xsd")
    with open(peer, "w", encoding="utf-8") as f:
        f.write('<?xml version="1.0" encoding="UTF-8"?>\n<xs:schema xmlns:xs="http://www.w3.org/2001/XMLSchema" '
                'targetNamespace="urn:kelvane:peer">\n%s\n</xs:schema>\n' % "\n".join(imports))
    return peer


# ---------------------------------------------------------------------------------------


def generate(sat, catalogs_dir, out, count, seed):
    """Writes documents, the peer's schemas and the catalog folder under out; returns the
    manifest rows (version, document, label)."""
    from gen_documents import Node, Writer
    rng = random.Random(seed)
    sat = os.path.abspath(sat)
    compiler, sets = G.compile_all(sat)
    user_folder = os.path.join(out, "catalogs")
    write_large_catalogs(user_folder, rng)
    values = Values(compiler, rng)
    rows = []
    peers = {}
    for s in sets:
        number = s.spec["version"]
        version, folder = VERSIONS[number]
        snapshot = Catalogs.of(catalogs_dir, folder)
        user = Catalogs.of(user_folder, folder)
        merged = Catalogs.of(catalogs_dir, folder)
        merged.rows.update(user.rows)
        peers[str(number)] = write_peer(out, str(number), sat, compiler, s, snapshot, user)
        # Without the generated folder: the snapshot alone, as a caller without one has it.
        peers["%d-snapshot" % number] = write_peer(out, "%d-snapshot" % number, sat, compiler, s, snapshot,
                                                   Catalogs(os.path.join(out, "no-such-folder")))
        docs = os.path.join(out, "docs", "cfdi%d" % number)
        os.makedirs(docs, exist_ok=True)
        prefixes = {compiler.elements[s.root].ns: "cfdi", XSI: "xsi", G.STAMP_NS: "tfd"}
        for f in s.universe.files.values():
            prefixes.setdefault(f.tns, re.sub(r"[^A-Za-z0-9]", "", os.path.basename(f.rel).split(".")[0]).lower()[:14])
        turns = {}
        for i in range(count):
            year = 2018 if number == 33 else 2024
            date = "%d-%02d-%02dT%02d:%02d:%02d" % (year, rng.randint(1, 12), rng.randint(1, 28), rng.randint(0, 23),
                                                    rng.randint(0, 59), rng.randint(0, 59))
            builder = Builder(compiler, s, merged, values, rng, date)
            picks = [builder.complements[(i * 2 + k) % len(builder.complements)] for k in range(2)]
            picks = list(dict.fromkeys(picks))

            def fill(owner, at_least, picks=picks, builder=builder):
                """Complements under Complemento (this document's picks) and
                ComplementoConcepto (one, any); content of no schema inside Addenda."""
                if owner == "Addenda":
                    return [Node("http://ejemplo.mx/addenda", "Pedido", [("", "Numero", "123")], [
                        Node("http://ejemplo.mx/addenda", "Linea", [("", "X", "1")], [("text", "texto libre")])])]
                chosen = []
                if owner == "Complemento":
                    chosen, picks[:] = list(picks), []
                while len(chosen) < at_least:
                    chosen.append(rng.choice(builder.complements))
                out_nodes = []
                for element_id in chosen:
                    builder.budget = 60
                    out_nodes.append(builder.element(element_id, Node))
                return out_nodes

            builder.budget = 40
            root = builder.element(s.root, Node, fill)
            kind = "valid" if i % 3 == 0 else MUTATIONS[(i // 3 + i) % len(MUTATIONS)]
            label = "valid"
            if kind != "valid":
                label = mutate(kind, root, builder, rng, turns.get(kind, 0)) or "valid"
                turns[kind] = turns.get(kind, 0) + 1
            if any(n.local == "Addenda" for n in walk(root)):
                label += " +addenda"
            if rng.random() < 0.3:
                root.attrs.append((XSI, "schemaLocation", "%s cfdv.xsd" % compiler.elements[s.root].ns))
            mark_text(root)
            namespaces = sorted({n.ns for n in walk(root) if n.ns})
            writer = Writer(rng, prefixes, False)
            body = writer.element(root, {}, "", namespaces)
            path = os.path.join(docs, "s%04d.xml" % i)
            with open(path, "w", encoding="utf-8") as f:
                f.write('<?xml version="1.0" encoding="UTF-8"?>\n' + body + "\n")
            rows.append((str(number), path, label))
    with open(os.path.join(out, "manifest.tsv"), "w", encoding="utf-8") as f:
        for r in rows:
            f.write("\t".join(r) + "\n")
    with open(os.path.join(out, "peers.tsv"), "w", encoding="utf-8") as f:
        for name, path in sorted(peers.items()):
            f.write("%s\t%s\n" % (name, path))
    return rows
