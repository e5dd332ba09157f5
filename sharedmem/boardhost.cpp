// boardhost: two unrelated processes talk through System V shared memory.
// The server creates a 27-byte segment (key 5678), writes the lower-case
// alphabet into it as a zero-terminated text, and looks at the first byte
// once a second until a client has replaced the "a" there with "*".
//
// Run:   boardhost            (first; it waits)
//        boardguest           (then, in another terminal)
// Watch: within about a second of the client's run the server prints
//        "el client leyo la memoria" and the text as it now stands, with "*"
//        in place of "a". Nothing but that one byte tells the server the
//        client has been: no lock, no signal, only the poll. The segment is
//        never removed; `ipcs -m` shows it after both have ended, and the
//        next server finds it again and rewrites the alphabet.
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>

namespace {

constexpr key_t key = 5678;
constexpr std::size_t size = 27;  // "a" to "z" and the zero byte that ends them

}  // namespace

int main() {
    // Created if absent; an existing segment with this key is found and
    // reused. One smaller than 27 bytes makes shmget fail with EINVAL.
    const int shmid = shmget(key, size, IPC_CREAT | 0666);
    if (shmid == -1) {
        perror("shmget");
        return 1;
    }

    void *address = shmat(shmid, nullptr, 0);
    if (address == reinterpret_cast<void *>(-1)) {
        perror("shmat");
        return 1;
    }
    // The same physical pages are mapped into the client when it attaches,
    // so another process changes these bytes behind the compiler's back.
    // volatile makes every access below a real load or store on the
    // segment: the test of byte 0 reads it afresh at every poll instead of
    // keeping a copy from the first one.
    volatile char *shm = static_cast<volatile char *>(address);

    // A segment left by an earlier run, even one already marked "*", gets
    // the alphabet again, so every run waits for a new acknowledgement.
    volatile char *cursor = shm;
    for (char letter = 'a'; letter <= 'z'; ++letter) *cursor++ = letter;
    *cursor = '\0';

    while (shm[0] != '*') sleep(1);

    puts("el client leyo la memoria");
    // The text up to its zero byte, but never past the segment's 27 bytes:
    // a segment written by some other program may hold no zero byte at all.
    for (cursor = shm; cursor < shm + size && *cursor != '\0'; ++cursor) putchar(*cursor);
    putchar('\n');
    return 0;
}
