// The process's application user-model id, so the task bar groups the
// program's windows under its own icon. shell32's entry is looked up at run
// time; its result is not used.
#include <windows.h>

#include "vyr/desk_guard/screen_fit.hpp"

namespace vyr::desk_guard {

bool set_app_user_model_id(const QString& id) {
    using SetIdFn = HRESULT(WINAPI*)(PCWSTR);
    HMODULE shell32 = LoadLibraryW(L"shell32.dll");
    if (!shell32) return false;
    auto fn = reinterpret_cast<SetIdFn>(
        reinterpret_cast<void*>(GetProcAddress(shell32, "SetCurrentProcessExplicitAppUserModelID")));
    if (!fn) return false;
    const std::wstring text = id.toStdWString();
    fn(text.c_str());
    return true;
}

}  // namespace vyr::desk_guard
