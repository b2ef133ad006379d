#include "password.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace cli {
namespace {

// The terminal state to restore if the user interrupts the prompt.
int g_tty_fd = -1;
struct termios g_saved_tty;

void RestoreTerminalAndExit(int sig) {
    if (g_tty_fd >= 0) {
        tcsetattr(g_tty_fd, TCSAFLUSH, &g_saved_tty);
        (void)!write(g_tty_fd, "\n", 1);
    }
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

// Reads one line (without its line end) from fd; false on a read error.
bool ReadLine(int fd, std::string* line) {
    line->clear();
    char c;
    for (;;) {
        ssize_t n = read(fd, &c, 1);
        if (n < 0) return false;
        if (n == 0 || c == '\n') break;
        line->push_back(c);
    }
    if (!line->empty() && line->back() == '\r') line->pop_back();
    return true;
}

bool ReadPasswordFile(const std::string& path, Secret* password, std::string* error) {
    int fd = path == "-" ? STDIN_FILENO : open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = "cannot open password file '" + path + "': " + std::strerror(errno);
        return false;
    }
    std::string line;
    bool ok = ReadLine(fd, &line);
    if (fd != STDIN_FILENO) close(fd);
    if (!ok) {
        *error = "cannot read password file '" + path + "'";
        return false;
    }
    *password = Secret(std::move(line));
    return true;
}

// Prompts on /dev/tty with echo switched off. False when there is no terminal.
bool PromptOnTerminal(const std::string& prompt, Secret* password, std::string* error) {
    int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return false;
    struct termios quiet;
    if (tcgetattr(fd, &g_saved_tty) != 0) {
        close(fd);
        return false;
    }
    quiet = g_saved_tty;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    g_tty_fd = fd;
    auto old_int = std::signal(SIGINT, RestoreTerminalAndExit);
    auto old_term = std::signal(SIGTERM, RestoreTerminalAndExit);
    // Echo goes off before the prompt appears, so that nothing typed after it is shown
    // (or discarded by the flush of earlier type-ahead).
    tcsetattr(fd, TCSAFLUSH, &quiet);
    (void)!write(fd, prompt.data(), prompt.size());
    std::string line;
    bool ok = ReadLine(fd, &line);
    tcsetattr(fd, TCSANOW, &g_saved_tty);
    std::signal(SIGINT, old_int);
    std::signal(SIGTERM, old_term);
    g_tty_fd = -1;
    close(fd);
    if (!ok) {
        *error = "cannot read the password from the terminal";
        return false;
    }
    *password = Secret(std::move(line));
    return true;
}

}  // namespace

Secret& Secret::operator=(Secret&& other) noexcept {
    if (this != &other) {
        Wipe();
        text_ = std::move(other.text_);
        other.Wipe();
    }
    return *this;
}

void Secret::Wipe() {
    volatile char* p = text_.data();
    for (size_t i = 0; i < text_.size(); ++i) p[i] = 0;
    text_.clear();
}

bool ObtainKeyPassword(const Invocation& inv, const std::string& key_file, Secret* password,
                       std::string* error) {
    if (auto file = inv.value("password-file")) return ReadPasswordFile(*file, password, error);
    if (auto text = inv.value("password")) {
        *password = Secret(*text);
        return true;
    }
    if (const char* env = std::getenv("KELVANE_PASSWORD")) {
        *password = Secret(env);
        return true;
    }
    if (PromptOnTerminal("Password for " + key_file + ": ", password, error)) return true;
    if (error->empty())
        *error = "no password for the key: use --password-file FILE, KELVANE_PASSWORD, "
                 "a terminal, or --password";
    return false;
}

bool ObtainPfxPassword(const Invocation& inv, Secret* password, std::string* error) {
    if (auto file = inv.value("pfx-password-file")) return ReadPasswordFile(*file, password, error);
    if (auto text = inv.value("pfx-password")) {
        *password = Secret(*text);
        return true;
    }
    if (const char* env = std::getenv("KELVANE_PFX_PASSWORD")) *password = Secret(env);
    return true;
}

}  // namespace cli
