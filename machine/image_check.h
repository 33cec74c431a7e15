// What an image holds where a partition was expected, said in one line for the user: a GPT
// disk, a bare file system, an extended or logical partition, a partition past the end of
// the image, a file system larger than its partition, a file system of another type than
// ext2/3/4. The machine reads MBRs with four primary partitions and mounts ext2/3/4 only;
// these lines say what was found instead and what to do.
#pragma once

#include <string>

namespace demo {

// Why partition `partition` (from 1) of the image file at `path` cannot be backed up, as
// one line naming what was found and what to do; "" when the image's first sectors show
// nothing wrong (the caller then says what the machine answered). A partition that holds
// a known file system other than ext2/3/4 can still be backed up raw, every block: then
// `foreign_type` (when given) is set to its type and the line says so. Reads the file with
// bounds checks only: the image's bytes are not trusted.
std::string explain_partition(const std::string& path, unsigned partition, std::string* foreign_type = nullptr);

} // namespace demo
