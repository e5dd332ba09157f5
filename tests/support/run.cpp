#include "run.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <net/if.h>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
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

// In a child: becomes argv[0] (a full path), or ends with 127 as a shell
// does for a command it cannot run.
[[noreturn]] void exec_or_exit(const std::vector<std::string> &argv) {
    std::vector<char *> args;
    args.reserve(argv.size() + 1);
    for (const auto &arg : argv) args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    std::perror(args[0]);
    _exit(127);
}

void record_status(Outcome &outcome, int status) {
    if (WIFEXITED(status)) outcome.exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) outcome.signal = WTERMSIG(status);
}

// LeakSanitizer, in a sanitized build, checks at exit from a thread of its
// own and reads /proc: with no process or descriptor to spare it fails.
void without_leak_check() {
    const char *asan = getenv("ASAN_OPTIONS");
    const std::string asan_options = std::string(asan != nullptr ? asan : "") + ":detect_leaks=0";
    setenv("ASAN_OPTIONS", asan_options.c_str(), 1);
}

}  // namespace

Running::Running(pid_t pid, int out_fd, int err_fd) : pid_(pid), out_fd_(out_fd), err_fd_(err_fd) {}

Running::Running(Running &&other) noexcept
    : pid_(other.pid_),
      out_fd_(other.out_fd_),
      err_fd_(other.err_fd_),
      finished_(other.finished_),
      seen_(std::move(other.seen_)),
      out_open_(other.out_open_),
      err_open_(other.err_open_) {
    other.finished_ = true;
}

Running::~Running() {
    if (finished_) return;
    kill(-pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    close(out_fd_);
    close(err_fd_);
}

const Outcome &Running::so_far() {
    fcntl(out_fd_, F_SETFL, O_NONBLOCK);
    fcntl(err_fd_, F_SETFL, O_NONBLOCK);
    collect(out_fd_, err_fd_, out_open_, err_open_, seen_);
    return seen_;
}

Outcome Running::finish(Millis timeout) {
    Outcome outcome = std::move(seen_);
    const auto deadline = Clock::now() + timeout;
    bool reaped = false;
    fcntl(out_fd_, F_SETFL, O_NONBLOCK);
    fcntl(err_fd_, F_SETFL, O_NONBLOCK);

    while (out_open_ || err_open_ || !reaped) {
        if (Clock::now() >= deadline) {
            outcome.timed_out = true;
            kill(-pid_, SIGKILL);
            break;
        }
        collect(out_fd_, err_fd_, out_open_, err_open_, outcome);
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
    while ((out_open_ || err_open_) && Clock::now() < grace) {
        collect(out_fd_, err_fd_, out_open_, err_open_, outcome);
    }
    close(out_fd_);
    close(err_fd_);
    finished_ = true;
    return outcome;
}

void forbid_fork() {
    // With RLIMIT_NPROC at 0, fork fails for a user who already runs a
    // process; only root (in the initial user namespace) is exempt. Root
    // therefore also moves to a user id of its own: a shared one like
    // nobody's would make the start itself fail whenever that user runs
    // anything else, since setuid counts the user's processes too. Where
    // "root" is the id 0 of a user namespace that maps no other id, it is
    // not exempt and cannot change its id (EINVAL), nor need it.
    //
    // The new id may not be able to reach the program: a clone under /root
    // or another 0700 folder. So root keeps CAP_DAC_OVERRIDE, and only it,
    // across setuid (PR_SET_KEEPCAPS) for the execve that follows. execve
    // checks the path and the file with the caller's credentials, and the
    // program, which runs as that id, starts with no capability at all: it
    // has neither CAP_SYS_RESOURCE nor CAP_SYS_ADMIN to exempt its forks.
    const rlimit none{0, 0};
    without_leak_check();
    if (setrlimit(RLIMIT_NPROC, &none) == -1) _exit(127);
    if (geteuid() != 0) return;
    const uid_t unused_id = 3000000 + static_cast<uid_t>(getpid());
    if (prctl(PR_SET_KEEPCAPS, 1, 0, 0, 0) == -1) _exit(127);
    if (setgroups(0, nullptr) == -1 || setgid(unused_id) == -1 || setuid(unused_id) == -1) {
        if (errno != EINVAL && errno != EPERM) _exit(127);
        return;
    }
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    std::array<__user_cap_data_struct, _LINUX_CAPABILITY_U32S_3> caps{};
    caps[0].effective = caps[0].permitted = 1U << CAP_DAC_OVERRIDE;
    // Where root lacks it (a container may), the program must be in reach
    // of any user; execve then reports it if it is not.
    syscall(SYS_capset, &header, caps.data());
}

void four_descriptors() {
    const rlimit four{4, 4};
    without_leak_check();
    if (setrlimit(RLIMIT_NOFILE, &four) == -1) _exit(127);
}

void fail_calls(long number, int error, unsigned from) {
    // A seccomp filter. The first argument's low 32 bits are compared: all
    // of a descriptor.
    constexpr unsigned low_word =
        offsetof(seccomp_data, args) + (std::endian::native == std::endian::big ? 4 : 0);
    std::array<sock_filter, 6> code{{
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(number), 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, low_word),
        BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, from, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<unsigned>(error)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    }};
    const sock_fprog program{static_cast<unsigned short>(code.size()), code.data()};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == -1 ||
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == -1) {
        _exit(127);
    }
}

