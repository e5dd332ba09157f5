// boardguest: the client of boardhost's mailbox segment (key 5678, 27
// bytes). It looks the segment up, prints the text it holds, and stores "*"
// in its first byte: the acknowledgement the waiting server polls for.
//
// Run:   boardhost            (first; it waits)
//        boardguest           (then, in another terminal)
// Watch: the client prints the alphabet and "Altero la memoria"; the server
//        notices the "*" at its next poll and ends. Run the client once more
//        and it prints "*bcd...": the segment outlives both programs with its
//        last contents. Without any server since boot (or after
//        `ipcrm -M 5678`) there is no segment, and shmget fails.
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdio>

namespace {

constexpr key_t key = 5678;
constexpr std::size_t size = 27;  // "a" to "z" and the zero byte that ends them

}  // namespace

int main() {
    // No IPC_CREAT: only an existing segment is looked up, and shmget fails
    // with ENOENT when there is none.
    const int shmid = shmget(key, size, 0666);
    if (shmid == -1) {
        perror("shmget");
        return 1;
    }

    void *address = shmat(shmid, nullptr, 0);
    if (address == reinterpret_cast<void *>(-1)) {
        perror("shmat");
        return 1;
    }
    char *shm = static_cast<char *>(address);

    // The text up to its zero byte, but never past the segment's 27 bytes:
    // a segment written by some other program may hold no zero byte at all.
    for (const char *cursor = shm; cursor < shm + size && *cursor != '\0'; ++cursor) {
        putchar(*cursor);
    }
    putchar('\n');

    puts("Altero la memoria");
    // One byte, stored straight into the server's pages. The server sees
    // either "a" or "*" there, never anything in between.
    shm[0] = '*';
    return 0;
}
