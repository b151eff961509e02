// drusel killed at each rename, remove and write of a run (its own and its encoders'), then run
// again: the second run finishes the job and no voice is lost or encoded twice.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "tests/support/support.h"

namespace {

const std::map<std::string, std::string> voices = {
    {"001/Z00100001.WAV", "one"}, {"001/Z00100002.WAV", "two"}, {"002/Z00200001.WAV", "three"}};

TEST(DruselKills, ARunKilledAtAnyStepIsFinishedByTheNext) {
    if (!have_program("strace")) GTEST_SKIP() << "*** strace is not installed: the drusel kill tests did NOT run ***";
    // strace counts each process's calls apart: drusel alone is traced for its own steps, and its
    // encoders too (each killed at its own Nth write) in the last sweep.
    const std::vector<std::pair<std::string, bool>> calls = {
        {"rename,renameat,renameat2", false}, {"unlink,unlinkat", false}, {"write", false}, {"write", true}};
    int kills = 0;
    for (const std::vector<std::string>& jobs : {std::vector<std::string>{}, std::vector<std::string>{"-j", "2"}}) {
        for (const auto& [call, children] : calls) {
            for (int n = 1;; ++n) {
                ASSERT_LT(n, 80) << call << ": the run never got through";
                SCOPED_TRACE(call + " #" + std::to_string(n) + (children ? " -f" : "") + (jobs.empty() ? "" : " -j 2"));
                temp_dir dir;
                std::string koewav = dir / "koewav";
                for (const auto& [name, bytes] : voices) {
                    make_dirs(koewav + "/" + name.substr(0, 3));
                    write_file(koewav + "/" + name, bytes);
                }
                write_file(koewav + "/002/Z00200001.WAV.mp3", "ID3part");   // an earlier encoder's leftover
                write_file(dir / "registry.reg",
                           "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\vurlo\\_inmm.dll]\r\n\"SMX_Path\"=\"" +
                               registry_escape(bin_path("fake_encoder")) + "\"\r\n");
                std::vector<std::string> env = {"VNAUDIO_REGISTRY=" + (dir / "registry.reg"), "FAKE_ENCODER_ID3=1"};
                // The leak check of a sanitized build cannot run under strace and would fail every run.
                const char* asan = getenv("ASAN_OPTIONS");
                env.push_back(std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":detect_leaks=0");
                std::vector<std::string> args = {"-o", "/dev/null", "-e", "inject=" + call + ":signal=SIGKILL:when=" + std::to_string(n),
                                                 bin_path("drusel")};
                if (children) args.insert(args.begin(), "-f");
                args.insert(args.end(), jobs.begin(), jobs.end());
                run_result killed = run_program(find_program("strace"), args, koewav, "", env);
                auto between = payload_snapshot(koewav);
                for (const auto& [name, bytes] : voices) {
                    // Whole under one of its names: its WAV, or its whole MP3 under either.
                    bool whole = between[name] == bytes || between[name] == "ID3FAKE:" + bytes ||
                                 (!between.count(name) && between[name + ".mp3"] == "ID3FAKE:" + bytes);
                    EXPECT_TRUE(whole) << name << " after the kill: [" << between[name] << "] [" << between[name + ".mp3"] << "]";
                }
                run_result again = run_program(bin_path("drusel"), {}, koewav, "", env);
                EXPECT_EQ(again.status, 0) << again.err;
                std::map<std::string, std::string> expected = {{"001/", ""}, {"002/", ""}};
                for (const auto& [name, bytes] : voices) expected[name] = "ID3FAKE:" + bytes;
                EXPECT_EQ(payload_snapshot(koewav), expected) << "after the re-run\n" << again.err;
                if (killed.status == 0 && again.out.empty()) {   // the kill came too late: all done
                    EXPECT_GE(n, 2) << "the sweep never killed a step";
                    break;
                }
                ++kills;
            }
        }
    }
    EXPECT_GE(kills, 16) << "too few kill points for three voices";
}

}  // namespace
