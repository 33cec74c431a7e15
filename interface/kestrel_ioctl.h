/*
 * The control device's interface as user space sees it: the device, the command numbers,
 * the argument and reply records and the status codes. Shared by the module and the agent;
 * it needs nothing but fixed-width integers.
 *
 * Command numbers follow the i386 ioctl encoding: bits 0-7 the number, bits 8-15 the type
 * ('*'), bits 16-29 the argument size, bits 30-31 the direction. Every command that carries
 * a record is encoded as "write" (user passes data to the kernel); replies travel through
 * user addresses inside the records, never through the ioctl direction.
 */
#ifndef KESTREL_INTERFACE_KESTREL_IOCTL_H
#define KESTREL_INTERFACE_KESTREL_IOCTL_H

#include <cstdint>

namespace kes {

constexpr unsigned kesMajor = 120;
constexpr const char *kesDeviceName = "kestrel";
constexpr unsigned kesVersionMajor = 3;
constexpr unsigned kesVersionMinor = 1;
constexpr unsigned kesVersionPatch = 0;

constexpr uint32_t kesIoctlType = 0x2a;
constexpr uint32_t kesIO(uint32_t nr) { return (kesIoctlType << 8) | nr; }
constexpr uint32_t kesIOW(uint32_t nr, uint32_t size)
{
    return (1u << 30) | (size << 16) | (kesIoctlType << 8) | nr;
}

/* Argument records: 32-bit little-endian words; addresses are 32-bit user addresses. */
struct GetBlockSizeArgs {
    uint32_t major;
    uint32_t minor;
    uint32_t replyAddress; /* receives a BlockSizeInfo */
    uint32_t replyLength;  /* at most 16 bytes are written */
};

struct StartBackupArgs {
    uint32_t major;
    uint32_t minor;
    uint32_t fsBlocks;       /* file-system size in blocks */
    uint32_t maxCacheBlocks; /* most old blocks the copy-on-write cache may hold */
};

struct BufferArgs {
    uint32_t address;
    uint32_t length;
};

struct IndirectArgs {
    uint32_t mapArgsAddress; /* user address of a MapArgs */
    uint32_t unused;
};

struct MapArgs {
    uint32_t mapAddress; /* the bitmap bytes */
    uint32_t mapBlocks;  /* number of blocks (bits) */
};

struct ReadBlocksArgs {
    uint32_t firstBlock;
    uint32_t count;
    uint32_t bufferAddress; /* start of one of the caller's mappings of the device */
};

struct DirtyBlockArgs {
    uint32_t resultAddress; /* receives the block number */
};

/* Reply records. */
struct BlockSizeInfo {
    uint32_t major;
    uint32_t minor;
    uint32_t blockSize;
    uint32_t partSizeKB; /* lower 32 bits */
};

constexpr unsigned kesSessionKeySize = 56;

struct AutoMapStateInfo {
    uint32_t major;
    uint32_t minor;
    uint32_t tracking;
    uint32_t numBlocks;
    uint32_t bytesInMap;
    uint8_t sessionKey[kesSessionKeySize];
};

struct BackupStateInfo {
    uint32_t major;
    uint32_t minor;
    uint32_t state;
    uint32_t blockSize;
    uint32_t bufferBytes; /* largest mapped buffer, in bytes */
};

/* Statistics of a backup: 32 words; words 0 to 2 are reserved (0). */
struct BackupStats {
    uint32_t reserved[3];
    uint32_t major;
    uint32_t minor;
    uint32_t state;
    uint32_t startSect;       /* low 32 bits */
    int32_t blockSize;
    int32_t blocksPerPage;
    uint32_t partSizeKB;      /* low 32 bits */
    uint32_t fsBlocks;        /* low 32 bits */
    int32_t maxBufferPages;
    int32_t bufferPages;      /* mapped-buffer pages now allocated */
    int32_t maxCacheBlocks;
    int32_t automapPages;     /* pages held by every automap of the module */
    int32_t totalPages;
    int32_t currentPages;
    int32_t totalBRs;
    int32_t currentBRs;
    int32_t totalCachedBlocks;
    int32_t currentCachedBlocks;
    int32_t peakCachedBlocks;
    int32_t totalCacheStructs;
    int32_t currentCacheStructs;
    int32_t diskReads;
    int32_t cacheReads;
    int32_t cleanedBlocks;
    int32_t commandsProcessed;
    int32_t timeToFreezeSec;
    int32_t timeToFreezeNsec;
    int32_t timeFrozenSec;
    int32_t timeFrozenNsec;
};

static_assert(sizeof(GetBlockSizeArgs) == 16);
static_assert(sizeof(BackupStats) == 128);
static_assert(sizeof(StartBackupArgs) == 16);
static_assert(sizeof(BufferArgs) == 8);
static_assert(sizeof(IndirectArgs) == 8);
static_assert(sizeof(MapArgs) == 8);
static_assert(sizeof(ReadBlocksArgs) == 12);
static_assert(sizeof(DirtyBlockArgs) == 4);
static_assert(sizeof(BlockSizeInfo) == 16);
static_assert(sizeof(AutoMapStateInfo) == 76);
static_assert(sizeof(BackupStateInfo) == 20);

/* Commands. */
enum : uint32_t {
    KES_GET_BLOCK_SIZE = kesIOW(0, sizeof(GetBlockSizeArgs)),
    KES_START_BACKUP = kesIOW(1, sizeof(StartBackupArgs)),
    KES_SNAPSHOT = kesIOW(2, sizeof(BufferArgs)),
    KES_GET_STATE = kesIOW(3, sizeof(BufferArgs)),
    KES_GET_AUTOMAP_STATE = kesIOW(4, sizeof(BufferArgs)),
    KES_NO_LOAD_FROM_AUTOMAP = kesIO(5),
    KES_NO_START_AUTOMAP = kesIO(6),
    KES_LOAD_BLOCK_MAP = kesIOW(7, sizeof(IndirectArgs)),
    KES_GET_AUTOMAP = kesIOW(8, sizeof(IndirectArgs)),
    KES_GET_DIRTY_BLOCK = kesIOW(9, sizeof(DirtyBlockArgs)),
    KES_READ_BLOCKS = kesIOW(10, sizeof(ReadBlocksArgs)),
    KES_GET_VERSION_MAJOR = kesIOW(12, 4),
    KES_GET_VERSION_MINOR = kesIOW(13, 4),
    KES_SYNC = kesIOW(14, 4),
    KES_SHUTDOWN = kesIOW(15, 4),
    KES_RESERVED = kesIOW(16, 4), /* answered with "refused" and nothing else */
    KES_GET_STATS = kesIOW(17, sizeof(BufferArgs)), /* BackupStats into a reply buffer */
};

static_assert(KES_GET_BLOCK_SIZE == 0x40102a00 && KES_START_BACKUP == 0x40102a01);
static_assert(KES_SNAPSHOT == 0x40082a02 && KES_GET_STATE == 0x40082a03);
static_assert(KES_GET_AUTOMAP_STATE == 0x40082a04 && KES_NO_LOAD_FROM_AUTOMAP == 0x00002a05);
static_assert(KES_NO_START_AUTOMAP == 0x00002a06 && KES_LOAD_BLOCK_MAP == 0x40082a07);
static_assert(KES_GET_AUTOMAP == 0x40082a08 && KES_GET_DIRTY_BLOCK == 0x40042a09);
static_assert(KES_READ_BLOCKS == 0x400c2a0a && KES_GET_VERSION_MAJOR == 0x40042a0c);
static_assert(KES_GET_VERSION_MINOR == 0x40042a0d && KES_SYNC == 0x40042a0e);
static_assert(KES_SHUTDOWN == 0x40042a0f && KES_RESERVED == 0x40042a10);
static_assert(KES_GET_STATS == 0x40082a11);

/* The phases of a backup, as the state and statistics replies give them. 3 and 11 are not
 * used; 8 and above are failures, and final: once entered, nothing changes the state but
 * the close. */
enum : uint32_t {
    BACKUP_IDLE = 0,         /* opened, nothing started (also after the close of a backup) */
    BACKUP_STARTING = 1,     /* the start command is building the backup */
    BACKUP_STARTED = 2,      /* started; the snapshot is next */
    BACKUP_SNAPSHOT = 4,     /* snapshot taken, copy-on-write running */
    BACKUP_LOADING_MAP = 5,  /* the agent's map of wanted blocks is being loaded */
    BACKUP_MAP_LOADED = 6,   /* only wanted blocks are kept and served; delivered ones are dropped */
    BACKUP_CLOSING = 7,
    BACKUP_ERR_READ = 8,     /* an old block could not be read for copy-on-write */
    BACKUP_ERR_MAP = 9,      /* the agent's map of wanted blocks could not be loaded */
    BACKUP_ERR_CACHE = 10,   /* the copy-on-write cache is full or out of memory */
    BACKUP_REFUSED = 12,     /* the start was refused: another backup holds the module */
    BACKUP_ERR_QUEUE = 13,   /* a write could not be held back for copy-on-write */
};

/* Whether a state is a failure: the backup's snapshot is lost. */
constexpr int backupFailed(uint32_t state) { return state >= BACKUP_ERR_READ; }

/* AutoMapStateInfo.tracking. */
enum : uint32_t {
    AUTOMAP_STOPPED = 0,     /* the automap's bits may lack writes: the next backup is full */
    AUTOMAP_TRACKING = 1,    /* every write since the snapshot is in the automap */
};

/* The get-dirty-block reply when the cache holds no block. */
constexpr uint32_t kesNoBlock = 0xFFFFFFFF;

/* Status codes: every command's result (and open's, release's and mmap's inside the module). */
enum : int {
    KES_OK = 0,
    KES_NOT_READY = 1,      /* module not ready, or the device's queue is unusable */
    KES_INVALID = 2,        /* no Backup, wrong state or invalid request */
    KES_REFUSED = 3,
    KES_NO_COMMAND = 4,     /* command not found */
    KES_NO_MEMORY = 5,
    KES_COPY_FROM_USER = 6,
    KES_COPY_TO_USER = 7,
    KES_NO_DEVICE = 8,      /* no mounted file system on the device */
    KES_BUSY = 9,           /* another backup operation is open */
    KES_STARTED = 11,       /* backup already started on this open */
    KES_IO_ERROR = 12,
};

} // namespace kes

#endif /* KESTREL_INTERFACE_KESTREL_IOCTL_H */
