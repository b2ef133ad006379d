"""Documents as dictionaries: every attribute of every corpus document found at its path
by an independent walk with xml.etree, repeatable elements as lists, and the JSON valid
against the committed JSON Schema."""

from __future__ import annotations

import json
import xml.etree.ElementTree as ET

import pytest

import kelvane
from conftest import REPO, corpus

FOLDERS = ("cfd20", "cfd22", "cfdi32", "cfdi33", "cfdi40", "retenciones10", "retenciones20")


def documents():
    found = []
    for folder in FOLDERS:
        for path in sorted(corpus(folder).glob("*.xml")):
            try:
                found.append((path, ET.parse(path).getroot()))
            except ET.ParseError:
                pass  # the corpus' damaged files: see test_errors
    return found


def split(tag):
    if tag.startswith("{"):
        uri, local = tag[1:].split("}", 1)
        return uri, local
    return "", tag


def member_for(obj, uri, local):
    """The one member of obj that names an element (uri, local)."""
    keys = [k for k in obj if k[0] not in "@#" and k.rsplit(":", 1)[-1] == local]
    assert len(keys) == 1, (local, list(obj))
    key = keys[0]
    if uri.startswith("http://www.sat.gob.mx"):
        assert ":" in key, key  # the authority's namespaces always take a prefix
    return key


def check(element, obj, path):
    """Every attribute of element, and only those, at obj; then the children likewise."""
    attributes = {k[1:]: v for k, v in obj.items() if k.startswith("@")}
    assert len(attributes) == len(element.attrib), path
    for name, value in element.attrib.items():
        uri, local = split(name)
        key = [k for k in attributes if k.rsplit(":", 1)[-1] == local and (":" in k) == bool(uri)]
        assert len(key) == 1 and attributes[key[0]] == value, (path, name)
    seen = {}
    for child in element:
        if not isinstance(child.tag, str):
            continue  # comments and processing instructions
        uri, local = split(child.tag)
        key = member_for(obj, uri, local)
        index = seen.get(key, 0)
        seen[key] = index + 1
        value = obj[key]
        if isinstance(value, list):
            item = value[index]
        else:
            assert index == 0, (path, key)
            item = value
        check(child, item, "%s/%s[%d]" % (path, key, index + 1))
    for key, count in seen.items():
        if isinstance(obj[key], list):
            assert len(obj[key]) == count, (path, key)


def test_every_attribute_of_the_corpus_is_at_its_path():
    docs = documents()
    assert len(docs) > 100
    for path, root in docs:
        doc = kelvane.to_dict(path)
        [(key, value)] = doc.items()
        check(root, value, str(path) + ":" + key)


def test_the_json_follows_the_committed_schema():
    jsonschema = pytest.importorskip("jsonschema")
    schema = json.loads((REPO / "docs" / "document.schema.json").read_text(encoding="utf-8"))
    validator = jsonschema.Draft202012Validator(schema)
    for path, _root in documents():
        errors = list(validator.iter_errors(kelvane.to_dict(path)))
        assert not errors, (path, errors[0].message)


CFDI40 = ('<cfdi:Comprobante xmlns:cfdi="http://www.sat.gob.mx/cfd/4" xmlns:tfd="http://www.sat.gob.mx/'
          'TimbreFiscalDigital" Version="4.0"><cfdi:Emisor Rfc="A"/><cfdi:Conceptos><cfdi:Concepto Importe="1.50">'
          "<cfdi:Impuestos><cfdi:Traslados><cfdi:Traslado Importe=\"0.24\"/></cfdi:Traslados></cfdi:Impuestos>"
          "</cfdi:Concepto></cfdi:Conceptos>%s</cfdi:Comprobante>")


@pytest.mark.parametrize(
    "xml, path, kind",
    [
        # Elements the schema lets repeat are lists even when one is present.
        (CFDI40 % "", ("cfdi:Conceptos", "cfdi:Concepto"), list),
        (CFDI40 % "", ("cfdi:Conceptos", "cfdi:Concepto", 0, "cfdi:Impuestos", "cfdi:Traslados", "cfdi:Traslado"),
         list),
        (CFDI40 % "", ("cfdi:Emisor",), dict),
        # A complement found under the wildcard, through its own schema.
        (CFDI40 % ('<cfdi:Complemento><pago20:Pagos xmlns:pago20="http://www.sat.gob.mx/Pagos20" Version="2.0">'
                   '<pago20:Totales MontoTotalPagos="1"/><pago20:Pago Monto="1"/></pago20:Pagos></cfdi:Complemento>'),
         ("cfdi:Complemento", "pago20:Pagos", 0, "pago20:Pago"), list),
        (CFDI40 % ('<cfdi:Complemento><pago20:Pagos xmlns:pago20="http://www.sat.gob.mx/Pagos20" Version="2.0">'
                   '<pago20:Totales MontoTotalPagos="1"/></pago20:Pagos></cfdi:Complemento>'),
         ("cfdi:Complemento", "pago20:Pagos", 0, "pago20:Totales"), dict),
        # The document's own prefix gives way to the authority's.
        (CFDI40.replace("cfdi:", "x:").replace("xmlns:cfdi", "xmlns:x") % "", ("cfdi:Conceptos", "cfdi:Concepto"),
         list),
        # Older versions: their tables say what repeats.
        ('<Comprobante xmlns="http://www.sat.gob.mx/cfd/2" version="2.2"><Conceptos><Concepto importe="1"/>'
         "</Conceptos><Emisor rfc=\"A\"/></Comprobante>", ("cfd:Conceptos", "cfd:Concepto"), list),
        ('<Comprobante xmlns="http://www.sat.gob.mx/cfd/2" version="2.2"><Emisor rfc="A"/></Comprobante>',
         ("cfd:Emisor",), dict),
        # Under the Addenda's repeatable wildcard every element is a list; below that, content
        # no schema describes is a list only when it does repeat.
        (CFDI40 % "<cfdi:Addenda><Pedido><L n='1'/><L n='2'/><Nota/></Pedido></cfdi:Addenda>",
         ("cfdi:Addenda", "Pedido", 0, "L"), list),
        (CFDI40 % "<cfdi:Addenda><Pedido><L n='1'/><Nota/></Pedido></cfdi:Addenda>",
         ("cfdi:Addenda", "Pedido", 0, "Nota"), dict),
    ],
)
def test_repeatable_elements_are_lists(xml, path, kind):
    value = next(iter(kelvane.to_dict(xml.encode()).values()))
    for step in path:
        value = value[step]
    assert isinstance(value, kind)


def test_values_are_kept_as_written():
    text = ('<a:R xmlns:a="urn:x" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" '
            'xsi:schemaLocation="urn:x x.xsd" Total="0010.500" Nombre="A &amp; B &#x22;Ñ&#x22;\t">'
            " texto <b/> mas </a:R>").encode()
    doc = kelvane.to_dict(text)
    assert doc == {"a:R": {"@xsi:schemaLocation": "urn:x x.xsd", "@Total": "0010.500",
                           "@Nombre": 'A & B "Ñ" ', "#text": " texto  mas ", "b": {}}}
    assert kelvane.to_json(text).endswith("}\n")


def test_errors():
    with pytest.raises(kelvane.InputFileError):
        kelvane.to_dict("/nonexistent/a.xml")
    for text in (b"", b"<a><b></a>", b"<a>" * 300 + b"</a>" * 300):
        with pytest.raises(kelvane.InvalidDocumentError):
            kelvane.to_dict(text)
