// stepguest: the client half of a one-byte TCP exchange. It connects to
// stephost on 127.0.0.1 port 7734, sends "A", and sends back every byte the
// server returns, printing each, as long as it is at most "X".
//
// Run:   stephost      (first, in one terminal)
//        stepguest     (then, in another terminal)
// Watch: "Char from server = B" up to "X", one line per round trip. After
//        its own "X" the client reads the end of the stream: the server has
//        closed the connection, and the client ends too. Without a server
//        the connection is refused: "Error has occurred: Connection refused"
//        and exit status 255.
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

// perror after the lines already printed, so a terminal showing both
// streams keeps them in order.
void report(const char *prefix) {
    const int error = errno;  // fflush may change errno
    fflush(stdout);
    errno = error;
    perror(prefix);
}

}  // namespace

int main() {
    puts("This is the client program");

    char ch = 'A';  // what is sent, and where the reply is read into

    const int sockfd = socket(AF_INET, SOCK_STREAM, 0);
    if (sockfd == -1) {
        // The prefix ends in a line end, so ": reason" starts the next line.
        report("Socket create failed.\n");
        exit(-1);
    }

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = inet_addr("127.0.0.1");
    address.sin_port = htons(port);
    // With nothing listening on the port, the kernel answers the connection
    // request with a reset and connect fails with ECONNREFUSED.
    if (connect(sockfd, reinterpret_cast<sockaddr *>(&address), sizeof address) == -1) {
        report("Error has occurred");
        exit(-1);
    }

    // Compared as a signed byte: 0x80 to 0xFF are negative and keep the
    // exchange going, whatever the signedness of plain char.
    while (static_cast<signed char>(ch) <= 'X') {
        // MSG_NOSIGNAL: a write to a connection the server has reset fails
        // with EPIPE instead of ending the client by SIGPIPE.
        if (send(sockfd, &ch, 1, MSG_NOSIGNAL) == -1) break;

        const ssize_t received = read(sockfd, &ch, 1);
        if (received == -1) {
            report("read");
            exit(1);
        }
        if (received == 0) {
            // The server closes without a reply once it has read "X"; a
            // read at the end of the stream leaves ch as it was sent.
            if (ch == 'X') break;
            fflush(stdout);
            fprintf(stderr, "stepguest: server closed the connection before X\n");
            exit(1);
        }
        printf("Char from server = %c\n", ch);
    }

    close(sockfd);
    return 0;
}
