// Where the single-instance server lives on Linux: a socket file in the user's
// private runtime folder, never under a predictable name in the shared
// temporary folder, where another user could listen first.
#include "vyr/desk_guard/instance_channel.hpp"
#include "vyr/runtime_folder.hpp"

namespace vyr::desk_guard {

QStringList server_addresses(const QString& server_name) {
    QStringList addresses;
    for (const std::string& folder : vyr::runtime_folder::meeting_folders_of_this_process())
        addresses.append(QString::fromLocal8Bit(folder.data(), static_cast<int>(folder.size())) + '/' +
                         server_name);
    return addresses;
}

}  // namespace vyr::desk_guard
