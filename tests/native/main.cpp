// Runs the registered tests (those whose name contains the first argument, if one is given) and
// reports every failure and the counts. Exit status 1 on any failure or when nothing was checked.
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "harness.hpp"

namespace harness {
namespace {

struct Test {
    const char* name;
    void (*run)();
};

// Filled by static initialisers in every file: a plain array needs no constructor to run first.
Test tests[64];
int test_count = 0;

long passed = 0, failed = 0;
// Failures past this many are counted, not printed: one broken path would otherwise print a
// line per input.
constexpr long printed_limit = 40;

bool report_failure() {
    ++failed;
    if (failed == printed_limit + 1) {
        std::printf("  (further failures are counted, not printed)\n");
    }
    return failed <= printed_limit;
}

}  // namespace

bool record(bool ok, const char* expression, const char* file, int line) {
    if (ok) {
        ++passed;
        return false;
    }
    if (!report_failure()) {
        return false;
    }
    std::printf("%s:%d: CHECK(%s) failed\n", file, line, expression);
    return true;
}

bool record_doubles(bool ok, double actual, double expected, const char* actual_text, const char* expected_text,
                    const char* file, int line) {
    if (ok) {
        ++passed;
        return false;
    }
    if (!report_failure()) {
        return false;
    }
    std::printf("%s:%d: %s = 0x%016" PRIx64 " (%a), expected %s = 0x%016" PRIx64 " (%a)\n", file, line, actual_text,
                bits(actual), actual, expected_text, bits(expected), expected);
    return true;
}

void note(const char* format, ...) {
    std::printf("    ");
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::printf("\n");
}

bool add(const char* name, void (*run)()) {
    if (test_count == static_cast<int>(sizeof tests / sizeof tests[0])) {
        std::fprintf(stderr, "too many tests registered\n");
        std::abort();
    }
    tests[test_count++] = {name, run};
    return true;
}

}  // namespace harness

int main(int argc, char** argv) {
    using namespace harness;
    const char* only = argc > 1 ? argv[1] : "";
    for (int t = 0; t < test_count; ++t) {
        if (std::strstr(tests[t].name, only) == nullptr) {
            continue;
        }
        const long passed_before = passed, failed_before = failed;
        tests[t].run();
        std::printf("%s: %ld passed, %ld failed\n", tests[t].name, passed - passed_before, failed - failed_before);
        std::fflush(stdout);
    }
    std::printf("%ld passed, %ld failed\n", passed, failed);
    return failed == 0 && passed > 0 ? 0 : 1;
}
