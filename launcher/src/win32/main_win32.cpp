#include <windows.h>

#include "platform_win32.hpp"
#include "vyr/launcher/launcher.hpp"

// The GUI entry point; the launcher reads the full command line itself.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    vyr::launcher::Win32Platform platform;
    return vyr::launcher::run(platform);
}
