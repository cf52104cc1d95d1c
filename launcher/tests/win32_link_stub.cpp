// Stands in for the runtime part when the Windows launcher is linked without Python.
#include "vyr/launcher/launcher.hpp"

namespace vyr::launcher {

int run_application(Platform&) { return 0; }

}  // namespace vyr::launcher
