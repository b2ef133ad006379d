// The tool as a newcomer meets it: a plain line under the library's message for the common
// failures, documents it would not seal refused, the stamp checked with the authority's
// certificates found by number, outputs onto devices and pipes, and JSON without an error
// on success.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "tool_fixture.h"

namespace {

std::string Replace(std::string s, const std::string& from, const std::string& to) {
    const size_t at = s.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) s.replace(at, from.size(), to);
    return s;
}

class ToolPlain : public ToolTest {};

// Each case: the library's message line stays as it is, and one plain line follows it.
TEST_F(ToolPlain, CommonFailuresGetOnePlainLine) {
    const std::string signed_doc = SignExample("cfdi32-invoice.xml", "signed.xml");
    WriteFileBytes(Path("tampered.xml"), Replace(ReadFileBytes(signed_doc), "total=\"4930.00\"", "total=\"4390.00\""));
    WriteFileBytes(Path("unsigned.xml"), ReadFileBytes(Example("cfdi32-invoice.xml")));
    const std::string other = std::string(KVN_FIXTURES_DIR) + "/credentials/test-csd-2048.cer";
    const struct {
        std::vector<std::string> args;
        int status;
        std::string message;  // the library's line, after "kelvane CMD: "
        std::string hint;
    } cases[] = {
        // Unsigned: the library looks for the certificate first, then for the seal.
        {{"verify", Path("unsigned.xml")}, 6,
         Path("unsigned.xml") + ": X.509 certificate is invalid or not found/Certificado X.509 es valido o no "
                                "encontrado (INVALID_DATA_ERROR)",
         "the document is not signed: it has no seal (sello, Sello in CFDI 3.3/4.0)"},
        {{"verify", Path("unsigned.xml"), "-c", Cert()}, 6,
         Path("unsigned.xml") + ": No signature found in XML file '" + Path("unsigned.xml") +
             "'/La firma no se encuentra en el archivo XML (BAD_PARAM_ERROR)",
         "the document is not signed: it has no seal (sello, Sello in CFDI 3.3/4.0)"},
        {{"seal", Example("cfdi32-invoice.xml"), "-k", Key(), "--password", "wrong"}, 5,
         "Cannot read private key/No se puede leer la clave privada (DECRYPT_ERROR)",
         "the password is wrong, or the key file is damaged"},
        {{"verify", signed_doc, "-c", other}, 1, signed_doc + ": Decryption error/De error de descifrado (DECRYPT_ERROR)",
         "the seal was not made with this certificate's key"},
        {{"verify", Path("tampered.xml")}, 1, Path("tampered.xml") + ": Invalid signature/Firma no valida (SIGNATURE_ERROR)",
         "the document no longer matches its seal: it was changed after it was sealed"},
        {{"fix-bom", Example("cfdi32-invoice.xml"), "-o", Path("no/dir/out.xml")}, 4,
         "Unable to write to file '" + Path("no/dir/out.xml") + "'/No es posible escribir en el archivo (WRITE_ERROR)",
         "cannot write '" + Path("no/dir/out.xml") + "': cannot create it there: No such file or directory"},
        {{"verify", signed_doc, "-c", Path("missing.cer")}, 3,
         "Cannot open file '" + Path("missing.cer") + "'/No se puede abrir el archivo (OPEN_ERROR)",
         "cannot read '" + Path("missing.cer") + "': No such file or directory"},
        {{"pipestring", Path("missing.xml")}, 3,
         "Cannot open file '" + Path("missing.xml") + "'/No se puede abrir el archivo (OPEN_ERROR)",
         "cannot read '" + Path("missing.xml") + "': No such file or directory"},
    };
    for (const auto& c : cases) {
        ToolRun r = RunTool(c.args);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_EQ(r.err, "kelvane " + c.args[0] + ": " + c.message + "\n  " + c.hint + "\n");
        ToolRun json = RunTool([&] {
            auto args = c.args;
            args.push_back("--json");
            return args;
        }());
        JsonValue v = Json(json);
        const JsonValue& o = v.has("results") ? v["results"].items.at(0) : v;
        EXPECT_EQ(o["hint"].text, c.hint);
    }
}

