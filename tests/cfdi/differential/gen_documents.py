#!/usr/bin/env python3
"""Writes seeded random invoice documents for the differential pipe-string test.

The shape of every document comes from the tax authority's stylesheets themselves: each
version's cadena stylesheet and the complements it includes are read, and every attribute,
element path and text value their templates visit becomes something the generator may write
(random subsets of optional attributes, required ones now and then left out, repeated and
missing children, children out of template order). On top come the constructs the
stylesheets treat in their own way (complements a version does not include, totals written
after detail lines, withholdings grouped before transfers, empty optional attributes, ...)
and messy but well-formed XML: any attribute order, white space and line breaks inside
values and between elements, comments, processing instructions, default namespaces and
unusual prefixes, entity and character references, CDATA, a byte-order mark, Latin-1
documents, an internal DTD subset with an entity, Addenda with arbitrary content and unknown
complements (which the stylesheets copy as text by XSLT's built-in rule).

Output, under OUT:
  docs/<group>/<name>.xml   the documents
  <group>.list.xml          the documents of one stylesheet, for one xsltproc run
  <group>.wrap.xslt         imports the group's stylesheet and runs it over every listed
                            document (stamp groups first copy the stamp into a document of
                            its own), writing "@@kvn-doc@@ <file>" before each result
  extract-stamp.xslt        copies a document's stamp into a document of its own
  manifest.tsv              group, options (0 or "stamp"), stylesheet, document, and
                            "missing:<attribute>" where the library is to refuse the stamp

Names: r<n> random documents; c0 a tidy control per version; c1-c9 the constructs where a
walk in document order goes wrong (complement not included, Receptor without Domicilio,
Retenciones without Traslados, ecc with totals, implocal order, detallista without seller or
totalAmount, several TotalAllowanceCharge, optional attribute empty, children out of order);
k1 a stamp without a required attribute; x1-x3 DTD attribute defaults, an entity holding
markup, // paths through nested and misplaced elements.

Usage: gen_documents.py --sat DIR --out DIR [--count N] [--seed S]
  --count is the number of random documents per version (directed constructs come on top).
       gen_documents.py --schema --sat DIR --catalogs DIR --out DIR [--count N] [--seed S]
  documents of CFDI 3.3 and 4.0 for the schema-validation test, valid and mutated, with the
  peer's schemas (schema_documents.py).
"""
import argparse
import os
import random
import re
import sys
import xml.etree.ElementTree as ET

XSL = "http://www.w3.org/1999/XSL/Transform"
TFD = "http://www.sat.gob.mx/TimbreFiscalDigital"
XSI = "http://www.w3.org/2001/XMLSchema-instance"

CADENA = "sitio_internet/cfd"
VERSIONS = {
    # version: (stylesheet, version attribute, namespace, stamp group)
    "2.0": ("2/cadenaoriginal_2_0/cadenaoriginal_2_0.xslt", "version", "http://www.sat.gob.mx/cfd/2", None),
    "2.2": ("2/cadenaoriginal_2_0/cadenaoriginal_2_2.xslt", "version", "http://www.sat.gob.mx/cfd/2", None),
    "3.0": ("3/cadenaoriginal_3_0/cadenaoriginal_3_0.xslt", "version", "http://www.sat.gob.mx/cfd/3", "tfd10"),
    "3.2": ("3/cadenaoriginal_3_2/cadenaoriginal_3_2.xslt", "version", "http://www.sat.gob.mx/cfd/3", "tfd10"),
    "3.3": ("3/cadenaoriginal_3_3/cadenaoriginal_3_3.xslt", "Version", "http://www.sat.gob.mx/cfd/3", "tfd11"),
    "4.0": ("4/cadenaoriginal_4_0/cadenaoriginal_4_0.xslt", "Version", "http://www.sat.gob.mx/cfd/4", "tfd11"),
    # Retenciones e información de pagos: their stylesheets are outside the cfd tree.
    "ret1.0": ("../../esquemas/retencionpago/1/retenciones.xslt", "Version",
               "http://www.sat.gob.mx/esquemas/retencionpago/1", "tfd10"),
    "ret2.0": ("../../esquemas/retencionpago/2/retenciones.xslt", "Version",
               "http://www.sat.gob.mx/esquemas/retencionpago/2", "tfd11"),
}
# The root element of the versions whose root is not Comprobante.
ROOTS = {"ret1.0": "Retenciones", "ret2.0": "Retenciones"}
STAMPS = {
    "tfd10": ("sitio_internet/timbrefiscaldigital/cadenaoriginal_TFD_1_0.xslt", "1.0"),
    "tfd11": ("sitio_internet/cfd/TimbreFiscalDigital/cadenaoriginal_TFD_1_1.xslt", "1.1"),
}
# Complements whose place is a concept's ComplementoConcepto rather than the Complemento.
CONCEPT_COMPLEMENTS = {
    "http://www.sat.gob.mx/iedu", "http://www.sat.gob.mx/ventavehiculos", "http://www.sat.gob.mx/terceros",
    "http://www.sat.gob.mx/acreditamiento",
}
MARKER = "@@kvn-doc@@"


# ---------------------------------------------------------------------------------------
# What the stylesheets visit


class Shape:
    """An element as the templates see it: attributes, child paths and text they read."""

    def __init__(self, key):
        self.key = key  # (namespace, local name)
        self.attrs = {}  # name -> required
        self.children = {}  # key -> Shape, in template order
        self.text = False
        self.any_children = False  # ./* : a complement container
        self.deep = set()  # child keys selected with // (found at any depth)
        self.values = {}  # attribute name -> literal values compared in tests

    def child(self, key):
        if key not in self.children:
            self.children[key] = Shape(key)
        return self.children[key]


