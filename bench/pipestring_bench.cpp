// KVN_MakePipeStringFromXml on generated CFDI 3.2 documents of 10, 1,000 and 100,000
// concepts, side by side with two peers: the pipeline a C programmer would write with
// libxml2 (a SAX2 parse of the file that appends the same attribute values,
// whitespace-normalised, in the same order), and what every peer library runs: libxslt with
// the tax authority's stylesheet compiled once, then per call parse + transform + serialise.
// The same against libxslt for CFDI 4.0 documents with complements (every concept with its
// taxes, implocal and leyendasFisc). BM_Ours makes the two calls a caller makes (length,
// then string); BM_OursOneCall writes into a buffer known to be large enough; the peers
// parse once. Counters: MB/s over the document, and the peak resident set of a child
// process that runs the operation once (so the two sides do not share a high-water mark).
//
// Run by hand: cmake --preset bench && cmake --build build/bench --target pipestring_bench &&
// build/bench/bench/pipestring_bench
#include <benchmark/benchmark.h>
#include <libxml/parser.h>
#include <libxslt/transform.h>
#include <libxslt/xslt.h>
#include <libxslt/xsltInternals.h>
#include <libxslt/xsltutils.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "cfdi/xml_events.h"
#include "generated_invoice.h"
#include "peer_pipe.h"
#include "kelvane.h"

namespace {

std::string Document(int concepts) {
    return kvn_bench::WriteGeneratedInvoice("/tmp/kvn_pipestring_bench_" + std::to_string(concepts) + ".xml",
                                            kvn_bench::kPlainHeader, concepts);
}

// A CFDI 4.0 invoice: every concept with its transfer, the invoice's taxes, and the
// complements implocal and leyendasFisc.
std::string Document40(int concepts) {
    std::string path = "/tmp/kvn_pipestring_bench40_" + std::to_string(concepts) + ".xml";
    if (std::ifstream(path)) return path;
    std::ofstream out(path, std::ios::binary);
    out << R"(<?xml version="1.0" encoding="UTF-8"?>
<cfdi:Comprobante xmlns:cfdi="http://www.sat.gob.mx/cfd/4" xmlns:implocal="http://www.sat.gob.mx/implocal" xmlns:leyendasFisc="http://www.sat.gob.mx/leyendasFiscales" Version="4.0" Serie="A" Folio="1" Fecha="2024-01-15T10:00:00" Sello="" NoCertificado="30001000000500003416" Certificado="" FormaPago="01" SubTotal="1000.00" Moneda="MXN" Total="1180.00" TipoDeComprobante="I" Exportacion="01" MetodoPago="PUE" LugarExpedicion="20000">
  <cfdi:Emisor Rfc="EKU9003173C9" Nombre="ESCUELA KEMPER URGATE" RegimenFiscal="601"/>
  <cfdi:Receptor Rfc="URE180429TM6" Nombre="UNIVERSIDAD ROBOTICA ESPANOLA" DomicilioFiscalReceptor="65000" RegimenFiscalReceptor="601" UsoCFDI="G01"/>
  <cfdi:Conceptos>
)";
    for (int i = 0; i < concepts; ++i) {
        out << "    <cfdi:Concepto ClaveProdServ=\"50211503\" NoIdentificacion=\"SKU-" << i << "\" Cantidad=\""
            << (i % 7 + 1) << "\" ClaveUnidad=\"H87\" Unidad=\"Pieza\" Descripcion=\"Articulo de prueba numero " << i
            << "\" ValorUnitario=\"12.50\" Importe=\"" << (i % 7 + 1) * 12.5 << "\" ObjetoImp=\"02\">\n"
            << "      <cfdi:Impuestos><cfdi:Traslados><cfdi:Traslado Base=\"" << (i % 7 + 1) * 12.5
            << "\" Impuesto=\"002\" TipoFactor=\"Tasa\" TasaOCuota=\"0.160000\" Importe=\"" << (i % 7 + 1) * 2
            << ".00\"/></cfdi:Traslados></cfdi:Impuestos>\n    </cfdi:Concepto>\n";
    }
    out << R"(  </cfdi:Conceptos>
  <cfdi:Impuestos TotalImpuestosTrasladados="160.00">
    <cfdi:Traslados><cfdi:Traslado Base="1000.00" Impuesto="002" TipoFactor="Tasa" TasaOCuota="0.160000" Importe="160.00"/></cfdi:Traslados>
  </cfdi:Impuestos>
  <cfdi:Complemento>
    <implocal:ImpuestosLocales version="1.0" TotaldeRetenciones="0.00" TotaldeTraslados="20.00">
      <implocal:TrasladosLocales ImpLocTrasladado="ISH" TasadeTraslado="2.00" Importe="20.00"/>
    </implocal:ImpuestosLocales>
    <leyendasFisc:LeyendasFiscales version="1.0">
      <leyendasFisc:Leyenda disposicionFiscal="RESDERAUT" norma="Art. 2" textoLeyenda="Obra protegida"/>
    </leyendasFisc:LeyendasFiscales>
  </cfdi:Complemento>
</cfdi:Comprobante>
)";
    return path;
}

