// The lock validator. Every lock belongs to a class (see struct lockdep_map); each time a
// task takes a lock, the classes it already holds are recorded as taken before the new one.
// An acquisition whose class is already held (without its own subclass), or whose class
// was recorded as taken, directly or through other classes, before one the task holds,
// could deadlock against another task, whether or not it ever does in this run: it is
// reported as a kernel bug with both orders. So is a class taken in the interrupt context
// that is also taken with interrupts on: the interrupt can arrive while the lock is held
// on the same CPU and spin for ever.
#include "sim/internal.h"

#include <algorithm>
#include <sstream>

using sim::current_task;

namespace sim {

namespace {

std::string task_name(const Task* t)
{
    std::ostringstream s;
    s << (t->comm[0] ? t->comm : "task") << "/" << t->pid;
    return s.str();
}

std::string default_name(const void* lock)
{
    std::ostringstream s;
    s << "lock@" << lock;
    return s.str();
}

// An initialisation site's name with its file's path cut to the last two components.
std::string short_site(const std::string& name)
{
    size_t at = name.find(" at ");
    if (at == std::string::npos)
        return name;
    std::string path = name.substr(at + 4);
    size_t last = path.rfind('/');
    if (last != std::string::npos && last > 0) {
        size_t before = path.rfind('/', last - 1);
        if (before != std::string::npos)
            path = path.substr(before + 1);
    }
    return name.substr(0, at + 4) + path;
}

// The class of a lock, created on first sight. v.mu held.
int class_of(LockValidator& v, const void* lock, const struct lockdep_map* map, int subclass)
{
    const void* key = map->key ? static_cast<const void*>(map->key) : lock;
    auto [it, fresh] = v.ids.try_emplace({key, subclass}, static_cast<int>(v.classes.size()));
    if (fresh) {
        LockValidator::Class c;
        c.name = map->name ? short_site(map->name) : default_name(lock);
        if (subclass) {
            c.name += '/';
            c.name += std::to_string(subclass);
        }
        v.classes.push_back(std::move(c));
    }
    return it->second;
}

// A path of recorded orders from one class to another, empty when there is none. v.mu held.
std::vector<int> path_between(const LockValidator& v, int from, int to)
{
    std::vector<int> parent(v.classes.size(), -1);
    std::vector<int> stack{from};
    parent[from] = from;
    while (!stack.empty()) {
        int c = stack.back();
        stack.pop_back();
        if (c == to) {
            std::vector<int> path{to};
            while (path.back() != from)
                path.push_back(parent[path.back()]);
            return {path.rbegin(), path.rend()};
        }
        for (int n : v.classes[c].after) {
            if (parent[n] < 0) {
                parent[n] = c;
                stack.push_back(n);
            }
        }
    }
    return {};
}

std::string describe(const LockValidator& v, const std::vector<int>& path)
{
    std::string s;
    for (size_t i = 0; i < path.size(); i++)
        s += (i ? " -> " : "") + v.classes[path[i]].name;
    return s;
}

} // namespace

void validate_acquire(const void* lock, const struct lockdep_map* map, int subclass, bool trylock)
{
    Task* t = current_task();
    LockValidator& v = K().lockdep;
    std::vector<std::string> bugs;
    {
        std::lock_guard<std::mutex> g(v.mu);
        int cls = class_of(v, lock, map, subclass);
        LockValidator::Class& c = v.classes[cls];
        if (t->inIrq) {
            if (c.inIrqAt.empty())
                c.inIrqAt = task_name(t);
        } else if (!t->irqsOff) {
            if (c.irqsOnAt.empty())
                c.irqsOnAt = task_name(t);
        }
        if (!c.inIrqAt.empty() && !c.irqsOnAt.empty() && !c.irqReported) {
            c.irqReported = true;
            bugs.push_back("inconsistent lock state: " + c.name + " is taken in the interrupt context (" +
                           c.inIrqAt + ") and with interrupts on (" + c.irqsOnAt + ")");
        }
        if (!trylock) {
            for (const LockValidator::Held& h : v.held[t]) {
                if (h.cls == cls) {
                    if (v.reported.insert({cls, cls}).second)
                        bugs.push_back("possible recursive locking: " + task_name(t) + " takes " + c.name +
                                       " while it holds a lock of the same class");
                    continue;
                }
                if (v.edges.count(LockValidator::edge(h.cls, cls)))
                    continue;
                std::vector<int> back = path_between(v, cls, h.cls);
                if (!back.empty()) {
                    if (v.reported.insert({h.cls, cls}).second)
                        bugs.push_back("possible circular locking dependency: " + task_name(t) + " takes " +
                                       c.name + " while it holds " + v.classes[h.cls].name +
                                       ", and the opposite order was recorded before: " + describe(v, back));
                    continue;
                }
                v.edges.insert(LockValidator::edge(h.cls, cls));
                v.classes[h.cls].after.push_back(cls);
            }
        }
        v.waiting.push_back({lock, t, cls});
    }
    for (const std::string& b : bugs)
        K().report_bug(b);
}

void validate_acquired(const void* lock, const struct lockdep_map* map, int subclass)
{
    Task* t = current_task();
    LockValidator& v = K().lockdep;
    std::lock_guard<std::mutex> g(v.mu);
    int cls = -1;
    for (auto it = v.waiting.begin(); it != v.waiting.end(); ++it) {
        if (it->lock == lock && it->task == t) {
            cls = it->cls;
            v.waiting.erase(it);
            break;
        }
    }
    if (cls < 0)
        cls = class_of(v, lock, map, subclass);
    v.held[t].push_back({lock, cls});
}

void validate_release(const void* lock)
{
    const Task* t = current_task();
    LockValidator& v = K().lockdep;
    std::lock_guard<std::mutex> g(v.mu);
    auto drop = [&](std::vector<LockValidator::Held>& held) {
        for (auto it = held.rbegin(); it != held.rend(); ++it) {
            if (it->lock == lock) {
                held.erase(std::next(it).base());
                return true;
            }
        }
        return false;
    };
    auto mine = v.held.find(t);
    if (mine != v.held.end() && drop(mine->second))
        return;
    // A semaphore or read-write semaphore given back by another task than the one that took it.
    for (auto& [task, held] : v.held)
        if (drop(held))
            return;
}

bool lock_contended(const void* lock)
{
    LockValidator& v = K().lockdep;
    std::lock_guard<std::mutex> g(v.mu);
    return std::any_of(v.waiting.begin(), v.waiting.end(), [lock](const LockValidator::Waiting& w) { return w.lock == lock; });
}

} // namespace sim

void lockdep_set_class_and_name(struct lockdep_map* map, const struct lock_class_key* key, const char* name)
{
    map->key = key;
    map->name = name;
}
