// json and table: a document as JSON, and CSV tables of folders and ZIP archives with
// damaged documents and refused entries among them.
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "tool_fixture.h"

namespace {

// The CSV's records, each a list of fields (RFC 4180 quoting undone).
std::vector<std::vector<std::string>> ParseCsv(const std::string& text) {
    std::vector<std::vector<std::string>> rows(1);
    std::string field;
    bool quoted = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') field += '"', ++i;
            else if (c == '"') quoted = false;
            else field += c;
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            rows.back().push_back(field), field.clear();
        } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            rows.back().push_back(field), field.clear();
            rows.emplace_back();
            ++i;
        } else {
            field += c;
        }
    }
    rows.pop_back();  // after the last CR LF
    return rows;
}

size_t Column(const std::vector<std::string>& header, const std::string& name) {
    for (size_t i = 0; i < header.size(); ++i)
        if (header[i] == name) return i;
    ADD_FAILURE() << "no column " << name;
    return 0;
}

class ToolData : public ToolTest {
protected:
    // Two signed invoices, one with a changed total, one that is not XML.
    void MakeFolder() {
        std::filesystem::create_directories(Path("in/sub"));
        SignExample("cfdi40-invoice.xml", "in/a40.xml");
        SignExample("cfdi32-invoice.xml", "in/b32.xml");
        std::string tampered = ReadFileBytes(Path("in/b32.xml"));
        tampered.replace(tampered.find("total=\"4930.00\""), 15, "total=\"4390.00\"");
        WriteFileBytes(Path("in/sub/tampered.xml"), tampered);
        WriteFileBytes(Path("in/sub/garbage.xml"), "<not closed");
    }
    // Python's zipfile makes the archive: the folder's files, plus entries to refuse.
    void MakeZip(const std::string& zip) {
        const std::string script =
            "import zipfile,os,sys\n"
            "src,out=sys.argv[1],sys.argv[2]\n"
            "with zipfile.ZipFile(out,'w',zipfile.ZIP_DEFLATED) as z:\n"
            "  for d,_,fs in sorted(os.walk(src)):\n"
            "    for f in sorted(fs): p=os.path.join(d,f); z.write(p,os.path.relpath(p,src))\n"
            "  z.writestr('../evil.xml','<a/>')\n"
            "  z.writestr('notes.txt','plain text')\n"
            "  z.writestr('bomb.xml','<'+' '*(8<<20))\n";
        WriteFileBytes(Path("zip.py"), script);
        ASSERT_EQ(std::system(("python3 '" + Path("zip.py") + "' '" + Path("in") + "' '" + zip + "'").c_str()), 0);
    }
};

TEST_F(ToolData, TableOfAFolderAndOfItsZipAgree) {
    MakeFolder();
    ToolRun folder = RunTool({"table", Path("in"), "-o", Path("folder.csv"), "-j", "2"});
    EXPECT_EQ(folder.status, 6) << folder.err;  // a damaged document among them
    EXPECT_NE(folder.err.find("table: 4 documents, 1 failed"), std::string::npos) << folder.err;
    const auto rows = ParseCsv(ReadFileBytes(Path("folder.csv")));
    ASSERT_EQ(rows.size(), 5u);
    const auto& h = rows[0];
    EXPECT_EQ(h[0], "file");
    // Sorted by path; each document's own values.
    EXPECT_EQ(rows[1][0], Path("in/a40.xml"));
    EXPECT_EQ(rows[1][Column(h, "total")], "5015.00");
    EXPECT_EQ(rows[1][Column(h, "transferred_iva_16")], "680.00");
    EXPECT_EQ(rows[1][Column(h, "transferred_local")], "85.00");
    EXPECT_EQ(rows[1][Column(h, "seal")], "valid");
    EXPECT_EQ(rows[2][Column(h, "total")], "4930.00");
    EXPECT_EQ(rows[2][Column(h, "seal")], "valid");
    EXPECT_EQ(rows[3][0], Path("in/sub/garbage.xml"));
    EXPECT_EQ(rows[3][Column(h, "status")], "error");
    EXPECT_NE(rows[3][Column(h, "error")].find("not well-formed"), std::string::npos);
    EXPECT_EQ(rows[4][Column(h, "seal")], "invalid");

    MakeZip(Path("in.zip"));
    ToolRun zipped = RunTool({"table", Path("in.zip"), "-o", Path("zip.csv")});
    EXPECT_EQ(zipped.status, 6) << zipped.err;
    const auto zrows = ParseCsv(ReadFileBytes(Path("zip.csv")));
    ASSERT_EQ(zrows.size(), 8u);
    for (size_t i = 1; i < 5; ++i) {
        std::vector<std::string> a = rows[i], b = zrows[i];
        EXPECT_EQ(b[0], Path("in.zip") + ":" + a[0].substr(Path("in/").size()));
        a[0] = b[0] = "";
        EXPECT_EQ(a, b) << i;
    }
    const char* reasons[] = {"unsafe entry name", "not an XML document", "a ZIP bomb"};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(zrows[5 + i][Column(h, "status")], "error");
        EXPECT_NE(zrows[5 + i][Column(h, "error")].find(reasons[i]), std::string::npos) << zrows[5 + i][2];
    }
    // Nothing outside the output: no entry was unpacked anywhere.
    EXPECT_FALSE(std::filesystem::exists(Path("evil.xml")));
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/../evil.xml"));
}

