#include "platform_linux.hpp"
#include "vyr/launcher/launcher.hpp"

int main(int argc, char** argv) {
    vyr::launcher::LinuxPlatform platform(argc, argv);
    return vyr::launcher::run(platform);
}
