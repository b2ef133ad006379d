// validate: every finding of CFDI 3.3 and 4.0 documents (KVN_ValidateXmlFindings), and the
// DTD and value-restriction check of the older versions (KVN_ValidateXml).
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "batch.h"
#include "commands.h"
#include "hints.h"
#include "kelvane.h"
#include "library.h"
#include "output.h"

namespace fs = std::filesystem;

namespace cli {
namespace {

// One line of KVN_ValidateXmlFindings, its fields unescaped.
struct Finding {
    std::string kind, code, severity, line, path, attribute, value, message;
    bool error() const { return severity == "error"; }
};

std::string Unescape(const std::string& field) {
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] != '\\' || i + 1 == field.size()) {
            out += field[i];
            continue;
        }
        char c = field[++i];
        out += c == 't' ? '\t' : c == 'n' ? '\n' : c == 'r' ? '\r' : c;
    }
    return out;
}

std::vector<Finding> ParseFindings(const std::string& text) {
    std::vector<Finding> findings;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::vector<std::string> fields;
        size_t start = at;
        for (size_t i = at; i <= end; ++i) {
            if (i == end || text[i] == '\t') {
                fields.push_back(Unescape(text.substr(start, i - start)));
                start = i + 1;
            }
        }
        if (fields.size() == 8)
            findings.push_back(Finding{fields[0], fields[1], fields[2], fields[3], fields[4], fields[5], fields[6],
                                       fields[7]});
        at = end + 1;
    }
    return findings;
}

// The findings text, validating once: a first call with a buffer that fits most lists,
// a second only when the list is longer.
Outcome CallForFindings(const std::string& file, const char* catalogs, int bits) {
    std::string buffer(64 * 1024, '\0');
    int n = KVN_ValidateXmlFindings(buffer.data(), static_cast<int>(buffer.size() - 1), file.c_str(), catalogs, bits);
    if (n >= static_cast<int>(buffer.size() - 1)) {
        buffer.assign(static_cast<size_t>(n) + 1, '\0');
        n = KVN_ValidateXmlFindings(buffer.data(), n, file.c_str(), catalogs, bits);
    }
    if (n < 0) return CallForStatus(n);
    Outcome o;
    o.result = buffer.substr(0, static_cast<size_t>(n));
    return o;
}

// A finding's place: path, and /@attribute when it is about one.
std::string Place(const Finding& f) { return f.path + (f.attribute.empty() ? "" : "/@" + f.attribute); }

std::string FindingJson(const Finding& f) {
    JsonObject o;
    o.Add("kind", f.kind).Add("code", f.code).Add("severity", f.severity);
    o.Add("line", static_cast<long long>(std::atoll(f.line.c_str())));
    o.Add("path", f.path).Add("attribute", f.attribute).Add("value", f.value).Add("message", f.message);
    return o.str();
}

// Whether an error is about a value (type, facet, fixed value, catalog) rather than the
// structure: the library's code for the file follows the same split.
bool IsValueError(const Finding& f) {
    return f.kind != "schema" || f.code.rfind("XSD-VALUE-", 0) == 0 || f.code == "XSD-ATTRIBUTE-FIXED";
}

// The outcome of one file: failed (with the first error's message) when any finding is an
// error; every finding listed under it.
Outcome Validate(const std::string& file, const char* catalogs, int bits) {
    Outcome o = CallForFindings(file, catalogs, bits);
    if (o.code == -NOT_SUPPORTED_ERROR) return CallForStatus(KVN_ValidateXml(file.c_str(), bits));
    if (!o.ok()) return o;
    std::vector<Finding> findings = ParseFindings(o.result);
    o.result.clear();
    std::vector<std::string> json;
    size_t errors = 0;
    for (const Finding& f : findings) {
        o.details += "  " + file + ":" + f.line + ": " + f.severity + " " + f.code + " " + Place(f) + ": " + f.message +
                     "\n";
        json.push_back(FindingJson(f));
        if (!f.error()) continue;
        if (errors++ == 0) {
            o.code = IsValueError(f) ? -XML_FACET_ERROR : -BAD_XML_ERROR;
            o.message = "[" + Place(f) + "] " + f.message + " (line " + f.line + ")";
        }
    }
    if (errors > 1) o.message += " and " + std::to_string(errors - 1) + " more";
    o.details_json = JsonArray(json);
    return o;
}

}  // namespace

int RunValidate(const Invocation& inv) {
    if (!ExpectArguments(inv, 1, SIZE_MAX, "invoice file")) return kExitUsage;
    std::vector<BatchItem> items;
    std::string error;
    if (!ExpandInputs(inv.positionals, &items, &error)) return UsageError(inv.command, error);
    if (items.empty()) return UsageError(inv.command, "no .xml files found");
    std::optional<std::string> catalogs = inv.value("catalogs");
    std::error_code ec;
    if (catalogs && !fs::is_directory(*catalogs, ec))
        return UsageError(inv.command, "--catalogs: '" + *catalogs + "' is not a folder");
    const int bits = OptionBits(inv);
    return RunBatch(inv, BatchLabels{"valid", Role::kValidate}, items, [&](const BatchItem& item) {
        return WithHint(Validate(item.input, catalogs ? catalogs->c_str() : nullptr, bits), Role::kValidate,
                        CallFiles{item.input});
    });
}

}  // namespace cli
