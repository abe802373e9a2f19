// The options every command-line program of Tessaly Converter answers the
// same way: --help (or -h) prints its usage, --version its name and version.
#pragma once

#include "app/Version.h"

#include <cstdio>
#include <string>

// True when `arg` is one of them, after answering it on standard output; the
// program then exits with status 0.
inline bool AnswerStandardOption(const std::string& arg, const char* program, const char* usage) {
    if (arg == "--help" || arg == "-h") {
        std::fputs(usage, stdout);
        return true;
    }
    if (arg == "--version") {
        std::printf("%s (Tessaly Converter) %s\n", program, TESSALY_VERSION);
        return true;
    }
    return false;
}
