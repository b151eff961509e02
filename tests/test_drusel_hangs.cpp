// drusel with encoders that misbehave: one that never ends, and drusel itself ended from outside
// while its encoders run. No run waits forever, no encoder outlives drusel, and a second run leaves
// every voice converted with nothing beside it.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "tests/support/support.h"

namespace {

const std::vector<std::string> names = {"001/Z00100001.WAV", "001/Z00100002.WAV", "001/Z00100003.WAV",
                                        "001/Z00100004.WAV", "002/Z00200001.WAV"};

struct tree {
    temp_dir dir;
    std::string koewav = dir / "koewav";
    std::string running = dir / "running";
    std::vector<std::string> env;
    tree() {
        for (const std::string& name : names) {
            make_dirs(koewav + "/" + name.substr(0, 3));
            write_file(koewav + "/" + name, name);
        }
        make_dirs(running);
        write_file(dir / "registry.reg", "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\vurlo\\_inmm.dll]\r\n\"SMX_Path\"=\"" +
                                             registry_escape(bin_path("fake_encoder")) + "\"\r\n");
        env = {"VNAUDIO_REGISTRY=" + (dir / "registry.reg"), "FAKE_ENCODER_RUNNING=" + running};
    }
    // The encoders that marked themselves running and are still alive (a zombie counts as gone).
    std::vector<int> live_encoders() {
        std::vector<int> live;
        if (DIR* d = opendir(running.c_str())) {
            while (dirent* e = readdir(d)) {
                std::string n = e->d_name;
                if (n.size() < 5 || n.compare(n.size() - 4, 4, ".run") != 0) continue;
                int pid = atoi(n.c_str());
                std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
                size_t paren = stat.rfind(')');
                if (!stat.empty() && paren + 2 < stat.size() && stat[paren + 2] != 'Z') live.push_back(pid);
            }
            closedir(d);
        }
        return live;
    }
    // Waits a second at most for the encoders to go: a killed process takes a moment to be reaped.
    bool encoders_gone() {
        for (int i = 0; i < 20; ++i) {
            if (live_encoders().empty()) return true;
            usleep(50000);
        }
        for (int pid : live_encoders()) kill(pid, SIGKILL);   // left for no later test
        return false;
    }
};

std::vector<std::string> with_jobs(int jobs) {
    return jobs == 1 ? std::vector<std::string>{} : std::vector<std::string>{"-j", std::to_string(jobs)};
}

// An encoder that never ends, on the second voice: ended at its time limit and asked about, or
// ended with every other one by the Abort. The same answers give the same lines and files at -j 1
// and -j 3.
TEST(DruselHangs, AHangingEncoderIsEndedAndTheRunGoesOnOrStops) {
    struct scenario {
        const char* what;
        const char* answers;
        int status;
        std::vector<std::string> converted;   // the others stay WAV, nothing beside them
    };
    const scenario scenarios[] = {
        {"ignore", "i\n", 0, {names[0], names[2], names[3], names[4]}},
        {"abort", "a\n", 1, {names[0]}},
        {"retry, then abort", "r\na\n", 1, {names[0]}},
    };
    for (const scenario& s : scenarios) {
        SCOPED_TRACE(s.what);
        run_result first;
        for (int jobs : {1, 3}) {
            SCOPED_TRACE("-j " + std::to_string(jobs));
            tree t;
            // A test-only limit: a real one is a minute at least.
            t.env.push_back("VNAUDIO_ENCODER_LIMIT_MS=400");
            t.env.push_back("FAKE_ENCODER_HANG=Z00100002.WAV");
            t.env.push_back("FAKE_ENCODER_MS=100");
            run_result r = run_program(bin_path("drusel"), with_jobs(jobs), t.koewav, s.answers, t.env);
            EXPECT_EQ(r.status, s.status) << r.err;
            EXPECT_NE(r.err.find("001\\Z00100002.WAV: エンコーダが0秒たっても終わらないので止めました。"), std::string::npos)
                << r.err;
            EXPECT_TRUE(t.encoders_gone()) << "an encoder outlived drusel";
            std::map<std::string, std::string> expected = {{"001/", ""}, {"002/", ""}};
            for (const std::string& name : names) expected[name] = name;
            for (const std::string& name : s.converted) expected[name] = "FAKEMP3:" + name;
            // Whatever the answer, what the ended encoder wrote is removed.
            EXPECT_EQ(payload_snapshot(t.koewav), expected);
            if (jobs == 1) {
                first = r;
                continue;
            }
            EXPECT_EQ(r.out, first.out) << "the lines shown differ from one encoder's";
            EXPECT_EQ(r.err, first.err) << "the questions differ from one encoder's";
        }
    }
}

// drusel ended from outside while encoders run: by SIGKILL (nothing of drusel runs), by SIGTERM,
// and by SIGPIPE when the reader of its output goes away.
TEST(DruselHangs, EncodersDieWithDruselAndTheReRunLeavesNothingBehind) {
    for (int jobs : {1, 3}) {
        for (int sig : {SIGKILL, SIGTERM, SIGPIPE}) {
            SCOPED_TRACE(std::string(strsignal(sig)) + " -j " + std::to_string(jobs));
            tree t;
            t.env.push_back("FAKE_ENCODER_ID3=1");
            int out[2];
            ASSERT_EQ(pipe(out), 0);
            pid_t pid = fork();
            ASSERT_GE(pid, 0);
            if (pid == 0) {
                signal(SIGPIPE, SIG_DFL);   // the test's own runs ignore it
                int null = open("/dev/null", O_RDWR);
                dup2(null, 0);
                dup2(out[1], 1);
                dup2(null, 2);
                close(out[0]);
                for (std::string& e : t.env) putenv(&e[0]);
                // Every encoder outlasts the checks below; the third never ends.
                putenv(const_cast<char*>("FAKE_ENCODER_MS=4000"));
                putenv(const_cast<char*>("FAKE_ENCODER_HANG=Z00100003.WAV"));
                std::string drusel = bin_path("drusel"), j = std::to_string(jobs);
                if (chdir(t.koewav.c_str()) == 0) execl(drusel.c_str(), drusel.c_str(), "-j", j.c_str(), nullptr);
                _exit(127);
            }
            close(out[1]);
            // Past the first command line an encoder runs.
            char c;
            while (read(out[0], &c, 1) == 1 && c != '\n') {
            }
            usleep(200000);
            if (sig == SIGPIPE) close(out[0]);   // drusel meets it at its next line
            else kill(pid, sig);
            int raw = 0;
            ASSERT_EQ(waitpid(pid, &raw, 0), pid);
            if (sig != SIGPIPE) close(out[0]);
            EXPECT_TRUE(WIFSIGNALED(raw) && WTERMSIG(raw) == sig) << "drusel did not end by the signal: " << raw;
            EXPECT_TRUE(t.encoders_gone()) << "an encoder outlived drusel";
            run_result again = run_program(bin_path("drusel"), {}, t.koewav, "", t.env);
            EXPECT_EQ(again.status, 0) << again.err;
            std::map<std::string, std::string> expected = {{"001/", ""}, {"002/", ""}};
            for (const std::string& name : names) expected[name] = "ID3FAKE:" + name;
            EXPECT_EQ(payload_snapshot(t.koewav), expected) << "after the re-run";
        }
    }
}

}  // namespace
