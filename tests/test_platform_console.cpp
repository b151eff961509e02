// Message boxes on the terminal and commands started like the Windows command interpreter starts
// them, run in a probe process of their own; and cutting text at whole characters.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/progress_text.h"
#include "tests/support/support.h"

namespace {

const std::string probe = PLATFORM_PROBE;

run_result run_probe(const std::vector<std::string>& args, const std::string& input = "",
                     const std::string& cwd = "", const std::vector<std::string>& env = {}) {
    return run_program(probe, args, cwd, input, env);
}

size_t count_of(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

TEST(BoxTest, OkBoxWritesCaptionAndTextAndReadsNothing) {
    run_result r = run_probe({"box-rest", "0x10"}, "yes\nmore\n");
    EXPECT_EQ(r.err, "probe.exe: question\n");
    EXPECT_EQ(r.out, "answer=1 rest=[yes\nmore\n]\n");
}

TEST(BoxTest, QuestionsTakeWordsOrFirstLettersInAnyCase) {
    struct answer_case {
        const char* type;
        const char* input;
        const char* answer;
    };
    const answer_case cases[] = {
        {"0x12", "abort\n", "answer=3"},   {"0x12", "R\n", "answer=4"},     {"0x12", "  Ignore \r\n", "answer=5"},
        {"0x12", "i", "answer=5"},         {"4", "yes\n", "answer=6"},      {"4", "N\n", "answer=7"},
        {"4", "\tYES\n", "answer=6"},      {"0x02", "RETRY\n", "answer=4"},
    };
    for (const answer_case& c : cases) {
        run_result r = run_probe({"box", c.type, "text"}, c.input);
        EXPECT_EQ(r.out, std::string(c.answer) + "\n") << c.type << " " << c.input;
        EXPECT_EQ(r.err.rfind("probe.exe: text\n", 0), 0u) << r.err;
    }
}

TEST(BoxTest, EndOfInputGivesTheSafeAnswer) {
    EXPECT_EQ(run_probe({"box", "0x12", "t"}).out, "answer=3\n");
    EXPECT_EQ(run_probe({"box", "4", "t"}).out, "answer=7\n");
    EXPECT_EQ(run_probe({"box", "4", "t"}, "maybe\n").out, "answer=7\n");
    EXPECT_EQ(run_probe({"box", "0x12", "t"}, "\n\n").out, "answer=3\n");
}

TEST(BoxTest, AnUnknownAnswerAsksAgain) {
    run_result r = run_probe({"box", "0x12", "disk full"}, "x\n\nretryy\nyes\ni\n");
    EXPECT_EQ(r.out, "answer=5\n");
    EXPECT_EQ(count_of(r.err, "[a]bort, [r]etry, [i]gnore? "), 5u) << r.err;
    EXPECT_EQ(count_of(r.err, "probe.exe: disk full\n"), 1u);
    r = run_probe({"box", "4", "overwrite?"}, "a\ny\n");
    EXPECT_EQ(r.out, "answer=6\n");
    EXPECT_EQ(count_of(r.err, "[y]es, [n]o? "), 2u) << r.err;
}

TEST(BoxTest, AnAnswerTakesOneLineAndLeavesTheRestForLaterReaders) {
    run_result r = run_probe({"box-rest", "4"}, "n\nnext line\n");
    EXPECT_EQ(r.out, "answer=7 rest=[next line\n]\n");
    // A program started after the box reads the rest of the input.
    if (!have_program("cat")) GTEST_SKIP() << "cat is not on PATH";
    r = run_probe({"box-run", "0x12", "cat"}, "r\nfor the encoder\n");
    EXPECT_EQ(r.out, "answer=4\nfor the encoder\nstatus=0\n");
}

TEST(BoxTest, ProgressWrittenBeforeABoxComesOutBeforeIt) {
    run_result r = run_probe({"merge", "progress-box"});
    EXPECT_EQ(r.out, "progress line\nprobe.exe: a notice\nafter\n");
}

TEST(CommandTest, SplitsAtBlanksAndKeepsBackslashes) {
    run_result r = run_probe({"run", probe + " echo-args -e -w  001\\Z00100001.WAV\t001\\Z00100001.WAV.mp3"});
    EXPECT_EQ(r.out, "before [-e]\n[-w]\n[001\\Z00100001.WAV]\n[001\\Z00100001.WAV.mp3]\nstatus=0\n");
    r = run_probe({"run", probe + " echo-args \"two words\" C:\\a\\\\b"});
    EXPECT_EQ(r.out, "before [two words]\n[C:\\a\\\\b]\nstatus=0\n");
}

TEST(CommandTest, AnswersTheExitStatus) {
    EXPECT_EQ(run_probe({"run", probe + " exit 0"}).out, "before status=0\n");
    EXPECT_EQ(run_probe({"run", probe + " exit 7"}).out, "before status=7\n");
    EXPECT_EQ(run_probe({"run", ""}).out, "before status=0\n");
}

TEST(CommandTest, AProgramThatCannotStartAnswersNonZero) {
    temp_dir d;
    run_result r = run_probe({"run", "no-such-encoder.exe -e -w a.wav a.wav.mp3"}, "", d.path);
    EXPECT_EQ(r.out, "before status=1\n");
    EXPECT_NE(r.err.find("no-such-encoder.exe"), std::string::npos) << r.err;
    write_file(d / "notes.txt", "not a program");
    r = run_probe({"run", "notes.txt"}, "", d.path);
    EXPECT_EQ(r.out, "before status=1\n");
    r = run_probe({"run", "sub\\missing.exe x"}, "", d.path);
    EXPECT_EQ(r.out, "before status=1\n");
}

TEST(CommandTest, FindsProgramsByPathRulesOnPathAndWithoutExe) {
    temp_dir d;
    make_dirs(d / "Tools");
    make_dirs(d / "bin");
    std::string script = "#!/bin/sh\necho \"ran $*\"\nexit 3\n";
    for (const char* name : {"Tools/scmpx", "bin/onpath", "here"}) {
        write_file(d / name, script);
        chmod((d / name).c_str(), 0755);
    }
    if (!exists("/bin/sh")) GTEST_SKIP() << "no /bin/sh for the stand-in programs";
    std::string path = "PATH=" + d / "bin" + ":/usr/bin:/bin";
    run_result r = run_probe({"run", "TOOLS\\scmpx.exe -e"}, "", d.path, {path});
    EXPECT_EQ(r.out, "before ran -e\nstatus=3\n");
    r = run_probe({"run", "onpath.exe x"}, "", d.path, {path});
    EXPECT_EQ(r.out, "before ran x\nstatus=3\n");
    r = run_probe({"run", "onpath.EXE"}, "", d.path, {path});
    EXPECT_EQ(r.out, "before ran \nstatus=3\n");
    // The current folder comes before the PATH, as in the Windows command interpreter.
    r = run_probe({"run", "here.exe y"}, "", d.path, {path});
    EXPECT_EQ(r.out, "before ran y\nstatus=3\n");
}

TEST(TextFitTest, CutsOnlyBetweenWholeCp932Characters) {
    const char* text = "ab\x82\xA0\x83\x5C";   // "ab", then two characters, the last with trail 0x5C
    const size_t cases[][2] = {{100, 6}, {6, 6}, {5, 4}, {4, 4}, {3, 2}, {2, 2}, {0, 0}};
    for (const auto& c : cases) EXPECT_EQ(text_fit(text, c[0]), c[1]) << "room " << c[0];
    EXPECT_EQ(text_fit("x\xB1y", 2), 2u) << "a one-byte kana is whole";
    EXPECT_EQ(text_fit("12\x82", 3), 2u) << "a lead byte whose trail was cut off already";
}

TEST(ProgressTest, TimeLeftComesFromTheItemsDoneOnceThereIsEnoughToGoOn) {
    struct {
        unsigned long done, total, elapsed_ms;
        long left;
    } cases[] = {
        {0, 100, 10000, -1},   // nothing done yet
        {10, 100, 1999, -1},   // the first two seconds tell little
        {10, 100, 5000, 45},   // 0.5 s a voice, 90 to go
        {1, 3, 2000, 4},
        {100, 100, 5000, 0},   // all done
        {5, 0, 5000, -1},      // the total is not known
    };
    for (const auto& c : cases)
        EXPECT_EQ(progress_seconds_left(c.done, c.total, c.elapsed_ms), c.left) << c.done << " of " << c.total;
}

}  // namespace
