// The one seam between the tools and the operating system.
// On Windows every call passes straight to the Win32 / msvcrt function named beside it; elsewhere
// platform/posix/ emulates those functions with the Windows meanings the tools depend on.
#ifndef VNAUDIO_PLATFORM_H
#define VNAUDIO_PLATFORM_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

// ---- Message boxes (MessageBoxA with no owner window) ----
// Style flags and answers keep their Win32 numbers.
constexpr unsigned BOX_OK = 0x00;
constexpr unsigned BOX_ABORT_RETRY_IGNORE = 0x02;
constexpr unsigned BOX_YES_NO = 0x04;
constexpr unsigned BOX_ICON_ERROR = 0x10;
constexpr unsigned BOX_ICON_INFORMATION = 0x40;

constexpr int ANSWER_OK = 1;
constexpr int ANSWER_ABORT = 3;
constexpr int ANSWER_RETRY = 4;
constexpr int ANSWER_IGNORE = 5;
constexpr int ANSWER_YES = 6;
constexpr int ANSWER_NO = 7;

// MessageBoxA(NULL, text, caption, type). Answers the button pressed, 0 when the box failed.
int show_box(const char* text, const char* caption, unsigned type);

// The length of the longest start of text, at most room bytes, that ends on a whole character of
// CP932, the tools' text encoding on every host.
size_t text_fit(const char* text, size_t room);

// ---- Registry, HKEY_CURRENT_USER only ----
struct reg_key_s;
typedef reg_key_s* reg_key;

constexpr long REG_OK = 0;                 // ERROR_SUCCESS
constexpr long REG_NOT_FOUND = 2;          // ERROR_FILE_NOT_FOUND
constexpr long REG_ACCESS_DENIED = 5;      // ERROR_ACCESS_DENIED
constexpr long REG_MORE_DATA = 234;        // ERROR_MORE_DATA
constexpr long REG_BAD_STORE = 1009;       // ERROR_BADDB
constexpr long REG_NOT_CP932 = 1113;       // ERROR_NO_UNICODE_TRANSLATION: string data CP932 cannot hold
constexpr unsigned REG_ACCESS_QUERY = 1;   // KEY_QUERY_VALUE
constexpr unsigned REG_ACCESS_SET = 2;     // KEY_SET_VALUE
constexpr uint32_t REG_TYPE_SZ = 1;        // REG_SZ

// RegOpenKeyExA(HKEY_CURRENT_USER, subkey, 0, access, out).
long reg_open_key(const char* subkey, unsigned access, reg_key* out);
// RegQueryValueExA(key, name, NULL, NULL, data, size): size is the room in data on the way in and
// the length of the stored data on the way out (REG_MORE_DATA when it did not fit).
long reg_query_value(reg_key key, const char* name, unsigned char* data, uint32_t* size);
// After REG_NOT_CP932 from reg_query_value: the first character CP932 lacks (its code point) and its
// place in the value, counted in characters from 1.
extern unsigned long reg_unheld_char, reg_unheld_place;
// RegSetValueExA(key, name, 0, type, data, size).
long reg_set_value(reg_key key, const char* name, uint32_t type, const unsigned char* data, uint32_t size);
// RegCloseKey(key).
long reg_close_key(reg_key key);

// ---- Directory search ----
constexpr unsigned ATTR_FOLDER = 0x10;     // FILE_ATTRIBUTE_DIRECTORY / _A_SUBDIR

struct find_entry {
    char name[260];
    unsigned attrib;
};

// FindFirstFileA / FindNextFileA / FindClose. find_first_file answers null when nothing was found.
struct find_state;
find_state* find_first_file(const char* pattern, find_entry* out);
int find_next_file(find_state* search, find_entry* out);   // 1 with the next entry, 0 at the end
void find_close(find_state* search);

// _findfirst / _findnext / _findclose: a handle, -1 when nothing was found; next answers 0 or -1.
intptr_t findfirst(const char* pattern, find_entry* out);
int findnext(intptr_t handle, find_entry* out);
int findclose(intptr_t handle);

// ---- Files (msvcrt) ----
int file_access(const char* path, int mode);      // _access: 0, or -1 with errno
int make_dir(const char* path);                   // _mkdir
int change_dir(const char* path);                 // _chdir
int remove_dir(const char* path);                 // _rmdir: an empty folder only
int remove_file(const char* path);                // remove
int rename_file(const char* from, const char* to);// rename
// fopen with msvcrt modes: "t" (the default) is a text stream, "b" a binary one; "c" (msvcrt's
// commit flag) makes closing the stream (and fflush on Windows) put its data on the disk itself.
FILE* open_file(const char* path, const char* mode);
// MoveFileEx(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH): from takes the name to
// in one step, replacing a file of that name, so a reader sees the old file or the new one, never
// neither. Like Windows it refuses (EACCES) to replace a read-only file. 0, or -1 with errno.
int replace_file(const char* from, const char* to);
// _chmod(path, read_only ? _S_IREAD : _S_IREAD | _S_IWRITE): sets or clears the read-only
// attribute. 0, or -1 with errno.
int set_read_only(const char* path, int read_only);

