// Many files in one run: expanding directories, spreading the work over worker threads of
// the tool's own process, a progress line on a terminal and a summary at the end.
//
// The library may be called from any number of threads, and its last-error text is per
// thread, so each worker's outcome carries the messages of its own call.
#ifndef KELVANE_TOOL_BATCH_H
#define KELVANE_TOOL_BATCH_H

#include <functional>
#include <string>
#include <vector>

#include "cli.h"

namespace cli {

struct BatchItem {
    std::string input;     // path as given or found under a directory
    std::string relative;  // name relative to the argument it came from (the base name for files)
    std::string output;    // filled in by the command when it writes files
};

// Expands the positional arguments: files stay as given, directories are searched
// recursively for *.xml files (sorted by path). False with *error when an argument names
// nothing or a directory cannot be read.
bool ExpandInputs(const std::vector<std::string>& args, std::vector<BatchItem>* items,
                  std::string* error);

// Worker count: --jobs N, else the number of online processors.
bool WorkerCount(const Invocation& inv, int* jobs, std::string* error);

using BatchOperation = std::function<Outcome(const BatchItem&)>;

// A signing session (KVN_OpenSigner) open for the lifetime of the object, so that a batch
// reads and decrypts the key once. outcome() says why it could not be opened.
class SignerSession {
public:
    SignerSession(const char* key, const char* password, const char* cert);
    ~SignerSession();
    SignerSession(const SignerSession&) = delete;
    SignerSession& operator=(const SignerSession&) = delete;
    int handle() const { return handle_; }
    const Outcome& outcome() const { return outcome_; }

private:
    int handle_ = 0;
    Outcome outcome_;
};

struct BatchLabels {
    const char* passed;  // word printed for a passing file, e.g. "valid" or "signed"
    Role role;           // how failures map to exit statuses
};

// Runs `op` on every item (in up to --jobs worker threads when there is more than one
// item; a single item runs on the calling thread), prints one line per item as it finishes and a summary, and returns the
// exit status: 0 when every item passed, else the highest status of any failed item.
int RunBatch(const Invocation& inv, const BatchLabels& labels, const std::vector<BatchItem>& items,
             const BatchOperation& op);

}  // namespace cli

#endif