long FileSize(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    return static_cast<long>(in.tellg());
}

// ---- ours

std::string Ours(const std::string& path) {
    int n = KVN_MakePipeStringFromXml(nullptr, 0, path.c_str(), 0);
    if (n < 0) return {};
    std::string out(static_cast<std::size_t>(n), '\0');
    n = KVN_MakePipeStringFromXml(out.data(), n, path.c_str(), 0);
    out.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
    return out;
}

// One call into a buffer the caller already knows to be large enough.
std::string OursOneCall(const std::string& path) {
    static std::string buffer(32 << 20, '\0');
    int n = KVN_MakePipeStringFromXml(buffer.data(), static_cast<int>(buffer.size() - 1), path.c_str(), 0);
    return n < 0 ? std::string() : std::string(buffer.data(), static_cast<std::size_t>(n));
}

// The library's parser alone, handing every event to a sink that does nothing: the part
// of our time that the parser takes.
struct NullSink final : kvn::XmlEventSink {
    std::size_t events = 0;
    bool OnStartElement(const char*, const char*, const char*, const kvn::ElementAttribute*, std::size_t n) override {
        events += n;
        return true;
    }
};
std::string ParserOnly(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return {};
    NullSink sink;
    kvn::XmlParseResult r = kvn::ParseXmlEvents(f, sink, kvn::kXmlDefaults);
    std::fclose(f);
    return r.status == kvn::XmlParseStatus::kComplete ? std::to_string(sink.events) : std::string();
}

// ---- peer: libxml2 SAX2 collecting the same values

struct Collector {
    const std::map<std::string, std::vector<std::string>>* order;
    std::string pipe;
    std::string transferTotal;  // written after the transfer lines, as the tables order it
};


void PeerStart(void* ctx, const xmlChar* localname, const xmlChar*, const xmlChar*, int, const xmlChar**,
               int nbAttributes, int, const xmlChar** attrs) {
    auto* c = static_cast<Collector*>(ctx);
    if (std::strcmp(reinterpret_cast<const char*>(localname), "Impuestos") == 0) {
        for (int i = 0; i < nbAttributes; ++i) {
            const xmlChar** a = attrs + 5 * i;
            if (std::strcmp(reinterpret_cast<const char*>(a[0]), "totalImpuestosTrasladados") == 0) {
                c->transferTotal.clear();
                kvn_bench::AppendNormalised(c->transferTotal, reinterpret_cast<const char*>(a[3]),
                                 static_cast<std::size_t>(a[4] - a[3]));
            }
        }
        return;
    }
    auto it = c->order->find(reinterpret_cast<const char*>(localname));
    if (it == c->order->end()) return;
    for (const std::string& name : it->second) {
        for (int i = 0; i < nbAttributes; ++i) {
            const xmlChar** a = attrs + 5 * i;
            if (a[1] == nullptr && name == reinterpret_cast<const char*>(a[0]) && a[4] > a[3]) {
                kvn_bench::AppendNormalised(c->pipe, reinterpret_cast<const char*>(a[3]), static_cast<std::size_t>(a[4] - a[3]));
                c->pipe += '|';
                break;
            }
        }
    }
}


void PeerEnd(void* ctx, const xmlChar* localname, const xmlChar*, const xmlChar*) {
    auto* c = static_cast<Collector*>(ctx);
    if (std::strcmp(reinterpret_cast<const char*>(localname), "Traslados") == 0 && !c->transferTotal.empty()) {
        c->pipe += c->transferTotal;
        c->pipe += '|';
    }
}

std::string Peer(const std::string& path) {
    xmlSAXHandler sax{};
    sax.initialized = XML_SAX2_MAGIC;
    sax.startElementNs = PeerStart;
    sax.endElementNs = PeerEnd;
    Collector c{&kvn_bench::kPeerPipeOrder, "||", {}};
    if (xmlSAXUserParseFile(&sax, &c, path.c_str()) != 0) return {};
    c.pipe += '|';
    return c.pipe;
}

// ---- peer: libxslt in process, the stylesheet compiled once

void Quiet(void*, const char*, ...) {}

