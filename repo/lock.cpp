// Lock objects: taking, refreshing, judging staleness, releasing.
//
// Taking a lock writes the object first and looks for conflicting holders after: of two
// takers that race, the later writer always sees the earlier one's object (listing sees
// every finished save), so at least one of them backs off and never both go on.
#include "repo/lock.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <pwd.h>
#include <random>
#include <set>
#include <unistd.h>
#include <vector>

#include <nlohmann/json.hpp>

#include "repo/isolate.h"

namespace repo {

namespace {

constexpr const char* kLockDir = "locks";

int64_t now_of(const LockOptions& o)
{
    if (o.now)
        return o.now();
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

bool alive_of(const LockOptions& o, int64_t pid)
{
    if (o.alive)
        return o.alive(pid);
    if (pid <= 0 || pid > INT32_MAX)
        return false;
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

std::string this_host()
{
    char buf[256] = {};
    if (gethostname(buf, sizeof buf - 1))
        return "unknown";
    return buf;
}

std::string this_user()
{
    // The reentrant lookup: locks are taken from several threads at once, and getpwuid's
    // shared result could be overwritten under a reader.
    struct passwd pw;
    struct passwd* found = nullptr;
    std::vector<char> buf(16384);
    if (getpwuid_r(geteuid(), &pw, buf.data(), buf.size(), &found) == 0 && found)
        return pw.pw_name;
    return std::to_string(geteuid());
}

std::string random_hex(size_t bytes)
{
    static thread_local std::mt19937_64 rng{std::random_device{}() ^ (uint64_t(getpid()) << 32)};
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < bytes; i++) {
        unsigned v = static_cast<unsigned>(rng() & 0xff);
        out += digits[v >> 4];
        out += digits[v & 15];
    }
    return out;
}

// The lock objects this process holds or is taking. An object of this host and process
// that is not among them was left behind by a release that failed: stale.
std::mutex live_mu;
std::set<std::string>& live_names()
{
    static std::set<std::string> names; // guarded by live_mu
    return names;
}

void set_live(const std::string& name, bool live)
{
    std::lock_guard g(live_mu);
    if (live)
        live_names().insert(name);
    else
        live_names().erase(name);
}

bool is_live_here(const std::string& name)
{
    std::lock_guard g(live_mu);
    return live_names().count(name) != 0;
}

LockOptions filled(LockOptions o)
{
    if (o.host.empty())
        o.host = this_host();
    if (!o.pid)
        o.pid = getpid();
    return o;
}

std::string encode(const LockInfo& l)
{
    nlohmann::json j = {{"format", "kestrel-lock"}, {"version", 1},      {"exclusive", l.exclusive},
                        {"operation", l.operation},  {"host", l.host},    {"pid", l.pid},
                        {"user", l.user},            {"created", l.created}, {"refreshed", l.refreshed}};
    return j.dump() + "\n";
}

LockInfo decode(const std::string& name, const std::string& text)
{
    LockInfo l;
    l.name = name;
    try {
        nlohmann::json j = nlohmann::json::parse(text);
        if (!j.is_object() || j.value("format", "") != "kestrel-lock" || j.value("version", 0) != 1)
            throw std::runtime_error("not a lock");
        l.exclusive = j.at("exclusive").get<bool>();
        l.operation = j.at("operation").get<std::string>();
        l.host = j.at("host").get<std::string>();
        l.pid = j.at("pid").get<int64_t>();
        l.user = j.value("user", "");
        l.created = j.at("created").get<int64_t>();
        l.refreshed = j.at("refreshed").get<int64_t>();
    } catch (const std::exception&) {
        l = LockInfo{};
        l.name = name;
        l.readable = false;
        l.exclusive = true;
    }
    return l;
}

bool conflicts(bool exclusive, const LockInfo& other)
{
    return exclusive || other.exclusive;
}

std::string utc(int64_t t)
{
    time_t tt = static_cast<time_t>(t);
    struct tm tm;
    gmtime_r(&tt, &tm);
    char buf[32];
    strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S UTC", &tm);
    return buf;
}

// The live holders other than `self` that conflict with a lock of the given kind.
std::vector<LockInfo> live_conflicts(Backend& store, const LockOptions& o, bool exclusive, const std::string& self,
                                     bool remove_stale)
{
    std::vector<LockInfo> out;
    for (LockInfo& l : list_locks(store)) {
        if (l.name == self)
            continue;
        if (is_stale(l, o)) {
            if (remove_stale && l.readable) {
                try {
                    store.remove(l.name);
                } catch (const Error&) {
                    // Stale either way: it is ignored whether or not it goes now.
                }
            }
            continue;
        }
        if (conflicts(exclusive, l))
            out.push_back(std::move(l));
    }
    return out;
}

} // namespace

std::vector<LockInfo> list_locks(Backend& store)
{
    std::vector<LockInfo> out;
    for (const ObjectInfo& obj : store.list(kLockDir)) {
        std::string text;
        try {
            // A lock object is a few hundred bytes; anything far larger is not one.
            text = obj.size > 65536 ? std::string() : store.load(obj.name);
        } catch (const Error& e) {
            if (e.kind() == Error::Kind::NotFound)
                continue; // released meanwhile
            throw;
        }
        out.push_back(decode(obj.name, text));
    }
    std::sort(out.begin(), out.end(), [](const LockInfo& a, const LockInfo& b) { return a.name < b.name; });
    return out;
}

bool is_stale(const LockInfo& l, const LockOptions& opt)
{
    if (!l.readable)
        return false; // nothing tells its age: only `unlock` removes it
    LockOptions o = filled(opt);
    if (l.host == o.host && (l.pid == o.pid ? !is_live_here(l.name) : !alive_of(o, l.pid)))
        return true;
    // A refresh time in the future (another host's clock ahead) is not stale.
    return now_of(o) - l.refreshed > o.stale_after.count();
}

std::string describe(const LockInfo& l)
{
    if (!l.readable)
        return "an unreadable lock object (" + l.name + ")";
    std::string s = l.operation + " (pid " + std::to_string(l.pid) + " on host " + l.host;
    if (!l.user.empty())
        s += ", user " + l.user;
    return s + ") since " + utc(l.created);
}

RepoLock::RepoLock(Backend& store, LockInfo info, LockOptions opt)
    : store_(store), opt_(std::move(opt)), info_(std::move(info))
{
}

std::unique_ptr<RepoLock> RepoLock::acquire(Backend& store, LockMode mode, const std::string& operation,
                                            const LockOptions& options)
{
    LockOptions o = filled(options);
    const bool exclusive = mode == LockMode::Exclusive;
    LockInfo info;
    info.name = std::string(kLockDir) + "/" + random_hex(16);
    info.exclusive = exclusive;
    info.operation = operation;
    info.host = o.host;
    info.pid = o.pid;
    info.user = this_user();
    info.created = info.refreshed = now_of(o);

    const auto deadline = std::chrono::steady_clock::now() + o.wait;
    std::mt19937 jitter{std::random_device{}()};
    for (;;) {
        std::vector<LockInfo> others = live_conflicts(store, o, exclusive, info.name, exclusive);
        if (others.empty()) {
            set_live(info.name, true);
            try {
                store.save(info.name, encode(info));
                // Someone may have written theirs at the same time: look again now that
                // ours is visible. Either of two racing takers sees the other here.
                others = live_conflicts(store, o, exclusive, info.name, false);
            } catch (...) {
                try {
                    store.remove(info.name);
                } catch (...) {
                }
                set_live(info.name, false);
                throw;
            }
            if (others.empty()) {
                std::unique_ptr<RepoLock> lock(new RepoLock(store, std::move(info), o));
                if (o.refresh_thread) {
                    lock->thread_ = std::thread([l = lock.get()] { l->refresher(); });
                    // Returned only once the refresher waits: a process that forks next (a
                    // file-system reader's child) then forks beside a thread that holds no
                    // lock of the run-time's (its allocator's, say) the child would need.
                    std::unique_lock g(lock->mu_);
                    lock->parked_.wait(g, [&] { return lock->started_; });
                }
                return lock;
            }
            try {
                store.remove(info.name);
            } catch (...) {
                set_live(info.name, false);
                throw;
            }
            set_live(info.name, false);
        }
        auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) {
            const LockInfo& h = others.front();
            std::string msg = exclusive ? "the repository is in use by " + describe(h) + "; " + operation +
                                              " needs it alone"
                                        : "the repository is locked by " + describe(h);
            if (h.readable)
                msg += "; wait for it (--wait-lock), or if that process is gone, the lock goes stale at " +
                       utc(h.refreshed + o.stale_after.count()) + " (\"kestrel unlock\" removes stale locks)";
            else
                msg += "; \"kestrel unlock\" removes it";
            throw Error(Error::Kind::Locked, msg, store.location());
        }
        // Racing takers back off for different times, so one of them wins the next round.
        auto pause = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            o.poll * (std::uniform_int_distribution<int>(50, 150)(jitter)) / 100);
        std::this_thread::sleep_for(std::min(pause, left));
    }
}

