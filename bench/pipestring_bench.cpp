// KVN_MakePipeStringFromXml on generated CFDI 3.2 documents of 10, 1,000 and 100,000
// concepts, side by side with the pipeline a C programmer would write with libxml2: a SAX2
// parse of the file that appends the same attribute values, whitespace-normalised, in the
// same order. BM_Ours makes the two calls a caller makes (length, then string);
// BM_OursOneCall writes into a buffer known to be large enough; the peer parses once. Counters:
// MB/s over the document, and the peak resident set of a child process that runs the
// operation once (so the two sides do not share a high-water mark).
#include <benchmark/benchmark.h>
#include <libxml/parser.h>
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

// ---- benchmarks

using Operation = std::string (*)(const std::string&);
const std::map<std::string, Operation> kOperations = {
    {"ours", Ours}, {"ours-one-call", OursOneCall}, {"parser-only", ParserOnly}, {"libxml2", Peer}};

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
    std::string path = Document(static_cast<int>(state.range(0)));
    if (Ours(path) != Peer(path) || OursOneCall(path) != Peer(path)) {
        state.SkipWithError("ours and the peer disagree on the pipe string");
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

BENCHMARK(BM_Ours)->Arg(10)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OursOneCall)->Arg(10)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OurParserOnly)->Arg(10)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Libxml2Sax)->Arg(10)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--peak-rss") == 0) {
        auto it = kOperations.find(argv[2]);
        if (it == kOperations.end() || it->second(argv[3]).empty()) return 1;
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
