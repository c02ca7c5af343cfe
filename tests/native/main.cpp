// Runs the registered tests and reports every failure and the counts. Arguments choose the tests
// by the start of their names: `exp_` runs those whose names start so, `-exp_` leaves them out;
// with no argument of the first kind, every test not left out runs. Exit status 1 on any failure
// or when nothing was checked.
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

namespace {

bool starts_with(const char* name, const char* prefix) { return std::strncmp(name, prefix, std::strlen(prefix)) == 0; }

bool chosen(const char* name, int argc, char** argv) {
    bool any_included = false, included = false;
    for (int a = 1; a < argc; ++a) {
        if (argv[a][0] == '-') {
            if (starts_with(name, argv[a] + 1)) {
                return false;
            }
        } else {
            any_included = true;
            included = included || starts_with(name, argv[a]);
        }
    }
    return included || !any_included;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace harness;
    for (int t = 0; t < test_count; ++t) {
        if (!chosen(tests[t].name, argc, argv)) {
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
