// Validation of generated CFDI 3.2 documents of 1,000 and 100,000 concepts: our DTD pass
// alone (ValidateAgainstDtd), our whole KVN_ValidateXml (DTD pass and value pass), and
// libxml2's validating parse with the same DTD file (what `xmllint --noout --dtdvalid`
// does: read the document into a tree, then validate the tree). Counters: MB/s over the
// document, and the peak resident set of a child process that runs the operation once.
#include <benchmark/benchmark.h>
#include <libxml/parser.h>
#include <libxml/valid.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "cfdi/dtd_catalogue.h"
#include "cfdi/validate.h"
#include "generated_invoice.h"
#include "kelvane.h"

namespace {

std::string Document(int concepts) {
    return kvn_bench::WriteGeneratedInvoice("/tmp/kvn_validate_bench_" + std::to_string(concepts) + ".xml",
                                            kvn_bench::kValidHeader, concepts);
}

std::string DtdFile() {
    std::string path = "/tmp/kvn_validate_bench_cfdv32.dtd";
    kvn::DtdText text = kvn::EmbeddedDtd(32);
    std::ofstream(path, std::ios::binary).write(text.data, static_cast<std::streamsize>(text.size));
    return path;
}

long FileSize(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    return static_cast<long>(in.tellg());
}

void Quiet(void*, const char*, ...) {}

// libxml2's validating parse; true when it ran (the document has undeclared xmlns
// attributes, so libxml2 calls it invalid: the work is the same).
bool Libxml2(const std::string& document, const std::string& dtdPath) {
    xmlDtdPtr dtd = xmlParseDTD(nullptr, reinterpret_cast<const xmlChar*>(dtdPath.c_str()));
    xmlDocPtr doc = xmlReadFile(document.c_str(), nullptr, XML_PARSE_NOWARNING | XML_PARSE_NOERROR);
    bool ran = dtd && doc;
    if (ran) {
        xmlValidCtxtPtr ctxt = xmlNewValidCtxt();
        ctxt->error = Quiet;
        ctxt->warning = Quiet;
        xmlValidateDtd(ctxt, doc, dtd);
        xmlFreeValidCtxt(ctxt);
    }
    xmlFreeDoc(doc);
    xmlFreeDtd(dtd);
    return ran;
}

enum Side { kOursDtd, kOursWhole, kLibxml2 };

bool RunOnce(Side side, const std::string& document, const std::string& dtd) {
    switch (side) {
        case kOursDtd: return kvn::ValidateAgainstDtd(document.c_str(), dtd.c_str()) > 0;
        case kOursWhole: return KVN_ValidateXml(document.c_str(), 0) == 0;
        case kLibxml2: return Libxml2(document, dtd);
    }
    return false;
}

// Peak resident set (KiB) of a child that runs the operation once.
long ChildPeakKiB(Side side, const std::string& document, const std::string& dtd) {
    pid_t pid = fork();
    if (pid == 0) _exit(RunOnce(side, document, dtd) ? 0 : 1);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    return usage.ru_maxrss;
}

void Run(benchmark::State& state, Side side) {
    xmlSetGenericErrorFunc(nullptr, Quiet);
    std::string document = Document(static_cast<int>(state.range(0)));
    std::string dtd = DtdFile();
    if (!RunOnce(side, document, dtd)) {
        state.SkipWithError("validation failed");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(RunOnce(side, document, dtd));
    double bytes = static_cast<double>(FileSize(document)) * static_cast<double>(state.iterations());
    state.counters["MB/s"] = benchmark::Counter(bytes / 1e6, benchmark::Counter::kIsRate);
    state.counters["peakKiB"] = static_cast<double>(ChildPeakKiB(side, document, dtd));
}

void BM_OursDtdPass(benchmark::State& state) { Run(state, kOursDtd); }
void BM_OursValidateXml(benchmark::State& state) { Run(state, kOursWhole); }
void BM_Libxml2DtdValid(benchmark::State& state) { Run(state, kLibxml2); }

BENCHMARK(BM_OursDtdPass)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OursValidateXml)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Libxml2DtdValid)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
