// Catalog lookups: the built-in snapshot by set and date, a user's folder over it, the
// errors of a folder, the kept folder, threads and allocation failure.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "base/lasterror.h"
#include "base/memory.h"
#include "catalog_folder.h"
#include "cfdi/catalog_snapshot.h"
#include "cfdi/catalogs.h"
#include "support/fault_sim.h"

namespace kvn {
namespace {

using testing::CatalogFolder;
using Set = CatalogSet;
using Answer = CatalogAnswer;

std::shared_ptr<const Catalogs> Open(const char* dir) {
    std::shared_ptr<const Catalogs> c;
    ClearLastError();
    EXPECT_EQ(OpenCatalogs(dir, &c), kOk) << LastErrorText();
    return c;
}

std::string Text(std::optional<std::string_view> field) { return field ? std::string(*field) : "(no column)"; }

TEST(Catalogs, SnapshotLookupsBySetAndDate) {
    const auto snapshot = Open(nullptr);
    ASSERT_TRUE(snapshot);
    struct Case {
        Set set;
        const char* catalog;
        const char* value;
        std::int32_t date;
        Answer answer;
    } cases[] = {
        {Set::kCfdi40, "c_FormaPago", "01", 20240101, Answer::kValid},
        {Set::kCfdi40, "c_FormaPago", "1", 20240101, Answer::kInvalid},
        {Set::kCfdi40, "c_FormaPago", "01 ", 20240101, Answer::kInvalid},
        {Set::kCfdi40, "c_UsoCFDI", "g01", 20240101, Answer::kInvalid},
        {Set::kCfdi40, "c_UsoCFDI", "", 20240101, Answer::kInvalid},
        // The 4.0 catalogs start on 2022-01-01; the 3.3 ones earlier.
        {Set::kCfdi40, "c_MetodoPago", "PUE", 20211231, Answer::kInvalid},
        {Set::kCfdi40, "c_MetodoPago", "PUE", 20220101, Answer::kValid},
        {Set::kCfdi33, "c_MetodoPago", "PUE", 20211231, Answer::kValid},
        // 609 of the 3.3 c_RegimenFiscal: 2016-11-12 to 2019-12-31, both days included.
        {Set::kCfdi33, "c_RegimenFiscal", "609", 20161111, Answer::kInvalid},
        {Set::kCfdi33, "c_RegimenFiscal", "609", 20161112, Answer::kValid},
        {Set::kCfdi33, "c_RegimenFiscal", "609", 20191231, Answer::kValid},
        {Set::kCfdi33, "c_RegimenFiscal", "609", 20200101, Answer::kInvalid},
        {Set::kCfdi33, "c_RegimenFiscal", "609", 0, Answer::kValid},
        // A catalog without validity columns is valid at every date.
        {Set::kCfdi40, "c_Pais", "MEX", 19000101, Answer::kValid},
        // The four large catalogs are not in the snapshot; names are exact.
        {Set::kCfdi40, "c_ClaveProdServ", "01010101", 20240101, Answer::kAbsent},
        {Set::kCfdi40, "c_Colonia", "0001", 20240101, Answer::kAbsent},
        {Set::kCfdi40, "c_formapago", "01", 20240101, Answer::kAbsent},
        // Retenciones 2.0: its own c_Pais first, the top level's catalogs after it.
        {Set::kRet20, "c_Pais", "AF", 20240101, Answer::kValid},
        {Set::kRet20, "c_Pais", "AFG", 20240101, Answer::kInvalid},
        {Set::kRet20, "c_RegimenFiscal", "601", 20240101, Answer::kValid},
        {Set::kRet20, "c_Periodo", "13", 20240101, Answer::kInvalid},
        // No fallback for the other sets.
        {Set::kPagos, "c_TipoCadenaPago", "01", 20240101, Answer::kValid},
        {Set::kPagos, "c_FormaPago", "01", 20240101, Answer::kAbsent},
        {Set::kCfdi33, "c_Exportacion", "01", 20240101, Answer::kAbsent},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(std::string(k.catalog) + " '" + k.value + "' " + std::to_string(k.date));
        EXPECT_EQ(CatalogCheck(*snapshot, k.set, k.catalog, k.value, k.date), k.answer);
    }
}

TEST(Catalogs, RowsReadByColumnName) {
    const auto snapshot = Open("");
    const CatalogTable* moneda = snapshot->Find(Set::kCfdi40, "c_Moneda");
    ASSERT_NE(moneda, nullptr);
    const std::optional<CatalogRow> mxn = moneda->FindValid("MXN", 20240615);
    ASSERT_TRUE(mxn);
    EXPECT_EQ(Text(mxn->Field("decimales")), "2");
    EXPECT_EQ(Text(mxn->Field("porcentaje_variacion")), "5");
    EXPECT_EQ(Text(mxn->Field("texto")), "(no column)");  // descriptive columns are not kept
    EXPECT_EQ(mxn->key(), "MXN");

    const CatalogTable* uso = snapshot->Find(Set::kCfdi40, "c_UsoCFDI");
    ASSERT_NE(uso, nullptr);
    const std::optional<CatalogRow> g03 = uso->FindValid("G03", 20240615);
    ASSERT_TRUE(g03);
    EXPECT_EQ(Text(g03->Field("aplica_fisica")), "1");
    EXPECT_NE(Text(g03->Field("regimenes_fiscales_receptores")).find("626"), std::string::npos);

    // c_TasaOCuota by impuesto and factor: the IEPS Cuota range has its new maximum from
    // 2026 only.
    const CatalogTable* tasa = snapshot->Find(Set::kCfdi40, "c_TasaOCuota");
    ASSERT_NE(tasa, nullptr);
    EXPECT_FALSE(tasa->FindValid("IEPS", 20251231, {{"factor", "Cuota"}}));
    const std::optional<CatalogRow> cuota = tasa->FindValid("IEPS", 20260101, {{"factor", "Cuota"}});
    ASSERT_TRUE(cuota);
    EXPECT_EQ(Text(cuota->Field("tipo")), "Rango");
    EXPECT_EQ(Text(cuota->Field("valor")), "72.160500");
    EXPECT_FALSE(tasa->FindValid("IEPS", 20260101, {{"no_such_column", "Cuota"}}));
    int ivaRows = 0;
    for (CatalogRow row : tasa->RowsOf("IVA")) ivaRows += row.key() == "IVA";
    EXPECT_EQ(ivaRows, 3);
    EXPECT_EQ(tasa->RowsOf("IV").size(), 0u);
    EXPECT_EQ(tasa->RowsOf("IVAX").size(), 0u);
}

// The generator and the library's file reader must read the catalogs alike: the snapshot
// equals the catalog folder it was made from, read as a user's folder.
TEST(Catalogs, SnapshotEqualsTheFolderReadAtRunTime) {
    const auto loaded = Open(KVN_CATALOGS_DIR);
    const CatalogTableList* lists[] = {&kCatalogSnapshot40, &kCatalogSnapshot33, &kCatalogSnapshotRet20,
                                       &kCatalogSnapshotPagos};
    int tables = 0;
    for (int set = 0; set < kCatalogSetCount; ++set) {
        for (std::uint32_t i = 0; i < lists[set]->count; ++i, ++tables) {
            const CatalogTable& s = lists[set]->tables[i];
            SCOPED_TRACE(std::to_string(set) + " " + s.name);
            const CatalogTable* u = loaded->Find(static_cast<Set>(set), s.name);
            ASSERT_NE(u, nullptr);
            ASSERT_NE(u, &s);
            ASSERT_EQ(u->columnCount, s.columnCount);
            ASSERT_EQ(u->rowCount, s.rowCount);
            EXPECT_EQ(u->keyColumn, s.keyColumn);
            for (std::size_t c = 0; c < s.columnCount; ++c) EXPECT_EQ(u->ColumnName(c), s.ColumnName(c));
            for (std::uint32_t r = 0; r < s.rowCount; ++r) {
                EXPECT_EQ(u->validFrom[r], s.validFrom[r]);
                EXPECT_EQ(u->validUntil[r], s.validUntil[r]);
                for (std::size_t c = 0; c < s.columnCount; ++c) ASSERT_EQ(u->FieldAt(r, c), s.FieldAt(r, c)) << r;
            }
        }
    }
    EXPECT_GT(tables, 40);
}

TEST(Catalogs, UserFolderReplacesAndAdds) {
    CatalogFolder folder;
    // A c_FormaPago of one key replaces the snapshot's whole; the rest stay.
    folder.Write("c_FormaPago.csv", "id,texto,vigencia_desde,vigencia_hasta\n01,Efectivo,2022-01-01,\n");
    folder.Write("c_ClaveProdServ.csv",
                 "id,texto,iva_trasladado,ieps_trasladado,complemento,vigencia_desde,vigencia_hasta,"
                 "estimulo_frontera,similares\n"
                 "01010101,\"No existe en el catálogo\",Opcional,Opcional,,2022-01-01,,0,\n"
                 "50211503,Cigarros,Sí,Sí,,2022-01-01,2024-06-30,0,\"tabaco, puros\"\n");
    folder.Write("c_Colonia.csv", "colonia,codigo_postal,texto\n0001,01000,Centro\n0001,44100,Americana\n0002,01000,X\n");
    folder.Write("c_CodigoPostal.csv",
                 "id,estado,municipio,localidad,estimulo_frontera,vigencia_desde,vigencia_hasta\n"
                 "44100,JAL,039,03,0,2022-01-01,\n");
    folder.Write("c_NumPedimentoAduana.csv",
                 "aduana,patente,ejercicio,cantidad,vigencia_desde,vigencia_hasta\n24,3420,2023,999999,2023-01-01,\n");
    folder.Write("cfdi33/c_ClaveProdServ.csv", "id,vigencia_desde,vigencia_hasta\n01010101,2017-01-01,\n");
    folder.Write("ret20/c_Periodo.csv", "id,texto\n13,Extra\n");
    folder.Write("README.md", "not a catalog");
    const auto c = Open(folder.path());

    EXPECT_EQ(CatalogCheck(*c, Set::kCfdi40, "c_FormaPago", "01", 20240101), Answer::kValid);
    EXPECT_EQ(CatalogCheck(*c, Set::kCfdi40, "c_FormaPago", "03", 20240101), Answer::kInvalid);
    EXPECT_EQ(CatalogCheck(*c, Set::kCfdi33, "c_FormaPago", "03", 20200101), Answer::kValid);  // 3.3's own
    EXPECT_EQ(CatalogCheck(*c, Set::kCfdi40, "c_Moneda", "MXN", 20240101), Answer::kValid);

    EXPECT_EQ(CatalogCheck(*c, Set::kCfdi40, "c_ClaveProdServ", "50211503", 20240630), Answer::kValid);
    EXPECT_EQ(CatalogCheck(*c, Set::kCfdi40, "c_ClaveProdServ", "50211503", 20240701), Answer::kInvalid);
    EXPECT_EQ(CatalogCheck(*c, Set::kCfdi33, "c_ClaveProdServ", "01010101", 20180101), Answer::kValid);
    EXPECT_EQ(CatalogCheck(*c, Set::kCfdi33, "c_CodigoPostal", "44100", 20180101), Answer::kAbsent);
    // Retenciones 2.0 finds c_CodigoPostal at the user's top level, its c_Periodo in ret20/.
    EXPECT_EQ(CatalogCheck(*c, Set::kRet20, "c_CodigoPostal", "44100", 20240101), Answer::kValid);
    EXPECT_EQ(CatalogCheck(*c, Set::kRet20, "c_Periodo", "13", 20240101), Answer::kValid);
    EXPECT_EQ(CatalogCheck(*c, Set::kRet20, "c_Periodo", "01", 20240101), Answer::kInvalid);

    const CatalogTable* prod = c->Find(Set::kCfdi40, "c_ClaveProdServ");
    ASSERT_NE(prod, nullptr);
    const auto cigarros = prod->FindValid("50211503", 20240101);
    ASSERT_TRUE(cigarros);
    EXPECT_EQ(Text(cigarros->Field("ieps_trasladado")), "Sí");
    EXPECT_EQ(Text(cigarros->Field("complemento")), "");
    EXPECT_EQ(Text(cigarros->Field("similares")), "(no column)");

    // Composite keys: c_Colonia by colonia and codigo_postal, c_NumPedimentoAduana by
    // aduana, patente and ejercicio.
    const CatalogTable* colonia = c->Find(Set::kCfdi40, "c_Colonia");
    ASSERT_NE(colonia, nullptr);
    EXPECT_TRUE(colonia->FindValid("0001", 20240101, {{"codigo_postal", "44100"}}));
    EXPECT_FALSE(colonia->FindValid("0002", 20240101, {{"codigo_postal", "44100"}}));
    EXPECT_EQ(colonia->RowsOf("0001").size(), 2u);
    const CatalogTable* pedimento = c->Find(Set::kCfdi40, "c_NumPedimentoAduana");
    ASSERT_NE(pedimento, nullptr);
    const auto p = pedimento->FindValid("24", 20240101, {{"patente", "3420"}, {"ejercicio", "2023"}});
    ASSERT_TRUE(p);
    EXPECT_EQ(Text(p->Field("cantidad")), "999999");
    EXPECT_FALSE(pedimento->FindValid("24", 20240101, {{"patente", "3420"}, {"ejercicio", "2024"}}));
    EXPECT_FALSE(pedimento->FindValid("24", 20221231, {{"patente", "3420"}, {"ejercicio", "2023"}}));
}

// Several rows of one key with their own validity: the row valid at the date answers, a
// gap between them answers nothing.
TEST(Catalogs, SeveralRowsOfOneKeyByDate) {
    CatalogFolder folder;
    folder.Write("c_Moneda.csv",
                 "id,decimales,vigencia_desde,vigencia_hasta\n"
                 "XTS,4,2024-03-01,\n"
                 "XTS,2,2017-01-01,2021-12-31\n"
                 "XTS,3,2022-01-01,2024-01-31\n");
    const auto c = Open(folder.path());
    const CatalogTable* moneda = c->Find(Set::kCfdi40, "c_Moneda");
    ASSERT_NE(moneda, nullptr);
    const struct {
        std::int32_t date;
        const char* decimales;
    } cases[] = {{20161231, "(none)"}, {20170101, "2"}, {20211231, "2"}, {20220101, "3"}, {20240131, "3"},
                 {20240201, "(none)"}, {20240301, "4"}, {20991231, "4"}, {0, "2"}};
    for (const auto& k : cases) {
        SCOPED_TRACE(k.date);
        const auto row = moneda->FindValid("XTS", k.date);
        EXPECT_EQ(row ? Text(row->Field("decimales")) : "(none)", k.decimales);
        EXPECT_EQ(CatalogCheck(*c, Set::kCfdi40, "c_Moneda", "XTS", k.date),
                  row ? Answer::kValid : Answer::kInvalid);
    }
    EXPECT_EQ(moneda->RowsOf("XTS").size(), 3u);
}

TEST(Catalogs, FolderErrors) {
    CatalogFolder folder;
    const std::string file = folder.Write("plain.txt", "x");
    std::shared_ptr<const Catalogs> c;
    struct Case {
        std::string dir;
        Error error;
        std::string message;
    } cases[] = {
        {std::string(folder.path()) + "/missing", Error::OPEN_ERROR,
         "Cannot open catalog folder '" + std::string(folder.path()) + "/missing'/No se puede abrir la carpeta de catalogos"},
        {file, Error::OPEN_ERROR, "Cannot open catalog folder '" + file + "'"},
    };
    for (const Case& k : cases) {
        ClearLastError();
        EXPECT_EQ(OpenCatalogs(k.dir.c_str(), &c), k.error);
        EXPECT_EQ(std::string(LastErrorText()).rfind(k.message, 0), 0u) << LastErrorText();
        EXPECT_FALSE(c);
    }

    // A malformed file in a set folder: the file and line, and nothing opened.
    const std::string bad = folder.Write("cfdi33/c_Moneda.csv", "id,decimales\nMXN,2\nUSD\n");
    ClearLastError();
    EXPECT_EQ(OpenCatalogs(folder.path(), &c), Error::BAD_FORMAT_ERROR);
    EXPECT_EQ(std::string(LastErrorText()),
              "Malformed catalog file '" + bad +
                  "'/Archivo de catalogo mal formado: 1 fields where the header has 2 (Line/numero de linea: 3)");
    EXPECT_FALSE(c);
    std::filesystem::remove(bad);

    // A catalog name that is no regular file (a FIFO would block a reader) is refused
    // unread.
    const std::string fifo = std::string(folder.path()) + "/c_Moneda.csv";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ClearLastError();
    EXPECT_EQ(OpenCatalogs(folder.path(), &c), Error::READ_ERROR);
    EXPECT_EQ(std::string(LastErrorText()),
              "Cannot read catalog file '" + fifo + "'/No se puede leer el archivo de catalogo");
}

std::string MonedaFile(const char* decimales) {
    return std::string("id,decimales,vigencia_desde,vigencia_hasta\nMXN,") + decimales + ",2022-01-01,\n";
}

std::string DecimalesOf(const Catalogs& c) {
    const CatalogTable* t = c.Find(Set::kCfdi40, "c_Moneda");
    const auto row = t ? t->FindValid("MXN", 20240101) : std::nullopt;
    return row ? Text(row->Field("decimales")) : "(none)";
}

// Files written just now are read afresh on every call, so a rewrite in the same instant,
// even of the same size, is seen.
TEST(Catalogs, FreshFilesAreReadOnEveryCall) {
    CatalogFolder folder;
    folder.Write("c_Moneda.csv", MonedaFile("2"));
    const auto first = Open(folder.path());
    folder.Write("c_Moneda.csv", MonedaFile("3"));
    const auto second = Open(folder.path());
    EXPECT_EQ(DecimalesOf(*first), "2");
    EXPECT_EQ(DecimalesOf(*second), "3");
}

// Files that have settled are read once and shared, by any number of threads; a change
// is seen by the next call.
TEST(Catalogs, SettledFolderIsSharedUntilAFileChanges) {
    CatalogFolder folder;
    folder.Write("c_Moneda.csv", MonedaFile("2"));
    folder.Write("c_Colonia.csv", "colonia,codigo_postal\n0001,01000\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));
    ForgetLoadedCatalogs();
    const long before = LiveBlocks();

    auto first = Open(folder.path());
    std::vector<std::thread> threads;
    std::atomic<int> shared{0}, valid{0};
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20; ++i) {
                std::shared_ptr<const Catalogs> c;
                if (Failed(OpenCatalogs(folder.path(), &c))) continue;
                shared += c == first;
                valid += CatalogCheck(*c, Set::kCfdi40, "c_Colonia", "0001", 20240101) == Answer::kValid;
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(shared.load(), 160);
    EXPECT_EQ(valid.load(), 160);

    folder.Write("c_Moneda.csv", MonedaFile("3"));  // same size, same inode
    auto changed = Open(folder.path());
    EXPECT_NE(changed, first);
    EXPECT_EQ(DecimalesOf(*changed), "3");
    EXPECT_EQ(DecimalesOf(*first), "2");  // a holder keeps what it opened

    folder.Write("cfdi33/c_Moneda.csv", MonedaFile("4"));  // a new file
    EXPECT_EQ(DecimalesOf(*Open(folder.path())), "3");
    EXPECT_NE(Open(folder.path()), changed);

    // Nothing stays allocated once the holders let go and the kept folder is forgotten.
    first.reset();
    changed.reset();
    ForgetLoadedCatalogs();
    EXPECT_EQ(LiveBlocks(), before);
}

TEST(Catalogs, AllocationFailureWhileOpeningAFolder) {
    CatalogFolder folder;
    folder.Write("c_Moneda.csv", MonedaFile("2"));
    folder.Write("cfdi33/c_Colonia.csv", "colonia,codigo_postal,texto\n0001,01000,\"Centro, \"\"A\"\"\"\n");
    ForgetLoadedCatalogs();
    const long faults = kvn_test::FaultSim(
        ForgetLoadedCatalogs,
        [&] {
            std::shared_ptr<const Catalogs> c;
            const Error e = OpenCatalogs(folder.path(), &c);
            const int answer = Failed(e) ? -1 : DecimalesOf(*c) == "2";
            ForgetLoadedCatalogs();
            return answer;
        },
        kvn_test::ThrowsOrGives(1));
    EXPECT_GT(faults, 10);
}

}  // namespace
}  // namespace kvn
