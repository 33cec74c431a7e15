// The JSON the kestrel command prints with --json: one vocabulary for every subcommand, so
// that one thing has one key everywhere (docs/json.md lists them). Every run prints JSON
// Lines on stdout: progress objects while long work runs, then exactly one result object.
// The objects that more than one subcommand prints are built here, and only here.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

#include "repo/repository.h"

namespace jobs::json {

// The keys several subcommands share.
inline constexpr const char* kType = "type";            // "progress", "summary" or "error"
inline constexpr const char* kOk = "ok";                // the command did what it was asked
inline constexpr const char* kBackupId = "backup_id";   // a backup's id
inline constexpr const char* kParentId = "parent_id";   // the backup an incremental builds on, or null
inline constexpr const char* kBlockBytes = "block_bytes"; // bytes per file-system block
inline constexpr const char* kFsBlocks = "fs_blocks";   // blocks of the whole file system
inline constexpr const char* kDurationMs = "duration_ms";

// `j` as the command's result: "type": "summary" added.
nlohmann::json summary(nlohmann::json j);

// A failed command's result: its message, the kind of failure and the file it concerns.
nlohmann::json error(const std::string& message, const std::string& kind, const std::string& path);

// One progress line of `operation`: `done` of `total` units, each `unit_bytes` bytes when
// that is known (0: not), after `elapsed_ms`.
nlohmann::json progress(const std::string& operation, uint64_t done, uint64_t total, uint64_t unit_bytes,
                        uint64_t elapsed_ms);

// What the repository counted of a backup: blocks written, chunks stored and reused.
nlohmann::json counts(const repo::BackupCounts& c);

// A backup as `list` shows it: its manifest in this vocabulary, without the secrets only
// the agent needs.
nlohmann::json backup(const repo::Manifest& m);

// `j` on one line, with bytes that are not UTF-8 (names from a backed-up file system)
// turned into U+FFFD rather than failing the whole output.
std::string line(const nlohmann::json& j);

} // namespace jobs::json
