// Where the single-instance server lives on Linux: a socket file in the user's
// private runtime folder, never under a predictable name in the shared
// temporary folder, where another user could listen first.
#include "vyr/desk_guard/instance_channel.hpp"
#include "vyr/runtime_folder.hpp"

namespace vyr::desk_guard {

QString server_address(const QString& server_name) {
    const std::string folder = vyr::runtime_folder::private_folder_of_this_process();
    if (folder.empty()) return {};
    return QString::fromLocal8Bit(folder.data(), static_cast<int>(folder.size())) + '/' +
           server_name;
}

}  // namespace vyr::desk_guard