// A document that is not well-formed reports its parser's message, without the version
// "-2.7" that the failed read leaves after it.
TEST_F(ToolPlain, ParseErrorsShowNoVersionOfTheFailedRead) {
    WriteFileBytes(Path("broken.xml"), Replace(ReadFileBytes(Example("cfdi32-invoice.xml")), "</cfdi:Comprobante>", ""));
    for (const char* command : {"pipestring", "digest"}) {
        ToolRun r = RunTool({command, Path("broken.xml")});
        EXPECT_EQ(r.status, 6);
        EXPECT_NE(r.err.find("(BAD_XML_ERROR)"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("Version '-"), std::string::npos) << r.err;
    }
}

TEST_F(ToolPlain, JsonCarriesNoErrorOnSuccess) {
    JsonValue v = Json(RunTool({"pipestring", Example("cfdi32-invoice.xml"), "--json"}));
    EXPECT_TRUE(v["ok"].boolean);
    EXPECT_FALSE(v.has("error"));
    EXPECT_FALSE(v.has("hint"));
    const std::string signed_doc = SignExample("cfdi32-invoice.xml", "signed.xml");
    JsonValue batch = Json(RunTool({"verify", signed_doc, "--json"}));
    EXPECT_FALSE(batch["results"].items.at(0).has("error"));
}

// Up to 3.2 the library fills only the seal attributes a root carries: the tool refuses a
// document without sello (nothing written), and says so when a certificate could not be
// embedded. A 4.0 root gets all three.
TEST_F(ToolPlain, SignRefusesDocumentsItWouldNotSeal) {
    const std::string example = ReadFileBytes(Example("cfdi32-invoice.xml"));
    WriteFileBytes(Path("no-sello.xml"), Replace(example, " sello=\"\"", ""));
    WriteFileBytes(Path("no-cert.xml"), Replace(Replace(example, " certificado=\"\"", ""), " noCertificado=\"\"", ""));
    WriteFileBytes(Path("bare40.xml"), Replace(Replace(Replace(ReadFileBytes(Example("cfdi40-invoice.xml")), " Sello=\"\"", ""),
                                                       " NoCertificado=\"\"", ""),
                                               " Certificado=\"\"", ""));
    const std::vector<std::string> key = {"-k", Key(), "-c", Cert(), "--password-file", PasswordFile()};
    auto sign = [&](const std::string& in, const std::string& out) {
        std::vector<std::string> args = {"sign", Path(in), "-o", Path(out)};
        args.insert(args.end(), key.begin(), key.end());
        return RunTool(args);
    };

    ToolRun refused = sign("no-sello.xml", "out1.xml");
    EXPECT_EQ(refused.status, 6);
    EXPECT_NE(refused.err.find("the root Comprobante has no sello attribute, so the document would not be sealed"),
              std::string::npos)
        << refused.err;
    EXPECT_FALSE(std::filesystem::exists(Path("out1.xml")));
    ToolRun toStdout = RunTool({"sign", Path("no-sello.xml"), "-k", Key(), "--password-file", PasswordFile()});
    EXPECT_EQ(toStdout.status, 6);
    EXPECT_EQ(toStdout.out, "");

    ToolRun noted = sign("no-cert.xml", "out2.xml");
    EXPECT_EQ(noted.status, 0) << noted.err;
    EXPECT_NE(noted.err.find("the certificate was not embedded: the root has no certificado and noCertificado attribute"),
              std::string::npos)
        << noted.err;
    EXPECT_EQ(RunTool({"verify", Path("out2.xml"), "-c", Cert()}).status, 0);

    ToolRun added = sign("bare40.xml", "out3.xml");
    EXPECT_EQ(added.status, 0) << added.err;
    EXPECT_EQ(added.err, "");
    EXPECT_EQ(RunTool({"attribute", Path("out3.xml"), "NoCertificado"}).out, "30001000000300000123\n");
    EXPECT_EQ(RunTool({"verify", Path("out3.xml")}).status, 0);
}

// verify --stamp finds the authority's certificate by the stamp's NoCertificadoSAT in a
// folder given with --sat-certs or KELVANE_SAT_CERTS.
TEST_F(ToolPlain, StampsAreCheckedWithTheAuthorityCertificatesFoundByNumber) {
    const std::string certs = std::string(KVN_CORPUS_DIR) + "/certs";
    const std::string stamped = std::string(KVN_CORPUS_DIR) + "/cfdi40/corasa_CFDv40_tfd.xml";
    const std::string stamped33 = std::string(KVN_CORPUS_DIR) + "/cfdi33/corasa_CFDv33_tfd.xml";
    // One thread: a batch prints its results in the order they finish.
    ToolRun r = RunTool({"verify", "-j", "1", "--stamp", "--sat-certs", certs, stamped, stamped33});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, stamped + ": valid stamp\n" + stamped33 + ": valid stamp\n" +
                         "verify: 2 files, 2 valid stamp, 0 failed\n");
    ToolRun env = RunTool({"verify", "--stamp", stamped}, {{"KELVANE_SAT_CERTS", certs}});
    EXPECT_EQ(env.status, 0) << env.err;
    EXPECT_EQ(env.out, stamped + ": valid stamp\n");

    // A folder without that certificate: an input that is not there.
    ToolRun missing = RunTool({"verify", "--stamp", "--sat-certs", dir_, stamped});
    EXPECT_EQ(missing.status, 3);
    EXPECT_NE(missing.err.find("no certificate numbered 20001000000300022779 in '" + dir_ + "'"), std::string::npos)
        << missing.err;
    // An unstamped document has no number to look for.
    ToolRun unstamped = RunTool({"verify", "--stamp", "--sat-certs", certs, Example("cfdi40-invoice.xml")});
    EXPECT_EQ(unstamped.status, 6);
    EXPECT_NE(unstamped.err.find("the document has no stamp with a NoCertificadoSAT"), std::string::npos) << unstamped.err;
    EXPECT_EQ(RunTool({"verify", "--sat-certs", certs, stamped}).status, 2);  // only with --stamp
}

