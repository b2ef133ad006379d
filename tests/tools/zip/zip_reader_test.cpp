// The tool's ZIP reader on archives built here byte by byte (APPNOTE 6.3 layouts), each
// showing one rule: what is read, what is refused and why; and the inputs kept under
// fuzz/regressions/zip_reader/ replayed through the fuzz target.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "../../../fuzz/zip_targets.h"

namespace {

struct Spec {
    std::string name;
    std::string content;
    bool deflate = true;
    std::uint16_t flags = 0;
    std::int64_t declaredSize = -1;  // the size the headers state (-1: the real one)
    std::uint32_t crcDelta = 0;      // added to the real CRC-32
};

void Put16(std::string& s, unsigned v) { s += static_cast<char>(v & 0xFF), s += static_cast<char>(v >> 8 & 0xFF); }
void Put32(std::string& s, std::uint32_t v) { Put16(s, v & 0xFFFF), Put16(s, v >> 16); }

std::string Deflate(const std::string& in) {
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, in.size()), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

std::string Archive(const std::vector<Spec>& specs) {
    std::string body, dir;
    for (const Spec& s : specs) {
        const std::string data = s.deflate ? Deflate(s.content) : s.content;
        const std::uint32_t crc = static_cast<std::uint32_t>(
                                      crc32(0, reinterpret_cast<const Bytef*>(s.content.data()), static_cast<uInt>(s.content.size()))) +
                                  s.crcDelta;
        const std::uint32_t size = static_cast<std::uint32_t>(s.declaredSize < 0 ? s.content.size() : s.declaredSize);
        const std::uint32_t offset = static_cast<std::uint32_t>(body.size());
        Put32(body, 0x04034b50), Put16(body, 20), Put16(body, s.flags), Put16(body, s.deflate ? 8 : 0);
        Put32(body, 0), Put32(body, crc), Put32(body, static_cast<std::uint32_t>(data.size())), Put32(body, size);
        Put16(body, static_cast<unsigned>(s.name.size())), Put16(body, 0);
        body += s.name + data;
        Put32(dir, 0x02014b50), Put16(dir, 20), Put16(dir, 20), Put16(dir, s.flags), Put16(dir, s.deflate ? 8 : 0);
        Put32(dir, 0), Put32(dir, crc), Put32(dir, static_cast<std::uint32_t>(data.size())), Put32(dir, size);
        Put16(dir, static_cast<unsigned>(s.name.size())), Put16(dir, 0), Put16(dir, 0), Put16(dir, 0), Put16(dir, 0);
        Put32(dir, 0), Put32(dir, offset);
        dir += s.name;
    }
    std::string zip = body + dir;
    Put32(zip, 0x06054b50), Put16(zip, 0), Put16(zip, 0), Put16(zip, static_cast<unsigned>(specs.size()));
    Put16(zip, static_cast<unsigned>(specs.size())), Put32(zip, static_cast<std::uint32_t>(dir.size()));
    Put32(zip, static_cast<std::uint32_t>(body.size())), Put16(zip, 0);
    return zip;
}

const std::string kXml = "\xEF\xBB\xBF\r\n <cfdi:Comprobante Version=\"4.0\"/>";

TEST(ZipReader, ReadsEntriesAndRefusesEachUnsafeOne) {
    const struct {
        Spec spec;
        const char* reason;  // "" when the entry is read
    } cases[] = {
        {{"facturas/a.xml", kXml}, ""},
        {{"stored.xml", kXml, false}, ""},
        {{"../a.xml", kXml}, "unsafe entry name"},
        {{"x/../../a.xml", kXml}, "unsafe entry name"},
        {{"/etc/a.xml", kXml}, "unsafe entry name"},
        {{"C:\\a.xml", kXml}, "unsafe entry name"},
        {{"sec.xml", kXml, true, 0x1}, "encrypted entry"},
        {{"bomb.xml", "<" + std::string(4 << 20, ' ')}, "a ZIP bomb"},
        {{"big.xml", kXml, true, 0, std::int64_t{65} << 20}, "above the limit"},
        {{"liar.xml", kXml, true, 0, 10}, "do not match its declared size"},
        {{"liar-stored.xml", kXml, false, 0, 10}, "do not match its declared size"},
        {{"crc.xml", kXml, true, 0, -1, 1}, "CRC-32 mismatch"},
        {{"notes.txt", "no XML here"}, "not an XML document"},
        {{"empty.xml", ""}, "not an XML document"},
    };
    std::vector<Spec> specs;
    for (const auto& c : cases) specs.push_back(c.spec);
    specs.push_back({"folder/", ""});
    cli::ZipArchive archive;
    std::string error;
    ASSERT_TRUE(archive.OpenBytes(Archive(specs), &error)) << error;
    ASSERT_EQ(archive.entries().size(), std::size(cases));  // the folder is skipped
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        std::string data, reason;
        const bool read = archive.Read(archive.entries()[i], &data, &reason);
        EXPECT_EQ(read, *cases[i].reason == '\0') << cases[i].spec.name << ": " << reason;
        if (read) EXPECT_EQ(data, kXml);
        else EXPECT_NE(reason.find(cases[i].reason), std::string::npos) << cases[i].spec.name << ": " << reason;
    }
}

TEST(ZipReader, RefusesArchivesWhoseDirectoryLiesOutsideTheFile) {
    const std::string good = Archive({{"a.xml", kXml}});
    std::string error;
    // Cut anywhere: either no end record is found or the directory is out of bounds.
    for (std::size_t cut = 0; cut < good.size(); cut += 7) {
        cli::ZipArchive archive;
        EXPECT_FALSE(archive.OpenBytes(good.substr(0, cut), &error) && !archive.entries().empty()) << cut;
    }
    // A local header offset past the end.
    std::string moved = good;
    const std::size_t central = moved.find("PK\x01\x02");
    moved[central + 42] = '\x7f';
    cli::ZipArchive archive;
    ASSERT_TRUE(archive.OpenBytes(moved, &error)) << error;
    std::string data, reason;
    EXPECT_FALSE(archive.Read(archive.entries()[0], &data, &reason));
    EXPECT_NE(reason.find("damaged entry"), std::string::npos) << reason;
}

TEST(ZipReader, KeptFuzzInputs) {
    const std::filesystem::path dir = std::filesystem::path(KVN_SOURCE_DIR) / "fuzz/regressions/zip_reader";
    ASSERT_TRUE(std::filesystem::exists(dir));
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        std::ifstream in(entry.path(), std::ios::binary);
        const std::vector<std::uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        SCOPED_TRACE(entry.path().string());
        kvn_fuzz::FuzzZipReader(data.data(), data.size());
    }
}

}  // namespace