class Stylesheet:
    """One cadena stylesheet with its includes: match templates, named templates, grammar."""

    def __init__(self, path):
        self.match = {}  # key -> (template element, prefix map); the last one wins
        self.named = {}
        self.prefixes = {}  # namespace -> prefix declared by the stylesheets
        self._load(path)
        self.shapes = {}
        for key in self.match:
            self.shapes[key] = Shape(key)
        for key, (template, nsmap) in self.match.items():
            self._walk(template, self.shapes[key], nsmap, {})

    def _load(self, path):
        nsmap = {}
        for event, item in ET.iterparse(path, events=("start-ns",)):
            nsmap.setdefault(item[0], item[1])
            if item[1] not in (XSL,) and item[0]:
                self.prefixes.setdefault(item[1], item[0])
        root = ET.parse(path).getroot()
        for node in root:
            if node.tag == "{%s}include" % XSL:
                self._load(os.path.normpath(os.path.join(os.path.dirname(path), node.get("href"))))
            elif node.tag == "{%s}template" % XSL:
                if node.get("match") and node.get("match") != "/":
                    prefix, local = node.get("match").split(":")
                    self.match[(nsmap[prefix], local)] = (node, nsmap)
                elif node.get("name"):
                    self.named[node.get("name")] = (node, nsmap)

    def _resolve(self, ctx, path, nsmap, env):
        """The shape a location path leads to from ctx, or (shape, attribute name)."""
        path = path.strip()
        attr = None
        if path.startswith("$"):
            var, _, path = path[1:].partition("/")
            ctx = env[var]
        if path in (".", ""):
            return ctx, None
        deep = False
        for step in path.split("/"):
            if step in ("", "."):
                deep = deep or step == ""
                continue
            if step.startswith("@"):
                attr = step[1:]
                break
            if step == "*":
                ctx.any_children = True
                return None, None
            prefix, local = step.split(":")
            key = (nsmap[prefix], local)
            if deep:
                ctx.deep.add(key)
                deep = False
            ctx = ctx.child(key)
        return ctx, attr

    def _walk(self, node, ctx, nsmap, env):
        for item in node:
            tag = item.tag.replace("{%s}" % XSL, "")
            if tag == "call-template":
                name = item.get("name")
                params = {p.get("name"): p.get("select") for p in item}
                if name in ("Requerido", "Opcional"):
                    shape, attr = self._resolve(ctx, params["valor"], nsmap, env)
                    if attr:
                        shape.attrs[attr] = shape.attrs.get(attr, False) or name == "Requerido"
                    elif shape is not None:
                        shape.text = True
                elif name in self.named and "Nodo" in params:
                    shape, _ = self._resolve(ctx, params["Nodo"], nsmap, env)
                    template, tmap = self.named[name]
                    self._walk(template, shape, tmap, {"Nodo": shape})
            elif tag == "apply-templates":
                self._resolve(ctx, item.get("select"), nsmap, env)
            elif tag == "for-each":
                shape, _ = self._resolve(ctx, item.get("select"), nsmap, env)
                if shape is not None:
                    self._walk(item, shape, nsmap, env)
            elif tag in ("if", "choose", "when", "otherwise"):
                for attr, value in re.findall(r"@(\w+)\s*=\s*'([^']*)'", item.get("test", "")):
                    ctx.values.setdefault(attr, set()).add(value)
                self._walk(item, ctx, nsmap, env)

    def effective(self, shape):
        """The shape with the template that matches its name merged in."""
        template = self.shapes.get(shape.key)
        if template is None or template is shape:
            return shape
        merged = Shape(shape.key)
        for source in (template, shape):
            merged.attrs.update({a: merged.attrs.get(a, False) or r for a, r in source.attrs.items()})
            merged.children.update(source.children)
            merged.text |= source.text
            merged.any_children |= source.any_children
            merged.deep |= source.deep
            for a, v in source.values.items():
                merged.values.setdefault(a, set()).update(v)
        return merged

    def reachable(self, key):
        """Names of the elements reached from the template of key, key excluded."""
        seen = set()
        stack = list(self.effective(self.shapes[key]).children.values())
        while stack:
            shape = self.effective(stack.pop())
            if shape.key in seen:
                continue
            seen.add(shape.key)
            stack.extend(shape.children.values())
        return seen

    def complement_roots(self, root_key):
        """Templates no other template reaches: the complements' own root elements."""
        reached = set()
        for key in self.shapes:
            reached |= self.reachable(key) - {key}
        return [k for k in self.shapes if k not in reached and k != root_key and k[0] != TFD]


# ---------------------------------------------------------------------------------------
# Documents as trees


class Node:
    def __init__(self, ns, local, attrs=None, children=None):
        self.ns, self.local = ns, local
        self.attrs = attrs if attrs is not None else []  # (namespace or "", name, raw value)
        self.children = children if children is not None else []  # Node or ("raw", text)

    def find(self, local):
        return [c for c in self.children if isinstance(c, Node) and c.local == local]

    def remove(self, local):
        self.children = [c for c in self.children if not (isinstance(c, Node) and c.local == local)]

    def set(self, name, value):
        self.attrs = [a for a in self.attrs if a[1] != name] + [("", name, value)]


# Raw attribute values (already escaped for a double- or single-quoted literal).
PLAIN_VALUES = ["1000.00", "0.160000", "16.00", "XAXX010101000", "AAA010101AAA", "2024-01-15T10:20:30", "MXN",
                "USD", "1", "3", "PUE", "G03", "601", "01", "Producto de prueba", "PZA", "KGM", "84111506",
                "México", "Calle 5 de Mayo", "0", "12.5", "ABC-123", "5000", "N", "true"]
