// Retenciones e información de pagos 1.0 and 2.0 through the public header: their roots and
// versions, their seal attributes, the one digest each version takes, and the stamp.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <string>

#include "api/seal_support.h"
#include "kelvane.h"

namespace {

using namespace seal_test;

const char kNumber1024[] = "30001000000300000123";
const char kNumber2048[] = "30001000000300000124";

// A Retenciones 1.0 document ready to be sealed (the three seal attributes present, empty).
const char kRet10[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<retenciones:Retenciones xmlns:retenciones="http://www.sat.gob.mx/esquemas/retencionpago/1" Version="1.0" FolioInt="17" Sello="" NumCert="" Cert="" FechaExp="2015-02-24T11:02:46-06:00" CveRetenc="16" DescRetenc="Intereses">
  <retenciones:Emisor RFCEmisor="AAA010101AAA" NomDenRazSocE="PRUEBAS ÑANDÚ &amp; CÍA"/>
  <retenciones:Receptor Nacionalidad="Nacional"><retenciones:Nacional RFCRecep="EKU9003173C9"/></retenciones:Receptor>
  <retenciones:Periodo MesIni="1" MesFin="12" Ejerc="2014"/>
  <retenciones:Totales montoTotOperacion="1200.00" montoTotGrav="1200.00" montoTotExent="0.00" montoTotRet="12.00">
    <retenciones:ImpRetenidos BaseRet="1200.00" Impuesto="01" montoRet="12.00" TipoPagoRet="Pago definitivo"/>
  </retenciones:Totales>
  <retenciones:Complemento/>
</retenciones:Retenciones>
)";

struct Kind {
    const char* name;
    int version;
    const char* certificate;  // the certificate's attribute
    const char* number;       // the certificate number's attribute
    const char* digest;       // openssl's name of the version's digest
    const char* other;        // a digest the version does not take
    const char* sheet;        // under esquemas/retencionpago/
};

const Kind kKinds[] = {
    {"1.0", KVN_VERSION_RET10, "Cert", "NumCert", "sha1", "sha256", "1/retenciones.xslt"},
    {"2.0", KVN_VERSION_RET20, "Certificado", "NoCertificado", "sha256", "sha1", "2/retenciones.xslt"},
};

class SealRetenciones : public testing::Test {
protected:
    TempDir dir_{"seal-ret"};

    // The kind's document in the temp directory, with one text replaced.
    std::string Document(const Kind& kind, const std::string& name, const std::string& from = "",
                         const std::string& to = "") {
        const std::string text = kind.version == KVN_VERSION_RET10 ? std::string(kRet10)
                                                                  : ReadFile(Example("retenciones20-dividendos.xml"));
        const std::string path = dir_ / name;
        WriteFile(path, from.empty() ? text : ReplaceFirst(text, from, to));
        return path;
    }

