// Validation of generated CFDI 4.0 invoices of 10, 1,000 and 100,000 concepts (each with its
// taxes, a third with a concept complement; the document with the local-taxes complement and
// the stamp): KVN_ValidateXml against libxml2's XML Schema validation with the schema set
// parsed once, streaming (xmlSchemaValidateFile) and over a tree (xmlReadFile, then
// xmlSchemaValidateDoc). Both sides check the same catalogs: libxml2 as enumerations of the
// catCFDI.xsd that the differential test builds, the library through KELVANE_CATALOGS set to
// the same folder. Counters: MB/s over the document, and the peak resident set of a child
// process that runs the validation once. The ratio ours / the faster peer is printed last,
// with its target (0.3 at every size).
//
// The peer's schema tree and the catalog folder come from
//   tests/cfdi/differential/gen_documents.py --schema --count 1 --out /tmp/kvn_schema_bench
// which the benchmark runs when they are not there yet.
#include <benchmark/benchmark.h>
#include <libxml/parser.h>
#include <libxml/xmlschemas.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "kelvane.h"

namespace {

const std::string kWork = "/tmp/kvn_schema_bench";

const char kHeader[] =
    R"(<?xml version="1.0" encoding="UTF-8"?>
<cfdi:Comprobante xmlns:cfdi="http://www.sat.gob.mx/cfd/4" xmlns:implocal="http://www.sat.gob.mx/implocal" xmlns:iedu="http://www.sat.gob.mx/iedu" xmlns:tfd="http://www.sat.gob.mx/TimbreFiscalDigital" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" xsi:schemaLocation="http://www.sat.gob.mx/cfd/4 http://www.sat.gob.mx/sitio_internet/cfd/4/cfdv40.xsd" Version="4.0" Serie="B" Folio="2048" Fecha="2024-05-20T11:42:08" Sello="c2VsbG8gZGUgcHJ1ZWJh" FormaPago="03" NoCertificado="30001000000300000123" Certificado="" CondicionesDePago="Contado" SubTotal="@SUB@" Moneda="MXN" Total="@TOTAL@" TipoDeComprobante="I" Exportacion="01" MetodoPago="PUE" LugarExpedicion="44100">
  <cfdi:Emisor Rfc="AAA010101AAA" Nombre="EMPRESA DE PRUEBA" RegimenFiscal="601"/>
  <cfdi:Receptor Rfc="EKU9003173C9" Nombre="ESCUELA KEMPER URGATE" DomicilioFiscalReceptor="42501" RegimenFiscalReceptor="601" UsoCFDI="G03"/>
  <cfdi:Conceptos>
)";

const char kFooter[] = R"(  </cfdi:Conceptos>
  <cfdi:Impuestos TotalImpuestosTrasladados="@TAX@">
    <cfdi:Traslados>
      <cfdi:Traslado Base="@SUB@" Impuesto="002" TipoFactor="Tasa" TasaOCuota="0.160000" Importe="@TAX@"/>
    </cfdi:Traslados>
  </cfdi:Impuestos>
  <cfdi:Complemento>
    <implocal:ImpuestosLocales version="1.0" TotaldeRetenciones="0.00" TotaldeTraslados="20.00">
      <implocal:TrasladosLocales ImpLocTrasladado="ISH" TasadeTraslado="2.00" Importe="20.00"/>
    </implocal:ImpuestosLocales>
    <tfd:TimbreFiscalDigital Version="1.1" UUID="6F2B2C3A-5A4B-4C3D-8E9F-0A1B2C3D4E5F" FechaTimbrado="2024-05-20T11:45:00" RfcProvCertif="SAT970701NN3" SelloCFD="c2VsbG8=" NoCertificadoSAT="30001000000400002495" SelloSAT="c2VsbG9TQVQ="/>
  </cfdi:Complemento>
</cfdi:Comprobante>
)";

