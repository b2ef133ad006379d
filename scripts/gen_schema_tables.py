#!/usr/bin/env python3
"""Writes the schema tables of document validation (src/cfdi/generated/schema_*.cpp).

Reads the tax authority's XML schemas (every xs:import followed) for each document kind of
SCHEMA_SETS, with the complements its cadena stylesheet includes and the stamp, and compiles
them into tables for the streaming validation pass of src/cfdi/schema_pass.cpp: element
declarations, complex types with their attribute uses and content models (deterministic
automata over element declarations), and simple types with their facets; patterns become
automata over character classes (scripts/xsd_regex.py), enumerations sorted value lists.

The schemas use a small part of XML Schema: sequence, choice, all, occurrence bounds,
required, optional and fixed attributes, simple types restricted from string, decimal,
integer, int, short, long, NMTOKEN, date, dateTime and base64Binary with the facets
enumeration, pattern, length, minLength, maxLength, minInclusive, maxInclusive,
minExclusive, maxExclusive, totalDigits, fractionDigits and whiteSpace, simple content,
complex-content extension, and xs:any wildcards. Anything else stops the generator with an
error, so a schema that needs more is noticed here and never silently mistranslated.

One catalog schema is absent from the authority's tree (catCFDI.xsd, see ABSENT_CATALOGS):
its types become catalog checks, answered at run time by the catalog tables (src/cfdi/
catalogs.h) with the catalog of the document's kind and date.

Adding a complement or a document kind is a change of SCHEMA_SETS: the complements of a set
must be exactly those its stylesheet includes (the generator checks), plus the stamp.

Usage:
    gen_schema_tables.py --sat DIR [--out DIR]     write the tables (default: src/cfdi/generated)
    gen_schema_tables.py --sat DIR --check DIR     exit 1 when DIR's tables differ

DIR of --sat is the folder that holds www.sat.gob.mx/.
"""
import argparse
import io
import itertools
import os
import re
import sys
import xml.etree.ElementTree as ET

from gen_common import GenError, c_string, fail, finish, write_array
import xsd_regex

XS = "{http://www.w3.org/2001/XMLSchema}"
XSL = "{http://www.w3.org/1999/XSL/Transform}"
XS_NS = "http://www.w3.org/2001/XMLSchema"
CFD = "www.sat.gob.mx/sitio_internet/cfd/"
STAMP_NS = "http://www.sat.gob.mx/TimbreFiscalDigital"

# Catalog schemas that the authority's tree lacks: namespace -> the file the schemas import.
# Types of these namespaces are catalog checks (CatalogCheck with the type's name).
ABSENT_CATALOGS = {"http://www.sat.gob.mx/sitio_internet/cfd/catalogos": "catCFDI.xsd"}

# The content of a wildcard inside an element of these names is not validated (the
# certification providers do not validate Addenda either).
UNCHECKED_WILDCARDS = {"Addenda"}

# Complements common to the 3.3 and 4.0 stylesheets.
COMMON_COMPLEMENTS = [
    "donat/donat11.xsd", "divisas/divisas.xsd", "implocal/implocal.xsd", "leyendasFiscales/leyendasFisc.xsd",
    "pfic/pfic.xsd", "TuristaPasajeroExtranjero/TuristaPasajeroExtranjero.xsd", "nomina/nomina12.xsd",
    "cfdiregistrofiscal/cfdiregistrofiscal.xsd", "pagoenespecie/pagoenespecie.xsd", "aerolineas/aerolineas.xsd",
    "valesdedespensa/valesdedespensa.xsd", "notariospublicos/notariospublicos.xsd", "vehiculousado/vehiculousado.xsd",
    "servicioparcialconstruccion/servicioparcialconstruccion.xsd",
    "renovacionysustitucionvehiculos/renovacionysustitucionvehiculos.xsd",
    "certificadodestruccion/certificadodedestruccion.xsd", "arteantiguedades/obrasarteantiguedades.xsd",
    "ComercioExterior11/ComercioExterior11.xsd", "ine/ine11.xsd", "iedu/iedu.xsd",
    "ventavehiculos/ventavehiculos11.xsd", "detallista/detallista.xsd", "EstadoDeCuentaCombustible/ecc12.xsd",
    "consumodecombustibles/consumodeCombustibles11.xsd", "GastosHidrocarburos10/GastosHidrocarburos10.xsd",
    "IngresosHidrocarburos10/IngresosHidrocarburos.xsd", "CartaPorte/CartaPorte20.xsd",
]

# Complements common to the Retenciones 1.0 and 2.0 stylesheets.
RET = "www.sat.gob.mx/esquemas/retencionpago/"
RET_COMPLEMENTS = [RET + "1/" + path for path in (
    "arrendamientoenfideicomiso/arrendamientoenfideicomiso.xsd", "dividendos/dividendos.xsd",
    "enajenaciondeacciones/enajenaciondeacciones.xsd", "fideicomisonoempresarial/fideicomisonoempresarial.xsd",
    "intereses/intereses.xsd", "intereseshipotecarios/intereseshipotecarios.xsd",
    "pagosaextranjeros/pagosaextranjeros.xsd", "premios/premios.xsd",
    "operacionesconderivados/operacionesconderivados.xsd", "sectorfinanciero/sectorfinanciero.xsd",
    "planesderetiro11/planesderetiro11.xsd", "PlataformasTecnologicas10/ServiciosPlataformasTecnologicas10.xsd")]

