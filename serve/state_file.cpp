#include "serve/state_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace serve {

namespace {

std::string errno_text(int err) { return strerror(err); }

// The directory part of path ("." when it has none).
std::string parent_of(const std::string& path)
{
    auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

nlohmann::json clean_last_backup(const nlohmann::json& in)
{
    if (!in.is_object())
        return nullptr;
    nlohmann::json out = nlohmann::json::object();
    // Takes `key` (or, from a record written before the keys took the names of the other
    // JSON outputs, its earlier name `before`) when it passes `check`.
    auto keep = [&](const char* key, auto check, const char* before = nullptr) {
        auto it = in.find(key);
        if (it == in.end() && before)
            it = in.find(before);
        if (it != in.end() && check(*it))
            out[key] = *it;
    };
    auto text = [](const nlohmann::json& v) { return v.is_string() && v.get_ref<const std::string&>().size() <= 4096; };
    auto number = [](const nlohmann::json& v) { return v.is_number_integer(); };
    auto flag = [](const nlohmann::json& v) { return v.is_boolean(); };
    keep("end_time", number, "time");
    keep("start_time", number, "started");
    keep("backup_id", text, "id");
    keep("incremental", flag);
    keep("full_reason", text);
    keep("error", text);
    keep("result", [](const nlohmann::json& v) { return v == "ok" || v == "failed"; });
    // A record without its time or result says nothing a reader can use.
    if (!out.contains("end_time") || !out.contains("result"))
        return nullptr;
    return out;
}

LastBackups read_last_backups(const std::string& path, std::string* problem)
{
    LastBackups record;
    auto damaged = [&](const std::string& why) {
        if (problem)
            *problem = "ignored the state file " + path + ": " + why;
        return LastBackups{};
    };
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return errno == ENOENT ? record : damaged(errno_text(errno));
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0 ||
        static_cast<uint64_t>(st.st_size) > kMaxStateFile) {
        close(fd);
        return damaged("not a regular file of at most " + std::to_string(kMaxStateFile / 1024) + " KiB");
    }
    // One byte more than the bound tells a file that grew since the check.
    std::vector<char> text(kMaxStateFile + 1);
    size_t got = 0;
    while (got < text.size()) {
        ssize_t n = read(fd, text.data() + got, text.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            int err = errno;
            close(fd);
            return damaged(errno_text(err));
        }
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    close(fd);
    if (got > kMaxStateFile)
        return damaged("larger than " + std::to_string(kMaxStateFile / 1024) + " KiB");
    nlohmann::json j = nlohmann::json::parse(text.begin(), text.begin() + got, nullptr, false);
    if (j.is_discarded() || !j.is_object())
        return damaged("not a JSON object");
    if (j.value("format", nlohmann::json()) != 1)
        return damaged("an unknown format");
    auto devices = j.find("devices");
    if (devices == j.end() || !devices->is_object())
        return damaged("no devices");
    for (auto& [name, d] : devices->items()) {
        if (name.empty() || name.size() > 32 || !d.is_object())
            return damaged("a malformed device entry");
        auto image = d.find("image");
        if (image == d.end() || !image->is_string())
            return damaged("device " + name + " has no image");
        DeviceRecord r{image->get<std::string>(), nullptr, 0};
        if (auto last = d.find("last_backup"); last != d.end()) {
            r.last_backup = clean_last_backup(*last);
            if (r.last_backup.is_null())
                return damaged("device " + name + " has no usable last backup");
        }
        if (auto since = d.find("running_since"); since != d.end()) {
            if (!since->is_number_integer() || since->get<int64_t>() <= 0)
                return damaged("device " + name + " has a malformed running backup");
            r.running_since = since->get<int64_t>();
        }
        record.devices[name] = std::move(r);
    }
    return record;
}

std::string write_last_backups(const std::string& path, const LastBackups& record)
{
    nlohmann::json devices = nlohmann::json::object();
    for (const auto& [name, r] : record.devices) {
        nlohmann::json d = {{"image", r.image}};
        if (!r.last_backup.is_null())
            d["last_backup"] = r.last_backup;
        if (r.running_since > 0)
            d["running_since"] = r.running_since;
        devices[name] = d;
    }
    std::string text = nlohmann::json{{"format", 1}, {"devices", devices}}.dump(1) + "\n";
    std::string tmp = path + ".tmp";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return "cannot write " + tmp + ": " + errno_text(errno);
    int err = 0;
    for (size_t done = 0; done < text.size() && !err;) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno != EINTR)
            err = errno;
        else if (n == 0)
            err = EIO;
        else if (n > 0)
            done += static_cast<size_t>(n);
    }
    if (!err && fsync(fd) != 0)
        err = errno;
    close(fd);
    if (!err && rename(tmp.c_str(), path.c_str()) != 0)
        err = errno;
    if (err) {
        unlink(tmp.c_str());
        return "cannot write " + path + ": " + errno_text(err);
    }
    // The rename itself made durable.
    int dfd = open(parent_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        fsync(dfd);
        close(dfd);
    }
    return "";
}

} // namespace serve
