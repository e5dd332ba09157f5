#include "run.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace tour {

namespace {

using Clock = std::chrono::steady_clock;

void make_pipe(std::array<int, 2> &fds) {
    if (pipe2(fds.data(), O_CLOEXEC) == -1) {
        std::perror("pipe2");
        std::abort();
    }
}

// Appends what is readable on fd to text; returns false at end of file.
bool drain(int fd, std::string &text) {
    std::array<char, 4096> buffer{};
    for (;;) {
        const ssize_t n = read(fd, buffer.data(), buffer.size());
        if (n > 0) {
            text.append(buffer.data(), static_cast<size_t>(n));
            continue;
        }
        if (n == 0) return false;
        return errno == EAGAIN || errno == EINTR;
    }
}

// Waits up to 10 ms for output on the pipes still open and appends what
// is there; a pipe at end of file is marked closed.
void collect(int out_fd, int err_fd, bool &out_open, bool &err_open, Outcome &outcome) {
    std::array<pollfd, 2> fds{
        {{out_open ? out_fd : -1, POLLIN, 0}, {err_open ? err_fd : -1, POLLIN, 0}}};
    poll(fds.data(), fds.size(), 10);
    if (out_open) out_open = drain(out_fd, outcome.out);
    if (err_open) err_open = drain(err_fd, outcome.err);
}

void record_status(Outcome &outcome, int status) {
    if (WIFEXITED(status)) outcome.exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) outcome.signal = WTERMSIG(status);
}

}  // namespace

Running::Running(pid_t pid, int out_fd, int err_fd) : pid_(pid), out_fd_(out_fd), err_fd_(err_fd) {}

Running::Running(Running &&other) noexcept
    : pid_(other.pid_), out_fd_(other.out_fd_), err_fd_(other.err_fd_), finished_(other.finished_) {
    other.finished_ = true;
}

Running::~Running() {
    if (finished_) return;
    kill(-pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    close(out_fd_);
    close(err_fd_);
}

Outcome Running::finish(Millis timeout) {
    Outcome outcome;
    const auto deadline = Clock::now() + timeout;
    bool out_open = true;
    bool err_open = true;
    bool reaped = false;
    fcntl(out_fd_, F_SETFL, O_NONBLOCK);
    fcntl(err_fd_, F_SETFL, O_NONBLOCK);

    while (out_open || err_open || !reaped) {
        if (Clock::now() >= deadline) {
            outcome.timed_out = true;
            kill(-pid_, SIGKILL);
            break;
        }
        collect(out_fd_, err_fd_, out_open, err_open, outcome);
        if (!reaped) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                record_status(outcome, status);
                reaped = true;
            }
        }
    }

    if (!reaped) {
        int status = 0;
        waitpid(pid_, &status, 0);
        record_status(outcome, status);
    }
    // After a kill, take what is still buffered, but do not wait for a
    // writer that escaped the process group.
    const auto grace = Clock::now() + std::chrono::seconds(1);
    while ((out_open || err_open) && Clock::now() < grace) {
        collect(out_fd_, err_fd_, out_open, err_open, outcome);
    }
    close(out_fd_);
    close(err_fd_);
    finished_ = true;
    return outcome;
}

void forbid_fork() {
    // A user id of its own: at setuid and at execve the kernel counts every
    // process of the user, so a shared one like nobody's would make the
    // start itself fail whenever that user runs anything else.
    const uid_t unused_id = 3000000 + static_cast<uid_t>(getpid());
    const rlimit none{0, 0};
    const char *asan = getenv("ASAN_OPTIONS");
    const std::string asan_options = std::string(asan != nullptr ? asan : "") + ":detect_leaks=0";
    setenv("ASAN_OPTIONS", asan_options.c_str(), 1);
    if (setrlimit(RLIMIT_NPROC, &none) == -1 || setgroups(0, nullptr) == -1 ||
        setgid(unused_id) == -1 || setuid(unused_id) == -1) {
        _exit(127);
    }
}

std::string bin(const std::string &name) { return std::string(IPC_TOUR_BIN_DIR) + "/" + name; }

