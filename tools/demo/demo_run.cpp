#include "tools/demo/demo_run.h"

#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <thread>

#include "sim/fs.h"
#include "sim/machine.h"
#include "tools/demo/disk_image.h"
#include "machine/image_session.h"
#include "tools/demo/writers.h"
#include "machine/install.h"
#include "jobs/text.h"

namespace jobs {

namespace fs = std::filesystem;

bool DemoReport::ok() const
{
    if (!error.empty() || checks.empty())
        return false;
    for (const DemoCheck& c : checks)
        if (!c.ok)
            return false;
    return true;
}

namespace {

const char* kind_name(const PartitionBackup& b) { return b.result.incremental ? "incremental" : "full"; }

std::string backup_name(const demo::DemoDisk& d, const PartitionBackup& b)
{
    return d.file_systems[b.partition - 1].type + " " + kind_name(b) + " backup";
}

std::string make_work_dir(const std::string& keep)
{
    if (keep.empty()) {
        std::string tmpl = (fs::temp_directory_path() / "kestrel-demo-XXXXXX").string();
        if (!mkdtemp(tmpl.data()))
            throw std::runtime_error("cannot make a temporary directory in " + fs::temp_directory_path().string());
        return tmpl;
    }
    std::error_code ec;
    fs::create_directories(keep, ec);
    if (ec)
        throw std::runtime_error("cannot make " + keep + ": " + ec.message());
    if (!fs::is_empty(keep))
        throw std::runtime_error(keep + " is not empty; --keep needs a new or empty directory");
    return fs::absolute(keep).string();
}

// The files extracted under `root` that differ from the oracle's, or that only one side has.
std::vector<std::string> compare_extracted(const std::map<std::string, std::vector<uint8_t>>& want,
                                           const fs::path& root)
{
    std::vector<std::string> bad;
    size_t found = 0;
    for (const auto& e : fs::recursive_directory_iterator(root))
        if (e.is_regular_file()) {
            found++;
            std::string rel = "/" + fs::relative(e.path(), root).string();
            auto it = want.find(rel);
            if (it == want.end()) {
                bad.push_back(rel + " (not in the snapshot)");
                continue;
            }
            std::ifstream in(e.path(), std::ios::binary);
            std::vector<uint8_t> got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            if (got != it->second)
                bad.push_back(rel);
        }
    if (found < want.size())
        bad.push_back(std::to_string(want.size() - found) + " file(s) of the snapshot missing");
    return bad;
}

// Chunk positions at which two images of the same size differ.
uint64_t differing_chunks(const std::string& a, const std::string& b, uint32_t chunk_bytes)
{
    std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
    std::vector<char> ba(chunk_bytes), bb(chunk_bytes);
    uint64_t n = 0;
    while (fa && fb) {
        fa.read(ba.data(), chunk_bytes);
        fb.read(bb.data(), chunk_bytes);
        if (fa.gcount() != fb.gcount() || !std::equal(ba.begin(), ba.begin() + fa.gcount(), bb.begin()))
            n++;
        if (fa.gcount() < chunk_bytes)
            break;
    }
    return n;
}

std::string first_few(const std::vector<std::string>& v)
{
    std::string out;
    for (size_t i = 0; i < v.size() && i < 5; i++)
        out += (i ? ", " : "") + v[i];
    if (v.size() > 5)
        out += " and " + std::to_string(v.size() - 5) + " more";
    return out;
}

class Demo {
public:
    Demo(const DemoOptions& opt, DemoReport& rep, const std::function<void(const std::string&)>& say)
        : opt_(opt), rep_(rep), say_(say)
    {
    }

    void run()
    {
        rep_.dir = make_work_dir(opt_.keep_dir);
        step("making a disk image: ext4 (4096-byte blocks) and ext2 (1024-byte blocks) from " +
             std::to_string(opt_.files) + " files");
        disk_ = demo::make_demo_disk(rep_.dir, opt_.seed, opt_.files, opt_.ext4_bytes, opt_.ext2_bytes);
        rep_.repo = rep_.dir + "/repo";
        repo::Repository::init(repo::Env::posix(), rep_.repo);
        repo_ = repo::Repository::open(repo::Env::posix(), rep_.repo);
        back_up_under_writers();
        prove();
    }

private:
    void step(const std::string& s)
    {
        if (say_)
            say_(s);
    }

