// Findings of document validation and their text form.
#include "cfdi/findings.h"

#include <cstdarg>
#include <cstdio>

namespace kvn {
namespace {

void AppendField(String& out, const char* text, std::size_t n) {
    std::size_t plain = 0;  // start of the run not yet appended
    for (std::size_t i = 0; i < n; ++i) {
        const char* escaped;
        switch (text[i]) {
        case '\\': escaped = "\\\\"; break;
        case '\t': escaped = "\\t"; break;
        case '\n': escaped = "\\n"; break;
        case '\r': escaped = "\\r"; break;
        default: continue;
        }
        out.append(text + plain, i - plain);
        out += escaped;
        plain = i + 1;
    }
    out.append(text + plain, n - plain);
}

void AppendField(String& out, const char* text) { AppendField(out, text, std::char_traits<char>::length(text)); }
void AppendField(String& out, const String& text) { AppendField(out, text.data(), text.size()); }

}  // namespace

const char* FindingKindName(FindingKind kind) noexcept {
    switch (kind) {
    case FindingKind::kSchema: return "schema";
    case FindingKind::kCatalog: return "catalog";
    case FindingKind::kNotChecked: return "not-checked";
    case FindingKind::kRule: return "rule";
    }
    return "schema";
}

const char* FindingSeverityName(FindingSeverity severity) noexcept {
    return severity == FindingSeverity::kError ? "error" : "warning";
}

void WriteFindings(const FindingList& findings, String& out) {
    char line[16];
    for (const Finding& f : findings) {
        out += FindingKindName(f.kind);
        out += '\t';
        AppendField(out, f.code);
        out += '\t';
        out += FindingSeverityName(f.severity);
        out += '\t';
        std::snprintf(line, sizeof line, "%d", f.line);
        out += line;
        out += '\t';
        AppendField(out, f.path);
        out += '\t';
        AppendField(out, f.attribute);
        out += '\t';
        AppendField(out, f.value);
        out += '\t';
        AppendField(out, f.message);
        out += '\n';
    }
}

void AppendFormat(String& out, const char* format, ...) {
    char small[256];
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int n = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (n < 0) {
        va_end(again);
        return;
    }
    if (static_cast<std::size_t>(n) < sizeof small) {
        out.append(small, static_cast<std::size_t>(n));
    } else {
        const std::size_t at = out.size();
        out.resize(at + static_cast<std::size_t>(n) + 1);
        std::vsnprintf(out.data() + at, static_cast<std::size_t>(n) + 1, format, again);
        out.resize(at + static_cast<std::size_t>(n));
    }
    va_end(again);
}

}  // namespace kvn
