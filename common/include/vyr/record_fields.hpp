// The fields of the records of records.hpp, each declared once: its name, its
// member and whether a builder may leave it out. The runtime's record types,
// the engine's record builder and the app's read-back all walk these tables,
// by name; nothing else lists a record's fields.
//
// A field's name is its member's own name (the table is written with
// VYR_RECORD_FIELD, which spells both from one word), and the rows follow
// the members' order in records.hpp, which is the records' published order.
// A field that a builder leaves out takes the value of a default-made record
// (records.hpp's member initialisers), a list field a new empty list.
#pragma once

#include <cstddef>
#include <iterator>
#include <string>
#include <variant>
#include <vector>

#include "vyr/records.hpp"

namespace vyr::record_fields {

// The member of record `R` that a field stands for; its C++ type decides
// the field's type in the runtime (double: float, long long: int,
// std::string: str, a vector: list).
template <typename R>
using Member = std::variant<double R::*, long long R::*, std::string R::*, std::vector<double> R::*,
                            std::vector<DiskPartitionInfo> R::*>;

enum class Presence {
    kRequired,  // every builder gives it
    kOptional,  // a builder may leave it out
};

template <typename R>
struct Field {
    const char* name;
    Member<R> member;
    Presence presence;
};

// The table of record `R`: `name` and `fields`, specialised below.
template <typename R>
struct Record;

}  // namespace vyr::record_fields

#define VYR_RECORD_FIELD(R, member, presence) \
    ::vyr::record_fields::Field<R> { #member, &R::member, ::vyr::record_fields::Presence::presence }

namespace vyr::record_fields {

template <>
struct Record<DiskPartitionInfo> {
    using R = DiskPartitionInfo;
    static constexpr const char* name = "DiskPartitionInfo";
    static constexpr Field<R> fields[] = {
        VYR_RECORD_FIELD(R, device, kRequired),    VYR_RECORD_FIELD(R, mountpoint, kRequired),
        VYR_RECORD_FIELD(R, fstype, kRequired),    VYR_RECORD_FIELD(R, total_gb, kRequired),
        VYR_RECORD_FIELD(R, used_gb, kRequired),   VYR_RECORD_FIELD(R, free_gb, kRequired),
        VYR_RECORD_FIELD(R, percent, kRequired),
    };
};

template <>
struct Record<FolderUsageInfo> {
    using R = FolderUsageInfo;
    static constexpr const char* name = "FolderUsageInfo";
    static constexpr Field<R> fields[] = {
        VYR_RECORD_FIELD(R, label, kRequired),
        VYR_RECORD_FIELD(R, path, kRequired),
        VYR_RECORD_FIELD(R, size_mb, kRequired),
        VYR_RECORD_FIELD(R, size_str, kRequired),
    };
};

template <>
struct Record<SystemMetricsSnapshot> {
    using R = SystemMetricsSnapshot;
    static constexpr const char* name = "SystemMetricsSnapshot";
    static constexpr Field<R> fields[] = {
        VYR_RECORD_FIELD(R, timestamp, kRequired),
        VYR_RECORD_FIELD(R, load_1m, kRequired),
        VYR_RECORD_FIELD(R, load_5m, kRequired),
        VYR_RECORD_FIELD(R, load_15m, kRequired),
        VYR_RECORD_FIELD(R, overall_workload_percent, kRequired),
        VYR_RECORD_FIELD(R, workload_label, kRequired),
        VYR_RECORD_FIELD(R, workload_color, kRequired),
        VYR_RECORD_FIELD(R, uptime_str, kRequired),
        VYR_RECORD_FIELD(R, cpu_percent, kRequired),
        VYR_RECORD_FIELD(R, cpu_per_core, kRequired),
        VYR_RECORD_FIELD(R, cpu_freq_mhz, kRequired),
        VYR_RECORD_FIELD(R, cpu_count_logical, kRequired),
        VYR_RECORD_FIELD(R, cpu_count_physical, kRequired),
        VYR_RECORD_FIELD(R, ram_percent, kRequired),
        VYR_RECORD_FIELD(R, ram_used_gb, kRequired),
        VYR_RECORD_FIELD(R, ram_total_gb, kRequired),
        VYR_RECORD_FIELD(R, ram_avail_gb, kRequired),
        VYR_RECORD_FIELD(R, ram_cached_gb, kRequired),
        VYR_RECORD_FIELD(R, disk_percent, kRequired),
        VYR_RECORD_FIELD(R, disk_used_gb, kRequired),
        VYR_RECORD_FIELD(R, disk_total_gb, kRequired),
        VYR_RECORD_FIELD(R, disk_free_gb, kRequired),
        VYR_RECORD_FIELD(R, disk_read_mb_s, kRequired),
        VYR_RECORD_FIELD(R, disk_write_mb_s, kRequired),
        VYR_RECORD_FIELD(R, disk_mount, kRequired),
        VYR_RECORD_FIELD(R, disk_device, kRequired),
        VYR_RECORD_FIELD(R, partitions, kOptional),
        VYR_RECORD_FIELD(R, swap_percent, kOptional),
        VYR_RECORD_FIELD(R, swap_used_gb, kOptional),
        VYR_RECORD_FIELD(R, swap_total_gb, kOptional),
        VYR_RECORD_FIELD(R, swap_free_gb, kOptional),
        VYR_RECORD_FIELD(R, swap_used_mb, kOptional),
        VYR_RECORD_FIELD(R, swap_total_mb, kOptional),
        VYR_RECORD_FIELD(R, swap_sin_mb, kOptional),
        VYR_RECORD_FIELD(R, swap_sout_mb, kOptional),
    };
};

template <>
struct Record<ProcessEntry> {
    using R = ProcessEntry;
    static constexpr const char* name = "ProcessEntry";
    static constexpr Field<R> fields[] = {
        VYR_RECORD_FIELD(R, pid, kRequired),
        VYR_RECORD_FIELD(R, name, kRequired),
        VYR_RECORD_FIELD(R, display_name, kRequired),
        VYR_RECORD_FIELD(R, username, kRequired),
        VYR_RECORD_FIELD(R, status, kRequired),
        VYR_RECORD_FIELD(R, cpu_percent, kRequired),
        VYR_RECORD_FIELD(R, ram_percent, kRequired),
        VYR_RECORD_FIELD(R, ram_mb, kRequired),
        VYR_RECORD_FIELD(R, swap_mb, kRequired),
        VYR_RECORD_FIELD(R, disk_rw_kb_s, kRequired),
        VYR_RECORD_FIELD(R, disk_total_mb, kRequired),
        VYR_RECORD_FIELD(R, workload_score, kRequired),
        VYR_RECORD_FIELD(R, process_count, kOptional),
        VYR_RECORD_FIELD(R, cmdline, kOptional),
    };
};

// Calls `fn` with a default-made Record<R> of each record, in the order in
// which the engine defines them: a partition, a folder, a snapshot, a process.
template <typename Fn>
void for_each_record(Fn&& fn) {
    fn(Record<DiskPartitionInfo>{});
    fn(Record<FolderUsageInfo>{});
    fn(Record<SystemMetricsSnapshot>{});
    fn(Record<ProcessEntry>{});
}

// The number of fields of record `R`.
template <typename R>
constexpr std::size_t field_count() {
    return std::size(Record<R>::fields);
}

}  // namespace vyr::record_fields