    void check(std::string what, bool ok, std::string detail = "")
    {
        rep_.checks.push_back({std::move(what), ok, std::move(detail)});
    }

    void back_up_under_writers()
    {
        std::vector<demo::FileInfo> files[2] = {demo::partition_files(disk_, 0), demo::partition_files(disk_, 1)};
        sim::Machine machine{install::machine_config()};
        step("booting the machine, mounting both partitions, loading the module");
        demo::ImageSession s(machine, disk_.image, {1, 2});
        std::unique_ptr<demo::FileWriters> writers[2];
        for (unsigned p = 0; p < 2; p++) {
            if (int err = sim::record_freezes(machine, s.device(p + 1)))
                throw std::runtime_error("cannot record the freezes of partition " + std::to_string(p + 1) +
                                         " (error " + std::to_string(err) + ")");
            writers[p] = std::make_unique<demo::FileWriters>(machine, s.device(p + 1), disk_.file_systems[p].block_size,
                                                             files[p], opt_.seed * 100 + p);
            writers[p]->start(opt_.writers);
        }
        step("writers are overwriting files on both file systems");
        uint64_t after_full[2] = {0, 0};
        for (int round = 0; round < 2; round++) {
            for (unsigned p = 0; p < 2; p++) {
                if (round == 1) {
                    // Let the writers change files between the two backups of the partition.
                    while (!writers[p]->targets().empty() && !writers[p]->error() &&
                           writers[p]->writes() < after_full[p] + opt_.writes_between)
                        std::this_thread::yield();
                }
                step(std::string(round ? "incremental" : "full") + " backup of partition " + std::to_string(p + 1) +
                     " (" + disk_.file_systems[p].type + ")");
                uint64_t before = writers[p]->writes();
                PartitionBackup b = back_up_partition(s, disk_.image, p + 1, *repo_, {});
                after_full[p] = writers[p]->writes();
                b.writes = after_full[p] - before;
                rep_.backups.push_back(std::move(b));
            }
        }
        for (unsigned p = 0; p < 2; p++) {
            writers[p]->stop();
            check("writers on partition " + std::to_string(p + 1) + " ran without an error", writers[p]->error() == 0,
                  std::to_string(writers[p]->writes()) + " writes" +
                      (writers[p]->error() ? ", error " + std::to_string(writers[p]->error()) : ""));
        }
        for (unsigned p = 0; p < 2; p++)
            records_[p] = sim::take_freeze_records(machine, s.device(p + 1));
        step("shutting the machine down");
        std::string problems = s.shutdown();
        check("the machine shut down cleanly (file systems unmounted, module unloaded, nothing leaked)",
              problems.empty(), problems);
    }