TEST_F(ToolData, LinesGiveOneRowPerConcept) {
    SignExample("cfdi40-invoice.xml", "a40.xml");
    ToolRun r = RunTool({"table", Path("a40.xml"), "--lines"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto rows = ParseCsv(r.out);
    ASSERT_EQ(rows.size(), 3u);  // header and two concepts
    EXPECT_EQ(rows[1][Column(rows[0], "line")], "1");
    EXPECT_EQ(rows[2][Column(rows[0], "line")], "2");
}

TEST_F(ToolData, AFailedTableLeavesTheOldOutput) {
    WriteFileBytes(Path("out.csv"), "old");
    ToolRun r = RunTool({"table", Example("cfdi40-invoice.xml"), "-o", Path("no/such/dir/out.csv")});
    EXPECT_EQ(r.status, 4) << r.err;
    r = RunTool({"table", Path("missing.xml"), "-o", Path("out.csv")});
    EXPECT_EQ(r.status, 3) << r.err;  // only unreadable files failed; the table is still written
    EXPECT_NE(ReadFileBytes(Path("out.csv")).find("Cannot open file"), std::string::npos);
    r = RunTool({"table", Path("out.csv"), "-o", dir_});
    EXPECT_EQ(r.status, 4) << r.err;
    std::error_code ec;
    size_t leftovers = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir_, ec))
        leftovers += e.path().filename().string().rfind(".kelvane-table-", 0) == 0;
    EXPECT_EQ(leftovers, 0u);
}

TEST_F(ToolData, TheTableReplacesWhatALinkNamesKeepingItsMode) {
    namespace fs = std::filesystem;
    WriteFileBytes(Path("real.csv"), "old");
    fs::permissions(Path("real.csv"), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    fs::create_symlink("real.csv", Path("link.csv"));
    ToolRun r = RunTool({"table", Example("cfdi40-invoice.xml"), "-o", Path("link.csv")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::is_symlink(Path("link.csv")));
    EXPECT_EQ(ReadFileBytes(Path("real.csv")).rfind("file,status,", 0), 0u);
    EXPECT_EQ(fs::status(Path("real.csv")).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

TEST_F(ToolData, JsonPrintsTheDocument) {
    ToolRun r = RunTool({"json", Example("cfdi40-invoice.xml")});
    ASSERT_EQ(r.status, 0) << r.err;
    JsonValue v;
    ASSERT_TRUE(ParseJson(r.out, &v)) << r.out;
    const JsonValue& root = v["cfdi:Comprobante"];
    EXPECT_EQ(root["@Total"].text, "5015.00");
    EXPECT_EQ(root["cfdi:Conceptos"]["cfdi:Concepto"].kind, JsonValue::kArray);
    EXPECT_EQ(RunTool({"json", Path("missing.xml")}).status, 3);
    WriteFileBytes(Path("bad.xml"), "<a>");
    EXPECT_EQ(RunTool({"json", Path("bad.xml")}).status, 6);
}

}  // namespace