std::string Document(int concepts) {
    const std::string path = kWork + "/bench40_totals_" + std::to_string(concepts) + ".xml";
    if (std::ifstream(path)) return path;
    // Totals that add up, so that the authority's rules find nothing either: each concept is
    // 10.00 with 1.60 of transferred tax, and the local tax of the footer is 20.00.
    const long cents = 1000L * concepts, tax = 160L * concepts;
    auto money = [](long c) { return std::to_string(c / 100) + "." + (c % 100 < 10 ? "0" : "") + std::to_string(c % 100); };
    auto fill = [&](std::string text) {
        for (auto [key, value] : {std::pair<std::string, std::string>{"@SUB@", money(cents)}, {"@TAX@", money(tax)},
                                  {"@TOTAL@", money(cents + tax + 2000)}})
            for (size_t at; (at = text.find(key)) != std::string::npos;) text.replace(at, key.size(), value);
        return text;
    };
    std::ofstream out(path, std::ios::binary);
    out << fill(kHeader);
    for (int i = 0; i < concepts; ++i) {
        out << "    <cfdi:Concepto ClaveProdServ=\"84111506\" NoIdentificacion=\"SKU-" << i
            << "\" Cantidad=\"1\" ClaveUnidad=\"E48\" Unidad=\"Servicio\" Descripcion=\"Servicio de prueba numero " << i
            << "\" ValorUnitario=\"10.00\" Importe=\"10.00\" ObjetoImp=\"02\">\n"
               "      <cfdi:Impuestos><cfdi:Traslados><cfdi:Traslado Base=\"10.00\" Impuesto=\"002\" TipoFactor=\"Tasa\" "
               "TasaOCuota=\"0.160000\" Importe=\"1.60\"/></cfdi:Traslados></cfdi:Impuestos>\n";
        if (i % 3 == 0)
            out << "      <cfdi:ComplementoConcepto><iedu:instEducativas version=\"1.0\" nombreAlumno=\"Alumno " << i
                << "\" CURP=\"PEPJ800101HDFRRN09\" nivelEducativo=\"Primaria\" autRVOE=\"1234\"/></cfdi:ComplementoConcepto>\n";
        out << "    </cfdi:Concepto>\n";
    }
    out << fill(kFooter);
    return path;
}

long FileSize(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    return static_cast<long>(in.tellg());
}

void Quiet(void*, const char*, ...) {}

// The peer's schema set, parsed once for the whole run.
xmlSchemaPtr PeerSchema() {
    static xmlSchemaPtr schema = [] {
        const std::string peer = kWork + "/peer/40/peer.xsd";
        if (!std::ifstream(peer)) {
            const std::string command = std::string("python3 '") + KVN_SOURCE_DIR +
                                        "/tests/cfdi/differential/gen_documents.py' --schema --sat '" + KVN_SAT_DIR +
                                        "' --catalogs '" + KVN_CATALOGS_DIR + "' --out " + kWork +
                                        " --count 1 > /dev/null";
            if (std::system(command.c_str()) != 0) return static_cast<xmlSchemaPtr>(nullptr);
        }
        xmlSchemaParserCtxtPtr parser = xmlSchemaNewParserCtxt(peer.c_str());
        xmlSchemaPtr s = xmlSchemaParse(parser);
        xmlSchemaFreeParserCtxt(parser);
        return s;
    }();
    return schema;
}

enum Side { kOurs, kPeerStream, kPeerTree };

bool RunOnce(Side side, const std::string& document) {
    if (side == kOurs) return KVN_ValidateXml(document.c_str(), 0) == 0;
    xmlSchemaValidCtxtPtr ctxt = xmlSchemaNewValidCtxt(PeerSchema());
    xmlSchemaSetValidErrors(ctxt, Quiet, Quiet, nullptr);
    int rc;
    if (side == kPeerStream) {
        rc = xmlSchemaValidateFile(ctxt, document.c_str(), 0);
    } else {
        xmlDocPtr doc = xmlReadFile(document.c_str(), nullptr, XML_PARSE_NOWARNING | XML_PARSE_NOERROR | XML_PARSE_HUGE);
        rc = doc ? xmlSchemaValidateDoc(ctxt, doc) : -1;
        xmlFreeDoc(doc);
    }
    xmlSchemaFreeValidCtxt(ctxt);
    return rc == 0;
}

