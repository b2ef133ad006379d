// Runs the built kelvane binary as a user would: arguments, environment, standard input,
// and a pseudo-terminal for the password prompt.
#ifndef KELVANE_TESTS_TOOLS_RUN_TOOL_H
#define KELVANE_TESTS_TOOLS_RUN_TOOL_H

#include <map>
#include <string>
#include <vector>

struct ToolRun {
    int status = -1;   // exit status, or 128 + signal
    std::string out;   // standard output
    std::string err;   // standard error
};

// Runs kelvane with `args` in its own session (no controlling terminal, so it can never
// prompt), an environment without KELVANE_* variables plus `env`, and `input` on stdin.
ToolRun RunTool(const std::vector<std::string>& args, const std::map<std::string, std::string>& env = {},
                const std::string& input = "");

// Runs kelvane on a pseudo-terminal; when `prompt` appears in its output, types `reply`
// and a line end. Everything the terminal showed is returned in `out`.
ToolRun RunToolOnTerminal(const std::vector<std::string>& args, const std::string& prompt,
                          const std::string& reply);

// A fresh scratch directory under the build tree, removed by the caller's fixture.
std::string MakeScratchDir(const std::string& name);

std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& data);

#endif
