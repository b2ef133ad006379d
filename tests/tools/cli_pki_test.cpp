// Certificate and key commands: cert, check-key, key-xml and pfx.
#include <filesystem>
#include <regex>

#include "tool_fixture.h"

namespace {

class ToolPki : public ToolTest {};

TEST_F(ToolPki, CertFieldsFromCertificateOrSignedInvoice) {
    ToolRun all = RunTool({"cert", Cert()});
    ASSERT_EQ(all.status, 0) << all.err;
    EXPECT_NE(all.out.find("number:            30001000000300000123\n"), std::string::npos) << all.out;
    EXPECT_NE(all.out.find("rfc:               AAA010101AAA\n"), std::string::npos) << all.out;
    EXPECT_NE(all.out.find("organizationName:  Pruebas Ñandú & Cía S.A. de C.V.\n"), std::string::npos) << all.out;

    EXPECT_EQ(RunTool({"cert", Cert(), "number"}).out, "30001000000300000123\n");
    EXPECT_TRUE(std::regex_match(RunTool({"cert", Cert(), "expiry"}).out,
                                 std::regex("\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ\n")));
    EXPECT_EQ(RunTool({"cert", Cert(), "organization", "--latin1"}).out, "Pruebas \xD1" "and\xFA & C\xED" "a S.A. de C.V.\n");

    JsonValue v = Json(RunTool({"cert", Cert(), "--all", "--json"}));
    ASSERT_TRUE(v["ok"].boolean);
    EXPECT_EQ(v["result"]["number"].text, "30001000000300000123");
    EXPECT_LT(v["result"]["notBefore"].text, v["result"]["notAfter"].text);
    EXPECT_GT(v["result"]["base64"].text.size(), 500u);

    // A signed invoice stands in for its certificate.
    std::string signed_doc = SignExample("cfdi32-invoice.xml", "signed.xml");
    EXPECT_EQ(RunTool({"cert", signed_doc, "--all"}).out, RunTool({"cert", Cert(), "--all"}).out);

    ToolRun bad_query = RunTool({"cert", Cert(), "--query", "RFC"});
    EXPECT_EQ(bad_query.status, 6);
    EXPECT_NE(bad_query.err.find("'RFC' is not a valid query/no es una consulta valida (BAD_QUERY_ERROR)"),
              std::string::npos)
        << bad_query.err;
    // A certificate file that is not there is an input that cannot be read.
    ToolRun missing = RunTool({"cert", Path("missing.cer"), "number"});
    EXPECT_EQ(missing.status, 3);
    EXPECT_NE(missing.err.find("Cannot open file '" + Path("missing.cer") + "'"), std::string::npos) << missing.err;
    EXPECT_EQ(RunTool({"cert", Cert(), "colour"}).status, 2);
}

TEST_F(ToolPki, CheckKeyMatchesOnlyItsOwnCertificate) {
    ToolRun ok = RunTool({"check-key", "-k", Key(), "-c", Cert(), "--password-file", PasswordFile()});
    EXPECT_EQ(ok.status, 0) << ok.err;
    EXPECT_EQ(ok.out, "key " + Key() + " matches certificate " + Cert() + "\n");

    std::string other = std::string(KVN_CORPUS_DIR) + "/certs/CSD01_AAA010101AAA.cer";
    ToolRun mismatch = RunTool({"check-key", "-k", Key(), "-c", other, "--password-file", PasswordFile()});
    EXPECT_EQ(mismatch.status, 1);
    EXPECT_NE(mismatch.err.find("Private key does not match key in certificate"), std::string::npos) << mismatch.err;

    ToolRun wrong = RunTool({"check-key", "-k", Key(), "-c", Cert(), "--password", "nope", "--json"});
    EXPECT_EQ(wrong.status, 5);
    JsonValue v = Json(wrong);
    EXPECT_EQ(v["code"].number, -15);
    EXPECT_NE(v["message"].text.find("Cannot read private key/No se puede leer la clave privada"), std::string::npos);

    EXPECT_EQ(RunTool({"check-key", "-k", Key(), "--password-file", PasswordFile()}).status, 2);  // no -c
}

TEST_F(ToolPki, KeyXmlAndPfx) {
    ToolRun b64 = RunTool({"key-xml", "-k", Key(), "--password-file", PasswordFile()});
    ASSERT_EQ(b64.status, 0) << b64.err;
    EXPECT_TRUE(std::regex_match(b64.out, std::regex("[A-Za-z0-9+/]+=*\n"))) << b64.out;
    ToolRun xml = RunTool({"key-xml", "-k", Key(), "--password-file", PasswordFile(), "--xml"});
    EXPECT_EQ(xml.out.rfind("<RSAKeyValue><Modulus>", 0), 0u) << xml.out;

    ToolRun pfx = RunTool({"pfx", "-k", Key(), "-c", Cert(), "--password-file", PasswordFile(), "-o", Path("a.pfx"),
                           "--pfx-password", "pfx-secret"});
    ASSERT_EQ(pfx.status, 0) << pfx.err;
    std::string text = ReadFileBytes(Path("a.pfx"));
    EXPECT_TRUE(std::regex_match(text, std::regex("([A-Za-z0-9+/]{64}\n)*[A-Za-z0-9+/=]{1,64}\n"))) << text;
    std::string other = std::string(KVN_CORPUS_DIR) + "/certs/CSD01_AAA010101AAA.cer";
    ToolRun mismatch = RunTool({"pfx", "-k", Key(), "-c", other, "--password-file", PasswordFile(), "-o", Path("b.pfx")});
    EXPECT_EQ(mismatch.status, 1);
    EXPECT_FALSE(std::filesystem::exists(Path("b.pfx")));
}

}  // namespace
