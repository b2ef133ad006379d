// info, error and fix-bom: the library's identity, its error table, and the BOM fixer.
#include <cstdio>

#include "commands.h"
#include "hints.h"
#include "kelvane.h"
#include "library.h"
#include "output.h"

namespace cli {

namespace {

std::string VersionText(int v) {
    return std::to_string(v / 10000) + "." + std::to_string(v / 100 % 100) + "." + std::to_string(v % 100);
}

}  // namespace

int OptionBits(const Invocation& inv) {
    int bits = 0;
    if (inv.has("md5")) bits |= KVN_OPT_MD5;
    if (inv.has("latin1")) bits |= KVN_OPT_LATIN1;
    if (inv.has("stamp")) bits |= KVN_OPT_STAMP;
    if (inv.has("no-bom")) bits |= KVN_OPT_NOBOM;
    if (inv.has("no-facets")) bits |= KVN_OPT_NOFACETS;
    if (inv.has("not-before")) bits |= KVN_OPT_NOTBEFORE;
    if (inv.has("registry-rules")) bits |= KVN_OPT_REGISTRY_RULES;
    return bits;
}

bool ExpectArguments(const Invocation& inv, size_t min, size_t max, const char* what) {
    size_t n = inv.positionals.size();
    if (n >= min && n <= max) return true;
    UsageError(inv.command, n < min ? std::string("missing ") + what : "too many arguments");
    return false;
}

bool RequireOption(const Invocation& inv, const char* name, std::string* value) {
    auto v = inv.value(name);
    if (!v || v->empty()) {
        UsageError(inv.command, std::string("option --") + name + " is required");
        return false;
    }
    *value = *v;
    return true;
}

int RunInfo(const Invocation& inv) {
    if (!ExpectArguments(inv, 0, 0, "")) return kExitUsage;
    int version = KVN_Version();
    int pki_version = KVN_PKIVersion();
    Outcome built = CallForText([](char* o, int n) { return KVN_CompileTime(o, n); });
    Outcome module = CallForText([](char* o, int n) { return KVN_ModuleName(o, n, 0); });
    Outcome platform = CallForText([](char* o, int n) { return KVN_ModuleName(o, n, KVN_OPT_PLATFORM); });
    Outcome pki_built = CallForText([](char* o, int n) { return KVN_PKICompileTime(o, n); });
    Outcome pki_module = CallForText([](char* o, int n) { return KVN_PKIModuleName(o, n); });

    JsonObject r;
    r.Add("version", version).Add("versionText", VersionText(version));
    r.Add("compileTime", built.result).Add("module", module.result).Add("platform", platform.result);
    r.Add("pkiVersion", pki_version).Add("pkiCompileTime", pki_built.result).Add("pkiModule", pki_module.result);
    std::string text = "library:      Kelvane " + VersionText(version) + " (" + std::to_string(version) + ")\n" +
                       "built:        " + built.result + "\n" +
                       "module:       " + module.result + "\n" +
                       "platform:     " + platform.result + "\n" +
                       "crypto layer: " + std::to_string(pki_version) + ", built " + pki_built.result +
                       ", module " + pki_module.result + "\n";
    return Report(inv, Outcome{}, Role::kQuery, text, r.str());
}

// error [CODE...]: the table's message for each code (a number of either sign, or a name);
// without codes, the whole table.
int RunError(const Invocation& inv) {
    std::vector<int> codes;
    for (const std::string& arg : inv.positionals) {
        int code;
        if (!ParseErrorCode(arg, &code)) return UsageError(inv.command, "not an error code: '" + arg + "'");
        codes.push_back(code);
    }
    if (codes.empty()) codes = AllErrorCodes();
    std::string text;
    std::vector<std::string> entries;
    bool all_known = true;
    for (int code : codes) {
        int positive = code < 0 ? -code : code;
        std::string message = ErrorMessage(code);
        bool known = !message.empty() || positive == 0;
        all_known = all_known && known;
        std::string number = positive == 0 ? "0" : "-" + std::to_string(positive);
        text += number + "\t" + ErrorName(code) + "\t" + (known ? message : "(no message for this code)") + "\n";
        JsonObject e;
        e.Add("code", positive == 0 ? 0 : -positive).Add("name", ErrorName(code));
        known ? e.Add("message", message) : e.AddNull("message");
        entries.push_back(e.str());
    }
    if (inv.json) {
        JsonObject o;
        o.Add("command", inv.command).Add("ok", all_known).AddRaw("result", JsonArray(entries));
        WriteStdout(o.str() + "\n");
    } else {
        WriteStdout(text);
    }
    return all_known ? kExitOk : kExitData;
}

// fix-bom FILE [-o OUT]: a copy of a UTF-8 file that starts with a byte-order mark.
int RunFixBom(const Invocation& inv) {
    if (!ExpectArguments(inv, 1, 1, "input file")) return kExitUsage;
    const std::string& input = inv.positionals[0];
    std::string output = inv.value("output").value_or(input);
    Outcome o = CallForStatus(KVN_FixBOM(output.c_str(), input.c_str()));
    o = WithHint(o, Role::kDocument, CallFiles{input, "", "", output});
    JsonObject r;
    r.Add("input", input).Add("output", output);
    return Report(inv, o, Role::kDocument, output + ": UTF-8 with byte-order mark", r.str());
}

}  // namespace cli
