#include "output.h"

#include <cstdio>

#include "library.h"

namespace cli {
namespace {

// Length of the valid UTF-8 sequence starting at s[i], or 0 when it is not one.
size_t Utf8SequenceLength(const std::string& s, size_t i) {
    unsigned char lead = static_cast<unsigned char>(s[i]);
    size_t len;
    unsigned min;
    if (lead >= 0xC2 && lead <= 0xDF) {
        len = 2;
        min = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        len = 3;
        min = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        len = 4;
        min = 0x10000;
    } else {
        return 0;
    }
    if (i + len > s.size()) return 0;
    unsigned cp = lead & (0xFF >> (len + 1));
    for (size_t k = 1; k < len; ++k) {
        unsigned char c = static_cast<unsigned char>(s[i + k]);
        if ((c & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (c & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return len;
}

}  // namespace

std::string JsonString(const std::string& bytes) {
    std::string out = "\"";
    for (size_t i = 0; i < bytes.size();) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        char esc[8];
        if (c >= 0x80) {
            size_t len = Utf8SequenceLength(bytes, i);
            if (len > 0) {
                out.append(bytes, i, len);
                i += len;
                continue;
            }
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else if (c == '"') {
            out += "\\\"";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
        ++i;
    }
    out += '"';
    return out;
}

JsonObject& JsonObject::Add(const std::string& key, const std::string& text) {
    return AddRaw(key, JsonString(text));
}

JsonObject& JsonObject::Add(const std::string& key, long long number) {
    return AddRaw(key, std::to_string(number));
}

JsonObject& JsonObject::Add(const std::string& key, bool flag) {
    return AddRaw(key, flag ? "true" : "false");
}

JsonObject& JsonObject::AddRaw(const std::string& key, const std::string& json) {
    members_.emplace_back(key, json);
    return *this;
}

std::string JsonObject::str() const {
    std::string out = "{";
    for (size_t i = 0; i < members_.size(); ++i) {
        if (i) out += ",";
        out += JsonString(members_[i].first) + ":" + members_[i].second;
    }
    return out + "}";
}

std::string JsonArray(const std::vector<std::string>& encoded) {
    std::string out = "[";
    for (size_t i = 0; i < encoded.size(); ++i) {
        if (i) out += ",";
        out += encoded[i];
    }
    return out + "]";
}

void AddStatus(JsonObject* o, const Outcome& outcome) {
    o->Add("ok", outcome.ok());
    o->Add("code", outcome.ok() ? 0 : outcome.code);
    if (!outcome.ok()) o->Add("error", ErrorName(outcome.code));
    o->Add("message", outcome.ok() ? std::string() : outcome.message);
    if (!outcome.ok() && !outcome.hint.empty()) o->Add("hint", outcome.hint);
    if (outcome.ok() && !outcome.note.empty()) o->Add("note", outcome.note);
}

void WriteStdout(const std::string& bytes) {
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
}

void PrintFailure(const std::string& command, const std::string& subject, const Outcome& outcome) {
    std::fflush(stdout);
    std::string line = "kelvane " + command + ": ";
    if (!subject.empty()) line += subject + ": ";
    line += outcome.message + " (" + ErrorName(outcome.code) + ")\n";
    if (!outcome.hint.empty()) line += "  " + outcome.hint + "\n";
    std::fputs(line.c_str(), stderr);
}

void PrintNote(const std::string& command, const std::string& subject, const Outcome& outcome) {
    if (outcome.note.empty()) return;
    std::fflush(stdout);
    std::string line = "kelvane " + command + ": ";
    if (!subject.empty()) line += subject + ": ";
    std::fputs((line + outcome.note + "\n").c_str(), stderr);
}

int Report(const Invocation& inv, const Outcome& outcome, Role role, const std::string& text,
           const std::string& json_result) {
    if (inv.json) {
        JsonObject o;
        o.Add("command", inv.command);
        AddStatus(&o, outcome);
        o.AddRaw("result", outcome.ok() ? json_result : "null");
        WriteStdout(o.str() + "\n");
    } else if (outcome.ok()) {
        WriteStdout(text);
        if (!text.empty() && text.back() != '\n') WriteStdout("\n");
        PrintNote(inv.command, "", outcome);
    } else {
        PrintFailure(inv.command, "", outcome);
    }
    return outcome.ok() ? kExitOk : ExitStatusFor(outcome.code, role);
}

}  // namespace cli
