// Every program under valgrind's memcheck, servers together with their
// clients, each test in private namespaces. Valgrind follows
// every fork and every exec of our own programs (not /bin/ps and /bin/more,
// which tubechain becomes), writes its report into the program's standard
// error with "==PID==" before each line, and ends a process that had an error
// with status 99. A definite leak counts as an error; memory still reachable
// at exit (tallylock's operation buffer, kept in a global) does not.
#include <sys/ipc.h>
#include <sys/sem.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "expected.hpp"
#include "peers.hpp"
#include "run.hpp"

using namespace tour;

namespace {

// A run under valgrind: the program's own output and ending, and valgrind's
// lines taken out of its standard error.
struct Checked {
    Outcome outcome;
    std::string report;
};

class Memcheck : public Isolated {
  protected:
    void SetUp() override {
        if (IPC_TOUR_SANITIZED) GTEST_SKIP() << "valgrind cannot run sanitized programs";
        if (run({"/usr/bin/env", "valgrind", "--version"}, 30s).exit_code != 0) {
            GTEST_SKIP() << "valgrind is not installed (apt-get install valgrind)";
        }
        Isolated::SetUp();
    }

    static std::vector<std::string> under_valgrind(const std::string &program,
                                                   const std::vector<std::string> &args = {}) {
        std::vector<std::string> argv{"/usr/bin/env",
                                      "valgrind",
                                      "--tool=memcheck",
                                      "--error-exitcode=99",
                                      "--leak-check=full",
                                      "--errors-for-leak-kinds=definite",
                                      "--trace-children=yes",
                                      "--trace-children-skip=/bin/ps,/bin/more",
                                      bin(program)};
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }

    static Running start_checked(const std::string &program,
                                 const std::vector<std::string> &args = {}) {
        return start(under_valgrind(program, args));
    }

    static Checked run_checked(const std::string &program,
                               const std::vector<std::string> &args = {}, Millis timeout = 60s) {
        return split(run(under_valgrind(program, args), timeout));
    }

    static Checked split(Outcome outcome) {
        static const std::regex valgrind_line("^==[0-9]+==");
        Checked checked;
        std::string own;
        std::istringstream lines(outcome.err);
        for (std::string line; std::getline(lines, line);) {
            const bool whole = !lines.eof();
            std::string &into = std::regex_search(line, valgrind_line) ? checked.report : own;
            into += line;
            if (whole) into += '\n';
        }
        outcome.err = own;
        checked.outcome = std::move(outcome);
        return checked;
    }
};

size_t occurrences(const std::string &text, const std::string &what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++count;
    }
    return count;
}

// No memory error and no definite leak in any of the `processes` that ran
// to their end under valgrind; each of them closes with an error summary.
void expect_clean(const Checked &checked, size_t processes) {
    const std::string &report = checked.report;
    std::string findings;
    if (checked.outcome.exit_code == 99) findings += "[exit status 99]";
    for (const char *finding : {"Invalid read", "Invalid write", "Invalid free", "uninitialised",
                                "Mismatched free", "are definitely lost", "Syscall param"}) {
        if (report.find(finding) != std::string::npos) findings += std::string("[") + finding + "]";
    }
    static const std::regex lost_bytes("definitely lost: [1-9]");
    if (std::regex_search(report, lost_bytes)) findings += "[definitely lost bytes]";
    const size_t summaries = occurrences(report, "ERROR SUMMARY: ");
    if (summaries != processes) {
        findings += "[" + std::to_string(summaries) + " error summaries for " +
                    std::to_string(processes) + " processes]";
    }
    if (occurrences(report, "ERROR SUMMARY: 0 errors") != summaries) findings += "[errors counted]";
    EXPECT_EQ(findings, "") << "valgrind's report:\n" << report;
}

}  // namespace

TEST_F(Memcheck, CountersAndTheirWorkers) {
    // The parent and five workers each end under valgrind.
    const Checked locked = run_checked("tallylock", {"1000"});
    EXPECT_EQ(locked.outcome.out, total_line(5000));
    EXPECT_EQ(locked.outcome.err, "");
    EXPECT_EQ(locked.outcome.exit_code, 0);
    expect_clean(locked, 6);
    EXPECT_EQ(semget(guard_key, 0, 0), -1) << "semaphore set left behind";

    const Checked bare = run_checked("tallybare", {"30"});
    const auto total = total_of(bare.outcome.out);
    ASSERT_TRUE(total) << bare.outcome.out;
    EXPECT_GT(*total, 0);
    EXPECT_LE(*total, 150);
    EXPECT_EQ(bare.outcome.err, "");
    EXPECT_EQ(bare.outcome.exit_code, 0);
    expect_clean(bare, 6);
}

