"""A document as a dictionary, in the library's JSON shape (``KVN_XmlToJson``).

The dictionary has one key, the root element's name; an element is a dict of its
attributes (``"@Name"``, values as written), its text (``"#text"``) and its child elements
(``"prefix:Local"``, with the tax authority's prefix for its namespaces). A child element
that its parent's schema lets repeat is always a list, even when one is present; so is any
element that occurs more than once under its parent. Every value is a ``str``.

    >>> doc = kelvane.to_dict("signed40.xml")
    >>> doc["cfdi:Comprobante"]["cfdi:Conceptos"]["cfdi:Concepto"][0]["@Importe"]
    '4250.00'
"""

from __future__ import annotations

import json
import os
from typing import Any, Dict, Union

from . import _library as L
from .table import whole_text

Document = Union[str, bytes, "os.PathLike[str]"]


def to_json(document: Document) -> str:
    """The JSON text of a document: a path, or ``bytes`` that are the document's own text.
    A file that cannot be opened raises :class:`kelvane.InputFileError`; a document that is
    not well-formed :class:`kelvane.InvalidDocumentError`."""
    if isinstance(document, (bytes, bytearray, memoryview)):
        argument = L._no_nul(bytes(document), "document")
        options = L.OPT_XMLTEXT
    else:
        argument = L.path_arg(document)
        options = 0
    return whole_text(L.lib().KVN_XmlToJson, argument, options).decode("utf-8")


def to_dict(document: Document) -> Dict[str, Any]:
    """The document as a dictionary (see this module's description)."""
    return json.loads(to_json(document))


__all__ = ["to_dict", "to_json"]