MESSY_VALUES = ["  espacios   al  borde  ", "línea\nnueva", "dos\r\nlíneas", "tab\tdentro", "A &amp; B", "&lt;etiqueta&gt;",
                "&quot;comillas&quot; y &apos;apóstrofo&apos;", "&#241;o&#xF1;o", "Ñandú peñón", "\u00a0nbsp\u00a0",
                "&#160;nbsp ref&#xA0;", "salto&#10;de&#13;línea&#9;ref", "", " ", "|barra|", "€ 100", "😀 &#x1F600;",
                "  &#32; ref de espacio &#x20; ", "Compañía \u2013 Ünïcödé", "a > b",
                "NEL\u0085 LS\u2028 ideográfico\u3000 zwsp\u200b fin", "&#x85;&#x2028;&#12288;"]
TEXT_VALUES = ["7501234567890", "  texto con\n   saltos  ", "a &amp; b", "<![CDATA[ <crudo> & ]]>", "12<!-- corte -->34",
               "&#241;&#xA0;", "Ñ", "dos\r\nlíneas", "", "x<?kvn pi?>y", "\u00a0",
               "12<b>34</b> <i> 56 </i>"]
UNKNOWN_TEXT = ["\n    ", "texto libre", " con  espacios \n y saltos\r\n", "<![CDATA[cdata <b> &amp; ]]>", "&amp;&lt;&#241;",
                "ñ\u00a0ü", "\t"]


class Generator:
    def __init__(self, rng, sheets, namespaces, messy=True):
        self.rng = rng
        self.sheets = sheets
        self.namespaces = namespaces  # every namespace the stylesheets know
        self.messy = messy
        self.budget = 0

    def value(self, shape=None, attr=None):
        r = self.rng.random()
        if shape is not None and attr in shape.values and r < 0.5:
            return self.rng.choice(sorted(shape.values[attr]))
        if r < 0.7 or not self.messy:
            return self.rng.choice(PLAIN_VALUES)
        return self.rng.choice(MESSY_VALUES)

    def count(self, key):
        r = self.rng.random()
        if self.budget <= 0:
            return 0
        if r < 0.3:
            return 0
        if r < 0.85 or not self.messy:
            return 1
        if r < 0.96:
            return 2
        return 3

    def build(self, sheet, shape, depth=0, fixed=None):
        """A random element following what sheet's templates read of shape."""
        shape = sheet.effective(shape)
        self.budget -= 1
        node = Node(shape.key[0], shape.key[1])
        for attr, required in shape.attrs.items():
            if fixed and attr in fixed:
                continue
            keep_required = not self.messy or self.rng.random() < 0.95
            if (required and keep_required) or (not required and self.rng.random() < 0.5):
                node.attrs.append(("", attr, self.value(shape, attr)))
        for attr, value in (fixed or {}).items():
            node.attrs.append(("", attr, value))
        if self.messy and shape.attrs and self.rng.random() < 0.03:
            # Same local name in another namespace: not the attribute the templates read.
            node.attrs.append(("http://ejemplo.mx/extra", self.rng.choice(list(shape.attrs)), "ajeno"))
        if shape.text:
            node.children.append(("raw", self.rng.choice(TEXT_VALUES) if self.messy else self.rng.choice(PLAIN_VALUES)))
        if depth < 9:
            for key, child in shape.children.items():
                for _ in range(self.count(key)):
                    element = self.build(sheet, child, depth + 1)
                    if key in shape.deep and self.messy and self.rng.random() < 0.25:
                        # a path with // finds it below elements no template reads
                        element = Node("http://ejemplo.mx/extra", "Envoltura", children=[element])
                    node.children.append(element)
        if self.messy and self.rng.random() < 0.02:
            # Content no template selects: ignored, or copied as text under a complement holder.
            node.children.insert(self.rng.randint(0, len(node.children)), self.unknown(2))
        if self.messy and self.rng.random() < 0.1:
            self.rng.shuffle(node.children)
        if self.messy and depth > 0 and self.rng.random() < 0.02:
            # The right name in another namespace (another version's, a complement's, none).
            node.ns = self.rng.choice(self.namespaces + [""])
        return node

    def unknown(self, depth=0):
        """Arbitrary content for Addenda and unknown complements."""
        ns = self.rng.choice(["http://ejemplo.mx/extra", "", "http://www.sat.gob.mx/desconocido",
                              self.rng.choice(self.namespaces)])
        node = Node(ns, self.rng.choice(["Extra", "Dato", "Nodo", "Concepto", "Año", "Descripción", "x.y-z_1"]))
        if self.rng.random() < 0.5:
            node.attrs.append(("", "Valor", self.value()))
        for _ in range(self.rng.randint(0, 3)):
            r = self.rng.random()
            if r < 0.4 and depth < 3:
                node.children.append(self.unknown(depth + 1))
            elif r < 0.8:
                node.children.append(("raw", self.rng.choice(UNKNOWN_TEXT)))
            elif r < 0.9:
                node.children.append(("raw", "<!-- comentario -->"))
            else:
                node.children.append(("raw", "<?kvn instruccion?>"))
        return node


# ---------------------------------------------------------------------------------------
# Writing


