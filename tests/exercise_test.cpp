// exercise.sh as a student and a teacher use it: each exercise's copy
// fails its checks as started and passes with the project's own files put
// back, and a runaway repair is ended under its limits with nothing left.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "run.hpp"

using namespace tour;

namespace {

// The clone these tests come from.
const std::filesystem::path root = std::filesystem::path(__FILE__).parent_path().parent_path();

// exercise.sh on a folder of the test's own. Its checks make their own
// labs; where none can be made, they refuse, and these tests are skipped.
// Run by root, check runs a student's code as the folder's owner: the
// folders are then given to nobody (65534).
class Exercise : public ::testing::TestWithParam<std::string> {
  protected:
    void SetUp() override {
        if (IPC_TOUR_SANITIZED) GTEST_SKIP() << "the exercises build without sanitizers";
        // As the student: nobody, when root runs the suite.
        std::vector<std::string> probe{(root / "lab.sh").string(), "--check"};
        if (geteuid() == 0) {
            probe.insert(probe.begin(),
                         {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
        }
        const Outcome lab = run(probe, 30s);
        if (lab.exit_code != 0) {
            GTEST_SKIP() << no_namespaces << ": no lab can be made here for "
                         << (geteuid() == 0 ? "nobody, who cannot read this clone or " : "")
                         << "this user: " << lab.err;
        }
        char dir_template[] = "/tmp/ipc-exercise-test.XXXXXX";
        ASSERT_NE(mkdtemp(dir_template), nullptr);
        dir_ = dir_template;
        chmod(dir_.c_str(), 0755);
    }
    void TearDown() override {
        if (!dir_.empty()) std::filesystem::remove_all(dir_);
    }

    static Outcome exercise(const std::vector<std::string> &arguments, Millis timeout = 180s) {
        std::vector<std::string> argv{(root / "exercise.sh").string()};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return run(argv, timeout);
    }
    // The folder as a student's: nobody's where the suite runs as root.
    static void hand_out(const std::filesystem::path &folder) {
        if (geteuid() != 0) return;
        for (const auto &entry : std::filesystem::recursive_directory_iterator(folder)) {
            ASSERT_EQ(lchown(entry.path().c_str(), 65534, 65534), 0) << entry.path();
        }
        ASSERT_EQ(lchown(folder.c_str(), 65534, 65534), 0);
    }

    // The test's own folder, for the exercises' folders.
    const std::filesystem::path &dir() const { return dir_; }

  private:
    std::filesystem::path dir_;
};

std::vector<std::string> exercise_names() {
    std::vector<std::string> names;
    const auto folder = std::filesystem::path(__FILE__).parent_path().parent_path() / "mistakes";
    for (const auto &entry : std::filesystem::directory_iterator(folder)) {
        if (entry.path().extension() == ".diff") names.push_back(entry.path().stem());
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

// The copy as started fails; with the project's own files put back every
// check passes: this keeps the probes true as the programs change.
TEST_P(Exercise, FailsAsStartedAndPassesWithTheProjectsOwnFiles) {
    const std::string name = GetParam();
    const auto folder = dir() / name;
    const Outcome started = exercise({"start", name, folder.string()}, 30s);
    ASSERT_EQ(started.exit_code, 0) << started.err;
    EXPECT_EQ(started.out, folder.string() + "\n");
    hand_out(folder);

    const Outcome faulty = exercise({"check", "--tap", folder.string()});
    EXPECT_EQ(faulty.exit_code, 1) << faulty.out << faulty.err;
    EXPECT_EQ(faulty.out.rfind("TAP version 13\n1..", 0), 0U) << faulty.out;
    EXPECT_NE(faulty.out.find("\nnot ok 1 - "), std::string::npos) << "the symptom:\n"
                                                                   << faulty.out;

    // The files the mistake changes, as the project has them.
    std::ifstream diff(root / "mistakes" / (name + ".diff"));
    for (std::string line; std::getline(diff, line);) {
        if (line.rfind("+++ b/", 0) != 0) continue;
        const auto file = root / line.substr(6);
        std::filesystem::copy_file(file, folder / file.filename(),
                                   std::filesystem::copy_options::overwrite_existing);
    }
    hand_out(folder);
    const Outcome sound = exercise({"check", folder.string()});
    EXPECT_EQ(sound.exit_code, 0) << sound.out << sound.err;
    EXPECT_NE(sound.out.find(name + ": attempt 2 "), std::string::npos) << sound.out;
    EXPECT_EQ(sound.out.find("FAIL"), std::string::npos) << sound.out;
}

INSTANTIATE_TEST_SUITE_P(Each, Exercise, ::testing::ValuesIn(exercise_names()),
                         [](const auto &info) {
                             std::string name = info.param;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

// A repair that runs away, a swarm of processes that never end and a
// parent that spins, is ended under its limits; when check returns nothing
// of it is left, and as root it ran as the folder's owner.
TEST_F(Exercise, ARunawayIsEndedUnderItsLimitsAndNothingIsLeft) {
    const auto folder = dir() / "runaway";
    ASSERT_EQ(exercise({"start", "tubenote-pipe-after-fork", folder.string()}, 30s).exit_code, 0);
    const std::string uid_file = (folder / "uid").string();
    std::ofstream(folder / "tubenote.cpp") << "#include <unistd.h>\n"
                                              "#include <cstdio>\n"
                                              "int main() {\n"
                                              "    if (FILE *file = fopen(\""
                                           << uid_file
                                           << "\", \"w\")) {\n"
                                              "        fprintf(file, \"%d\\n\", (int)getuid());\n"
                                              "        fclose(file);\n"
                                              "    }\n"
                                              "    for (;;) if (fork() == 0) for (;;) pause();\n"
                                              "}\n";
    hand_out(folder);
    const auto started = std::chrono::steady_clock::now();
    const Outcome checked = exercise({"check", folder.string()});
    EXPECT_EQ(checked.exit_code, 1) << checked.out << checked.err;
    EXPECT_NE(checked.out.find("the wall-time limit"), std::string::npos) << checked.out;
    EXPECT_NE(checked.out.find("the limit of 64 processes"), std::string::npos) << checked.out;
    EXPECT_LT(std::chrono::steady_clock::now() - started, 120s);
    // As the folder's owner.
    std::ifstream ran_as(uid_file);
    int uid = -1;
    ran_as >> uid;
    EXPECT_EQ(uid, geteuid() == 0 ? 65534 : static_cast<int>(geteuid()));
    // Nothing of it anywhere: no process runs the folder's programs.
    const Outcome left = run({"/usr/bin/pgrep", "-f", folder.string() + "/build/"}, 10s);
    EXPECT_EQ(left.exit_code, 1) << left.out;
}