# Document kinds: the table symbol, the version number the library gives the document
# (KVN_XmlReceiptVersion), the root element, the main schema, the stylesheet whose
# complements the set must cover, the complements (paths under sitio_internet/cfd/ unless
# they start with www.sat.gob.mx/), the catalog folder of its catalog checks (CatalogSet)
# and the root attribute holding the date the catalogs are read at.
SCHEMA_SETS = [
    {
        "symbol": "kXsdCfdi33", "name": "CFDI 3.3", "version": 33, "root": "Comprobante",
        "main": CFD + "3/cfdv33.xsd",
        "stylesheet": CFD + "3/cadenaoriginal_3_3/cadenaoriginal_3_3.xslt",
        "complements": ["TimbreFiscalDigital/TimbreFiscalDigitalv11.xsd"] + COMMON_COMPLEMENTS + [
            "Pagos/Pagos10.xsd", "terceros/terceros11.xsd", "EstadoDeCuentaCombustible/ecc11.xsd",
            "consumodecombustibles/consumodecombustibles.xsd", "CartaPorte/CartaPorte.xsd"],
        "catalogs": "kCfdi33", "date": "Fecha",
    },
    {
        "symbol": "kXsdCfdi40", "name": "CFDI 4.0", "version": 40, "root": "Comprobante",
        "main": CFD + "4/cfdv40.xsd",
        "stylesheet": CFD + "4/cadenaoriginal_4_0/cadenaoriginal_4_0.xslt",
        "complements": ["TimbreFiscalDigital/TimbreFiscalDigitalv11.xsd"] + COMMON_COMPLEMENTS + [
            "Pagos/Pagos20.xsd", "ComercioExterior20/ComercioExterior20.xsd", "CartaPorte/CartaPorte30.xsd",
            "CartaPorte/CartaPorte31.xsd", "hidrocarburospetroliferos.xsd"],
        "catalogs": "kCfdi40", "date": "Fecha",
    },
    {
        "symbol": "kXsdRet10", "name": "Retenciones 1.0", "version": 1010, "root": "Retenciones",
        "main": RET + "1/retencionpagov1.xsd",
        "stylesheet": RET + "1/retenciones.xslt",
        "complements": ["TimbreFiscalDigital/TimbreFiscalDigital.xsd"] + RET_COMPLEMENTS + [
            RET + "1/planesderetiro/planesderetiro.xsd"],
        "catalogs": "kRet20", "date": "FechaExp",
    },
    {
        "symbol": "kXsdRet20", "name": "Retenciones 2.0", "version": 1020, "root": "Retenciones",
        "main": RET + "2/retencionpagov2.xsd",
        "stylesheet": RET + "2/retenciones.xslt",
        "complements": ["TimbreFiscalDigital/TimbreFiscalDigitalv11.xsd"] + RET_COMPLEMENTS,
        "catalogs": "kRet20", "date": "FechaExp",
    },
]

# Built-in simple types: primitive, whiteSpace, bounds of the integer types.
INT_BOUNDS = {
    "long": ("-9223372036854775808", "9223372036854775807"),
    "int": ("-2147483648", "2147483647"),
    "short": ("-32768", "32767"),
}
BUILTINS = {
    "string": ("kString", "preserve"), "NMTOKEN": ("kNmtoken", "collapse"), "decimal": ("kDecimal", "collapse"),
    "integer": ("kInteger", "collapse"), "long": ("kInteger", "collapse"), "int": ("kInteger", "collapse"),
    "short": ("kInteger", "collapse"), "date": ("kDate", "collapse"), "dateTime": ("kDateTime", "collapse"),
    "base64Binary": ("kBase64Binary", "collapse"),
}
# The facets each primitive takes.
LENGTH_FACETS = {"length", "minLength", "maxLength"}
ORDER_FACETS = {"minInclusive", "maxInclusive", "minExclusive", "maxExclusive"}
DIGIT_FACETS = {"totalDigits", "fractionDigits"}
COMMON_FACETS = {"pattern", "enumeration", "whiteSpace"}
FACETS = {
    "kString": COMMON_FACETS | LENGTH_FACETS,
    "kNmtoken": COMMON_FACETS | LENGTH_FACETS,
    "kBase64Binary": COMMON_FACETS | LENGTH_FACETS,
    "kDecimal": COMMON_FACETS | ORDER_FACETS | DIGIT_FACETS,
    "kInteger": COMMON_FACETS | ORDER_FACETS | DIGIT_FACETS,
    "kDate": COMMON_FACETS | ORDER_FACETS,
    "kDateTime": COMMON_FACETS | ORDER_FACETS,
}
WHITESPACE = {"preserve": 0, "replace": 1, "collapse": 2}
DECIMAL_RE = re.compile(r"[+-]?([0-9]+(\.[0-9]*)?|\.[0-9]+)\Z")
DATE_RE = re.compile(r"-?[0-9]{4,}-[0-9]{2}-[0-9]{2}(Z|[+-][0-9]{2}:[0-9]{2})?\Z")
DATETIME_RE = re.compile(r"-?[0-9]{4,}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}(\.[0-9]+)?(Z|[+-][0-9]{2}:[0-9]{2})?\Z")

WILDCARD = 1 << 31   # edge symbol flag: a wildcard, its processContents in the low bits
PROCESS = {"strict": 0, "lax": 1, "skip": 2}
NONE = 0xFFFFFFFF


def collapse(text):
    return re.sub(r"[ \t\n\r]+", " ", text).strip(" ")


def canonical_decimal(text, where):
    """The canonical form of a decimal literal: no '+', no leading zeros in the integer part
    (a lone 0 kept), no trailing zeros in the fraction, no '.' without a fraction, no '-'
    on zero. The library writes a value's canonical form the same way (XsdCanonicalDecimal)."""
    text = text.strip()
    if not DECIMAL_RE.match(text):
        fail(where, "%r is not a decimal" % text)
    sign = ""
    if text[0] in "+-":
        sign, text = ("-" if text[0] == "-" else ""), text[1:]
    whole, _, fraction = text.partition(".")
    whole = whole.lstrip("0") or "0"
    fraction = fraction.rstrip("0")
    if whole == "0" and not fraction:
        sign = ""
    return sign + whole + ("." + fraction if fraction else "")


def replace_ws(text):
    return re.sub(r"[\t\n\r]", " ", text)


def whitespace_apply(text, mode):
    if mode == "collapse":
        return collapse(text)
    if mode == "replace":
        return replace_ws(text)
    return text


# ---------------------------------------------------------------------------------------
# Schema files


def read_prefixes(path):
    prefixes = {}
    for event, item in ET.iterparse(path, events=("start-ns",)):
        prefix, uri = item
        if prefixes.get(prefix, uri) != uri:
            fail(path, "prefix %s declared with two URIs" % prefix)
        prefixes[prefix] = uri
    return prefixes


