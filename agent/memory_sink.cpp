#include "agent/memory_sink.h"

#include <cstring>

namespace agent {

std::string MemorySink::begin(const BackupPlan& plan)
{
    if (current_)
        return "a backup is already open";
    if (plan.incremental && (done_.empty() || done_.back().plan.geometry != plan.geometry))
        return "an incremental backup without a parent of the same geometry";
    if (plan.used.blocks() != plan.geometry.blocks || plan.changed.blocks() != plan.geometry.blocks)
        return "maps of the wrong size";
    current_ = Backup{plan, {}, {}};
    last_put_ = -1;
    return "";
}

std::string MemorySink::put(uint32_t block, std::span<const uint8_t> data)
{
    if (!current_)
        return "no backup is open";
    if (int64_t(block) <= last_put_)
        return "block " + std::to_string(block) + " put out of order";
    if (!current_->plan.changed.test(block))
        return "block " + std::to_string(block) + " is not in the map of changed blocks";
    if (data.size() != current_->plan.geometry.block_size)
        return "block " + std::to_string(block) + " has the wrong size";
    last_put_ = block;
    current_->blocks[block].assign(data.begin(), data.end());
    return "";
}

std::string MemorySink::commit(const BackupFacts& facts)
{
    if (!current_)
        return "no backup is open";
    if (current_->blocks.size() != current_->plan.changed.count())
        return "commit before every changed block was put";
    current_->facts = facts;
    done_.push_back(std::move(*current_));
    current_.reset();
    return "";
}

void MemorySink::abort(const std::string& why)
{
    current_.reset();
    aborts_.push_back(why);
}

std::vector<uint8_t> MemorySink::image(size_t i) const
{
    const Backup& b = done_.at(i);
    const uint32_t bs = b.plan.geometry.block_size;
    std::vector<uint8_t> parent;
    if (b.plan.incremental)
        parent = image(i - 1);
    std::vector<uint8_t> out(size_t(b.plan.geometry.blocks) * bs, 0);
    for (uint32_t blk = 0; blk < b.plan.geometry.blocks; blk++) {
        uint8_t* dst = out.data() + size_t(blk) * bs;
        switch (b.plan.kind(blk)) {
        case BlockKind::Unused:
            break;
        case BlockKind::Unchanged:
            // A full backup puts every used block, so only an incremental gets here.
            memcpy(dst, parent.data() + size_t(blk) * bs, bs);
            break;
        case BlockKind::Changed:
            memcpy(dst, b.blocks.at(blk).data(), bs);
            break;
        }
    }
    return out;
}

std::optional<PreviousBackup> MemorySink::previous() const
{
    if (done_.empty() || !done_.back().facts.next_key)
        return std::nullopt;
    const Backup& b = done_.back();
    return PreviousBackup{*b.facts.next_key, b.plan.geometry, b.facts.unreadable};
}

} // namespace agent
