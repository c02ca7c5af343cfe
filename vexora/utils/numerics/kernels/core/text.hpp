// Integers read from text: environment variables, version strings and kernel files.
//
// The C library's parsers (strtol, fscanf, atoi) are avoided: newer C library headers bind them
// to symbol versions that older releases lack, which would tie a module to the C library it was
// compiled against. std::from_chars is header-only.
#pragma once

#include <charconv>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <utility>

namespace vexora::core::text {

enum class Parsed { ok, none, too_large };

/// Reads the integer at `cursor` (decimal digits, after a '-' for signed types) into `out` and
/// moves `cursor` past its digits, even when it does not fit in `out` (`too_large`); `none`,
/// with `cursor` unmoved, when no integer starts there.
template <class Integer>
Parsed parse_integer(const char*& cursor, Integer& out) {
    const auto [next, error] = std::from_chars(cursor, cursor + std::strlen(cursor), out);
    if (error == std::errc::invalid_argument) {
        return Parsed::none;
    }
    cursor = next;
    return error == std::errc{} ? Parsed::ok : Parsed::too_large;
}

/// `cursor` moved past any spaces.
inline const char* skip_spaces(const char* cursor) {
    while (*cursor == ' ') {
        ++cursor;
    }
    return cursor;
}

/// Major and minor number of a version such as "2.3.1" or "2.28"; {0, 0} where they cannot be read.
inline std::pair<long, long> major_minor(const char* version) {
    long major = 0, minor = 0;
    if (parse_integer(version, major) != Parsed::ok) {
        return {0, 0};
    }
    if (*version == '.') {
        ++version;
        if (parse_integer(version, minor) != Parsed::ok) {
            minor = 0;
        }
    }
    return {major, minor};
}

/// The first line of the file at `path`, without its newline and cut to `size` - 1 characters;
/// false when the file cannot be opened or is empty.
inline bool read_first_line(const char* path, char* line, int size) {
    std::FILE* file = std::fopen(path, "r");
    if (!file) {
        return false;
    }
    const bool read = std::fgets(line, size, file) != nullptr;
    std::fclose(file);
    if (read) {
        line[std::strcspn(line, "\n")] = '\0';
    }
    return read;
}

}  // namespace vexora::core::text
