// Handing a second start over to the running monitor: its desktop helper
// answers on a local socket in the user's private runtime folder and brings
// its main window back, also when that window is hidden and so unknown to the
// window manager.
#pragma once

#include <string>
#include <vector>

namespace vyr::launcher::linux_layer {

// The sockets at which the running monitor's single-instance server may answer
// this process's user, in the order they are tried: one in each folder of
// vyr/runtime_folder.hpp's meeting_folders(); none when there is no such folder.
std::vector<std::string> monitor_server_paths();

// Connects to the local socket at `path` and writes the activation message,
// waiting at most `wait_ms` for the connection and for the write. True when the
// whole message went out.
bool send_activation(const std::string& path, int wait_ms);

}  // namespace vyr::launcher::linux_layer
