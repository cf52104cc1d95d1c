// The tests' hands and eyes inside Wine: starts programs with an exact command line and
// reads back their 32-bit exit code, hosts windows whose state it reports through the
// system's own calls, finds a message box, reads it and closes it, and looks at a named
// mutex. Every answer is one UTF-8 line on standard output.
//
//   win_probe run [--set NAME=VALUE | --unset NAME]... COMMAND_LINE
//       starts COMMAND_LINE (after the environment changes), prints "started PID" and then
//       "exit N" with the signed exit code, or "timeout" after half an hour (the program
//       is then ended): a copy that must stay up stays up until the test ends it, however
//       slow the machine, and a probe left behind still ends in the end
//   win_probe windows
//       reads commands from standard input, one a line, and answers each:
//         make TITLE          a new top-level window, shown normally: "made N"
//         minimize N | hide N | front N
//         state N             "state iconic=I visible=V foreground=F first=K", where K is
//                             the window of this program that comes first in the z-order
//         quit
//   win_probe box CAPTION MILLISECONDS
//       waits for a message box with that caption, prints its caption, texts, buttons,
//       icon and owner, presses its OK button and prints "closed"; "no box" when none
//       came in time
//   win_probe mutex NAME
//       "absent", "owned" (by another thread), "abandoned" or "free"
//   win_probe end PID
//       ends the process PID with exit code 255: "ended" or "not ended"
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "wide_text.hpp"

namespace {

using wide_text::utf8;
using wide_text::wide;

constexpr DWORD kRunLimitMs = 30 * 60 * 1000;
constexpr DWORD kEndLimitMs = 120000;
constexpr UINT kCommandMessage = WM_APP + 1;

void say(const std::wstring& line) {
    const std::string bytes = utf8(line) + "\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()),
              &written, nullptr);
}

std::wstring window_text(HWND window) {
    wchar_t text[1024] = {};
    GetWindowTextW(window, text, 1024);
    return text;
}

std::wstring class_of(HWND window) {
    wchar_t name[256] = {};
    GetClassNameW(window, name, 256);
    return name;
}

// ---- run ---------------------------------------------------------------------------

int run(int argc, wchar_t** argv) {
    int i = 2;
    for (; i + 1 < argc; i += 2) {
        const std::wstring option = argv[i];
        const std::wstring value = argv[i + 1];
        if (option == L"--set") {
            const auto eq = value.find(L'=');
            SetEnvironmentVariableW(value.substr(0, eq).c_str(), value.substr(eq + 1).c_str());
        } else if (option == L"--unset") {
            SetEnvironmentVariableW(value.c_str(), nullptr);
        } else {
            break;
        }
    }
    if (i != argc - 1) {
        say(L"usage: win_probe run [--set NAME=VALUE | --unset NAME]... COMMAND_LINE");
        return 2;
    }
    std::wstring line = argv[i];
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        say(L"not started " + std::to_wstring(GetLastError()));
        return 2;
    }
    CloseHandle(process.hThread);
    say(L"started " + std::to_wstring(process.dwProcessId));
    if (WaitForSingleObject(process.hProcess, kRunLimitMs) != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, 255);
        say(L"timeout");
        return 2;
    }
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    say(L"exit " + std::to_wstring(static_cast<long>(static_cast<LONG>(code))));
    return 0;
}

// ---- windows -----------------------------------------------------------------------

std::vector<HWND> g_windows;

LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    return DefWindowProcW(window, message, wparam, lparam);
}

DWORD WINAPI read_commands(LPVOID main_thread) {
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    std::string pending;
    char buffer[512];
    DWORD got = 0;
    while (ReadFile(input, buffer, sizeof buffer, &got, nullptr) && got > 0) {
        pending.append(buffer, got);
        for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
            auto* command = new std::string(pending.substr(0, end));
            pending.erase(0, end + 1);
            PostThreadMessageW(static_cast<DWORD>(reinterpret_cast<uintptr_t>(main_thread)),
                               kCommandMessage, 0, reinterpret_cast<LPARAM>(command));
        }
    }
    PostThreadMessageW(static_cast<DWORD>(reinterpret_cast<uintptr_t>(main_thread)), WM_QUIT, 0, 0);
    return 0;
}

