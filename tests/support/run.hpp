// The one helper every test drives the programs through: start a built
// program with a timeout, capture its standard output and standard error,
// and tell how it ended. Also: waiting for readiness by polling with a
// deadline, private namespaces for tests that touch a System V key, TCP
// port 7734 or a mount, and the faults the tests inject into a program.
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
    Running(Running &&other) noexcept;
    Running &operator=(Running &&) = delete;
    ~Running();

    pid_t pid() const { return pid_; }

    // What the program has written so far, without waiting for its end
    // (out and err only); finish() returns it with the rest.
    const Outcome &so_far();

    // Collects output until the program has ended and every writer (its
    // children too) has closed the pipes. At the deadline the whole process
    // group is killed and the outcome says timed_out.
    Outcome finish(Millis timeout);

  private:
    pid_t pid_;
    int out_fd_;
    int err_fd_;
    bool finished_ = false;
    Outcome seen_;
    bool out_open_ = true;
    bool err_open_ = true;
};

// For Options::in_child: no process may be created, so every fork of the
// program fails with EAGAIN.
void forbid_fork();

// For Options::in_child: descriptors 0 to 3 only. That leaves the dynamic
// loader room to open the program's libraries one at a time, and the
// program one descriptor of its own: not enough for a pipe's two ends, nor
// for a connection beside a listening socket.
void four_descriptors();

// For Options::in_child: the system call `number` (SYS_write, ...) fails
// with `error` whenever its first argument, taken as unsigned, is at least
// `from`; every other call runs. The filter stays across fork and execve.
// fail_calls(SYS_write, EIO, 3) makes every write fail except to the
// standard three descriptors.
void fail_calls(long number, int error, unsigned from = 0);

// For Options::in_child: every socket() call of the program fails with
// EMFILE, as when it has no descriptor left.
void fail_socket_calls();

// Path of a built program, or of tallylock.o, in the build's bin folder.
std::string bin(const std::string &name);

Running start(const std::vector<std::string> &argv, const Options &options = {});
Outcome run(const std::vector<std::string> &argv, Millis timeout, const Options &options = {});

// Starts argv[0] (a full path) on a new pseudo-terminal of `rows` x
// `columns`, as a user's terminal runs it: the leader of a session whose
// controlling terminal that is, with TERM=dumb. Returns its pid, and the
// terminal's other side in `terminal`; the test reaps the program.
pid_t start_on_terminal(const std::vector<std::string> &argv, unsigned short rows,
                        unsigned short columns, int &terminal);

// Appends what the terminal's other side has to read to `screen`, without
// waiting.
void read_terminal(int terminal, std::string &screen);

// Polls `ready` every few milliseconds until it holds or the deadline passes.
bool wait_until(const std::function<bool()> &ready, Millis deadline);

// Puts the calling process, which must have one thread only, in new user,
// IPC, network and mount namespaces, with the loopback interface up: System
// V keys, TCP ports and mounts are then private to it, and it may mount.
// Any user can do this where the kernel allows user namespaces. Returns ""
// on success, otherwise why not and what to enable, as one line for the
// skip: no_namespaces, ", and", the call that failed, its error, "; enable"
// and what. The host's objects are then untouched, and the caller must not
// go on to use them.
std::string enter_private_namespaces();
inline constexpr char no_namespaces[] = "skipped: needs private namespaces";

// Stops and continues the process group `group` at moments drawn from
// `seed` (so a failing run can be repeated), as Ctrl-Z and fg do, until its
// leader has ended or `rounds` pairs have been sent. Returns the number of
// stops.
int stop_and_continue(pid_t group, int rounds, unsigned seed);

// States of the TCP sockets in this network namespace with `port` at either
// end, in /proc/net/tcp's hex ("0A" LISTEN, "06" TIME_WAIT, ...).
std::vector<std::string> tcp_states_on(unsigned short port);

// True when the TCP port is in the LISTEN state in this network namespace.
bool port_listening(unsigned short port);

// Fields of /proc/PID/stat after the command name: [0] is field 3, the
// state; [1] the parent; [49] field 52, a zombie's status in waitpid's form.
std::vector<std::string> stat_fields(pid_t pid);

// Process ids of the children of `pid`.
std::vector<pid_t> children_of(pid_t pid);

// One-letter scheduler state of a process ('R', 'S', 'T', 'Z', ...), or 0.
char process_state(pid_t pid);

}  // namespace tour
