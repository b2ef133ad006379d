#!/usr/bin/env python3
"""The schema generator (scripts/gen_schema_tables.py, scripts/xsd_regex.py): pattern
automata agree with a reference matcher, and every construct outside the subset it
understands stops it with an error rather than a silently wrong table.

    schema_generator_test.py SAT_DIR
"""
import copy
import os
import random
import re
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "scripts"))

import gen_schema_tables as G  # noqa: E402
import xsd_regex  # noqa: E402
from gen_common import GenError  # noqa: E402

SAT = None


class Patterns(unittest.TestCase):
    # (pattern, strings it must match, strings it must not)
    CASES = [
        ("[0-9]{1,3}(.[0-9]{2})?", ["1", "123", "12.34", "12x34", "1234"], ["", "1234567", "12.3", "12.3456"]),
        ("[^|]{1,3}", ["a", "ñ", "ñ€😀"], ["", "|", "abcd", "a|"]),
        ("[A-Z,Ñ,&amp;]{3}".replace("&amp;", "&"), ["ABC", "Ñ,&"], ["AB", "abc"]),
        ("([A-Z]|[0-9]|-|){2,3}", ["AB", "", "A", "A-9"], ["ABCD", "a"]),
        ("[^(?!.*\\s)-]{2}", ["ab", "Zz"], ["a b", "a-", "(a", "a?", "a."]),
        ("P(([1-9][0-9]{0,3})|0)W|P([1-9][0-9]?Y)?(([1-9]|1[012])M)?(0|[1-9]|[12][0-9]|3[01])D",
         ["P1W", "P0W", "P2Y3M4D", "P0D"], ["PW", "P13M1D", "P1Y"]),
        ("\\d{2}\\.\\d", ["12.3", "١٢.٣"], ["12x3", "1a.3"]),
        ("a\\{b\\}c\\+", ["a{b}c+"], ["abc"]),
        (".", ["x", " "], ["\n", "\r", "xy"]),
    ]

    def test_automata_accept_exactly_their_language(self):
        for pattern, good, bad in self.CASES:
            compiled = xsd_regex.compile_pattern(pattern, "test")
            for s in good:
                self.assertTrue(xsd_regex.matches(compiled, s), (pattern, s))
            for s in bad:
                self.assertFalse(xsd_regex.matches(compiled, s), (pattern, s))

    def test_automata_agree_with_a_backtracking_matcher_on_random_strings(self):
        # Python's re, anchored, stands in for the reference where the two languages agree
        # (\d limited to ASCII digits in the strings tried, '.' never meets a line end).
        rng = random.Random(5)
        alphabet = "09AZaz-.|,&Ñ() _"
        for pattern, _, _ in self.CASES:
            compiled = xsd_regex.compile_pattern(pattern, "test")
            reference = re.compile("(?:%s)\\Z" % pattern)
            for _ in range(400):
                s = "".join(rng.choice(alphabet) for _ in range(rng.randint(0, 6)))
                self.assertEqual(xsd_regex.matches(compiled, s), bool(reference.match(s)), (pattern, s))

    def test_constructs_outside_the_subset_stop_the_generator(self):
        for pattern in ["\\p{L}", "[a-z-[aeiou]]", "(?:x)", "\\w", "a{3,2}", "[b-a]", "(a", "a)", "*a", "[a"]:
            with self.assertRaises(GenError, msg=pattern):
                xsd_regex.compile_pattern(pattern, "test")


class Schemas(unittest.TestCase):
    HEAD = ('<xs:schema xmlns:xs="http://www.w3.org/2001/XMLSchema" xmlns:t="urn:t" targetNamespace="urn:t" '
            'elementFormDefault="qualified">')

    def compile(self, body):
        with tempfile.TemporaryDirectory() as d:
            with open(os.path.join(d, "t.xsd"), "w", encoding="utf-8") as f:
                f.write(self.HEAD + body + "</xs:schema>")
            u = G.Universe(d)
            c = G.Compiler(u)
            u.load("t.xsd")
            for (ns, name) in list(u.element_defs):
                c.global_element(ns, name)
            c.build_models()
            return c

    def test_the_supported_constructs_compile(self):
        c = self.compile(
            '<xs:simpleType name="n"><xs:restriction base="xs:decimal"><xs:fractionDigits value="2"/>'
            '<xs:minInclusive value="0"/></xs:restriction></xs:simpleType>'
            '<xs:simpleType name="m"><xs:restriction base="t:n"><xs:maxInclusive value="10"/>'
            '<xs:enumeration value="01.50"/><xs:enumeration value="2"/></xs:restriction></xs:simpleType>'
            '<xs:element name="r"><xs:complexType><xs:sequence>'
            '<xs:element name="a" type="t:m" maxOccurs="2"/><xs:choice minOccurs="0"><xs:element name="b"/>'
            '<xs:any processContents="lax"/></xs:choice></xs:sequence>'
            '<xs:attribute name="v" fixed="1.0" use="required"/></xs:complexType></xs:element>'.replace(
                '<xs:element name="b"/>', '<xs:element name="b" type="xs:string"/>'))
        m = [t for t in c.simple_types if t.name == "m"][0]
        # facets gathered along the derivation; enumerations of numbers by canonical value
        self.assertEqual((m.fraction_digits, m.min_inclusive, m.max_inclusive, m.enumeration),
                         (2, "0", "10", ("1.5", "2")))
        self.assertEqual(len(c.models), 1)

    def test_constructs_outside_the_subset_stop_the_generator(self):
        cases = {
            "list": '<xs:simpleType name="l"><xs:list itemType="xs:string"/></xs:simpleType>'
                    '<xs:element name="r" type="t:l"/>',
            "union": '<xs:simpleType name="u"><xs:union memberTypes="xs:string"/></xs:simpleType>'
                     '<xs:element name="r" type="t:u"/>',
            "built-in": '<xs:element name="r" type="xs:time"/>',
            "facet": '<xs:element name="r"><xs:simpleType><xs:restriction base="xs:string">'
                     '<xs:fractionDigits value="1"/></xs:restriction></xs:simpleType></xs:element>',
            "substitution": '<xs:element name="r" substitutionGroup="t:x" type="xs:string"/>',
            "attribute group": '<xs:attributeGroup name="g"/><xs:element name="r" type="xs:string"/>',
            "anyAttribute": '<xs:element name="r"><xs:complexType><xs:anyAttribute/></xs:complexType></xs:element>',
            "wildcard namespace": '<xs:element name="r"><xs:complexType><xs:sequence><xs:any namespace="##other"/>'
                                  '</xs:sequence></xs:complexType></xs:element>',
            "untyped element": '<xs:element name="r"/>',
            "missing import": '<xs:import namespace="urn:x" schemaLocation="x.xsd"/><xs:element name="r" type="xs:string"/>',
        }
        for what, body in cases.items():
            with self.assertRaises(GenError, msg=what):
                self.compile(body)

    def test_a_set_whose_complements_differ_from_its_stylesheet_stops_the_generator(self):
        saved = copy.deepcopy(G.SCHEMA_SETS)
        try:
            G.SCHEMA_SETS[1]["complements"] = [c for c in G.SCHEMA_SETS[1]["complements"] if "Pagos20" not in c]
            with self.assertRaises(GenError) as e:
                G.compile_all(SAT)
            self.assertIn("Pagos20", str(e.exception))
        finally:
            G.SCHEMA_SETS[:] = saved


if __name__ == "__main__":
    SAT = os.path.abspath(sys.argv.pop(1))
    unittest.main()
