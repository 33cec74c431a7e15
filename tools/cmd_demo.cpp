// kestrel demo: the main job. Backs up a disk image with an ext4 and an ext2 file system
// while writers change files, restores every backup and proves it (see tools/demo/demo_run.h).
#include <cstdio>
#include <unistd.h>

#include "tools/cli.h"
#include "tools/demo/demo_run.h"

namespace cli {

namespace {

struct DemoCommandOptions {
    bool json = false;
    std::string keep;
};

int run_demo_command(const DemoCommandOptions& opt)
{
    jobs::DemoOptions d;
    d.keep_dir = opt.keep;
    const bool tty = isatty(STDERR_FILENO);
    jobs::DemoReport r = jobs::run_demo(d, [&](const std::string& step) {
        if (!opt.json && tty && !quiet())
            fprintf(stderr, "... %s\n", step.c_str());
    });
    if (opt.json) {
        nlohmann::json j = jobs::to_json(r);
        if (!opt.keep.empty())
            j["kept"] = r.dir;
        print_json(j);
    } else {
        if (!quiet() || !r.ok())  // quiet: the checks are said only when one failed
            printf("%s", jobs::describe(r).c_str());
        if (!opt.keep.empty() && !r.dir.empty())
            printf("the disk image, the repository (%s) and the restored images are in %s\n", r.repo.c_str(),
                   r.dir.c_str());
    }
    if (!r.error.empty())
        fprintf(stderr, "kestrel: %s\n", r.error.c_str());
    return r.ok() ? kExitOk : kExitFailed;
}

} // namespace

void register_demo(CLI::App& app, Commands& commands)
{
    auto opt = std::make_shared<DemoCommandOptions>();
    CLI::App* demo = app.add_subcommand(
        "demo", "the main job: make a disk image with ext4 and ext2, back both up (full, then incremental) while "
                "writers change files, restore every backup and check it with e2fsck and file by file against "
                "the disk at the snapshot; exit 0 only when every check passes");
    demo->add_flag("--json", opt->json, "print the report as JSON on stdout");
    demo->add_option("--keep", opt->keep, "keep the image, the repository and the restores in DIR (new or empty)");
    commands.add(demo, [opt] { return run_demo_command(*opt); });
}

} // namespace cli
