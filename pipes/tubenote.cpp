// tubenote: a parent sends its child one greeting through a pipe.
//
// Run:   tubenote
// Watch: two lines, "father wrote" and "child read Greetings", in either
//        order: the parent does not wait for its child, so the shell's prompt
//        may even come back before the child's line. The pipe is made before
//        fork, so both processes hold both ends; each closes the end it does
//        not use. The parent sends the text with its terminating zero byte
//        (10 bytes), and that zero byte ends the text the child prints.
#include <sys/types.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>

namespace {

constexpr size_t buffer_size = 25;

}  // namespace

int main() {
    // fd[0] is the read end, fd[1] the write end.
    std::array<int, 2> fd{};
    if (pipe(fd.data()) == -1) {
        fputs("Pipe failed", stderr);
        return 1;
    }

    const pid_t pid = fork();
    if (pid < 0) {
        fputs("Fork failed", stderr);
        return 1;
    }

    if (pid > 0) {
        // The parent only writes.
        close(fd[0]);
        const std::array<char, buffer_size> write_msg{"Greetings"};
        // The result is not checked here: a write that fails leaves the pipe
        // empty, and the child, reading nothing, says so.
        [[maybe_unused]] const ssize_t written =
            write(fd[1], write_msg.data(), strlen(write_msg.data()) + 1);
        puts("father wrote");
        close(fd[1]);
        return 0;
    }

    // The child only reads. Closing its copy of the write end matters: while
    // any write end is open, a read on an empty pipe waits instead of
    // reporting the end of the data.
    close(fd[1]);
    std::array<char, buffer_size> read_msg;  // not cleared: only received bytes are printed
    // One read returns what is in the pipe, up to 25 bytes; if the parent has
    // not written yet, it sleeps until the parent writes or closes its end.
    const ssize_t received = read(fd[0], read_msg.data(), read_msg.size());
    if (received == -1) {
        perror("read");
        return 1;
    }
    if (received == 0) {
        fputs("child read nothing\n", stderr);
        return 1;
    }
    // The text ends at the zero byte the parent sent, and never goes past
    // the bytes received.
    printf("child read %.*s\n", static_cast<int>(received), read_msg.data());
    close(fd[0]);
    return 0;
}
