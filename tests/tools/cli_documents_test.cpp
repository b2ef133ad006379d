// Document commands run as a user would: sign, verify, validate, pipestring, digest, seal,
// extract-digest, attribute and version, on the example invoices.
#include <cstdio>
#include <filesystem>
#include <regex>

#include "tool_fixture.h"

namespace {

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string Replace(std::string s, const std::string& from, const std::string& to) {
    size_t at = s.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) s.replace(at, from.size(), to);
    return s;
}

// Output of a shell command, or nullopt when it cannot run or fails.
std::optional<std::string> Capture(const std::string& command) {
    FILE* p = popen(command.c_str(), "r");
    if (!p) return std::nullopt;
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    return pclose(p) == 0 ? std::optional<std::string>(out) : std::nullopt;
}

class ToolDocuments : public ToolTest {};

TEST_F(ToolDocuments, SignedExampleVerifiesAndValidates) {
    std::string signed_doc = SignExample("cfdi32-invoice.xml", "signed.xml");

    ToolRun verify = RunTool({"verify", signed_doc});
    EXPECT_EQ(verify.status, 0) << verify.err;
    EXPECT_EQ(verify.out, signed_doc + ": valid seal\n");
    EXPECT_EQ(verify.err, "");
    // Against the certificate file as well as the embedded one.
    EXPECT_EQ(RunTool({"verify", signed_doc, "-c", Cert()}).status, 0);

    ToolRun validate = RunTool({"validate", signed_doc});
    EXPECT_EQ(validate.status, 0) << validate.err;
    EXPECT_EQ(validate.out, signed_doc + ": valid\n");
    ToolRun number = RunTool({"attribute", signed_doc, "noCertificado"});
    EXPECT_EQ(number.out, "30001000000300000123\n");
}

// Each example, signed by the tool, passes the tax authority's schema (xmllint) and its seal
// is a valid RSA-SHA1 signature of the tool's pipe string (openssl).
TEST_F(ToolDocuments, SignedExamplesPassIndependentPeers) {
    struct Case {
        const char* example;
        const char* schema;  // null: the schema needs a catalogue that is not available offline
        const char* sealName;
        const char* digest;
    } cases[] = {
        {"cfdi32-invoice.xml", "cfdv32.xsd", "sello", "sha1"},
        {"cfdi30-invoice.xml", "cfdv3.xsd", "sello", "sha1"},
        {"cfd22-invoice.xml", "cfdv22.xsd", "sello", "sha1"},
        {"cfd20-invoice.xml", "cfdv2.xsd", "sello", "sha1"},
        {"cfdi40-invoice.xml", nullptr, "Sello", "sha256"},
    };
    ASSERT_TRUE(Capture("openssl x509 -inform DER -in '" + Cert() + "' -pubkey -noout > '" + Path("pub.pem") + "'"));
    for (const Case& c : cases) {
        std::string doc = SignExample(c.example, c.example);
        if (c.schema) {
            EXPECT_TRUE(Capture("xmllint --noout --schema '" + std::string(KVN_CORPUS_DIR) + "/xsd/" + c.schema + "' '" +
                                doc + "' 2>&1"))
                << c.example << " fails its schema";
        }
        std::string pipe = RunTool({"pipestring", doc}).out;
        WriteFileBytes(Path("pipe.txt"), pipe.substr(0, pipe.size() - 1));
        if (!c.schema) {
            // The 4.0 seal is checked over the authority's stylesheet text.
            ASSERT_TRUE(Capture("xsltproc --nonet '" + std::string(KVN_CORPUS_DIR) +
                                "/../sat/www.sat.gob.mx/sitio_internet/cfd/4/cadenaoriginal_4_0/cadenaoriginal_4_0.xslt' '" +
                                doc + "' 2>/dev/null > '" + Path("pipe.txt") + "'"));
            EXPECT_EQ(ReadFileBytes(Path("pipe.txt")) + "\n", pipe);
        }
        std::string seal = RunTool({"attribute", doc, c.sealName}).out;
        WriteFileBytes(Path("seal.b64"), seal);
        auto verified = Capture("openssl base64 -d -A -in '" + Path("seal.b64") + "' -out '" + Path("seal.bin") +
                                "' && openssl dgst -" + c.digest + " -verify '" + Path("pub.pem") + "' -signature '" +
                                Path("seal.bin") + "' '" + Path("pipe.txt") + "'");
        EXPECT_EQ(verified.value_or("(openssl failed)"), "Verified OK\n") << c.example;
    }
}

