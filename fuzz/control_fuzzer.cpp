// A libFuzzer target over the control device. Each input is a program for one or two
// processes of a fresh machine (a disk with two partitions, an ext2 file system mounted on
// the first): opens and closes of the device, its commands with records the input fills
// (pointing at mapped, unmapped, straddling and kernel addresses), mappings of it, touches
// of mapped pages, forks and exits, writes that the snapshot must copy, and unloads of the
// module while it is in use. Operations run one after another, so every input replays the
// same way.
//
// After the program the machine is shut down: the module must unload, and nothing may be
// left allocated, running or hooked, nor any bug reported by the kernel's debug checks;
// otherwise the target aborts. A hang is caught by libFuzzer's -timeout.
#include <sys/mman.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "module/kestrel.h"
#include "interface/kestrel_ioctl.h"
#include "sim/disk.h"
#include "sim/fs.h"
#include "sim/machine.h"
#include "sim/process.h"
#include "machine/install.h"

namespace {

constexpr uint32_t kFsBlocks = 64;
constexpr uint64_t kPart1Start = 64;
constexpr uint32_t kBufferBytes = 8192;

// The input, read front to back; zeros once it runs out.
class Input {
public:
    Input(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
    bool done() const { return p_ >= end_; }
    uint8_t u8() { return done() ? 0 : *p_++; }
    uint16_t u16() { return static_cast<uint16_t>(u8() | u8() << 8); }
    uint32_t u32() { return u16() | static_cast<uint32_t>(u16()) << 16; }

private:
    const uint8_t* p_;
    const uint8_t* end_;
};

struct Mapping {
    uint32_t addr, length;
};

// One process of the program: its descriptors, its buffer and its mappings.
struct Actor {
    sim::Process* p = nullptr;
    std::vector<int> fds;
    uint32_t buffer = 0;
    std::vector<Mapping> maps;
};

[[noreturn]] void Fail(sim::Machine& m, const std::string& what)
{
    fprintf(stderr, "control fuzzer: %s\nkernel log:\n%s\n", what.c_str(), m.dmesg_text().c_str());
    std::abort();
}

class Program {
public:
    Program(sim::Machine& m, Input& in) : m_(m), in_(in) {}

    void Setup()
    {
        if (install::load_module(m_) != 0)
            Fail(m_, "the module does not load");
        sim::DiskConfig dc;
        uint64_t p1 = uint64_t(kFsBlocks) * 8;
        dc.size_bytes = (kPart1Start + p1 + 128) * 512;
        dc.partitions = std::vector<sim::Partition>{{kPart1Start, p1}, {kPart1Start + p1, 128}};
        if (sim::add_disk(m_, dc, &disk_) != 0)
            Fail(m_, "cannot add the disk");
        auto sb = sim::make_ext2_super_block(4096, kFsBlocks);
        if (sim::write_store(m_, disk_ + 1, 2, sb.data(), 2) != 0 || sim::mount_fs(m_, disk_ + 1) != 0)
            Fail(m_, "cannot mount the file system");
        actors_[0].p = &m_.spawn("agent");
        actors_[0].buffer = actors_[0].p->alloc(kBufferBytes);
    }

    void Run()
    {
        while (!in_.done()) {
            Actor& a = actors_[in_.u8() & 1];
            if (!a.p)
                continue;
            switch (in_.u8() % 14) {
            case 0: Open(a); break;
            case 1: Close(a); break;
            case 2: Command(a); break;
            case 3: RawCommand(a); break;
            case 4: Fill(a); break;
            case 5: Map(a); break;
            case 6: Unmap(a); break;
            case 7: Touch(a); break;
            case 8: Fork(a); break;
            case 9: Exit(); break;
            case 10: WriteFs(); break;
            case 11: WriteRaw(); break;
            case 12: OtherCalls(a); break;
            case 13: Unload(); break;
            }
        }
    }

    // Shuts the machine down and checks it is clean.
    void Finish()
    {
        if (std::getenv("KESTREL_FUZZ_LOG")) // to see what an input does
            fprintf(stderr, "%s", m_.dmesg_text().c_str());
        m_.exit_processes();
        if (sim::mount_info(m_, disk_ + 1) && sim::unmount_fs(m_, disk_ + 1) != 0)
            Fail(m_, "cannot unmount");
        if (m_.module_loaded("kestrel") && m_.rmmod("kestrel") != 0)
            Fail(m_, "the module does not unload");
        std::string leaks = m_.leak_report();
        if (!leaks.empty())
            Fail(m_, "leaks:\n" + leaks);
        for (const std::string& bug : m_.bugs())
            Fail(m_, "bug: " + bug);
    }

private:
    int Fd(Actor& a)
    {
        uint8_t i = in_.u8();
        if (a.fds.empty() || i == 0xFF)
            return static_cast<int>(i) - 1; // no descriptor, or one that is not open
        return a.fds[i % a.fds.size()];
    }

