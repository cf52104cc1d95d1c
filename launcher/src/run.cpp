// The launcher from top to bottom.
#include "vyr/launcher/launcher.hpp"

namespace vyr::launcher {

int run(Platform& platform) {
    if (another_copy_runs(platform)) return 0;
    prepare_program_folder(platform);
    return run_application(platform);
}

}  // namespace vyr::launcher
