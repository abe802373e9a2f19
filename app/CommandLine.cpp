#include "app/CommandLine.h"

#include "app/StandardOptions.h"
#include "fw/MessageBox.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

const CommandLine::Option kHelp{"--help", 'h', CommandLine::kNoValue};
const CommandLine::Option kVersion{"--version", 0, CommandLine::kNoValue};

// --help and --version, which are answered rather than given.
bool IsStandard(const CommandLine::Option& option) {
    return std::strcmp(option.name, kHelp.name) == 0 ||
           std::strcmp(option.name, kVersion.name) == 0;
}

} // namespace

CommandLine::CommandLine(const char* program, const char* usage)
    : m_program(program), m_usage(usage) {}

void CommandLine::PrintMessages(std::function<std::string(const std::string&)> shown) const {
    AfxSetMessagePresenter(
        [program = m_program, shown = std::move(shown)](LPCTSTR text, UINT, LPCTSTR detail) {
            const std::string line = *detail ? std::string(text) + ": " + detail : text;
            std::fprintf(stderr, "%s: %s\n", program, shown(line).c_str());
            return IDOK;
        });
}

int CommandLine::UsageError(const std::string& what) const {
    std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", m_program, what.c_str(),
                 m_program);
    return 2;
}

int CommandLine::Finish(int status) const {
    // An error of an earlier write stays set through the flush.
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return status;
    const int error = errno ? errno : EIO;
    std::fprintf(stderr, "%s: standard output: %s\n", m_program, std::strerror(error));
    return 1;
}

bool CommandLine::Fail(const std::string& what) {
    m_status = UsageError(what);
    return false;
}

bool CommandLine::Answer(const Option& option) {
    errno = 0;
    AnswerStandardOption(option.name, m_program, m_usage);
    m_status = Finish(0);
    return false;
}

bool CommandLine::Parse(int argc, char** argv, const std::vector<Option>& options) {
    std::vector<Option> all = options;
    all.push_back(kHelp);
    all.push_back(kVersion);
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") {
            m_operands.insert(m_operands.end(), argv + i + 1, argv + argc);
            break;
        }
        bool parsed = true;
        if (arg.rfind("--", 0) == 0)
            parsed = Long(i, argc, argv, all);
        else if (arg.size() > 1 && arg[0] == '-')
            parsed = Letters(i, argc, argv, all);
        else
            m_operands.push_back(arg);
        if (!parsed) return false;
    }
    return true;
}

bool CommandLine::Long(int& i, int argc, char** argv, const std::vector<Option>& options) {
    const std::string arg = argv[i];
    const std::size_t equals = arg.find('=');
    const std::string name = arg.substr(0, equals);
    for (const Option& option : options) {
        if (name != option.name) continue;
        Given given{option.name, {}, equals != std::string::npos};
        if (given.hasValue) given.value = arg.substr(equals + 1);
        if (option.value == kNoValue && given.hasValue) return Fail(name + " takes no value");
        if (option.value == kValue && !given.hasValue) {
            if (i + 1 >= argc) return Fail(name + " needs a value");
            given.value = argv[++i];
            given.hasValue = true;
        }
        if (IsStandard(option)) return Answer(option);
        m_given.push_back(given);
        return true;
    }
    return Fail("unknown option " + name);
}

bool CommandLine::Letters(int& i, int argc, char** argv, const std::vector<Option>& options) {
    const std::string arg = argv[i];
    for (std::size_t at = 1; at < arg.size(); ++at) {
        const Option* found = nullptr;
        for (const Option& option : options)
            if (option.letter != 0 && option.letter == arg[at]) found = &option;
        if (!found) return Fail("unknown option -" + arg.substr(at, 1));
        if (IsStandard(*found)) return Answer(*found);
        if (found->value == kNoValue) {
            m_given.push_back({found->name, {}, false});
            continue;
        }
        // The rest of the word is the value, else the next word.
        Given given{found->name, arg.substr(at + 1), true};
        if (at + 1 == arg.size()) {
            if (i + 1 >= argc) return Fail(std::string("-") + arg[at] + " needs a value");
            given.value = argv[++i];
        }
        m_given.push_back(given);
        return true;
    }
    return true;
}
