// kelvane sign's checks before sealing: the certificate must be a seal certificate, valid at
// the invoice's Fecha and the issuer's; an invalid document is signed with a warning, or
// refused with --validate; --no-checks skips the checks.
#include <filesystem>
#include <fstream>
#include <string>

#include "tool_fixture.h"

namespace {

class ToolSignChecks : public ToolTest {};

std::string Corpus(const std::string& name) { return std::string(KVN_CORPUS_DIR) + "/" + name; }

TEST_F(ToolSignChecks, RefusesCertificatesThatMayNotSealTheInvoice) {
    const std::string invoice = Example("cfdi40-invoice.xml");
    const struct {
        const char* what;
        std::string cert;
        const char* message;
    } cases[] = {
        {"e.signature certificate", Corpus("certs/FIEL_AAA010101AAA.cer"), "not a seal certificate (CSD)"},
        {"another taxpayer's", Corpus("certs/EKU9003173C9_CSD.cer"), "not valid at the document's Fecha"},
        {"not yet valid", std::string(KVN_FIXTURES_DIR) + "/credentials/test-csd-2048.cer",
         "not valid at the document's Fecha 2024-05-20T11:42:08"},
    };
    for (const auto& c : cases) {
        ToolRun r = RunTool({"sign", invoice, "-k", Key(), "-c", c.cert, "--password-file", PasswordFile(), "-o",
                             Path("out.xml")});
        EXPECT_EQ(r.status, 7) << c.what << ": " << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.what << ": " << r.err;
        EXPECT_NE(r.err.find("(CERT_REFUSED)"), std::string::npos) << r.err;
        EXPECT_FALSE(std::ifstream(Path("out.xml")).good()) << c.what;
        // --no-checks goes on to the signing, which finds the key is not the certificate's.
        ToolRun forced = RunTool({"sign", invoice, "-k", Key(), "-c", c.cert, "--password-file", PasswordFile(),
                                  "-o", Path("out.xml"), "--no-checks"});
        EXPECT_EQ(forced.status, 1) << c.what << ": " << forced.err;
    }
}

TEST_F(ToolSignChecks, ForeignIssuerIsRefused) {
    // The example's own certificate, valid at its date, but the invoice names another issuer.
    std::string doc = ReadFileBytes(Example("cfdi40-invoice.xml"));
    doc.replace(doc.find("Rfc=\"AAA010101AAA\""), 18, "Rfc=\"EKU9003173C9\"");
    WriteFileBytes(Path("other.xml"), doc);
    ToolRun r = RunTool({"sign", Path("other.xml"), "-k", Key(), "-c", Cert(), "--password-file", PasswordFile(), "-o",
                         Path("out.xml")});
    EXPECT_EQ(r.status, 7) << r.err;
    EXPECT_NE(r.err.find("belongs to RFC AAA010101AAA, not to the document's issuer (Emisor Rfc EKU9003173C9)"),
              std::string::npos)
        << r.err;
}

TEST_F(ToolSignChecks, InvalidDocumentIsSignedWithAWarningOrRefused) {
    std::string doc = ReadFileBytes(Example("cfdi40-invoice.xml"));
    doc.replace(doc.find("Total=\"5015.00\""), 15, "Total=\"5016.00\"");
    WriteFileBytes(Path("bad.xml"), doc);
    ToolRun warned = RunTool({"sign", Path("bad.xml"), "-k", Key(), "-c", Cert(), "--password-file", PasswordFile(),
                              "-o", Path("signed.xml")});
    EXPECT_EQ(warned.status, 0) << warned.err;
    EXPECT_NE(warned.err.find("warning: the document fails validation (1 error; first: [/cfdi:Comprobante/@Total] "
                              "CFDI40119"),
              std::string::npos)
        << warned.err;
    ToolRun refused = RunTool({"sign", Path("bad.xml"), "-k", Key(), "-c", Cert(), "--password-file", PasswordFile(),
                               "-o", Path("refused.xml"), "--validate"});
    EXPECT_EQ(refused.status, 1) << refused.err;
    EXPECT_NE(refused.err.find("(INVALID_DOCUMENT)"), std::string::npos) << refused.err;
    EXPECT_FALSE(std::ifstream(Path("refused.xml")).good());
    // The valid example: no warning (its empty seal attributes are what signing fills in).
    ToolRun clean = RunTool({"sign", Example("cfdi40-invoice.xml"), "-k", Key(), "-c", Cert(), "--password-file",
                             PasswordFile(), "-o", Path("clean.xml"), "--validate"});
    EXPECT_EQ(clean.status, 0) << clean.err;
    EXPECT_EQ(clean.err.find("warning"), std::string::npos) << clean.err;
}

TEST_F(ToolSignChecks, BatchChecksEveryDocumentAgainstTheCertificate) {
    // The certificate is read once for the batch; each document still meets the checks.
    const std::string base = ReadFileBytes(Example("cfdi40-invoice.xml"));
    std::string foreign = base, invalid = base;
    foreign.replace(foreign.find("Rfc=\"AAA010101AAA\""), 18, "Rfc=\"EKU9003173C9\"");
    invalid.replace(invalid.find("Total=\"5015.00\""), 15, "Total=\"5016.00\"");
    std::filesystem::create_directories(Path("in"));
    WriteFileBytes(Path("in/a-clean.xml"), base);
    WriteFileBytes(Path("in/b-foreign.xml"), foreign);
    WriteFileBytes(Path("in/c-invalid.xml"), invalid);
    WriteFileBytes(Path("in/d-clean.xml"), base);
    ToolRun r = RunTool({"sign", Path("in"), "--out-dir", Path("out"), "-k", Key(), "-c", Cert(), "--password-file",
                         PasswordFile(), "-j", "2"});
    EXPECT_EQ(r.status, 7) << r.err;
    EXPECT_NE(r.err.find("b-foreign.xml"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("not to the document's issuer (Emisor Rfc EKU9003173C9)"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("warning: the document fails validation (1 error; first: [/cfdi:Comprobante/@Total]"),
              std::string::npos)
        << r.err;
    EXPECT_FALSE(std::ifstream(Path("out/b-foreign.xml")).good());
    for (const char* signedName : {"out/a-clean.xml", "out/c-invalid.xml", "out/d-clean.xml"}) {
        EXPECT_EQ(RunTool({"verify", Path(signedName)}).status, 0) << signedName;
    }
}

}  // namespace