Running start(const std::vector<std::string> &argv, const Options &options) {
    std::array<int, 2> in{};
    std::array<int, 2> out{};
    std::array<int, 2> err{};
    make_pipe(in);
    make_pipe(out);
    make_pipe(err);
    // A program that closes its input early must not kill the test by SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
    std::fflush(nullptr);

    const pid_t pid = fork();
    if (pid == -1) {
        std::perror("fork");
        std::abort();
    }
    if (pid == 0) {
        setpgid(0, 0);
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        // Start as from a shell: no descriptor beyond the standard three
        // (the test runner may pass some down).
        close_range(3, ~0U, 0);
        signal(SIGPIPE, SIG_DFL);
        if (options.in_child) options.in_child();
        std::vector<char *> args;
        args.reserve(argv.size() + 1);
        for (const auto &arg : argv) args.push_back(const_cast<char *>(arg.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        std::perror(args[0]);
        _exit(127);
    }
    setpgid(pid, pid);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    // The inputs used here are far below a pipe's capacity.
    if (!options.input.empty() && write(in[1], options.input.data(), options.input.size()) == -1) {
        std::perror("write");
    }
    close(in[1]);
    return Running(pid, out[0], err[0]);
}

Outcome run(const std::vector<std::string> &argv, Millis timeout, const Options &options) {
    return start(argv, options).finish(timeout);
}

bool wait_until(const std::function<bool()> &ready, Millis deadline) {
    const auto end = Clock::now() + deadline;
    while (!ready()) {
        if (Clock::now() >= end) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

bool enter_private_namespaces() {
    if (unshare(CLONE_NEWIPC | CLONE_NEWNET) == -1) {
        std::fprintf(stderr,
                     "note: unshare(CLONE_NEWIPC | CLONE_NEWNET): %s; this test uses the "
                     "host's System V objects and ports and must run alone\n",
                     std::strerror(errno));
        return false;
    }
    // A new network namespace starts with its loopback interface down.
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    if (fd == -1 || ioctl(fd, SIOCGIFFLAGS, &request) == -1) {
        std::perror("SIOCGIFFLAGS");
        std::abort();
    }
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    if (ioctl(fd, SIOCSIFFLAGS, &request) == -1) {
        std::perror("SIOCSIFFLAGS");
        std::abort();
    }
    close(fd);
    return true;
}

std::vector<std::string> tcp_states_on(unsigned short port) {
    std::vector<std::string> states;
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);  // column headings
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot;
        std::string local;
        std::string remote;
        std::string state;
        fields >> slot >> local >> remote >> state;
        const auto port_of = [](const std::string &address) {
            const auto colon = address.find(':');
            return colon == std::string::npos ? 0UL
                                              : std::stoul(address.substr(colon + 1), nullptr, 16);
        };
        if (port_of(local) == port || port_of(remote) == port) states.push_back(state);
    }
    return states;
}

bool port_listening(unsigned short port) {
    // A listening socket has no remote end, so a LISTEN on the port is ours.
    const std::vector<std::string> states = tcp_states_on(port);
    return std::find(states.begin(), states.end(), "0A") != states.end();
}

namespace {

// Fields of /proc/PID/stat after the command name: state, then ppid.
bool read_stat(pid_t pid, char &state, pid_t &ppid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(file, text)) return false;
    const auto close_paren = text.rfind(')');
    if (close_paren == std::string::npos) return false;
    std::istringstream rest(text.substr(close_paren + 1));
    return static_cast<bool>(rest >> state >> ppid);
}

}  // namespace

std::vector<pid_t> children_of(pid_t pid) {
    std::vector<pid_t> children;
    DIR *proc = opendir("/proc");
    if (proc == nullptr) return children;
    while (const dirent *entry = readdir(proc)) {
        char *end = nullptr;
        const long candidate = std::strtol(entry->d_name, &end, 10);
        if (*end != '\0' || candidate <= 0) continue;
        char state = 0;
        pid_t ppid = 0;
        if (read_stat(static_cast<pid_t>(candidate), state, ppid) && ppid == pid) {
            children.push_back(static_cast<pid_t>(candidate));
        }
    }
    closedir(proc);
    return children;
}

char process_state(pid_t pid) {
    char state = 0;
    pid_t ppid = 0;
    return read_stat(pid, state, ppid) ? state : '\0';
}

}  // namespace tour