class Writer:
    """Serialises a Node tree with the chosen amount of mess."""

    def __init__(self, rng, prefixes, messy):
        self.rng = rng
        self.prefixes = prefixes
        self.messy = messy
        self.counter = 0

    def prefix_for(self, ns, taken):
        """A prefix for ns, not among those declared on the element being written."""
        p = self.prefixes.get(ns)
        if ns == "http://ejemplo.mx/extra" and self.messy and self.rng.random() < 0.3:
            p = self.rng.choice(sorted(set(self.prefixes.values())))  # a known prefix, rebound
        if p is None or p in taken or (self.messy and self.rng.random() < 0.15):
            self.counter += 1
            p = "n%d" % self.counter
        return p

    def gap(self):
        if not self.messy:
            return ""
        r = self.rng.random()
        if r < 0.5:
            return ""
        if r < 0.8:
            return self.rng.choice(["\n", "\n  ", "\r\n\t", " "])
        if r < 0.9:
            return "<!-- nota -->"
        return "<?kvn-pi algo?>\n"

    def element(self, node, scope, default, declare=None):
        """scope: namespace -> prefix in scope; default: default namespace in scope."""
        scope = dict(scope)
        decls = []
        for ns in declare or []:
            if ns not in scope:
                p = self.prefix_for(ns, [d[0] for d in decls])
                scope[ns] = p
                decls.append((p, ns))
        if node.ns == "":
            name = node.local
            if default:
                decls.append(("", ""))
                default = ""
        elif node.ns == default and (not self.messy or self.rng.random() < 0.7):
            name = node.local
        elif node.ns in scope and scope[node.ns] and (not self.messy or self.rng.random() < 0.9):
            name = scope[node.ns] + ":" + node.local
        elif self.messy and self.rng.random() < 0.3:
            name = node.local
            decls.append(("", node.ns))
            default = node.ns
        else:
            p = self.prefix_for(node.ns, [d[0] for d in decls])
            # a prefix rebound to a new namespace hides its old binding
            scope = {n: q for n, q in scope.items() if q != p}
            scope[node.ns] = p
            decls.append((p, node.ns))
            name = p + ":" + node.local
        attrs = []
        for ns, aname, value in node.attrs:
            if ns:
                p = scope.get(ns)
                if not p or p in [d[0] for d in decls if d[1] != ns]:
                    p = self.prefix_for(ns, [d[0] for d in decls])
                    scope = {n: q for n, q in scope.items() if q != p}
                    scope[ns] = p
                    decls.append((p, ns))
                aname = p + ":" + aname
            attrs.append((aname, value))
        items = [("xmlns:" + p if p else "xmlns", ns) for p, ns in decls] + attrs
        if self.messy and self.rng.random() < 0.5:
            self.rng.shuffle(items)
        out = ["<", name]
        for aname, value in items:
            quote = "'" if self.messy and self.rng.random() < 0.2 else '"'
            value = value.replace("'", "&apos;") if quote == "'" else value.replace('"', "&quot;")
            space = self.rng.choice([" ", "\n    ", "  ", "\t"]) if self.messy else " "
            eq = self.rng.choice(["=", " = ", "=\n"]) if self.messy and self.rng.random() < 0.1 else "="
            out += [space, aname, eq, quote, value, quote]
        if not node.children:
            out.append(self.rng.choice(["/>", " />", "></%s>" % name]) if self.messy else "/>")
            return "".join(out)
        out.append(">")
        for child in node.children:
            out.append(self.gap())
            if isinstance(child, Node):
                out.append(self.element(child, scope, default))
            else:
                out.append(child[1])
        out.append(self.gap())
        out.append("</%s>" % name)
        return "".join(out)


def document_bytes(rng, root, prefixes, messy, namespaces, subset=None):
    """subset: an internal DTD subset, "{p}" standing for the root's prefix."""
    writer = Writer(rng, prefixes, messy)
    # Most invoices declare every namespace on the root; messy ones declare some where used.
    declare = [ns for ns in namespaces if not messy or rng.random() < 0.7]
    body = writer.element(root, {}, "", declare)
    head = ""
    if subset:
        name = re.match(r"<([^\s/>]+)", body).group(1)
        head = '<?xml version="1.0" encoding="UTF-8"?>\n<!DOCTYPE %s [\n%s\n]>\n' % (
            name, subset.replace("{p}", name.split(":")[0] + ":" if ":" in name else "")
            .replace("xmlns:{p0}", "xmlns:" + name.split(":")[0] if ":" in name else "xmlns"))
        return (head + body + "\n").encode("utf-8")
    encoding = "UTF-8"
    if not messy or rng.random() < 0.85:
        encoding = rng.choice(["UTF-8", "utf-8", "ISO-8859-1"]) if messy else "UTF-8"
        head = '<?xml version="1.0" encoding="%s"?>' % encoding + ("\n" if rng.random() < 0.8 else "")
    if messy and rng.random() < 0.05:
        # An internal subset with a general entity used in a value.
        head += '<!DOCTYPE %s [\n<!ENTITY empresa "Empresa &#38;#38; Hijos">\n]>\n' % re.match(r"<([^\s/>]+)", body).group(1)
        body = body.replace("Producto de prueba", "Producto de &empresa;", 1)
    if messy and rng.random() < 0.3:
        head += "<!-- comprobante de prueba -->\n"
    text = head + body + ("\n" if rng.random() < 0.7 else "")
    if encoding == "ISO-8859-1":
        try:
            return text.encode("latin-1")
        except UnicodeEncodeError:
            text = text.replace('encoding="ISO-8859-1"', 'encoding="UTF-8"', 1)
    data = text.encode("utf-8")
    if messy and rng.random() < 0.2:
        data = b"\xef\xbb\xbf" + data
    return data


# ---------------------------------------------------------------------------------------
# Invoices of each version


