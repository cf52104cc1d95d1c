// Windows has no X11 library; the probe does nothing there.
#include "vyr/shell/display_probe.hpp"

namespace vyr::shell {

DisplayOpener* system_display_opener() { return nullptr; }

}  // namespace vyr::shell