    // A user address for a record or a reply: inside the buffer, null, straddling the end
    // of the buffer, inside a mapping, in kernel space, or any.
    uint32_t Addr(Actor& a)
    {
        switch (in_.u8() % 6) {
        case 0: return a.buffer + in_.u16() % kBufferBytes;
        case 1: return 0;
        case 2: return a.buffer + kBufferBytes - in_.u8() % 32;
        case 3: return a.maps.empty() ? 0 : a.maps.back().addr + in_.u16() % (a.maps.back().length + 64);
        case 4: return 0xC0000000u + in_.u16();
        default: return in_.u32();
        }
    }

    void Open(Actor& a)
    {
        int fd = a.p->open("/dev/kestrel", in_.u8() % 4 == 0 ? 0 /* O_RDONLY */ : 2 /* O_RDWR */);
        if (fd >= 0)
            a.fds.push_back(fd);
    }

    void Close(Actor& a)
    {
        if (a.fds.empty())
            return;
        size_t i = in_.u8() % a.fds.size();
        a.p->close(a.fds[i]);
        a.fds.erase(a.fds.begin() + static_cast<long>(i));
    }

    // Bytes of the input into the buffer at an offset.
    void Fill(Actor& a)
    {
        uint32_t off = in_.u16() % kBufferBytes;
        uint32_t n = in_.u8() % 64;
        std::vector<uint8_t> bytes(n);
        for (auto& b : bytes)
            b = in_.u8();
        a.p->poke(a.buffer + off, bytes.data(), std::min<uint32_t>(n, kBufferBytes - off));
    }

    // A record in the buffer at a place the input picks; returns its address.
    template <class R>
    uint32_t Record(Actor& a, const R& r)
    {
        uint32_t at = a.buffer + (in_.u8() % 32) * 64;
        a.p->poke(at, &r, sizeof r);
        return in_.u8() % 8 == 0 ? Addr(a) : at;
    }

    uint32_t Minor() { return in_.u8() % 5 == 0 ? in_.u16() : in_.u8() % 3; }

    // A command with a record shaped for it, its fields mostly sensible.
    void Command(Actor& a)
    {
        int fd = Fd(a);
        uint32_t cmd, arg = 0;
        switch (in_.u8() % 13) {
        case 0:
            cmd = kes::KES_GET_BLOCK_SIZE;
            arg = Record(a, kes::GetBlockSizeArgs{8, Minor(), Addr(a), in_.u8() % 24u});
            break;
        case 1:
            cmd = kes::KES_START_BACKUP;
            arg = Record(a, kes::StartBackupArgs{in_.u8() % 6 == 0 ? in_.u16() : 8u, Minor(),
                                                 in_.u8() % 4 == 0 ? in_.u32() : kFsBlocks, in_.u8() % 3 == 0 ? in_.u8() : 4096u});
            break;
        case 2:
            cmd = kes::KES_SNAPSHOT;
            arg = Record(a, kes::BufferArgs{Addr(a), in_.u8() % 4 == 0 ? in_.u32() : kes::kesSessionKeySize});
            break;
        case 3:
            cmd = kes::KES_GET_STATE;
            arg = Record(a, kes::BufferArgs{Addr(a), in_.u8() % 32u});
            break;
        case 4:
            cmd = kes::KES_GET_AUTOMAP_STATE;
            arg = Record(a, kes::BufferArgs{Addr(a), in_.u8() % 96u});
            break;
        case 5: cmd = kes::KES_NO_LOAD_FROM_AUTOMAP; break;
        case 6: cmd = kes::KES_NO_START_AUTOMAP; break;
        case 7:
        case 8: {
            // The map's bytes are wherever Addr points; the MapArgs sit in the buffer.
            uint32_t blocks = in_.u8() % 4 == 0 ? in_.u32() : kFsBlocks;
            uint32_t mapArgs = Record(a, kes::MapArgs{Addr(a), blocks});
            cmd = in_.u8() & 1 ? kes::KES_LOAD_BLOCK_MAP : kes::KES_GET_AUTOMAP;
            arg = Record(a, kes::IndirectArgs{mapArgs, 0});
            break;
        }
        case 9:
            cmd = kes::KES_GET_DIRTY_BLOCK;
            arg = Record(a, kes::DirtyBlockArgs{Addr(a)});
            break;
        case 10: {
            uint32_t first = in_.u8() % 4 == 0 ? in_.u32() : in_.u8() % kFsBlocks;
            uint32_t count = in_.u8() % 4 == 0 ? in_.u16() : in_.u8() % (kFsBlocks + 2);
            cmd = kes::KES_READ_BLOCKS;
            arg = Record(a, kes::ReadBlocksArgs{first, count, Addr(a)});
            break;
        }
        case 11:
            cmd = kes::KES_GET_STATS;
            arg = Record(a, kes::BufferArgs{Addr(a), in_.u8() % 160u});
            break;
        default: {
            static const uint32_t small[] = {kes::KES_GET_VERSION_MAJOR, kes::KES_GET_VERSION_MINOR, kes::KES_SYNC,
                                             kes::KES_SHUTDOWN, kes::KES_RESERVED};
            cmd = small[in_.u8() % 5];
            arg = Addr(a);
            break;
        }
        }
        a.p->ioctl(fd, cmd, arg);
    }