class Version:
    def __init__(self, name, sat):
        self.name = name
        path, self.version_attr, self.ns, self.stamp_group = VERSIONS[name]
        self.sheet = Stylesheet(os.path.normpath(os.path.join(sat, CADENA, path)))
        self.root_key = (self.ns, ROOTS.get(name, "Comprobante"))
        self.value = name.replace("ret", "")  # the version attribute's value
        self.roots = self.sheet.complement_roots(self.root_key)
        self.stamp = None
        if self.stamp_group:
            stamp_path, self.stamp_version = STAMPS[self.stamp_group]
            self.stamp = Stylesheet(os.path.join(sat, stamp_path))


def stamp_node(gen, version):
    sheet = version.stamp
    shape = sheet.shapes[(TFD, "TimbreFiscalDigital")]
    attr = "version" if version.stamp_version == "1.0" else "Version"
    node = Node(TFD, "TimbreFiscalDigital")
    for a, required in shape.attrs.items():
        if a == attr:
            node.attrs.append(("", a, version.stamp_version))
        elif required or gen.rng.random() < 0.5:
            node.attrs.append(("", a, gen.value()))
    return node


def invoice(gen, version, versions, complements=(), foreign=(), stamp=False, addenda=False):
    """A random invoice of version with the given complement roots (from any version)."""
    sheet = version.sheet
    gen.budget = 150
    root = gen.build(sheet, sheet.shapes[version.root_key], fixed={version.version_attr: version.value})
    complemento = root.find("Complemento")
    extra = [(version.sheet, k) for k in complements] + list(foreign)
    if extra or stamp or gen.rng.random() < 0.1:
        if not complemento:
            complemento = [Node(version.ns, "Complemento")]
            at = next((i for i, c in enumerate(root.children) if isinstance(c, Node) and c.local == "Addenda"),
                      len(root.children))
            root.children.insert(at, complemento[0])
        concepts = [c for cs in root.find("Conceptos") for c in cs.find("Concepto")]
        for owner_sheet, key in extra:
            gen.budget = 120
            element = gen.build(owner_sheet, owner_sheet.shapes[key])
            if key[0] in CONCEPT_COMPLEMENTS and concepts:
                concept = gen.rng.choice(concepts)
                holder = concept.find("ComplementoConcepto")
                if not holder:
                    holder = [Node(version.ns, "ComplementoConcepto")]
                    concept.children.append(holder[0])
                holder[0].children.append(element)
                if gen.messy and gen.rng.random() < 0.1:
                    holder[0].children.append(gen.unknown())
            else:
                complemento[0].children.insert(gen.rng.randint(0, len(complemento[0].children)), element)
        if gen.messy and gen.rng.random() < 0.15:
            complemento[0].children.insert(0, gen.unknown())
        for _ in range(2 if gen.messy and gen.rng.random() < 0.15 else 0):
            # Any element a template matches, loose in the Complemento or inside an unknown
            # element there (whose built-in rule applies templates to its children).
            owner_sheet, key = gen.rng.choice([(s, k) for s in {version.sheet} for k in s.shapes])
            gen.budget = 15
            element = gen.build(owner_sheet, owner_sheet.shapes[key])
            if gen.rng.random() < 0.5:
                wrapper_node = gen.unknown()
                wrapper_node.children.insert(gen.rng.randint(0, len(wrapper_node.children)), element)
                element = wrapper_node
            holders = complemento + [h for c in concepts for h in c.find("ComplementoConcepto")]
            holder = gen.rng.choice(holders)
            holder.children.insert(gen.rng.randint(0, len(holder.children)), element)
        if gen.messy and gen.rng.random() < 0.1 and len(complemento[0].children) > 1:
            # Complements split over two Complemento elements.
            second = Node(version.ns, "Complemento", children=complemento[0].children[1:])
            del complemento[0].children[1:]
            root.children.insert(root.children.index(complemento[0]) + 1, second)
        if stamp:
            element, holder = stamp_node(gen, version), complemento[0]
            r = gen.rng.random() if gen.messy else 1
            if r < 0.1:
                # The stamp is found wherever it is: below an unknown element, in the Addenda.
                element = Node("http://ejemplo.mx/extra", "Envoltura", children=[element])
            elif r < 0.2:
                addenda = root.find("Addenda")
                holder = addenda[0] if addenda else Node(version.ns, "Addenda")
                if not addenda:
                    root.children.append(holder)
            holder.children.insert(gen.rng.randint(0, len(holder.children)), element)
    if addenda:
        holder = root.find("Addenda")
        if not holder:
            holder = [Node(version.ns, "Addenda")]
            root.children.append(holder[0])
        holder[0].children += [gen.unknown() for _ in range(2)]
    return root


def namespaces_of(node, out):
    if node.ns and node.ns not in out:
        out.append(node.ns)
    for c in node.children:
        if isinstance(c, Node):
            namespaces_of(c, out)
    return out


# ---------------------------------------------------------------------------------------
# Directed constructs: each is a case the stylesheets treat in their own way.


def find_all(node, local):
    found = [node] if node.local == local else []
    for c in node.children:
        if isinstance(c, Node):
            found += find_all(c, local)
    return found


def plain(gen, sheet, ns, local, attrs=None, children=None):
    """An element with every attribute its template reads, plus the given ones."""
    shape = sheet.effective(sheet.shapes.get((ns, local)) or Shape((ns, local)))
    node = Node(ns, local, [("", a, gen.rng.choice(PLAIN_VALUES)) for a in shape.attrs], children or [])
    for a, v in (attrs or {}).items():
        node.set(a, v)
    return node