class SchemaFile:
    def __init__(self, path, rel):
        self.path = path
        self.rel = rel
        self.root = ET.parse(path).getroot()
        if self.root.tag != XS + "schema":
            fail(rel, "not a schema")
        self.tns = self.root.get("targetNamespace", "")
        self.prefixes = read_prefixes(path)
        self.qualified = self.root.get("elementFormDefault") == "qualified"
        if self.root.get("attributeFormDefault", "unqualified") != "unqualified":
            fail(rel, "qualified attributes are not handled")
        self.imports = []  # (namespace, path or None when absent)

    def qname(self, text, where):
        text = text.strip()
        prefix, _, local = text.rpartition(":")
        if prefix not in self.prefixes:
            fail(self.rel, "%s: undeclared prefix in %s" % (where, text))
        return self.prefixes[prefix], local


# Schema files parsed once for every set, so that a declaration shared by several sets is
# the same node and is compiled once.
PARSED = {}  # normalised path -> SchemaFile


class Universe:
    """The schema files of one document kind, with their global types and elements. Each kind
    has its own: two kinds may take different schemas of one namespace (the stamp 1.0 and
    1.1)."""

    def __init__(self, sat):
        self.sat = sat
        self.files = {}          # normalised path -> SchemaFile
        self.simple_defs = {}    # (ns, name) -> (node, file)
        self.complex_defs = {}
        self.element_defs = {}
        self.absent = set()      # namespaces of ABSENT_CATALOGS seen imported

    def load(self, rel):
        path = os.path.normpath(os.path.join(self.sat, rel))
        return self._load(path, [])

    def _load(self, path, stack):
        if path in self.files:
            return self.files[path]
        rel = os.path.relpath(path, self.sat)
        if path not in PARSED:
            PARSED[path] = SchemaFile(path, rel)
        f = PARSED[path]
        f.imports = []
        self.files[path] = f
        for child in f.root:
            if not isinstance(child.tag, str):
                continue
            tag = child.tag[len(XS):] if child.tag.startswith(XS) else None
            if tag == "import":
                ns = child.get("namespace")
                target = os.path.normpath(os.path.join(os.path.dirname(path), child.get("schemaLocation")))
                if not os.path.exists(target):
                    if ns in ABSENT_CATALOGS and os.path.basename(target) == ABSENT_CATALOGS[ns]:
                        self.absent.add(ns)
                        f.imports.append((ns, None))
                        continue
                    fail(rel, "imported schema %s is missing" % child.get("schemaLocation"))
                imported = self._load(target, stack + [path])
                if imported.tns != ns:
                    fail(rel, "import of %s finds namespace %s" % (ns, imported.tns))
                f.imports.append((ns, target))
            elif tag in ("simpleType", "complexType", "element"):
                key = (f.tns, child.get("name"))
                table = {"simpleType": self.simple_defs, "complexType": self.complex_defs,
                         "element": self.element_defs}[tag]
                if key in table and table[key][1] is not f:
                    fail(rel, "%s %s is also defined in %s" % (tag, key[1], table[key][1].rel))
                table[key] = (child, f)
            elif tag == "annotation":
                continue
            else:
                fail(rel, "top-level xs:%s is not handled" % tag)
        return f

    def closure(self, rels):
        """The files reachable from rels through imports, in first-visit order."""
        out = []
        seen = set()
        stack = [os.path.normpath(os.path.join(self.sat, r)) for r in rels]
        stack.reverse()
        while stack:
            path = stack.pop()
            if path in seen:
                continue
            seen.add(path)
            f = self.files[path]
            out.append(f)
            for _, target in reversed(f.imports):
                if target:
                    stack.append(target)
        return out


def children(node):
    """The schema children of a node, annotations left out."""
    return [c for c in node if isinstance(c.tag, str) and c.tag != XS + "annotation"]


def local_tag(node, where):
    if not node.tag.startswith(XS):
        fail(where, "element %s is not XML Schema" % node.tag)
    return node.tag[len(XS):]


def occurs(node, where):
    low = node.get("minOccurs", "1")
    high = node.get("maxOccurs", "1")
    if not low.isdigit() or not (high.isdigit() or high == "unbounded"):
        fail(where, "occurrence bounds %s..%s" % (low, high))
    low = int(low)
    high = None if high == "unbounded" else int(high)
    if high is not None and high < low:
        fail(where, "maxOccurs below minOccurs")
    return low, high


# ---------------------------------------------------------------------------------------
# Compiled components


class SimpleType:
    """A simple type with its facets gathered along its derivation."""

    def __init__(self, primitive, whitespace, name=""):
        self.name = name
        self.primitive = primitive
        self.whitespace = whitespace
        self.length = self.min_length = self.max_length = None
        self.total_digits = self.fraction_digits = None
        self.min_inclusive = self.max_inclusive = self.min_exclusive = self.max_exclusive = None
        self.pattern_groups = ()   # each group: a tuple of patterns, one of which must match
        self.enumeration = None    # tuple of values or None
        self.catalog = None

    def copy(self, name):
        t = SimpleType(self.primitive, self.whitespace, name)
        for attr in ("length", "min_length", "max_length", "total_digits", "fraction_digits", "min_inclusive",
                     "max_inclusive", "min_exclusive", "max_exclusive", "pattern_groups", "enumeration", "catalog"):
            setattr(t, attr, getattr(self, attr))
        return t

    def key(self):
        return (self.name, self.primitive, self.whitespace, self.length, self.min_length, self.max_length,
                self.total_digits, self.fraction_digits, self.min_inclusive, self.max_inclusive, self.min_exclusive,
                self.max_exclusive, self.pattern_groups, self.enumeration, self.catalog)


class Attribute:
    def __init__(self, name, type_id, required, fixed, default):
        self.name, self.type, self.required, self.fixed, self.default = name, type_id, required, fixed, default


class ComplexType:
    def __init__(self):
        self.attributes = []   # Attribute
        self.content = "kEmpty"
        self.particle = None   # particle tree for kElements / kMixed
        self.simple = None     # simple type id for kSimple
        self.model = None      # content automaton id


