/*
 * Closing a backup: the only way a backup ends.
 */
#include "module/kestrel.h"

namespace kes {

void closeBackup(Backup *b)
{
    /* TODO(closeBackup): give the queue back, drain held writes, stop the worker, free the
     * backup's resources, log the statistics and give the backup slot back. A Backup that
     * never started a backup owns nothing but the record. */
    kfree(b);
}

} // namespace kes
