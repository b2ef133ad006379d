// Command-line parsing and the mapping from library codes to exit statuses.
#include <algorithm>
#include <cctype>
#include <cstdio>

#include "cli.h"
#include "kelvane.h"

namespace cli {
namespace {

struct OptionSpec {
    const char* name;
    char short_name;
    bool takes_value;
};

// Every option the tool knows. Each command accepts a subset (Command::accepted); the
// global ones (json, quiet, help) are accepted everywhere.
constexpr OptionSpec kOptions[] = {
    {"json", 0, false},          {"quiet", 'q', false},        {"help", 'h', false},
    {"key", 'k', true},          {"cert", 'c', true},          {"output", 'o', true},
    {"out-dir", 0, true},        {"in-place", 0, false},       {"jobs", 'j', true},
    {"password", 0, true},       {"password-file", 0, true},   {"pfx-password", 0, true},
    {"pfx-password-file", 0, true}, {"md5", 0, false},         {"latin1", 0, false},
    {"stamp", 0, false},         {"no-bom", 0, false},         {"no-facets", 0, false},
    {"not-before", 0, false},    {"query", 0, true},           {"xml", 0, false},
    {"element", 'e', true},      {"all", 0, false},            {"sat-certs", 0, true},
    {"catalogs", 0, true},       {"lines", 0, false},
};

const OptionSpec* FindLong(const std::string& name) {
    for (const OptionSpec& o : kOptions)
        if (name == o.name) return &o;
    return nullptr;
}

const OptionSpec* FindShort(char c) {
    for (const OptionSpec& o : kOptions)
        if (o.short_name == c) return &o;
    return nullptr;
}

bool Accepts(const Command& cmd, const std::string& name) {
    if (name == "json" || name == "quiet" || name == "help") return true;
    return std::find(cmd.accepted.begin(), cmd.accepted.end(), name) != cmd.accepted.end();
}

}  // namespace

std::optional<std::string> Invocation::value(const std::string& name) const {
    auto it = options.find(name);
    if (it == options.end() || it->second.empty()) return std::nullopt;
    return it->second.back();
}

int UsageError(const std::string& command, const std::string& message) {
    std::fflush(stdout);
    std::string who = command.empty() ? "kelvane" : "kelvane " + command;
    std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", who.c_str(), message.c_str(), who.c_str());
    return kExitUsage;
}

bool ParseArguments(const Command& cmd, int argc, char** argv, Invocation* inv) {
    inv->command = cmd.name;
    bool options_done = false;
    for (int i = 0; i < argc; ++i) {
        std::string arg = argv[i];
        bool negative_number = arg.size() >= 2 && arg[0] == '-' && std::isdigit(static_cast<unsigned char>(arg[1]));
        if (options_done || arg == "-" || arg.size() < 2 || arg[0] != '-' || negative_number) {
            inv->positionals.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options_done = true;
            continue;
        }
        const OptionSpec* spec = nullptr;
        std::string value;
        bool has_inline_value = false;
        if (arg[1] == '-') {
            std::string name = arg.substr(2);
            size_t eq = name.find('=');
            if (eq != std::string::npos) {
                value = name.substr(eq + 1);
                name.resize(eq);
                has_inline_value = true;
            }
            spec = FindLong(name);
            if (!spec) {
                UsageError(cmd.name, "unknown option '--" + name + "'");
                return false;
            }
        } else {
            spec = arg.size() == 2 ? FindShort(arg[1]) : nullptr;
            if (!spec) {
                UsageError(cmd.name, "unknown option '" + arg + "'");
                return false;
            }
        }
        if (!Accepts(cmd, spec->name)) {
            UsageError(cmd.name, std::string("option '--") + spec->name + "' does not apply to this command");
            return false;
        }
        if (spec->takes_value && !has_inline_value) {
            if (i + 1 >= argc) {
                UsageError(cmd.name, std::string("option '--") + spec->name + "' needs a value");
                return false;
            }
            value = argv[++i];
        } else if (!spec->takes_value && has_inline_value) {
            UsageError(cmd.name, std::string("option '--") + spec->name + "' takes no value");
            return false;
        }
        inv->options[spec->name].push_back(spec->takes_value ? value : "1");
    }
    inv->json = inv->has("json");
    inv->quiet = inv->has("quiet");
    return true;
}

int ExitStatusFor(int code, Role role) {
    if (code >= 0) return kExitOk;
    switch (-code) {
    case OPEN_ERROR:
    case READ_ERROR:
    case EOF_ERROR:
        return kExitInput;
    case CREATE_ERROR:
    case WRITE_ERROR:
    case 13:  // the cryptographic layer: a written file cannot be opened again
        return kExitOutput;
    case DECRYPT_ERROR:
        // Opening a seal with a foreign certificate also fails to decrypt: that is a bad seal.
        return role == Role::kVerify ? kExitInvalid : kExitKey;
    case SIGNATURE_ERROR:
        return kExitInvalid;
    case NO_MATCH_ERROR:
        // A key of another pair; for attribute queries, nothing found.
        return role == Role::kKey ? kExitInvalid : kExitData;
    case BAD_XML_ERROR:
    case XML_FACET_ERROR:
    case BAD_DTD_ERROR:  // validation reports a document that is not well-formed this way
        return role == Role::kValidate ? kExitInvalid : kExitData;
    case MEMORY_ERROR:
    case PARSER_FAILED_ERROR:
    case VALIDATOR_FAIL_ERROR:
    case MISC_ERROR:
    case 9745:
        return kExitInternal;
    default:
        return kExitData;
    }
}

}  // namespace cli