class Element:
    def __init__(self, ns, local):
        self.ns, self.local = ns, local
        self.complex = None    # complex type id
        self.simple = None     # simple type id (text-only element without attributes)


class Compiler:
    def __init__(self, universe):
        self.u = universe
        self.simple_types = []        # SimpleType
        self.simple_ids = {}          # key -> id
        self.named_simple = {}        # (ns, name) -> id
        self.complex_types = []       # ComplexType
        self.complex_by_node = {}     # id(node) -> type id
        self.elements = []            # Element
        self.element_by_node = {}     # id(node) -> element id
        self.patterns = {}            # text -> pattern id
        self.pattern_list = []        # (text, CharClasses, Dfa)
        self.models = []              # Dfa over element ids / wildcard symbols
        self.model_ids = {}
        self.catalogs = []            # catalog names

    # -- simple types
    def intern_simple(self, t):
        k = t.key()
        if k not in self.simple_ids:
            self.simple_ids[k] = len(self.simple_types)
            self.simple_types.append(t)
        return self.simple_ids[k]

    def builtin(self, local, where):
        if local not in BUILTINS:
            fail(where, "built-in type xs:%s is not handled" % local)
        primitive, ws = BUILTINS[local]
        t = SimpleType(primitive, ws, local)
        if local in INT_BOUNDS:
            t.min_inclusive, t.max_inclusive = INT_BOUNDS[local]
        return t

    def simple_by_name(self, qname, f, where):
        """The SimpleType record (not interned) of a referenced simple type."""
        ns, local = f.qname(qname, where)
        if ns == XS_NS:
            return self.builtin(local, where)
        if ns in self.u.absent:
            if local not in self.catalogs:
                self.catalogs.append(local)
            t = SimpleType("kCatalog", "collapse", local)
            t.catalog = local
            return t
        key = (ns, local)
        if key not in self.u.simple_defs:
            fail(f.rel, "%s: simple type %s is not defined" % (where, qname))
        node, owner = self.u.simple_defs[key]
        return self.simple_node(node, owner, local, "%s type %s" % (owner.rel, local))

    def simple_node(self, node, f, name, where):
        """Compiles an xs:simpleType."""
        kids = children(node)
        if len(kids) != 1 or local_tag(kids[0], where) != "restriction":
            fail(f.rel, "%s: only restrictions are handled" % where)
        r = kids[0]
        if r.get("base"):
            base = self.simple_by_name(r.get("base"), f, where)
            facets = children(r)
        else:
            inner = children(r)
            if not inner or local_tag(inner[0], where) != "simpleType":
                fail(f.rel, "%s: restriction without a base" % where)
            base = self.simple_node(inner[0], f, "", where)
            facets = inner[1:]
        return self.restrict(base, facets, f, name, where)

    def restrict(self, base, facets, f, name, where):
        if base.primitive == "kCatalog":
            fail(f.rel, "%s: restriction of catalog type %s is not handled" % (where, base.name))
        t = base.copy(name)
        enumeration = []
        patterns = []
        for facet in facets:
            kind = local_tag(facet, where)
            value = facet.get("value")
            if kind not in FACETS[base.primitive]:
                fail(f.rel, "%s: facet %s on %s is not handled" % (where, kind, base.primitive))
            if value is None:
                fail(f.rel, "%s: facet %s without a value" % (where, kind))
            if kind == "enumeration":
                enumeration.append(value)
            elif kind == "pattern":
                patterns.append(value)
            elif kind == "whiteSpace":
                if value not in WHITESPACE or WHITESPACE[value] < WHITESPACE[t.whitespace]:
                    fail(f.rel, "%s: whiteSpace %s" % (where, value))
                t.whitespace = value
            elif kind in LENGTH_FACETS or kind in DIGIT_FACETS:
                if not value.isdigit():
                    fail(f.rel, "%s: %s %r" % (where, kind, value))
                setattr(t, {"length": "length", "minLength": "min_length", "maxLength": "max_length",
                            "totalDigits": "total_digits", "fractionDigits": "fraction_digits"}[kind], int(value))
            elif kind in ORDER_FACETS:
                value = value.strip()
                pattern = {"kDecimal": DECIMAL_RE, "kInteger": DECIMAL_RE, "kDate": DATE_RE,
                           "kDateTime": DATETIME_RE}[base.primitive]
                if not pattern.match(value):
                    fail(f.rel, "%s: %s %r" % (where, kind, value))
                attr = {"minInclusive": "min_inclusive", "maxInclusive": "max_inclusive",
                        "minExclusive": "min_exclusive", "maxExclusive": "max_exclusive"}[kind]
                setattr(t, attr, value)
            else:
                fail(f.rel, "%s: facet %s is not handled" % (where, kind))
        if enumeration:
            if base.primitive not in ("kString", "kNmtoken", "kDecimal", "kInteger"):
                fail(f.rel, "%s: enumeration of %s is not handled" % (where, base.primitive))
            values = set(whitespace_apply(v, t.whitespace) for v in enumeration)
            if base.primitive in ("kDecimal", "kInteger"):
                # numbers compare by value: the library compares canonical forms
                values = set(canonical_decimal(v, f.rel + " " + where) for v in values)
            values = sorted(values, key=lambda v: v.encode("utf-8"))
            t.enumeration = tuple(values)
        if patterns:
            for p in patterns:
                self.pattern(p, "%s %s" % (f.rel, where))
            t.pattern_groups = t.pattern_groups + (tuple(patterns),)
        return t

    def pattern(self, text, where):
        if text not in self.patterns:
            classes, dfa = xsd_regex.compile_pattern(text, where)
            if classes.count > 255:
                fail(where, "pattern %r has more than 255 character classes" % text)
            if len(dfa.accepting) >= 0xFFFF:
                fail(where, "pattern %r needs too many states" % text)
            self.patterns[text] = len(self.pattern_list)
            self.pattern_list.append((text, classes, dfa))
        return self.patterns[text]

    def simple_id_by_name(self, qname, f, where):
        ns, local = f.qname(qname, where)
        key = (ns, local)
        if key not in self.named_simple:
            self.named_simple[key] = self.intern_simple(self.simple_by_name(qname, f, where))
        return self.named_simple[key]

    # -- attributes and complex types
    def attribute(self, node, f, where):
        name = node.get("name")
        for a in node.attrib:
            if a not in ("name", "type", "use", "fixed", "default", "id"):
                fail(f.rel, "%s: attribute @%s is not handled" % (where, a))
        if not name:
            fail(f.rel, "%s: attribute without a name" % where)
        where = "%s/@%s" % (where, name)
        use = node.get("use", "optional")
        if use not in ("required", "optional"):
            fail(f.rel, "%s: use=%s is not handled" % (where, use))
        kids = children(node)
        if node.get("type"):
            if kids:
                fail(f.rel, "%s: type and inline type" % where)
            type_id = self.simple_id_by_name(node.get("type"), f, where)
        elif len(kids) == 1 and local_tag(kids[0], where) == "simpleType":
            type_id = self.intern_simple(self.simple_node(kids[0], f, "", where))
        elif not kids:
            type_id = self.intern_simple(SimpleType("kString", "preserve", "anySimpleType"))
        else:
            fail(f.rel, "%s: attribute without a simple type" % where)
        fixed, default = node.get("fixed"), node.get("default")
        if fixed is not None and default is not None:
            fail(f.rel, "%s: fixed and default" % where)
        if fixed is not None:
            fixed = whitespace_apply(fixed, self.simple_types[type_id].whitespace)
            if self.simple_types[type_id].primitive in ("kDecimal", "kInteger"):
                fixed = canonical_decimal(fixed, f.rel + " " + where)
            elif self.simple_types[type_id].primitive not in ("kString", "kNmtoken"):
                fail(f.rel, "%s: fixed value of a %s" % (where, self.simple_types[type_id].primitive))
        return Attribute(name, type_id, use == "required", fixed, default)

    def complex_named(self, qname, f, where):
        ns, local = f.qname(qname, where)
        if (ns, local) not in self.u.complex_defs:
            fail(f.rel, "%s: complex type %s is not defined" % (where, qname))
        node, owner = self.u.complex_defs[(ns, local)]
        return self.complex_node(node, owner, "%s type %s" % (owner.rel, local))

    def complex_node(self, node, f, where):
        if id(node) in self.complex_by_node:
            return self.complex_by_node[id(node)]
        for a in node.attrib:
            if a not in ("name", "mixed"):
                fail(f.rel, "%s: complexType @%s is not handled" % (where, a))
        type_id = len(self.complex_types)
        t = ComplexType()
        self.complex_types.append(t)
        self.complex_by_node[id(node)] = type_id
        mixed = node.get("mixed") == "true"
        kids = children(node)
        if kids and local_tag(kids[0], where) in ("simpleContent", "complexContent"):
            if len(kids) != 1:
                fail(f.rel, "%s: content and more" % where)
            self.derived_content(kids[0], f, t, mixed, where)
            return type_id
        particle, attributes = self.particle_and_attributes(kids, f, where)
        t.attributes = attributes
        self.set_particle(t, particle, mixed)
        return type_id

    def set_particle(self, t, particle, mixed):
        if particle is None or particle == ("seq", []):
            t.content = "kMixed" if mixed else "kEmpty"
            t.particle = ("seq", [])
        else:
            t.content = "kMixed" if mixed else "kElements"
            t.particle = particle

    def particle_and_attributes(self, kids, f, where):
        particle = None
        attributes = []
        for k in kids:
            tag = local_tag(k, where)
            if tag in ("sequence", "choice", "all"):
                if particle is not None or attributes:
                    fail(f.rel, "%s: content after attributes" % where)
                particle = self.particle(k, f, where)
            elif tag == "attribute":
                attributes.append(self.attribute(k, f, where))
            else:
                fail(f.rel, "%s: xs:%s is not handled" % (where, tag))
        names = [a.name for a in attributes]
        if len(set(names)) != len(names):
            fail(f.rel, "%s: an attribute declared twice" % where)
        return particle, attributes

    def derived_content(self, node, f, t, mixed, where):
        kind = local_tag(node, where)
        kids = children(node)
        if len(kids) != 1 or local_tag(kids[0], where) != "extension":
            fail(f.rel, "%s: %s other than an extension" % (where, kind))
        ext = kids[0]
        base = ext.get("base")
        if kind == "simpleContent":
            t.content = "kSimple"
            t.simple = self.simple_id_by_name(base, f, where)
            particle, t.attributes = self.particle_and_attributes(children(ext), f, where)
            if particle is not None:
                fail(f.rel, "%s: simple content with elements" % where)
            return
        base_id = self.complex_named(base, f, where)
        base_type = self.complex_types[base_id]
        if base_type.content == "kSimple":
            fail(f.rel, "%s: complex extension of simple content" % where)
        particle, attributes = self.particle_and_attributes(children(ext), f, where)
        t.attributes = list(base_type.attributes) + attributes
        names = [a.name for a in t.attributes]
        if len(set(names)) != len(names):
            fail(f.rel, "%s: an attribute declared twice" % where)
        parts = [p for p in (base_type.particle, particle) if p is not None and p != ("seq", [])]
        combined = parts[0] if len(parts) == 1 else ("seq", parts) if parts else None
        self.set_particle(t, combined, mixed or base_type.content == "kMixed")

    def particle(self, node, f, where):
        tag = local_tag(node, where)
        low, high = occurs(node, where)
        for a in node.attrib:
            if tag in ("sequence", "choice", "all") and a not in ("minOccurs", "maxOccurs"):
                fail(f.rel, "%s: xs:%s @%s is not handled" % (where, tag, a))
        if tag in ("sequence", "choice"):
            parts = [self.particle(k, f, where) for k in children(node)]
            tree = ("seq" if tag == "sequence" else "alt", parts)
            if tag == "choice" and not parts:
                fail(f.rel, "%s: empty choice" % where)
        elif tag == "all":
            parts = [self.particle(k, f, where) for k in children(node)]
            for k in children(node):
                if local_tag(k, where) != "element" or occurs(k, where)[1] != 1:
                    fail(f.rel, "%s: xs:all of more than single elements" % where)
            if len(parts) > 8:
                fail(f.rel, "%s: xs:all of more than 8 elements" % where)
            tree = all_orders(parts)
        elif tag == "element":
            element_id = self.element(node, f, where, local=True)
            tree = ("sym", frozenset([element_id]))
        elif tag == "any":
            for a in node.attrib:
                if a not in ("minOccurs", "maxOccurs", "processContents", "namespace"):
                    fail(f.rel, "%s: xs:any @%s is not handled" % (where, a))
            if node.get("namespace", "##any") != "##any":
                fail(f.rel, "%s: wildcard namespace constraints are not handled" % where)
            process = node.get("processContents", "strict")
            if process not in PROCESS:
                fail(f.rel, "%s: processContents %s" % (where, process))
            owner = where.rsplit("/", 1)[-1]
            if owner in UNCHECKED_WILDCARDS:
                process = "skip"
            tree = ("sym", frozenset([WILDCARD | PROCESS[process]]))
        else:
            fail(f.rel, "%s: xs:%s in a content model is not handled" % (where, tag))
        if (low, high) == (1, 1):
            return tree
        return ("rep", tree, low, high)

    def element(self, node, f, where, local):
        if id(node) in self.element_by_node:
            return self.element_by_node[id(node)]
        for a in node.attrib:
            if a not in ("name", "type", "minOccurs", "maxOccurs"):
                fail(f.rel, "%s: element @%s is not handled" % (where, a))
        name = node.get("name")
        if not name:
            fail(f.rel, "%s: element without a name" % where)
        if local and not f.qualified:
            fail(f.rel, "%s: unqualified local elements are not handled" % where)
        element_id = len(self.elements)
        e = Element(f.tns, name)
        self.elements.append(e)
        self.element_by_node[id(node)] = element_id
        where = "%s/%s" % (where, name)
        kids = children(node)
        if node.get("type"):
            if kids:
                fail(f.rel, "%s: type and inline type" % where)
            ns, tlocal = f.qname(node.get("type"), where)
            if (ns, tlocal) in self.u.complex_defs:
                e.complex = self.complex_named(node.get("type"), f, where)
            else:
                e.simple = self.simple_id_by_name(node.get("type"), f, where)
        elif len(kids) == 1 and local_tag(kids[0], where) == "complexType":
            e.complex = self.complex_node(kids[0], f, where)
        elif len(kids) == 1 and local_tag(kids[0], where) == "simpleType":
            e.simple = self.intern_simple(self.simple_node(kids[0], f, "", where))
        else:
            fail(f.rel, "%s: element without a type" % where)
        return element_id

    def global_element(self, ns, local):
        node, f = self.u.element_defs[(ns, local)]
        return self.element(node, f, f.rel, local=False)

    # -- content models
    def build_models(self):
        for t in self.complex_types:
            if t.content not in ("kElements", "kMixed"):
                continue
            names = {}
            for sym in symbols_of(t.particle):
                if sym & WILDCARD:
                    continue
                e = self.elements[sym]
                other = names.setdefault((e.ns, e.local), sym)
                if other != sym:
                    fail(e.local, "two declarations of %s in one content model" % e.local)
            alphabet = set(symbols_of(t.particle))
            dfa = xsd_regex.build_dfa(t.particle, alphabet)
            key = dfa.signature()
            if key not in self.model_ids:
                self.model_ids[key] = len(self.models)
                self.models.append(dfa)
            t.model = self.model_ids[key]