std::wstring state_of(size_t index) {
    const HWND window = g_windows[index];
    long first = -1;
    for (HWND w = GetTopWindow(nullptr); w != nullptr && first < 0; w = GetWindow(w, GW_HWNDNEXT)) {
        for (size_t k = 0; k < g_windows.size(); ++k) {
            if (g_windows[k] == w) first = static_cast<long>(k);
        }
    }
    return L"state iconic=" + std::to_wstring(IsIconic(window) ? 1 : 0) +
           L" visible=" + std::to_wstring(IsWindowVisible(window) ? 1 : 0) +
           L" foreground=" + std::to_wstring(GetForegroundWindow() == window ? 1 : 0) +
           L" first=" + std::to_wstring(first);
}

// Carries out one command; false ends the program.
bool obey(const std::string& command) {
    const auto space = command.find(' ');
    const std::string verb = command.substr(0, space);
    const std::string rest = space == std::string::npos ? std::string() : command.substr(space + 1);
    if (verb == "quit") return false;
    if (verb == "make") {
        const int offset = 80 * static_cast<int>(g_windows.size());
        HWND window = CreateWindowExW(0, L"VyrProbeWindow", wide(rest).c_str(), WS_OVERLAPPEDWINDOW,
                                      100 + offset, 100 + offset, 360, 220, nullptr, nullptr,
                                      GetModuleHandleW(nullptr), nullptr);
        if (window == nullptr) {
            say(L"not made " + std::to_wstring(GetLastError()));
            return true;
        }
        ShowWindow(window, SW_SHOWNORMAL);
        UpdateWindow(window);
        g_windows.push_back(window);
        say(L"made " + std::to_wstring(g_windows.size() - 1));
        return true;
    }
    const size_t index = static_cast<size_t>(std::atoi(rest.c_str()));
    if (index >= g_windows.size()) {
        say(L"no such window");
        return true;
    }
    const HWND window = g_windows[index];
    if (verb == "minimize") {
        ShowWindow(window, SW_MINIMIZE);
    } else if (verb == "hide") {
        ShowWindow(window, SW_HIDE);
    } else if (verb == "front") {
        SetForegroundWindow(window);
        BringWindowToTop(window);
    } else if (verb != "state") {
        say(L"unknown command");
        return true;
    }
    say(state_of(index));
    return true;
}

int host_windows() {
    WNDCLASSW window_class{};
    window_class.lpfnWndProc = window_procedure;
    window_class.hInstance = GetModuleHandleW(nullptr);
    window_class.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    window_class.lpszClassName = L"VyrProbeWindow";
    if (!RegisterClassW(&window_class)) return 2;

    MSG message;
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);  // the thread's queue exists now
    const auto thread = reinterpret_cast<LPVOID>(static_cast<uintptr_t>(GetCurrentThreadId()));
    CloseHandle(CreateThread(nullptr, 0, read_commands, thread, 0, nullptr));
    say(L"ready");
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (message.hwnd == nullptr && message.message == kCommandMessage) {
            auto* command = reinterpret_cast<std::string*>(message.lParam);
            const bool go_on = obey(*command);
            delete command;
            if (!go_on) break;
            continue;
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    for (HWND window : g_windows) DestroyWindow(window);
    return 0;
}

// ---- box ---------------------------------------------------------------------------

// The pixels of an icon's colour and mask bitmaps: icon handles differ between processes,
// the images do not.
std::vector<BYTE> icon_pixels(HICON icon) {
    std::vector<BYTE> pixels;
    ICONINFO info{};
    if (icon == nullptr || !GetIconInfo(icon, &info)) return pixels;
    for (HBITMAP bitmap : {info.hbmColor, info.hbmMask}) {
        BITMAP header{};
        if (bitmap == nullptr || !GetObjectW(bitmap, sizeof header, &header)) continue;
        std::vector<BYTE> bits(static_cast<size_t>(header.bmWidthBytes) * static_cast<size_t>(header.bmHeight));
        GetBitmapBits(bitmap, static_cast<LONG>(bits.size()), bits.data());
        pixels.insert(pixels.end(), bits.begin(), bits.end());
        DeleteObject(bitmap);
    }
    return pixels;
}

