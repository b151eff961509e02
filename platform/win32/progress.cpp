// The progress window of a run nobody watches in a console (double-clicked, or a folder dropped on
// the program): a bar over all items, "n / N", the current item, the time left and Cancel. It lives
// on a thread of its own, so the work never waits for painting and the window answers while an
// encoder runs: the work only puts its count and label in a shared record, which the window reads
// on a timer. Boxes shown meanwhile are owned by the window.
#include "platform/platform.h"
#include "platform/progress_text.h"
#include "platform/win32/win32_internal.h"
#include "platform/messages.h"

#include <commctrl.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const wchar_t WINDOW_CLASS[] = L"vnaudio_progress";
enum { ID_COUNT = 101, ID_BAR, ID_LABEL, ID_LEFT };
constexpr UINT MESSAGE_CLOSE = WM_APP + 1;

HWND window;
HANDLE window_thread;
HANDLE window_ready;
CRITICAL_SECTION state_lock;
char state_label[300];          // CP932, under state_lock
volatile LONG state_done, cancelled;
unsigned long state_total;
DWORD started_tick;
wchar_t caption_text[64];
char caption_narrow[64];

// What the window shows now, so a control is only redrawn when its text changes.
struct shown_state {
    long done = -1;
    std::wstring label, left;
};
shown_state shown;

std::wstring widen(const char* text) {
    int units = MultiByteToWideChar(TEXT_CODE_PAGE, 0, text, -1, nullptr, 0);
    if (units <= 0) return std::wstring();
    std::vector<wchar_t> wide(static_cast<size_t>(units));
    MultiByteToWideChar(TEXT_CODE_PAGE, 0, text, -1, wide.data(), units);
    return std::wstring(wide.data());
}

void set_text(int id, const std::wstring& text) { SetDlgItemTextW(window, id, text.c_str()); }

void refresh(HWND hwnd) {
    long done = InterlockedCompareExchange(&state_done, 0, 0);
    char label[300];
    EnterCriticalSection(&state_lock);
    memcpy(label, state_label, sizeof label);
    LeaveCriticalSection(&state_lock);
    if (done != shown.done) {
        char count[96];
        if (state_total)
            snprintf(count, sizeof count, translate_message(PROGRESS_COUNT), static_cast<unsigned long>(done), state_total);
        else
            snprintf(count, sizeof count, translate_message(PROGRESS_COUNT_UNKNOWN), static_cast<unsigned long>(done));
        set_text(ID_COUNT, widen(count));
        SendDlgItemMessageW(hwnd, ID_BAR, PBM_SETPOS, static_cast<WPARAM>(done), 0);
        shown.done = done;
    }
    std::wstring wide_label = widen(label);
    if (wide_label != shown.label) {
        set_text(ID_LABEL, wide_label);
        shown.label = wide_label;
    }
    if (cancelled) return;   // the line says the run is stopping
    char left[96];
    format_time_left(progress_seconds_left(static_cast<unsigned long>(done), state_total, GetTickCount() - started_tick),
                     left, sizeof left, PROGRESS_ESTIMATING);
    std::wstring wide_left = widen(left);
    if (wide_left != shown.left) {
        set_text(ID_LEFT, wide_left);
        shown.left = wide_left;
    }
}

void ask_to_stop(HWND hwnd) {
    if (InterlockedExchange(&cancelled, 1)) return;
    EnableWindow(GetDlgItem(hwnd, IDCANCEL), FALSE);
    set_text(ID_LEFT, widen(translate_message(PROGRESS_STOPPING)));
}

LRESULT CALLBACK window_procedure(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
    case WM_TIMER:
        refresh(hwnd);
        return 0;
    case WM_COMMAND:
        if (LOWORD(wparam) == IDCANCEL) ask_to_stop(hwnd);
        return 0;
    case WM_CLOSE:   // closing the window asks to stop, as Cancel does; the window goes with the run
        ask_to_stop(hwnd);
        return 0;
    case MESSAGE_CLOSE:
        DestroyWindow(hwnd);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(hwnd, message, wparam, lparam);
}

HFONT message_font() {
    NONCLIENTMETRICSW metrics;
    ZeroMemory(&metrics, sizeof metrics);
    metrics.cbSize = sizeof metrics;
    if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0))
        if (HFONT font = CreateFontIndirectW(&metrics.lfMessageFont)) return font;
    return static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
}

