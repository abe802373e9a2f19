// The signals that end a conversion early (SIGINT, SIGTERM, SIGHUP): holding
// them back while files are registered or processes started, handling them,
// and ending the program by them once it has cleaned up.
#pragma once

#include <csignal>
#include <pthread.h>
#include <unistd.h>

inline constexpr int kHandledSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Holds the handled signals back on this thread while it lives; one that
// arrives meanwhile is handled when it goes.
class SignalBlock {
public:
    SignalBlock() {
        sigset_t set;
        sigemptyset(&set);
        for (int signal : kHandledSignals) sigaddset(&set, signal);
        pthread_sigmask(SIG_BLOCK, &set, &m_old);
    }
    ~SignalBlock() { pthread_sigmask(SIG_SETMASK, &m_old, nullptr); }
    SignalBlock(const SignalBlock&) = delete;
    SignalBlock& operator=(const SignalBlock&) = delete;

private:
    sigset_t m_old;
};

// Gives the handled signals to `handler`, each holding the others back while
// it runs, without restarting interrupted calls. A signal the program was
// started to ignore (nohup, background jobs of a script) stays ignored.
inline void HandleSignals(void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    for (int signal : kHandledSignals) sigaddset(&action.sa_mask, signal);
    for (int signal : kHandledSignals) {
        struct sigaction old {};
        if (sigaction(signal, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        sigaction(signal, &action, nullptr);
    }
}

// Ends the program by `signal` itself, its default action restored, so that
// whoever started it sees death by that signal and not an exit status: a
// shell then stops its loop on Ctrl+C (and still shows $? as 128 + the
// signal's number, 130 for SIGINT). Only async-signal-safe calls: a handler
// may end with it.
[[noreturn]] inline void DieOfSignal(int signal) {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    raise(signal);
    _exit(128 + signal); // not reached: the signal's default action ends the program
}
