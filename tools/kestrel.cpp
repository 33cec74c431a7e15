// The kestrel command: boots a simulated machine, loads the module and drives it as a
// backup agent would.
//
// Exit codes: 0 success, 1 the operation failed, 2 bad usage.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "agent/control.h"
#include "agent/sim_transport.h"
#include "module/kestrel.h"
#include "sim/machine.h"
#include "sim/process.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

struct Options {
    std::string command;
    bool json = false;
    bool quiet = false;
};

void usage(FILE* out)
{
    fprintf(out,
            "usage: kestrel [options] <command>\n"
            "\n"
            "Block-level backups of mounted file systems, run on a simulated machine.\n"
            "\n"
            "commands:\n"
            "  version     load the module, ask it for its version, print the kernel log\n"
            "\n"
            "options:\n"
            "  --json      print a JSON summary instead of text\n"
            "  --quiet     leave out the kernel log\n"
            "  -h, --help  show this help\n");
}

std::string json_escape(const std::string& s)
{
    std::string out;
    for (char c : s) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char buf[8];
                snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += c;
            }
        }
    }
    return out;
}

int run_version(const Options& opt)
{
    sim::Machine machine;
    int rc = machine.insmod(THIS_MODULE);
    agent::Version v;
    int status = rc;
    if (rc == 0) {
        sim::Process& proc = machine.spawn("kestrel");
        agent::SimTransport transport(proc);
        agent::ControlDevice dev(transport);
        status = dev.open();
        if (status == 0)
            status = dev.version(v);
        dev.close();
        proc.exit();
        machine.rmmod("kestrel");
    }
    if (opt.json) {
        printf("{\"ok\": %s, \"status\": %d, \"version\": \"%u.%u\", \"kernel\": \"%s\", \"log\": [",
               status == 0 ? "true" : "false", status, v.major, v.minor,
               json_escape(machine.kernel_release()).c_str());
        bool first = true;
        for (const sim::LogLine& l : machine.dmesg()) {
            printf("%s{\"level\": %d, \"text\": \"%s\"}", first ? "" : ", ", l.level,
                   json_escape(l.text).c_str());
            first = false;
        }
        printf("]}\n");
    } else {
        if (status == 0)
            printf("kestrel module version %u.%u on kernel %s\n", v.major, v.minor,
                   machine.kernel_release().c_str());
        else
            fprintf(stderr, "kestrel: could not query the module (status %d)\n", status);
        if (!opt.quiet) {
            printf("\nkernel log:\n%s", machine.dmesg_text().c_str());
        }
    }
    return status == 0 ? kExitOk : kExitFailed;
}

} // namespace

int main(int argc, char** argv)
{
    Options opt;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "-h" || a == "--help") {
            usage(stdout);
            return kExitOk;
        } else if (a == "--json") {
            opt.json = true;
        } else if (a == "--quiet") {
            opt.quiet = true;
        } else if (!a.empty() && a[0] == '-') {
            fprintf(stderr, "kestrel: unknown option %s\n", a.c_str());
            usage(stderr);
            return kExitUsage;
        } else if (opt.command.empty()) {
            opt.command = a;
        } else {
            fprintf(stderr, "kestrel: unexpected argument %s\n", a.c_str());
            return kExitUsage;
        }
    }
    if (opt.command.empty()) {
        usage(stderr);
        return kExitUsage;
    }
    if (opt.command == "version")
        return run_version(opt);
    fprintf(stderr, "kestrel: unknown command %s\n", opt.command.c_str());
    usage(stderr);
    return kExitUsage;
}
