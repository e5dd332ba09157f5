// spawnwait: process creation and waiting for particular children. The
// parent creates five children in a row; each prints its process id and
// index, sleeps ten seconds and exits with the status given on the command
// line. The parent then waits for them one by one, in creation order,
// telling standard error whom it waits for.
//
// Run:   spawnwait 3
// Watch: the five child lines come at once, in whatever order the scheduler
//        runs the children. The wait for the first child takes about ten
//        seconds; the other four return at once, since all children slept
//        at the same time and wait as zombies until they are reaped. The
//        parent does not look at how a child ended; the status is the
//        argument's low 8 bits (`spawnwait 256` makes them exit with 0).
//        Stopping a child from another terminal (kill -STOP PID) also ends
//        the parent's wait for it: the wait asks for stops (WUNTRACED) and
//        continues (WCONTINUED) as well as exits.
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr int children = 5;
constexpr unsigned nap_seconds = 10;

// The exit status is read as glibc's atoi reads it: atoi(s) is
// (int) strtol(s, NULL, 10). Calling strtol directly keeps the result
// without atoi's undefined behaviour on values that do not fit. Without an
// argument, argv[1] is the null pointer that ends argv, and the status is 0.
int read_status(const char *text) {
    if (text == nullptr) return 0;
    return static_cast<int>(strtol(text, nullptr, 10));
}

// A child's whole life: report, sleep, exit. It never returns into the
// parent's loop.
[[noreturn]] void run_child(int i, const char *status_text) {
    printf("Child PID is %ld and i is= %d \n", static_cast<long>(getpid()), i);
    // Into a pipe or a file stdout is fully buffered: push the line out now
    // rather than when the child exits ten seconds later.
    fflush(stdout);
    sleep(nap_seconds);
    exit(read_status(status_text));
}

}  // namespace

int main(int argc, char *argv[]) {
    // Only the children read the argument; argv[argc] is always null.
    const char *status_text = argc > 1 ? argv[1] : nullptr;
    std::array<pid_t, children> pid{};
    int status = 0;

    // The parent writes nothing to stdout, so every child starts with an
    // empty stdout buffer and prints only its own line; the parent's
    // messages go to stderr, which is unbuffered.
    for (int i = 0; i < children; ++i) {
        pid[i] = fork();
        if (pid[i] == -1) {
            // Children created so far sleep and exit on their own; init
            // (or the nearest subreaper) reaps them.
            perror("fork");
            exit(1);
        }
        if (pid[i] == 0) run_child(i, status_text);
    }

    for (int i = 0; i < children; ++i) {
        fprintf(stderr, "Waiting in the father %ld for child %ld\n", static_cast<long>(getpid()),
                static_cast<long>(pid[i]));
        // Ends when this child exits, is stopped or is continued. A child
        // that exited before its turn has waited as a zombie until now.
        waitpid(pid[i], &status, WUNTRACED | WCONTINUED);
        fputs("Child finished \n", stderr);
    }

    fputs("father finished \n", stderr);
    exit(0);
}
