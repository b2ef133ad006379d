#include "batch.h"

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

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

// ---- result records passed from a worker to the tool through a pipe ----------------------
// Layout: int32 code, uint32 message length, message bytes, uint32 result length, result bytes.

void AppendU32(std::string* out, uint32_t v) { out->append(reinterpret_cast<const char*>(&v), 4); }

std::string EncodeOutcome(const Outcome& o) {
    std::string rec;
    AppendU32(&rec, static_cast<uint32_t>(o.code));
    AppendU32(&rec, static_cast<uint32_t>(o.message.size()));
    rec += o.message;
    AppendU32(&rec, static_cast<uint32_t>(o.result.size()));
    rec += o.result;
    return rec;
}

bool ReadU32(const std::string& in, size_t* pos, uint32_t* v) {
    if (in.size() - *pos < 4) return false;
    std::memcpy(v, in.data() + *pos, 4);
    *pos += 4;
    return true;
}

bool DecodeOutcome(const std::string& rec, Outcome* o) {
    size_t pos = 0;
    uint32_t code, len;
    if (!ReadU32(rec, &pos, &code) || !ReadU32(rec, &pos, &len) || rec.size() - pos < len) return false;
    o->code = static_cast<int32_t>(code);
    o->message = rec.substr(pos, len);
    pos += len;
    if (!ReadU32(rec, &pos, &len) || rec.size() - pos != len) return false;
    o->result = rec.substr(pos, len);
    return true;
}

void WriteAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

Outcome WorkerLost(int status) {
    Outcome o;
    o.code = -MISC_ERROR;
    if (WIFSIGNALED(status))
        o.message = "worker process ended by signal " + std::to_string(WTERMSIG(status));
    else
        o.message = "worker process ended without a result";
    return o;
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
        if (!inv_.json && (!o.ok() || !inv_.quiet)) {
            ClearProgress();
            printed = true;
            if (o.ok()) {
                std::string line = item.input;
                if (!item.output.empty() && item.output != item.input) line += " -> " + item.output;
                WriteStdout(line + ": " + labels_.passed + "\n");
                std::fflush(stdout);
            } else {
                PrintFailure(inv_.command, item.input, o);
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

struct Worker {
    pid_t pid;
    int fd;
    size_t index;
    std::string data;
};

// Forks one worker for item `index`; the child runs `op` and writes its record to a pipe.
bool StartWorker(const BatchOperation& op, const std::vector<BatchItem>& items, size_t index,
                 Worker* w) {
    int fds[2];
    if (pipe(fds) != 0) return false;
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return false;
    }
    if (pid == 0) {
        close(fds[0]);
        WriteAll(fds[1], EncodeOutcome(op(items[index])));
        close(fds[1]);
        _exit(0);
    }
    close(fds[1]);
    *w = Worker{pid, fds[0], index, {}};
    return true;
}

// Runs the items over up to `jobs` concurrent worker processes.
void RunInWorkers(const BatchOperation& op, const std::vector<BatchItem>& items, int jobs,
                  Display* display, std::vector<Outcome>* outcomes) {
    std::vector<Worker> active;
    size_t next = 0;
    while (next < items.size() || !active.empty()) {
        while (next < items.size() && active.size() < static_cast<size_t>(jobs)) {
            Worker w;
            if (!StartWorker(op, items, next, &w)) {
                if (active.empty()) {
                    (*outcomes)[next] = op(items[next]);  // cannot fork: do it here
                    display->Finished(items[next], (*outcomes)[next]);
                    ++next;
                }
                break;
            }
            active.push_back(std::move(w));
            ++next;
        }
        std::vector<pollfd> fds;
        for (const Worker& w : active) fds.push_back(pollfd{w.fd, POLLIN, 0});
        if (poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) break;
        for (size_t k = fds.size(); k-- > 0;) {
            if (!(fds[k].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            Worker& w = active[k];
            char buf[4096];
            ssize_t n = read(w.fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n > 0) {
                w.data.append(buf, static_cast<size_t>(n));
                continue;
            }
            close(w.fd);
            int status = 0;
            while (waitpid(w.pid, &status, 0) < 0 && errno == EINTR) {
            }
            Outcome o;
            if (!(WIFEXITED(status) && WEXITSTATUS(status) == 0 && DecodeOutcome(w.data, &o)))
                o = WorkerLost(status);
            (*outcomes)[w.index] = o;
            display->Finished(items[w.index], o);
            active.erase(active.begin() + static_cast<long>(k));
        }
    }
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
            found.push_back(BatchItem{it->path().string(), fs::relative(it->path(), arg, ec2).string(), {}});
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
        RunInWorkers(op, items, jobs, &display, &outcomes);
    }
    display.Done();
    PrintSummary(inv, labels, items, outcomes);
    int status = kExitOk;
    for (const Outcome& o : outcomes)
        if (!o.ok()) status = std::max(status, ExitStatusFor(o.code, labels.role));
    return status;
}

}  // namespace cli
