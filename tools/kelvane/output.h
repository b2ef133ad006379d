// What the tool prints: text results on standard output, the library's messages on standard
// error, and with --json one JSON document on standard output per run.
#ifndef KELVANE_TOOL_OUTPUT_H
#define KELVANE_TOOL_OUTPUT_H

#include <string>
#include <utility>
#include <vector>

#include "cli.h"

namespace cli {

// JSON string literal of arbitrary bytes: valid UTF-8 passes through (escaped as JSON
// requires); a byte that does not start a valid UTF-8 sequence is read as Latin-1 and
// written as \u00XX, so Latin-1 pipe strings survive the trip.
std::string JsonString(const std::string& bytes);

// Builds one JSON object; values are inserted already encoded.
class JsonObject {
public:
    JsonObject& Add(const std::string& key, const std::string& text);
    JsonObject& Add(const std::string& key, const char* text) { return Add(key, std::string(text)); }
    JsonObject& Add(const std::string& key, long long number);
    JsonObject& Add(const std::string& key, int number) { return Add(key, static_cast<long long>(number)); }
    JsonObject& Add(const std::string& key, bool flag);
    JsonObject& AddRaw(const std::string& key, const std::string& json);
    JsonObject& AddNull(const std::string& key) { return AddRaw(key, "null"); }
    std::string str() const;

private:
    std::vector<std::pair<std::string, std::string>> members_;
};

std::string JsonArray(const std::vector<std::string>& encoded);

// The members every result carries: ok, code, message; a failure adds error (the code's
// symbolic name) and, when there is one, hint; a success with a remark adds note.
void AddStatus(JsonObject* o, const Outcome& outcome);

// Reports a single (non-batch) call. On success prints `text` (a newline is added unless it
// is empty or already ends with one) or, with --json, the object with "result": json_result.
// On failure prints the message to stderr (text mode) or the object with "result": null.
// Returns the exit status for `role`.
int Report(const Invocation& inv, const Outcome& outcome, Role role, const std::string& text,
           const std::string& json_result);

// "kelvane CMD: subject: message (NAME)" on stderr, and the outcome's hint on a line of
// its own under it.
void PrintFailure(const std::string& command, const std::string& subject, const Outcome& outcome);

// "kelvane CMD: subject: note" on stderr when a successful outcome carries a note.
void PrintNote(const std::string& command, const std::string& subject, const Outcome& outcome);

// Writes bytes to stdout exactly (no newline translation).
void WriteStdout(const std::string& bytes);

}  // namespace cli

#endif
