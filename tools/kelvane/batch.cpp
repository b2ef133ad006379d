#include "batch.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <exception>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <thread>

#include "kelvane.h"
#include "library.h"
#include "output.h"

namespace fs = std::filesystem;

namespace cli {
namespace {

bool HasXmlExtension(const fs::path& p) {
    std::string ext = p.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
    return ext == ".xml";
}

// ---- what the user sees ------------------------------------------------------------------

class Display {
public:
    Display(const Invocation& inv, const BatchLabels& labels, size_t total)
        : inv_(inv), labels_(labels), total_(total),
          progress_(!inv.json && total > 1 && isatty(STDERR_FILENO)) {}

    void Finished(const BatchItem& item, const Outcome& o) {
        ++done_;
        o.ok() ? ++passed_ : ++failed_;
        bool printed = false;
        if (!inv_.json && (!o.ok() || !inv_.quiet || !o.note.empty())) {
            ClearProgress();
            printed = true;
            if (o.ok()) {
                std::string line = item.input;
                if (!item.output.empty() && item.output != item.input) line += " -> " + item.output;
                if (!inv_.quiet) WriteStdout(line + ": " + labels_.passed + "\n");
                std::fflush(stdout);
                PrintNote(inv_.command, item.input, o);
            } else {
                PrintFailure(inv_.command, item.input, o);
            }
            if (!o.details.empty()) {
                WriteStdout(o.details);
                std::fflush(stdout);
            }
        }
        ShowProgress(item, printed);
    }

    void Done() { ClearProgress(); }

private:
    // Redraws the progress line; at most every 100 ms unless a result line just replaced it.
    void ShowProgress(const BatchItem& current, bool redraw_now) {
        if (!progress_ || done_ == total_) return;
        auto now = std::chrono::steady_clock::now();
        if (!redraw_now && shown_ && now - last_ < std::chrono::milliseconds(100)) return;
        last_ = now;
        shown_ = true;
        std::fprintf(stderr, "\r\033[K[%zu/%zu] %zu passed, %zu failed  %s", done_, total_, passed_,
                     failed_, current.input.c_str());
        std::fflush(stderr);
    }

    void ClearProgress() {
        if (!shown_) return;
        std::fputs("\r\033[K", stderr);
        std::fflush(stderr);
        shown_ = false;
    }

    const Invocation& inv_;
    const BatchLabels& labels_;
    size_t total_, done_ = 0, passed_ = 0, failed_ = 0;
    bool progress_, shown_ = false;
    std::chrono::steady_clock::time_point last_;
};

void PrintSummary(const Invocation& inv, const BatchLabels& labels, const std::vector<BatchItem>& items,
                  const std::vector<Outcome>& outcomes) {
    size_t failed = 0;
    for (const Outcome& o : outcomes) failed += o.ok() ? 0 : 1;
    if (inv.json) {
        std::vector<std::string> results;
        for (size_t i = 0; i < items.size(); ++i) {
            JsonObject r;
            r.Add("file", items[i].input);
            if (!items[i].output.empty()) r.Add("output", items[i].output);
            AddStatus(&r, outcomes[i]);
            if (!outcomes[i].details_json.empty()) r.AddRaw("findings", outcomes[i].details_json);
            results.push_back(r.str());
        }
        JsonObject summary;
        summary.Add("total", static_cast<long long>(items.size()));
        summary.Add("passed", static_cast<long long>(items.size() - failed));
        summary.Add("failed", static_cast<long long>(failed));
        JsonObject o;
        o.Add("command", inv.command).Add("ok", failed == 0);
        o.AddRaw("summary", summary.str()).AddRaw("results", JsonArray(results));
        WriteStdout(o.str() + "\n");
        return;
    }
    if (items.size() < 2) return;
    std::string text = inv.command + ": " + std::to_string(items.size()) + " files, " +
                       std::to_string(items.size() - failed) + " " + labels.passed + ", " +
                       std::to_string(failed) + " failed\n";
    for (size_t i = 0; i < items.size(); ++i) {
        if (outcomes[i].ok()) continue;
        text += "  FAILED " + items[i].input + ": " + ErrorName(outcomes[i].code) + ": " +
                outcomes[i].message + "\n";
    }
    WriteStdout(text);
}

// Finished items, handed from the worker threads to the thread that prints. The printing
// thread takes what has finished at most every 20 ms rather than being woken for each item:
// a wake-up per item would take a core from the workers as often as they finish one. The
// last item wakes it at once.
class Finished {
public:
    explicit Finished(size_t total) : total_(total) {}

    void Push(size_t index) {
        bool last;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            queue_.push_back(index);
            last = ++pushed_ == total_;
        }
        if (last) ready_.notify_one();
    }