long ChildPeakKiB(Side side, const std::string& document) {
    pid_t pid = fork();
    if (pid == 0) _exit(RunOnce(side, document) ? 0 : 1);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    return usage.ru_maxrss;
}

void Run(benchmark::State& state, Side side) {
    xmlSetGenericErrorFunc(nullptr, Quiet);
    if (!PeerSchema()) {
        state.SkipWithError("the peer's schemas could not be made or read");
        return;
    }
    setenv("KELVANE_CATALOGS", (kWork + "/catalogs").c_str(), 1);
    const std::string document = Document(static_cast<int>(state.range(0)));
    if (!RunOnce(side, document)) {
        char message[1024] = "";
        KVN_LastError(message, sizeof message - 1);
        state.SkipWithError((std::string("the document is not valid: ") + message).c_str());
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(RunOnce(side, document));
    const double bytes = static_cast<double>(FileSize(document)) * static_cast<double>(state.iterations());
    state.counters["MB/s"] = benchmark::Counter(bytes / 1e6, benchmark::Counter::kIsRate);
    state.counters["peakKiB"] = static_cast<double>(ChildPeakKiB(side, document));
}

void BM_OursValidateXml(benchmark::State& state) { Run(state, kOurs); }
void BM_Libxml2SchemaStream(benchmark::State& state) { Run(state, kPeerStream); }
void BM_Libxml2SchemaTree(benchmark::State& state) { Run(state, kPeerTree); }

BENCHMARK(BM_OursValidateXml)->Arg(10)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Libxml2SchemaStream)->Arg(10)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Libxml2SchemaTree)->Arg(10)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);

// Per size: ours against the faster of the two peers, and the peak memory of each.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            if (r.run_type != Run::RT_Iteration || r.iterations <= 0) continue;
            times_[r.benchmark_name()] = r.GetAdjustedRealTime();
            auto peak = r.counters.find("peakKiB");
            if (peak != r.counters.end()) peaks_[r.benchmark_name()] = peak->second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    void PrintRatios() const {
        std::printf("\n%-10s %12s %12s %8s %8s %12s %12s   (wall time ms; peak KiB)\n", "concepts", "ours",
                    "libxml2", "ratio", "target", "ours peak", "libxml2 peak");
        for (const char* size : {"10", "1000", "100000"}) {
            const std::string ours = std::string("BM_OursValidateXml/") + size;
            const std::string stream = std::string("BM_Libxml2SchemaStream/") + size;
            const std::string tree = std::string("BM_Libxml2SchemaTree/") + size;
            if (!times_.count(ours) || !times_.count(stream) || !times_.count(tree)) continue;
            const std::string& peer = times_.at(stream) <= times_.at(tree) ? stream : tree;
            const double ratio = times_.at(ours) / times_.at(peer);
            std::printf("%-10s %12.3f %12.3f %8.3f %8.1f %12.0f %12.0f %s\n", size, times_.at(ours), times_.at(peer),
                        ratio, 0.3, Peak(ours), Peak(peer), ratio <= 0.3 ? "ok" : "MISSED");
        }
    }

private:
    double Peak(const std::string& name) const {
        auto it = peaks_.find(name);
        return it == peaks_.end() ? 0 : it->second;
    }
    std::map<std::string, double> times_;
    std::map<std::string, double> peaks_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    std::system(("mkdir -p " + kWork).c_str());
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    benchmark::Shutdown();
    return 0;
}