def construct_cases(gen, versions, all_roots):
    """(name, version, tree) for the directed constructs."""
    cases = []

    def base(vname, **kw):
        gen.messy = False
        tree = invoice(gen, versions[vname], versions, **kw)
        return tree

    # 0. tidy documents without any of the constructs below, for comparison.
    for vname in versions:
        v = versions[vname]
        cases.append(("c0-sin-construccion-%s" % vname, vname, base(vname, complements=v.roots[1:2])))
    # 1. complements a version's stylesheet does not include (built-in text rule).
    for vname, uri in (("3.0", "psgecfd"), ("3.0", "psgcfdsp"), ("3.2", "psgcfdsp")):
        found = [(sheet, k) for k, sheet in all_roots if k[0] == "http://www.sat.gob.mx/" + uri]
        tree = base(vname, foreign=found[:1])
        cases.append(("c1-%s-no-incluido-%s" % (uri, vname), vname, tree))
    # 2. CFD 2.2 Receptor without Domicilio.
    tree = base("2.2")
    for r in tree.find("Receptor") or [plain(gen, versions["2.2"].sheet, versions["2.2"].ns, "Receptor")]:
        r.remove("Domicilio")
    if not tree.find("Receptor"):
        tree.children.insert(1, plain(gen, versions["2.2"].sheet, versions["2.2"].ns, "Receptor"))
    cases.append(("c2-receptor-sin-domicilio-2.2", "2.2", tree))
    # 3. Impuestos with Retenciones only and a totalImpuestosTrasladados.
    for vname in ("2.0", "2.2", "3.0", "3.2"):
        v = versions[vname]
        tree = base(vname)
        tree.remove("Impuestos")
        ret = plain(gen, v.sheet, v.ns, "Retencion", {"impuesto": "ISR", "importe": "10.00"})
        tree.children.append(Node(v.ns, "Impuestos", [("", "totalImpuestosRetenidos", "10.00"),
                                                      ("", "totalImpuestosTrasladados", "0.00")],
                                  [Node(v.ns, "Retenciones", children=[ret])]))
        cases.append(("c3-retenciones-sin-traslados-%s" % vname, vname, tree))
    # 4. CFD 2.x with ecc and totalImpuestosTrasladados.
    for vname in ("2.0", "2.2"):
        v = versions[vname]
        ecc = [k for k in v.roots if "ecc" in k[0] and k[1] == "EstadoDeCuentaCombustible"]
        if not ecc:
            continue
        tree = base(vname, complements=ecc)
        tree.remove("Impuestos")
        tra = plain(gen, v.sheet, v.ns, "Traslado", {"impuesto": "IVA", "tasa": "16.00", "importe": "16.00"})
        tree.children.insert(len(tree.children) - 1,
                             Node(v.ns, "Impuestos", [("", "totalImpuestosTrasladados", "16.00")],
                                  [Node(v.ns, "Traslados", children=[tra])]))
        for e in find_all(tree, "EstadoDeCuentaCombustible"):
            e.remove("Conceptos")
            concept = plain(gen, v.sheet, ecc[0][0], "ConceptoEstadoDeCuentaCombustible")
            t = plain(gen, v.sheet, ecc[0][0], "Traslado", {"impuesto": "IVA", "tasa": "16.00", "importe": "1.60"})
            concept.children.append(Node(ecc[0][0], "Traslados", children=[t]))
            e.children.append(Node(ecc[0][0], "Conceptos", children=[concept]))
        cases.append(("c4-ecc-total-trasladados-%s" % vname, vname, tree))
    # 5. implocal with TrasladosLocales before RetencionesLocales.
    for vname in ("3.2", "4.0"):
        v = versions[vname]
        k = [k for k in v.roots if k[1] == "ImpuestosLocales"]
        tree = base(vname, complements=k)
        for e in find_all(tree, "ImpuestosLocales"):
            e.children = [plain(gen, v.sheet, k[0][0], "TrasladosLocales", {"ImpLocTrasladado": "ISH"}),
                          plain(gen, v.sheet, k[0][0], "RetencionesLocales", {"ImpLocRetenido": "ISN"}),
                          plain(gen, v.sheet, k[0][0], "TrasladosLocales", {"ImpLocTrasladado": "Otro"})]
        cases.append(("c5-implocal-traslados-primero-%s" % vname, vname, tree))
    # 6, 7. detallista without seller, without totalAmount, with two TotalAllowanceCharge.
    for vname, label, drop, charges in (("3.2", "c6-detallista-sin-seller", "seller", 1),
                                        ("2.2", "c6-detallista-sin-totalAmount", "totalAmount", 1),
                                        ("3.2", "c7-detallista-dos-TotalAllowanceCharge", None, 3)):
        v = versions[vname]
        k = [k for k in v.roots if k[1] == "detallista"]
        tree = base(vname, complements=k)
        d = k[0][0]
        for e in find_all(tree, "detallista"):
            if drop:
                e.remove(drop)
            e.remove("TotalAllowanceCharge")
            for i in range(charges):
                e.children.append(Node(d, "TotalAllowanceCharge", [("", "allowanceOrChargeType", "ALLOWANCE_GLOBAL")], [
                    Node(d, "specialServicesType", children=[("raw", "AJ%d" % i)]),
                    Node(d, "Amount", children=[("raw", "%d.00" % (i + 1))])]))
        cases.append(("%s-%s" % (label, vname), vname, tree))
    # 8. an optional attribute present with an empty value.
    for vname, attr in (("3.2", "Moneda"), ("2.2", "Moneda"), ("3.3", "Moneda"), ("4.0", "Descuento")):
        tree = base(vname)
        tree.set(attr, "")
        cases.append(("c8-opcional-vacio-%s-%s" % (attr, vname), vname, tree))
    # 9. children out of template order: RegimenFiscal before ExpedidoEn, Receptor before Emisor.
    for vname in ("2.2", "3.2"):
        v = versions[vname]
        tree = base(vname)
        tree.remove("Emisor")
        emisor = plain(gen, v.sheet, v.ns, "Emisor", children=[
            plain(gen, v.sheet, v.ns, "RegimenFiscal", {"Regimen": "Regimen General"}),
            plain(gen, v.sheet, v.ns, "DomicilioFiscal"), plain(gen, v.sheet, v.ns, "ExpedidoEn")])
        tree.children.insert(0, emisor)
        cases.append(("c9-regimen-antes-de-expedidoen-%s" % vname, vname, tree))
        tree = base(vname)
        tree.children.reverse()
        cases.append(("c9-hijos-al-reves-%s" % vname, vname, tree))
    # A stamp without a required attribute: the stylesheet writes an empty field, the
    # library refuses the stamp.
    for vname in ("3.2", "4.0"):
        tree = base(vname, stamp=True)
        for e in find_all(tree, "TimbreFiscalDigital"):
            e.attrs = [a for a in e.attrs if a[1] != "UUID"]
        cases.append(("k1-timbre-sin-UUID-%s" % vname, vname, tree))
    # Paths with // reach nested and misplaced elements: InformacionAduanera and Parte below
    # unknown wrappers, inside a Parte inside a Parte, inside ComplementoConcepto.
    for vname in ("2.2", "3.2", "3.3", "4.0"):
        v = versions[vname]
        sheet, ns = v.sheet, v.ns
        wrap = lambda *c: Node("http://ejemplo.mx/extra", "Envoltura", children=list(c))
        aduana = lambda n: plain(gen, sheet, ns, "InformacionAduanera", {next(iter(sheet.effective(
            sheet.shapes[(ns, "InformacionAduanera")]).attrs)): "A%d" % n})
        parte = lambda n, *c: plain(gen, sheet, ns, "Parte", {"descripcion" if vname < "3.3" else "Descripcion":
                                                              "P%d" % n}, list(c))
        concepto = plain(gen, sheet, ns, "Concepto", children=[
            aduana(1), wrap(aduana(2)), parte(1, aduana(3), wrap(aduana(4)), parte(2, aduana(5))),
            Node(ns, "ComplementoConcepto", children=[parte(3, aduana(6)), aduana(7), wrap(parte(4))])])
        tree = base(vname)
        tree.remove("Conceptos")
        tree.children.insert(2, Node(ns, "Conceptos", children=[concepto]))
        cases.append(("x3-rutas-descendientes-%s" % vname, vname, tree))
    # Internal DTD subsets: attribute defaults (a non-validating parser applies those of the
    # internal subset) and an entity whose text is markup.
    for vname in ("2.2", "3.2", "4.0"):
        v = versions[vname]
        upper = vname >= "3.3"
        moneda, nombre = "Moneda", ("Nombre" if upper else "nombre")
        tree = base(vname)
        tree.attrs = [a for a in tree.attrs if a[1] != moneda]
        for e in tree.find("Emisor"):
            e.attrs = [a for a in e.attrs if a[1] != nombre]
        subset = ('<!ATTLIST {p}Comprobante %s CDATA "XTS">\n<!ATTLIST {p}Emisor %s CDATA "Emisor  por\tomisión">'
                  % (moneda, nombre))
        cases.append(("x1-dtd-atributos-por-omision-%s" % vname, vname, tree, subset))
        tree = base(vname)
        receptor = plain(gen, v.sheet, v.ns, "Receptor")
        tree.remove("Receptor")
        at = 1 if tree.find("Emisor") else 0
        tree.children.insert(at, ("raw", "&receptor;"))
        # The entity declares its namespace itself: libxml2 parses an entity's text apart
        # from the place it is used, and would leave a prefix from the root unbound.
        text = '<{p}Receptor xmlns:{p0}="%s"%s/>' % (v.ns, "".join(' %s="%s"' % (a[1], a[2]) for a in receptor.attrs))
        cases.append(("x2-dtd-entidad-con-marcado-%s" % vname, vname, tree, "<!ENTITY receptor '%s'>" % text))
    gen.messy = True
    return [c if len(c) == 4 else c + (None,) for c in cases]


