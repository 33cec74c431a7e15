#include "tools/usage.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "interface/kestrel_ioctl.h"

namespace cli {

namespace {

size_t edit_distance(std::string_view a, std::string_view b)
{
    // Optimal string alignment distance: insertions, deletions, substitutions and
    // transpositions of neighbours.
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); i++)
        d[i][0] = i;
    for (size_t j = 0; j <= b.size(); j++)
        d[0][j] = j;
    for (size_t i = 1; i <= a.size(); i++)
        for (size_t j = 1; j <= b.size(); j++) {
            size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    return d[a.size()][b.size()];
}

std::vector<std::string> subcommand_names(const CLI::App& app)
{
    std::vector<std::string> names;
    for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; }))
        names.push_back(sub->get_name());
    return names;
}

// Every long and short name of the options of `app` ("--repo", "-h").
std::vector<std::string> option_names(const CLI::App& app)
{
    std::vector<std::string> names;
    for (const CLI::Option* opt : app.get_options()) {
        for (const std::string& l : opt->get_lnames())
            names.push_back("--" + l);
        for (const std::string& s : opt->get_snames())
            names.push_back("-" + s);
    }
    return names;
}

std::string did_you_mean(const std::vector<std::string>& near)
{
    if (near.empty())
        return "";
    std::string s = "; did you mean " + near[0];
    for (size_t i = 1; i < near.size() && i < 3; i++)
        s += (i + 1 == near.size() || i == 2 ? " or " : ", ") + near[i];
    return s + "?";
}

int usage_error(const std::string& what, const std::string& help_for)
{
    fprintf(stderr, "kestrel: %s\nRun 'kestrel %s--help' for usage.\n", what.c_str(), help_for.c_str());
    return kExitUsage;
}

// Refuses an argument list naming an unknown subcommand or an option the chosen subcommand
// does not have, before the parser would complain about something else (such as a required
// option, which the unknown one may have been meant to be). Returns kExitOk when nothing
// is unknown.
int check_names(const CLI::App& app, int argc, char** argv)
{
    int i = 1;
    while (i < argc && argv[i][0] == '-')  // top-level options (--help, --version)
        i++;
    if (i >= argc)
        return kExitOk;
    const std::string name = argv[i];
    const CLI::App* sub = nullptr;
    for (const CLI::App* s : app.get_subcommands([](const CLI::App*) { return true; }))
        if (s->check_name(name))
            sub = s;
    if (!sub)
        return usage_error("unknown subcommand '" + name + "'" + did_you_mean(suggestions(name, subcommand_names(app))),
                           "");
    // A group of subcommands ("key add"): its options are those of the one named next.
    if (i + 1 < argc && !sub->get_subcommands([](const CLI::App*) { return true; }).empty()) {
        for (const CLI::App* s : sub->get_subcommands([](const CLI::App*) { return true; }))
            if (s->check_name(argv[i + 1]))
                sub = s;
        if (sub->get_name() != name)
            i++;
    }
    for (i++; i < argc; i++) {
        const std::string arg = argv[i];
        if (arg == "--")
            break;
        if (arg.size() < 2 || arg[0] != '-')
            continue;
        // "--name=value", "-n", or "-nVALUE" for a short option.
        const std::string opt_name = arg[1] == '-' ? arg.substr(0, arg.find('=')) : arg.substr(0, 2);
        const CLI::Option* opt = sub->get_option_no_throw(opt_name);
        if (!opt && (opt_name == "--quiet" || opt_name == "-q" || opt_name == "--verbose" || opt_name == "-v"))
            opt = app.get_option_no_throw(opt_name);  // global, allowed after the subcommand too
        if (!opt)
            return usage_error("unknown option '" + opt_name + "' for 'kestrel " + sub->get_name() + "'" +
                                   did_you_mean(suggestions(opt_name, option_names(*sub))),
                               sub->get_name() + " ");
        // An option that takes a value takes the next word, whatever it looks like.
        const bool inline_value = arg[1] == '-' ? arg.find('=') != std::string::npos : arg.size() > 2;
        if (opt->get_type_size_max() > 0 && !inline_value)
            i++;
    }
    return kExitOk;
}

// The help of the whole command (App::help() would show the chosen subcommand's).
std::string top_help(CLI::App& app)
{
    return app.get_formatter()->make_help(&app, app.get_name(), CLI::AppFormatMode::Normal);
}

} // namespace

std::vector<std::string> suggestions(const std::string& typed, const std::vector<std::string>& candidates)
{
    std::vector<std::pair<size_t, std::string>> near;
    const size_t limit = std::max<size_t>(1, typed.size() / 3);
    for (const std::string& c : candidates) {
        size_t d = edit_distance(typed, c);
        bool prefix = typed.size() >= 2 && c.compare(0, typed.size(), typed) == 0;
        if (d <= limit || prefix)
            near.emplace_back(prefix ? 0 : d, c);
    }
    std::stable_sort(near.begin(), near.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::string> out;
    for (auto& [d, c] : near)
        out.push_back(std::move(c));
    return out;
}

std::string version_line()
{
    const std::string version = std::to_string(kes::kesVersionMajor) + "." + std::to_string(kes::kesVersionMinor) +
                                "." + std::to_string(kes::kesVersionPatch);
    return "kestrel " + version + " (module " + version + " build " + std::to_string(KES_BUILD_NUMBER) +
           " for Linux " + KES_TARGET_KERNEL + ")";
}

void register_help(CLI::App& app, Commands& commands)
{
    app.set_version_flag("--version", version_line(), "print the version of kestrel and of its module, then exit");
    // Global, before or after the subcommand's name: a subcommand hands the options it
    // does not know to the top level.
    app.fallthrough();
    CLI::Option* quiet = app.add_flag_callback("-q,--quiet", [] { set_verbosity(Verbosity::Quiet); },
                                               "print only errors and the command's answer: no progress, no "
                                               "informational lines");
    CLI::Option* verbose = app.add_flag_callback("-v,--verbose", [] { set_verbosity(Verbosity::Verbose); },
                                                 "print extra detail lines");
    quiet->excludes(verbose);
    CLI::App* help = app.add_subcommand("help", "show the help of kestrel or of one subcommand");
    auto topic = std::make_shared<std::string>();
    help->add_option("subcommand", *topic, "the subcommand to explain");
    commands.add(help, [&app, topic] {
        if (topic->empty()) {
            printf("%s", top_help(app).c_str());
            return kExitOk;
        }
        for (const CLI::App* s : app.get_subcommands([](const CLI::App*) { return true; }))
            if (s->check_name(*topic)) {
                printf("%s", s->help().c_str());
                return kExitOk;
            }
        return usage_error("unknown subcommand '" + *topic + "'" +
                               did_you_mean(suggestions(*topic, subcommand_names(app))),
                           "");
    });
}

int parse_and_run(CLI::App& app, const Commands& commands, int argc, char** argv)
{
    if (argc < 2) {
        fprintf(stderr, "%s", top_help(app).c_str());
        return kExitUsage;
    }
    if (int code = check_names(app, argc, argv); code != kExitOk)
        return code;
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kExitUsage;
    }
    return commands.run(app);
}

} // namespace cli
