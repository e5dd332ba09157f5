// For CI: proves that a test run left the host's System V objects alone.
//   ipc_state plant   creates the objects a user's own demos leave behind,
//                     where they do not exist yet: the counter segment
//                     holding 35, the marked mailbox, and a guard semaphore
//                     set left by an interrupted tallylock
//   ipc_state show    prints every shared memory segment and semaphore set
//                     this user may see: key, size, mode, owner and a
//                     digest of the contents, one line each, in key order
// Compare two outputs of `show` to see whether anything changed.
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

union semun {
    int val;
    semid_ds *buf;
    unsigned short *array;
};

constexpr key_t counter_key = 1678;
constexpr key_t guard_key = 1234;
constexpr key_t mailbox_key = 5678;
constexpr unsigned permission_bits = 0777;

// A new segment of `size` bytes holding `bytes`; one that exists is left
// as it is. Returns false on any other failure.
bool plant_segment(key_t key, const void *bytes, size_t size) {
    const int shmid = shmget(key, size, IPC_CREAT | IPC_EXCL | 0666);
    if (shmid == -1) return errno == EEXIST;
    void *shm = shmat(shmid, nullptr, 0);
    if (shm == reinterpret_cast<void *>(-1)) return false;
    std::memcpy(shm, bytes, size);
    return shmdt(shm) == 0;
}

int plant() {
    const int total = 35;
    const char marked[27] = "*bcdefghijklmnopqrstuvwxyz";
    bool planted = plant_segment(counter_key, &total, sizeof total) &&
                   plant_segment(mailbox_key, marked, sizeof marked);
    const int semid = semget(guard_key, 1, IPC_CREAT | IPC_EXCL | 0666);
    if (semid != -1) {
        semun arg{};
        arg.val = 1;
        planted = planted && semctl(semid, 0, SETVAL, arg) == 0;
    } else {
        planted = planted && errno == EEXIST;
    }
    if (!planted) std::perror("ipc_state plant");
    return planted ? 0 : 1;
}

// FNV-1a over the contents: a changed byte changes the line.
std::string digest(const unsigned char *bytes, size_t size) {
    constexpr unsigned long long offset_basis = 14695981039346656037ULL;
    constexpr unsigned long long prime = 1099511628211ULL;
    unsigned long long hash = offset_basis;
    for (size_t i = 0; i < size; ++i) {
        hash ^= bytes[i];
        hash *= prime;
    }
    return "fnv1a " + std::to_string(hash);
}

int show() {
    std::multimap<key_t, std::string> lines;
    shm_info shm_summary{};
    const int last_shm = shmctl(0, SHM_INFO, reinterpret_cast<shmid_ds *>(&shm_summary));
    for (int index = 0; index <= last_shm; ++index) {
        shmid_ds info{};
        const int shmid = shmctl(index, SHM_STAT, &info);
        if (shmid == -1) continue;
        std::string line = "shm size " + std::to_string(info.shm_segsz) + " mode " +
                           std::to_string(info.shm_perm.mode & permission_bits) + " uid " +
                           std::to_string(info.shm_perm.uid) + " ";
        void *shm = shmat(shmid, nullptr, SHM_RDONLY);
        if (shm == reinterpret_cast<void *>(-1)) {
            line += "unreadable";
        } else {
            line += digest(static_cast<const unsigned char *>(shm), info.shm_segsz);
            shmdt(shm);
        }
        lines.emplace(info.shm_perm.__key, line);
    }
    seminfo sem_summary{};
    semun arg{};
    arg.buf = reinterpret_cast<semid_ds *>(&sem_summary);
    const int last_sem = semctl(0, 0, SEM_INFO, arg);
    for (int index = 0; index <= last_sem; ++index) {
        semid_ds info{};
        arg.buf = &info;
        const int semid = semctl(index, 0, SEM_STAT, arg);
        if (semid == -1) continue;
        std::string line = "sem count " + std::to_string(info.sem_nsems) + " mode " +
                           std::to_string(info.sem_perm.mode & permission_bits) + " uid " +
                           std::to_string(info.sem_perm.uid) + " values";
        std::vector<unsigned short> values(info.sem_nsems);
        arg.array = values.data();
        if (semctl(semid, 0, GETALL, arg) == -1) {
            line += " unreadable";
        } else {
            for (const unsigned short value : values) line += " " + std::to_string(value);
        }
        lines.emplace(info.sem_perm.__key, line);
    }
    for (const auto &[key, line] : lines) std::printf("key %d: %s\n", key, line.c_str());
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    const std::string mode = argc == 2 ? argv[1] : "";
    if (mode == "plant") return plant();
    if (mode == "show") return show();
    std::fputs("usage: ipc_state plant|show\n", stderr);
    return 2;
}