xsltStylesheetPtr CompiledStylesheet(const std::string& relative) {
    static std::map<std::string, xsltStylesheetPtr> compiled;
    auto it = compiled.find(relative);
    if (it != compiled.end()) return it->second;
    // The stylesheets declare XSLT 2.0; libxslt warns and runs them in forwards-compatible
    // mode (they use XSLT 1.0 only).
    xmlSetGenericErrorFunc(nullptr, Quiet);
    xsltSetGenericErrorFunc(nullptr, Quiet);
    std::string path = std::string(KVN_SAT_DIR) + "/www.sat.gob.mx/sitio_internet/cfd/" + relative;
    xsltStylesheetPtr sheet = xsltParseStylesheetFile(reinterpret_cast<const xmlChar*>(path.c_str()));
    compiled[relative] = sheet;
    return sheet;
}

std::string Transform(const char* relative, const std::string& path) {
    xsltStylesheetPtr sheet = CompiledStylesheet(relative);
    if (!sheet) return {};
    xmlDocPtr doc = xmlReadFile(path.c_str(), nullptr, XML_PARSE_NONET);
    if (!doc) return {};
    xmlDocPtr result = xsltApplyStylesheet(sheet, doc, nullptr);
    std::string text;
    xmlChar* out = nullptr;
    int length = 0;
    if (result && xsltSaveResultToString(&out, &length, result, sheet) == 0 && out) {
        text.assign(reinterpret_cast<const char*>(out), static_cast<std::size_t>(length));
    }
    xmlFree(out);
    xmlFreeDoc(result);
    xmlFreeDoc(doc);
    return text;
}

std::string Xslt32(const std::string& path) { return Transform("3/cadenaoriginal_3_2/cadenaoriginal_3_2.xslt", path); }
std::string Xslt40(const std::string& path) { return Transform("4/cadenaoriginal_4_0/cadenaoriginal_4_0.xslt", path); }

// ---- benchmarks

using Operation = std::string (*)(const std::string&);
const std::map<std::string, Operation> kOperations = {
    {"ours", Ours}, {"ours-one-call", OursOneCall}, {"parser-only", ParserOnly}, {"libxml2", Peer},
    {"libxslt", Xslt32}, {"ours-40", OursOneCall}, {"libxslt-40", Xslt40}};

// Runs the operation once in a fresh process (this program started again with
// --peak-rss) and returns that process's peak resident set in kB.
long PeakRssKb(const std::string& operation, const std::string& path) {
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return -1;
    self[n] = '\0';
    std::string command = std::string(self) + " --peak-rss " + operation + " " + path;
    FILE* p = popen(command.c_str(), "r");
    if (!p) return -1;
    long kb = -1;
    if (std::fscanf(p, "%ld", &kb) != 1) kb = -1;
    pclose(p);
    return kb;
}

void Run(benchmark::State& state, const std::string& operation) {
    Operation run = kOperations.at(operation);
    const bool cfdi40 = operation.ends_with("-40");
    std::string path = (cfdi40 ? Document40 : Document)(static_cast<int>(state.range(0)));
    static std::map<std::string, bool> agreed;  // checked once per document
    if (!agreed.count(path)) {
        std::string ours = Ours(path);
        agreed[path] = !ours.empty() && OursOneCall(path) == ours && (cfdi40 ? Xslt40(path) : Xslt32(path)) == ours &&
                       (cfdi40 || Peer(path) == ours);
    }
    if (!agreed[path]) {
        state.SkipWithError("ours and the peers disagree on the pipe string");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(run(path));
    long bytes = FileSize(path);
    state.SetBytesProcessed(state.iterations() * bytes);
    state.counters["doc_MB"] = static_cast<double>(bytes) / 1e6;
    state.counters["peak_rss_kB"] = static_cast<double>(PeakRssKb(operation, path));
}

void BM_Ours(benchmark::State& state) { Run(state, "ours"); }
void BM_OursOneCall(benchmark::State& state) { Run(state, "ours-one-call"); }
void BM_OurParserOnly(benchmark::State& state) { Run(state, "parser-only"); }
void BM_Libxml2Sax(benchmark::State& state) { Run(state, "libxml2"); }
void BM_LibxsltInProcess(benchmark::State& state) { Run(state, "libxslt"); }
void BM_Ours40(benchmark::State& state) { Run(state, "ours-40"); }
void BM_LibxsltInProcess40(benchmark::State& state) { Run(state, "libxslt-40"); }

BENCHMARK(BM_Ours)->Arg(10)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OursOneCall)->Arg(10)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OurParserOnly)->Arg(10)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Libxml2Sax)->Arg(10)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LibxsltInProcess)->Arg(10)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Ours40)->Arg(10)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LibxsltInProcess40)->Arg(10)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--peak-rss") == 0) {
        auto it = kOperations.find(argv[2]);
        if (it == kOperations.end() || it->second(argv[3]).empty()) return 1;
        // (the libxslt figures include the stylesheet's compilation)
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        std::printf("%ld\n", usage.ru_maxrss);
        return 0;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
