#include "json_value.h"

#include <cstdlib>

namespace {

class Reader {
public:
    explicit Reader(const std::string& s) : s_(s) {}

    bool Document(JsonValue* v) {
        Space();
        if (!Value(v)) return false;
        Space();
        return i_ == s_.size();
    }

private:
    void Space() {
        while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\n' || s_[i_] == '\r' || s_[i_] == '\t')) ++i_;
    }
    bool Eat(char c) {
        Space();
        if (i_ < s_.size() && s_[i_] == c) {
            ++i_;
            return true;
        }
        return false;
    }
    bool Literal(const char* word) {
        std::string w(word);
        if (s_.compare(i_, w.size(), w) != 0) return false;
        i_ += w.size();
        return true;
    }
    static void PutUtf8(unsigned cp, std::string* out) {
        if (cp < 0x80) {
            out->push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    bool String(std::string* out) {
        if (i_ >= s_.size() || s_[i_] != '"') return false;
        ++i_;
        while (i_ < s_.size()) {
            unsigned char c = static_cast<unsigned char>(s_[i_++]);
            if (c == '"') return true;
            if (c < 0x20) return false;
            if (c != '\\') {
                out->push_back(static_cast<char>(c));
                continue;
            }
            if (i_ >= s_.size()) return false;
            char e = s_[i_++];
            switch (e) {
            case '"': case '\\': case '/': out->push_back(e); break;
            case 'b': out->push_back('\b'); break;
            case 'f': out->push_back('\f'); break;
            case 'n': out->push_back('\n'); break;
            case 'r': out->push_back('\r'); break;
            case 't': out->push_back('\t'); break;
            case 'u': {
                if (i_ + 4 > s_.size()) return false;
                std::string hex = s_.substr(i_, 4);
                char* end = nullptr;
                unsigned cp = static_cast<unsigned>(std::strtoul(hex.c_str(), &end, 16));
                if (end != hex.c_str() + 4) return false;
                i_ += 4;
                PutUtf8(cp, out);
                break;
            }
            default: return false;
            }
        }
        return false;
    }
    bool Value(JsonValue* v) {
        Space();
        if (i_ >= s_.size()) return false;
        char c = s_[i_];
        if (c == '{') {
            ++i_;
            v->kind = JsonValue::kObject;
            if (Eat('}')) return true;
            do {
                Space();
                std::string key;
                if (!String(&key) || !Eat(':')) return false;
                if (!Value(&v->members[key])) return false;
            } while (Eat(','));
            return Eat('}');
        }
        if (c == '[') {
            ++i_;
            v->kind = JsonValue::kArray;
            if (Eat(']')) return true;
            do {
                v->items.emplace_back();
                if (!Value(&v->items.back())) return false;
            } while (Eat(','));
            return Eat(']');
        }
        if (c == '"') {
            v->kind = JsonValue::kString;
            return String(&v->text);
        }
        if (Literal("true")) {
            v->kind = JsonValue::kBool;
            v->boolean = true;
            return true;
        }
        if (Literal("false")) {
            v->kind = JsonValue::kBool;
            return true;
        }
        if (Literal("null")) return true;
        const char* start = s_.c_str() + i_;
        char* end = nullptr;
        v->number = std::strtod(start, &end);
        if (end == start) return false;
        v->kind = JsonValue::kNumber;
        i_ += static_cast<size_t>(end - start);
        return true;
    }

    const std::string& s_;
    size_t i_ = 0;
};

}  // namespace

bool ParseJson(const std::string& text, JsonValue* value) { return Reader(text).Document(value); }
