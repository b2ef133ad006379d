#include "run_tool.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

extern char** environ;

namespace {

std::vector<std::string> ToolEnvironment(const std::map<std::string, std::string>& extra) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        if (std::strncmp(*e, "KELVANE_", 8) == 0) continue;
        env.emplace_back(*e);
    }
    for (const auto& [k, v] : extra) env.push_back(k + "=" + v);
    return env;
}

[[noreturn]] void ExecTool(const std::vector<std::string>& args, const std::vector<std::string>& env) {
    std::vector<char*> argv{const_cast<char*>(KVN_CLI)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    execve(KVN_CLI, argv.data(), envp.data());
    _exit(127);
}

int WaitStatus(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

ToolRun RunTool(const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
                const std::string& input) {
    std::vector<std::string> environment = ToolEnvironment(env);
    int in[2], out[2], err[2];
    if (pipe(in) || pipe(out) || pipe(err)) return {};
    pid_t pid = fork();
    if (pid == 0) {
        setsid();
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
        ExecTool(args, environment);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    (void)!write(in[1], input.data(), input.size());
    close(in[1]);
    ToolRun r;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&r.out, &r.err};
    int open_fds = 2;
    while (open_fds > 0) {
        if (poll(fds, 2, -1) < 0 && errno != EINTR) break;
        for (int k = 0; k < 2; ++k) {
            if (fds[k].fd < 0 || !(fds[k].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buf[4096];
            ssize_t n = read(fds[k].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[k]->append(buf, static_cast<size_t>(n));
            } else {
                close(fds[k].fd);
                fds[k].fd = -1;
                --open_fds;
            }
        }
    }
    r.status = WaitStatus(pid);
    return r;
}

ToolRun RunToolOnTerminal(const std::vector<std::string>& args, const std::string& prompt,
                          const std::string& reply) {
    std::vector<std::string> environment = ToolEnvironment({});
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) ExecTool(args, environment);
    ToolRun r;
    if (pid < 0) return r;
    bool replied = false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (;;) {
        pollfd p{master, POLLIN, 0};
        int timeout = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           deadline - std::chrono::steady_clock::now()).count());
        if (timeout <= 0 || poll(&p, 1, timeout) <= 0) break;
        char buf[4096];
        ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0) break;  // EIO once the child has closed the terminal
        r.out.append(buf, static_cast<size_t>(n));
        if (!replied && r.out.find(prompt) != std::string::npos) {
            std::string line = reply + "\n";
            (void)!write(master, line.data(), line.size());
            replied = true;
        }
    }
    close(master);
    if (!replied) kill(pid, SIGKILL);
    r.status = WaitStatus(pid);
    return r;
}

std::string MakeScratchDir(const std::string& name) {
    std::filesystem::path dir = std::filesystem::path(KVN_BINARY_DIR) / "tools-scratch" / name;
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir.string();
}

std::string ReadFileBytes(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

void WriteFileBytes(const std::string& path, const std::string& data) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << data;
}
