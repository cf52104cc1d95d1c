// The desktop window manager composes every window on the Windows versions
// the program runs on: rounded translucent windows need no cut there.
#include "vyr/shell/window_shape.hpp"

namespace vyr::shell {

bool compositing_manager_running() { return true; }

}  // namespace vyr::shell
