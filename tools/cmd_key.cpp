// kestrel key add, list and remove: the passwords that open an encrypted repository.
#include <cstdio>

#include "repo/password.h"
#include "tools/cli.h"

namespace cli {

namespace {

// The key file `spec` names: a whole name or a prefix that begins exactly one.
std::string resolve_key(repo::Repository& r, const std::string& spec)
{
    std::vector<std::string> matches;
    for (const repo::keys::KeyInfo& k : r.list_keys()) {
        if (k.name == spec)
            return k.name;
        if (!spec.empty() && k.name.compare(0, spec.size(), spec) == 0)
            matches.push_back(k.name);
    }
    if (matches.size() == 1)
        return matches[0];
    if (matches.empty())
        throw repo::Error(repo::Error::Kind::NotFound, "no key " + spec, r.dir());
    throw repo::Error(repo::Error::Kind::Invalid, "the key name prefix " + spec + " is ambiguous");
}

int run_add(const RepoOptions& opt, const std::string& new_password_file)
{
    return guarded(opt.json, [&] {
        auto r = open_repo(opt);
        r->list_keys();  // refuses a repository that is not encrypted before asking anything
        repo::password::Request request;
        request.file = new_password_file;
        request.use_environment = false;  // that is the password of the key in use
        request.confirm = true;
        request.prompt = "new password: ";
        if (request.file.empty() && !isatty(request.terminal))
            throw repo::Error(repo::Error::Kind::Invalid,
                              "no new password: give --new-password-file, or run on a terminal");
        std::string name = r->add_key(repo::password::get(request));
        if (opt.json)
            print_json({{"ok", true}, {"repo", opt.repo}, {"key", name}});
        else
            info("added key %s\n", name.c_str());
        return kExitOk;
    });
}

int run_list(const RepoOptions& opt)
{
    return guarded(opt.json, [&] {
        auto r = open_repo(opt);
        const std::vector<repo::keys::KeyInfo> keys = r->list_keys();
        const std::string in_use = r->key_in_use();
        if (opt.json) {
            nlohmann::json list = nlohmann::json::array();
            for (const repo::keys::KeyInfo& k : keys) {
                nlohmann::json j = {{"name", k.name}, {"in_use", k.name == in_use}};
                if (k.error.empty()) {
                    j["created"] = k.created;
                    j["host"] = k.host;
                    j["user"] = k.user;
                } else {
                    j["error"] = k.error;
                }
                list.push_back(j);
            }
            print_json({{"ok", true}, {"repo", opt.repo}, {"keys", list}});
            return kExitOk;
        }
        Table t({"", "KEY", "CREATED", "HOST", "USER"});
        for (const repo::keys::KeyInfo& k : keys) {
            if (!k.error.empty())
                t.add({k.name == in_use ? "*" : "", k.name, "damaged: " + k.error, "", ""});
            else
                t.add({k.name == in_use ? "*" : "", k.name, k.created, repo::printable_name(k.host),
                       repo::printable_name(k.user)});
        }
        printf("%s", t.str().c_str());
        return kExitOk;
    });
}

int run_remove(const RepoOptions& opt, const std::string& spec)
{
    return guarded(opt.json, [&] {
        auto r = open_repo(opt);
        std::string name = resolve_key(*r, spec);
        r->remove_key(name);
        if (opt.json)
            print_json({{"ok", true}, {"repo", opt.repo}, {"removed", name}});
        else
            info("removed key %s\n", name.c_str());
        return kExitOk;
    });
}

} // namespace

void register_key(CLI::App& app, Commands& commands)
{
    auto opt = std::make_shared<RepoOptions>();
    CLI::App* key = app.add_subcommand("key", "manage the passwords of an encrypted repository");
    key->require_subcommand(1);

    CLI::App* add = key->add_subcommand("add", "add a password (a key file) that opens the repository");
    add_repo_options(add, *opt);
    auto new_file = std::make_shared<std::string>();
    add->add_option("--new-password-file", *new_file, "read the new password from FILE (else a prompt on a terminal)");

    CLI::App* list = key->add_subcommand("list", "list the key files; * marks the one whose password was given");
    add_repo_options(list, *opt);

    CLI::App* remove = key->add_subcommand("remove", "remove a key file (never the one in use, nor the last)");
    add_repo_options(remove, *opt);
    auto name = std::make_shared<std::string>();
    remove->add_option("KEY", *name, "the key's name, or a prefix that begins only it")->required();
    commands.add(key, [=] {
        if (key->got_subcommand(add))
            return run_add(*opt, *new_file);
        if (key->got_subcommand(list))
            return run_list(*opt);
        return run_remove(*opt, *name);
    });
}

} // namespace cli
