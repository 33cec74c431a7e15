/*
 * The command dispatcher: checks the module and the Backup, copies each command's argument
 * record from user space, and routes it to its handler. Also the commands that have no
 * subsystem of their own: the version queries, sync and the reserved number.
 */
#include "snapshot/snapshot.h"
#include "backup/session.h"
#include "module/kestrel.h"

namespace kes {

/* Copies exactly size bytes of an argument record; nonzero when any byte is unreadable
 * (an ioctl argument wider than a 32-bit user address is unreadable too). */
static int copyArgs(void *dst, unsigned long src, unsigned long size)
{
    if (src > 0xFFFFFFFFUL)
        return 1;
    return copy_from_user(dst, (user_addr_t)src, size) != 0;
}

/* The kernel device number of a major and a minor from user space. The minor is not
 * masked: a minor of 2^20 or more spills into the major bits. */
static u32 devFromArgs(u32 major, u32 minor) { return (major << MINORBITS) | minor; }

static int ioctlGetVersion(unsigned long address, u32 value)
{
    if (address > 0xFFFFFFFFUL || put_user(value, (user_addr_t)address)) {
        printk(KERN_ERR "%s: copy to user space %s\n", __func__, "failed");
        return KES_COPY_TO_USER;
    }
    return KES_OK;
}

int ioctlSync(Backup *b)
{
    /* Before a backup is started the Backup has no device and there is nothing to write. */
    if (b->disk.bdev)
        fsync_bdev(b->disk.bdev);
    return KES_OK;
}

int kesIOCTL(struct inode *, struct file *file, unsigned int cmd, unsigned long arg)
{
    if (atomic_read(&initDone) != 1)
        return KES_NOT_READY;
    Backup *b = (Backup *)file->private_data;
    if (!b)
        return KES_INVALID;
    atomic_inc(&b->commandsProcessed);

    switch (cmd) {
    case KES_GET_BLOCK_SIZE: {
        GetBlockSizeArgs a;
        if (copyArgs(&a, arg, sizeof(a)))
            return KES_COPY_FROM_USER;
        return ioctlGetBlockSize(b, devFromArgs(a.major, a.minor), a.replyAddress, a.replyLength);
    }
    case KES_START_BACKUP: {
        StartBackupArgs a;
        if (copyArgs(&a, arg, sizeof(a)))
            return KES_COPY_FROM_USER;
        return ioctlStartBackup(b, devFromArgs(a.major, a.minor), a.fsBlocks, a.maxCacheBlocks);
    }
    case KES_SNAPSHOT: {
        BufferArgs a;
        if (copyArgs(&a, arg, sizeof(a)))
            return KES_COPY_FROM_USER;
        return ioctlSnapShot(b, a.address, a.length);
    }
    case KES_GET_STATE: {
        BufferArgs a;
        if (copyArgs(&a, arg, sizeof(a)))
            return KES_COPY_FROM_USER;
        return ioctlGetState(b, a.address, a.length);
    }
    case KES_GET_AUTOMAP_STATE: {
        BufferArgs a;
        if (copyArgs(&a, arg, sizeof(a)))
            return KES_COPY_FROM_USER;
        return ioctlGetAutoMapState(b, a.address, a.length);
    }
    case KES_NO_LOAD_FROM_AUTOMAP:
        return ioctlNoLoadFromAutoMap(b);
    case KES_NO_START_AUTOMAP:
        return ioctlNoStartAutoMap(b);
    case KES_LOAD_BLOCK_MAP:
    case KES_GET_AUTOMAP: {
        IndirectArgs ind;
        MapArgs map;
        if (copyArgs(&ind, arg, sizeof(ind)) || copyArgs(&map, ind.mapArgsAddress, sizeof(map)))
            return KES_COPY_FROM_USER;
        return cmd == KES_LOAD_BLOCK_MAP ? ioctlLoadBlockMap(b, &map) : ioctlGetAutoMap(b, &map);
    }
    case KES_GET_DIRTY_BLOCK: {
        u32 resultAddress;
        if (arg > 0xFFFFFFFFUL || get_user(resultAddress, (user_addr_t)arg))
            return KES_COPY_FROM_USER;
        return ioctlGetDirtyBlock(b, resultAddress);
    }
    case KES_READ_BLOCKS: {
        ReadBlocksArgs a;
        if (copyArgs(&a, arg, sizeof(a)))
            return KES_COPY_FROM_USER;
        return ioctlReadBlocks(b, a.firstBlock, a.count, a.bufferAddress);
    }
    case KES_GET_VERSION_MAJOR:
        return ioctlGetVersion(arg, kesVersionMajor);
    case KES_GET_VERSION_MINOR:
        return ioctlGetVersion(arg, kesVersionMinor);
    case KES_SYNC:
        return ioctlSync(b);
    case KES_SHUTDOWN:
        return kesShutdown();
    case KES_RESERVED:
        return KES_REFUSED;
    case KES_GET_STATS: {
        BufferArgs a;
        if (copyArgs(&a, arg, sizeof(a)))
            return KES_COPY_FROM_USER;
        return ioctlGetStats(b, a.address, a.length);
    }
    default:
        printk(KERN_ERR "%s: ioctl command not found%s", __func__, "\n");
        return KES_NO_COMMAND;
    }
}

} // namespace kes