    static std::string StylesheetPipe(const Kind& kind, const std::string& file) {
        return seal_test::Run("xsltproc --nonet '" + Corpus(std::string("../sat/www.sat.gob.mx/esquemas/retencionpago/") + kind.sheet) +
                   "' '" + file + "' 2>/dev/null");
    }
};

// Each version's document signs, with the certificate attributes of its version, into a seal
// of its version's digest that openssl accepts over the stylesheet's text; a root that lacks
// the three seal attributes gets them; a signing session and the certificate fallback
// (the document standing in for the certificate) work on it as on an invoice.
TEST_F(SealRetenciones, SignedDocumentsVerifyHereAndWithThePeers) {
    for (const Kind& kind : kKinds) {
        SCOPED_TRACE(kind.name);
        const std::string ready = Document(kind, "ready.xml");
        const std::string bare =
            Document(kind, "bare.xml", std::string(" Sello=\"\" ") + kind.number + "=\"\" " + kind.certificate + "=\"\"", "");
        EXPECT_EQ(KVN_XmlReceiptVersion(ready.c_str()), kind.version);
        for (const std::string& input : {ready, bare}) {
            const std::string out = dir_ / "signed.xml";
            ASSERT_EQ(KVN_SignXml(out.c_str(), input.c_str(), Key(2048).c_str(), kPassword, Cert(2048).c_str(), 0), 0)
                << LastError();
            EXPECT_EQ(KVN_XmlReceiptVersion(out.c_str()), kind.version);
            const std::string seal = Attribute(out, "Sello", "Retenciones");
            EXPECT_EQ(seal.size(), 344u);
            EXPECT_EQ(Attribute(out, kind.number, "Retenciones"), kNumber2048);
            EXPECT_EQ(Attribute(out, kind.certificate, "Retenciones").size() % 4, 0u);
            EXPECT_EQ(KVN_VerifySignature(out.c_str(), nullptr, 0), 0) << LastError();
            EXPECT_EQ(KVN_VerifySignature(out.c_str(), Cert(2048).c_str(), 0), 0) << LastError();
            const std::string pipe = StylesheetPipe(kind, out);
            EXPECT_EQ(PipeString(out), pipe);
            EXPECT_NE(pipe.find(std::string("|") + kNumber2048 + "|"), std::string::npos);  // the number is sealed
            const EVP_MD* md = EVP_get_digestbyname(kind.digest);
            EXPECT_TRUE(PeerVerifies(Cert(2048), pipe, seal, md));
            EXPECT_EQ(Digest(out), PeerDigestHex(pipe, md));
            EXPECT_EQ(Lower(ExtractedDigest(out, nullptr)), Digest(out));
            EXPECT_TRUE(XmllintParses(out));

            // The document's certificate stands in for a certificate file.
            char number[64] = {};
            EXPECT_EQ(KVN_GetCertNumber(number, 63, out.c_str()), 20) << LastError();
            EXPECT_STREQ(number, kNumber2048);
        }

        // A session seals the same, and changing a sealed value breaks the seal.
        const int signer = KVN_OpenSigner(Key(1024).c_str(), kPassword, Cert(1024).c_str());
        ASSERT_GT(signer, 0) << LastError();
        const std::string out = dir_ / "session.xml";
        EXPECT_EQ(KVN_SignXmlWithSigner(signer, out.c_str(), bare.c_str(), 0), 0) << LastError();
        EXPECT_EQ(KVN_CloseSigner(signer), 0);
        EXPECT_EQ(Attribute(out, kind.number, "Retenciones"), kNumber1024);
        EXPECT_EQ(KVN_VerifySignature(out.c_str(), nullptr, 0), 0) << LastError();
        const std::string changed = dir_ / "changed.xml";
        WriteFile(changed, ReplaceFirst(ReadFile(out), "AAA010101AAA", "AAA010101AAB"));
        EXPECT_EQ(KVN_VerifySignature(changed.c_str(), nullptr, 0), -SIGNATURE_ERROR);
    }
}

// Seals made by openssl over the stylesheet's text: only the version's digest verifies
// (SHA-1 for 1.0, SHA-256 for 2.0); MD5 is refused when sealing either.
TEST_F(SealRetenciones, OnlyTheVersionsDigestVerifies) {
    const std::string pem = dir_ / "key.pem";
    int status = -1;
    seal_test::Run("openssl pkcs8 -inform DER -in '" + Key(1024) + "' -passin pass:" + kPassword + " -out '" + pem + "' 2>&1", &status);
    ASSERT_EQ(status, 0);
    for (const Kind& kind : kKinds) {
        SCOPED_TRACE(kind.name);
        const std::string doc = dir_ / "doc.xml", cadena = dir_ / "cadena.txt";
        ASSERT_EQ(KVN_SignXml(doc.c_str(), Document(kind, "in.xml").c_str(), Key(1024).c_str(), kPassword,
                              Cert(1024).c_str(), 0),
                  0)
            << LastError();
        WriteFile(cadena, StylesheetPipe(kind, doc));
        const std::string ourSeal = Attribute(doc, "Sello", "Retenciones");
        for (const char* digest : {kind.digest, kind.other}) {
            SCOPED_TRACE(digest);
            const std::string seal =
                seal_test::Run(std::string("openssl dgst -") + digest + " -sign '" + pem + "' '" + cadena + "' | openssl base64 -A");
            ASSERT_FALSE(seal.empty());
            const std::string resealed = dir_ / "resealed.xml";
            WriteFile(resealed, ReplaceFirst(ReadFile(doc), ourSeal, seal));
            const bool own = digest == kind.digest;
            EXPECT_EQ(seal == ourSeal, own);
            EXPECT_EQ(KVN_VerifySignature(resealed.c_str(), nullptr, 0), own ? 0 : -SIGNATURE_ERROR);
        }

        const std::string message = std::string("MD5 digest is not allowed for Retenciones version '") + kind.name +
                                    "'/El digesto MD5 no esta permitido para la version de Retenciones";
        EXPECT_EQ(KVN_MakeDigestFromXml(nullptr, 0, doc.c_str(), KVN_OPT_MD5), -BAD_FLAG_ERROR);
        EXPECT_EQ(LastError(), message);
        const std::string out = dir_ / "md5.xml";
        EXPECT_EQ(KVN_SignXml(out.c_str(), doc.c_str(), Key(1024).c_str(), kPassword, nullptr, KVN_OPT_MD5), -BAD_FLAG_ERROR);
        EXPECT_EQ(LastError(), message);
        EXPECT_FALSE(fs::exists(out));
    }
}

// A Retenciones root in another namespace or with another version is not supported, and the
// message names the version; one without Version has none.
TEST_F(SealRetenciones, RootsOutsideTheTableAreRefused) {
    const char ns1[] = "retencionpago/1\"", ns2[] = "retencionpago/2\"";
    const struct {
        const char* what;
        const Kind& kind;
        std::string from, to;
        int version;
        const char* message;
    } cases[] = {
        {"2.0 in the 1 namespace", kKinds[0], "Version=\"1.0\"", "Version=\"2.0\"", -NOT_SUPPORTED_ERROR,
         "CFD version '2.0' not supported/CFD version no es compatible"},
        {"1.0 in the 2 namespace", kKinds[0], ns1, ns2, -NOT_SUPPORTED_ERROR,
         "CFD version '1.0' not supported/CFD version no es compatible"},
        {"Version 1.1", kKinds[0], "Version=\"1.0\"", "Version=\"1.1\"", -NOT_SUPPORTED_ERROR,
         "CFD version '1.1' not supported/CFD version no es compatible"},
        {"Version 3.0", kKinds[1], "Version=\"2.0\" FolioInt", "Version=\"3.0\" FolioInt", -NOT_SUPPORTED_ERROR,
         "CFD version '3.0' not supported/CFD version no es compatible"},
        {"another namespace", kKinds[1], ns2, "retencionpago/3\"", -NOT_SUPPORTED_ERROR,
         "CFD version '2.0' not supported/CFD version no es compatible"},
        {"no Version", kKinds[0], " Version=\"1.0\"", "", -NO_MATCH_ERROR,
         "Cannot find the 'version' attribute/No se puede encontrar la 'version' atributo"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string file = Document(c.kind, "refused.xml", c.from, c.to);
        EXPECT_EQ(KVN_XmlReceiptVersion(file.c_str()), c.version);
        EXPECT_EQ(LastError(), c.message);
        const std::string out = dir_ / "out.xml";
        EXPECT_LT(KVN_MakePipeStringFromXml(nullptr, 0, file.c_str(), 0), 0);
        EXPECT_LT(KVN_SignXml(out.c_str(), file.c_str(), Key(1024).c_str(), kPassword, Cert(1024).c_str(), 0), 0);
        EXPECT_FALSE(fs::exists(out));
    }
}

// The stamp: 1.0 documents carry a stamp 1.0 (selloSAT), 2.0 documents a stamp 1.1
// (SelloSAT); stamp mode gives the stamp's pipe string and checks its seal.
TEST_F(SealRetenciones, StampsOfEachVersion) {
    const struct {
        const Kind& kind;
        const char* stamp;  // the stamp with an empty stamp seal, SELLO standing for the seal
        const char* sealName;
        const char* sheet;  // under sitio_internet/
    } cases[] = {
        {kKinds[0],
         "<tfd:TimbreFiscalDigital xmlns:tfd=\"http://www.sat.gob.mx/TimbreFiscalDigital\" version=\"1.0\" "
         "UUID=\"54B4DF54-8EBC-4445-B7F9-22AB46162529\" FechaTimbrado=\"2015-02-24T11:05:00\" selloCFD=\"SELLO\" "
         "noCertificadoSAT=\"30001000000300000124\" selloSAT=\"\"/>",
         "selloSAT", "timbrefiscaldigital/cadenaoriginal_TFD_1_0.xslt"},
        {kKinds[1],
         "<tfd:TimbreFiscalDigital xmlns:tfd=\"http://www.sat.gob.mx/TimbreFiscalDigital\" Version=\"1.1\" "
         "UUID=\"6F1C2A3B-4D5E-4F60-8A9B-0C1D2E3F4A5B\" FechaTimbrado=\"2024-07-15T10:21:00\" "
         "RfcProvCertif=\"SPR190613I52\" SelloCFD=\"SELLO\" NoCertificadoSAT=\"30001000000300000124\" SelloSAT=\"\"/>",
         "SelloSAT", "cfd/TimbreFiscalDigital/cadenaoriginal_TFD_1_1.xslt"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.kind.name);
        const std::string signedFile = dir_ / "signed.xml";
        ASSERT_EQ(KVN_SignXml(signedFile.c_str(), Document(c.kind, "in.xml").c_str(), Key(1024).c_str(), kPassword,
                              Cert(1024).c_str(), 0),
                  0);
        const std::string stamp = ReplaceFirst(c.stamp, "SELLO", Attribute(signedFile, "Sello", "Retenciones"));
        std::string text = ReadFile(signedFile);
        const std::size_t end = text.rfind("</retenciones:Retenciones>");
        text.insert(end, "<retenciones:Complemento>" + stamp + "</retenciones:Complemento>");
        text = ReplaceFirst(text, "<retenciones:Complemento></retenciones:Complemento>", "");  // the empty one
        const std::string stamped = dir_ / "stamped.xml";
        WriteFile(stamped, text);
        char stampSeal[400] = {};
        ASSERT_EQ(KVN_MakeSignatureFromXmlEx(stampSeal, 399, stamped.c_str(), Key(2048).c_str(), kPassword, KVN_OPT_STAMP),
                  344)
            << LastError();
        WriteFile(stamped, ReplaceFirst(ReadFile(stamped), std::string(c.sealName) + "=\"\"",
                                        std::string(c.sealName) + "=\"" + stampSeal + "\""));

        EXPECT_EQ(KVN_VerifySignature(stamped.c_str(), Cert(2048).c_str(), KVN_OPT_STAMP), 0) << LastError();
        const std::string pipe = PipeString(stamped, KVN_OPT_STAMP);
        EXPECT_EQ(pipe, StampStylesheetPipeString(stamped, Corpus(std::string("../sat/www.sat.gob.mx/sitio_internet/") + c.sheet)));
        EXPECT_TRUE(PeerVerifies(Cert(2048), pipe, stampSeal, EVP_get_digestbyname(c.kind.digest)));
        EXPECT_EQ(KVN_VerifySignature(stamped.c_str(), nullptr, 0), 0) << LastError();  // the issuer's seal still holds
        EXPECT_EQ(KVN_VerifySignature(stamped.c_str(), nullptr, KVN_OPT_STAMP), -MISSING_ERROR);
    }
}

}  // namespace

namespace {

int Validate(const std::string& file) { return KVN_ValidateXml(file.c_str(), 0); }

// Validation against the authority's schemas of each version and its catalogs: the signed
// corpus documents of 1.0 (stamp 1.0) are valid, and so is a signed 2.0 example; a stamp of
// the other version's kind, a value outside a pattern or a catalog, and a missing seal
// attribute are not.
TEST(RetencionesValidation, EachVersionWithItsSchemasAndStamp) {
    TempDir dir("ret-validate");
    for (const char* name : {"satcfdi_retenciones10-ejemplo.xml", "satcfdi_retenciones10-intereses.xml",
                             "satcfdi_retenciones10-sector-financiero.xml", "cfdiutils_retenciones10.xml"}) {
        EXPECT_EQ(Validate(Corpus(std::string("retenciones10/") + name)), 0) << name << " " << LastError();
    }
    const std::string example = dir / "signed.xml";
    ASSERT_EQ(KVN_SignXml(example.c_str(), Example("retenciones20-dividendos.xml").c_str(), Key(1024).c_str(), kPassword,
                          Cert(1024).c_str(), 0),
              0);
    EXPECT_EQ(Validate(example), 0) << LastError();

    const std::string stamp11 =
        "<tfd:TimbreFiscalDigital xmlns:tfd=\"http://www.sat.gob.mx/TimbreFiscalDigital\" Version=\"1.1\" "
        "UUID=\"6F1C2A3B-4D5E-4F60-8A9B-0C1D2E3F4A5B\" FechaTimbrado=\"2024-07-15T10:21:00\" RfcProvCertif=\"SPR190613I52\" "
        "SelloCFD=\"QUJD\" NoCertificadoSAT=\"30001000000300000124\" SelloSAT=\"QUJD\"/>";
    const std::string stamp10 =
        "<tfd:TimbreFiscalDigital xmlns:tfd=\"http://www.sat.gob.mx/TimbreFiscalDigital\" version=\"1.0\" "
        "UUID=\"6F1C2A3B-4D5E-4F60-8A9B-0C1D2E3F4A5B\" FechaTimbrado=\"2024-07-15T10:21:00\" selloCFD=\"QUJD\" "
        "noCertificadoSAT=\"30001000000300000124\" selloSAT=\"QUJD\"/>";
    const std::string ret10 = ReadFile(Corpus("retenciones10/satcfdi_retenciones10-intereses.xml"));
    const std::size_t tfd10 = ret10.find("<tfd:TimbreFiscalDigital");
    const std::string ret10With11 = ret10.substr(0, tfd10) + stamp11 + ret10.substr(ret10.find("/>", tfd10) + 2);
    const struct {
        const char* what;
        std::string text;
        int result;
    } cases[] = {
        {"2.0 with a stamp 1.1", ReplaceFirst(ReadFile(example), "</dividendos:Dividendos>",
                                              "</dividendos:Dividendos>" + stamp11), 0},
        {"2.0 with a stamp 1.0", ReplaceFirst(ReadFile(example), "</dividendos:Dividendos>",
                                              "</dividendos:Dividendos>" + stamp10), -BAD_XML_ERROR},
        {"1.0 with a stamp 1.1", ret10With11, -BAD_XML_ERROR},
        {"FolioInt outside its pattern", ReplaceFirst(ReadFile(example), "DIV202407", "DIV-2024"), -XML_FACET_ERROR},
        {"a regime outside the catalog", ReplaceFirst(ReadFile(example), "RegimenFiscalE=\"601\"", "RegimenFiscalE=\"699\""),
         -XML_FACET_ERROR},
        {"no Sello", ReplaceFirst(ret10, " Sello=\"", " Sellos=\""), -BAD_XML_ERROR},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string file = dir / "case.xml";
        WriteFile(file, c.text);
        EXPECT_EQ(Validate(file), c.result) << LastError();
    }
}

}  // namespace