BOOL CALLBACK describe_control(HWND control, LPARAM) {
    const std::wstring kind = class_of(control);
    const LONG style = GetWindowLongW(control, GWL_STYLE);
    if (_wcsicmp(kind.c_str(), L"Static") == 0) {
        if ((style & SS_TYPEMASK) == SS_ICON) {
            const auto shown = icon_pixels(reinterpret_cast<HICON>(SendMessageW(control, STM_GETICON, 0, 0)));
            const struct {
                const wchar_t* name;
                int id;
            } system_icons[] = {{L"error", 32513}, {L"question", 32514}, {L"warning", 32515}, {L"information", 32516}};
            // Wine keeps an icon's image in the process that loaded it, so another process
            // cannot read it there; Windows shares icons between processes.
            std::wstring name = shown.empty() ? L"unreadable" : L"other";
            for (const auto& system_icon : system_icons) {
                if (!shown.empty() && shown == icon_pixels(LoadIconW(nullptr, MAKEINTRESOURCEW(system_icon.id)))) {
                    name = system_icon.name;
                }
            }
            say(L"icon " + name);
        } else if (!window_text(control).empty()) {
            say(L"text " + window_text(control));
        }
    } else if (_wcsicmp(kind.c_str(), L"Button") == 0 && (style & WS_VISIBLE)) {
        say(L"button " + std::to_wstring(GetDlgCtrlID(control)) + L" " + window_text(control));
    }
    return TRUE;
}

int watch_box(const std::wstring& caption, DWORD limit_ms) {
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < limit_ms) {
        const HWND box = FindWindowW(L"#32770", caption.c_str());
        // The box is complete once its OK button exists and it is shown.
        if (box != nullptr && GetDlgItem(box, IDOK) != nullptr && IsWindowVisible(box)) {
            say(L"caption " + window_text(box));
            say(L"owner " + std::to_wstring(GetWindow(box, GW_OWNER) != nullptr ? 1 : 0));
            DWORD process = 0;
            GetWindowThreadProcessId(box, &process);
            say(L"process " + std::to_wstring(process));
            EnumChildWindows(box, describe_control, 0);
            PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                         reinterpret_cast<LPARAM>(GetDlgItem(box, IDOK)));
            say(L"closed");
            return 0;
        }
        Sleep(50);
    }
    say(L"no box");
    return 1;
}

// ---- mutex -------------------------------------------------------------------------

int look_at_mutex(const std::wstring& name) {
    const HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, name.c_str());
    if (mutex == nullptr) {
        say(L"absent");
        return 0;
    }
    switch (WaitForSingleObject(mutex, 0)) {
        case WAIT_TIMEOUT: say(L"owned"); break;
        case WAIT_ABANDONED: say(L"abandoned"); ReleaseMutex(mutex); break;
        case WAIT_OBJECT_0: say(L"free"); ReleaseMutex(mutex); break;
        default: say(L"failed " + std::to_wstring(GetLastError())); break;
    }
    CloseHandle(mutex);
    return 0;
}

// ---- end ---------------------------------------------------------------------------

int end_process(DWORD pid) {
    const HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
    const bool ended = process != nullptr && TerminateProcess(process, 255) &&
                       WaitForSingleObject(process, kEndLimitMs) == WAIT_OBJECT_0;
    if (process != nullptr) CloseHandle(process);
    say(ended ? L"ended" : L"not ended");
    return ended ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring mode = argc > 1 ? argv[1] : L"";
    if (mode == L"run") return run(argc, argv);
    if (mode == L"windows" && argc == 2) return host_windows();
    if (mode == L"box" && argc == 4) return watch_box(argv[2], static_cast<DWORD>(_wtoi(argv[3])));
    if (mode == L"mutex" && argc == 3) return look_at_mutex(argv[2]);
    if (mode == L"end" && argc == 3) return end_process(static_cast<DWORD>(_wtoi(argv[2])));
    say(L"usage: win_probe run|windows|box|mutex|end ...");
    return 2;
}
