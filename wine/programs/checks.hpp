// A small test runner for the Win32 test programs (the cross tools have no test
// framework): named cases, checks that report the failing expression and go on, and an
// exit code that is 0 only when every check of every case held.
#pragma once

#include <windows.h>

#include <cstdio>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "wide_text.hpp"

namespace checks {

using wide_text::utf8;
using wide_text::wide;

inline int& failures() {
    static int count = 0;
    return count;
}

inline void note(bool ok, const char* expression, const std::string& detail, const char* file, int line) {
    if (ok) return;
    ++failures();
    std::printf("  failed at %s:%d: %s%s%s\n", file, line, expression, detail.empty() ? "" : " -- ",
                detail.c_str());
    std::fflush(stdout);
}

template <class A, class B>
std::string both(const A& a, const B& b) {
    std::ostringstream out;
    out << a << " != " << b;
    return out.str();
}

struct Case {
    const char* name;
    std::function<void()> body;
};

// Runs the cases named on the command line, or every case when none is named.
inline int run(const std::vector<Case>& cases, int argc, wchar_t** argv) {
    for (const Case& c : cases) {
        bool wanted = argc < 2;
        for (int i = 1; i < argc; ++i) {
            const std::string name(c.name);
            wanted = wanted || std::wstring(name.begin(), name.end()) == argv[i];
        }
        if (!wanted) continue;
        const int before = failures();
        std::printf("[ RUN  ] %s\n", c.name);
        std::fflush(stdout);
        c.body();
        std::printf("[ %s ] %s\n", failures() == before ? " OK " : "FAIL", c.name);
        std::fflush(stdout);
    }
    return failures() == 0 ? 0 : 1;
}

// The whole file, or nothing when it cannot be opened.
inline std::optional<std::string> read_file(const std::wstring& path) {
    FILE* f = _wfopen(path.c_str(), L"rb");
    if (!f) return std::nullopt;
    std::string text;
    char buffer[256];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
    fclose(f);
    return text;
}

inline void write_file(const std::wstring& path, const std::string& text) {
    FILE* f = _wfopen(path.c_str(), L"wb");
    if (!f) return;
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
}

// A new, empty folder under VYR_TEST_TMP (the test's own scratch folder), or under the
// system's temporary folder when that is not set.
inline std::wstring new_folder(const wchar_t* prefix) {
    wchar_t base[MAX_PATH + 1] = {};
    if (GetEnvironmentVariableW(L"VYR_TEST_TMP", base, MAX_PATH) == 0) GetTempPathW(MAX_PATH + 1, base);
    std::wstring root = base;
    if (!root.empty() && root.back() != L'\\') root += L'\\';
    for (unsigned n = GetTickCount() ^ GetCurrentProcessId();; ++n) {
        const std::wstring folder = root + prefix + std::to_wstring(n);
        if (CreateDirectoryW(folder.c_str(), nullptr)) return folder;
        if (GetLastError() != ERROR_ALREADY_EXISTS) return {};
    }
}

}  // namespace checks

#define CHECK(expression) ::checks::note(static_cast<bool>(expression), #expression, "", __FILE__, __LINE__)
#define CHECK_EQ(a, b) \
    ::checks::note((a) == (b), #a " == " #b, ::checks::both((a), (b)), __FILE__, __LINE__)