def all_orders(parts):
    """xs:all as the choice of every order of its (optional or required) members."""
    orders = []
    for perm in itertools.permutations(parts):
        orders.append(("seq", list(perm)))
    return ("alt", orders) if len(orders) > 1 else orders[0]


def symbols_of(tree, out=None):
    if out is None:
        out = []
    if tree[0] == "sym":
        out.extend(tree[1])
    elif tree[0] in ("seq", "alt"):
        for t in tree[1]:
            symbols_of(t, out)
    elif tree[0] == "rep":
        symbols_of(tree[1], out)
    return out


# ---------------------------------------------------------------------------------------
# Document kinds


def stylesheet_namespaces(path):
    """Namespaces of the elements a stylesheet's templates match, includes followed."""
    found = set()

    def load(p, stack):
        if p in stack:
            fail(p, "includes itself")
        prefixes = {}
        for event, (prefix, uri) in ET.iterparse(p, events=("start-ns",)):
            prefixes[prefix] = uri
        for child in ET.parse(p).getroot():
            if not isinstance(child.tag, str):
                continue
            if child.tag == XSL + "include":
                load(os.path.normpath(os.path.join(os.path.dirname(p), child.get("href"))), stack + [p])
            elif child.tag == XSL + "template" and child.get("match") and ":" in child.get("match"):
                found.add(prefixes[child.get("match").split(":")[0]])

    load(path, [])
    return found


