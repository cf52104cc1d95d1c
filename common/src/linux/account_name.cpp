#include <pwd.h>
#include <cerrno>
#include <unistd.h>

#include <vector>

#include "vyr/instance_name.hpp"

namespace vyr::instance_name {

std::optional<std::string> account_name() {
    std::vector<char> buffer(1024);
    for (;;) {
        struct passwd entry {};
        struct passwd* found = nullptr;
        const int rc = getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found);
        if (rc == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (rc != 0 || found == nullptr) return std::nullopt;
        return std::string(entry.pw_name);
    }
}

}  // namespace vyr::instance_name
