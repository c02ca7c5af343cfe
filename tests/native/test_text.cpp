// Integers and versions read from text, as the thread count, NumPy's and the C library's
// versions and the kernel's files give them.
#include <climits>

#include "core/text.hpp"
#include "harness.hpp"

namespace {

namespace text = vexora::core::text;

TEST(integers_stop_after_their_digits) {
    struct Case {
        const char* input;
        text::Parsed parsed;
        long long value;
        int length;
    };
    const Case cases[] = {
        {"42", text::Parsed::ok, 42, 2},
        {"-1 100000", text::Parsed::ok, -1, 2},
        {"007/x", text::Parsed::ok, 7, 3},
        {"9223372036854775807", text::Parsed::ok, LLONG_MAX, 19},
        {"9223372036854775808 1", text::Parsed::too_large, 0, 19},
        {"max 100000", text::Parsed::none, 0, 0},
        {" 1", text::Parsed::none, 0, 0},
        {"+1", text::Parsed::none, 0, 0},
        {"", text::Parsed::none, 0, 0},
    };
    for (const Case& c : cases) {
        const char* cursor = c.input;
        long long value = 0;
        const text::Parsed parsed = text::parse_integer(cursor, value);
        CHECK(parsed == c.parsed && cursor - c.input == c.length, "\"%s\"", c.input);
        CHECK(parsed != text::Parsed::ok || value == c.value, "\"%s\" read as %lld", c.input, value);
    }
}

TEST(versions_give_major_and_minor) {
    struct Case {
        const char* version;
        long major, minor;
    };
    const Case cases[] = {
        {"2.28", 2, 28}, {"2.3.1", 2, 3}, {"2.4.0rc1", 2, 4}, {"1", 1, 0},
        {"3.x", 3, 0},   {"dev", 0, 0},   {"", 0, 0},         {"99999999999999999999.1", 0, 0},
    };
    for (const Case& c : cases) {
        const auto [major, minor] = text::major_minor(c.version);
        CHECK(major == c.major && minor == c.minor, "\"%s\" read as %ld.%ld", c.version, major, minor);
    }
}

}  // namespace
