// boxdriver: starts a Windows tool, answers each message box it shows from a script and logs every
// box (caption, text, buttons, answer) as one UTF-8 line, so scenarios can check real boxes under Wine.
//
//   boxdriver.exe [--log FILE] [--timeout SECONDS] [--double-click] SCRIPT TOOL.exe [args...]
//   boxdriver.exe --probe        prints the ANSI code page and exits with PROBE_STATUS
//
// --double-click starts the tool as Explorer does, without standard handles or a console. Should a
// console of the tool's wait for Enter (no run may), its text is logged as "console: " lines, which
// no scenario expects, and Enter is pressed so the run still ends.
//
// A progress window of the tool's (class vnaudio_progress) is watched too: before each box and when
// it closes its state is logged as "progress: COUNT TEXT [bar POS/MAX]" (when it changed), and
// --cancel-at N presses its Cancel button once the bar stands at N or beyond ("progress: cancel at
// ..." is logged). A box that appears while the window is up and is not owned by it is logged as
// "progress: a box outside the window: ...".
//
// SCRIPT holds one answer per line (ok, cancel, abort, retry, ignore, yes, no; blank lines and lines
// starting with '#' are skipped). An answer ending in '*' (ok*) answers every later box too, however
// many come, none included. Each box gives the log line
//   caption: text (icon) [button|button|...] -> answer
// with "(icon)" only when the box shows one and line ends inside the text written as \n. The exit
// status is the tool's own, or one of the codes below.
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int PROBE_STATUS = 42;
constexpr int EXIT_UNEXPECTED_BOX = 90;  // more boxes than the script answers
constexpr int EXIT_MISSING_BOX = 91;     // the tool ended before every scripted box appeared
constexpr int EXIT_NO_SUCH_BUTTON = 92;  // the box lacks the scripted answer's button
constexpr int EXIT_TIMEOUT = 93;
constexpr int EXIT_START_FAILED = 94;
constexpr int EXIT_USAGE = 95;

struct answer_word {
    const char* word;
    int id;
};

const answer_word answer_words[] = {
    {"ok", IDOK},         {"cancel", IDCANCEL}, {"abort", IDABORT}, {"retry", IDRETRY},
    {"ignore", IDIGNORE}, {"yes", IDYES},       {"no", IDNO},
};

struct scripted_answer {
    std::string word;
    int id;
    bool repeats;
};

struct box_button {
    HWND hwnd;
    int id;
    std::string label;
};

struct box_view {
    std::string caption;
    std::string text;
    bool icon = false;
    std::vector<box_button> buttons;
};

FILE* log_stream = stdout;

std::string to_utf8(const wchar_t* text, int length) {
    if (length <= 0) return std::string();
    int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, length, &out[0], size, nullptr, nullptr);
    return out;
}

// The window's text as the user sees it. Reading the wide text avoids a second trip through this
// process's own ANSI code page, so a garbled box shows up garbled here too.
std::string window_text(HWND hwnd) {
    int length = GetWindowTextLengthW(hwnd);
    std::vector<wchar_t> text(static_cast<size_t>(length) + 1);
    int got = GetWindowTextW(hwnd, text.data(), length + 1);
    return to_utf8(text.data(), got);
}

std::string class_name(HWND hwnd) {
    wchar_t name[64];
    int got = GetClassNameW(hwnd, name, 64);
    return to_utf8(name, got);
}

// One log line per box: line ends inside the text become a visible \n.
std::string one_line(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        if (c == '\n' || c == '\r') out += "\\n";
        else out += c;
    }
    return out;
}

BOOL CALLBACK collect_child(HWND child, LPARAM param) {
    box_view* view = reinterpret_cast<box_view*>(param);
    if (!IsWindowVisible(child)) return TRUE;
    std::string kind = class_name(child);
    if (_stricmp(kind.c_str(), "Button") == 0) {
        view->buttons.push_back({child, GetDlgCtrlID(child), window_text(child)});
    } else if (_stricmp(kind.c_str(), "Static") == 0) {
        LONG style = GetWindowLongW(child, GWL_STYLE);
        if ((style & SS_TYPEMASK) == SS_ICON) {
            // Which icon cannot be told from here (icon handles belong to their process), only that
            // there is one: the error and information styles have one, yes/no questions none.
            if (SendMessageW(child, STM_GETICON, 0, 0)) view->icon = true;
            return TRUE;
        }
        std::string text = window_text(child);
        if (!text.empty()) {
            if (!view->text.empty()) view->text += "\n";
            view->text += text;
        }
    }
    return TRUE;
}

