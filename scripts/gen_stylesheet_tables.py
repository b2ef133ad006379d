#!/usr/bin/env python3
"""Writes the stylesheet tables of the pipe string (src/cfdi/generated/stylesheet_tables_*.cpp).

Reads the tax authority's cadena-original stylesheets (every xsl:include followed) and
compiles each template into a short program for the engine in src/cfdi/pipe_engine.cpp:
literal text, required and optional values (the Requerido/Opcional call-templates), template
application and for-each over select paths, and conditions. Named templates other than
Requerido/Opcional are inlined with their parameters substituted. The stylesheets use a
small part of XSLT; anything else stops the generator with an error, so a new stylesheet
that needs more is noticed here and never silently mistranslated.

Usage:
    gen_stylesheet_tables.py --sat DIR [--out DIR]     write the tables (default: src/cfdi/generated)
    gen_stylesheet_tables.py --sat DIR --check DIR     exit 1 when DIR's tables differ

DIR of --sat is the folder that holds www.sat.gob.mx/.
"""
import argparse
import io
import os
import re
import sys
import xml.etree.ElementTree as ET

from gen_common import GenError, c_string, fail, finish, slots, write_slots

XSL = "{http://www.w3.org/1999/XSL/Transform}"
ET.register_namespace("xsl", XSL[1:-1])
CFD = "www.sat.gob.mx/sitio_internet/cfd/"

# (table symbol, file suffix, stylesheet path under DIR)
SETS = [
    ("kStylesheet20", "20", CFD + "2/cadenaoriginal_2_0/cadenaoriginal_2_0.xslt"),
    ("kStylesheet22", "22", CFD + "2/cadenaoriginal_2_0/cadenaoriginal_2_2.xslt"),
    ("kStylesheet30", "30", CFD + "3/cadenaoriginal_3_0/cadenaoriginal_3_0.xslt"),
    ("kStylesheet32", "32", CFD + "3/cadenaoriginal_3_2/cadenaoriginal_3_2.xslt"),
    ("kStylesheet33", "33", CFD + "3/cadenaoriginal_3_3/cadenaoriginal_3_3.xslt"),
    ("kStylesheet40", "40", CFD + "4/cadenaoriginal_4_0/cadenaoriginal_4_0.xslt"),
    ("kStylesheetStamp10", "stamp10", "www.sat.gob.mx/sitio_internet/timbrefiscaldigital/cadenaoriginal_TFD_1_0.xslt"),
    ("kStylesheetStamp11", "stamp11", CFD + "TimbreFiscalDigital/cadenaoriginal_TFD_1_1.xslt"),
    ("kStylesheetRet10", "ret10", "www.sat.gob.mx/esquemas/retencionpago/1/retenciones.xslt"),
    ("kStylesheetRet20", "ret20", "www.sat.gob.mx/esquemas/retencionpago/2/retenciones.xslt"),
]

# Name flags, as in stylesheet_tables.h.
CHILD_ANY = 1      # a program selects every child element (./*) with this element as context
SUBTREE_ANY = 2    # a program selects descendants (.//x) with this element as context
TEXT_VALUE = 4     # the element's string value is a value of the pipe string

PRIMITIVES = ("Requerido", "Opcional", "ManejaEspacios")


def read_namespaces(path):
    """The prefix -> URI declarations of a stylesheet file (one meaning per prefix)."""
    prefixes = {}
    for event, item in ET.iterparse(path, events=("start-ns",)):
        prefix, uri = item
        if prefixes.get(prefix, uri) != uri:
            fail(path, "prefix %s declared with two URIs" % prefix)
        prefixes[prefix] = uri
    return prefixes


