// The kestrel command: block-level backups of mounted file systems on a simulated machine,
// and the repository that keeps them.
//
// Exit codes: 0 success, 1 the operation failed, 2 bad usage, 3 verification found damage,
// 4 the repository is locked by another operation (tools/cli.h).
#include "tools/cli.h"
#include "tools/usage.h"

int main(int argc, char** argv)
{
    CLI::App app{"kestrel: block-level backups of mounted file systems, run on a simulated machine,\n"
                 "kept in a repository of content-addressed chunks.\n"
                 "Exit codes: 0 ok, 1 failure, 2 usage, 3 verification found damage, 4 repository locked."};
    app.name("kestrel");
    app.require_subcommand(1);
    cli::Commands commands;
    cli::register_help(app, commands);
    cli::register_demo(app, commands);
    cli::register_backup(app, commands);
    cli::register_repo(app, commands);
    cli::register_key(app, commands);
    cli::register_stats(app, commands);
    cli::register_restore(app, commands);
    cli::register_diff(app, commands);
    cli::register_mount(app, commands);
    cli::register_serve(app, commands);
    cli::register_generate(app, commands);
    return cli::parse_and_run(app, commands, argc, argv);
}
