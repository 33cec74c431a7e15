#include "tools/cli.h"

#include <cstdio>
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

ProgressBar::ProgressBar(std::string label, bool json)
    : label_(std::move(label)), enabled_(!json && isatty(STDERR_FILENO))
{
}

ProgressBar::~ProgressBar()
{
    if (drawn_)
        fprintf(stderr, "\r\033[K");
}

void ProgressBar::update(uint64_t done, uint64_t total)
{
    if (!enabled_ || !total)
        return;
    auto now = std::chrono::steady_clock::now();
    if (drawn_ && done < total && now - last_ < std::chrono::milliseconds(100))
        return;
    last_ = now;
    drawn_ = true;
    constexpr int kWidth = 30;
    int filled = static_cast<int>(done * kWidth / total);
    fprintf(stderr, "\r%s [%s%s] %3d%%", label_.c_str(), std::string(filled, '#').c_str(),
            std::string(kWidth - filled, ' ').c_str(), static_cast<int>(done * 100 / total));
    fflush(stderr);
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
    }
    return "unknown";
}
} // namespace

int report_error(const repo::Error& e, bool json)
{
    fprintf(stderr, "kestrel: %s\n", e.what());
    if (json)
        print_json({{"ok", false}, {"error", e.what()}, {"kind", kind_name(e.kind())}, {"path", e.path()}});
    return e.kind() == repo::Error::Kind::Damaged ? kExitDamage : kExitFailed;
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
    printf("%s\n", j.dump(2).c_str());
}

void add_repo_options(CLI::App* sub, RepoOptions& opt)
{
    sub->add_option("--repo", opt.repo, "the repository directory")->required();
    sub->add_flag("--json", opt.json, "print the result as JSON on stdout");
}

} // namespace cli
