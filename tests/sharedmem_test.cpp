// boardhost and boardguest, driven as a user would, and cleanup.sh, which
// removes the mailbox and the counter's objects; each test in private
// namespaces. The server counts as ready once the test sees the
// segment with key 5678 holding "a".."z" and the zero byte: it writes them
// right after attaching, and from then on it only polls byte 0.
#include <pwd.h>
#include <sys/ipc.h>
#include <sys/resource.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "expected.hpp"
#include "peers.hpp"
#include "run.hpp"

using namespace tour;

namespace {

using Mailbox = Isolated;

Outcome guest() { return run({bin("boardguest")}, 30s); }

}  // namespace

TEST_F(Mailbox, ClientWithoutSegmentFailsAndCreatesNone) {
    const Outcome result = guest();
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "shmget: No such file or directory\n");
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(shmget(mailbox_key, 0, 0), -1);
}

// The first round finds no segment; the second finds the one the first
// left, already marked "*", and must write the alphabet and wait again.
TEST_F(Mailbox, EveryServerRunWaitsForTheClientsMark) {
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        Running server = start({bin("boardhost")});
        ASSERT_TRUE(wait_until(alphabet_in_place, 30s));
        ASSERT_TRUE(wait_until([&] { return process_state(server.pid()) == 'S'; }, 10s));

        const Outcome client = guest();
        EXPECT_EQ(client.out, mailbox_client_out);
        EXPECT_EQ(client.err, "");
        EXPECT_EQ(client.exit_code, 0);

        // One poll a second: the mark is seen within about a second.
        const Outcome result = server.finish(2500ms);
        EXPECT_EQ(result.out, mailbox_server_out);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.exit_code, 0);
    }

    shmid_ds info{};
    ASSERT_EQ(shmctl(shmget(mailbox_key, 0, 0), IPC_STAT, &info), 0);
    EXPECT_EQ(info.shm_segsz, 27U);
    EXPECT_EQ(info.shm_perm.mode & 0777, 0666U);
    // With no server the segment keeps its last contents.
    const Outcome again = guest();
    EXPECT_EQ(again.out, marked + "\nAltero la memoria\n");
    EXPECT_EQ(again.exit_code, 0);
}

TEST_F(Mailbox, LookupAndAttachFailuresEndWithStatusOne) {
    // A segment with the key but too small for 27 bytes.
    const int small = shmget(mailbox_key, 26, IPC_CREAT | 0666);
    ASSERT_NE(small, -1);
    for (const char *program : {"boardhost", "boardguest"}) {
        const Outcome result = run({bin(program)}, 30s);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "shmget: Invalid argument\n");
        EXPECT_EQ(result.exit_code, 1);
    }
    ASSERT_EQ(shmctl(small, IPC_RMID, nullptr), 0);

    if (IPC_TOUR_SANITIZED) GTEST_SKIP() << "a sanitizer needs far more address space";
    // A segment larger than the address space the program may use: found,
    // but shmat cannot map it.
    ASSERT_NE(shmget(mailbox_key, 1UL << 30, IPC_CREAT | 0666), -1);
    const auto small_address_space = [] {
        const rlimit limit{256UL << 20, 256UL << 20};
        if (setrlimit(RLIMIT_AS, &limit) == -1) _exit(127);
    };
    for (const char *program : {"boardhost", "boardguest"}) {
        const Outcome result = run({bin(program)}, 30s, {.in_child = small_address_space});
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "shmat: Cannot allocate memory\n");
        EXPECT_EQ(result.exit_code, 1);
    }
}

