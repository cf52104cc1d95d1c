// python312.dll for the Windows launcher under Wine: a runtime of the tests' own that
// keeps the launcher's calls to the embedding API honest and plays the application.
//
// It behaves as CPython 3.12 on 64-bit Windows where the launcher can tell: `long` is 32
// bits wide, so PyLong_AsLong of a value outside [-2**31, 2**31 - 1] fails with an
// OverflowError; a value that is not an integer fails with a TypeError; PySys_GetObject
// of a missing attribute is null without an error.
//
// Steered by the environment of the process (the system's own block, which is what a
// runtime built on another C runtime library than the launcher's sees):
//   VYR_TEST_REPORT  file that receives, as UTF-8 "key=value" lines, what reached the
//                    runtime (command line, arguments, folders, the script) and the
//                    launcher's later calls (exit-code lookup, cleared errors, finalisation)
//   VYR_TEST_ACTION  what the application does once the bootstrap script runs:
//                    "return"          main() returns: the exit code attribute is 0
//                    "exit LITERAL"    sys.exit(LITERAL), turned into the attribute as the
//                                      bootstrap does (None -> 0, integers and booleans
//                                      kept, anything else -> 1)
//                    "set LITERAL"     the attribute is set to LITERAL as it is
//                    "del"             the attribute is removed
//                    "raise TEXT"      an exception leaves the application: attribute 1 and
//                                      Tovrin\startup_error.log under LOCALAPPDATA, or under
//                                      the working folder when that variable is not set
//                    "fail-script"     an exception leaves the bootstrap script itself
//                    "fail-init"       the runtime cannot be started
//                    "hold"            the application runs until VYR_TEST_STOP exists
//                    LITERAL is None, True, False, an integer of any size, a 'text' or a
//                    number with a decimal point.
#define VYR_TEST_RUNTIME_BUILD
#include <Python.h>
#include <windows.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "wide_text.hpp"

struct _object {
    enum class Kind { None, Bool, Int, Text, Float } kind = Kind::None;
    long long value = 0;
    bool beyond_64_bits = false;  // an integer too large for any fixed width
};

namespace {

using wide_text::utf8;
using wide_text::wide;

struct Runtime {
    bool initialized = false;
    bool config_cleared = false;  // PyConfig_Clear ran once the runtime was up
    int parse_argv = -1;
    std::vector<std::wstring> argv;
    bool has_exit_code = false;
    _object exit_code;
    _object* error = nullptr;  // the pending exception's type, null when none
    const char* error_name = nullptr;
};

Runtime g_runtime;
_object g_overflow_error;
_object g_type_error;

std::optional<std::wstring> environment(const wchar_t* name) {
    std::vector<wchar_t> buffer(256);
    for (;;) {
        SetLastError(ERROR_SUCCESS);
        const DWORD n = GetEnvironmentVariableW(name, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) {
            if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
            return std::wstring();
        }
        if (n < buffer.size()) return std::wstring(buffer.data(), n);
        buffer.resize(n);
    }
}

// One line per value: backslashes, carriage returns and line feeds are written escaped.
std::string escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\') out += "\\\\";
        else if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else out += c;
    }
    return out;
}

void report(const std::string& key, const std::string& value = "1") {
    const auto path = environment(L"VYR_TEST_REPORT");
    if (!path || path->empty()) return;
    FILE* f = _wfopen(path->c_str(), L"ab");
    if (!f) return;
    const std::string line = key + "=" + escaped(value) + "\n";
    fwrite(line.data(), 1, line.size(), f);
    fclose(f);
}

std::string optional_text(const std::optional<std::wstring>& value) {
    return value ? utf8(*value) : std::string("<unset>");
}

std::wstring current_folder() {
    const DWORD n = GetCurrentDirectoryW(0, nullptr);
    std::wstring out(n, L'\0');
    const DWORD written = GetCurrentDirectoryW(n, out.data());
    out.resize(written);
    return out;
}

std::wstring dll_folder() {
    const DWORD n = GetDllDirectoryW(0, nullptr);
    if (n == 0) return {};
    std::wstring out(n, L'\0');
    const DWORD written = GetDllDirectoryW(n, out.data());
    out.resize(written);
    return out;
}

