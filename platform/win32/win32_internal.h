// What the Windows backend's files share: the one place where CP932 meets UTF-16.
#ifndef VNAUDIO_WIN32_INTERNAL_H
#define VNAUDIO_WIN32_INTERNAL_H

#include <windows.h>

#include <cstddef>
#include <string>

// The tools' names and texts are Japanese-Windows CP932 whatever the system's ANSI code page is.
constexpr UINT TEXT_CODE_PAGE = 932;

// Room for a path as UTF-16: more than MAX_PATH, so a name the system would refuse as too long is
// refused by the system with its own error, not cut short here.
constexpr size_t WIDE_PATH_ROOM = 1024;

// CP932 text as UTF-16 with a terminator. Strict: false (errno ENOENT, or ENAMETOOLONG when it does
// not fit) when the bytes are not CP932, as no file or key can carry such a name.
bool widen_name(const char* text, wchar_t* out, size_t room);

// UTF-16 (length units, or -1 up to the terminator) as CP932 in out, at most room bytes. Answers
// the bytes written, or -1 when a character has no CP932 form (never replaced by a look-alike) or
// the text does not fit.
int narrow_text(const wchar_t* text, int length, char* out, int room);

// The same, for display only: characters without a CP932 form become '?'.
int narrow_for_display(const wchar_t* text, int length, char* out, int room);

// Held while a handle is made that must not leak into a child process (a file, before it is marked
// not inheritable) and while a process is started that inherits handles (an encoder, the console of
// a double-clicked run, which the run's own thread may start while the tools open a file).
void lock_inheritance();
void unlock_inheritance();

// 1 when the run has no console to show its lines and no stream of it is redirected (started by a
// double-click or a drop): a progress window stands in for the console.
bool run_is_unwatched();
// The notices the tool wrote to standard error in such a run, for the final box: the last few
// lines and how many there were. Empty when there were none.
std::string take_notices();
// The progress window while it is up (the owner of every box then), else null.
HWND progress_owner();

#endif
