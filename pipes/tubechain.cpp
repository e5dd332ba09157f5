// tubechain: joins /bin/ps and /bin/more with a pipe, as a shell runs
// "ps | more": the process list is shown one screen at a time.
//
// Run:   tubechain            (from a terminal: more pages the list; q ends it)
//        tubechain | cat      (more sees no terminal and copies the list)
// Watch: the launcher itself becomes more and its child becomes ps; each
//        first moves its end of the pipe onto standard input or standard
//        output with close + dup, so neither program knows about the pipe.
//        A shell waits for the last command of a pipeline: here that is
//        the launcher's own process, so the prompt comes back when the
//        pager ends, and its status is the pager's.
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
        // The reader, in the process the shell waits for. dup takes the
        // lowest free descriptor: 0, just closed, so standard input now
        // comes from the pipe.
        close(STDIN_FILENO);
        if (dup(fd[0]) == -1) {
            perror("dup");
            return 1;
        }
        // more's own copy of the write end must go too: it reads until
        // every write end is closed, so it would never see the end of the
        // list.
        close(fd[0]);
        close(fd[1]);

        // The path is also argument zero, the name more knows itself by.
        char more_path[] = "/bin/more";
        char *const more_argv[] = {more_path, nullptr};
        execv(more_path, more_argv);
        // Only a failed start comes back here. ps, already running, then
        // writes into a pipe with no reader and ends by SIGPIPE.
        perror(more_path);
        return 1;
    }

    // The writer, in the child: the write end becomes descriptor 1 the same
    // way (0 is still open, so dup cannot take it).
    close(STDOUT_FILENO);
    if (dup(fd[1]) == -1) {
        perror("dup");
        return 1;
    }
    // Only descriptors 0 (more's) and 1 stay on the pipe: more sees the end
    // of its input as soon as ps has closed its standard output.
    close(fd[0]);
    close(fd[1]);

    char ps_path[] = "/bin/ps";
    char *const ps_argv[] = {ps_path, nullptr};
    execv(ps_path, ps_argv);
    perror(ps_path);
    return 1;
}