RepoLock::~RepoLock()
{
    release();
}

void RepoLock::write()
{
    store_.save(info_.name, encode(info_));
}

void RepoLock::refresh()
{
    std::lock_guard g(mu_);
    if (released_)
        return;
    if (!store_.stat(info_.name))
        lost_ = true; // removed by someone, or judged stale and removed by a taker
    info_.refreshed = now_of(opt_);
    write();
    // A holder beside us that our lock should have kept out came in while our object was
    // missing. Looked at twice: a taker that raced us withdraws its object by itself.
    bool exclusive = info_.exclusive;
    if (!live_conflicts(store_, opt_, exclusive, info_.name, false).empty()) {
        std::this_thread::sleep_for(opt_.poll * 2);
        if (!live_conflicts(store_, opt_, exclusive, info_.name, false).empty())
            lost_ = true;
    }
}

bool RepoLock::intact()
{
    refresh();
    std::lock_guard g(mu_);
    return !lost_;
}

bool RepoLock::still_held()
{
    std::lock_guard g(mu_);
    if (!released_ && !store_.stat(info_.name))
        lost_ = true;
    return !lost_ && !released_;
}

void RepoLock::release()
{
    {
        std::lock_guard g(mu_);
        if (released_)
            return;
        released_ = true;
    }
    stop_.notify_all();
    if (thread_.joinable())
        thread_.join();
    try {
        store_.remove(info_.name);
    } catch (...) {
        // Left behind, it is stale at once on this host: no live holder claims it.
    }
    set_live(info_.name, false);
}

void RepoLock::refresher()
{
    std::unique_lock g(mu_);
    started_ = true;
    parked_.notify_all();
    while (!released_) {
        stop_.wait_for(g, opt_.refresh_every);
        if (released_)
            return;
        g.unlock();
        try {
            // Not while this process forks a child (see fork_gate()).
            std::shared_lock gate(fork_gate());
            refresh();
        } catch (...) {
            // Tried again next time; a lock that could not be refreshed for too long goes
            // stale, and refresh() finds it lost once it works again.
        }
        g.lock();
    }
}

std::vector<std::string> remove_locks(Backend& store, const LockOptions& opt, bool all)
{
    std::vector<std::string> removed;
    for (const LockInfo& l : list_locks(store)) {
        if (all || !l.readable || is_stale(l, opt)) {
            store.remove(l.name);
            removed.push_back(l.name);
        }
    }
    return removed;
}

} // namespace repo
