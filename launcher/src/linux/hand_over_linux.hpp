// Handing a second start over to the running monitor: its desktop helper
// answers on a local socket in the user's private runtime folder and brings
// its main window back, also when that window is hidden and so unknown to the
// window manager.
#pragma once

#include <string>

namespace vyr::launcher::linux_layer {

// The socket of the running monitor's single-instance server for this process's
// user and environment; empty when there is no private runtime folder.
std::string monitor_server_path();

// Connects to the local socket at `path` and writes the activation message,
// waiting at most `wait_ms` for the connection and for the write. True when the
// whole message went out.
bool send_activation(const std::string& path, int wait_ms);

}  // namespace vyr::launcher::linux_layer