# ---------------------------------------------------------------------------------------


def missing_in_stamp(path, sheet):
    """The first required stamp attribute that is absent or empty: the library keeps
    answering MISSING_ERROR for it where the stylesheet writes an empty field."""
    stamp = next(ET.parse(path).getroot().iter("{%s}TimbreFiscalDigital" % TFD))
    for attr, required in sheet.shapes[(TFD, "TimbreFiscalDigital")].attrs.items():
        if required and not stamp.get(attr):
            return "missing:" + attr
    return ""


def wrapper(stylesheet, stamp):
    """A stylesheet that runs `stylesheet` over every document of a list, as xsltproc would
    run it over each one alone (the imported templates keep their own precedence)."""
    apply = ('<xsl:variable name="stamp"><xsl:copy-of select="(//tfd:TimbreFiscalDigital)[1]"/></xsl:variable>'
             '<xsl:apply-templates select="exsl:node-set($stamp)"/>') if stamp else \
        '<xsl:apply-templates select="."/>'
    return """<?xml version="1.0" encoding="UTF-8"?>
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform"
    xmlns:exsl="http://exslt.org/common" xmlns:tfd="http://www.sat.gob.mx/TimbreFiscalDigital"
    exclude-result-prefixes="exsl tfd">
  <xsl:import href="%s"/>
  <xsl:output method="text" encoding="UTF-8"/>
  <xsl:template match="/">
    <xsl:choose>
      <xsl:when test="kvn-list">
        <xsl:for-each select="kvn-list/doc">
          <xsl:text>%s </xsl:text><xsl:value-of select="@href"/><xsl:text>&#10;</xsl:text>
          <xsl:for-each select="document(@href)">%s</xsl:for-each>
        </xsl:for-each>
      </xsl:when>
      <xsl:otherwise><xsl:apply-imports/></xsl:otherwise>
    </xsl:choose>
  </xsl:template>
</xsl:stylesheet>
""" % (stylesheet, MARKER, apply)