// -o onto a pipe, a character device or /dev/stdout writes in place; onto a directory it is
// refused and the directory stays as it was.
TEST_F(ToolPlain, OutputsOntoDevicesPipesAndDirectories) {
    const std::vector<std::string> sign = {"sign", Example("cfdi40-invoice.xml"), "-k", Key(), "-c", Cert(),
                                           "--password-file", PasswordFile(), "-o"};
    const std::string expected = ReadFileBytes(SignExample("cfdi40-invoice.xml", "signed.xml"));
    auto with = [&](const std::string& output) {
        std::vector<std::string> args = sign;
        args.push_back(output);
        return args;
    };

    ToolRun toStdout = RunTool(with("/dev/stdout"));
    EXPECT_EQ(toStdout.status, 0) << toStdout.err;
    EXPECT_EQ(toStdout.out.substr(0, expected.size()), expected);

    const std::string fifo = Path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string received;
    std::thread reader([&] { received = ReadFileBytes(fifo); });
    ToolRun piped = RunTool(with(fifo));
    if (const int unblock = open(fifo.c_str(), O_WRONLY | O_NONBLOCK); unblock >= 0) close(unblock);
    reader.join();
    EXPECT_EQ(piped.status, 0) << piped.err;
    EXPECT_EQ(received, expected);

    std::filesystem::create_directories(Path("folder"));
    ToolRun folder = RunTool(with(Path("folder")));
    EXPECT_EQ(folder.status, 4);
    EXPECT_NE(folder.err.find("Output '" + Path("folder") + "' is a directory/La salida es un directorio"),
              std::string::npos)
        << folder.err;
    EXPECT_TRUE(std::filesystem::is_empty(Path("folder")));
}

}  // namespace
