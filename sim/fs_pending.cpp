// Placeholder until the file systems land: nothing is ever mounted.
#include "sim/internal.h"

__attribute__((weak)) struct super_block *get_super(struct block_device *) { return NULL; }
__attribute__((weak)) void drop_super(struct super_block *) {}
__attribute__((weak)) struct super_block *freeze_bdev(struct block_device *) { return NULL; }
__attribute__((weak)) void thaw_bdev(struct block_device *, struct super_block *) {}
