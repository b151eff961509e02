// What the fuzz targets share: a scratch folder on a memory file system for the few inputs the
// tools can only take as files, answers for the terminal message boxes, and failure reports.
#ifndef VNAUDIO_FUZZ_SUPPORT_H
#define VNAUDIO_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// A folder of this process under /dev/shm (else $TMPDIR or /tmp), made on first use and removed
// at exit.
const std::string& scratch_dir();

// Makes the scratch folder the current one for the length of one input (the tools work relative to
// it), and goes back to the folder libFuzzer reads its corpus from.
void enter_scratch();
void leave_scratch();

// Writes bytes to path with plain system calls (not through the platform layer under test).
void put_file(const std::string& path, const void* bytes, size_t size);
void put_file(const std::string& path, const std::string& bytes);
// The file's bytes, or "<missing>".
std::string get_file(const std::string& path);

// Makes standard input a pipe holding answers, so a question box reads them and then meets the
// end of input (its safe answer).
void feed_answers(const std::string& answers);

// Stops the run with a message on the fuzzer's own error stream, so libFuzzer keeps the input.
[[noreturn]] void fuzz_fail(const char* format, ...);

#endif
