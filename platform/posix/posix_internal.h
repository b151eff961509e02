// Helpers shared by the files of the POSIX backend: path rules, name comparison, errno mapping
// and the short-write side of fault injection.
#ifndef VNAUDIO_POSIX_INTERNAL_H
#define VNAUDIO_POSIX_INTERNAL_H

#include <cstddef>
#include <string>

// After fault_check answered ENOSPC for a write: 1 when that fault is a short write, so the caller
// lets part of the data through before failing.
int fault_take_short_write();

// The number of bytes a short write lets through out of size.
size_t short_write_part(size_t size);

// 1 when s (n bytes) is not valid UTF-8, so it is taken for CP932: a lead byte 0x81-0x9F or
// 0xE0-0xFC then carries the next byte with it, and that byte is never a separator or a letter.
int is_cp932_text(const char* s, size_t n);
// Length of the character at s (1 or 2) under the chosen encoding rule.
size_t char_length(const char* s, size_t left, int cp932);

// 1 when s (n bytes, some of them high) is also well-formed CP932: text such as half-width katakana
// ("\xD0\xB0") can be read either way, and a name in it is looked for under both readings.
int is_also_cp932(const char* s, size_t n);
// A CP932 double-byte character as the code Windows folds it to (full-width Latin, Greek, Cyrillic
// and Roman numerals in their upper case); any other character as its own code.
unsigned fold_double(unsigned char lead, unsigned char trail);

// Compares without regard to letter case as Windows folds it (ASCII letters, and in CP932 text the
// double-byte letters fold_double names). Answers <0, 0, >0 like strcmp (letters compare as their
// upper case, as NTFS orders names).
int compare_folded(const char* a, size_t an, const char* b, size_t bn, int cp932);

// The Windows path as a POSIX path: separators turned to '/', every component matched without
// regard to case where the exact name does not exist (the exact name wins when both exist).
// A missing component keeps the spelling given (so a file being created takes that name).
std::string resolve_path(const char* path);

// The path rules keep what they have read of folders for the whole process, and the calls that
// resolve a name use it and add to it: a call holds this guard (taken again by the same thread as
// often as it likes) for as long as it works with names, so threads take their turns.
class path_guard {
public:
    path_guard();
    ~path_guard();
    path_guard(const path_guard&) = delete;
    path_guard& operator=(const path_guard&) = delete;
};

// Tells the path rules that this process has just created (added) or removed the entry at path,
// which it resolved a moment ago, so that the folder need not be read again; note_folder_made
// after it made the folder path (empty).
void note_folder_change(const std::string& path, int added);
void note_folder_made(const std::string& path);
// After a change of the working folder: relative names mean other folders now.
void forget_listings();
// 1 when the last resolve_path looked a name up in a listing, which may miss a change another
// program made in the same clock tick: a name to be read and not found is then looked up again
// with resolve_path_checked, which reads the folders afresh, before the call gives up.
int resolved_by_trust();
std::string resolve_path_checked(const char* path);
// resolve_path for a second name of the same call: folders checked for the first are not asked again.
std::string resolve_path_too(const char* path);

// The tools' text is CP932; the host's names, terminal and hand-written files are UTF-8. Each
// conversion answers 1 with all of s converted, 0 when s has no whole form in the other encoding.
int has_high_bytes(const char* s, size_t n);
int cp932_to_utf8(const char* s, size_t n, std::string* out);
int utf8_to_cp932(const char* s, size_t n, std::string* out);
// A name from the host (a folder listing): UTF-8 converted, anything else taken as CP932 already.
int host_name_to_cp932(const char* s, size_t n, std::string* out);

// 1 while the terminal's progress line stands for the lines written to standard output, which
// are then not shown; clear_progress_line takes the line away before other text is written.
int progress_line_holds_output();
void clear_progress_line();

// 1 once begin_run has put converting streams in place of standard output and error.
int standard_streams_convert();

// The errno value msvcrt would give for a POSIX one.
int map_errno(int posix_errno);

// 1 when the registry store can hold text (a key path or value name) so that it reads back as the
// same bytes: it has an exact UTF-8 form, or its CP932 bytes cannot be taken for UTF-8.
int registry_text_storable(const char* text);

#endif
