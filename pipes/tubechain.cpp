// tubechain: joins /bin/ps and /bin/more with a pipe, as a shell runs
// "ps | more": the process list is shown one screen at a time.
//
// Run:   tubechain            (from a terminal: more pages the list)
//        tubechain | cat      (more sees no terminal and copies the list)
// Watch: the launcher itself becomes ps and its child becomes more; each
//        first moves its end of the pipe onto standard output or standard
//        input with close + dup, so neither program knows about the pipe.
//        The shell waits only for the process that became ps, so its prompt
//        may come back while more is still showing the list.
#include <signal.h>
#include <sys/types.h>
#include <unistd.h>

#include <array>
#include <cstdio>

int main() {
    // fd[0] is the read end, fd[1] the write end.
    std::array<int, 2> fd{};
    if (pipe(fd.data()) == -1) {
        perror("pipe");
        return 1;
    }

    const pid_t pid = fork();
    if (pid == -1) {
        perror("fork");
        return 1;
    }

    if (pid > 0) {
        // The writer. dup takes the lowest free descriptor: 1, just closed
        // (0 is still open), so standard output now leads into the pipe.
        close(STDOUT_FILENO);
        if (dup(fd[1]) == -1) {
            perror("dup");
            return 1;
        }
        // Only descriptors 0 (more's) and 1 stay on the pipe: more sees the
        // end of its input as soon as ps has closed its standard output.
        close(fd[0]);
        close(fd[1]);

        // more stays a child of this process after execv, so its end sends
        // SIGCHLD to ps. procps ps takes a caught SIGCHLD for a crash of its
        // own and exits 1 if the pager ends while ps is still on its way out.
        // A blocked signal only stays pending (ps never waits for children),
        // and the signal mask survives execv.
        sigset_t chld;
        sigemptyset(&chld);
        sigaddset(&chld, SIGCHLD);
        if (sigprocmask(SIG_BLOCK, &chld, nullptr) == -1) perror("sigprocmask");

        // The path is also argument zero, the name ps knows itself by.
        char ps_path[] = "/bin/ps";
        char *const ps_argv[] = {ps_path, nullptr};
        execv(ps_path, ps_argv);
        // Only a failed start comes back here.
        perror(ps_path);
        return 1;
    }

    // The reader: the read end becomes descriptor 0 the same way.
    close(STDIN_FILENO);
    if (dup(fd[0]) == -1) {
        perror("dup");
        return 1;
    }
    // The child's copy of the write end must go too: more reads until every
    // write end is closed.
    close(fd[0]);
    close(fd[1]);

    char more_path[] = "/bin/more";
    char *const more_argv[] = {more_path, nullptr};
    execv(more_path, more_argv);
    perror(more_path);
    return 1;
}