    void prove()
    {
        for (size_t i = 0; i < rep_.backups.size(); i++) {
            const PartitionBackup& b = rep_.backups[i];
            const std::string name = backup_name(disk_, b);
            const bool want_incremental = i >= 2;
            check("the " + name + " was committed" + (want_incremental ? " as an incremental" : ""),
                  b.committed() && b.result.incremental == want_incremental,
                  b.result.ok() ? b.result.full_reason : b.result.error);
            if (!b.committed())
                continue;
            const unsigned p = b.partition - 1;
            const size_t nth = want_incremental ? 1 : 0;
            if (records_[p].size() != 2) {
                check("the " + name + " has its snapshot recorded", false,
                      std::to_string(records_[p].size()) + " freezes recorded, 2 expected");
                continue;
            }
            step("restoring and checking the " + name);
            const std::string tag = "p" + std::to_string(b.partition) + "-" + kind_name(b);
            const std::string image = rep_.dir + "/restored-" + tag + ".img";
            repo_->restore(b.id, image);
            images_[p][nth] = image;
            demo::CheckResult fsck = demo::check_file_system(image);
            check("e2fsck -fn passes on the restored " + name, fsck.clean(),
                  fsck.clean() ? "" : "exit " + std::to_string(fsck.exit_code) + ": " + fsck.output.substr(0, 300));

            const uint32_t bs = disk_.file_systems[p].block_size;
            const std::vector<uint8_t>& rec = records_[p][nth];
            agent::ExtSource oracle(demo::memory_reader(rec, bs), bs, rec.size() / bs);
            if (!oracle.fs()) {
                check("every file of the " + name + " equals the file at its snapshot", false,
                      "the recorded snapshot holds no readable file system");
                continue;
            }
            auto want = demo::read_all_files(oracle.fs());
            const std::string out = rep_.dir + "/extracted-" + tag;
            fs::create_directory(out);
            repo_->extract(b.id, "/", out);
            std::vector<std::string> bad = compare_extracted(want, fs::path(out) / "root");
            check("every file extracted from the " + name + " equals the file at its snapshot", bad.empty(),
                  bad.empty() ? std::to_string(want.size()) + " files" : first_few(bad));
        }
        for (unsigned p = 0; p < 2; p++) {
            if (rep_.backups.size() < 4 || images_[p][0].empty() || images_[p][1].empty())
                continue;
            const PartitionBackup& inc = rep_.backups[2 + p];
            const std::string name = backup_name(disk_, inc);
            uint64_t changed = differing_chunks(images_[p][0], images_[p][1], repo_->chunk_bytes());
            check("the " + name + " stored only chunks that changed",
                  inc.counts.chunks_new <= changed && inc.result.delivered_blocks < inc.result.used_blocks,
                  std::to_string(inc.counts.chunks_new) + " chunks stored, " + std::to_string(changed) +
                      " changed since the full backup; " + std::to_string(inc.result.delivered_blocks) + " of " +
                      std::to_string(inc.result.used_blocks) + " used blocks read");
        }
        step("verifying the repository");
        repo::VerifyReport v = repo_->verify(std::nullopt);
        check("the repository verifies clean", v.clean(),
              std::to_string(v.chunks_checked) + " chunks of " + std::to_string(v.backups_checked) + " backups");
    }

    const DemoOptions& opt_;
    DemoReport& rep_;
    const std::function<void(const std::string&)>& say_;
    demo::DemoDisk disk_;
    std::unique_ptr<repo::Repository> repo_;
    std::vector<std::vector<unsigned char>> records_[2]; // per partition: the disk at each freeze
    std::string images_[2][2];                            // per partition: full, incremental restored
};

} // namespace

DemoReport run_demo(const DemoOptions& options, const std::function<void(const std::string&)>& say)
{
    DemoReport rep;
    try {
        Demo(options, rep, say).run();
    } catch (const std::exception& e) {
        rep.error = e.what();
    }
    if (options.keep_dir.empty() && !rep.dir.empty()) {
        std::error_code ec;
        fs::remove_all(rep.dir, ec);
    }
    return rep;
}

std::string describe(const DemoReport& r)
{
    std::string out;
    for (const PartitionBackup& b : r.backups)
        out += describe(b);
    out += "\nchecks:\n";
    size_t failed = 0;
    for (const DemoCheck& c : r.checks) {
        failed += !c.ok;
        out += std::string(c.ok ? "  PASS  " : "  FAIL  ") + c.what + (c.detail.empty() ? "" : " (" + c.detail + ")") +
               "\n";
    }
    if (!r.error.empty())
        out += "  FAIL  the demo could not finish: " + r.error + "\n";
    out += r.ok() ? "\nverdict: every check passed\n"
                  : "\nverdict: " + std::to_string(failed + !r.error.empty()) + " check(s) failed\n";
    return out;
}

nlohmann::json to_json(const DemoReport& r)
{
    nlohmann::json backups = nlohmann::json::array(), checks = nlohmann::json::array();
    for (const PartitionBackup& b : r.backups)
        backups.push_back(to_json(b));
    for (const DemoCheck& c : r.checks)
        checks.push_back({{"check", c.what}, {"ok", c.ok}, {"detail", c.detail}});
    nlohmann::json j = {{"ok", r.ok()}, {"backups", backups}, {"checks", checks}};
    if (!r.error.empty())
        j["error"] = r.error;
    return j;
}

} // namespace jobs