box_view read_box(HWND box) {
    box_view view;
    view.caption = window_text(box);
    EnumChildWindows(box, collect_child, reinterpret_cast<LPARAM>(&view));
    return view;
}

std::string describe(const box_view& view) {
    std::string line = one_line(view.caption) + ": " + one_line(view.text) + (view.icon ? " (icon) [" : " [");
    for (size_t i = 0; i < view.buttons.size(); ++i) {
        if (i) line += "|";
        line += view.buttons[i].label;
    }
    return line + "]";
}

struct box_search {
    DWORD pid;
    std::vector<HWND> found;
};

// Only a visible box is ready: the text and buttons are in place once it is shown.
BOOL CALLBACK collect_box(HWND hwnd, LPARAM param) {
    box_search* search = reinterpret_cast<box_search*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid == search->pid && IsWindowVisible(hwnd) && class_name(hwnd) == "#32770")
        search->found.push_back(hwnd);
    return TRUE;
}

// The tool's progress window, its bar and its lines as a person sees them now.
struct progress_view {
    HWND window = nullptr;
    long position = 0, maximum = 0;
    std::string count;
};

BOOL CALLBACK collect_progress_child(HWND child, LPARAM param) {
    progress_view* view = reinterpret_cast<progress_view*>(param);
    std::string kind = class_name(child);
    if (_stricmp(kind.c_str(), "msctls_progress32") == 0) {
        view->position = static_cast<long>(SendMessageW(child, PBM_GETPOS, 0, 0));
        view->maximum = static_cast<long>(SendMessageW(child, PBM_GETRANGE, FALSE, 0));
    } else if (_stricmp(kind.c_str(), "Static") == 0 && view->count.empty()) {
        view->count = window_text(child);
    }
    return TRUE;
}

BOOL CALLBACK find_progress(HWND hwnd, LPARAM param) {
    box_search* search = reinterpret_cast<box_search*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid == search->pid && IsWindowVisible(hwnd) && class_name(hwnd) == "vnaudio_progress")
        search->found.push_back(hwnd);
    return TRUE;
}

progress_view read_progress(DWORD pid) {
    progress_view view;
    box_search search = {pid, {}};
    EnumWindows(find_progress, reinterpret_cast<LPARAM>(&search));
    if (search.found.empty()) return view;
    view.window = search.found[0];
    EnumChildWindows(view.window, collect_progress_child, reinterpret_cast<LPARAM>(&view));
    return view;
}

std::string describe(const progress_view& view) {
    return "progress: " + view.count + " [bar " + std::to_string(view.position) + "/" +
           std::to_string(view.maximum) + "]";
}

bool read_script(const char* path, std::vector<scripted_answer>* answers) {
    FILE* f = fopen(path, "r");
    if (!f) {
        fprintf(stderr, "boxdriver: cannot read the script %s\n", path);
        return false;
    }
    char line[256];
    bool ok = true;
    while (fgets(line, sizeof line, f)) {
        std::string word = line;
        while (!word.empty() && strchr(" \t\r\n", word.back())) word.pop_back();
        size_t start = word.find_first_not_of(" \t");
        if (start == std::string::npos || word[start] == '#') continue;
        word = word.substr(start);
        bool repeats = word.back() == '*';
        if (repeats) word.pop_back();
        int id = 0;
        for (const answer_word& known : answer_words)
            if (_stricmp(known.word, word.c_str()) == 0) id = known.id;
        if (!id) {
            fprintf(stderr, "boxdriver: unknown answer \"%s\" in %s\n", word.c_str(), path);
            ok = false;
        }
        answers->push_back({word, id, repeats});
        if (repeats) break;
    }
    fclose(f);
    return ok;
}