    // Waits for at least one finished item and takes all there are, in the order they came.
    std::deque<size_t> TakeAll() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (queue_.empty()) ready_.wait_for(lock, std::chrono::milliseconds(20));
        std::deque<size_t> taken;
        taken.swap(queue_);
        return taken;
    }

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<size_t> queue_;
    const size_t total_;
    size_t pushed_ = 0;
};

// One item, never letting an exception out of a worker thread.
Outcome RunOne(const BatchOperation& op, const BatchItem& item) {
    try {
        return op(item);
    } catch (const std::exception& e) {
        Outcome o;
        o.code = -MISC_ERROR;
        o.message = e.what();
        return o;
    }
}

// Runs the items on up to `jobs` threads that take the next item in turn; this thread
// prints each result as it comes (the display is not shared). Each outcome is written by
// one worker before its index is queued, and read here only after it is taken off.
void RunInThreads(const BatchOperation& op, const std::vector<BatchItem>& items, int jobs,
                  Display* display, std::vector<Outcome>* outcomes) {
    std::atomic<size_t> next{0};
    Finished finished(items.size());
    auto work = [&] {
        for (size_t i; (i = next.fetch_add(1)) < items.size();) {
            (*outcomes)[i] = RunOne(op, items[i]);
            finished.Push(i);
        }
    };
    std::vector<std::thread> workers;
    const size_t wanted = std::min(items.size(), static_cast<size_t>(jobs));
    for (size_t t = 0; t < wanted; ++t) {
        try {
            workers.emplace_back(work);
        } catch (const std::system_error&) {
            break;  // no more threads: those running share the rest
        }
    }
    if (workers.empty()) {
        work();  // not even one thread: do it all here
    }
    for (size_t done = 0; done < items.size();) {
        for (size_t i : finished.TakeAll()) {
            display->Finished(items[i], (*outcomes)[i]);
            ++done;
        }
    }
    for (std::thread& w : workers) w.join();
}

}  // namespace

bool ExpandInputs(const std::vector<std::string>& args, std::vector<BatchItem>* items,
                  std::string* error) {
    for (const std::string& arg : args) {
        std::error_code ec;
        if (!fs::is_directory(arg, ec)) {
            items->push_back(BatchItem{arg, fs::path(arg).filename().string(), {}});
            continue;
        }
        std::vector<BatchItem> found;
        fs::recursive_directory_iterator it(arg, fs::directory_options::skip_permission_denied, ec);
        for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
            std::error_code ec2;
            if (!it->is_regular_file(ec2) || !HasXmlExtension(it->path())) continue;
            // The iterator's paths are arg joined with the part below it: that part is the
            // relative name, with no need to look at the file system again.
            found.push_back(BatchItem{it->path().string(), it->path().lexically_relative(arg).string(), {}});
        }
        if (ec) {
            *error = "cannot read directory '" + arg + "': " + ec.message();
            return false;
        }
        std::sort(found.begin(), found.end(),
                  [](const BatchItem& a, const BatchItem& b) { return a.input < b.input; });
        items->insert(items->end(), found.begin(), found.end());
    }
    return true;
}

bool WorkerCount(const Invocation& inv, int* jobs, std::string* error) {
    if (auto text = inv.value("jobs")) {
        char* end = nullptr;
        long v = std::strtol(text->c_str(), &end, 10);
        if (text->empty() || *end != '\0' || v < 1 || v > 1024) {
            *error = "--jobs needs a number from 1 to 1024";
            return false;
        }
        *jobs = static_cast<int>(v);
        return true;
    }
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    *jobs = n > 0 ? static_cast<int>(n) : 1;
    return true;
}

SignerSession::SignerSession(const char* key, const char* password, const char* cert) {
    const int result = KVN_OpenSigner(key, password, cert);
    outcome_ = CallForStatus(result);
    if (outcome_.ok()) handle_ = result;
}

SignerSession::~SignerSession() {
    if (handle_ > 0) KVN_CloseSigner(handle_);
}

int RunBatch(const Invocation& inv, const BatchLabels& labels, const std::vector<BatchItem>& items,
             const BatchOperation& op) {
    int jobs = 1;
    std::string error;
    if (!WorkerCount(inv, &jobs, &error)) return UsageError(inv.command, error);
    std::vector<Outcome> outcomes(items.size());
    Display display(inv, labels, items.size());
    if (items.size() == 1) {
        for (size_t i = 0; i < items.size(); ++i) {
            outcomes[i] = op(items[i]);
            display.Finished(items[i], outcomes[i]);
        }
    } else {
        RunInThreads(op, items, jobs, &display, &outcomes);
    }
    display.Done();
    PrintSummary(inv, labels, items, outcomes);
    int status = kExitOk;
    for (const Outcome& o : outcomes)
        if (!o.ok()) status = std::max(status, ExitStatusFor(o.code, labels.role));
    return status;
}

}  // namespace cli
