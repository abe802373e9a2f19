// Many GIF files converted into one folder, several at a time: each source
// SOURCE/NAME.gif becomes FOLDER/NAME.avi, in a process of its own (the
// graphics layer keeps its state per process), at most `jobs` at once.
//
// Each file's outcome is one line on standard output (converted, skipped) or
// standard error (failed), prefixed with the source as given; a summary line
// ends the run. An existing destination is skipped unless `force`. Two
// sources that would make the same video are refused before anything is
// converted. SIGINT, SIGTERM and SIGHUP reach every running conversion, which
// removes its temporary file; videos already made are kept.
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
    // any failed, 2 when the run was refused (same names, no folder), 130
    // after SIGINT and 1 after another signal.
    static int Run(const std::vector<CString>& sources, const CString& folder,
                   const Options& options);

    // The processors this process may run on.
    static int Processors();
};