TEST_F(ToolDocuments, ChangedTotalBreaksTheSeal) {
    std::string signed_doc = SignExample("cfdi32-invoice.xml", "signed.xml");
    WriteFileBytes(Path("tampered.xml"),
                   Replace(ReadFileBytes(signed_doc), "total=\"4930.00\"", "total=\"4390.00\""));
    ToolRun r = RunTool({"verify", Path("tampered.xml")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "kelvane verify: " + Path("tampered.xml") +
                         ": Invalid signature/Firma no valida (SIGNATURE_ERROR)\n"
                         "  the document no longer matches its seal: it was changed after it was sealed\n");

    JsonValue v = Json(RunTool({"verify", Path("tampered.xml"), "--json"}));
    EXPECT_FALSE(v["ok"].boolean);
    EXPECT_EQ(v["summary"]["failed"].number, 1);
    ASSERT_EQ(v["results"].items.size(), 1u);
    const JsonValue& result = v["results"].items[0];
    EXPECT_EQ(result["file"].text, Path("tampered.xml"));
    EXPECT_EQ(result["code"].number, -22);
    EXPECT_EQ(result["error"].text, "SIGNATURE_ERROR");
    EXPECT_EQ(result["message"].text, "Invalid signature/Firma no valida");
}

TEST_F(ToolDocuments, SignWritesToStandardOutputWithoutOutputOption) {
    std::string signed_doc = SignExample("cfdi32-invoice.xml", "signed.xml");
    ToolRun r = RunTool({"sign", Example("cfdi32-invoice.xml"), "-k", Key(), "-c", Cert(), "--password-file",
                         PasswordFile()});
    ASSERT_EQ(r.status, 0) << r.err;
    // PKCS#1 v1.5 signatures are deterministic: the same document comes out byte for byte.
    EXPECT_EQ(r.out, ReadFileBytes(signed_doc));
    EXPECT_EQ(r.out.rfind("\xEF\xBB\xBF<?xml", 0), 0u);

    ToolRun nobom = RunTool({"sign", Example("cfdi32-invoice.xml"), "-k", Key(), "--password-file",
                             PasswordFile(), "--no-bom"});
    ASSERT_EQ(nobom.status, 0) << nobom.err;
    EXPECT_EQ(nobom.out.rfind("<?xml", 0), 0u);
}

TEST_F(ToolDocuments, SignFailuresHaveTheirOwnExitStatus) {
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* error;
    } cases[] = {
        {{"sign", Example("cfdi32-invoice.xml"), "-k", Key(), "--password", "wrong", "-o", Path("o.xml")}, 5,
         "(DECRYPT_ERROR)"},
        {{"sign", Path("missing.xml"), "-k", Key(), "--password", kPassword, "-o", Path("o.xml")}, 3,
         "(OPEN_ERROR)"},
        {{"sign", Example("cfdi32-invoice.xml"), "-k", Key(), "--password", kPassword, "-o",
          Path("no/such/dir/o.xml")},
         4, "kelvane sign: "},
        {{"sign", Example("cfdi32-invoice.xml"), "-k", Key(), "-c", Example("README.md"), "--password", kPassword,
          "-o", Path("o.xml")},
         6, "Invalid X.509 certificate/Certificado no valido X.509"},
    };
    for (const Case& c : cases) {
        ToolRun r = RunTool(c.args);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_NE(r.err.find(c.error), std::string::npos) << r.err;
    }
    EXPECT_FALSE(std::filesystem::exists(Path("o.xml")));
}

TEST_F(ToolDocuments, PipeStringsAgreeWithTheTaxAuthorityStylesheets) {
    struct Case {
        const char* example;
        const char* stylesheet;
    } cases[] = {
        {"cfdi32-invoice.xml", "cadenaoriginal_3_2.xslt"},
        {"cfdi30-invoice.xml", "cadenaoriginal_3_0.xslt"},
        {"cfd22-invoice.xml", "cadenaoriginal_2_2.xslt"},
        {"cfd20-invoice.xml", "cadenaoriginal_2_0.xslt"},
    };
    for (const Case& c : cases) {
        auto expected = Capture("xsltproc '" + std::string(KVN_CORPUS_DIR) + "/xslt/" + c.stylesheet + "' '" +
                                Example(c.example) + "' 2>/dev/null");
        ASSERT_TRUE(expected.has_value()) << "xsltproc could not run " << c.stylesheet;
        ToolRun r = RunTool({"pipestring", Example(c.example)});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, *expected + "\n") << c.example;
    }

    // A pipe string longer than the tool's first buffer is asked for again, whole.
    std::string doc = ReadFileBytes(Example("cfdi32-invoice.xml"));
    const size_t concepts = doc.find("    <cfdi:Concepto "), end = doc.find("  </cfdi:Conceptos>");
    std::string many;
    for (int i = 0; i < 100; ++i) many += doc.substr(concepts, end - concepts);
    doc.replace(concepts, end - concepts, many);
    WriteFileBytes(Path("long.xml"), doc);
    auto expected = Capture("xsltproc '" + std::string(KVN_CORPUS_DIR) + "/xslt/cadenaoriginal_3_2.xslt' '" +
                            Path("long.xml") + "' 2>/dev/null");
    ASSERT_TRUE(expected.has_value());
    ASSERT_GT(expected->size(), 10000u);
    ToolRun r = RunTool({"pipestring", Path("long.xml")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, *expected + "\n");

    // Latin-1 on request; JSON carries those bytes as the same characters.
    ToolRun latin1 = RunTool({"pipestring", Example("cfdi32-invoice.xml"), "--latin1"});
    EXPECT_NE(latin1.out.find("Pruebas \xD1" "and\xFA"), std::string::npos);
    JsonValue v = Json(RunTool({"pipestring", Example("cfdi32-invoice.xml"), "--latin1", "--json"}));
    EXPECT_NE(v["result"].text.find("Pruebas Ñandú & Cía"), std::string::npos);
}

