#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "base/lasterror.h"
#include "cfdi/signed_writer.h"
#include "kelvane.h"

namespace fs = std::filesystem;

namespace {

constexpr char kCfdi[] = "http://www.sat.gob.mx/cfd/3";

class SignedWriter : public testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("kvn-writer-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    // Writes input, runs the writer with the seal replacement, returns the output (or
    // the code as text when it failed).
    std::string Run(const std::string& input, int options = 0) {
        std::string in = (dir_ / "in.xml").string(), out = (dir_ / "out.xml").string();
        std::ofstream(in, std::ios::binary) << input;
        const kvn::AttributeReplacement reps[] = {
            {kCfdi, "Comprobante", "sello", "SEAL"},
            {kCfdi, "Comprobante", "noCertificado", "30001000000300000123"},
        };
        kvn::ClearLastError();
        kvn::ReplacingOutput output;
        if (!output.Open(out.c_str())) return "cannot open";
        int rc = kvn::ResultOf(kvn::WriteSignedDocument(in.c_str(), output, options, reps, 2));
        if (rc != 0) return "error " + std::to_string(rc);
        if (!output.Commit()) return "commit failed";
        std::ifstream f(out, std::ios::binary);
        std::stringstream ss;
        ss << f.rdbuf();
        return ss.str();
    }
    fs::path dir_;
};

TEST_F(SignedWriter, RewritesEventsAsSpecified) {
    const struct {
        const char* input;
        const char* output;
        int options;
    } cases[] = {
        // Declaration: BOM first, encoding always UTF-8, standalone kept.
        {"<?xml version='1.0' encoding='utf-8'?><a/>", "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<a></a>", 0},
        {"<?xml version=\"1.0\" standalone=\"yes\"?><a/>", "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n<a></a>", KVN_OPT_NOBOM},
        // No declaration: no BOM either.
        {"<a x='1'/>", "<a x=\"1\"></a>", 0},
        // Escaping of text and values; references come out as characters.
        {"<a t='&apos;&quot;&lt;&gt;&amp;'>&#39;\"&lt;&gt;&amp;</a>", "<a t=\"'&quot;&lt;&gt;&amp;\">'&quot;&lt;&gt;&amp;</a>", 0},
        // Comments, processing instructions, CDATA as escaped text, DOCTYPE dropped.
        {"<!DOCTYPE a [<!ENTITY e 'x'>]><a><!-- c --><?pi some data?><![CDATA[<b>]]>&e;</a>",
         "<a><!-- c --><?pi some data?>&lt;b&gt;x</a>", 0},
        // Latin-1 input comes out as UTF-8; windows-1251 is read as Latin-1.
        {"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><a>\xF1</a>", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<a>\xC3\xB1</a>", KVN_OPT_NOBOM},
        {"<?xml version=\"1.0\" encoding=\"windows-1251\"?><a>\xE9</a>", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<a>\xC3\xA9</a>", KVN_OPT_NOBOM},
        // Namespace declarations stay in document order; whitespace between tags is kept.
        {"<cfdi:Comprobante xmlns:cfdi=\"http://www.sat.gob.mx/cfd/3\" version=\"3.2\" sello=\"\" noCertificado=\"\">\n <cfdi:Emisor rfc=\"A\"/>\n</cfdi:Comprobante>",
         "<cfdi:Comprobante xmlns:cfdi=\"http://www.sat.gob.mx/cfd/3\" version=\"3.2\" sello=\"SEAL\" noCertificado=\"30001000000300000123\">\n <cfdi:Emisor rfc=\"A\"></cfdi:Emisor>\n</cfdi:Comprobante>", 0},
        // The root in the default namespace is the same element.
        {"<Comprobante xmlns=\"http://www.sat.gob.mx/cfd/3\" sello=\"old\"/>",
         "<Comprobante xmlns=\"http://www.sat.gob.mx/cfd/3\" sello=\"SEAL\"></Comprobante>", 0},
        // A root in no namespace matches by local name, as in the attribute query.
        {"<Comprobante sello=\"old\"/>", "<Comprobante sello=\"SEAL\"></Comprobante>", 0},
        // Missing attributes are not added; other namespaces are not touched.
        {"<x:Comprobante xmlns:x=\"http://www.sat.gob.mx/cfd/3\" version=\"3.2\"/>",
         "<x:Comprobante xmlns:x=\"http://www.sat.gob.mx/cfd/3\" version=\"3.2\"></x:Comprobante>", 0},
        {"<Comprobante xmlns=\"http://www.sat.gob.mx/cfd/2\" sello=\"old\"/>",
         "<Comprobante xmlns=\"http://www.sat.gob.mx/cfd/2\" sello=\"old\"></Comprobante>", 0},
    };
    for (const auto& c : cases) EXPECT_EQ(Run(c.input, c.options), c.output) << c.input;
}

TEST_F(SignedWriter, MalformedDocumentIsReportedWithItsLine) {
    EXPECT_EQ(Run("<a>\n<b></a>"), "error -27");
    std::string error = kvn::LastErrorText();
    EXPECT_EQ(error.rfind("XML parsing error/Error al analizar de XML: ", 0), 0u) << error;
    EXPECT_NE(error.find("(Line/numero de linea: 2)"), std::string::npos) << error;
    EXPECT_FALSE(fs::exists(dir_ / "out.xml"));
}

TEST_F(SignedWriter, MissingDocument) {
    kvn::ReplacingOutput output;
    ASSERT_TRUE(output.Open((dir_ / "out.xml").c_str()));
    std::string missing = (dir_ / "none.xml").string();
    EXPECT_EQ(kvn::WriteSignedDocument(missing.c_str(), output, 0, nullptr, 0), kvn::Error::OPEN_ERROR);
}

}  // namespace
