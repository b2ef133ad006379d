// Parse throughput on an invoice-shaped document with 100,000 concept lines (~30 MB,
// accented text, character and entity references), read from a file in the same way by
// our parser, libxml2's SAX2 parser and expat. Every handler touches every attribute
// (it sums the value lengths), so the work done per event is the same.
//
// Counters: bytes_per_second for each parser; peak_rss_kb is the peak resident set of a
// child process that parses the document once (document size independent when the
// parser streams); checksum must agree between the three.
#include <benchmark/benchmark.h>
#include <expat.h>
#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "xml/parser.h"

namespace {

const char* DocumentPath(int concepts) {
    static std::string paths[2];
    std::string& path = paths[concepts > 1000 ? 1 : 0];
    if (!path.empty()) return path.c_str();
    path = std::string(P_tmpdir) + "/kvn_bench_" + std::to_string(concepts) + ".xml";
    std::FILE* f = std::fopen(path.c_str(), "wb");
    std::fputs("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
               "<cfdi:Comprobante xmlns:cfdi=\"http://www.sat.gob.mx/cfd/3\" "
               "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" version=\"3.2\" "
               "fecha=\"2014-01-15T10:30:00\" tipoDeComprobante=\"ingreso\" formaDePago=\"PAGO EN UNA "
               "SOLA EXHIBICION\" subTotal=\"1000.00\" total=\"1160.00\" metodoDePago=\"Transferencia\" "
               "LugarExpedicion=\"Querétaro, Querétaro\" sello=\"\" noCertificado=\"\" certificado=\"\">\n"
               "  <cfdi:Emisor rfc=\"AAA010101AAA\" nombre=\"Compañía Ejemplo &amp; Asociados\">\n"
               "    <cfdi:DomicilioFiscal calle=\"Avenida Niños Héroes\" municipio=\"Querétaro\" "
               "estado=\"Querétaro\" pais=\"México\" codigoPostal=\"76000\"/>\n"
               "  </cfdi:Emisor>\n  <cfdi:Receptor rfc=\"XAXX010101000\" nombre=\"Público en general\"/>\n"
               "  <cfdi:Conceptos>\n", f);
    for (int i = 0; i < concepts; ++i)
        std::fprintf(f,
                     "    <cfdi:Concepto cantidad=\"%d.00\" unidad=\"pieza\" noIdentificacion=\"SKU-%06d\" "
                     "descripcion=\"Artículo número %d: café, azúcar y piñón &lt;orgánico&gt; &#xE9;\" "
                     "valorUnitario=\"%d.50\" importe=\"%d.50\"><!-- línea --></cfdi:Concepto>\n",
                     i % 9 + 1, i, i, i % 1000, (i % 9 + 1) * (i % 1000));
    std::fputs("  </cfdi:Conceptos>\n  <cfdi:Impuestos totalImpuestosTrasladados=\"160.00\">\n"
               "    <cfdi:Traslados><cfdi:Traslado impuesto=\"IVA\" tasa=\"16.00\" importe=\"160.00\"/>"
               "</cfdi:Traslados>\n  </cfdi:Impuestos>\n</cfdi:Comprobante>\n", f);
    std::fclose(f);
    return path.c_str();
}

// --- ours ----------------------------------------------------------------------------
int OurStart(void* user, const char*, const char*, const char*, kvn::XmlAttributes* attributes) {
    auto* sum = static_cast<long*>(user);
    for (std::uint32_t i = 0; i < kvn::XmlAttributeCount(attributes); ++i)
        *sum += kvn::XmlAttributeAt(attributes, i)->valueLength + 1;
    return 0;
}
int OurText(void* user, const char*, int len) {
    *static_cast<long*>(user) += len;
    return 0;
}

long ParseOurs(const char* path) {
    long sum = 0;
    kvn::XmlParser* parser = kvn::XmlParserCreate(nullptr);
    parser->userData = &sum;
    parser->handlers.startElement = OurStart;
    parser->handlers.characters = OurText;
    parser->handlers.ignorableWhitespace = OurText;
    std::FILE* f = std::fopen(path, "rb");
    if (kvn::XmlParse(parser, kvn::XmlFileRead, f, nullptr) != kvn::kOk) sum = -1;
    std::fclose(f);
    kvn::XmlParserFree(parser);
    return sum;
}

// --- libxml2 SAX2 (push parser fed in 64 KiB blocks) ---------------------------------------
void Libxml2Start(void* ctx, const xmlChar*, const xmlChar*, const xmlChar*, int, const xmlChar**,
                  int nAttributes, int, const xmlChar** attributes) {
    auto* sum = static_cast<long*>(static_cast<xmlParserCtxtPtr>(ctx)->_private);
    for (int i = 0; i < nAttributes; ++i)  // name, prefix, URI, value, end
        *sum += (attributes[i * 5 + 4] - attributes[i * 5 + 3]) + 1;
}
void Libxml2Text(void* ctx, const xmlChar*, int len) {
    *static_cast<long*>(static_cast<xmlParserCtxtPtr>(ctx)->_private) += len;
}

long ParseLibxml2(const char* path) {
    long sum = 0;
    xmlSAXHandler sax;
    std::memset(&sax, 0, sizeof sax);
    sax.initialized = XML_SAX2_MAGIC;
    sax.startElementNs = Libxml2Start;
    sax.characters = Libxml2Text;
    sax.ignorableWhitespace = Libxml2Text;
    std::FILE* f = std::fopen(path, "rb");
    static char block[65536];
    xmlParserCtxtPtr ctx = xmlCreatePushParserCtxt(&sax, nullptr, nullptr, 0, path);
    ctx->_private = &sum;
    std::size_t n;
    while ((n = std::fread(block, 1, sizeof block, f)) > 0) xmlParseChunk(ctx, block, static_cast<int>(n), 0);
    xmlParseChunk(ctx, block, 0, 1);
    if (!ctx->wellFormed) sum = -1;
    xmlFreeParserCtxt(ctx);
    std::fclose(f);
    return sum;
}

// --- expat ------------------------------------------------------------------------------
void ExpatStart(void* user, const XML_Char*, const XML_Char** attributes) {
    auto* sum = static_cast<long*>(user);
    for (int i = 0; attributes[i]; i += 2) *sum += static_cast<long>(std::strlen(attributes[i + 1])) + 1;
}
void ExpatText(void* user, const XML_Char*, int len) { *static_cast<long*>(user) += len; }

long ParseExpat(const char* path) {
    long sum = 0;
    XML_Parser parser = XML_ParserCreateNS(nullptr, '|');
    XML_SetUserData(parser, &sum);
    XML_SetStartElementHandler(parser, ExpatStart);
    XML_SetCharacterDataHandler(parser, ExpatText);
    std::FILE* f = std::fopen(path, "rb");
    static char block[65536];
    std::size_t n;
    bool ok = true;
    while (ok && (n = std::fread(block, 1, sizeof block, f)) > 0)
        ok = XML_Parse(parser, block, static_cast<int>(n), 0) == XML_STATUS_OK;
    ok = ok && XML_Parse(parser, block, 0, 1) == XML_STATUS_OK;
    if (!ok) sum = -1;
    XML_ParserFree(parser);
    std::fclose(f);
    return sum;
}

// Peak resident set (KiB) of a child that parses the document once.
long ChildPeakRss(long (*parse)(const char*), const char* path) {
    pid_t pid = fork();
    if (pid == 0) _exit(parse(path) < 0 ? 1 : 0);
    int status = 0;
    struct rusage usage {};
    wait4(pid, &status, 0, &usage);
    return usage.ru_maxrss;
}

void Run(benchmark::State& state, long (*parse)(const char*)) {
    const char* path = DocumentPath(static_cast<int>(state.range(0)));
    long checksum = 0;
    for (auto _ : state) {
        checksum = parse(path);
        benchmark::DoNotOptimize(checksum);
    }
    std::FILE* f = std::fopen(path, "rb");
    std::fseek(f, 0, SEEK_END);
    long size = std::ftell(f);
    std::fclose(f);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
    state.counters["checksum"] = static_cast<double>(checksum);
    state.counters["peak_rss_kb"] = static_cast<double>(ChildPeakRss(parse, path));
    if (checksum < 0) state.SkipWithError("parse failed");
}

void BM_Kelvane(benchmark::State& s) { Run(s, ParseOurs); }
void BM_Libxml2Sax2(benchmark::State& s) { Run(s, ParseLibxml2); }
void BM_Expat(benchmark::State& s) { Run(s, ParseExpat); }

// 100,000 concepts (~30 MB), and 1,000 to show that memory does not follow the size.
BENCHMARK(BM_Kelvane)->Arg(100000)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Libxml2Sax2)->Arg(100000)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Expat)->Arg(100000)->Arg(1000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
