// A stand-in for /bin/ps, bind-mounted over it by the pipe tests.
//
// Like procps ps, it catches SIGCHLD and takes it for a crash of its own: it
// complains on stderr and exits 1. Unlike ps, it makes the dangerous moment
// certain: after printing a short list and closing its standard output it
// stays until its own child (the pager, which sees the end of its input
// then) has ended, and a little longer. A SIGCHLD that can reach it arrives
// in that time.
//
// The list names its arguments, so the test sees the argument vector too.
// SIGPIPE is ignored: a pager that could not start leaves no reader, and the
// list is then simply lost.
//
// With PS_STANDIN=flood in its environment it is a ps on a machine with a
// great many processes instead: it writes a 1 MiB list, far more than a
// pipe holds, with SIGPIPE at its default, and ends by it once the pager
// has gone.
#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;

void on_sigchld(int) {
    constexpr char complaint[] = "Signal 17 (CHLD) caught by the ps stand-in\n";
    [[maybe_unused]] const ssize_t written = write(STDERR_FILENO, complaint, sizeof complaint - 1);
    _exit(1);
}

// True while some child of this process has not ended (zombies have).
bool child_running() {
    DIR *proc = opendir("/proc");
    if (proc == nullptr) return false;
    bool running = false;
    while (const dirent *entry = readdir(proc)) {
        std::ifstream stat_file(std::string("/proc/") + entry->d_name + "/stat");
        std::string text;
        if (!std::getline(stat_file, text)) continue;
        // After the command name (in parentheses): state, then parent pid.
        const auto close_paren = text.rfind(')');
        if (close_paren == std::string::npos) continue;
        char state = 0;
        int ppid = 0;
        if (std::sscanf(text.c_str() + close_paren + 1, " %c %d", &state, &ppid) != 2) continue;
        if (ppid == getpid() && state != 'Z') running = true;
    }
    closedir(proc);
    return running;
}

int flood() {
    signal(SIGPIPE, SIG_DFL);
    std::string line(1023, 'p');
    line += '\n';
    for (int i = 0; i < 1024; ++i) {
        for (size_t done = 0; done < line.size();) {
            const ssize_t n = write(STDOUT_FILENO, line.data() + done, line.size() - done);
            if (n == -1) {
                std::perror("ps stand-in: write");
                return 1;
            }
            done += static_cast<size_t>(n);
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char *argv[]) {
    const char *mode = std::getenv("PS_STANDIN");
    if (mode != nullptr && std::string(mode) == "flood") return flood();

    struct sigaction action {};
    action.sa_handler = on_sigchld;
    sigemptyset(&action.sa_mask);
    sigaction(SIGCHLD, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::printf("PID ARGS\n%d", static_cast<int>(getpid()));
    for (int i = 0; i < argc; ++i) std::printf(" %s", argv[i]);
    std::printf("\n");
    std::fclose(stdout);

    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (child_running()) {
        if (std::chrono::steady_clock::now() > deadline) {
            std::fputs("ps stand-in: the pager did not end\n", stderr);
            return 2;
        }
        std::this_thread::sleep_for(5ms);
    }
    std::this_thread::sleep_for(300ms);
    return 0;
}
