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
constexpr int mode = 0666;  // read and write for everyone

// Looks the counter segment up (creating it if `flags` says so) and attaches
// it where the kernel chooses. Any failure ends the process with SIGABRT.
int *attach_counter(int flags, int &shmid) {
    shmid = shmget(key_d, sizeof(int), flags | mode);
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
    int shmid = -1;
    int *shm = attach_counter(0, shmid);
    bool as_meant = true;
    for (int i = 0; i < n; ++i) as_meant = counter_increment(shm) && as_meant;
    exit(as_meant ? 0 : 1);
}

// Attachments of the segment besides the caller's own. Every process of a
// run holds one (the parent and each worker; a worker also holds the
// parent's, inherited through fork) until it ends, even while it is
// stopped, so any other attachment is a run still in progress. The kernel
// counts attachments at shmat, so of two runs started at the same moment
// at least the later one to attach sees the other.
shmatt_t other_attachments(int shmid) {
    shmid_ds info{};
    if (shmctl(shmid, IPC_STAT, &info) == -1) {
        perror("shmctl");
        abort();
    }
    return info.shm_nattch - 1;
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

    int shmid = -1;
    int *shm = attach_counter(IPC_CREAT, shmid);
    // Zeroing the counter, or resetting the guard, under a run that still
    // counts would spoil both totals: leave it all as it is.
    const shmatt_t others = other_attachments(shmid);
    if (others > 0) {
        fprintf(stderr,
                "the counter (key %d) is in use by another run (%lu attachments): wait until it "
                "ends, fg or kill it if it is stopped, or use a lab of your own (./lab.sh)\n",
                static_cast<int>(key_d), static_cast<unsigned long>(others));
        return 2;
    }
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
    // or exited with a non-zero status, is named. One that exited with 1
    // made an addition that was not meant, so the total is not to be
    // trusted and the run ends with 1 too.
    int run_status = 0;
    for (;;) {
        int status = 0;
        const pid_t done = wait(&status);
        if (done == -1) {
            if (errno == ECHILD) break;
            continue;
        }
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) printf("hijo %d terminado\n", done);
        if (WIFEXITED(status) && WEXITSTATUS(status) != 0) run_status = 1;
    }

    counter_teardown();

    printf("padre total= %d\n", *shm);
    return run_status;
}