    // Any command number with any argument.
    void RawCommand(Actor& a)
    {
        int fd = Fd(a);
        uint32_t cmd = in_.u8() & 1 ? kes::kesIOW(in_.u8() % 24, in_.u8()) : in_.u32();
        a.p->ioctl(fd, cmd, Addr(a));
    }

    void Map(Actor& a)
    {
        int fd = Fd(a);
        uint32_t pages = in_.u8() % 8 == 0 ? in_.u16() % 300 : 1 + in_.u8() % 4;
        int prot = in_.u8() % 4 == 0 ? PROT_READ | PROT_WRITE : PROT_READ;
        int flags = in_.u8() % 4 == 0 ? MAP_SHARED : MAP_PRIVATE;
        uint32_t pgoff = in_.u8() % 8 == 0 ? in_.u8() : 0;
        long addr = a.p->mmap(pages * 4096, prot, flags, fd, pgoff);
        if (addr > 0)
            a.maps.push_back({static_cast<uint32_t>(addr), pages * 4096});
    }

    void Unmap(Actor& a)
    {
        if (a.maps.empty())
            return;
        size_t i = in_.u8() % a.maps.size();
        Mapping mp = a.maps[i];
        if (in_.u8() % 4 == 0 && mp.length > 4096) {
            a.p->munmap(mp.addr, 4096); // only part of it: refused, the mapping stays
            return;
        }
        if (a.p->munmap(mp.addr, mp.length) == 0)
            a.maps.erase(a.maps.begin() + static_cast<long>(i));
    }

    // Reads or writes a mapped page as the process's code would: the page fault path.
    void Touch(Actor& a)
    {
        if (a.maps.empty())
            return;
        const Mapping& mp = a.maps[in_.u8() % a.maps.size()];
        uint32_t at = mp.addr + in_.u16() % mp.length;
        uint8_t byte = 0;
        if (in_.u8() & 1)
            a.p->peek(at, &byte, 1);
        else
            a.p->poke(at, &byte, 1);
    }

    void Fork(Actor& a)
    {
        if (actors_[1].p || forked_)
            return;
        forked_ = true;
        Actor& child = actors_[1];
        child.p = &a.p->fork();
        child.fds = a.fds;
        child.buffer = a.buffer;
        child.maps = a.maps;
    }

    void Exit()
    {
        Actor& a = actors_[1];
        if (!a.p)
            return;
        a.p->exit();
        a = Actor{};
    }

    void WriteFs()
    {
        std::vector<uint8_t> block(4096, in_.u8());
        sim::fs_write(m_, disk_ + 1, 1 + in_.u8() % (kFsBlocks - 1), block.data(), 1, in_.u8() & 1);
    }

    void WriteRaw()
    {
        std::vector<uint8_t> data(16 * 512, in_.u8());
        uint32_t dev = in_.u8() & 1 ? disk_ : disk_ + 1 + (in_.u8() & 1);
        uint64_t sector = dev == disk_ ? kPart1Start + in_.u16() % 640 : 16 + in_.u8();
        sim::write_sectors(m_, dev, sector, data.data(), 1 + in_.u8() % 16);
    }

    void OtherCalls(Actor& a)
    {
        int fd = Fd(a);
        switch (in_.u8() % 3) {
        case 0: a.p->read(fd, Addr(a), in_.u8()); break;
        case 1: a.p->write(fd, Addr(a), in_.u8()); break;
        default: a.p->poll(fd); break;
        }
    }

    // An unload: refused while the device is open or mapped; when it goes through, the
    // module is loaded again.
    void Unload()
    {
        if (m_.rmmod("kestrel") == 0 && m_.insmod(THIS_MODULE) != 0)
            Fail(m_, "the module does not load again");
    }

    sim::Machine& m_;
    Input& in_;
    uint32_t disk_ = 0;
    Actor actors_[2];
    bool forked_ = false;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    sim::MachineConfig config;
    config.random_seed = 1;
    sim::Machine m(install::machine_config(config));
    Input in(data, size);
    Program program(m, in);
    program.Setup();
    program.Run();
    program.Finish();
    return 0;
}
