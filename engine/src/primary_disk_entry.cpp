#include "vyr/engine/engine.hpp"

namespace vyr::engine {

DiskPartitionInfo Engine::primary_disk_entry(const PrimaryDisk& disk) {
    constexpr double kGB = 1073741824.0;
    return DiskPartitionInfo{disk.device,
                             disk.mount == "/" ? "/" : "/ (Ana Disk)",
                             disk.fstype,
                             static_cast<double>(disk.usage.total) / kGB,
                             static_cast<double>(disk.usage.used) / kGB,
                             static_cast<double>(disk.usage.free) / kGB,
                             disk.usage.percent};
}

}  // namespace vyr::engine
