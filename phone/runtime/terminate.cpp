// phone/runtime/terminate.cpp - what ends a program whose C++ exception
// nobody caught: one line on stderr, then abort() (exit status 128 +
// SIGABRT from a shell). The runtime's own handler does the same, but it
// brings the name demangler with it (about 50 KB); this one names the
// exception by its what() text instead.
#include <cstdlib>
#include <cstring>
#include <exception>
#include <unistd.h>

namespace {

void put(const char* text)
{
    size_t left = std::strlen(text);
    while (left > 0) {
        const ssize_t n = write(STDERR_FILENO, text, left);
        if (n <= 0) return;
        text += n;
        left -= static_cast<size_t>(n);
    }
}

[[noreturn]] void terminate_quietly() noexcept
{
    static bool again = false; // a handler that throws ends here at once
    if (!again && std::current_exception() != nullptr) {
        again = true;
        try {
            throw;
        } catch (const std::exception& e) {
            put("terminate called after throwing an exception: ");
            put(e.what());
            put("\n");
        } catch (...) {
            put("terminate called after throwing an exception\n");
        }
    } else {
        put("terminate called without an active exception\n");
    }
    std::abort();
}

} // namespace

// The runtime's default handler lives in an object of its own, so that a
// program can bring its own: defining it here keeps that object out.
namespace __cxxabiv1 {
std::terminate_handler __terminate_handler = terminate_quietly;
}
