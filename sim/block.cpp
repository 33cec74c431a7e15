// Block devices. Until the block layer and file systems exist there is nothing dirty to
// write back.
#include "sim/internal.h"

int fsync_bdev(struct block_device*)
{
    might_sleep();
    return 0;
}