class SchemaSet:
    def __init__(self, spec, compiler):
        self.spec = spec
        u = self.universe = compiler.u
        rels = [spec["main"]] + [c if c.startswith("www.") else CFD + c for c in spec["complements"]]
        files = [u.load(r) for r in rels]
        main, complements = files[0], files[1:]
        declared = {f.tns for f in complements}
        if len(declared) != len(complements):
            fail(spec["name"], "two complements share a namespace")
        wanted = stylesheet_namespaces(os.path.join(u.sat, spec["stylesheet"])) - {main.tns}
        if declared - {STAMP_NS} != wanted:
            fail(spec["name"], "complements differ from the stylesheet's: missing %s, extra %s" % (
                sorted(wanted - declared), sorted(declared - {STAMP_NS} - wanted)))
        root_key = (main.tns, spec["root"])
        if root_key not in u.element_defs:
            fail(spec["main"], "no global %s" % spec["root"])
        self.root = compiler.global_element(*root_key)
        # Every global element of the loaded schemas may stand where a strict wildcard is.
        self.namespaces = []  # (ns, [element ids sorted by local name], file)
        for f in u.closure(rels):
            names = sorted((name for (ns, name) in u.element_defs if u.element_defs[(ns, name)][1] is f),
                           key=lambda n: n.encode("utf-8"))
            if not names:
                continue
            ids = [compiler.global_element(f.tns, n) for n in names]
            self.namespaces.append((f.tns, ids, f.rel))
        self.namespaces.sort(key=lambda x: x[0].encode("utf-8"))


