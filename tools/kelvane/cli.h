// Shared declarations of the kelvane command-line tool: parsed command lines, the outcome
// of one library call, exit statuses, and the command table.
//
// The tool is a thin front end: every answer comes from one export of include/kelvane.h.
// Batch work runs on worker threads (the library is safe in threads; its last-error text
// is per thread).
#ifndef KELVANE_TOOL_CLI_H
#define KELVANE_TOOL_CLI_H

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace cli {

// Exit statuses, one per failure class. Documented in `kelvane --help`.
enum ExitStatus {
    kExitOk = 0,
    kExitInvalid = 1,     // a check ran and failed: bad seal, invalid document, key/cert mismatch
    kExitUsage = 2,       // the command line is wrong
    kExitInput = 3,       // an input file cannot be opened or read
    kExitOutput = 4,      // an output file cannot be created or written
    kExitKey = 5,         // the private key cannot be read: wrong password or not a key file
    kExitData = 6,        // input is malformed, unsupported, or lacks what was asked for
    kExitRefused = 7,     // sign refused the certificate (not a CSD, not valid at Fecha, not the issuer's)
    kExitInternal = 9,    // anything else: out of memory, internal error, a crashed worker
};

// The result of one library call as the tool reports it. `code` is the export's result when
// negative (a negated error code), else 0; `message` is the library's last-error text, or the
// code's generic message when the call recorded none.
struct Outcome {
    int code = 0;
    std::string message;
    std::string result;   // text result (pipe string, digest, seal...), may be empty
    std::string hint;     // one plain line under the message of a failure (hints.h), or ""
    std::string note;     // one line under the result of a success worth a remark, or ""
    std::string details;       // lines printed under a batch item's result (validation findings)
    std::string details_json;  // the same as a JSON array, the item's "findings" with --json
    bool ok() const { return code >= 0; }
};

// A parsed command line. Options are stored by long name without dashes; flags map to "1".
struct Invocation {
    std::string command;
    std::map<std::string, std::vector<std::string>> options;
    std::vector<std::string> positionals;
    bool json = false;
    bool quiet = false;

    bool has(const std::string& name) const { return options.count(name) != 0; }
    // Last value given for an option, if any.
    std::optional<std::string> value(const std::string& name) const;
};

// How a failed call is classified: the same code means different things in different
// commands (DECRYPT_ERROR is a wrong password when reading a key, a foreign seal when verifying).
enum class Role { kDocument, kKey, kVerify, kValidate, kQuery };
int ExitStatusFor(int code, Role role);

struct Command {
    const char* name;
    const char* summary;                      // one line for `kelvane --help`
    const char* usage;                        // full text for `kelvane CMD --help`
    std::vector<std::string> accepted;        // long option names this command takes
    int (*run)(const Invocation&);
};

const Command* FindCommand(const std::string& name);

// Parses argv after the command name. On error writes a message to stderr, returns false.
bool ParseArguments(const Command& cmd, int argc, char** argv, Invocation* inv);

// Usage error: prints "kelvane CMD: message" and a hint, returns kExitUsage.
int UsageError(const std::string& command, const std::string& message);

}  // namespace cli

#endif
