// Helpers for the tests: temporary folders, whole-file reads and writes, folder snapshots, and
// running a built program with chosen input, environment and working folder.
#ifndef VNAUDIO_TEST_SUPPORT_H
#define VNAUDIO_TEST_SUPPORT_H

#include <cstdint>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <vector>

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it when the object goes.
struct temp_dir {
    std::string path;
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    std::string operator/(const std::string& relative) const { return path + "/" + relative; }
};

// A test that works in a fresh folder of its own, as the tools work in the game folder: the
// current folder while it runs, with no fault armed before or after.
class in_temp_dir : public testing::Test {
protected:
    temp_dir dir;
    std::string old_cwd;
    void SetUp() override;
    void TearDown() override;
};

std::string read_file(const std::string& path);          // the bytes; "" when missing (see exists)
void write_file(const std::string& path, const std::string& bytes);
bool exists(const std::string& path);
void make_dirs(const std::string& path);                  // mkdir -p

// Every file below root (relative name -> bytes), folders as name + "/" -> "".
std::map<std::string, std::string> snapshot(const std::string& root);
// What tests/helpers/fake_encoder wrote into its MP3 (the marker and the WAV's bytes, kept in the
// MP3's ID3v2 tag); any other data as it is.
std::string fake_payload(const std::string& data);
// A file's fake_payload, and a snapshot of them.
std::string read_payload(const std::string& path);
std::map<std::string, std::string> payload_snapshot(const std::string& root);

struct run_result {
    int status;        // exit status, or 128 + signal number
    std::string out;   // standard output
    std::string err;   // standard error
};

// Runs program with args in cwd, feeding input on standard input. env entries "NAME=value" are
// added to (or replace in) the test's own environment.
run_result run_program(const std::string& program, const std::vector<std::string>& args,
                       const std::string& cwd, const std::string& input = "",
                       const std::vector<std::string>& env = {});

std::string bin_path(const std::string& name);            // a program of this build
std::string source_path(const std::string& relative);     // a file of the source tree
bool have_program(const std::string& name);               // on PATH
std::string find_program(const std::string& name);        // full path, or ""

// Little-endian writers for building binary test inputs.
void put_u16(std::string& s, unsigned v);
void put_u32(std::string& s, uint32_t v);

// A 16-bit mono PCM WAV file with the canonical 44-byte header, as the unpacker writes them.
std::string make_wav(const std::vector<int16_t>& samples, uint32_t rate);

// A string value as a REGEDIT4 file stores it between its quotes (\\ and \" escaped).
std::string registry_escape(const std::string& value);

#endif
