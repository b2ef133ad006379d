"""Findings of document validation (:func:`kelvane.validate`).

A :class:`Finding` is a ``str`` (its message), so code that reads the messages of an
invalid document keeps working, and it carries the finding's fields as attributes.
"""

from __future__ import annotations

from typing import List

_ESCAPES = {"t": "\t", "n": "\n", "r": "\r", "\\": "\\"}


class Finding(str):
    """One finding: the message as the string, and

    - ``kind``: ``"schema"``, ``"catalog"`` (a value not in its catalog at the invoice's date)
      ``"not-checked"`` (a check that could not be made: its catalog is absent) or ``"rule"``
      (a rule of the tax authority beyond the schemas, with its code, e.g. ``"CFDI40108"``);
    - ``code``: e.g. ``"XSD-ATTRIBUTE-MISSING"``, ``"XSD-VALUE-PATTERN"``, ``"CATALOG-VALUE"``
      (``""`` for the messages of CFD 2.x and CFDI 3.0/3.2 validation);
    - ``severity``: ``"error"`` (the document is invalid) or ``"warning"``;
    - ``line``: the line of the document (0 when unknown);
    - ``path``: the element, e.g. ``"/cfdi:Comprobante/cfdi:Conceptos/cfdi:Concepto[2]"``;
    - ``attribute``: the attribute's name, ``""`` when the finding is about the element;
    - ``value``: the value concerned (may be ``""``);
    - ``message``: English/Spanish, the same text as the string itself.
    """

    kind: str
    code: str
    severity: str
    line: int
    path: str
    attribute: str
    value: str

    def __new__(
        cls,
        message: str,
        kind: str = "schema",
        code: str = "",
        severity: str = "error",
        line: int = 0,
        path: str = "",
        attribute: str = "",
        value: str = "",
    ) -> "Finding":
        self = super().__new__(cls, message)
        self.kind, self.code, self.severity, self.line = kind, code, severity, line
        self.path, self.attribute, self.value = path, attribute, value
        return self

    @property
    def message(self) -> str:
        return str.__str__(self)

    @property
    def is_error(self) -> bool:
        return self.severity == "error"

    def __repr__(self) -> str:
        where = self.path + ("/@" + self.attribute if self.attribute else "")
        return "Finding(%s %s %s line %d: %r)" % (self.severity, self.code or self.kind, where, self.line, self.message)

    def __reduce__(self):
        return (
            Finding,
            (self.message, self.kind, self.code, self.severity, self.line, self.path, self.attribute, self.value),
        )


def _unescape(field: str) -> str:
    out = []
    i = 0
    while i < len(field):
        c = field[i]
        if c == "\\" and i + 1 < len(field):
            i += 1
            out.append(_ESCAPES.get(field[i], field[i]))
        else:
            out.append(c)
        i += 1
    return "".join(out)


def parse_findings(text: str) -> List[Finding]:
    """The findings of the text of ``KVN_ValidateXmlFindings`` (one line each, eight fields
    separated by TAB, with \\\\, \\t, \\n and \\r escapes inside fields)."""
    findings = []
    for line in text.split("\n"):
        if not line:
            continue
        fields = [_unescape(f) for f in line.split("\t")]
        if len(fields) != 8:
            continue
        kind, code, severity, number, path, attribute, value, message = fields
        findings.append(Finding(message, kind, code, severity, int(number or 0), path, attribute, value))
    return findings
