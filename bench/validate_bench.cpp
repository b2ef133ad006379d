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
#include <map>
#include <vector>
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
        case kOursDtd: return !kvn::Failed(kvn::ValidateAgainstDtd(document.c_str(), dtd.c_str()));
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

// Time per call of every run, and after the runs the ratio ours / libxml2 and its target.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            if (r.run_type == Run::RT_Iteration && r.iterations > 0) times_[r.benchmark_name()] = r.GetAdjustedCPUTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
    void PrintRatios() const {
        struct Target {
            const char* ours;
            const char* peer;
            double limit;
        };
        const Target targets[] = {{"BM_OursValidateXml/1000", "BM_Libxml2DtdValid/1000", 0.3},
                                  {"BM_OursValidateXml/100000", "BM_Libxml2DtdValid/100000", 0.0}};
        std::printf("\n%-28s %12s %12s %8s %8s   (CPU time, ms)\n", "case", "ours", "libxml2", "ratio", "target");
        for (const Target& t : targets) {
            auto ours = times_.find(t.ours);
            auto peer = times_.find(t.peer);
            if (ours == times_.end() || peer == times_.end()) continue;
            const double ratio = ours->second / peer->second;
            std::printf("%-28s %12.2f %12.2f %8.2f", t.ours, ours->second, peer->second, ratio);
            if (t.limit > 0) std::printf(" %8.1f %s", t.limit, ratio <= t.limit ? "ok" : "MISSED");
            std::printf("\n");
        }
    }

private:
    std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    benchmark::Shutdown();
    return 0;
}