TEST_F(Mailbox, TextWithoutZeroByteIsPrintedAtMost27Long) {
    // A larger segment passes the lookup for 27 bytes, and the bytes past 26
    // must never reach the output. (In a segment of exactly 27 bytes an
    // overrun would go unseen: the rest of its page reads as zero bytes.)
    // Made as another program might, and filled with 'q'.
    void *shm = shmat(shmget(mailbox_key, 4096, IPC_CREAT | 0666), nullptr, 0);
    ASSERT_NE(shm, reinterpret_cast<void *>(-1));
    volatile char *segment = static_cast<volatile char *>(std::memset(shm, 'q', 4096));
    const Outcome client = guest();
    EXPECT_EQ(client.out, std::string(27, 'q') + "\nAltero la memoria\n");
    EXPECT_EQ(client.err, "");
    EXPECT_EQ(client.exit_code, 0);
    EXPECT_EQ(segment[0], '*');

    Running server = start({bin("boardhost")});
    ASSERT_TRUE(wait_until(alphabet_in_place, 30s));
    // The server has written its last byte; from here it only reads byte 0.
    // Byte 26 is overwritten before the mark, so whichever poll sees the
    // mark also sees the text without its zero byte.
    segment[26] = '!';
    segment[0] = '*';
    const Outcome result = server.finish(30s);
    EXPECT_EQ(result.out, "el client leyo la memoria\n" + marked + "!\n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.exit_code, 0);
}

// cleanup.sh keeps what a run is using (an attached segment, the guard while
// the counter is attached) and an object of another size, which may be
// another program's; it removes the rest.
TEST_F(Mailbox, CleanupRemovesOnlyTheDemoObjectsNoRunUses) {
    const auto script = std::filesystem::path(__FILE__).parent_path().parent_path() / "cleanup.sh";
    const auto cleanup = [&] {
        const Outcome result = run({script.string()}, 30s);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.exit_code, 0);
        return result.out;
    };
    const int counter = shmget(counter_key, 4, IPC_CREAT | 0666);
    const int guard = semget(guard_key, 1, IPC_CREAT | 0666);
    const int mailbox = shmget(mailbox_key, 27, IPC_CREAT | 0666);
    void *counter_view = shmat(counter, nullptr, 0);
    void *mailbox_view = shmat(mailbox, nullptr, 0);
    ASSERT_NE(guard, -1);
    ASSERT_NE(counter_view, reinterpret_cast<void *>(-1));
    ASSERT_NE(mailbox_view, reinterpret_cast<void *>(-1));
    const std::string attached = "kept; a run still has it attached\n";
    const auto removed = [](int id) { return "removed (id " + std::to_string(id) + ", yours)\n"; };
    const std::string counter_is = "counter segment (key 1678): ";
    const std::string guard_is = "guard semaphore set (key 1234): ";
    const std::string mailbox_is = "mailbox segment (key 5678): ";
    EXPECT_EQ(cleanup(), counter_is + attached + guard_is + "kept; a counter run is still going\n" +
                             mailbox_is + attached);

    ASSERT_EQ(shmdt(counter_view), 0);
    EXPECT_EQ(cleanup(),
              counter_is + removed(counter) + guard_is + removed(guard) + mailbox_is + attached);

    // Another program's counter; shmget fails while the 4-byte one is there.
    ASSERT_NE(shmget(counter_key, 8, IPC_CREAT | 0666), -1);
    ASSERT_EQ(shmdt(mailbox_view), 0);
    EXPECT_EQ(cleanup(), counter_is +
                             "kept; it has 8 bytes, not the demo's 4, so it may be another "
                             "program's\n" +
                             guard_is + "none\n" + mailbox_is + removed(mailbox));

    // An ipcrm that fails: the object is named as not removed, with
    // ipcrm's words, and the script ends with status 1.
    char dir_template[] = "/tmp/cleanup-ipcrm-XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    const std::filesystem::path dir(dir_template);
    std::ofstream(dir / "ipcrm") << "#!/bin/sh\necho 'ipcrm: permission denied' >&2\nexit 1\n";
    std::filesystem::permissions(dir / "ipcrm", std::filesystem::perms::owner_all);
    const int again = shmget(mailbox_key, 27, IPC_CREAT | 0666);
    const Outcome failed =
        run({"/usr/bin/env", "PATH=" + dir.string() + ":/usr/bin:/bin", script.string()}, 30s);
    std::filesystem::remove_all(dir);
    EXPECT_TRUE(failed.out.ends_with(mailbox_is + "not removed (id " + std::to_string(again) +
                                     ", yours); ipcrm: permission denied\n"))
        << failed.out;
    EXPECT_EQ(failed.exit_code, 1);
    EXPECT_EQ(shmget(mailbox_key, 0, 0), again);
}

// Owners: a user's run keeps another user's objects and names the owner,
// by login or by id; root's removes every user's and says whose each was.
// Another user here is nobody (65534), which only root can become.
TEST_F(Mailbox, CleanupByAUserKeepsOtherUsersObjectsAndByRootRemovesThem) {
    const auto script = std::filesystem::path(__FILE__).parent_path().parent_path() / "cleanup.sh";
    std::vector<std::string> as_nobody{"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                       "--clear-groups",   script.string(), "--help"};
    const Outcome probe = run(as_nobody, 30s);
    as_nobody.pop_back();
    if (probe.exit_code != 0) {
        GTEST_SKIP() << "runs it as another user, nobody, which needs root with other user ids "
                        "than its own, and a clone that nobody can read: "
                     << probe.err;
    }
    // The counter nobody's, the guard root's, the mailbox an id's with no
    // login (or whoever has it).
    const uid_t nameless = 3999999;
    passwd entry{};
    passwd *found = nullptr;
    std::array<char, 4096> names{};
    const bool named =
        getpwuid_r(nameless, &entry, names.data(), names.size(), &found) == 0 && found != nullptr;
    const std::string whose = named ? found->pw_name : "uid " + std::to_string(nameless);
    const int counter = shmget(counter_key, 4, IPC_CREAT | 0666);
    const int guard = semget(guard_key, 1, IPC_CREAT | 0666);
    const int mailbox = shmget(mailbox_key, 27, IPC_CREAT | 0666);
    shmid_ds segment{};
    for (const auto &[id, owner] : {std::pair{counter, 65534U}, std::pair{mailbox, nameless}}) {
        ASSERT_EQ(shmctl(id, IPC_STAT, &segment), 0);
        segment.shm_perm.uid = owner;
        ASSERT_EQ(shmctl(id, IPC_SET, &segment), 0);
    }
    const std::string kept = ", and only its owner (or root) may remove it\n";
    const Outcome user = run(as_nobody, 30s);
    EXPECT_EQ(user.out, "counter segment (key 1678): removed (id " + std::to_string(counter) +
                            ", yours)\nguard semaphore set (key 1234): kept; it belongs to root" +
                            kept + "mailbox segment (key 5678): kept; it belongs to " + whose +
                            kept);
    EXPECT_EQ(user.exit_code, 0) << user.err;

    const Outcome teacher = run({script.string()}, 30s);
    EXPECT_EQ(teacher.out,
              "counter segment (key 1678): none\n"
              "guard semaphore set (key 1234): removed (id " +
                  std::to_string(guard) +
                  ", yours)\n"
                  "mailbox segment (key 5678): removed (id " +
                  std::to_string(mailbox) + ", " + whose + "'s)\n");
    EXPECT_EQ(teacher.exit_code, 0) << teacher.err;
}
