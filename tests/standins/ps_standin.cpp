// A stand-in for /bin/ps, bind-mounted over it by the pipe tests: it prints
// a short list that names its own process and its arguments, so a test
// sees which process became ps and with which argument vector.
//
// With PS_STANDIN=flood in its environment it is a ps on a machine with a
// great many processes instead: it writes a 1 MiB list, far more than a
// pipe holds, with SIGPIPE at its default, so it ends by that signal once
// nobody reads the pipe, or blocks for ever if something still could.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

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

    std::printf("PID ARGS\n%d", static_cast<int>(getpid()));
    for (int i = 0; i < argc; ++i) std::printf(" %s", argv[i]);
    std::printf("\n");
    return 0;
}
