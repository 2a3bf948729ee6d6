// What an InputFile holds open on POSIX.
#pragma once

#include "InputFile.h"
#include "Posix.h"

// POSIX has no share modes: another process can still write to a file open here. What the packer
// carries is checked by the hashes it takes while it reads, and by reading the launcher back.
struct InputFile::Native {
    posix::Descriptor fd;
};