// Quotes one argument the way the runtime's command-line split takes it apart again.
std::string quote_argument(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
    std::string out = "\"";
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') out.append(backslashes * 2 + 1, '\\');
        else out.append(backslashes, '\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, '\\');
    return out + "\"";
}

void write_log(const std::string& line) {
    fprintf(log_stream, "%s\n", line.c_str());
    fflush(log_stream);
}

// The text of the console this process is attached to, one line per row without trailing blanks.
std::vector<std::string> console_rows() {
    std::vector<std::string> rows;
    HANDLE out = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                             OPEN_EXISTING, 0, NULL);
    if (out == INVALID_HANDLE_VALUE) return rows;
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(out, &info)) {
        std::vector<wchar_t> row(static_cast<size_t>(info.dwSize.X));
        for (SHORT y = 0; y <= info.dwCursorPosition.Y; ++y) {
            DWORD got = 0;
            COORD at = {0, y};
            ReadConsoleOutputCharacterW(out, row.data(), info.dwSize.X, at, &got);
            while (got > 0 && (row[got - 1] == L' ' || row[got - 1] == 0)) --got;
            rows.push_back(to_utf8(row.data(), static_cast<int>(got)));
        }
    }
    CloseHandle(out);
    return rows;
}

void press_enter() {
    HANDLE in = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                            OPEN_EXISTING, 0, NULL);
    if (in == INVALID_HANDLE_VALUE) return;
    INPUT_RECORD keys[2];
    ZeroMemory(keys, sizeof keys);
    for (int i = 0; i < 2; ++i) {
        keys[i].EventType = KEY_EVENT;
        keys[i].Event.KeyEvent.bKeyDown = i == 0;
        keys[i].Event.KeyEvent.wRepeatCount = 1;
        keys[i].Event.KeyEvent.wVirtualKeyCode = VK_RETURN;
        keys[i].Event.KeyEvent.uChar.UnicodeChar = L'\r';
    }
    DWORD written;
    WriteConsoleInputW(in, keys, 2, &written);
    CloseHandle(in);
}

// Watches the console of a double-clicked tool: answers true once its end text was logged and Enter
// pressed.
bool answer_console(DWORD pid) {
    FreeConsole();
    if (!AttachConsole(pid)) return false;
    std::vector<std::string> rows = console_rows();
    bool waiting = false;
    for (const std::string& row : rows) waiting = waiting || row.find("Enter") != std::string::npos;
    if (waiting) {
        for (const std::string& row : rows) write_log("console: " + row);
        press_enter();
    }
    FreeConsole();
    return waiting;
}