# The first stamp of a document as a document of its own, its namespaces kept.
EXTRACT_STAMP = """<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform"
    xmlns:tfd="http://www.sat.gob.mx/TimbreFiscalDigital">
  <xsl:template match="/"><xsl:copy-of select="(//tfd:TimbreFiscalDigital)[1]"/></xsl:template>
</xsl:stylesheet>
"""


def xml_attr(text):
    return text.replace("&", "&amp;").replace('"', "&quot;").replace("<", "&lt;")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--sat", required=True, help="the authority's tree (the folder holding www.sat.gob.mx)")
    parser.add_argument("--out", required=True)
    parser.add_argument("--count", type=int, default=120, help="random documents per version")
    parser.add_argument("--seed", type=int, default=20240115)
    parser.add_argument("--schema", action="store_true",
                        help="documents for the schema-validation test instead (schema_documents.py)")
    parser.add_argument("--catalogs", help="with --schema: the catalog folder (CSV) the values come from")
    args = parser.parse_args()
    if args.schema:
        import schema_documents
        rows = schema_documents.generate(args.sat, args.catalogs, os.path.abspath(args.out), args.count, args.seed)
        print("%d documents" % len(rows))
        return 0
    sat = os.path.join(os.path.abspath(args.sat), "www.sat.gob.mx")
    out = os.path.abspath(args.out)
    rng = random.Random(args.seed)

    versions = {name: Version(name, sat) for name in VERSIONS}
    all_roots = []  # ((key), sheet) over every version
    for v in versions.values():
        for k in v.roots:
            if all(k != r[0] for r in all_roots):
                all_roots.append((k, v.sheet))
    prefixes = {}
    for v in versions.values():
        for ns, p in v.sheet.prefixes.items():
            prefixes.setdefault(ns, p)
    prefixes[TFD] = "tfd"
    prefixes[XSI] = "xsi"

    namespaces = sorted({k[0] for v in versions.values() for k in v.sheet.shapes})
    gen = Generator(rng, versions, namespaces)
    docs = []  # (version, name, tree, messy)
    for vname, v in versions.items():
        own = list(v.roots)
        foreign = [(sheet, k) for k, sheet in all_roots if k not in v.roots]
        for i in range(args.count):
            gen.messy = rng.random() < 0.8
            picks = [own[i % len(own)]] if own else []
            picks += rng.sample(own, min(len(own), rng.choice([0, 0, 1, 2])))
            others = [rng.choice(foreign)] if foreign and rng.random() < 0.15 else []
            tree = invoice(gen, v, versions, complements=picks, foreign=others,
                           stamp=v.stamp is not None and rng.random() < 0.6, addenda=gen.messy and rng.random() < 0.2)
            docs.append((vname, "r%04d" % i, tree, gen.messy, None))
    for name, vname, tree, subset in construct_cases(gen, versions, all_roots):
        docs.append((vname, name, tree, False, subset))

    manifest = []
    groups = {}
    for vname, name, tree, messy, subset in docs:
        v = versions[vname]
        group = "cfd" + vname.replace(".", "")
        folder = os.path.join(out, "docs", group)
        os.makedirs(folder, exist_ok=True)
        path = os.path.join(folder, name + ".xml")
        with open(path, "wb") as f:
            f.write(document_bytes(rng, tree, prefixes, messy, namespaces_of(tree, []), subset))
        groups.setdefault(group, (os.path.normpath(os.path.join(sat, CADENA, VERSIONS[vname][0])), False, []))[2].append(path)
        manifest.append((group, "0", groups[group][0], path, ""))
        if v.stamp is not None and find_all(tree, "TimbreFiscalDigital"):
            sgroup = v.stamp_group
            groups.setdefault(sgroup, (os.path.join(sat, STAMPS[sgroup][0]), True, []))[2].append(path)
            manifest.append((sgroup, "stamp", groups[sgroup][0], path, missing_in_stamp(path, v.stamp)))
    for group, (stylesheet, stamp, paths) in groups.items():
        with open(os.path.join(out, group + ".wrap.xslt"), "w", encoding="utf-8") as f:
            f.write(wrapper(stylesheet, stamp))
        with open(os.path.join(out, group + ".list.xml"), "w", encoding="utf-8") as f:
            f.write("<kvn-list>\n")
            for p in paths:
                f.write('<doc href="%s"/>\n' % xml_attr(p))
            f.write("</kvn-list>\n")
    with open(os.path.join(out, "extract-stamp.xslt"), "w", encoding="utf-8") as f:
        f.write(EXTRACT_STAMP)
    with open(os.path.join(out, "manifest.tsv"), "w", encoding="utf-8") as f:
        for row in manifest:
            f.write("\t".join(row) + "\n")
    print("%d documents, %d comparisons in %d groups" % (len(docs), len(manifest), len(groups)))


if __name__ == "__main__":
    sys.exit(main())
