// printk, the kernel log ring and the kernel's own debug checks.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <ctime>

#include <unistd.h>

#include "sim/cpu.h"
#include "sim/internal.h"

namespace sim {

void Kernel::report_bug(const std::string& what)
{
    {
        std::lock_guard<std::mutex> g(bugMu);
        bugs.push_back(what);
    }
    printk("<3>BUG: %s\n", what.c_str());
}

namespace {

// The local time as syslog writes it before a line: "Dec  9 01:02:03 ".
std::string log_stamp()
{
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    char buf[32];
    size_t n = strftime(buf, sizeof buf, "%b %e %H:%M:%S ", &tm);
    return std::string(buf, n);
}

} // namespace

} // namespace sim

using sim::K;
using sim::log_stamp;

int printk(const char* fmt, ...)
{
    char buf[1024];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    const char* text = buf;
    int level = 4;
    if (text[0] == '<' && text[1] >= '0' && text[1] <= '7' && text[2] == '>') {
        level = text[1] - '0';
        text += 3;
    }
    if (!sim::kernel_alive()) {
        fprintf(stderr, "<%d>%s", level, text);
        return n;
    }
    sim::Kernel& k = K();
    if (k.cfg.console)
        fprintf(stderr, "<%d>%s%s", level, text, (*text && text[strlen(text) - 1] == '\n') ? "" : "\n");
    std::lock_guard<std::mutex> g(k.logMu);
    k.log.push_back({level, text});
    if (k.cfg.log_keep && k.log.size() >= 2 * k.cfg.log_keep)
        k.log.erase(k.log.begin(), k.log.begin() + static_cast<long>(k.log.size() - k.cfg.log_keep));
    if (k.cfg.log_fd >= 0) {
        // One write per line keeps lines whole for a reader tailing the file.
        // Appended piece by piece: GCC 12 at -O3 reports a false -Wrestrict on the
        // "<" + std::string form.
        std::string line = k.cfg.log_timestamps ? log_stamp() : std::string();
        line += '<';
        line += std::to_string(level);
        line += '>';
        line += text;
        if (line.back() != '\n')
            line += '\n';
        for (size_t done = 0; done < line.size();) {
            ssize_t w = ::write(k.cfg.log_fd, line.data() + done, line.size() - done);
            if (w <= 0)
                break;
            done += static_cast<size_t>(w);
        }
    }
    return n;
}

void __kernel_bug(const char* file, int line)
{
    printk("<0>kernel BUG at %s:%d!\n", file, line);
    fprintf(stderr, "kernel BUG at %s:%d!\n", file, line);
    fflush(stderr);
    std::abort();
}

void might_sleep(void)
{
    sim::Task* t = sim::current_task();
    if (t->preempt > 0 || t->irqsOff || t->inIrq) {
        char what[160];
        snprintf(what, sizeof what,
                 "sleeping function called from invalid context (in_atomic=%d irqs_disabled=%d "
                 "in_interrupt=%d) in %s",
                 t->preempt, t->irqsOff ? 1 : 0, t->inIrq ? 1 : 0, t->comm);
        K().report_bug(what);
    }
    sim::irq_point();
}
