// Row records of the updater's database queries: the due run (UpdBasicInfo), a run that an
// emergency update cancels (CancelProcInfo) and one package of an update (PackageInfoData).
// Plain values; every id is -1 until a row fills it. Row ids are 64-bit, as SQLite's are.
#pragma once

#include <cstdint>
#include <string>

namespace zorupd {
namespace db {
namespace data {

struct UpdBasicInfo {
    virtual ~UpdBasicInfo() = default;

    // A due run was found.
    bool hasTarget() const { return command_info_id >= 1 && proc_info_id >= 1; }

    std::int64_t proc_info_id = -1;
    std::int64_t command_info_id = -1;
    int command_id = -1;  // command_info.upd_command_id read as an integer
    int command_type = -1;
};

struct CancelProcInfo {
    virtual ~CancelProcInfo() = default;

    std::int64_t id = -1;  // proc_info.id
    std::int64_t command_info_id = -1;
    int proc_status = -1;
};

struct PackageInfoData {
    virtual ~PackageInfoData() = default;

    std::int64_t id = -1;  // package_list.id
    std::int64_t command_info_id = -1;
    std::string package_filename;
    std::string package_name;
    std::string package_path;
    std::string old_package_filename;  // empty while unknown (NULL in the database)
};

}  // namespace data
}  // namespace db
}  // namespace zorupd
