// phone/check/uncaught_exception.cpp - a program built and linked exactly
// as the phone's upgrader, whose exception nobody catches: it must end
// with the terminate line on stderr and SIGABRT (scripts/phone-test).
#include <cstdio>
#include <stdexcept>

namespace {

[[noreturn]] void fail(int depth)
{
    if (depth == 0) throw std::runtime_error("nobody catches this");
    fail(depth - 1);
}

} // namespace

int main(int argc, char** argv)
{
    (void)argv;
    // A caught one first: unwinding works in a static program.
    try {
        fail(3);
    } catch (const std::exception& e) {
        std::printf("caught: %s\n", e.what());
        std::fflush(stdout);
    }
    fail(argc);
}
