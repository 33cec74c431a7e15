#include "tools/cli.h"

#include "repo/password.h"

#include "jobs/json_out.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace cli {

int Commands::run(CLI::App& app) const
{
    for (const auto& [sub, run] : commands_)
        if (app.got_subcommand(sub))
            return run();
    fprintf(stderr, "%s", app.help().c_str());
    return kExitUsage;
}

namespace {
Verbosity g_verbosity = Verbosity::Normal;
}

void set_verbosity(Verbosity v) { g_verbosity = v; }
bool quiet() { return g_verbosity == Verbosity::Quiet; }
bool verbose() { return g_verbosity == Verbosity::Verbose; }

void info(const char* format, ...)
{
    if (quiet())
        return;
    va_list ap;
    va_start(ap, format);
    vprintf(format, ap);
    va_end(ap);
}

void detail(const char* format, ...)
{
    if (!verbose())
        return;
    va_list ap;
    va_start(ap, format);
    vprintf(format, ap);
    va_end(ap);
}

ProgressBar::ProgressBar(std::string label, bool json)
    : label_(std::move(label)), enabled_(!json && !quiet() && isatty(STDERR_FILENO)), json_(json)
{
}

ProgressBar::~ProgressBar()
{
    if (drawn_)
        fprintf(stderr, "\r\033[K");
}

void ProgressBar::update(uint64_t done, uint64_t total)
{
    if (!total)
        return;
    auto now = std::chrono::steady_clock::now();
    if (json_) {
        done = std::min(done, total);
        const uint64_t percent = done * 100 / total;
        // Only forward: a total that grows while the work runs does not move it back.
        if (json_percent_ != UINT64_MAX && percent <= json_percent_)
            return;
        json_percent_ = percent;
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(now - start_).count();
        printf("%s\n", jobs::json::line(jobs::json::progress(label_, done, total, unit_bytes_,
                                                                static_cast<uint64_t>(elapsed)))
                               .c_str());
        fflush(stdout);
        return;
    }
    if (!enabled_)
        return;
    if (drawn_ && done < total && now - last_ < std::chrono::milliseconds(100))
        return;
    last_ = now;
    drawn_ = true;
    done = std::min(done, total);
    constexpr int kWidth = 24;
    const int filled = static_cast<int>(done * kWidth / total);
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const double per_second = seconds > 0 ? static_cast<double>(done) / seconds : 0;
    std::string amount, speed;
    if (unit_bytes_) {
        amount = human_bytes(done * unit_bytes_) + " / " + human_bytes(total * unit_bytes_);
        speed = jobs::rate(per_second * static_cast<double>(unit_bytes_));
    } else {
        amount = std::to_string(done) + " / " + std::to_string(total);
        speed = std::to_string(static_cast<uint64_t>(per_second)) + "/s";
    }
    std::string eta = "--:--";
    if (per_second > 0 && done < total) {
        const uint64_t left = static_cast<uint64_t>(static_cast<double>(total - done) / per_second);
        char buf[32];
        snprintf(buf, sizeof buf, "%llu:%02llu", static_cast<unsigned long long>(left / 60),
                 static_cast<unsigned long long>(left % 60));
        eta = buf;
    } else if (done == total) {
        eta = "0:00";
    }
    fprintf(stderr, "\r\033[K%s [%s%s] %3d%%  %s  %s  ETA %s", label_.c_str(), std::string(filled, '#').c_str(),
            std::string(kWidth - filled, ' ').c_str(), static_cast<int>(done * 100 / total), amount.c_str(),
            speed.c_str(), eta.c_str());
    fflush(stderr);
}

