// Batch runs (many files and directories over worker threads) and the password sources.
#include <filesystem>

#include "tool_fixture.h"

namespace {

class ToolBatch : public ToolTest {
protected:
    // A folder of invoices: three signed, one with a changed total, one not XML at all.
    void MakeInvoiceFolder() {
        std::filesystem::create_directories(Path("in/sub"));
        for (const char* ex : {"cfdi32-invoice.xml", "cfd22-invoice.xml", "cfd20-invoice.xml"}) {
            std::string out = SignExample(ex, std::string("in/") + ex);
            ASSERT_TRUE(std::filesystem::exists(out));
        }
        std::string tampered = ReadFileBytes(Path("in/cfdi32-invoice.xml"));
        tampered.replace(tampered.find("total=\"4930.00\""), 15, "total=\"4390.00\"");
        WriteFileBytes(Path("in/sub/tampered.xml"), tampered);
        WriteFileBytes(Path("in/sub/garbage.xml"), "this is not XML");
        WriteFileBytes(Path("in/sub/notes.txt"), "skipped: not .xml");
    }
};

TEST_F(ToolBatch, VerifyFolderSummarisesPassesAndFailures) {
    MakeInvoiceFolder();
    ToolRun r = RunTool({"verify", Path("in"), Path("missing.xml"), "-j", "3"});
    // Invalid seal (1), unreadable file (3), malformed document (6): the highest wins.
    EXPECT_EQ(r.status, 6) << r.out << r.err;
    for (const char* ok : {"in/cfd20-invoice.xml", "in/cfd22-invoice.xml", "in/cfdi32-invoice.xml"})
        EXPECT_NE(r.out.find(Path(ok) + ": valid seal\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("verify: 6 files, 3 valid seal, 3 failed\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  FAILED " + Path("in/sub/tampered.xml") + ": SIGNATURE_ERROR: Invalid signature"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("  FAILED " + Path("missing.xml") + ": OPEN_ERROR: "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  FAILED " + Path("in/sub/garbage.xml") + ": "), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("notes.txt"), std::string::npos);
    EXPECT_NE(r.err.find("kelvane verify: " + Path("in/sub/tampered.xml") + ": Invalid signature"), std::string::npos);

    // JSON: results in input order (directory entries sorted), whatever order workers finished in.
    ToolRun j = RunTool({"verify", Path("in"), "--json", "-j", "4"});
    JsonValue v = Json(j);
    EXPECT_FALSE(v["ok"].boolean);
    EXPECT_EQ(v["summary"]["total"].number, 5);
    EXPECT_EQ(v["summary"]["passed"].number, 3);
    EXPECT_EQ(v["summary"]["failed"].number, 2);
    ASSERT_EQ(v["results"].items.size(), 5u);
    std::vector<std::string> files;
    for (const JsonValue& item : v["results"].items) files.push_back(item["file"].text);
    EXPECT_EQ(files, (std::vector<std::string>{Path("in/cfd20-invoice.xml"), Path("in/cfd22-invoice.xml"),
                                               Path("in/cfdi32-invoice.xml"), Path("in/sub/garbage.xml"),
                                               Path("in/sub/tampered.xml")}));
    EXPECT_EQ(v["results"].items[4]["error"].text, "SIGNATURE_ERROR");
    EXPECT_TRUE(v["results"].items[0]["ok"].boolean);
    EXPECT_EQ(j.err, "");
}

TEST_F(ToolBatch, SignFolderIntoOutputDirectoryKeepsRelativeNames) {
    std::filesystem::create_directories(Path("src/a"));
    std::filesystem::copy_file(Example("cfdi32-invoice.xml"), Path("src/one.xml"));
    std::filesystem::copy_file(Example("cfd22-invoice.xml"), Path("src/a/two.xml"));
    ToolRun r = RunTool({"sign", Path("src"), "-k", Key(), "-c", Cert(), "--password-file", PasswordFile(),
                         "--out-dir", Path("out"), "-q"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "sign: 2 files, 2 signed, 0 failed\n");
    EXPECT_EQ(RunTool({"verify", Path("out/one.xml"), Path("out/a/two.xml")}).status, 0);

    ToolRun in_place = RunTool({"sign", Path("src"), "-k", Key(), "--password-file", PasswordFile(), "--in-place"});
    ASSERT_EQ(in_place.status, 0) << in_place.err;
    // Signed without a certificate: the seal is filled, the certificate fields stay empty.
    EXPECT_NE(ReadFileBytes(Path("src/one.xml")).find("noCertificado=\"\""), std::string::npos);

    ToolRun many_no_target = RunTool({"sign", Path("src"), "-k", Key(), "--password-file", PasswordFile()});
    EXPECT_EQ(many_no_target.status, 2);
    // Two inputs with one name would overwrite each other's output: refused before any work.
    std::filesystem::copy_file(Example("cfd20-invoice.xml"), Path("src/a/one.xml"));
    ToolRun clash = RunTool({"sign", Path("src/one.xml"), Path("src/a/one.xml"), "-k", Key(), "--password-file",
                             PasswordFile(), "--out-dir", Path("clash")});
    EXPECT_EQ(clash.status, 2);
    EXPECT_NE(clash.err.find("two inputs would both be written to " + Path("clash/one.xml")), std::string::npos)
        << clash.err;
    EXPECT_FALSE(std::filesystem::exists(Path("clash")));
}

// Many files are signed (and sealed) with the key read once: what is wrong with the key
// or the certificate is said once, about the key, and nothing is written.
TEST_F(ToolBatch, ManyFilesReadTheKeyOnce) {
    std::filesystem::create_directories(Path("src"));
    std::filesystem::copy_file(Example("cfdi32-invoice.xml"), Path("src/one.xml"));
    std::filesystem::copy_file(Example("cfdi40-invoice.xml"), Path("src/two.xml"));
    ToolRun wrong = RunTool({"sign", Path("src"), "-k", Key(), "--password", "wrong", "--out-dir", Path("out")});
    EXPECT_EQ(wrong.status, 5);
    EXPECT_NE(wrong.err.find("kelvane sign: " + Key() +
                             ": Cannot read private key/No se puede leer la clave privada (DECRYPT_ERROR)\n"),
              std::string::npos)
        << wrong.err;
    EXPECT_EQ(wrong.err.find("one.xml"), std::string::npos) << wrong.err;
    EXPECT_FALSE(std::filesystem::exists(Path("out/one.xml")));
    const std::string otherCert = std::string(KVN_FIXTURES_DIR) + "/credentials/test-csd-2048.cer";
    ToolRun mismatch = RunTool({"sign", Path("src"), "-k", Key(), "-c", otherCert, "--password-file", PasswordFile(),
                                "--out-dir", Path("out"), "--json"});
    EXPECT_EQ(mismatch.status, 1);
    EXPECT_EQ(Json(mismatch)["error"].text, "NO_MATCH_ERROR");
    EXPECT_FALSE(std::filesystem::exists(Path("out/two.xml")));

    // Seals of several files, one line each, are the seals of the files one at a time.
    std::string expected;
    for (const char* name : {"src/one.xml", "src/two.xml"}) {
        ToolRun one = RunTool({"seal", Path(name), "-k", Key(), "--password-file", PasswordFile()});
        ASSERT_EQ(one.status, 0) << one.err;
        expected += Path(name) + ": " + one.out;
    }
    ToolRun many = RunTool({"seal", Path("src/one.xml"), Path("src/missing.xml"), Path("src/two.xml"), "-k", Key(),
                            "--password-file", PasswordFile()});
    EXPECT_EQ(many.status, 3);
    EXPECT_EQ(many.out, expected);
    EXPECT_NE(many.err.find("kelvane seal: " + Path("src/missing.xml") + ": "), std::string::npos) << many.err;
    JsonValue v = Json(RunTool({"seal", Path("src/one.xml"), Path("src/two.xml"), "-k", Key(), "--password-file",
                                PasswordFile(), "--json"}));
    EXPECT_TRUE(v["ok"].boolean);
    ASSERT_EQ(v["results"].items.size(), 2u);
    EXPECT_EQ(v["results"].items[1]["file"].text, Path("src/two.xml"));
    EXPECT_EQ(Path("src/one.xml") + ": " + v["results"].items[0]["result"].text + "\n",
              expected.substr(0, expected.find('\n') + 1));
}

// The password sources, each used to sign one invoice; wrong or absent ones fail as documented.
TEST_F(ToolBatch, PasswordFromFileEnvironmentAndTerminal) {
    std::vector<std::string> seal = {"seal", Example("cfdi32-invoice.xml"), "-k", Key()};
    auto with = [&](std::vector<std::string> extra) {
        std::vector<std::string> args = seal;
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    };
    ToolRun from_file = RunTool(with({"--password-file", PasswordFile()}));
    ASSERT_EQ(from_file.status, 0) << from_file.err;
    EXPECT_EQ(RunTool(seal, {{"KELVANE_PASSWORD", kPassword}}).out, from_file.out);
    EXPECT_EQ(RunTool(with({"--password-file", "-"}), {}, "test-password\r\n").out, from_file.out);
    EXPECT_EQ(RunTool(with({"--password", kPassword})).out, from_file.out);
    // The file wins over the environment.
    EXPECT_EQ(RunTool(with({"--password-file", PasswordFile()}), {{"KELVANE_PASSWORD", "wrong"}}).status, 0);
    EXPECT_EQ(RunTool(seal, {{"KELVANE_PASSWORD", "wrong"}}).status, 5);

    ToolRun none = RunTool(seal);
    EXPECT_EQ(none.status, 2);
    EXPECT_NE(none.err.find("no password for the key"), std::string::npos) << none.err;
    ToolRun unreadable = RunTool(with({"--password-file", Path("absent.txt")}));
    EXPECT_EQ(unreadable.status, 2);
    EXPECT_NE(unreadable.err.find("cannot open password file"), std::string::npos) << unreadable.err;

    // On a terminal the tool asks, and what is typed is not echoed.
    ToolRun tty = RunToolOnTerminal(seal, "Password for " + Key() + ": ", kPassword);
    EXPECT_EQ(tty.status, 0) << tty.out;
    EXPECT_EQ(tty.out.find(kPassword), std::string::npos) << tty.out;
    std::string seal_text = from_file.out.substr(0, from_file.out.size() - 1);
    EXPECT_NE(tty.out.find(seal_text), std::string::npos) << tty.out;
}

// One batch verifies invoices of every version side by side: CFD 2.2, CFDI 3.2, a corpus
// CFDI 3.3 and our CFDI 4.0, with a changed 4.0 among them.
TEST_F(ToolBatch, VerifyFolderOfMixedVersions) {
    std::filesystem::create_directories(Path("mixed"));
    for (const char* ex : {"cfdi40-invoice.xml", "cfdi32-invoice.xml", "cfd22-invoice.xml"}) {
        ASSERT_TRUE(std::filesystem::exists(SignExample(ex, std::string("mixed/") + ex)));
    }
    std::filesystem::copy_file(std::string(KVN_CORPUS_DIR) + "/cfdi33/satcfdi_create_invoice_nomina.xml",
                               Path("mixed/cfdi33.xml"));
    std::string tampered = ReadFileBytes(Path("mixed/cfdi40-invoice.xml"));
    tampered.replace(tampered.find("Total=\"5015.00\""), 15, "Total=\"5105.00\"");
    WriteFileBytes(Path("mixed/tampered40.xml"), tampered);

    ToolRun r = RunTool({"verify", Path("mixed"), "-j", "2"});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    for (const char* ok : {"cfd22-invoice.xml", "cfdi32-invoice.xml", "cfdi33.xml", "cfdi40-invoice.xml"})
        EXPECT_NE(r.out.find(Path(std::string("mixed/") + ok) + ": valid seal\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("verify: 5 files, 4 valid seal, 1 failed\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  FAILED " + Path("mixed/tampered40.xml") + ": SIGNATURE_ERROR: Invalid signature"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(RunTool({"version", Path("mixed/cfdi40-invoice.xml")}).out, "CFDI 4.0 (40)\n");
    EXPECT_EQ(RunTool({"version", Path("mixed/cfdi33.xml")}).out, "CFDI 3.3 (33)\n");
    EXPECT_EQ(RunTool({"extract-digest", Path("mixed/cfdi40-invoice.xml")}).out.size(), 64u + 1);
}

// MD5 is not a digest of 3.3/4.0 seals: each command says so and writes nothing.
TEST_F(ToolBatch, Md5OnCfdi40IsReportedAsABadOption) {
    const std::string message = "MD5 digest is not allowed for CFDI version '4.0'/"
                                "El digesto MD5 no esta permitido para la version de CFDI (BAD_FLAG_ERROR)";
    ToolRun digest = RunTool({"digest", Example("cfdi40-invoice.xml"), "--md5"});
    EXPECT_EQ(digest.status, 6);
    EXPECT_EQ(digest.out, "");
    EXPECT_NE(digest.err.find(message), std::string::npos) << digest.err;
    ToolRun seal = RunTool({"seal", Example("cfdi40-invoice.xml"), "-k", Key(), "--password-file", PasswordFile(), "--md5"});
    EXPECT_EQ(seal.status, 6);
    EXPECT_NE(seal.err.find(message), std::string::npos) << seal.err;
    ToolRun sign = RunTool({"sign", Example("cfdi40-invoice.xml"), "-k", Key(), "-c", Cert(), "--password-file",
                            PasswordFile(), "--md5", "-o", Path("md5.xml")});
    EXPECT_EQ(sign.status, 6);
    EXPECT_NE(sign.err.find(message), std::string::npos) << sign.err;
    EXPECT_FALSE(std::filesystem::exists(Path("md5.xml")));
    JsonValue v = Json(RunTool({"digest", Example("cfdi40-invoice.xml"), "--md5", "--json"}));
    EXPECT_EQ(v["error"].text, "BAD_FLAG_ERROR");
    EXPECT_EQ(v["code"].number, -17);  // BAD_FLAG_ERROR
}

}  // namespace
