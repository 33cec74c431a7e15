// What the kestrel command's subcommands share: their registration, exit codes, the
// progress bar and error reporting. Each subcommand (or group of them) lives in its own
// tools/cmd_*.cpp and adds itself through one register_* function.
//
//
// Errors: the command line alone turns failures into exit codes (kExit* below). A
// subcommand returns its code; repo::Error and the other libraries' errors it lets through
// reach report_error() through guarded(), which prints the one line (with the backup, file
// or device it names) and maps it to its code.
#pragma once

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "repo/repository.h"
#include "jobs/text.h"

namespace cli {

// Exit codes of every subcommand.
constexpr int kExitOk = 0;       // done
constexpr int kExitFailed = 1;   // the operation failed
constexpr int kExitUsage = 2;    // bad usage (unknown option, missing argument, ...)
constexpr int kExitDamage = 3;   // verification found damage (verify, restore, ls, extract)
constexpr int kExitLocked = 4;   // the repository is locked by another operation (try again later)

// The subcommands: each registers itself with the action run when it was chosen.
class Commands {
public:
    void add(CLI::App* sub, std::function<int()> run) { commands_.emplace_back(sub, std::move(run)); }
    // Runs the chosen subcommand; kExitUsage when none was chosen.
    int run(CLI::App& app) const;

private:
    std::vector<std::pair<CLI::App*, std::function<int()>>> commands_;
};

void register_backup(CLI::App& app, Commands& commands);   // backup, version
void register_demo(CLI::App& app, Commands& commands);     // demo
void register_restore(CLI::App& app, Commands& commands);  // restore, ls, extract
void register_repo(CLI::App& app, Commands& commands);     // init, list, verify, forget, gc
void register_stats(CLI::App& app, Commands& commands);    // stats
void register_serve(CLI::App& app, Commands& commands);    // serve
void register_generate(CLI::App& app, Commands& commands); // generate
void register_diff(CLI::App& app, Commands& commands);     // diff
void register_mount(CLI::App& app, Commands& commands);    // mount
void register_key(CLI::App& app, Commands& commands);      // key add, list, remove

// How much the command says, set by the global --quiet and --verbose: quiet keeps only
// errors and the output that is the command's answer (a listing, a table, JSON); verbose
// adds detail lines.
enum class Verbosity { Quiet, Normal, Verbose };
void set_verbosity(Verbosity v);
bool quiet();
bool verbose();
// Prints an informational line on stdout (printf-style) unless quiet.
void info(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Prints a detail line on stdout (printf-style) only when verbose.
void detail(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A progress bar on stderr, drawn only when stderr is a terminal, the output is not JSON
// and the command is not quiet: the share done, what is done of the whole (bytes when each unit's size is known,
// else units), the rate and the time left. Redraws at most every tenth of a second; clears
// its line when destroyed. With JSON output it prints instead one progress object per line
// on stdout each time the whole percentage done grows (so at most 101 of them, however
// fast or slow the work), and nothing on stderr.
class ProgressBar {
public:
    ProgressBar(std::string label, bool json);
    ~ProgressBar();
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;
    // Each unit counted by update() is `bytes` bytes (0: units are shown as counts).
    void set_unit_bytes(uint64_t bytes) { unit_bytes_ = bytes; }
    void update(uint64_t done, uint64_t total);
    repo::ProgressFn fn()
    {
        return [this](uint64_t done, uint64_t total) { update(done, total); };
    }

private:
    std::string label_;
    bool enabled_;
    bool json_;
    bool drawn_ = false;
    uint64_t json_percent_ = UINT64_MAX; // the percentage of the last progress line
    uint64_t unit_bytes_ = 0;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point last_{};
};

// A text table whose columns are as wide as their widest cell (counted in characters of
// UTF-8), two spaces apart; the columns named in `right` are aligned right.
class Table {
public:
    explicit Table(std::vector<std::string> header, std::vector<size_t> right = {})
        : right_(std::move(right))
    {
        rows_.push_back(std::move(header));
    }
    void add(std::vector<std::string> row) { rows_.push_back(std::move(row)); }
    // The header and every row, each line ending in a newline.
    std::string str() const;

private:
    std::vector<std::vector<std::string>> rows_;
    std::vector<size_t> right_;
};

// Prints the one-line error (and with `json` a JSON object on stdout) and returns the
// exit code for it: kExitDamage for damage, kExitLocked for a lock, kExitFailed otherwise.
int report_error(const repo::Error& e, bool json);

// Runs `f`, turning a repo::Error (or any other exception) into its report and exit code.
int guarded(bool json, const std::function<int()>& f);

// Prints the command's result `j` on stdout, on one line, as a "summary" object.
void print_json(const nlohmann::json& j);

using jobs::human_bytes;
using jobs::utc_time;
using jobs::local_time;

// The id of the backup `spec` names: "latest" (the newest snapshot `latest_of` selects), a whole id, or a
// prefix that begins exactly one listed id; anything else is returned as it is, for the
// operation to report. Throws repo::Error NotFound ("latest" of an empty repository) or
// Invalid (an ambiguous prefix, naming the ids it begins).
std::string resolve_backup(repo::Repository& r, const std::string& spec, const repo::BackupFilter& latest_of = {});

// The common options of the repository subcommands.
struct RepoOptions {
    std::string repo;
    bool json = false;
    std::string wait_lock = "0";   // how long to wait for the repository's lock
    std::string password_file;     // --password-file: where the repository's password is
};
void add_repo_options(CLI::App* sub, RepoOptions& opt);

// This machine's name for --host: its host name when that is a valid host name, else "".
std::string this_host();
// Validators of --host and --tag values.
CLI::Validator host_check();
CLI::Validator tag_check();
// Tags for a line of text: "a,b,c".
std::string join_tags(const std::vector<std::string>& tags);

// --host, --source and --tag: which backups a subcommand looks at.
struct FilterOptions {
    std::string host, source;
    std::vector<std::string> tags;  // each "a,b": a backup must carry all of one of them
    repo::BackupFilter filter() const;
};
void add_filter_options(CLI::App* sub, FilterOptions& opt, const std::string& what);

// "90", "90s", "5m", "2h", "1h30m", "500ms": a duration. Error::Invalid otherwise.
std::chrono::milliseconds parse_duration(const std::string& text);

// Opens the repository of `opt` with its lock options; the password of an encrypted one
// comes from --password-file, KESTREL_PASSWORD_FILE, KESTREL_PASSWORD or a prompt.
std::unique_ptr<repo::Repository> open_repo(const RepoOptions& opt);
// The password for a repository of `opt` from the same sources; `confirm`: a new one, typed
// twice on a terminal.
std::string repo_password(const RepoOptions& opt, bool confirm);
// Creates the repository of `opt`: encrypted under `password` (repo_password(opt, true)
// when none is given), or without encryption when `insecure` (the user's explicit choice).
// Returns the password it used ("" when not encrypted).
std::string create_repo(const RepoOptions& opt, repo::InitOptions init, bool insecure,
                        std::optional<std::string> password = std::nullopt);
// Applies the lock options of `opt` to an open repository.
void apply_lock_options(repo::Repository& r, const RepoOptions& opt);

} // namespace cli
