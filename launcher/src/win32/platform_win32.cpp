#include "platform_win32.hpp"

#include <shellapi.h>
#include <stdlib.h>
#include <wchar.h>

#include <string>
#include <vector>

namespace vyr::launcher {
namespace {

// Room for the window text: at most 511 characters are read, the terminating zero included.
constexpr int kWindowTextBuffer = 512;
constexpr int kTitleBuffer = 256;

// The EnumWindows callback: `param` points to the wide product title.
BOOL CALLBACK activate_existing_window(HWND window, LPARAM param) {
    const auto* title = reinterpret_cast<const wchar_t*>(param);
    wchar_t text[kWindowTextBuffer] = {};
    if (GetWindowTextW(window, text, kWindowTextBuffer - 1) <= 0) return TRUE;
    if (wcsstr(text, title) == nullptr) return TRUE;
    ShowWindow(window, IsIconic(window) ? SW_RESTORE : SW_SHOW);
    SetForegroundWindow(window);
    BringWindowToTop(window);
    return FALSE;
}

std::wstring from_utf8(const char* text) {
    const int size = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    if (size <= 0) return {};
    std::wstring out(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text, -1, out.data(), size);
    out.resize(static_cast<std::size_t>(size - 1));
    return out;
}

}  // namespace

const native_char* Win32Platform::command_line() { return GetCommandLineW(); }

LockOutcome Win32Platform::create_instance_lock(const native_string& name) {
    mutex_ = CreateMutexW(nullptr, TRUE, name.c_str());
    if (mutex_ == nullptr) return LockOutcome::Failed;
    return GetLastError() == ERROR_ALREADY_EXISTS ? LockOutcome::AlreadyExists
                                                  : LockOutcome::Created;
}

void Win32Platform::close_instance_lock() {
    if (mutex_ != nullptr) CloseHandle(mutex_);
    mutex_ = nullptr;
}

void Win32Platform::activate_existing_window(const char* utf8_title) {
    wchar_t title[kTitleBuffer] = {};
    if (MultiByteToWideChar(CP_UTF8, 0, utf8_title, -1, title, kTitleBuffer - 1) <= 0) return;
    EnumWindows(vyr::launcher::activate_existing_window, reinterpret_cast<LPARAM>(title));
}

native_string Win32Platform::program_path() {
    // MAX_PATH first; a longer path gets a larger buffer instead of being cut.
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) return {};
        if (n < buffer.size()) return native_string(buffer.data(), n);
        if (buffer.size() >= 32768) return native_string(buffer.data(), n);
        buffer.resize(buffer.size() * 2);
    }
}

void Win32Platform::set_current_folder(const native_string& folder) {
    SetCurrentDirectoryW(folder.c_str());
}

void Win32Platform::set_dll_folder(const native_string& folder) {
    SetDllDirectoryW(folder.c_str());
}

void Win32Platform::set_environment(const native_string& name, const native_string& value) {
    _wputenv_s(name.c_str(), value.c_str());
}

ArgumentVector Win32Platform::split_arguments() {
    ArgumentVector args;
    args.vector = CommandLineToArgvW(GetCommandLineW(), &args.count);
    if (args.vector == nullptr) args.count = 0;
    return args;
}

void Win32Platform::free_arguments(ArgumentVector& args) {
    if (args.vector != nullptr) LocalFree(args.vector);
    args = ArgumentVector{};
}

void Win32Platform::message_box(const char* utf8_caption, const char* utf8_text) {
    MessageBoxW(nullptr, from_utf8(utf8_text).c_str(), from_utf8(utf8_caption).c_str(),
                MB_ICONERROR | MB_OK);
}

}  // namespace vyr::launcher