std::wstring module_path() {
    std::vector<wchar_t> buffer(32768);
    const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    return std::wstring(buffer.data(), n);
}

_object literal(const std::string& text) {
    _object value;
    if (text == "None") return value;
    if (text == "True" || text == "False") {
        value.kind = _object::Kind::Bool;
        value.value = text == "True";
    } else if (!text.empty() && text.front() == '\'') {
        value.kind = _object::Kind::Text;
    } else if (text.find('.') != std::string::npos) {
        value.kind = _object::Kind::Float;
    } else {
        value.kind = _object::Kind::Int;
        errno = 0;
        char* end = nullptr;
        value.value = std::strtoll(text.c_str(), &end, 10);
        value.beyond_64_bits = errno == ERANGE;
    }
    return value;
}

void set_exit_code(const _object& value) {
    g_runtime.exit_code = value;
    g_runtime.has_exit_code = true;
}

void set_exit_code(long long value) {
    _object number;
    number.kind = _object::Kind::Int;
    number.value = value;
    set_exit_code(number);
}

bool make_folders(const std::wstring& folder) {
    if (CreateDirectoryW(folder.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS) return true;
    const auto cut = folder.find_last_of(L"\\/");
    if (cut == std::wstring::npos || cut == 0) return false;
    if (!make_folders(folder.substr(0, cut))) return false;
    return CreateDirectoryW(folder.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

// What the bootstrap does with an exception from the application: the traceback text,
// line ends written as the system's, into Tovrin\startup_error.log.
void write_startup_log(const std::string& message) {
    const auto local = environment(L"LOCALAPPDATA");
    std::wstring base = local ? *local : current_folder();
    std::wstring folder = base;
    if (!folder.empty() && folder.back() != L'\\' && folder.back() != L'/') folder += L'\\';
    folder += L"Tovrin";
    if (!make_folders(folder)) return;
    FILE* f = _wfopen((folder + L"\\startup_error.log").c_str(), L"wb");
    if (!f) return;
    const std::string text = "Traceback (most recent call last):\r\n"
                             "  File \"app.py\", line 1, in main\r\n"
                             "RuntimeError: " + message + "\r\n";
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
}

void hold_until_stopped() {
    const auto stop = environment(L"VYR_TEST_STOP");
    if (!stop) return;
    // Half an hour at most: far beyond any test on a busy machine, and a copy left
    // behind still ends.
    const ULONGLONG end = GetTickCount64() + 30ULL * 60 * 1000;
    while (GetTickCount64() < end) {
        if (GetFileAttributesW(stop->c_str()) != INVALID_FILE_ATTRIBUTES) return;
        Sleep(50);
    }
}

// The application's turn inside the bootstrap script; returns the script's result.
int play_application() {
    const std::string action = utf8(environment(L"VYR_TEST_ACTION").value_or(L"return"));
    const auto space = action.find(' ');
    const std::string verb = action.substr(0, space);
    const std::string argument = space == std::string::npos ? std::string() : action.substr(space + 1);

    set_exit_code(0);
    if (verb == "return") {
    } else if (verb == "exit") {
        const _object code = literal(argument);
        switch (code.kind) {
            case _object::Kind::None: set_exit_code(0); break;
            case _object::Kind::Int:
            case _object::Kind::Bool: set_exit_code(code); break;
            default: set_exit_code(1); break;
        }
    } else if (verb == "set") {
        set_exit_code(literal(argument));
    } else if (verb == "del") {
        g_runtime.has_exit_code = false;
    } else if (verb == "raise") {
        set_exit_code(1);
        write_startup_log(argument);
    } else if (verb == "fail-script") {
        return -1;
    } else if (verb == "hold") {
        hold_until_stopped();
    } else {
        report("unknown_action", action);
        return -1;
    }
    return 0;
}

void raise_error(_object& type, const char* name) {
    g_runtime.error = &type;
    g_runtime.error_name = name;
}

}  // namespace

extern "C" {

void PyConfig_InitPythonConfig(PyConfig* config) {
    config->_config_init = 2;  // the regular configuration, as CPython numbers it
    config->parse_argv = 1;
    config->argv.length = 0;
    config->argv.items = nullptr;
}

PyStatus PyConfig_SetArgv(PyConfig* config, Py_ssize_t argc, wchar_t* const* argv) {
    PyConfig_Clear(config);
    config->argv.items = static_cast<wchar_t**>(std::calloc(static_cast<size_t>(argc) + 1, sizeof(wchar_t*)));
    for (Py_ssize_t i = 0; i < argc; ++i) config->argv.items[i] = _wcsdup(argv[i]);
    config->argv.length = argc;
    return PyStatus{};
}

PyStatus PyConfig_SetBytesArgv(PyConfig* config, Py_ssize_t argc, char* const* argv) {
    std::vector<std::wstring> texts;
    std::vector<wchar_t*> pointers;
    for (Py_ssize_t i = 0; i < argc; ++i) texts.push_back(wide(argv[i]));
    for (auto& text : texts) pointers.push_back(text.data());
    return PyConfig_SetArgv(config, argc, pointers.data());
}

void PyConfig_Clear(PyConfig* config) {
    for (Py_ssize_t i = 0; i < config->argv.length; ++i) std::free(config->argv.items[i]);
    std::free(config->argv.items);
    config->argv.items = nullptr;
    config->argv.length = 0;
    if (g_runtime.initialized) g_runtime.config_cleared = true;
}

PyStatus Py_InitializeFromConfig(const PyConfig* config) {
    g_runtime.parse_argv = config->parse_argv;
    g_runtime.argv.clear();
    for (Py_ssize_t i = 0; i < config->argv.length; ++i) g_runtime.argv.emplace_back(config->argv.items[i]);
    if (environment(L"VYR_TEST_ACTION").value_or(L"") == L"fail-init") {
        report("start_refused");
        PyStatus status{};
        status._type = PyStatus::_PyStatus_TYPE_ERROR;
        status.func = "Py_InitializeFromConfig";
        status.err_msg = "the test runtime was told not to start";
        return status;
    }
    g_runtime.initialized = true;
    return PyStatus{};
}

int PyStatus_Exception(PyStatus status) { return status._type != PyStatus::_PyStatus_TYPE_OK; }

int Py_IsInitialized(void) { return g_runtime.initialized ? 1 : 0; }

int PyRun_SimpleStringFlags(const char* command, PyCompilerFlags* flags) {
    report("command_line", utf8(GetCommandLineW()));
    for (const auto& argument : g_runtime.argv) report("argv", utf8(argument));
    report("parse_argv", std::to_string(g_runtime.parse_argv));
    report("config_cleared", g_runtime.config_cleared ? "1" : "0");
    report("compiler_flags", flags ? "given" : "none");
    report("cwd", utf8(current_folder()));
    report("PYTHONPATH", optional_text(environment(L"PYTHONPATH")));
    report("dll_directory", utf8(dll_folder()));
    report("module_path", utf8(module_path()));
    report("script", command);
    const int result = play_application();
    report("script_result", std::to_string(result));
    return result;
}

PyObject* PySys_GetObject(const char* name) {
    report("sys_lookup", name);
    if (std::strcmp(name, "_vyr_exit_code") != 0 || !g_runtime.has_exit_code) return nullptr;
    return &g_runtime.exit_code;
}

long PyLong_AsLong(PyObject* object) {
    switch (object->kind) {
        case _object::Kind::Bool:
            return static_cast<long>(object->value);
        case _object::Kind::Int:
            if (object->beyond_64_bits || object->value < LONG_MIN || object->value > LONG_MAX) {
                raise_error(g_overflow_error, "OverflowError");
                return -1;
            }
            return static_cast<long>(object->value);
        default:
            raise_error(g_type_error, "TypeError");
            return -1;
    }
}

PyObject* PyErr_Occurred(void) { return g_runtime.error; }

void PyErr_Clear(void) {
    if (g_runtime.error) report("error_cleared", g_runtime.error_name);
    g_runtime.error = nullptr;
    g_runtime.error_name = nullptr;
}

int Py_FinalizeEx(void) {
    report("finalized");
    g_runtime.initialized = false;
    return 0;
}

}  // extern "C"
