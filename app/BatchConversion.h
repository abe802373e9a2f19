// Many GIF files converted into one folder, several at a time: each source
// SOURCE/NAME.gif becomes FOLDER/NAME.avi, in a process of its own (the
// graphics layer keeps its state per process), at most `jobs` at once.
//
// Each file's outcome is one line on standard output (converted, skipped) or
// standard error (failed, interrupted), prefixed with the source as given;
// the hint about --faithful, then a summary line, end the run. On a terminal
// a progress line ("N of M files (K running)") stands below the outcomes,
// rewritten in place. With `quiet`, standard output stays empty and there is
// no hint nor long-video notice: only failures are said. An existing
// destination is skipped unless `force`. Two sources that would make the same
// video are refused before anything is converted. SIGINT, SIGTERM and SIGHUP
// reach every running conversion, which removes its temporary file; videos
// already made are kept, and once the others have ended and the summary is
// out the program ends by the same signal.
#pragma once

#include "fw/String.h"

#include <cstdio>
#include <vector>

class CBatchConversion {
public:
    struct Options {
        bool uncompressed = false;
        bool faithful = false;
        int keyFrameEvery = 0; // as CConversion::Run
        bool force = false;    // replace existing videos
        int jobs = 0;          // conversions at once; 0 for one per processor
        bool quiet = false;
    };

    // The exit status: 0 when every source was converted or skipped, 1 when
    // any failed, 2 when the run was refused (same names, no folder). After a
    // signal it does not return: the program dies of that signal.
    static int Run(const std::vector<CString>& sources, const CString& folder,
                   const Options& options);

    // The processors this process may run on.
    static int Processors();
};
