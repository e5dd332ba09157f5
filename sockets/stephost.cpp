// stephost: the server half of a one-byte TCP exchange. It listens on port
// 7734, accepts one connection and answers every byte it receives with the
// next character, until the client sends "X".
//
// Run:   stephost      (first, in one terminal; it waits in accept)
//        stepguest     (then, in another terminal)
// Watch: "server waiting" before each read and "Char from client= A" up to
//        "X" after it; each reply travels back to stepguest, which sends it
//        again. Only the first connection is served: later clients are
//        completed and queued by the kernel but never answered, and are
//        reset when the server ends. Running stephost twice at once makes
//        the second print "RC from bind = -1" and end.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr in_port_t port = 7734;
constexpr int backlog = 5;

// Ends the server after the call `call` failed with `error`. The lines
// already printed go out first, so a terminal showing both streams keeps
// them in order.
[[noreturn]] void fail(const char *call, int error) {
    fflush(stdout);
    errno = error;
    perror(call);
    exit(1);
}

}  // namespace

int main() {
    const int server_sockfd = socket(AF_INET, SOCK_STREAM, 0);
    if (server_sockfd == -1) fail("socket", errno);

    // A finished conversation leaves the server's side of the connection in
    // TIME_WAIT for about a minute, and without this option that old
    // connection keeps port 7734 from being bound again until it is gone.
    // Two listening sockets still cannot share the port.
    const int reuse = 1;
    if (setsockopt(server_sockfd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) == -1) {
        fail("setsockopt", errno);
    }

    sockaddr_in server_address{};
    server_address.sin_family = AF_INET;
    server_address.sin_addr.s_addr = htonl(INADDR_ANY);  // every local address
    server_address.sin_port = htons(port);

    // The result is printed before it is acted on; printf may change errno
    // (stdio looks at what stdout is on its first output), so keep it.
    const int rc_bind =
        bind(server_sockfd, reinterpret_cast<sockaddr *>(&server_address), sizeof server_address);
    const int bind_error = errno;
    printf("RC from bind = %d\n", rc_bind);
    if (rc_bind == -1) fail("bind", bind_error);

    // From here the kernel completes connections by itself and queues up to
    // `backlog` of them until the server accepts.
    const int rc_listen = listen(server_sockfd, backlog);
    const int listen_error = errno;
    printf("RC from listen = %d\n", rc_listen);
    if (rc_listen == -1) fail("listen", listen_error);

    sockaddr_in client_address{};
    socklen_t client_len = sizeof client_address;
    const int client_sockfd =
        accept(server_sockfd, reinterpret_cast<sockaddr *>(&client_address), &client_len);
    const int accept_error = errno;
    printf("after accept()... client_sockfd = %d\n", client_sockfd);
    if (client_sockfd == -1) fail("accept", accept_error);
    // The listening socket stays open but is not used again.

    char ch = 0;  // the byte last read, then the reply; used only after a read set it
    for (;;) {
        puts("server waiting");
        const ssize_t received = read(client_sockfd, &ch, 1);
        if (received == -1) fail("read", errno);
        // 0 is the end of the stream: the client closed its side early.
        if (received == 0) break;
        printf("Char from client= %c\n", ch);
        if (ch == 'X') break;

        ++ch;  // 0xFF steps round to 0x00
        // A client that has gone away answers the reply with a reset, and
        // the next write to that connection would raise SIGPIPE, whose
        // default action ends the process silently. MSG_NOSIGNAL turns it
        // into an ordinary EPIPE error.
        if (send(client_sockfd, &ch, 1, MSG_NOSIGNAL) == -1) fail("send", errno);
    }

    puts("server exiting");
    close(client_sockfd);
    return 0;
}
