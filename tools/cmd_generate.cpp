// kestrel generate: the bash completion script and the man page's subcommand sections, both
// made from the command definitions themselves so that they cannot drift from them.
#include <cstdio>

#include "tools/cli.h"

namespace cli {

namespace {

// Options whose value is text (paths, sockets, names) rather than a number or a choice:
// completed with file names.
bool takes_path(const CLI::Option& opt)
{
    return opt.get_type_size_max() > 0 && opt.get_type_name().rfind("TEXT", 0) == 0;
}

std::vector<const CLI::App*> subcommands(const CLI::App& app)
{
    return app.get_subcommands([](const CLI::App*) { return true; });
}

std::string joined_option_names(const CLI::App& app, bool (*pick)(const CLI::Option&))
{
    std::string words;
    for (const CLI::Option* opt : app.get_options()) {
        if (!pick(*opt))
            continue;
        for (const std::string& l : opt->get_lnames()) {
            // Appended piece by piece: a string prefixed in one expression sets off a false
            // -Wrestrict warning in GCC 12 at -O3.
            if (!words.empty())
                words += ' ';
            words += "--";
            words += l;
        }
    }
    return words;
}

std::string bash_completion(const CLI::App& app)
{
    std::string subs;
    for (const CLI::App* s : subcommands(app)) {
        if (!subs.empty())
            subs += ' ';
        subs += s->get_name();
    }
    // The top level's options; those but --help and --version also go after a subcommand.
    const std::string top = joined_option_names(app, [](const CLI::Option&) { return true; });
    const std::string global = joined_option_names(app, [](const CLI::Option& o) {
        return !o.check_lname("help") && !o.check_lname("version");
    });
    std::string out =
        "# bash completion for kestrel, made by `kestrel generate bash-completion`\n"
        "_kestrel() {\n"
        "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} sub= i\n"
        "    for ((i = 1; i < COMP_CWORD; i++)); do\n"
        "        case ${COMP_WORDS[i]} in -*) ;; *) sub=${COMP_WORDS[i]}; break ;; esac\n"
        "    done\n"
        "    if [[ -z $sub ]]; then\n"
        "        COMPREPLY=($(compgen -W '" + subs + " " + top + "' -- \"$cur\"))\n"
        "        return\n"
        "    fi\n"
        "    local opts= paths=\n"
        "    case $sub in\n";
    for (const CLI::App* s : subcommands(app)) {
        // `kestrel help` takes a subcommand's name.
        const std::string words = s->get_name() == "help"
                                      ? subs
                                      : joined_option_names(*s, [](const CLI::Option&) { return true; }) + " " + global;
        out += "    ";
        out += s->get_name();
        out += ")\n";
        out += "        opts='" + words + "'\n";
        out += "        paths='" + joined_option_names(*s, takes_path) + "' ;;\n";
    }
    out += "    esac\n"
           "    if [[ -n $prev && \" $paths \" == *\" $prev \"* ]]; then\n"
           "        COMPREPLY=($(compgen -f -- \"$cur\"))\n"
           "        return\n"
           "    fi\n"
           "    COMPREPLY=($(compgen -W \"$opts\" -- \"$cur\"))\n"
           "}\n"
           "complete -o filenames -F _kestrel kestrel\n";
    return out;
}

// A help2man include file: one section per subcommand with its whole help.
std::string man_sections(const CLI::App& app)
{
    std::string out = "[SUBCOMMANDS]\n";
    for (const CLI::App* s : subcommands(app)) {
        out += ".SS \"kestrel " + s->get_name() + "\"\n.nf\n";
        std::string help = s->help();
        for (char c : help)
            out += c == '\\' ? std::string("\\e") : std::string(1, c);
        out += ".fi\n";
    }
    out += "[ENVIRONMENT]\n.TP\n.B KESTREL_REPOSITORY\nThe repository of every subcommand that takes --repo, "
           "when --repo is not given.\n";
    return out;
}

} // namespace

void register_generate(CLI::App& app, Commands& commands)
{
    CLI::App* gen = app.add_subcommand("generate", "print the bash completion script or the man page's "
                                                   "subcommand sections, made from these definitions");
    auto what = std::make_shared<std::string>();
    gen->add_option("what", *what, "bash-completion or man-sections")
        ->required()
        ->check(CLI::IsMember({"bash-completion", "man-sections"}));
    commands.add(gen, [&app, what] {
        printf("%s", (*what == "bash-completion" ? bash_completion(app) : man_sections(app)).c_str());
        return kExitOk;
    });
}

} // namespace cli
