// Our DTD pass against xmllint --dtdvalid with the same DTD file, on the fixture invoices
// and on mutated copies of them. xmllint sees a copy made by peer_copy.xsl (canonical
// prefixes, no xsi: attributes, no Addenda content: what our validator sees or ignores);
// its complaints about undeclared xmlns attributes (declarations our parser never hands
// to the validator) are not counted.
#include <unistd.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "base/lasterror.h"
#include "cfdi/dtd_catalogue.h"
#include "cfdi/validate.h"
#include "kelvane.h"

namespace kvn {
namespace {

const std::string kFixtures = std::string(KVN_FIXTURES_DIR) + "/validation/";
const std::string kWork = std::string(KVN_BINARY_DIR) + "/validate_peer_" + std::to_string(::getpid()) + "_";

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string DtdPath(int version) {
    return std::string(KVN_SOURCE_DIR) + "/src/cfdi/dtd/cfdv" + std::to_string(version) + ".dtd";
}

// xmllint's verdict: the validity errors it reports (filtered), or a parser error.
struct PeerVerdict {
    bool valid;
    std::string report;
};

PeerVerdict RunXmllint(const std::string& document, int version) {
    std::string copy = kWork + "copy.xml", out = kWork + "xmllint.txt";
    std::string cmd = "xsltproc '" + kFixtures + "peer_copy.xsl' '" + document + "' > '" + copy +
                      "' && xmllint --noout --dtdvalid '" + DtdPath(version) + "' '" + copy + "' > '" + out +
                      "' 2>&1";
    EXPECT_NE(std::system(cmd.c_str()), -1);
    std::string report = ReadFile(out);
    std::remove(copy.c_str());
    std::remove(out.c_str());
    EXPECT_EQ(report.find("parser error"), std::string::npos) << report;
    std::istringstream lines(report);
    std::string line, errors;
    while (std::getline(lines, line)) {
        if (line.find("validity error") == std::string::npos) continue;
        if (line.find("No declaration for attribute xmlns") != std::string::npos) continue;
        errors += line + "\n";
    }
    return {errors.empty(), errors};
}

struct Ours {
    bool valid;
    std::string messages;
};

Ours RunOurs(const std::string& document, int version) {
    ClearLastError();
    int result = ResultOf(ValidateAgainstDtd(document.c_str(), DtdPath(version).c_str()));
    EXPECT_NE(result, -BAD_DTD_ERROR) << LastErrorText();
    return {result >= 0, LastErrorText()};
}

// Line-wise mutations of a fixture.
using Lines = std::vector<std::string>;

Lines Split(const std::string& text) {
    Lines lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
}

std::string Join(const Lines& lines) {
    std::string out;
    for (const auto& l : lines) out += l + "\n";
    return out;
}

std::size_t Find(const Lines& lines, const std::string& needle) {
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].find(needle) != std::string::npos) return i;
    }
    ADD_FAILURE() << "no line holds " << needle;
    return 0;
}

struct Mutation {
    const char* name;
    enum { kDrop, kRepeat, kMoveBefore, kReplace } op;
    std::string needle;  // the line (or text) to act on
    std::string other;   // kMoveBefore: the line to move before; kReplace: the new text
};

std::string Apply(const std::string& text, const Mutation& m) {
    if (m.op == Mutation::kReplace) {
        std::string out = text;
        std::size_t at = out.find(m.needle);
        EXPECT_NE(at, std::string::npos) << m.needle;
        if (at != std::string::npos) out.replace(at, m.needle.size(), m.other);
        return out;
    }
    Lines lines = Split(text);
    std::size_t i = Find(lines, m.needle);
    std::string line = lines[i];
    if (m.op == Mutation::kDrop) lines.erase(lines.begin() + static_cast<long>(i));
    if (m.op == Mutation::kRepeat) lines.insert(lines.begin() + static_cast<long>(i), line);
    if (m.op == Mutation::kMoveBefore) {
        lines.erase(lines.begin() + static_cast<long>(i));
        lines.insert(lines.begin() + static_cast<long>(Find(lines, m.other)), line);
    }
    return Join(lines);
}

struct FixtureMutations {
    const char* fixture;
    int version;
    std::vector<Mutation> mutations;
};

