// The counter harness: argument check, counter segment, five workers,
// reaping, total. See counter.hpp for the steps each program supplies.
#include "counter.hpp"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr key_t key_d = 1678;  // the counter segment, shared by both programs
constexpr int workers = 5;

// Looks the counter segment up (creating it if `flags` says so) and attaches
// it where the kernel chooses. Any failure ends the process with SIGABRT.
int *attach_counter(int flags) {
    const int shmid = shmget(key_d, sizeof(int), flags | 0666);
    if (shmid == -1) {
        perror("shmget");
        abort();
    }
    void *shm = shmat(shmid, nullptr, 0);
    if (shm == reinterpret_cast<void *>(-1)) {
        perror("shmat");
        abort();
    }
    return static_cast<int *>(shm);
}

// N is read as glibc's atoi reads it: atoi(s) is (int) strtol(s, NULL, 10).
// Calling strtol directly keeps the same result (leading blanks, one sign,
// digits up to the first non-digit, 0 without digits) without atoi's
// undefined behaviour on values that do not fit; the conversion to int
// keeps the low 32 bits, as on glibc.
int read_count(const char *text) { return static_cast<int>(strtol(text, nullptr, 10)); }

[[noreturn]] void run_worker(int n) {
    // A fresh lookup and attachment: the worker does not use the mapping it
    // inherited from the parent.
    int *shm = attach_counter(0);
    for (int i = 0; i < n; ++i) counter_increment(shm);
    exit(0);
}

}  // namespace

int main(int argc, char *argv[]) {
    if (argc != 2) {
        fputs("usage: a.out <integer value>\n", stderr);
        abort();
    }
    const int n = read_count(argv[1]);
    if (n < 0) {
        fprintf(stderr, "Argument %d must be non-negative\n", n);
        abort();
    }

    int *shm = attach_counter(IPC_CREAT);
    *shm = 0;

    counter_setup();

    // Nothing is buffered for stdout yet, but a child must never inherit
    // unflushed output and print it a second time.
    fflush(stdout);
    for (int created = 0; created < workers; ++created) {
        const pid_t pid = fork();
        if (pid == -1) {
            // Go on with the workers there are; the total shows the loss.
            perror("fork");
        } else if (pid == 0) {
            run_worker(n);
        }
    }

    // Reap until the kernel says no child is left. A worker that was killed,
    // or exited with a non-zero status, is named.
    for (;;) {
        int status = 0;
        const pid_t done = wait(&status);
        if (done == -1) {
            if (errno == ECHILD) break;
            continue;
        }
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) printf("hijo %d terminado\n", done);
    }

    counter_teardown();

    printf("padre total= %d\n", *shm);
    return 0;
}