class Stylesheet:
    """A stylesheet with its includes expanded in place: top-level elements in order, each
    with the namespace declarations and the file it came from."""

    def __init__(self, path):
        self.items = []  # (element, prefixes, file)
        self._load(os.path.normpath(path), [])

    def _load(self, path, stack):
        if path in stack:
            fail(path, "includes itself")
        root = ET.parse(path).getroot()
        prefixes = read_namespaces(path)
        for child in root:
            if not isinstance(child.tag, str):
                continue  # comment
            if child.tag == XSL + "include":
                self._load(os.path.normpath(os.path.join(os.path.dirname(path), child.get("href"))), stack + [path])
            elif child.tag == XSL + "import":
                fail(path, "xsl:import is not handled")
            elif child.tag in (XSL + "template",):
                self.items.append((child, prefixes, path))
            elif child.tag in (XSL + "output",):
                if child.get("method") != "text":
                    fail(path, "output method other than text")
            else:
                fail(path, "top-level element %s is not handled" % child.tag)


class Tables:
    def __init__(self):
        self.uris = []
        self.names = [("", "")]  # id 0: every element no program names
        self.name_ids = {}
        self.flags = [0]
        self.attributes = []
        self.attribute_ids = {}
        self.steps = []           # (axis, name id)
        self.step_ids = {}        # tuple of steps -> first index
        self.code = []            # instruction dicts
        self.templates = {}       # name id -> (begin, end, source)
        self.root = None          # (begin, end)

    def uri(self, uri):
        if uri not in self.uris:
            self.uris.append(uri)
        return self.uris.index(uri)

    def name(self, uri, local):
        key = (uri, local)
        if key not in self.name_ids:
            self.uri(uri)
            self.name_ids[key] = len(self.names)
            self.names.append(key)
            self.flags.append(0)
        return self.name_ids[key]

    def attribute(self, local):
        if local not in self.attribute_ids:
            self.attribute_ids[local] = len(self.attributes)
            self.attributes.append(local)
        return self.attribute_ids[local]

    def path(self, steps):
        """Index of the first of `steps` in the shared step list (equal paths share)."""
        key = tuple(steps)
        if not key:
            return 0
        if key not in self.step_ids:
            self.step_ids[key] = len(self.steps)
            self.steps.extend(key)
        return self.step_ids[key]


ANY = -1  # name id of the '*' test


