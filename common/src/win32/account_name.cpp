#include "vyr/instance_name.hpp"

namespace vyr::instance_name {

// Windows keeps no account database that the login-name rule reads: only the
// environment names the user there.
std::optional<std::string> account_name() { return std::nullopt; }

}  // namespace vyr::instance_name
