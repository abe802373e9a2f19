// Controls of the AVI file library for tests: the RIFF part limit, injected
// write and memory failures, the library's version, and counts of what is
// still open. The library itself never calls them.
#pragma once

#include "platform/WinTypes.h"

#include <cstdint>

// Size at which a RIFF part is closed and the next 'AVIX' part begins
// (1 GiB unless changed, at most 2 GiB); 0 restores the default. A file keeps
// the limit it was opened with. A part always takes at least one frame.
void AviSetRiffLimit(std::uint64_t bytes);
// Makes the file write after `countdown` successful ones fail, as a full disk
// would (0: the next one); negative switches it off. Each write system call
// and each file's final close count as one; the failure happens once.
void AviInjectWriteFailure(long countdown);
// Makes the frame write after `countdown` successful ones find no memory for
// its buffers (AVIERR_MEMORY), as when memory runs out; negative switches it
// off. The failure happens once.
void AviInjectMemoryFailure(long countdown);
// Answers the version query with `version` instead (0 restores the real one).
void AviSetLibraryVersion(DWORD version);
// Open files and streams not yet released, and AVIFileInit calls not yet
// matched by AVIFileExit.
long AviLiveObjects();
long AviInitCount();
