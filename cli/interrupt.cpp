#include "cli/interrupt.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#endif

namespace keyscour::cli {

namespace {
std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

#ifdef _WIN32
// Runs on a thread of its own that the console starts.
BOOL WINAPI OnConsoleControl(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
    interrupted = true;
    return TRUE;
}
#else
void OnSignal(int) { interrupted = true; }
#endif

// STAGE or STAGE:NUMBER from the variable; the number, or -1 when the stage differs.
long SeamNumber(const char* variable, const char* stage, long otherwise) {
    const char* value = std::getenv(variable);
    if (!value) return -1;
    const char* colon = std::strchr(value, ':');
    const std::string named = colon ? std::string(value, colon) : std::string(value);
    if (named != stage) return -1;
    return colon ? std::strtol(colon + 1, nullptr, 10) : otherwise;
}
}  // namespace

void CatchInterrupts() {
#ifdef _WIN32
    SetConsoleCtrlHandler(&OnConsoleControl, TRUE);
#else
    struct sigaction action {};
    action.sa_handler = &OnSignal;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    for (int signal : {SIGPIPE, SIGXFSZ}) sigaction(signal, &ignore, nullptr);
#endif
}

bool Interrupted() { return interrupted.load(std::memory_order_relaxed); }

const std::atomic<bool>& InterruptFlag() { return interrupted; }

void TestSeam(const char* stage) {
    if (const long ms = SeamNumber("KEYSCOUR_TEST_PAUSE_AT", stage, 0); ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    if (const long signal = SeamNumber("KEYSCOUR_TEST_SIGNAL_AT", stage, SIGINT); signal > 0) {
#ifdef _WIN32
        // The console's Ctrl+C comes to the handler, not as a C signal.
        interrupted = true;
#else
        std::raise(static_cast<int>(signal));
#endif
    }
}

}  // namespace keyscour::cli