void fail_socket_calls() {
    // Lowering RLIMIT_NOFILE would stop the dynamic loader before the
    // program starts, since it needs the same free descriptor.
    fail_calls(SYS_socket, EMFILE);
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
        exec_or_exit(argv);
    }
    setpgid(pid, pid);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    close(in[1]);  // standard input: at its end at once
    return Running(pid, out[0], err[0]);
}

Outcome run(const std::vector<std::string> &argv, Millis timeout, const Options &options) {
    return start(argv, options).finish(timeout);
}

pid_t start_on_terminal(const std::vector<std::string> &argv, unsigned short rows,
                        unsigned short columns, int &terminal) {
    winsize size{};
    size.ws_row = rows;
    size.ws_col = columns;
    std::fflush(nullptr);
    const pid_t pid = forkpty(&terminal, nullptr, nullptr, &size);
    if (pid == -1) {
        std::perror("forkpty");
        std::abort();
    }
    if (pid == 0) {
        setenv("TERM", "dumb", 1);
        exec_or_exit(argv);
    }
    return pid;
}

void read_terminal(int terminal, std::string &screen) {
    pollfd ready{terminal, POLLIN, 0};
    std::array<char, 4096> buffer{};
    ssize_t n = 0;
    while (poll(&ready, 1, 0) == 1 && (n = read(terminal, buffer.data(), buffer.size())) > 0) {
        screen.append(buffer.data(), static_cast<size_t>(n));
    }
}

bool wait_until(const std::function<bool()> &ready, Millis deadline) {
    const auto end = Clock::now() + deadline;
    while (!ready()) {
        if (Clock::now() >= end) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

namespace {

// Why namespaces could not be made: the call, its error and what to enable.
std::string cannot(const char *call, int error) {
    return std::string(no_namespaces) + ", and " + call + " failed (" + std::strerror(error) +
           "); enable unprivileged user namespaces (sysctl user.max_user_namespaces > 0; "
           "kernel.unprivileged_userns_clone=1 where the kernel has that switch; "
           "kernel.apparmor_restrict_unprivileged_userns=0 on Ubuntu)";
}

bool write_file(const char *path, const std::string &text) {
    std::ofstream file(path);
    file << text << std::flush;
    return static_cast<bool>(file);
}

}  // namespace

std::string enter_private_namespaces() {
    const uid_t uid = geteuid();
    const gid_t gid = getegid();
    constexpr int private_ones = CLONE_NEWIPC | CLONE_NEWNET | CLONE_NEWNS;
    // Root may make them as they are; anyone else, and root where it may
    // not, makes a user namespace with them, in which it holds the
    // capabilities the new namespaces ask for.
    if (uid != 0 || unshare(private_ones) == -1) {
        if (unshare(CLONE_NEWUSER | private_ones) == -1) return cannot("unshare", errno);
        // Outside ids stay as they are: the caller's own ids are mapped to
        // themselves, which needs no privilege once setgroups is given up.
        if (!write_file("/proc/self/setgroups", "deny") ||
            !write_file("/proc/self/uid_map",
                        std::to_string(uid) + " " + std::to_string(uid) + " 1") ||
            !write_file("/proc/self/gid_map",
                        std::to_string(gid) + " " + std::to_string(gid) + " 1")) {
            return cannot("writing the id maps", errno);
        }
    }
    // A new network namespace starts with its loopback interface down.
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd == -1) return cannot("socket", errno);
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    std::string why;
    if (ioctl(fd, SIOCGIFFLAGS, &request) == -1) {
        why = cannot("SIOCGIFFLAGS", errno);
    } else {
        request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
        if (ioctl(fd, SIOCSIFFLAGS, &request) == -1) why = cannot("SIOCSIFFLAGS", errno);
    }
    close(fd);
    return why;
}

int stop_and_continue(pid_t group, int rounds, unsigned seed) {
    std::mt19937 random(seed);
    int stops = 0;
    for (; stops < rounds && process_state(group) != 'Z'; ++stops) {
        std::this_thread::sleep_for(Millis(1 + random() % 20));
        kill(-group, SIGSTOP);
        std::this_thread::sleep_for(Millis(1 + random() % 5));
        kill(-group, SIGCONT);
    }
    return stops;
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

std::vector<std::string> stat_fields(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(file, text);
    std::vector<std::string> fields;
    const auto close_paren = text.rfind(')');
    if (close_paren == std::string::npos) return fields;
    std::istringstream rest(text.substr(close_paren + 1));
    for (std::string field; rest >> field;) fields.push_back(field);
    return fields;
}

std::vector<pid_t> children_of(pid_t pid) {
    std::vector<pid_t> children;
    DIR *proc = opendir("/proc");
    if (proc == nullptr) return children;
    while (const dirent *entry = readdir(proc)) {
        char *end = nullptr;
        const long candidate = std::strtol(entry->d_name, &end, 10);
        if (*end != '\0' || candidate <= 0) continue;
        const auto fields = stat_fields(static_cast<pid_t>(candidate));
        if (fields.size() > 1 && fields[1] == std::to_string(pid)) {
            children.push_back(static_cast<pid_t>(candidate));
        }
    }
    closedir(proc);
    return children;
}

char process_state(pid_t pid) {
    const auto fields = stat_fields(pid);
    return fields.empty() ? '\0' : fields[0][0];
}

}  // namespace tour
