#include "cfdi/json_writer.h"

#include <cstdio>
#include <cstring>

#include "base/lasterror.h"
#include "cfdi/document.h"
#include "cfdi/element_shapes.h"
#include "cfdi/xml_events.h"

namespace kvn {
namespace {

// One element of the tree the JSON is written from. Children are indices into the tree's
// node list, in document order.
struct Node {
    String key;                       // "prefix:Local" or the qualified name as written
    Vec<std::pair<String, String>> attributes;  // "@name", value
    String text;
    Vec<std::uint32_t> children;
    bool repeatable = false;          // the parent's schema lets it repeat
};

constexpr std::size_t kMaxJsonDepth = 256;

class TreeSink final : public XmlEventSink {
public:
    bool OnStartElement(const char* uri, const char* local, const char* qname, const ElementAttribute* a,
                        std::size_t count) override {
        // The writer recurses once per level: deeper documents are refused.
        if (open_.size() >= kMaxJsonDepth) {
            tooDeep_ = true;
            return false;
        }
        const bool repeatable = shapes_.Start(uri, local, a, count);
        const std::uint32_t index = static_cast<std::uint32_t>(nodes_.size());
        nodes_.emplace_back();
        Node& node = nodes_.back();
        node.repeatable = repeatable;
        if (const char* prefix = *uri ? AuthorityPrefix(uri) : nullptr) {
            node.key = prefix;
            node.key.push_back(':');
            node.key.append(local);
        } else {
            node.key = qname;
        }
        node.attributes.reserve(count);
        for (std::size_t i = 0; i < count; ++i) {
            String name("@");
            name.append(a[i].qname);
            node.attributes.emplace_back(std::move(name), String(a[i].value));
        }
        if (!open_.empty()) nodes_[open_.back()].children.push_back(index);
        open_.push_back(index);
        return true;
    }
    bool OnEndElement(const char*, const char*, const char*) override {
        shapes_.End();
        open_.pop_back();
        return true;
    }
    bool OnCharacters(const char* text, std::size_t n) override {
        if (!open_.empty()) nodes_[open_.back()].text.append(text, n);
        return true;
    }
    const Vec<Node>& nodes() const { return nodes_; }
    bool tooDeep() const { return tooDeep_; }

private:
    bool tooDeep_ = false;
    ElementShapes shapes_;
    Vec<Node> nodes_;
    Vec<std::uint32_t> open_;
};

void AppendString(String& out, std::string_view s) {
    out.push_back('"');
    for (unsigned char c : s) {
        switch (c) {
            case '"': out.append("\\\""); break;
            case '\\': out.append("\\\\"); break;
            case '\n': out.append("\\n"); break;
            case '\r': out.append("\\r"); break;
            case '\t': out.append("\\t"); break;
            default:
                if (c < 0x20) {
                    char escape[8];
                    std::snprintf(escape, sizeof escape, "\\u%04x", c);
                    out.append(escape);
                } else {
                    out.push_back(static_cast<char>(c));
                }
        }
    }
    out.push_back('"');
}

bool OnlyWhiteSpace(const String& text) { return text.find_first_not_of(" \t\r\n") == String::npos; }

class JsonOut {
public:
    JsonOut(String& out, const Vec<Node>& nodes) : out_(out), nodes_(nodes) {}

    // The object of one element. Children of one key are gathered at the key's first
    // occurrence.
    void Element(const Node& node) {
        out_.push_back('{');
        bool first = true;
        auto member = [&](std::string_view key) {
            if (!first) out_.push_back(',');
            first = false;
            AppendString(out_, key);
            out_.push_back(':');
        };
        for (const auto& [name, value] : node.attributes) {
            member(name);
            AppendString(out_, value);
        }
        if (!node.text.empty() && !OnlyWhiteSpace(node.text)) {
            member("#text");
            AppendString(out_, node.text);
        }
        // Children by key, keys in the order of their first occurrence.
        TextMap<std::uint32_t> groupOf;
        Vec<Vec<std::uint32_t>> groups;
        for (std::uint32_t child : node.children) {
            auto [at, added] = groupOf.try_emplace(nodes_[child].key, static_cast<std::uint32_t>(groups.size()));
            if (added) groups.emplace_back();
            groups[at->second].push_back(child);
        }
        for (const Vec<std::uint32_t>& group : groups) {
            const Node& child = nodes_[group.front()];
            member(child.key);
            const bool array = child.repeatable || group.size() > 1;
            if (array) out_.push_back('[');
            for (std::size_t j = 0; j < group.size(); ++j) {
                if (j) out_.push_back(',');
                Element(nodes_[group[j]]);
            }
            if (array) out_.push_back(']');
        }
        out_.push_back('}');
    }

private:
    String& out_;
    const Vec<Node>& nodes_;
};

}  // namespace

Error WriteDocumentJson(String& out, const char* xmlFile) {
    FilePtr document = OpenDocument(xmlFile);
    if (!document) return Error::OPEN_ERROR;
    TreeSink sink;
    const XmlParseResult parsed = ParseXmlEvents(document.get(), sink, kXmlDefaults);
    if (sink.tooDeep()) {
        RecordError("XML document nests deeper than %zu elements/El documento XML anida mas de %zu elementos",
                    kMaxJsonDepth, kMaxJsonDepth);
        return Error::BAD_XML_ERROR;
    }
    if (parsed.status != XmlParseStatus::kComplete || sink.nodes().empty()) {
        RecordError("XML parse error/Error al analizar XML: %s (Line/numero de linea: %d)", parsed.message,
                    parsed.line);
        return Error::BAD_XML_ERROR;
    }
    const Node& root = sink.nodes().front();
    out.push_back('{');
    AppendString(out, root.key);
    out.push_back(':');
    JsonOut(out, sink.nodes()).Element(root);
    out.append("}\n");
    return kOk;
}

}  // namespace kvn