TEST_F(ToolDocuments, DigestSealAndExtractedDigestAgree) {
    std::string signed_doc = SignExample("cfdi32-invoice.xml", "signed.xml");

    ToolRun seal = RunTool({"seal", Example("cfdi32-invoice.xml"), "-k", Key(), "--password-file", PasswordFile()});
    ASSERT_EQ(seal.status, 0) << seal.err;
    EXPECT_EQ(seal.out, RunTool({"attribute", signed_doc, "sello"}).out);
    EXPECT_EQ(seal.out.size(), 172u + 1);  // a 1024-bit key gives 128 bytes, 172 base64 characters

    ToolRun digest = RunTool({"digest", signed_doc});
    ToolRun extracted = RunTool({"extract-digest", signed_doc});
    ASSERT_EQ(digest.status, 0) << digest.err;
    ASSERT_EQ(extracted.status, 0) << extracted.err;
    EXPECT_TRUE(std::regex_match(digest.out, std::regex("[0-9a-f]{40}\n"))) << digest.out;
    EXPECT_EQ(Lower(extracted.out), digest.out);

    // An MD5 seal: the digest length inside it tells the verifier the algorithm.
    ToolRun md5 = RunTool({"sign", Example("cfdi32-invoice.xml"), "-k", Key(), "-c", Cert(), "--password-file",
                           PasswordFile(), "--md5", "-o", Path("md5.xml")});
    ASSERT_EQ(md5.status, 0) << md5.err;
    EXPECT_EQ(RunTool({"extract-digest", Path("md5.xml")}).out.size(), 32u + 1);
    EXPECT_EQ(Lower(RunTool({"extract-digest", Path("md5.xml")}).out), RunTool({"digest", Path("md5.xml"), "--md5"}).out);
    EXPECT_EQ(RunTool({"verify", Path("md5.xml")}).status, 0);
}

TEST_F(ToolDocuments, VersionAndAttributeQueries) {
    struct Case {
        const char* example;
        const char* out;
    } versions[] = {
        {"cfdi40-invoice.xml", "CFDI 4.0 (40)\n"},
        {"cfdi32-invoice.xml", "CFDI 3.2 (32)\n"},
        {"cfdi30-invoice.xml", "CFDI 3.0 (3)\n"},
        {"cfd22-invoice.xml", "CFD 2.2 (22)\n"},
        {"cfd20-invoice.xml", "CFD 2.0 (2)\n"},
    };
    for (const Case& c : versions) EXPECT_EQ(RunTool({"version", Example(c.example)}).out, c.out);
    JsonValue v = Json(RunTool({"version", Example("cfdi32-invoice.xml"), "--json"}));
    EXPECT_EQ(v["result"]["number"].number, 32);

    EXPECT_EQ(RunTool({"attribute", Example("cfdi32-invoice.xml"), "importe", "cfdi:Concepto[2]"}).out, "2500.00\n");
    EXPECT_EQ(RunTool({"attribute", Example("cfdi32-invoice.xml"), "nombre", "cfdi:Emisor"}).out,
              "Pruebas Ñandú & Cía S.A. de C.V.\n");
    ToolRun absent = RunTool({"attribute", Example("cfdi32-invoice.xml"), "noSuch"});
    EXPECT_EQ(absent.status, 6);
    EXPECT_NE(absent.err.find("(NO_MATCH_ERROR)"), std::string::npos) << absent.err;

    WriteFileBytes(Path("v40.xml"), "<Comprobante version=\"4.0\"/>");
    ToolRun unsupported = RunTool({"version", Path("v40.xml")});
    EXPECT_EQ(unsupported.status, 6);
    EXPECT_NE(unsupported.err.find("(NOT_SUPPORTED_ERROR)"), std::string::npos) << unsupported.err;
}

