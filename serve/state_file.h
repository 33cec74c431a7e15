// The live machine's record of the last backup of each device, kept in a small file beside
// its control socket so that `kestrel status` still reports it after the server restarts.
//
// The file is JSON: {"format": 1, "devices": {"sda1": {"image": "/abs/disk.img",
// "last_backup": {...}, "running_since": 1765242100}}}; running_since marks a backup that
// had started and not yet ended when the file was written. It is replaced whole (written beside, synced, renamed), so a
// crash leaves the old record or the new one. Read back, it is treated as hostile: its
// size is bounded, every field is checked for type, and only the fields of a last-backup
// record are kept; a record is taken only for a device of the same name on the same image.
#pragma once

#include <map>
#include <string>

#include <nlohmann/json.hpp>

namespace serve {

// The largest state file read back; a larger one is damaged.
constexpr size_t kMaxStateFile = 256 * 1024;

struct DeviceRecord {
    std::string image;          // the device's image
    nlohmann::json last_backup; // its last backup record, or null
    int64_t running_since = 0;  // when a backup that has not ended started (0: none)
};

struct LastBackups {
    std::map<std::string, DeviceRecord> devices; // by device name
};

// Reads the record at path. A missing file is an empty record; a file that cannot be
// read or is damaged is an empty record too, with why in *problem.
LastBackups read_last_backups(const std::string& path, std::string* problem);

// Replaces the record at path; "" or what went wrong.
std::string write_last_backups(const std::string& path, const LastBackups& record);

// A last-backup record with only its known fields, each of the right type; null when
// in is not an object.
nlohmann::json clean_last_backup(const nlohmann::json& in);

} // namespace serve