# ---------------------------------------------------------------------------------------
# Output


def write_header(o, what):
    o.write("// Generated by scripts/gen_schema_tables.py from the authority's schemas: %s.\n" % what)
    o.write("// Do not edit: change the generator or the schemas and run it again.\n")


def write_types(c):
    o = io.StringIO()
    write_header(o, "simple types, patterns and enumerations")
    o.write('#include "cfdi/schema_model.h"\n\nnamespace kvn {\nnamespace {\n\n')
    # enumeration pool
    pool = []
    offsets = []
    at = 0
    enum_first = {}
    for t in c.simple_types:
        if t.enumeration is None or t.enumeration in enum_first:
            continue
        enum_first[t.enumeration] = len(offsets)
        for v in t.enumeration:
            offsets.append(at)
            pool.append(v)
            at += len(v.encode("utf-8")) + 1
    offsets.append(at)
    o.write("// Enumeration values, NUL-terminated, each type's values sorted bytewise.\n")
    o.write("constexpr char kEnumerationText[] =\n")
    line = []
    width = 0
    for v in pool:
        lit = c_string(v + "\0")
        line.append(lit)
        width += len(lit)
        if width > 90:
            o.write("    " + " ".join(line) + "\n")
            line, width = [], 0
    if line:
        o.write("    " + " ".join(line) + "\n")
    if not pool:
        o.write('    ""\n')
    o.write("    ;\n\n")
    write_array(o, "std::uint32_t", "kEnumerationOffsets", offsets, 12)
    # patterns
    ranges, range_classes, ascii, transitions, accepting = [], [], [], [], []
    rows = []
    for text, classes, dfa in c.pattern_list:
        rows.append((len(ranges), len(classes.starts), classes.count, len(transitions), len(dfa.accepting),
                     len(accepting), len(ascii), text))
        ranges.extend(classes.starts)
        range_classes.extend(classes.classes)
        ascii.extend(classes.class_of(cp) for cp in range(128))
        for row in dfa.transitions:
            transitions.extend(row.get(cls, 0xFFFF) for cls in range(classes.count))
        accepting.extend(1 if a else 0 for a in dfa.accepting)
    write_array(o, "std::uint32_t", "kPatternRangeStarts", ranges)
    write_array(o, "std::uint8_t", "kPatternRangeClasses", range_classes, 24)
    write_array(o, "std::uint8_t", "kPatternAsciiClasses", ascii, 32)
    write_array(o, "std::uint16_t", "kPatternTransitions", transitions, 16)
    write_array(o, "std::uint8_t", "kPatternAccepting", accepting, 32)
    o.write("constexpr XsdPattern kPatterns[] = {\n")
    for r in rows:
        o.write("    {%d, %d, %d, %d, %d, %d, %d, %s},\n" % (r[0], r[1], r[2], r[3], r[4], r[5], r[6], c_string(r[7])))
    o.write("};\n\n")
    # pattern groups
    groups = []
    refs = []
    group_ids = {}
    for t in c.simple_types:
        for g in t.pattern_groups:
            if g not in group_ids:
                group_ids[g] = len(groups)
                groups.append((len(refs), len(g)))
                refs.extend(c.patterns[p] for p in g)
    o.write("constexpr XsdPatternGroup kPatternGroups[] = {\n")
    for first, count in groups or [(0, 0)]:
        o.write("    {%d, %d},\n" % (first, count))
    o.write("};\n\n")
    write_array(o, "std::uint16_t", "kPatternRefs", refs)
    # groups of a type are consecutive in a second list
    type_groups = []
    o.write("constexpr const char* kCatalogNames[] = {\n")
    for name in c.catalogs or [""]:
        o.write("    %s,\n" % c_string(name))
    o.write("};\n\n")
    o.write("constexpr XsdSimpleType kSimpleTypes[] = {\n")

    def bound(v):
        return "nullptr" if v is None else c_string(v)

    def num(v):
        return -1 if v is None else v

    for i, t in enumerate(c.simple_types):
        first_group = len(type_groups)
        type_groups.extend(group_ids[g] for g in t.pattern_groups)
        enum_at, enum_count = (enum_first[t.enumeration], len(t.enumeration)) if t.enumeration is not None else (0, 0)
        o.write("    /* %4d */ {%s, XsdPrimitive::%s, XsdWhiteSpace::k%s, %d, %d, %d, %d, %d, %d, %s, %s, %s, %s, "
                "%d, %d, %d, %d, %d},\n" % (
                    i, c_string(t.name), t.primitive, t.whitespace.capitalize(),
                    c.catalogs.index(t.catalog) if t.catalog else 0, num(t.length), num(t.min_length),
                    num(t.max_length), num(t.total_digits), num(t.fraction_digits), bound(t.min_inclusive),
                    bound(t.max_inclusive), bound(t.min_exclusive), bound(t.max_exclusive), first_group,
                    len(t.pattern_groups), enum_at, enum_count, 1 if t.enumeration is not None else 0))
    o.write("};\n\n")
    write_array(o, "std::uint16_t", "kTypePatternGroups", type_groups)
    o.write("}  // namespace\n\n")
    o.write("extern const XsdTypeTables kXsdTypeTables = {\n")
    o.write("    kSimpleTypes, %d, kPatterns, %d, kPatternRangeStarts, kPatternRangeClasses, kPatternAsciiClasses,\n"
            % (len(c.simple_types), len(c.pattern_list)))
    o.write("    kPatternTransitions, kPatternAccepting, kPatternGroups, kPatternRefs, kTypePatternGroups,\n")
    o.write("    kEnumerationText, kEnumerationOffsets, kCatalogNames, %d,\n" % len(c.catalogs))
    o.write("};\n\n}  // namespace kvn\n")
    return o.getvalue()


