// tallylock: five worker processes add 1 to a counter in System V shared
// memory N times each, every addition guarded by a System V semaphore.
//
// Run:   tallylock 100000
// Watch: the total is exactly 5 x N ("padre total= 500000") when all five
//        workers were created and counted to the end. A failed fork or a
//        killed worker gives less. A second counter run started while this
//        one counts (even stopped) is refused and touches nothing: the keys
//        are fixed, so it would share the counter and the set. If the set
//        is removed (ipcrm -S 1234) or raised above 1 meanwhile, each
//        worker reports its first failed semop, counts on unguarded, and
//        the run ends with status 1. Compare with tallybare, which makes
//        the same additions unguarded.
//        The counter segment (key 1678) stays after the run; the semaphore
//        set (key 1234) is removed before the total is printed.
#include "counter.hpp"

#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

// The caller of semctl declares this union itself (see semctl(2)).
union semun {
    int val;
    struct semid_ds *buf;
    unsigned short *array;
};

namespace {

constexpr key_t key_s = 1234;  // the guard semaphore set
constexpr int semflg = IPC_CREAT | 0666;

// Set up by the parent and inherited by every worker.
int semid = -1;
struct sembuf *sops = nullptr;  // room for two operations; never freed

}  // namespace

void counter_setup() {
    sops = static_cast<struct sembuf *>(malloc(2 * sizeof(struct sembuf)));

    semid = semget(key_s, 1, semflg);
    if (semid == -1) {
        perror("semget: semget failed");
        abort();
    }

    // A set left by an interrupted run may hold any value: force it to 0,
    // then raise it to 1 (free) with an operation.
    union semun arg {};
    arg.val = 0;
    semctl(semid, 0, SETVAL, arg);

    // SEM_UNDO on every operation: when a process ends, the kernel reverses
    // what it still owes the semaphore.
    sops[0] = {0, 1, SEM_UNDO};
    if (semop(semid, sops, 1) == -1) {
        // The guard would stay at 0 and every worker would sleep for ever.
        perror("semop: semop failed");
        abort();
    }
}

bool counter_increment(int *shm) {
    // A worker reports the first failed operation only: once the set is
    // removed (ipcrm, or another program), or raised above 1 by someone
    // else, every later one fails the same way, N times over.
    static bool reported = false;

    // Take: decrement, and in the same atomic call check that the value is
    // then 0. If someone raised the semaphore above 1, the zero-check fails
    // at once instead of letting two workers in.
    sops[0] = {0, -1, SEM_UNDO};
    sops[1] = {0, 0, IPC_NOWAIT | SEM_UNDO};
    int taken = semop(semid, sops, 2);
    // A stopped and continued process sees its sleeping semop fail with
    // EINTR; nothing was changed, so take again.
    while (taken == -1 && errno == EINTR) taken = semop(semid, sops, 2);
    if (taken == -1 && !reported) {
        perror("semop1: semop failed");
        reported = true;
    }

    // Plain read, add and store; with 32-bit wrap-around as an int would.
    *shm = static_cast<int>(static_cast<unsigned>(*shm) + 1U);

    // Give back only what was taken, so the value never rises above 1.
    if (taken == -1) return false;
    sops[0] = {0, 1, IPC_NOWAIT | SEM_UNDO};
    if (semop(semid, sops, 1) == -1) {
        if (!reported) perror("semop2: semop failed");
        reported = true;
        return false;
    }
    return true;
}

void counter_teardown() {
    // The only kernel object the suite removes. The counter segment stays.
    semctl(semid, 0, IPC_RMID);
}
