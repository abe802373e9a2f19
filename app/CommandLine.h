// The argument grammar of both command-line programs, parsed in one place.
//
// Long options take their value as "--name=VALUE" or "--name VALUE"; an
// option whose value is optional takes it only after "=" (--delta=K), as a
// following word could be a file name. Letter options take theirs attached
// or as the next word (-j4, -j 4), and letters without a value may be grouped
// (-qh). "--" ends the options; "-" alone is a file name, standard input or
// output. --help (-h) and --version are answered where they stand, as are
// usage errors: the first one met ends the parse.
//
// A usage error is one line naming the fault and a second line pointing to
// --help, on standard error, and exit status 2.
#pragma once

#include <functional>
#include <string>
#include <vector>

class CommandLine {
public:
    enum Value { kNoValue, kValue, kOptionalValue };
    struct Option {
        const char* name; // "--jobs"
        char letter;      // 'j', or 0 for none
        Value value;
    };
    // An option met on the command line, in the order given.
    struct Given {
        std::string name;  // the option's long name, however it was given
        std::string value; // empty when none was given
        bool hasValue = false;
        bool Is(const Option& option) const { return name == option.name; }
    };

    CommandLine(const char* program, const char* usage);

    // Parses `argv` against `options` (--help, -h and --version are added).
    // False when the program is to end at once with ExitStatus(): after
    // answering --help or --version (0) or reporting a usage error (2).
    bool Parse(int argc, char** argv, const std::vector<Option>& options);
    int ExitStatus() const { return m_status; }

    const std::vector<Given>& given() const { return m_given; }
    // The words that are not options, in order.
    const std::vector<std::string>& operands() const { return m_operands; }

    // Makes every message box a line on standard error after the program's
    // name, a failure's reason after its message; `shown` rewrites each line
    // first (to name standard input as such).
    void PrintMessages(std::function<std::string(const std::string&)> shown) const;

    // Reports a usage error; returns 2, the status to exit with.
    int UsageError(const std::string& what) const;

    // The status to exit with once standard output has been flushed: 1, with
    // a message, when anything written to it was lost (a full disk, a closed
    // pipe), else `status`.
    int Finish(int status) const;

private:
    bool Fail(const std::string& what);
    bool Long(int& i, int argc, char** argv, const std::vector<Option>& options);
    bool Letters(int& i, int argc, char** argv, const std::vector<Option>& options);
    bool Answer(const Option& option);

    const char* m_program;
    const char* m_usage;
    int m_status = 0;
    std::vector<Given> m_given;
    std::vector<std::string> m_operands;
};
