// Message boxes and file utilities shared by the three tools. Each program defines tool_title,
// the caption of all its boxes.
#ifndef VNAUDIO_COMMON_H
#define VNAUDIO_COMMON_H

#include <cstdarg>

extern const char tool_title[];

// Formats into a 1024-byte buffer (a longer text is cut at a character boundary) and shows it.
int vmessage_box(unsigned type, const char* format, va_list args);
void error_box(const char* format, ...);
int ask_abort_retry_ignore(const char* format, ...);
int ask_yes_no(const char* format, ...);
// An OK box with the information icon: news that is no failure.
void info_box(const char* format, ...);
// A line on standard error (the format without its line end) for what the run passes over and
// goes on.
void notice(const char* format, ...);

// 1 when the file is taken to exist (doubtful cases included), 0 when it does not (errno 0 then).
int file_exists(const char* path);
// The first free name of stem.org, stem.org1, ... for path (the caller owns it), or null after a
// box built from failure ("%s ... %s ... %s": path, the name tried, the reason).
char* free_backup_name(const char* path, const char* failure);
// Moves path to the first free of stem.org, stem.org1, ...; the new name (caller owns it), or null.
char* rename_to_backup(const char* path);
// Removes path, then gives backup (if not null) the name path again. Reports its own failures.
void restore_backup(const char* path, const char* backup);

// The folder dropped onto the program (its one argument that names something on disk; options,
// those starting with '-', and an option's number are not looked at) becomes the current folder,
// as if the program had been started there, and leaves argv. 1 to go on, 0 after a box: a file
// dropped, several things, a name CP932 cannot hold, a folder that cannot be entered.
int enter_dropped_folder(int* argc, char** argv);

// Closes the run's progress; where its window was up, the text formatted here says in a final box
// what the run did.
void end_progress(const char* format, ...);

#endif