// A file written whole under a work name, then given its own name while still open, so that a
// reader never finds a part under that name, and each step costs the system one call.
// create_work_file: CreateFileW(work, write | delete, no sharing, create always), not inherited by
// programs started meanwhile; null with errno when it cannot be made.
struct work_file;
work_file* create_work_file(const char* work);
// WriteFile of length bytes at offset, all of them. 0, or -1 with errno (ENOSPC for a full disk).
int write_work_file(work_file* file, uint64_t offset, const void* data, size_t length);
// The written file takes the name to, which must not exist in any letter case (rename through
// the handle, SetFileInformationByHandle FileRenameInfo, no replacing), and is closed. 0; -1 with
// errno when its data could not be finished, -2 when it could not take the name: either way the
// work file is gone.
int finish_work_file(work_file* file, const char* to);
// Closes and removes a work file that will not be finished.
void discard_work_file(work_file* file);

// CreateFile(path, read | write, no sharing, open or create): holds path, a file of no content,
// until unlock_file or the process's end, so that a second process of the kind cannot hold it
// too. A handle (>= 0), or -1 with errno: EBUSY when another process holds the file.
intptr_t lock_file(const char* path);
void unlock_file(intptr_t handle);   // CloseHandle

// GetDiskFreeSpaceExW(folder): the bytes this user may still write on the disk that holds folder.
// 0, or -1 with errno.
int free_disk_space(const char* folder, uint64_t* bytes);
// _getcwd: the current folder as a full path with backslashes, in CP932. 0, or -1 with errno.
int current_folder(char* out, size_t room);

// ---- Text ----
// The system's ANSI code page (GetACP): 932 on a Japanese Windows. Files meant for the system's
// own programs (regedit) must be written in a form it can read.
unsigned ansi_code_page();
// The CP932 text as UTF-16 code units, at most room of them with a terminating 0. Answers the
// count without the terminator, or (size_t)-1 when text is not CP932 or does not fit.
size_t cp932_to_utf16(const char* text, uint16_t* out, size_t room);
// length UTF-16 code units as CP932 in out (room bytes, with a terminating 0). Answers the byte
// count without the terminator, or (size_t)-1 when a character has no CP932 form or it does not fit.
size_t utf16_to_cp932(const uint16_t* text, size_t length, char* out, size_t room);

// ---- The run ----
// Called by main first and last: begin_run sets up the standard streams and the arguments for the
// host (on Windows the arguments are taken from the system in CP932); end_run tells the person
// watching how the run ended where that is needed and answers status for main to return.
void begin_run(int* argc, char*** argv);
int end_run(int status);
// length bytes of text to standard output in one piece (fwrite(text, 1, length, stdout), but never
// a character at a time: msvcrt writes a stream without a buffer so, each character a system call).
void write_output(const char* text, size_t length);
// An argument begin_run had to leave out because CP932 cannot hold it, when it names a file or a
// folder (something dropped onto the program), as it may be shown ('?' for what CP932 lacks); null
// when there is none.
const char* lost_path_argument();

// ---- Progress of a long run ----
// Where nobody watches a console (Windows, started by a double-click or a drop) a small window
// with a bar, "n / N", the current item, the time left and a Cancel button; natively a single line
// on standard error when it is a terminal, standing in for the per-item lines there; otherwise
// nothing. Box calls made while it is up belong to it. caption is the tool's title; total 0 when
// the count is not known.
void progress_begin(unsigned long total, const char* caption);
// done items are finished; label names the current one (an archive, a file).
void progress_step(unsigned long done, const char* label);
// 1 once the person asked to stop (Cancel, or the window closed): the run stops at the next item.
int progress_cancelled();
// Closes the progress; where a window was up, summary (if not null) is shown in a box first.
void progress_end(const char* summary);

// ---- Programs ----
// The program args[0] started directly with the arguments args[1..] (null-terminated), no command
// interpreter between: no character of an argument is interpreted. A bare name is looked for as
// Windows would (the current folder, then PATH; a missing ".exe" forgiven on Linux). The program
// inherits the standard streams, which are flushed first, and opens no window of its own.
// run_program waits and answers its exit status, non-zero when it could not be started (a line on
// standard error then says why).
int run_program(const char* const* args);
// start_program answers an id (> 0) for the running program, or -1 when it could not be started
// (a line on standard error). wait_any_program waits until one started program ends, answers its id
// and puts its exit status in *status; -1 when none is running. At most MAX_PROGRAMS run at once.
constexpr int MAX_PROGRAMS = 64;
long start_program(const char* const* args);
long wait_any_program(int* status);
// wait_program is wait_any_program waiting at most ms milliseconds: 0 when none ended in that time.
long wait_program(int* status, unsigned long ms);
// Ends a started program at once (TerminateProcess; on POSIX hosts with the process group it leads)
// and waits until it is gone. end_all_programs ends every started program still running.
void end_program(long id);
void end_all_programs();
// Started programs never outlive this process: on Windows they belong to a job object that ends
// them when it closes; on POSIX hosts each leads a process group of its own, killed when this
// process exits or meets SIGTERM, SIGHUP, SIGINT or SIGPIPE, and gets SIGKILL when this process dies
// any other way.
// Milliseconds on a clock that never goes back (GetTickCount64).
uint64_t clock_ms();
// The number of processors the system offers (at least 1).
int count_processors();
// A second thread of this process running run(arg) (CreateThread; pthread_create on POSIX hosts);
// null when it could not be started. join_thread waits until it has returned and frees it.
struct thread_s;
thread_s* start_thread(void (*run)(void*), void* arg);
void join_thread(thread_s* thread);
// system(command) for a plain command line: split at blanks (a double-quoted stretch kept whole),
// then run_program. The exit status, non-zero when it could not be started.
int run_command(const char* command);

#endif
