// The name under which the running monitor answers a later copy: its local
// server "VYR_SINGLE_INSTANCE_" + application key + "_" + user tag. The
// desktop helper listens under it and the launcher hands over to it, so both
// take it from here.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vyr::instance_name {

inline constexpr char kServerNamePrefix[] = "VYR_SINGLE_INSTANCE_";

// The one message a later copy writes to the server.
inline constexpr char kActivationMessage[] = "ACTIVATE\n";

// The application key of the monitor's code "MONITOR": already upper-case
// ASCII letters, so the key rule leaves it as it is.
inline constexpr char kMonitorKey[] = "MONITOR";

// The user tag of a login name: each character outside ASCII letters, digits,
// "_" and "-" becomes one "_" (text is UTF-8; a byte that belongs to no valid
// character counts as one character, as the runtime decodes names); an empty
// name gives "user".
std::string user_tag_of(std::string_view login_name);

// The login name: the first non-empty value of LOGNAME, USER, LNAME and
// USERNAME, else the account database's name for the real user id; nothing
// when neither gives one.
std::optional<std::string> login_name();

// The tag of this process's login name, "user" when there is none.
std::string user_tag();

std::string server_name(std::string_view app_key, std::string_view user_tag);

// The account database's name for the real user id (platform code).
std::optional<std::string> account_name();

}  // namespace vyr::instance_name
