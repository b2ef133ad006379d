// A small JSON reader for checking the tool's --json output: it accepts exactly RFC 8259
// JSON (one value, optional surrounding white space) and keeps objects, arrays, strings,
// numbers, booleans and null.
#ifndef KELVANE_TESTS_TOOLS_JSON_VALUE_H
#define KELVANE_TESTS_TOOLS_JSON_VALUE_H

#include <map>
#include <memory>
#include <string>
#include <vector>

struct JsonValue {
    enum Kind { kNull, kBool, kNumber, kString, kArray, kObject } kind = kNull;
    bool boolean = false;
    double number = 0;
    std::string text;  // UTF-8
    std::vector<JsonValue> items;
    std::map<std::string, JsonValue> members;

    bool has(const std::string& k) const { return kind == kObject && members.count(k); }
    const JsonValue& operator[](const std::string& k) const { return members.at(k); }
};

// Parses `text`; false when it is not one well-formed JSON value.
bool ParseJson(const std::string& text, JsonValue* value);

#endif