const FixtureMutations kPeerCases[] = {
    {"cfdv32_prefixed.xml", 32,
     {
         {"element dropped (required)", Mutation::kDrop, "<cfdi:RegimenFiscal", ""},
         {"element dropped (optional)", Mutation::kDrop, "<cfdi:Domicilio pais", ""},
         {"element moved", Mutation::kMoveBefore, "<cfdi:ExpedidoEn", "<cfdi:DomicilioFiscal"},
         {"element repeated (once only)", Mutation::kRepeat, "<cfdi:DomicilioFiscal", ""},
         {"element repeated (repeatable)", Mutation::kRepeat, "<cfdi:RegimenFiscal", ""},
         {"concept repeated", Mutation::kRepeat, "descripcion=\"Art", ""},
         {"complements in another order", Mutation::kMoveBefore, "<tfd:TimbreFiscalDigital", "<nomina:Nomina"},
         {"required attribute removed", Mutation::kReplace, " calle=\"Av. Ju\xC3\xA1rez\"", ""},
         {"enumerated value changed", Mutation::kReplace, "impuesto=\"IVA\"", "impuesto=\"ISR\""},
         {"fixed value changed", Mutation::kReplace, "version=\"1.0\" UUID", "version=\"1.1\" UUID"},
         {"undeclared attribute", Mutation::kReplace, "<cfdi:Receptor ", "<cfdi:Receptor tipo=\"x\" "},
         {"text in element content", Mutation::kReplace, "<cfdi:CuentaPredial", "texto<cfdi:CuentaPredial"},
         {"undeclared element", Mutation::kReplace, "<cfdi:CuentaPredial numero=\"123456\"/>",
          "<cfdi:Cuenta numero=\"123456\"/>"},
     }},
    {"cfdv32_default_ns.xml", 32,
     {
         {"element moved", Mutation::kMoveBefore, "<Receptor", "<Emisor"},
         {"enumerated value changed", Mutation::kReplace, "tipoDeComprobante=\"ingreso\"",
          "tipoDeComprobante=\"Ingreso\""},
     }},
    {"cfdv30_valid.xml", 30,
     {
         {"element dropped (required in 3.0)", Mutation::kDrop, "<cfdi:DomicilioFiscal", ""},
         {"choice broken", Mutation::kReplace, "<cfdi:InformacionAduanera numero=\"124\"",
          "<cfdi:Parte cantidad=\"1\" descripcion=\"x\"/><cfdi:InformacionAduanera numero=\"124\""},
         {"required attribute removed", Mutation::kReplace, " aduana=\"Veracruz\"", ""},
     }},
    {"cfdv22_valid.xml", 22,
     {
         {"element dropped (optional in 2.2)", Mutation::kDrop, "<DomicilioFiscal", ""},
         {"fixed complement version", Mutation::kReplace, "version=\"1.0\" ClaveVehicular",
          "version=\"1.1\" ClaveVehicular"},
         {"element moved", Mutation::kMoveBefore, "<DomicilioFiscal", "</Emisor>"},
     }},
    {"cfdv20_valid.xml", 20,
     {
         {"element dropped (required in 2.0)", Mutation::kDrop, "<DomicilioFiscal", ""},
         {"attribute of 2.2 only", Mutation::kReplace, "version=\"2.0\"", "version=\"2.0\" LugarExpedicion=\"x\""},
         {"element repeated", Mutation::kRepeat, "<Traslado ", ""},
     }},
};

TEST(ValidatePeer, EmbeddedDtdsAreTheFilesXmllintReads) {
    for (int version : {20, 22, 30, 32}) {
        DtdText text = EmbeddedDtd(version);
        ASSERT_NE(text.data, nullptr);
        EXPECT_EQ(std::string(text.data, text.size), ReadFile(DtdPath(version))) << version;
    }
    EXPECT_EQ(EmbeddedDtd(21).data, nullptr);
}

TEST(ValidatePeer, AgreesWithXmllintOnFixturesAndMutations) {
    for (const FixtureMutations& f : kPeerCases) {
        std::string original = ReadFile(kFixtures + f.fixture);
        PeerVerdict peer = RunXmllint(kFixtures + f.fixture, f.version);
        Ours ours = RunOurs(kFixtures + f.fixture, f.version);
        EXPECT_TRUE(peer.valid) << f.fixture << "\n" << peer.report;
        EXPECT_TRUE(ours.valid) << f.fixture << "\n" << ours.messages;
        for (const Mutation& m : f.mutations) {
            std::string path = kWork + "mutated.xml";
            std::ofstream(path, std::ios::binary) << Apply(original, m);
            PeerVerdict p = RunXmllint(path, f.version);
            Ours o = RunOurs(path, f.version);
            EXPECT_EQ(o.valid, p.valid) << f.fixture << ": " << m.name << "\nxmllint:\n"
                                        << p.report << "ours:\n"
                                        << o.messages;
            std::remove(path.c_str());
        }
    }
}

}  // namespace
}  // namespace kvn
