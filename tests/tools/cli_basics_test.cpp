// The tool's frame: help, usage errors, info, the error table and fix-bom.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <regex>

#include "json_value.h"
#include "run_tool.h"

namespace {

JsonValue Json(const ToolRun& r) {
    JsonValue v;
    EXPECT_TRUE(ParseJson(r.out, &v)) << "not JSON: " << r.out;
    return v;
}

TEST(ToolHelp, EveryCommandExplainsItselfWithAnExample) {
    ToolRun overview = RunTool({"--help"});
    ASSERT_EQ(overview.status, 0);
    EXPECT_NE(overview.out.find("Exit status:"), std::string::npos);
    // Each listed command answers --help with a usage line and an example.
    size_t listed = 0;
    size_t pos = overview.out.find("Commands:\n");
    ASSERT_NE(pos, std::string::npos);
    std::string rest = overview.out.substr(pos + 10);
    for (size_t line_start = 0; line_start < rest.size() && rest.compare(line_start, 2, "  ") == 0;) {
        size_t end = rest.find('\n', line_start);
        std::string name = rest.substr(line_start + 2, rest.find(' ', line_start + 2) - line_start - 2);
        ToolRun help = RunTool({name, "--help"});
        EXPECT_EQ(help.status, 0) << name;
        EXPECT_EQ(help.out.rfind("usage: kelvane " + name, 0), 0u) << name;
        EXPECT_NE(help.out.find("example: kelvane " + name), std::string::npos) << name;
        ++listed;
        line_start = end + 1;
    }
    EXPECT_GE(listed, 3u);
}

TEST(ToolUsage, CommandLineMistakesExitWithStatusTwo) {
    struct Case {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{}, "usage: kelvane COMMAND"},
        {{"no-such-command"}, "unknown command 'no-such-command'"},
        {{"info", "--bogus"}, "unknown option '--bogus'"},
        {{"info", "--md5"}, "option '--md5' does not apply to this command"},
        {{"info", "extra"}, "too many arguments"},
        {{"fix-bom"}, "missing input file"},
        {{"fix-bom", "a.xml", "-o"}, "option '--output' needs a value"},
        {{"error", "NOT_A_CODE"}, "not an error code: 'NOT_A_CODE'"},
    };
    for (const Case& c : cases) {
        ToolRun r = RunTool(c.args);
        EXPECT_EQ(r.status, 2) << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
}

TEST(ToolInfo, ReportsTheLibraryIdentity) {
    ToolRun text = RunTool({"info"});
    ASSERT_EQ(text.status, 0) << text.err;
    EXPECT_NE(text.out.find("Kelvane 5.2.2 (50202)"), std::string::npos);
    EXPECT_NE(text.out.find("libkelvane.so"), std::string::npos);
    EXPECT_NE(text.out.find("crypto layer: 381, built Dec 13 2013 08:58:37, module N/A"), std::string::npos);

    JsonValue v = Json(RunTool({"info", "--json"}));
    EXPECT_TRUE(v["ok"].boolean);
    EXPECT_EQ(v["code"].number, 0);
    EXPECT_EQ(v["result"]["version"].number, 50202);
    EXPECT_EQ(v["result"]["compileTime"].text.size(), 20u);
    EXPECT_EQ(v["result"]["pkiModule"].text, "N/A");
    EXPECT_TRUE(std::filesystem::exists(v["result"]["module"].text));
}

TEST(ToolError, LooksUpCodesByNumberOrName) {
    ToolRun r = RunTool({"error", "-22", "6", "SHORT_BUF_ERROR"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "-22\tSIGNATURE_ERROR\tSignature is invalid or missing/Firma no es valida o falta\n"
              "-6\tBAD_PARAM_ERROR\tParameter is wrong or missing/El parametro es incorrecto o falta\n"
              "-30\tSHORT_BUF_ERROR\tNot enough room in output buffer/No suficiente espacio en el bufer de salida\n");

    // The cryptographic layer's codes have no row: reported, and the exit status says so.
    ToolRun unknown = RunTool({"error", "-9745", "--json"});
    EXPECT_EQ(unknown.status, 6);
    JsonValue v = Json(unknown);
    EXPECT_FALSE(v["ok"].boolean);
    ASSERT_EQ(v["result"].items.size(), 1u);
    EXPECT_EQ(v["result"].items[0]["code"].number, -9745);
    EXPECT_EQ(v["result"].items[0]["message"].kind, JsonValue::kNull);

    ToolRun table = RunTool({"error"});
    EXPECT_EQ(table.status, 0);
    EXPECT_EQ(std::count(table.out.begin(), table.out.end(), '\n'), 27);
}

class ToolFixBom : public ::testing::Test {
protected:
    void SetUp() override { dir_ = MakeScratchDir("fix-bom"); }
    std::string Path(const char* name) { return dir_ + "/" + name; }
    std::string dir_;
};

TEST_F(ToolFixBom, WritesTheMarkAndRefusesBadInput) {
    WriteFileBytes(Path("plain.xml"), "<a>\xC3\xB1</a>");
    ToolRun r = RunTool({"fix-bom", Path("plain.xml"), "-o", Path("out.xml")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadFileBytes(Path("out.xml")), "\xEF\xBB\xBF<a>\xC3\xB1</a>");
    EXPECT_EQ(ReadFileBytes(Path("plain.xml")), "<a>\xC3\xB1</a>");

    // Without -o the file is fixed in place.
    ASSERT_EQ(RunTool({"fix-bom", Path("plain.xml")}).status, 0);
    EXPECT_EQ(ReadFileBytes(Path("plain.xml")), "\xEF\xBB\xBF<a>\xC3\xB1</a>");

    // Latin-1 bytes are not UTF-8: malformed input, nothing written.
    WriteFileBytes(Path("latin1.xml"), "<a>\xF1</a>");
    ToolRun bad = RunTool({"fix-bom", Path("latin1.xml"), "-o", Path("none.xml")});
    EXPECT_EQ(bad.status, 6);
    EXPECT_NE(bad.err.find("is not valid UTF-8/El archivo no es valido UTF-8 (BAD_FORMAT_ERROR)"), std::string::npos)
        << bad.err;
    EXPECT_FALSE(std::filesystem::exists(Path("none.xml")));

    ToolRun missing = RunTool({"fix-bom", Path("missing.xml"), "--json"});
    EXPECT_EQ(missing.status, 3);
    JsonValue v = Json(missing);
    EXPECT_FALSE(v["ok"].boolean);
    EXPECT_EQ(v["code"].number, -1);
    EXPECT_EQ(v["error"].text, "OPEN_ERROR");
    EXPECT_NE(v["message"].text.find("Cannot open file '" + Path("missing.xml") + "'"), std::string::npos);
    EXPECT_EQ(v["result"].kind, JsonValue::kNull);
}

}  // namespace

namespace {

// Every export the header declares is reachable from a command of the tool.
TEST(ToolCoverage, EveryDeclaredExportHasACommand) {
    const std::map<std::string, std::string> command_for = {
        {"Version", "info"}, {"CompileTime", "info"}, {"ModuleName", "info"}, {"PKIVersion", "info"},
        {"PKICompileTime", "info"}, {"PKIModuleName", "info"}, {"LastError", "fix-bom"},
        {"ErrorLookup", "error"}, {"FixBOM", "fix-bom"}, {"XmlReceiptVersion", "version"},
        {"GetXmlAttribute", "attribute"}, {"MakePipeStringFromXml", "pipestring"},
        {"MakeDigestFromXml", "digest"}, {"MakeSignatureFromXml", "seal"},
        {"MakeSignatureFromXmlEx", "seal"}, {"SignXml", "sign"}, {"VerifySignature", "verify"},
        {"ExtractDigestFromSignature", "extract-digest"}, {"ValidateXml", "validate"},
        {"ValidateXmlFindings", "validate"},
        {"GetCertNumber", "cert"}, {"GetCertExpiry", "cert"}, {"GetCertAsString", "cert"},
        {"QueryCert", "cert"}, {"CheckKeyAndCert", "check-key"}, {"GetKeyAsString", "key-xml"},
        {"WritePfxFile", "pfx"}, {"OpenSigner", "sign"}, {"CloseSigner", "sign"},
        {"SignXmlWithSigner", "sign"}, {"MakeSignatureWithSigner", "seal"},
        {"TableRows", "table"}, {"XmlToJson", "json"},
    };
    std::string header = ReadFileBytes(std::string(KVN_SOURCE_DIR) + "/include/kelvane.h");
    std::regex declaration("KVN_API\\s+int\\s+KVN_(\\w+)\\s*\\(");
    size_t exports = 0;
    for (std::sregex_iterator it(header.begin(), header.end(), declaration), end; it != end; ++it) {
        std::string name = (*it)[1];
        ++exports;
        auto found = command_for.find(name);
        ASSERT_NE(found, command_for.end()) << "KVN_" << name << " has no command";
        EXPECT_EQ(RunTool({found->second, "--help"}).status, 0) << "KVN_" << name << ": " << found->second;
    }
    EXPECT_GE(exports, 9u);
}

}  // namespace