class Compiler:
    def __init__(self, sheet, where):
        self.sheet = sheet
        self.where = where
        self.t = Tables()
        self.named = {}
        self.matched = []
        for element, prefixes, path in sheet.items:
            if element.get("mode") or element.get("priority"):
                fail(path, "template mode or priority is not handled")
            if element.get("name"):
                self.named[element.get("name")] = (element, prefixes, path)  # the later one wins
            if element.get("match"):
                self.matched.append((element, prefixes, path))
        self.check_primitives()

    # -- the utility templates the compiler turns into value instructions
    def check_primitives(self):
        def text(name):
            if name not in self.named:
                return None
            raw = ET.tostring(self.named[name][0], encoding="unicode")
            return re.sub(r"\s+", "", re.sub(r"xmlns:\w+=\"[^\"]*\"", "", raw))
        expected = {
            "Requerido": '|<xsl:call-templatename="ManejaEspacios"><xsl:with-paramname="s"select="$valor"',
            "Opcional": '<xsl:iftest="$valor">|<xsl:call-templatename="ManejaEspacios"',
            "ManejaEspacios": 'select="normalize-space(string($s))"',
        }
        for name, shape in expected.items():
            body = text(name)
            if body is not None and shape not in body:
                fail(self.where, "%s is not the usual one" % name)

    # -- XPath subset
    def qname(self, text, prefixes, path):
        if ":" in text:
            prefix, local = text.split(":", 1)
            if prefix not in prefixes:
                fail(path, "undeclared prefix in %s" % text)
            return prefixes[prefix], local
        return "", text

    def parse_path(self, select, prefixes, path, params):
        """A select expression as (steps, attribute or None). Steps are (axis, name id)."""
        s = select.strip()
        for pname, pvalue in params.items():
            if s == "$" + pname:
                s = pvalue
            elif s.startswith("$" + pname + "/"):
                s = pvalue + s[len(pname) + 1:]
        if "$" in s or "[" in s or "(" in s or "|" in s:
            fail(path, "select %r is not handled" % select)
        steps = []
        attribute = None
        if s == ".":
            return [("self", 0)], None
        if s.startswith("/") and not s.startswith("//"):
            steps.append(("root", 0))
            s = s[1:]
        elif s.startswith(".//"):
            s = "//" + s[3:]
        elif s.startswith("./"):
            s = s[2:]
        elif s.startswith("//"):
            fail(path, "select %r is not handled" % select)
        descendant = False
        if s.startswith("//"):
            descendant = True
            s = s[2:]
        parts = re.split(r"(//|/)", s)
        for i, part in enumerate(parts):
            if part == "//":
                descendant = True
                continue
            if part == "/":
                continue
            if part == "" or part == "." :
                fail(path, "select %r is not handled" % select)
            if part.startswith("@"):
                if i != len(parts) - 1 or descendant:
                    fail(path, "select %r is not handled" % select)
                attribute = self.t.attribute(part[1:])
                continue
            axis = "descendant" if descendant else "child"
            descendant = False
            if part == "*":
                steps.append((axis, ANY))
            else:
                uri, local = self.qname(part, prefixes, path)
                steps.append((axis, self.t.name(uri, local)))
        if not steps:
            steps = [("self", 0)]
        return steps, attribute

    def context_after(self, context, steps):
        """The element name a path ends on, statically: a name id, ANY or None (the root)."""
        for axis, name in steps:
            if axis == "root":
                context = None
            elif axis in ("child", "descendant"):
                context = name
        return context

    def mark_context(self, context, steps, path):
        first = [axis for axis, _ in steps if axis != "self"]
        if not first:
            return
        for axis, name in steps:
            if axis == "root":
                return
            if axis == "descendant":
                if context in (None, ANY):
                    fail(path, "descendant selection from an unknown context")
                self.t.flags[context] |= SUBTREE_ANY
                return
            if axis == "child":
                if name == ANY:
                    if context in (None, ANY):
                        fail(path, "child wildcard from an unknown context")
                    self.t.flags[context] |= CHILD_ANY
                return

    # -- instructions
    def emit(self, **ins):
        self.t.code.append(ins)
        return len(self.t.code) - 1

    def literal(self, text):
        if text and text.strip():
            self.emit(op="kLiteral", text=text, note="text")

    def body(self, element, prefixes, path, context, params):
        self.literal(element.text)
        for child in element:
            if isinstance(child.tag, str):
                self.instruction(child, prefixes, path, context, params)
            self.literal(child.tail)

    def value(self, op, select, prefixes, path, context, params):
        steps, attribute = self.parse_path(select, prefixes, path, params)
        self.mark_context(context, steps, path)
        if attribute is None:
            end = self.context_after(context, steps)
            if end in (None, ANY):
                fail(path, "string value of an unknown element")
            self.t.flags[end] |= TEXT_VALUE
        self.emit(op=op, steps=steps, attribute=attribute,
                  note=("Requerido " if op == "kRequired" else "Opcional ") + select.strip())

    def instruction(self, e, prefixes, path, context, params):
        tag = e.tag[len(XSL):] if e.tag.startswith(XSL) else None
        if tag is None:
            fail(path, "literal result element %s is not handled" % e.tag)
        if tag == "call-template":
            name = e.get("name")
            args = {}
            for p in e:
                if not isinstance(p.tag, str):
                    continue
                if p.tag != XSL + "with-param" or p.get("select") is None:
                    fail(path, "call-template argument is not handled")
                args[p.get("name")] = p.get("select")
            if name in ("Requerido", "Opcional"):
                if name not in self.named or "ManejaEspacios" not in self.named:
                    fail(path, "%s called but not defined" % name)
                if list(args) != ["valor"]:
                    fail(path, "%s takes valor" % name)
                self.value("kRequired" if name == "Requerido" else "kOptional", args["valor"], prefixes, path,
                           context, params)
                return
            if name not in self.named or name in PRIMITIVES:
                fail(path, "call of %s is not handled" % name)
            target, tprefixes, tpath = self.named[name]
            inner = {}
            for p in target:
                if isinstance(p.tag, str) and p.tag == XSL + "param":
                    if p.get("name") not in args:
                        fail(path, "parameter %s of %s without a value" % (p.get("name"), name))
                    value = args[p.get("name")].strip()
                    for pn, pv in params.items():
                        if value == "$" + pn or value.startswith("$" + pn + "/"):
                            value = pv + value[len(pn) + 1:]
                    if tprefixes != prefixes and ":" in value:
                        fail(path, "parameter crosses files with other prefixes")
                    inner[p.get("name")] = value
            self.body_without_params(target, tprefixes, tpath, context, inner)
            return
        if tag == "apply-templates":
            if e.get("mode") or len([c for c in e if isinstance(c.tag, str)]):
                fail(path, "apply-templates form is not handled")
            steps, attribute = self.parse_path(e.get("select"), prefixes, path, params)
            if attribute is not None:
                fail(path, "templates applied to an attribute")
            self.mark_context(context, steps, path)
            self.emit(op="kApply", steps=steps, note="apply-templates " + e.get("select").strip())
            return
        if tag == "for-each":
            steps, attribute = self.parse_path(e.get("select"), prefixes, path, params)
            if attribute is not None:
                fail(path, "for-each over attributes")
            self.mark_context(context, steps, path)
            at = self.emit(op="kForEach", steps=steps, note="for-each " + e.get("select").strip())
            self.body(e, prefixes, path, self.context_after(context, steps), params)
            self.t.code[at]["end"] = len(self.t.code)
            return
        if tag == "if":
            at = self.condition(e.get("test"), prefixes, path, context, params)
            self.body(e, prefixes, path, context, params)
            self.t.code[at]["end"] = len(self.t.code)
            return
        if tag == "choose":
            # Only whens that compare one attribute with distinct texts: at most one holds,
            # so they run as independent conditions.
            seen = set()
            for w in e:
                if not isinstance(w.tag, str):
                    continue
                m = re.fullmatch(r"\./@(\w+)='([^']*)'", (w.get("test") or "").strip())
                if w.tag != XSL + "when" or not m:
                    fail(path, "choose form is not handled")
                if (m.group(1), m.group(2)) in seen or any(a != m.group(1) for a, _ in seen):
                    fail(path, "choose whose tests may hold together")
                seen.add((m.group(1), m.group(2)))
                at = self.condition(w.get("test"), prefixes, path, context, params)
                self.body(w, prefixes, path, context, params)
                self.t.code[at]["end"] = len(self.t.code)
            return
        fail(path, "xsl:%s is not handled" % tag)

    def body_without_params(self, target, prefixes, path, context, params):
        self.literal(target.text)
        for child in target:
            if isinstance(child.tag, str) and child.tag != XSL + "param":
                self.instruction(child, prefixes, path, context, params)
            self.literal(child.tail)

    def condition(self, test, prefixes, path, context, params):
        test = test.strip()
        m = re.fullmatch(r"\./@(\w+)='([^']*)'", test)
        if m:
            if re.search(r"[ \t\r\n]", m.group(2)):
                fail(path, "comparison with a text holding white space is not handled")
            return self.emit(op="kIfEquals", steps=[("self", 0)], attribute=self.t.attribute(m.group(1)),
                             text=m.group(2), note="if " + test)
        steps, attribute = self.parse_path(test, prefixes, path, params)
        if attribute is not None:
            fail(path, "test %r is not handled" % test)
        self.mark_context(context, steps, path)
        return self.emit(op="kIfExists", steps=steps, note="if " + test)

    def compile(self):
        winners = {}
        for element, prefixes, path in self.matched:
            match = element.get("match").strip()
            if match == "/":
                winners["/"] = (element, prefixes, path)
            elif re.fullmatch(r"[\w.-]+:[\w.-]+", match):
                uri, local = self.qname(match, prefixes, path)
                winners[self.t.name(uri, local)] = (element, prefixes, path)  # the later one wins
            else:
                fail(path, "match %r is not handled" % match)
        for key, (element, prefixes, path) in winners.items():
            begin = len(self.t.code)
            context = None if key == "/" else key
            self.body_without_params(element, prefixes, path, context, {})
            source = os.path.relpath(path, ROOT)
            if key == "/":
                self.t.root = (begin, len(self.t.code), source)
            else:
                self.t.templates[key] = (begin, len(self.t.code), source)
        if self.t.root is None:
            fail(self.where, "no template matches /")
        return self.t


