// The few system services the launcher needs, behind one small interface.
// Linux and Windows each implement it in their own folder under src/.
#pragma once

#include <string>

namespace vyr::launcher {

// The system's own character type for paths, the command line and arguments.
#ifdef _WIN32
using native_char = wchar_t;
inline constexpr native_char kFolderSeparator = L'\\';
#else
using native_char = char;
inline constexpr native_char kFolderSeparator = '/';
#endif
using native_string = std::basic_string<native_char>;

// ASCII text in the system's own characters.
inline native_string widen_ascii(const char* text) {
    native_string out;
    for (; *text; ++text) out.push_back(static_cast<native_char>(static_cast<unsigned char>(*text)));
    return out;
}

enum class LockOutcome {
    Created,        // this copy is the first and holds the lock until it ends
    AlreadyExists,  // another running copy holds it
    Failed,         // the lock could not be made: run without single-instance protection
};

// An argument vector owned by the platform layer; `vector` is null when splitting failed.
struct ArgumentVector {
    int count = 0;
    native_char** vector = nullptr;
};

class Platform {
public:
    virtual ~Platform() = default;

    // The whole command line as one text, the program path included; null when there is none.
    virtual const native_char* command_line() = 0;

    // Creates the per-session single-instance lock named `name` and owns it on success.
    virtual LockOutcome create_instance_lock(const native_string& name) = 0;
    // Lets go of the lock handle after AlreadyExists.
    virtual void close_instance_lock() = 0;

    // Restores, raises and activates the first top-level window whose title contains
    // `utf8_title`; does nothing when there is none.
    virtual void activate_existing_window(const char* utf8_title) = 0;

    // The full path of the running executable.
    virtual native_string program_path() = 0;
    virtual void set_current_folder(const native_string& folder) = 0;
    virtual void set_dll_folder(const native_string& folder) = 0;
    virtual void set_environment(const native_string& name, const native_string& value) = 0;

    // The command line split into arguments, the program first.
    virtual ArgumentVector split_arguments() = 0;
    virtual void free_arguments(ArgumentVector& args) = 0;

    // A modal error message with an error icon and a single OK button.
    virtual void message_box(const char* utf8_caption, const char* utf8_text) = 0;
};

}  // namespace vyr::launcher