TEST_F(Memcheck, GridflipCancelledWorker) {
    const Checked result = run_checked("gridflip");
    EXPECT_TRUE(cancelled_with_uniform_grid(result.outcome.out)) << result.outcome.out;
    EXPECT_EQ(result.outcome.err, "");
    EXPECT_EQ(result.outcome.exit_code, 0);
    expect_clean(result, 1);
}

TEST_F(Memcheck, SpawnwaitAndItsFiveChildren) {
    Running parent = start_checked("spawnwait", {"3"});
    const Checked result = split(parent.finish(90s));
    // The child lines come in any order; the waits go in creation order.
    const auto pids = pids_by_index(result.outcome.out);
    ASSERT_FALSE(pids.empty());
    EXPECT_EQ(result.outcome.err, parent_report(parent.pid(), pids));
    EXPECT_EQ(result.outcome.exit_code, 0);
    expect_clean(result, 6);
}

TEST_F(Memcheck, PipePrograms) {
    // tubenote's child outlives the parent and still holds the pipes, so the
    // run ends with both processes' reports.
    const Checked note = run_checked("tubenote");
    EXPECT_TRUE(note.outcome.out == "father wrote\nchild read Greetings\n" ||
                note.outcome.out == "child read Greetings\nfather wrote\n")
        << note.outcome.out;
    EXPECT_EQ(note.outcome.err, "");
    EXPECT_EQ(note.outcome.exit_code, 0);
    expect_clean(note, 2);

    // Both of tubechain's processes leave valgrind at execv; what it checks
    // is the code before. ps lists the launcher's own process as more.
    Running chain = start_checked("tubechain");
    const Checked listed = split(chain.finish(60s));
    const std::regex own_line("(^|\n) *" + std::to_string(chain.pid()) + " .* more\n");
    EXPECT_TRUE(listed.outcome.out.find("PID") < listed.outcome.out.find('\n'))
        << listed.outcome.out;
    EXPECT_TRUE(std::regex_search(listed.outcome.out, own_line)) << listed.outcome.out;
    EXPECT_EQ(listed.outcome.err, "");
    EXPECT_EQ(listed.outcome.exit_code, 0);
    EXPECT_NE(listed.report.find("Command: " + bin("tubechain")), std::string::npos)
        << listed.report;
    expect_clean(listed, 0);
}

TEST_F(Memcheck, StepServerWithItsClient) {
    const Checked refused = run_checked("stepguest");
    EXPECT_EQ(refused.outcome.out, client_header);
    EXPECT_EQ(refused.outcome.err, "Error has occurred: Connection refused\n");
    EXPECT_EQ(refused.outcome.exit_code, 255);
    expect_clean(refused, 1);

    Running server = start_checked("stephost");
    ASSERT_TRUE(wait_until(
        [&] { return port_listening(step_port) || process_state(server.pid()) == 'Z'; }, 60s));
    ASSERT_TRUE(port_listening(step_port));
    const Checked client = run_checked("stepguest");
    const Checked served = split(server.finish(60s));

    expect_full_conversation(client.outcome, served.outcome);
    expect_clean(client, 1);
    expect_clean(served, 1);
}

TEST_F(Memcheck, MailboxServerWithItsClient) {
    const Checked missing = run_checked("boardguest");
    EXPECT_EQ(missing.outcome.out, "");
    EXPECT_EQ(missing.outcome.err, "shmget: No such file or directory\n");
    EXPECT_EQ(missing.outcome.exit_code, 1);
    expect_clean(missing, 1);

    Running server = start_checked("boardhost");
    ASSERT_TRUE(wait_until(alphabet_in_place, 60s));
    const Checked client = run_checked("boardguest");
    const Checked served = split(server.finish(60s));
    EXPECT_EQ(client.outcome.out, mailbox_client_out);
    EXPECT_EQ(client.outcome.err, "");
    EXPECT_EQ(client.outcome.exit_code, 0);
    expect_clean(client, 1);
    EXPECT_EQ(served.outcome.out, mailbox_server_out);
    EXPECT_EQ(served.outcome.err, "");
    EXPECT_EQ(served.outcome.exit_code, 0);
    expect_clean(served, 1);
}
