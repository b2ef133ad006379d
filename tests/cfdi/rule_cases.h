// The case table of the validation rules: a valid base document, one small edit, and the
// finding the edited document must give. Bases live in tests/fixtures/rules/; an edit names
// its element by an XPath over the document (prefixes: cfdi, pago20, implocal, cce20, tfd).
#pragma once

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cfdi/findings.h"
#include "cfdi/validate.h"

namespace kvn::rule_cases {

enum class Op {
    kSet,        // set attribute `name` of the element to `value` (added when absent)
    kRemove,     // remove attribute `name` of the element
    kDrop,       // remove the element
    kDuplicate,  // insert a copy of the element after it
    kAppend,     // append the XML `value` (one element, prefixes of the document) as its last child
    kBefore,     // insert the XML `value` before the element (schemas fix the order of children)
};

struct Edit {
    Op op;
    const char* xpath;      // the element (the first match)
    const char* name;       // the attribute, when the op takes one
    const char* value;      // the value or the XML to append
};

struct Case {
    const char* base;       // under tests/fixtures/rules/
    Edit edit;
    const char* code;       // the finding the edit must give
    FindingSeverity severity = FindingSeverity::kError;
    const char* catalogs = nullptr;  // a catalog folder under tests/fixtures/rules/, or none
};

inline std::string FixturePath(const char* name) { return std::string(KVN_FIXTURES_DIR) + "/rules/" + name; }

inline void RegisterNamespaces(xmlXPathContextPtr ctx) {
    static const char* const kNamespaces[][2] = {
        {"cfdi", "http://www.sat.gob.mx/cfd/4"},
        {"cfdi33", "http://www.sat.gob.mx/cfd/3"},
        {"pago20", "http://www.sat.gob.mx/Pagos20"},
        {"implocal", "http://www.sat.gob.mx/implocal"},
        {"cce20", "http://www.sat.gob.mx/ComercioExterior20"},
        {"tfd", "http://www.sat.gob.mx/TimbreFiscalDigital"},
    };
    for (const auto& ns : kNamespaces)
        xmlXPathRegisterNs(ctx, reinterpret_cast<const xmlChar*>(ns[0]), reinterpret_cast<const xmlChar*>(ns[1]));
}

inline const xmlChar* X(const char* s) { return reinterpret_cast<const xmlChar*>(s); }

// The base with the edit applied, as text; empty with *error set when the edit cannot apply.
inline std::string ApplyEdit(const char* base, const Edit& edit, std::string* error) {
    const std::string path = FixturePath(base);
    xmlDocPtr doc = xmlReadFile(path.c_str(), nullptr, XML_PARSE_NONET);
    if (!doc) {
        *error = "cannot read " + path;
        return "";
    }
    std::string out;
    xmlXPathContextPtr ctx = xmlXPathNewContext(doc);
    RegisterNamespaces(ctx);
    xmlXPathObjectPtr found = xmlXPathEvalExpression(X(edit.xpath), ctx);
    xmlNodePtr node = found && found->nodesetval && found->nodesetval->nodeNr > 0 ? found->nodesetval->nodeTab[0]
                                                                                  : nullptr;
    if (!node || node->type != XML_ELEMENT_NODE) {
        *error = std::string("no element at ") + edit.xpath;
    } else {
        bool ok = true;
        switch (edit.op) {
        case Op::kSet: xmlSetProp(node, X(edit.name), X(edit.value)); break;
        case Op::kRemove: ok = xmlUnsetProp(node, X(edit.name)) == 0; break;
        case Op::kDrop:
            xmlUnlinkNode(node);
            xmlFreeNode(node);
            break;
        case Op::kDuplicate: xmlAddNextSibling(node, xmlDocCopyNode(node, doc, 1)); break;
        case Op::kAppend:
        case Op::kBefore: {
            xmlNodePtr context = edit.op == Op::kAppend ? node : node->parent;
            xmlNodePtr list = nullptr;
            ok = xmlParseInNodeContext(context, edit.value, static_cast<int>(std::string(edit.value).size()), 0,
                                       &list) == XML_ERR_OK;
            if (ok && edit.op == Op::kAppend) xmlAddChildList(node, list);
            while (ok && edit.op == Op::kBefore && list) {
                xmlNodePtr next = list->next;
                xmlUnlinkNode(list);
                xmlAddPrevSibling(node, list);
                list = next;
            }
            break;
        }
        }
        if (!ok) *error = std::string("the edit does not apply at ") + edit.xpath;
        else {
            xmlChar* text = nullptr;
            int size = 0;
            xmlDocDumpMemoryEnc(doc, &text, &size, "UTF-8");
            out.assign(reinterpret_cast<const char*>(text), static_cast<std::size_t>(size));
            xmlFree(text);
        }
    }
    xmlXPathFreeObject(found);
    xmlXPathFreeContext(ctx);
    xmlFreeDoc(doc);
    return out;
}

// The findings of a document given as text (written to a temporary file).
inline FindingList FindingsOf(const std::string& text, const char* catalogs, int flags = 0) {
    static int counter = 0;
    const std::string path = std::string(KVN_BINARY_DIR) + "/rule_case_" + std::to_string(::getpid()) + "_" +
                             std::to_string(++counter) + ".xml";
    std::ofstream(path, std::ios::binary) << text;
    FindingList findings;
    const std::string folder = catalogs ? FixturePath(catalogs) : std::string();
    const Error rc = ValidateFindings(path.c_str(), catalogs ? folder.c_str() : nullptr, flags, findings);
    std::remove(path.c_str());
    if (Failed(rc)) findings.push_back(Finding{FindingKind::kSchema, FindingSeverity::kError, "VALIDATION-FAILED"});
    return findings;
}

inline std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline std::string Describe(const FindingList& findings) {
    String text;
    WriteFindings(findings, text);
    return std::string(text.data(), text.size());
}

}  // namespace kvn::rule_cases