TEST_F(ToolDocuments, ValidateReportsEveryProblem) {
    std::string doc = ReadFileBytes(Example("cfdi32-invoice.xml"));
    doc = Replace(doc, "rfc=\"AAA010101AAA\"", "rfc=\"AAA01010\"");
    doc = Replace(doc, "noCertificado=\"\"", "noCertificado=\"30001000000300000123\"");
    WriteFileBytes(Path("bad-rfc.xml"), doc);
    ToolRun r = RunTool({"validate", Path("bad-rfc.xml")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Bad attribute/atributo mal [cfdi:Emisor/@rfc]"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("(XML_FACET_ERROR)"), std::string::npos) << r.err;
    // The structure alone is fine.
    EXPECT_EQ(RunTool({"validate", Path("bad-rfc.xml"), "--no-facets"}).status, 0);

    WriteFileBytes(Path("truncated.xml"), doc.substr(0, doc.size() / 2));
    EXPECT_EQ(RunTool({"validate", Path("truncated.xml")}).status, 1);
    EXPECT_EQ(RunTool({"validate", Path("missing.xml")}).status, 3);
}

// CFDI 4.0: the signed example is valid (the checks that need catalogs the snapshot lacks are
// warnings); a broken one lists every finding under the file, in text and in JSON.
TEST_F(ToolDocuments, ValidateListsTheFindingsOfA40Invoice) {
    const std::string signed40 = SignExample("cfdi40-invoice.xml", "signed40.xml");
    ToolRun valid = RunTool({"validate", signed40});
    EXPECT_EQ(valid.status, 0) << valid.err;
    EXPECT_EQ(valid.out.rfind(signed40 + ": valid\n", 0), 0u) << valid.out;
    EXPECT_NE(valid.out.find(": warning CATALOG-ABSENT /cfdi:Comprobante/cfdi:Conceptos/cfdi:Concepto/@ClaveProdServ: "),
              std::string::npos)
        << valid.out;

    std::string doc = ReadFileBytes(signed40);
    doc = Replace(doc, "Moneda=\"MXN\"", "Moneda=\"ZZZ\"");
    doc = Replace(doc, "<cfdi:Emisor ", "<cfdi:Emisor Extra=\"1\" ");
    WriteFileBytes(Path("bad40.xml"), doc);
    ToolRun bad = RunTool({"validate", Path("bad40.xml")});
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.out.find(Path("bad40.xml") + ":2: error CATALOG-VALUE /cfdi:Comprobante/@Moneda: 'ZZZ' is not"),
              std::string::npos)
        << bad.out;
    EXPECT_NE(bad.out.find(": error XSD-ATTRIBUTE-UNKNOWN /cfdi:Comprobante/cfdi:Emisor/@Extra: "), std::string::npos)
        << bad.out;
    EXPECT_NE(bad.err.find("(XML_FACET_ERROR)"), std::string::npos) << bad.err;
    EXPECT_EQ(RunTool({"validate", Path("bad40.xml"), "--no-facets"}).status, 1);  // the attribute stays

    JsonValue v = Json(RunTool({"validate", Path("bad40.xml"), "--json"}));
    const JsonValue& findings = v["results"].items.at(0)["findings"];
    ASSERT_GE(findings.items.size(), 2u);
    EXPECT_EQ(findings.items[0]["code"].text, "CATALOG-VALUE");
    EXPECT_EQ(findings.items[0]["kind"].text, "catalog");
    EXPECT_EQ(findings.items[0]["attribute"].text, "Moneda");
    EXPECT_EQ(findings.items[0]["value"].text, "ZZZ");
    EXPECT_EQ(findings.items[0]["line"].number, 2);

    // A catalog folder that has the catalog the snapshot lacks: the warning goes.
    std::filesystem::create_directories(Path("catalogos"));
    WriteFileBytes(Path("catalogos/c_ClaveProdServ.csv"),
                   "id,texto,vigencia_desde,vigencia_hasta\n25172002,Balatas,2022-01-01,\n78181500,Taller,2022-01-01,\n");
    ToolRun folder = RunTool({"validate", signed40, "--catalogs", Path("catalogos")});
    EXPECT_EQ(folder.status, 0) << folder.err;
    EXPECT_EQ(folder.out.find("ClaveProdServ"), std::string::npos) << folder.out;
    EXPECT_EQ(RunTool({"validate", signed40, "--catalogs", Path("no-such-folder")}).status, 2);
    WriteFileBytes(Path("catalogos/c_Moneda.csv"), "id,texto\n\"MXN,Peso\n");
    ToolRun malformed = RunTool({"validate", signed40, "--catalogs", Path("catalogos")});
    EXPECT_EQ(malformed.status, 6);
    EXPECT_NE(malformed.err.find("c_Moneda.csv"), std::string::npos) << malformed.err;
}

}  // namespace
