// The one helper every test drives the programs through: start a built
// program with a timeout, capture its standard output and standard error,
// and tell how it ended. Also: waiting for readiness by polling with a
// deadline, and private IPC and network namespaces for tests that touch a
// System V key or TCP port 7734.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace tour {

using namespace std::chrono_literals;
using Millis = std::chrono::milliseconds;

// How a program run ended.
struct Outcome {
    std::string out;         // everything written to standard output
    std::string err;         // everything written to standard error
    int exit_code = -1;      // the exit status, or -1 if it did not exit
    int signal = 0;          // the terminating signal, or 0
    bool timed_out = false;  // killed by the helper at the deadline
};

struct Options {
    // Bytes fed to standard input; it is closed after them.
    std::string input;
    // Runs in the child between fork and exec, e.g. to lower a resource
    // limit or bind-mount a stand-in. It must not return on failure: call
    // _exit(127) so the test sees a failed start.
    std::function<void()> in_child;
};

// A program started in its own process group. The destructor kills the
// group and reaps the program if finish() was never called.
class Running {
  public:
    Running(pid_t pid, int out_fd, int err_fd);
    Running(const Running &) = delete;
    Running &operator=(const Running &) = delete;
    Running(Running &&other) noexcept;
    Running &operator=(Running &&) = delete;
    ~Running();

    pid_t pid() const { return pid_; }

    // Collects output until the program has ended and every writer (its
    // children too) has closed the pipes. At the deadline the whole process
    // group is killed and the outcome says timed_out.
    Outcome finish(Millis timeout);

  private:
    pid_t pid_;
    int out_fd_;
    int err_fd_;
    bool finished_ = false;
};

// For Options::in_child: runs the program as a user of its own with no processes
// allowed, so every fork fails with EAGAIN (root is exempt from
// RLIMIT_NPROC). LeakSanitizer is turned off there, as it needs a thread.
void forbid_fork();

// Path of a built program, or of tallylock.o, in the build's bin folder.
std::string bin(const std::string &name);

Running start(const std::vector<std::string> &argv, const Options &options = {});
Outcome run(const std::vector<std::string> &argv, Millis timeout, const Options &options = {});

// Polls `ready` every few milliseconds until it holds or the deadline passes.
bool wait_until(const std::function<bool()> &ready, Millis deadline);

// Puts the calling process in new IPC and network namespaces with the
// loopback interface up, so System V keys and TCP ports are private to the
// test. Returns false (after saying so on stderr) where namespaces are not
// available; the suite then runs such tests one at a time.
bool enter_private_namespaces();

// States of the TCP sockets in this network namespace with `port` at either
// end, in /proc/net/tcp's hex ("0A" LISTEN, "06" TIME_WAIT, ...).
std::vector<std::string> tcp_states_on(unsigned short port);

// True when the TCP port is in the LISTEN state in this network namespace.
bool port_listening(unsigned short port);

// Process ids of the children of `pid`.
std::vector<pid_t> children_of(pid_t pid);

// One-letter scheduler state of a process ('R', 'S', 'T', 'Z', ...), or 0.
char process_state(pid_t pid);

}  // namespace tour
