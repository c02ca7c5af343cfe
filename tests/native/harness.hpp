// A small test harness for the kernels' native tests: checks that count, failures reported with
// their place and the values' bits, tests registered by name, and the helpers the tests share.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace harness {

/// Records one check; true when it failed and its report should get the caller's note.
bool record(bool ok, const char* expression, const char* file, int line);

/// Records a comparison of two doubles, reported with both values' bits.
bool record_doubles(bool ok, double actual, double expected, const char* actual_text, const char* expected_text,
                    const char* file, int line);

/// Adds a printf-formatted line to the report of the failure just recorded.
[[gnu::format(printf, 1, 2)]] void note(const char* format, ...);

/// Registers a test; used by TEST.
bool add(const char* name, void (*run)());

inline std::uint64_t bits(double d) { return std::bit_cast<std::uint64_t>(d); }

/// Same bits, or both NaN: NaN payloads may differ where the compiler swaps the operands of a
/// commutative operation, which IEEE leaves free.
inline bool same(double a, double b) { return bits(a) == bits(b) || (std::isnan(a) && std::isnan(b)); }

/// splitmix64: a fixed, portable stream of pseudo-random numbers.
struct Random {
    std::uint64_t state;

    std::uint64_t next() {
        std::uint64_t z = (state += 0x9e3779b97f4a7c15);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
        z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
        return z ^ (z >> 31);
    }
    /// Uniform in [low, high).
    double uniform(double low, double high) { return low + (high - low) * static_cast<double>(next() >> 11) * 0x1p-53; }
    /// Uniform integer in [low, high].
    std::ptrdiff_t integer(std::ptrdiff_t low, std::ptrdiff_t high) {
        return low + static_cast<std::ptrdiff_t>(next() % static_cast<std::uint64_t>(high - low + 1));
    }
};

/// Zeroed doubles at a 32-byte boundary, as the kernels' work vectors are.
class Aligned {
public:
    explicit Aligned(std::size_t count) : count_(count) {
        const std::size_t bytes = (count * sizeof(double) + 31) / 32 * 32;
        data_ = static_cast<double*>(std::aligned_alloc(32, bytes > 0 ? bytes : 32));
        if (data_ == nullptr) {
            std::abort();
        }
        std::memset(data_, 0, bytes);
    }
    ~Aligned() { std::free(data_); }
    Aligned(const Aligned&) = delete;
    Aligned& operator=(const Aligned&) = delete;

    double* get() const { return data_; }
    std::size_t size() const { return count_; }
    double& operator[](std::size_t i) const { return data_[i]; }

private:
    double* data_;
    std::size_t count_;
};

}  // namespace harness

// CHECK(condition[, format, args...]): counts a pass or a failure; a failure prints file:line,
// the expression and the optional note.
#define CHECK(condition, ...)                                                                  \
    do {                                                                                       \
        if (::harness::record(static_cast<bool>(condition), #condition, __FILE__, __LINE__)) { \
            __VA_OPT__(::harness::note(__VA_ARGS__);)                                          \
        }                                                                                      \
    } while (0)

// CHECK_BITS(actual, expected[, format, args...]): the two doubles have the same bits.
#define CHECK_BITS(actual, expected, ...)                                                                         \
    do {                                                                                                          \
        const double check_a_ = (actual), check_e_ = (expected);                                                  \
        if (::harness::record_doubles(::harness::bits(check_a_) == ::harness::bits(check_e_), check_a_, check_e_, \
                                      #actual, #expected, __FILE__, __LINE__)) {                                  \
            __VA_OPT__(::harness::note(__VA_ARGS__);)                                                             \
        }                                                                                                         \
    } while (0)

// CHECK_SAME(actual, expected[, format, args...]): the same bits, or both NaN (see same()).
#define CHECK_SAME(actual, expected, ...)                                                                          \
    do {                                                                                                           \
        const double check_a_ = (actual), check_e_ = (expected);                                                   \
        if (::harness::record_doubles(::harness::same(check_a_, check_e_), check_a_, check_e_, #actual, #expected, \
                                      __FILE__, __LINE__)) {                                                       \
            __VA_OPT__(::harness::note(__VA_ARGS__);)                                                              \
        }                                                                                                          \
    } while (0)

// TEST(name) { ... }: a test that main() runs.
#define TEST(name)                                                                      \
    static void name();                                                                 \
    [[maybe_unused]] static const bool name##_registered = ::harness::add(#name, name); \
    static void name()