HWND make_window() {
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW window_class;
    ZeroMemory(&window_class, sizeof window_class);
    window_class.lpfnWndProc = window_procedure;
    window_class.hInstance = instance;
    window_class.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    window_class.hIcon = LoadIconW(nullptr, reinterpret_cast<LPCWSTR>(IDI_APPLICATION));
    window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    window_class.lpszClassName = WINDOW_CLASS;
    RegisterClassW(&window_class);

    const int width = 440, height = 150;
    DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
    RECT frame = {0, 0, width, height};
    AdjustWindowRect(&frame, style, FALSE);
    int outer_width = frame.right - frame.left, outer_height = frame.bottom - frame.top;
    HWND hwnd = CreateWindowExW(0, WINDOW_CLASS, caption_text, style,
                                (GetSystemMetrics(SM_CXSCREEN) - outer_width) / 2,
                                (GetSystemMetrics(SM_CYSCREEN) - outer_height) / 2, outer_width, outer_height,
                                nullptr, nullptr, instance, nullptr);
    if (!hwnd) return nullptr;
    HFONT font = message_font();
    struct child {
        const wchar_t* kind;
        int id;
        DWORD style;
        int x, y, w, h;
    } children[] = {
        {L"STATIC", ID_COUNT, SS_LEFT, 12, 12, width - 24, 20},
        {PROGRESS_CLASSW, ID_BAR, PBS_SMOOTH, 12, 36, width - 24, 20},
        {L"STATIC", ID_LABEL, SS_LEFT | SS_PATHELLIPSIS | SS_NOPREFIX, 12, 64, width - 24, 20},
        {L"STATIC", ID_LEFT, SS_LEFT, 12, 88, width - 130, 20},
        {L"BUTTON", IDCANCEL, BS_PUSHBUTTON | WS_TABSTOP, width - 112, height - 40, 100, 28},
    };
    for (const child& c : children) {
        HWND control = CreateWindowExW(0, c.kind, nullptr, WS_CHILD | WS_VISIBLE | c.style, c.x, c.y, c.w, c.h,
                                       hwnd, reinterpret_cast<HMENU>(static_cast<INT_PTR>(c.id)), instance, nullptr);
        SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    }
    SetDlgItemTextW(hwnd, IDCANCEL, widen(translate_message(PROGRESS_CANCEL_BUTTON)).c_str());
    SendDlgItemMessageW(hwnd, ID_BAR, PBM_SETRANGE32, 0, static_cast<LPARAM>(state_total ? state_total : 1));
    return hwnd;
}

DWORD WINAPI run_window(void*) {
    window = make_window();
    if (window) {
        refresh(window);
        SetTimer(window, 1, 100, nullptr);
        ShowWindow(window, SW_SHOWNORMAL);
        SetForegroundWindow(window);
    }
    SetEvent(window_ready);
    if (!window) return 0;
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (IsDialogMessageW(window, &message)) continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}

}  // namespace

HWND progress_owner() { return window; }

void progress_begin(unsigned long total, const char* caption) {
    if (!run_is_unwatched() || window_thread) return;
    InitializeCriticalSection(&state_lock);
    state_total = total;
    state_done = 0;
    state_label[0] = '\0';
    started_tick = GetTickCount();
    snprintf(caption_narrow, sizeof caption_narrow, "%s", caption);
    MultiByteToWideChar(TEXT_CODE_PAGE, 0, caption, -1, caption_text, 64);
    caption_text[63] = L'\0';
    window_ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!window_ready) return;
    window_thread = CreateThread(nullptr, 0, run_window, nullptr, 0, nullptr);
    if (window_thread) WaitForSingleObject(window_ready, INFINITE);
}

void progress_step(unsigned long done, const char* label) {
    if (!window) return;
    InterlockedExchange(&state_done, static_cast<LONG>(done));
    EnterCriticalSection(&state_lock);
    snprintf(state_label, sizeof state_label, "%s", label ? label : "");
    LeaveCriticalSection(&state_lock);
}

int progress_cancelled() { return cancelled != 0; }

void progress_end(const char* summary) {
    if (!window_thread) return;
    if (window && summary) {
        std::string text = summary;
        std::string notices = take_notices();
        if (!notices.empty()) text += "\n\n" + notices;
        SendMessageW(window, WM_TIMER, 1, 0);   // the bar shows the last count under the box
        show_box(text.c_str(), caption_narrow, BOX_OK | BOX_ICON_INFORMATION);
    }
    if (window) PostMessageW(window, MESSAGE_CLOSE, 0, 0);
    WaitForSingleObject(window_thread, 5000);
    CloseHandle(window_thread);
    window_thread = nullptr;
    window = nullptr;
}