def write_elements(c):
    o = io.StringIO()
    write_header(o, "element declarations, complex types and content models")
    o.write('#include "cfdi/schema_model.h"\n\nnamespace kvn {\nnamespace {\n\n')
    uris = []
    for e in c.elements:
        if e.ns not in uris:
            uris.append(e.ns)
    o.write("constexpr const char* kUris[] = {\n")
    for u in uris:
        o.write("    %s,\n" % c_string(u))
    o.write("};\n\n")
    o.write("constexpr XsdElement kElements[] = {\n")
    for i, e in enumerate(c.elements):
        o.write("    /* %4d */ {%s, kUris[%d], %d, %d},\n" % (
            i, c_string(e.local), uris.index(e.ns), NONE if e.complex is None else e.complex,
            NONE if e.simple is None else e.simple))
    o.write("};\n\n")
    attributes = []
    o.write("constexpr XsdAttributeUse kAttributes[] = {\n")
    type_rows = []
    for t in c.complex_types:
        type_rows.append((len(attributes), len(t.attributes)))
        for a in t.attributes:
            attributes.append(a)
            o.write("    {%s, %d, %d, %s},\n" % (c_string(a.name), a.type, 1 if a.required else 0,
                                                "nullptr" if a.fixed is None else c_string(a.fixed)))
    if not attributes:
        o.write('    {"", 0, 0, nullptr},\n')
    o.write("};\n\n")
    o.write("constexpr XsdComplexType kComplexTypes[] = {\n")
    for i, t in enumerate(c.complex_types):
        first, count = type_rows[i]
        o.write("    /* %4d */ {%d, %d, XsdContent::%s, %d, %d},\n" % (
            i, first, count, t.content, NONE if t.model is None else t.model, NONE if t.simple is None else t.simple))
    o.write("};\n\n")
    states, edges = [], []
    model_rows = []
    for dfa in c.models:
        model_rows.append((len(states), len(dfa.accepting)))
        for s, row in enumerate(dfa.transitions):
            states.append((len(edges), len(row), 1 if dfa.accepting[s] else 0))
            for sym in sorted(row, key=lambda x: (x & WILDCARD != 0, x)):
                edges.append((sym, row[sym]))
    o.write("constexpr XsdModelState kModelStates[] = {\n")
    for first, count, acc in states or [(0, 0, 1)]:
        o.write("    {%d, %d, %d},\n" % (first, count, acc))
    o.write("};\n\n")
    o.write("constexpr XsdModelEdge kModelEdges[] = {\n")
    for sym, target in edges or [(0, 0)]:
        label = ("kXsdWildcard | %d" % (sym & ~WILDCARD)) if sym & WILDCARD else str(sym)
        o.write("    {%s, %d},\n" % (label, target))
    o.write("};\n\n")
    o.write("constexpr XsdModel kModels[] = {\n")
    for first, count in model_rows or [(0, 0)]:
        o.write("    {%d, %d},\n" % (first, count))
    o.write("};\n\n}  // namespace\n\n")
    o.write("extern const XsdElementTables kXsdElementTables = {\n")
    o.write("    kElements, %d, kComplexTypes, %d, kAttributes, kModels, %d, kModelStates, kModelEdges,\n" % (
        len(c.elements), len(c.complex_types), len(c.models)))
    o.write("};\n\n}  // namespace kvn\n")
    return o.getvalue()


def write_sets(c, sets):
    o = io.StringIO()
    write_header(o, "the document kinds")
    o.write('#include "cfdi/schema_model.h"\n\nnamespace kvn {\nnamespace {\n\n')
    for s in sets:
        sym = s.spec["symbol"]
        o.write("constexpr std::uint32_t %sGlobals[] = {\n" % sym)
        flat = []
        for ns, ids, rel in s.namespaces:
            flat.extend(ids)
            o.write("    %s,  // %s\n" % (", ".join(str(i) for i in ids), rel))
        o.write("};\n\n")
        o.write("constexpr XsdNamespace %sNamespaces[] = {\n" % sym)
        at = 0
        for ns, ids, rel in s.namespaces:
            o.write("    {%s, %d, %d},\n" % (c_string(ns), at, len(ids)))
            at += len(ids)
        o.write("};\n\n")
    o.write("}  // namespace\n\n")
    o.write("extern const XsdSchemaSet kXsdSchemaSets[] = {\n")
    for s in sets:
        sym = s.spec["symbol"]
        o.write("    {%s, %d, %d, %sNamespaces, %d, %sGlobals, CatalogSet::%s, %s},\n" % (
            c_string(s.spec["name"]), s.spec["version"], s.root, sym, len(s.namespaces), sym, s.spec["catalogs"],
            c_string(s.spec["date"])))
    o.write("};\n")
    o.write("extern const std::size_t kXsdSchemaSetCount = %d;\n\n}  // namespace kvn\n" % len(sets))
    return o.getvalue()


def compile_all(sat):
    """The compiler with every set's schemas compiled, and the sets."""
    compiler = Compiler(Universe(sat))
    sets = []
    for spec in SCHEMA_SETS:
        compiler.u = Universe(sat)
        sets.append(SchemaSet(spec, compiler))
    compiler.build_models()
    return compiler, sets


def generate(sat):
    compiler, sets = compile_all(sat)
    return {
        "schema_types.cpp": write_types(compiler),
        "schema_elements.cpp": write_elements(compiler),
        "schema_sets.cpp": write_sets(compiler, sets),
    }


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--sat", required=True)
    ap.add_argument("--out", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src", "cfdi",
                                                  "generated"))
    ap.add_argument("--check")
    args = ap.parse_args()
    try:
        files = generate(os.path.abspath(args.sat))
    except GenError as e:
        print("gen_schema_tables: %s" % e, file=sys.stderr)
        return 2
    return finish("gen_schema_tables.py", files, args.out, args.check, "schema tables")


if __name__ == "__main__":
    sys.exit(main())