namespace {
size_t display_width(const std::string& s)
{
    // Characters, not bytes: continuation bytes of UTF-8 take no column.
    return static_cast<size_t>(std::count_if(s.begin(), s.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}
} // namespace

std::string Table::str() const
{
    std::vector<size_t> width;
    for (const auto& row : rows_)
        for (size_t c = 0; c < row.size(); c++) {
            width.resize(std::max(width.size(), row.size()));
            width[c] = std::max(width[c], display_width(row[c]));
        }
    std::string out;
    for (const auto& row : rows_) {
        std::string line;
        for (size_t c = 0; c < row.size(); c++) {
            const std::string pad(width[c] - display_width(row[c]), ' ');
            const bool right = std::find(right_.begin(), right_.end(), c) != right_.end();
            line += (c ? "  " : "") + (right ? pad + row[c] : row[c] + (c + 1 < row.size() ? pad : ""));
        }
        line.erase(line.find_last_not_of(' ') + 1);
        out += line + "\n";
    }
    return out;
}

namespace {
const char* kind_name(repo::Error::Kind k)
{
    using K = repo::Error::Kind;
    switch (k) {
    case K::Io: return "io";
    case K::NoSpace: return "no-space";
    case K::NotFound: return "not-found";
    case K::Format: return "format";
    case K::Damaged: return "damaged";
    case K::Exists: return "exists";
    case K::Locked: return "locked";
    case K::Invalid: return "invalid";
    case K::Crashed: return "crashed";
    case K::WrongPassword: return "wrong-password";
    }
    return "unknown";
}
} // namespace

int report_error(const repo::Error& e, bool json)
{
    fprintf(stderr, "kestrel: %s\n", e.what());
    if (json)
        printf("%s\n", jobs::json::line(jobs::json::error(e.what(), kind_name(e.kind()), e.path())).c_str());
    if (e.kind() == repo::Error::Kind::Damaged)
        return kExitDamage;
    return e.kind() == repo::Error::Kind::Locked ? kExitLocked : kExitFailed;
}

int guarded(bool json, const std::function<int()>& f)
{
    try {
        return f();
    } catch (const repo::Error& e) {
        return report_error(e, json);
    } catch (const std::exception& e) {
        return report_error(repo::Error(repo::Error::Kind::Io, e.what()), json);
    }
}

void print_json(const nlohmann::json& j)
{
    printf("%s\n", jobs::json::line(jobs::json::summary(j)).c_str());
}

void add_repo_options(CLI::App* sub, RepoOptions& opt)
{
    CLI::Option* repo = sub->add_option("--repo", opt.repo, "the repository: a directory or s3:http://HOST:PORT/BUCKET/PREFIX (default: $KESTREL_REPOSITORY)");
    // Read here rather than through CLI11's envname, which fills the option of every
    // subcommand sharing `opt`, over a --repo given to the chosen one.
    if (const char* env = getenv("KESTREL_REPOSITORY"); env && *env)
        opt.repo = env;
    else
        repo->required();
    sub->add_flag("--json", opt.json, "print the result as JSON on stdout");
    sub->add_option("--password-file", opt.password_file,
                    "read the repository's password from FILE (else $KESTREL_PASSWORD_FILE, $KESTREL_PASSWORD or a "
                    "prompt on a terminal)");
    sub->add_option("--wait-lock", opt.wait_lock,
                    "how long to wait while another operation holds the repository's lock (e.g. 30s, 10m, 1h; "
                    "default 0: fail at once with exit code 4)")
        ->check([](const std::string& v) {
            try {
                parse_duration(v);
                return std::string();
            } catch (const repo::Error& e) {
                return e.message();
            }
        });
}

std::string this_host()
{
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0)
        return "";
    return repo::valid_host(name) ? name : "";
}

namespace {
// A validator that accepts what `valid` accepts and names the rule otherwise.
CLI::Validator name_check(bool (*valid)(const std::string&), const std::string& what, const std::string& rule,
                          const std::string& type)
{
    return CLI::Validator(
        [=](const std::string& v) { return valid(v) ? std::string() : "\"" + v + "\" is not " + what + " (" + rule + ")"; },
        type);
}
} // namespace

CLI::Validator host_check()
{
    return name_check(repo::valid_host, "a host name",
                      "1 to " + std::to_string(repo::kMaxHostBytes) + " letters, digits and .-_", "HOST");
}

CLI::Validator tag_check()
{
    return name_check(repo::valid_tag, "a tag", "1 to " + std::to_string(repo::kMaxTagBytes) + " letters, digits and ._-:@+=/",
                      "TAG");
}

std::string join_tags(const std::vector<std::string>& tags)
{
    std::string out;
    for (const std::string& t : tags)
        out += (out.empty() ? "" : ",") + t;
    return out;
}

namespace {
std::vector<std::string> split_tags(const std::string& list)
{
    std::vector<std::string> out;
    for (size_t at = 0; at <= list.size();) {
        const size_t comma = std::min(list.find(',', at), list.size());
        out.push_back(list.substr(at, comma - at));
        at = comma + 1;
    }
    return out;
}
} // namespace

repo::BackupFilter FilterOptions::filter() const
{
    repo::BackupFilter f;
    f.host = host;
    f.source = source;
    for (const std::string& all : tags)
        f.tags.push_back(split_tags(all));
    return f;
}

void add_filter_options(CLI::App* sub, FilterOptions& opt, const std::string& what)
{
    sub->add_option("--host", opt.host, what + " of this host only")->check(host_check());
    sub->add_option("--source", opt.source, what + " of this source only (as list shows it)");
    sub->add_option("--tag", opt.tags,
                    what + " carrying this tag only; \"a,b\" for both a and b; repeated, any of them")
        ->check(CLI::Validator(
            [](const std::string& v) {
                const std::vector<std::string> set = split_tags(v);
                return std::all_of(set.begin(), set.end(), repo::valid_tag)
                           ? std::string()
                           : "\"" + v + "\" is not a tag or comma-separated list of tags";
            },
            "TAG[,TAG...]"));
}

std::chrono::milliseconds parse_duration(const std::string& text)
{
    auto bad = [&] {
        return repo::Error(repo::Error::Kind::Invalid,
                           "\"" + text + "\" is not a duration (a number of seconds, or e.g. 500ms, 30s, 10m, 2h, 1h30m)");
    };
    if (text.empty())
        throw bad();
    std::chrono::milliseconds total{0};
    size_t i = 0;
    while (i < text.size()) {
        size_t j = i;
        uint64_t n = 0;
        while (j < text.size() && isdigit(static_cast<unsigned char>(text[j]))) {
            n = n * 10 + static_cast<uint64_t>(text[j] - '0');
            if (n > 10'000'000'000ull)
                throw bad();
            j++;
        }
        if (j == i)
            throw bad();
        size_t k = j;
        while (k < text.size() && isalpha(static_cast<unsigned char>(text[k])))
            k++;
        std::string unit = text.substr(j, k - j);
        uint64_t ms_per = unit == "ms" ? 1 : unit == "" || unit == "s" ? 1000 : unit == "m" ? 60'000 : unit == "h" ? 3'600'000 : 0;
        if (!ms_per || (unit.empty() && i != 0))
            throw bad();
        total += std::chrono::milliseconds(n * ms_per);
        i = k;
    }
    return total;
}

void apply_lock_options(repo::Repository& r, const RepoOptions& opt)
{
    repo::LockOptions lo;
    lo.wait = parse_duration(opt.wait_lock);
    r.set_lock_options(lo);
}

std::string repo_password(const RepoOptions& opt, bool confirm)
{
    repo::password::Request request;
    request.file = opt.password_file;
    request.confirm = confirm;
    request.prompt = confirm ? "new password for " + opt.repo + ": " : "password for " + opt.repo + ": ";
    return repo::password::get(request);
}

std::unique_ptr<repo::Repository> open_repo(const RepoOptions& opt)
{
    repo::OpenOptions oo;
    oo.password = [&opt] { return repo_password(opt, false); };
    auto r = repo::Repository::open(repo::Env::posix(), opt.repo, oo);
    apply_lock_options(*r, opt);
    return r;
}

std::string create_repo(const RepoOptions& opt, repo::InitOptions init, bool insecure,
                        std::optional<std::string> password)
{
    if (!insecure)
        init.password = password ? *password : repo_password(opt, true);
    repo::Repository::init(repo::Env::posix(), opt.repo, init);
    return init.password.value_or("");
}

std::string resolve_backup(repo::Repository& r, const std::string& spec, const repo::BackupFilter& latest_of)
{
    const std::vector<repo::Manifest> all = r.list();  // oldest first
    if (spec == "latest") {
        for (auto m = all.rbegin(); m != all.rend(); ++m)
            if (latest_of.matches(*m))
                return m->id;
        throw repo::Error(repo::Error::Kind::NotFound, all.empty() ? "the repository holds no backup"
                                                                   : "the repository holds no backup of that selection");
    }
    std::vector<std::string> matches;
    for (const repo::Manifest& m : all) {
        if (m.id == spec)
            return m.id;
        if (m.id.compare(0, spec.size(), spec) == 0)
            matches.push_back(m.id);
    }
    // No match: the operation itself names what is wrong (no such backup, or one whose
    // manifest is damaged and so not listed).
    if (matches.empty() || spec.empty())
        return spec;
    if (matches.size() == 1)
        return matches[0];
    std::string names;
    for (const std::string& id : matches)
        names += " " + id;
    throw repo::Error(repo::Error::Kind::Invalid,
                      "the backup id prefix " + spec + " is ambiguous: it begins" + names);
}

} // namespace cli