AXES = {"root": "kRoot", "self": "kSelf", "child": "kChild", "descendant": "kDescendant"}


def write_set(symbol, source, t):
    o = io.StringIO()
    o.write("// Generated by scripts/gen_stylesheet_tables.py from %s and its includes.\n" % source)
    o.write("// Do not edit: change the generator or the stylesheets and run it again.\n")
    o.write('#include "cfdi/stylesheet_tables.h"\n\nnamespace kvn {\nnamespace {\n\n')
    o.write("constexpr const char* kUris[] = {\n")
    for u in t.uris:
        o.write("    %s,\n" % c_string(u))
    o.write("};\n\n")
    o.write("constexpr StyleName kNames[] = {\n")
    for i, (uri, local) in enumerate(t.names):
        flags = t.flags[i]
        tpl = t.templates.get(i)
        begin, end = (tpl[0], tpl[1]) if tpl else (0, 0)
        o.write("    {%s, %s, %d, %d, %d, %d},%s\n" % (
            c_string(local), "kUris[%d]" % t.uris.index(uri) if i else c_string(""), flags,
            1 if tpl else 0, begin, end, ("  // " + tpl[2]) if tpl else ""))
    o.write("};\n\n")
    o.write("constexpr const char* kAttributes[] = {\n")
    for a in t.attributes:
        o.write("    %s,\n" % c_string(a))
    if not t.attributes:
        o.write('    "",\n')
    o.write("};\n\n")
    write_slots(o, "kNameSlots", slots([local for _, local in t.names[1:]]))
    write_slots(o, "kAttributeSlots", slots(t.attributes))
    o.write("constexpr StyleStep kSteps[] = {\n")
    for axis, name in t.steps:
        o.write("    {StyleAxis::%s, %s},\n" % (AXES[axis], "kAnyName" if name == ANY else str(name)))
    if not t.steps:
        o.write("    {StyleAxis::kSelf, 0},\n")
    o.write("};\n\n")
    o.write("constexpr StyleInstruction kCode[] = {\n")
    for i, ins in enumerate(t.code):
        steps = ins.get("steps", [])
        first = t.path(steps) if steps else 0
        attribute = ins.get("attribute")
        o.write("    /* %4d */ {StyleOp::%s, %d, %d, %s, %d, %s},  // %s\n" % (
            i, ins["op"], first, len(steps), "kNoAttribute" if attribute is None else str(attribute),
            ins.get("end", i + 1), c_string(ins["text"]) if "text" in ins else "nullptr",
            ins["note"].replace("\n", " ")))
    o.write("};\n\n}  // namespace\n\n")
    o.write("extern const StylesheetTables %s = {\n" % symbol)
    o.write("    kUris, %d, kNames, %d, kAttributes, %d, kNameSlots, %d, kAttributeSlots, %d, kSteps, kCode, %d, %d, %d,\n" % (
        len(t.uris), len(t.names), len(t.attributes), len(slots([local for _, local in t.names[1:]])) - 1, len(slots(t.attributes)) - 1, len(t.code),
        t.root[0], t.root[1]))
    o.write("};\n\n}  // namespace kvn\n")
    return o.getvalue()


ROOT = "."


def generate(sat):
    global ROOT
    ROOT = sat
    files = {}
    for symbol, suffix, rel in SETS:
        path = os.path.join(sat, rel)
        sheet = Stylesheet(path)
        compiler = Compiler(sheet, rel)
        tables = compiler.compile()
        for ins in tables.code:
            if ins.get("steps"):
                tables.path(ins["steps"])
        files["stylesheet_tables_%s.cpp" % suffix] = write_set(symbol, rel, tables)
    return files


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--sat", required=True)
    ap.add_argument("--out", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src", "cfdi", "generated"))
    ap.add_argument("--check")
    args = ap.parse_args()
    try:
        files = generate(args.sat)
    except GenError as e:
        print("gen_stylesheet_tables: %s" % e, file=sys.stderr)
        return 2
    return finish("gen_stylesheet_tables.py", files, args.out, args.check, "stylesheet tables")


if __name__ == "__main__":
    sys.exit(main())