int probe() {
    printf("acp=%u\n", GetACP());
    return PROBE_STATUS;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && strcmp(argv[1], "--probe") == 0) return probe();

    int arg = 1;
    const char* log_path = nullptr;
    double timeout_seconds = 60;
    bool double_click = false;
    long cancel_at = -1;
    while (arg + 1 < argc && strncmp(argv[arg], "--", 2) == 0) {
        if (strcmp(argv[arg], "--double-click") == 0) {
            double_click = true;
            ++arg;
            continue;
        }
        if (strcmp(argv[arg], "--log") == 0) log_path = argv[arg + 1];
        else if (strcmp(argv[arg], "--cancel-at") == 0) cancel_at = atol(argv[arg + 1]);
        else if (strcmp(argv[arg], "--timeout") == 0) timeout_seconds = atof(argv[arg + 1]);
        else break;
        arg += 2;
    }
    if (argc - arg < 2) {
        fprintf(stderr, "usage: boxdriver.exe [--log FILE] [--timeout SECONDS] SCRIPT TOOL.exe [args...]\n");
        return EXIT_USAGE;
    }
    std::vector<scripted_answer> answers;
    if (!read_script(argv[arg], &answers)) return EXIT_USAGE;
    if (log_path) {
        log_stream = fopen(log_path, "wb");
        if (!log_stream) {
            fprintf(stderr, "boxdriver: cannot write the log %s\n", log_path);
            return EXIT_USAGE;
        }
    }

    // The tool's arguments as the system holds them (UTF-16): this program's own ANSI arguments
    // would have lost every character the system's code page lacks.
    int wide_count = 0;
    wchar_t** wide_args = CommandLineToArgvW(GetCommandLineW(), &wide_count);
    std::string command;
    for (int i = arg + 1; i < argc; ++i) {
        if (!command.empty()) command += ' ';
        command += wide_args && wide_count == argc ? quote_argument(to_utf8(wide_args[i], static_cast<int>(wcslen(wide_args[i]))))
                                                   : quote_argument(argv[i]);
    }
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process;
    std::vector<wchar_t> line(command.size() + 1, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, command.c_str(), -1, line.data(), static_cast<int>(line.size()));
    if (double_click) ZeroMemory(&startup.dwFlags, sizeof startup.dwFlags);
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, !double_click, double_click ? DETACHED_PROCESS : 0,
                        nullptr, nullptr, &startup, &process)) {
        fprintf(stderr, "boxdriver: cannot start %s (error %lu)\n", command.c_str(), GetLastError());
        return EXIT_START_FAILED;
    }

    size_t shown = 0;
    std::vector<HWND> answered;  // boxes already pressed that may not have closed yet
    DWORD started = GetTickCount();
    int failure = 0;
    bool console_answered = false;
    DWORD console_checked = 0;
    std::string progress_logged;
    progress_view progress;
    for (;;) {
        DWORD waited = WaitForSingleObject(process.hProcess, 10);
        box_search search = {process.dwProcessId, {}};
        EnumWindows(collect_box, reinterpret_cast<LPARAM>(&search));
        progress_view now = read_progress(process.dwProcessId);
        // A window being taken down loses its controls first: such a reading is no state of it.
        if (now.window && now.maximum > 0 && !now.count.empty()) {
            if (cancel_at >= 0 && now.position >= cancel_at) {
                write_log("progress: cancel at " + describe(now).substr(10));
                PostMessageW(now.window, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                             reinterpret_cast<LPARAM>(GetDlgItem(now.window, IDCANCEL)));
                cancel_at = -1;
            }
            progress = now;
        } else if (!now.window && progress.window) {
            if (describe(progress) != progress_logged) write_log(progress_logged = describe(progress));
            progress = progress_view();
        }
        if (!search.found.empty() && progress.window && describe(progress) != progress_logged)
            write_log(progress_logged = describe(progress));
        std::vector<HWND> still_open;
        for (HWND hwnd : answered)
            if (IsWindow(hwnd)) still_open.push_back(hwnd);
        answered.swap(still_open);
        for (HWND box : search.found) {
            bool seen = false;
            for (HWND hwnd : answered) seen = seen || hwnd == box;
            if (seen) continue;
            box_view view = read_box(box);
            if (now.window && GetWindow(box, GW_OWNER) != now.window)
                write_log("progress: a box outside the window: " + describe(view));
            ++shown;
            bool repeating = !answers.empty() && answers.back().repeats && shown >= answers.size();
            if (shown > answers.size() && !repeating) {
                write_log(describe(view) + " -> (unexpected)");
                fprintf(stderr, "boxdriver: unexpected box %zu (the script answers %zu; see the log)\n",
                        shown, answers.size());
                failure = EXIT_UNEXPECTED_BOX;
                break;
            }
            const scripted_answer& answer = repeating ? answers.back() : answers[shown - 1];
            HWND button = nullptr;
            for (const box_button& b : view.buttons)
                if (b.id == answer.id) button = b.hwnd;
            write_log(describe(view) + " -> " + answer.word);
            if (!button) {
                fprintf(stderr, "boxdriver: box %zu has no %s button (see the log)\n", shown,
                        answer.word.c_str());
                failure = EXIT_NO_SUCH_BUTTON;
                break;
            }
            PostMessageW(box, WM_COMMAND, MAKEWPARAM(answer.id, BN_CLICKED), reinterpret_cast<LPARAM>(button));
            answered.push_back(box);
        }
        if (failure) break;
        if (waited == WAIT_OBJECT_0) break;
        // Attaching is a round trip to the server: a few times a second is enough for a person too.
        if (double_click && !console_answered && GetTickCount() - console_checked >= 200) {
            console_checked = GetTickCount();
            console_answered = answer_console(process.dwProcessId);
        }
        if (GetTickCount() - started > static_cast<DWORD>(timeout_seconds * 1000)) {
            fprintf(stderr, "boxdriver: the tool still runs after %g s\n", timeout_seconds);
            failure = EXIT_TIMEOUT;
            break;
        }
    }
    if (progress.window && describe(progress) != progress_logged) write_log(describe(progress));
    if (failure) {
        TerminateProcess(process.hProcess, 1);
        WaitForSingleObject(process.hProcess, 5000);
        return failure;
    }
    DWORD status = 0;
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    size_t required = answers.size() - (!answers.empty() && answers.back().repeats ? 1 : 0);
    if (shown < required) {
        fprintf(stderr, "boxdriver: the tool ended with status %lu after %zu of %zu scripted boxes\n", status,
                shown, answers.size());
        return EXIT_MISSING_BOX;
    }
    return static_cast<int>(status);
}
