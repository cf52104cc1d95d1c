// The desktop helper's Windows files at work: the single-instance lock file on the C
// runtime's byte lock, and the process's application user-model id.
//
//   desk_guard_win32_test [CASE]...   runs the named cases, or all
//   desk_guard_win32_test --hold-lock PATH READY RELEASE
//       takes the lock file PATH, writes its process id into it, sets the event READY and
//       holds the lock until the event RELEASE is set (or five minutes passed)
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <shobjidl.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "checks.hpp"
#include "vyr/desk_guard/instance_channel.hpp"
#include "vyr/desk_guard/screen_fit.hpp"

namespace {

using vyr::desk_guard::LockAttempt;
using vyr::desk_guard::LockOutcome;
using vyr::desk_guard::lock_instance_file;
using checks::write_file;

// How long one process waits for the other: far above what a busy machine takes.
constexpr DWORD kProgramLimitMs = 5 * 60 * 1000;

const char* name_of(LockOutcome outcome) {
    switch (outcome) {
        case LockOutcome::Taken: return "Taken";
        case LockOutcome::HeldElsewhere: return "HeldElsewhere";
        case LockOutcome::Failed: return "Failed";
    }
    return "?";
}

// The whole file through the descriptor that holds its lock: on Windows a locked byte
// cannot be read through any other handle.
std::string content_through(int fd) {
    std::string text;
    char buffer[64];
    int n;
    _lseek(fd, 0, SEEK_SET);
    while ((n = _read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
    return text;
}

void only_contention_means_another_copy() {
    struct Case {
        int error;
        LockOutcome outcome;
    } cases[] = {
        {EACCES, LockOutcome::HeldElsewhere}, {EDEADLOCK, LockOutcome::Failed},
        {EBADF, LockOutcome::Failed},         {EINVAL, LockOutcome::Failed},
        {ENOLCK, LockOutcome::Failed},        {EINTR, LockOutcome::Failed},
        {0, LockOutcome::Failed},
    };
    for (const Case& c : cases) {
        CHECK_EQ(std::string(name_of(vyr::desk_guard::classify_lock_error(c.error))), name_of(c.outcome));
    }
}

void lock_file_taken_kept_and_refused() {
    const std::wstring folder = checks::new_folder(L"vyr_locks_");
    const std::wstring path = folder + L"\\vyr_single_T.lock";
    write_file(path, "an earlier owner");

    const LockAttempt first = lock_instance_file(path);
    CHECK_EQ(std::string(name_of(first.outcome)), "Taken");
    CHECK(first.fd >= 0);
    if (first.outcome != LockOutcome::Taken) return;
    // Opened without truncation and not handed to child processes.
    CHECK_EQ(content_through(first.fd), "an earlier owner");
    DWORD flags = 0;
    CHECK(GetHandleInformation(reinterpret_cast<HANDLE>(_get_osfhandle(first.fd)), &flags));
    CHECK_EQ(flags & HANDLE_FLAG_INHERIT, 0u);

    CHECK(vyr::desk_guard::write_owner_pid(first.fd, 4242));
    CHECK_EQ(content_through(first.fd), "4242");
    CHECK(vyr::desk_guard::write_owner_pid(first.fd, vyr::desk_guard::current_process_id()));
    CHECK_EQ(content_through(first.fd), std::to_string(GetCurrentProcessId()));

    // Asked again in the same process: the lock it holds.
    const LockAttempt again = lock_instance_file(path);
    CHECK_EQ(std::string(name_of(again.outcome)), "Taken");
    CHECK_EQ(again.fd, first.fd);

    // Byte 0 of another lock file held through another handle: contention.
    const std::wstring other = folder + L"\\vyr_single_U.lock";
    const HANDLE holder = CreateFileW(other.c_str(), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, 0, nullptr);
    CHECK(holder != INVALID_HANDLE_VALUE);
    OVERLAPPED at_zero{};
    CHECK(LockFileEx(holder, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at_zero));
    const LockAttempt refused = lock_instance_file(other);
    CHECK_EQ(std::string(name_of(refused.outcome)), "HeldElsewhere");
    CHECK_EQ(refused.fd, -1);
    CHECK_EQ(refused.error, EACCES);
    UnlockFileEx(holder, 0, 1, 0, &at_zero);
    CloseHandle(holder);
    const LockAttempt freed = lock_instance_file(other);
    CHECK_EQ(std::string(name_of(freed.outcome)), "Taken");
}

void lock_file_held_by_another_process() {
    const std::wstring folder = checks::new_folder(L"vyr_locks_");
    const std::wstring path = folder + L"\\vyr_single_MONITOR.lock";
    const std::wstring tag = std::to_wstring(GetCurrentProcessId());
    const std::wstring ready_name = L"Local\\vyr_lock_ready_" + tag;
    const std::wstring release_name = L"Local\\vyr_lock_release_" + tag;
    const HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, ready_name.c_str());
    const HANDLE release = CreateEventW(nullptr, TRUE, FALSE, release_name.c_str());

    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring line = L"\"" + std::wstring(self) + L"\" --hold-lock \"" + path + L"\" " + ready_name +
                        L" " + release_name;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child{};
    CHECK(CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &child));
    CHECK_EQ(WaitForSingleObject(ready, kProgramLimitMs), WAIT_OBJECT_0);

    const LockAttempt refused = lock_instance_file(path);
    CHECK_EQ(std::string(name_of(refused.outcome)), "HeldElsewhere");
    CHECK_EQ(refused.error, EACCES);

    SetEvent(release);
    CHECK_EQ(WaitForSingleObject(child.hProcess, kProgramLimitMs), WAIT_OBJECT_0);
    DWORD code = 1;
    GetExitCodeProcess(child.hProcess, &code);
    CHECK_EQ(code, 0u);
    const LockAttempt taken = lock_instance_file(path);
    CHECK_EQ(std::string(name_of(taken.outcome)), "Taken");
    if (taken.outcome == LockOutcome::Taken) {
        CHECK_EQ(content_through(taken.fd), std::to_string(child.dwProcessId));
    }
    CloseHandle(child.hProcess);
    CloseHandle(child.hThread);
    CloseHandle(ready);
    CloseHandle(release);
}

void lock_file_in_a_missing_folder_fails() {
    const std::wstring folder = checks::new_folder(L"vyr_locks_");
    const LockAttempt attempt = lock_instance_file(folder + L"\\missing\\vyr_single_T.lock");
    CHECK_EQ(std::string(name_of(attempt.outcome)), "Failed");
    CHECK_EQ(attempt.fd, -1);
    CHECK(attempt.error != 0);
}

// The id reaches shell32. Where the system can give it back, it must be the same text;
// Wine 8 keeps no id (its getter answers E_NOTIMPL), which this program says in a line
// of its own so that the caller can look for the id in Wine's trace instead.
void application_id_reaches_the_shell() {
    CHECK(vyr::desk_guard::set_app_user_model_id(QString("Korvane.Vyr.MONITOR")));
    using GetIdFn = HRESULT(WINAPI*)(PWSTR*);
    const HMODULE shell32 = LoadLibraryW(L"shell32.dll");
    auto get = reinterpret_cast<GetIdFn>(
        reinterpret_cast<void*>(GetProcAddress(shell32, "GetCurrentProcessExplicitAppUserModelID")));
    CHECK(get != nullptr);
    if (!get) return;
    PWSTR id = nullptr;
    const HRESULT result = get(&id);
    if (result == E_NOTIMPL) {
        std::printf("application id: not kept by this system\n");
        return;
    }
    CHECK(SUCCEEDED(result));
    CHECK_EQ(checks::utf8(id ? id : L""), "Korvane.Vyr.MONITOR");
    CoTaskMemFree(id);
}

int hold_lock(const std::wstring& path, const std::wstring& ready, const std::wstring& release) {
    const LockAttempt attempt = lock_instance_file(path);
    if (attempt.outcome != LockOutcome::Taken) return 2;
    vyr::desk_guard::write_owner_pid(attempt.fd, vyr::desk_guard::current_process_id());
    const HANDLE ready_event = OpenEventW(EVENT_MODIFY_STATE, FALSE, ready.c_str());
    const HANDLE release_event = OpenEventW(SYNCHRONIZE, FALSE, release.c_str());
    if (!ready_event || !release_event) return 3;
    SetEvent(ready_event);
    WaitForSingleObject(release_event, kProgramLimitMs);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 5 && std::wstring(argv[1]) == L"--hold-lock") return hold_lock(argv[2], argv[3], argv[4]);
    return checks::run({{"lock_errors", only_contention_means_another_copy},
                        {"lock_file", lock_file_taken_kept_and_refused},
                        {"lock_file_other_process", lock_file_held_by_another_process},
                        {"lock_file_missing_folder", lock_file_in_a_missing_folder_fails},
                        {"application_id", application_id_reaches_the_shell}},
                       argc, argv);
}
