// What the inspector asks of the metrics engine.
#pragma once

#include <string>
#include <vector>

#include "vyr/records.hpp"

namespace vyr::app {

struct TerminateResult {
    bool ok = false;
    std::string message;  // Turkish, UTF-8, shown as it stands
};

class MonitorEngine {
public:
    virtual ~MonitorEngine() = default;
    // Ends (force false) or kills (force true) the process. `expected_name` is
    // the process name seen when the user chose the row: a pid whose process
    // now has another name is not signalled. Failures of the termination come
    // back as ok false with their message; an error of the engine call itself
    // is thrown, and leaves the action for the handler of uncaught errors.
    virtual TerminateResult terminate_process(long long pid, bool force, const std::string& expected_name) = 0;
    // Starts the background measurement of the well-known folders, unless one
    // was started less than 45 seconds ago. Returns at once.
    virtual void trigger_folder_scan_async() = 0;
    // A copy of the last finished folder scan, largest first; empty before one finished.
    virtual std::vector<FolderUsageInfo> get_folder_usages() = 0;
};

}  // namespace vyr::app
