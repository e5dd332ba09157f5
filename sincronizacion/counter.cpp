// The counter harness: argument check, counter segment, five workers,
// reaping, total. See counter.hpp for the steps each program supplies.
#include "counter.hpp"

#include <pwd.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr key_t key_d = 1678;  // the counter segment, shared by both programs
constexpr int workers = 5;
constexpr int mode = 0666;              // read and write for everyone
constexpr size_t proc_line_size = 256;  // more than a /proc/PID/status line

// The counter segment's id, the segment made first if `flags` says so
// (IPC_CREAT). A failure ends the process with SIGABRT.
int counter_id(int flags) {
    const int shmid = shmget(key_d, sizeof(int), flags | mode);
    if (shmid == -1) {
        perror("shmget");
        abort();
    }
    return shmid;
}

// Looks the counter segment up (creating it if `flags` says so) and attaches
// it where the kernel chooses. Any failure ends the process with SIGABRT.
int *attach_counter(int flags, int &shmid) {
    shmid = counter_id(flags);
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

// The segment's state: among others, its attachments (shm_nattch) and the
// last process to attach or detach it (shm_lpid). Every process of a run
// holds an attachment (the parent and each worker; a worker also holds
// the parent's, inherited through fork) until it ends, even while it is
// stopped, so any attachment but the caller's own is a run in progress.
shmid_ds counter_status(int shmid) {
    shmid_ds info{};
    if (shmctl(shmid, IPC_STAT, &info) == -1) {
        perror("shmctl");
        abort();
    }
    return info;
}

// Writes `text` and a newline to standard error, in lines of at most 80
// columns broken at blanks.
void say_folded(const std::string &text) {
    constexpr size_t width = 80;
    size_t start = 0;
    while (text.size() - start > width) {
        size_t cut = text.rfind(' ', start + width);
        if (cut == std::string::npos || cut <= start) cut = start + width;
        fprintf(stderr, "%.*s\n", static_cast<int>(cut - start), text.c_str() + start);
        start = text[cut] == ' ' ? cut + 1 : cut;
    }
    fprintf(stderr, "%s\n", text.c_str() + start);
}

// The lines of /proc/PID/FILE, or none where the process cannot be seen
// (gone, or in another PID namespace).
std::vector<std::string> proc_lines(pid_t pid, const char *file) {
    const std::string path = "/proc/" + std::to_string(pid) + "/" + file;
    std::vector<std::string> lines;
    FILE *stream = fopen(path.c_str(), "r");
    if (stream == nullptr) return lines;
    std::array<char, proc_line_size> line{};
    while (fgets(line.data(), line.size(), stream) != nullptr) {
        lines.emplace_back(line.data(), strcspn(line.data(), "\n"));
    }
    fclose(stream);
    return lines;
}

// Says that another run holds the counter, and whose run it is where its
// process `last` (0 if not known) can still be seen: only its owner, or
// root, can fg or kill it. The lab's command is named both as installed
// and as in a clone. Returns the status to end with.
int refuse(shmatt_t attachments, pid_t last) {
    std::string text = "the counter (key " + std::to_string(key_d) +
                       ") is in use by another run (" + std::to_string(attachments) +
                       " attachments)";
    const std::string lab = "use a lab of your own: ipc-lab (./lab.sh in a clone)";
    // Uid: real, effective, saved and filesystem uid; the real one owns it.
    // A process that inherited an attachment through fork drops it at exec,
    // and is then the last: its parent held it, not a run.
    std::string uids;
    for (const auto &line :
         last > 0 && last != getpid() ? proc_lines(last, "status") : std::vector<std::string>{}) {
        if (line.starts_with("Uid:")) uids = line.substr(4);
    }
    const auto comm = proc_lines(last, "comm");
    if (uids.empty() || comm.empty()) {
        text += ": wait until it ends, fg or kill it if it is yours and stopped, or " + lab;
    } else {
        const uid_t owner = static_cast<uid_t>(strtoul(uids.c_str(), nullptr, 10));
        // One thread here, so getpwuid's static result is safe to read.
        // cppcheck-suppress getpwuidCalled
        const passwd *entry = getpwuid(owner);
        const std::string user = entry != nullptr ? entry->pw_name : "uid " + std::to_string(owner);
        const std::string process = "process " + std::to_string(last) + ", " + comm.front() +
                                    ", was the last to attach or detach it";
        if (owner == getuid()) {
            text += ", yours (" + process + "): wait until it ends, fg or kill it if it is " +
                    "stopped, or " + lab;
        } else {
            text += ", " + user + "'s (" + process + "): only " + user +
                    " or root can end it; wait until it ends, or " + lab;
        }
    }
    say_folded(text);
    return 2;
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

    // Zeroing the counter, or resetting the guard, under a run that still
    // counts would spoil both totals: leave it all as it is. Looked at
    // before this run attaches, the segment still names the other run's
    // last process to attach or detach it.
    const shmid_ds before = counter_status(counter_id(IPC_CREAT));
    if (before.shm_nattch > 0) return refuse(before.shm_nattch, before.shm_lpid);
    int shmid = -1;
    int *shm = attach_counter(0, shmid);
    // The kernel counts attachments at shmat, so of two runs started at the
    // same moment at least the later one to attach sees the other.
    const shmatt_t others = counter_status(shmid).shm_nattch - 1;
    if (others > 0) return refuse(others, 0);
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
