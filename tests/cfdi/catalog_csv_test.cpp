// The catalog file format: what a user's file may look like, how its rows are kept, and
// the message that names the file and line of a malformed one.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/lasterror.h"
#include "cfdi/catalog_csv.h"

namespace kvn {
namespace {

Error Parse(const std::string& text, LoadedCatalog* out, const char* name = "c_Prueba") {
    ClearLastError();
    return ParseCatalogCsv("cat/c_Prueba.csv", name, reinterpret_cast<const std::uint8_t*>(text.data()), text.size(),
                           out);
}

// The rows as "key|field|field@from-until" lines, in the table's order.
std::vector<std::string> Rows(const CatalogTable& t) {
    std::vector<std::string> rows;
    for (CatalogRow row : t.Rows()) {
        std::string line;
        for (std::size_t c = 0; c < t.columnCount; ++c) line += (c ? "|" : "") + std::string(row[c]);
        rows.push_back(line + "@" + std::to_string(row.validFrom()) + "-" + std::to_string(row.validUntil()));
    }
    return rows;
}

TEST(CatalogCsv, QuotingLineBreaksAndByteOrderMark) {
    // BOM, CRLF and LF and a lone CR, quoted commas, doubled quotes, a line break inside
    // quotes, blank lines, an empty quoted field, no break after the last record.
    const std::string text =
        "\xEF\xBB\xBF" "id,simbolo,vigencia_desde,vigencia_hasta\r\n"
        "B,\"a,b\",2022-01-01,\"\"\r\n"
        "\r\n"
        "A,\"say \"\"hi\"\"\",,2023-12-31\n"
        "C,\"two\r\nlines\",2022-01-01,\rD,\"\",,";
    LoadedCatalog c;
    ASSERT_EQ(Parse(text, &c), kOk) << LastErrorText();
    const CatalogTable& t = c.table();
    EXPECT_STREQ(t.name, "c_Prueba");
    EXPECT_EQ(Rows(t), (std::vector<std::string>{"A|say \"hi\"@0-20231231", "B|a,b@20220101-0",
                                                 "C|two\r\nlines@20220101-0", "D|@0-0"}));
}

TEST(CatalogCsv, KeyColumnAndKeptColumns) {
    struct Case {
        const char* catalog;
        const char* header;
        const char* key;
        std::vector<std::string> kept;
    } cases[] = {
        // `id` wherever it stands; the descriptive and validity columns go.
        {"c_X", "texto,id,descripcion,notas,similares,decimales,vigencia_desde,vigencia_hasta", "id", {"id", "decimales"}},
        // Without `id`, the first column.
        {"c_X", "clave,texto", "clave", {"clave"}},
        // A descriptive column that is the key stays.
        {"c_X", "texto,valor", "texto", {"texto", "valor"}},
        // Catalogs of the library's table: their own key, wherever it stands.
        {"c_Colonia", "codigo_postal,colonia,texto", "colonia", {"codigo_postal", "colonia"}},
        {"c_TasaOCuota", "tipo,valor,impuesto,factor", "impuesto", {"tipo", "valor", "impuesto", "factor"}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.header);
        LoadedCatalog c;
        ASSERT_EQ(Parse(std::string(k.header) + "\n", &c, k.catalog), kOk) << LastErrorText();
        std::vector<std::string> kept;
        for (std::size_t i = 0; i < c.table().columnCount; ++i) kept.emplace_back(c.table().ColumnName(i));
        EXPECT_EQ(kept, k.kept);
        EXPECT_EQ(c.table().ColumnName(c.table().keyColumn), k.key);
    }
}

TEST(CatalogCsv, RowsSortedByKeyBytesThenValidity) {
    // "Z" < "a" < "é" as unsigned bytes; one key's rows by start date, file order on ties.
    const std::string text =
        "id,n,vigencia_desde\n"
        "\xC3\xA9,1,\n"
        "a,2,2024-01-01\n"
        "a,3,2020-01-01\n"
        "Z,4,\n"
        "a,5,2020-01-01\n";
    LoadedCatalog c;
    ASSERT_EQ(Parse(text, &c), kOk) << LastErrorText();
    EXPECT_EQ(Rows(c.table()), (std::vector<std::string>{"Z|4@0-0", "a|3@20200101-0", "a|5@20200101-0",
                                                         "a|2@20240101-0", "\xC3\xA9|1@0-0"}));
}

TEST(CatalogCsv, MalformedFilesNameTheFileAndLine) {
    struct Case {
        const char* catalog;
        std::string text;
        std::size_t line;
        const char* what;
    } cases[] = {
        {"c_X", "", 1, "no header row"},
        {"c_X", "\xEF\xBB\xBF\r\n\n", 1, "no header row"},
        {"c_X", "id,,b\n", 1, "empty column name"},
        {"c_X", "id,a,a\n", 1, "column 'a' named twice"},
        {"c_Colonia", "colonia,texto\n", 1, "no column 'codigo_postal'"},
        {"c_NumPedimentoAduana", "patente,ejercicio\n", 1, "no column 'aduana'"},
        {"c_X", "id,a\n1,2\n3\n", 3, "1 fields where the header has 2"},
        {"c_X", "id,a\n1,2,3\n", 2, "3 fields where the header has 2"},
        // The line of the opening quote, though the file ends several lines later.
        {"c_X", "id,a\n1,x\n2,\"open\n\nstill open\n", 3, "quoted field not closed"},
        {"c_X", "id,a\n1,ab\"c\n", 2, "double quote in a field not enclosed in quotes"},
        {"c_X", "id,a\n1,\"ab\"c\n", 2, "text after the closing quote of a field"},
        // Lines inside a quoted field count.
        {"c_X", "id,a\n1,\"x\ny\r\nz\"\n2,\"q\"x\n", 5, "text after the closing quote"},
        {"c_X", std::string("id,a\n1,a\0b\n", 11), 2, "NUL character"},
        {"c_X", "id,a\n1,ok\n2,Cami\xF3n\n", 3, "not UTF-8 text"},
        {"c_X", "id,vigencia_desde\n1,2022-02-29\n", 2, "vigencia_desde '2022-02-29' is not a date (YYYY-MM-DD)"},
        {"c_X", "id,vigencia_hasta\n1,2024-02-29\n2,31/12/2024\n", 3, "vigencia_hasta '31/12/2024' is not a date"},
        {"c_X", "id,vigencia_hasta\n1,0000-01-01\n", 2, "is not a date"},
        {"c_X", "id,vigencia_hasta\n1,2024-1-011\n", 2, "is not a date"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.text);
        LoadedCatalog c;
        EXPECT_EQ(Parse(k.text, &c, k.catalog), Error::BAD_FORMAT_ERROR);
        const std::string message = LastErrorText();
        EXPECT_EQ(message.rfind("Malformed catalog file 'cat/c_Prueba.csv'/Archivo de catalogo mal formado: ", 0), 0u)
            << message;
        EXPECT_NE(message.find(k.what), std::string::npos) << message;
        EXPECT_NE(message.find("(Line/numero de linea: " + std::to_string(k.line) + ")"), std::string::npos)
            << message;
        EXPECT_EQ(c.table().name, nullptr);  // untouched
    }
}

TEST(CatalogCsv, LongValuesAreCutInMessagesOnACharacterBoundary) {
    // 39 ASCII bytes and then "é": the cut at 40 bytes would split it.
    const std::string date = std::string(39, '9') + "\xC3\xA9";
    LoadedCatalog c;
    EXPECT_EQ(Parse("id,vigencia_desde\n1," + date + "\n", &c), Error::BAD_FORMAT_ERROR);
    const std::string message = LastErrorText();
    EXPECT_NE(message.find("vigencia_desde '" + std::string(39, '9') + "' is not"), std::string::npos) << message;
}

}  // namespace
}  // namespace kvn
