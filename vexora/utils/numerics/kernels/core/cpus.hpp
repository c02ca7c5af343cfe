// How many threads: the count a user asks for in a variable, and the CPU quotas of the process's
// cgroups, which cap the CPUs its affinity mask allows.
//
// Pure: no Python. The files are read from paths given by the caller, so that a test can lay out
// its own /proc/self/cgroup and cgroup hierarchies.
#pragma once

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "parallel.hpp"
#include "text.hpp"

namespace vexora::core::cpus {

/// The thread count that a variable's `setting` asks for: a positive integer, with spaces around
/// it, ending the setting or at `separator`; capped at max_threads; 0 when it asks for none.
inline int parse_thread_count(const char* setting, char separator = '\0') {
    if (!setting) {
        return 0;
    }
    const char* cursor = text::skip_spaces(setting);
    unsigned long long value = 0;
    const text::Parsed parsed = text::parse_integer(cursor, value);
    cursor = text::skip_spaces(cursor);
    if (parsed == text::Parsed::none || (*cursor != '\0' && *cursor != separator) ||
        (parsed == text::Parsed::ok && value == 0)) {
        return 0;
    }
    return parsed == text::Parsed::too_large || value > static_cast<unsigned long long>(parallel::max_threads)
               ? parallel::max_threads
               : static_cast<int>(value);
}

/// CPUs that a quota of `quota` microseconds in every `period` allows, rounded up; 0 for none
/// (cgroup v1 writes -1 for no quota).
inline int quota_cpus(long long quota, long long period) {
    if (quota <= 0 || period <= 0) {
        return 0;
    }
    return static_cast<int>(std::min<long long>(quota / period + (quota % period != 0), 1 << 20));
}

/// The integer that starts the first line of the file at `path`; false when there is none.
inline bool file_integer(const char* path, long long& value) {
    char line[64];
    const char* cursor = line;
    return text::read_first_line(path, line, sizeof line) && text::parse_integer(cursor, value) == text::Parsed::ok;
}

/// CPUs allowed by the quota of one cgroup directory: cgroup v2's `cpu.max` ("max 100000" or
/// "quota period"), or v1's `cpu.cfs_quota_us` and `cpu.cfs_period_us`; 0 when none is set.
inline int group_cpus(const char* directory, bool v2) {
    char path[4400];
    long long quota = 0, period = 0;
    if (v2) {
        char line[64];
        std::snprintf(path, sizeof path, "%s/cpu.max", directory);
        const char* cursor = line;
        if (!text::read_first_line(path, line, sizeof line) || text::parse_integer(cursor, quota) != text::Parsed::ok) {
            return 0;
        }
        cursor = text::skip_spaces(cursor);
        return text::parse_integer(cursor, period) == text::Parsed::ok ? quota_cpus(quota, period) : 0;
    }
    std::snprintf(path, sizeof path, "%s/cpu.cfs_quota_us", directory);
    if (!file_integer(path, quota)) {
        return 0;
    }
    std::snprintf(path, sizeof path, "%s/cpu.cfs_period_us", directory);
    return file_integer(path, period) ? quota_cpus(quota, period) : 0;
}

/// The least CPUs that the group `group` (a path as /proc/self/cgroup lists it) of the hierarchy
/// mounted at `mount`, or any of its ancestors up to the root of the mount, allows; 0 when none
/// sets a quota. A quota on a parent caps every group below it.
inline int least_over_ancestors(const char* mount, const char* group, bool v2) {
    int least = 0;
    char directory[4352];
    for (std::size_t length = std::strlen(group);;) {
        const int shown = length > 1 ? static_cast<int>(length) : 0;
        std::snprintf(directory, sizeof directory, "%s%.*s", mount, shown, group);
        const int limit = group_cpus(directory, v2);
        if (limit > 0 && (least == 0 || limit < least)) {
            least = limit;
        }
        if (shown == 0) {
            return least;
        }
        while (length > 1 && group[length - 1] != '/') {
            --length;
        }
        length = length > 1 ? length - 1 : 1;
    }
}

/// Whether the comma-separated `controllers` of a cgroup v1 hierarchy include the cpu controller
/// itself ("cpu,cpuacct" does; "cpuacct" and "cpuset" do not).
inline bool has_cpu_controller(const char* controllers) {
    for (const char* name = controllers;;) {
        const char* comma = std::strchr(name, ',');
        const std::size_t length = comma ? static_cast<std::size_t>(comma - name) : std::strlen(name);
        if (length == 3 && std::strncmp(name, "cpu", 3) == 0) {
            return true;
        }
        if (!comma) {
            return false;
        }
        name = comma + 1;
    }
}

/*
 * CPUs that the cgroups listed in `proc_cgroup` (a process's /proc/<pid>/cgroup) allow, with their
 * hierarchies mounted under `hierarchies` (/sys/fs/cgroup): the least over the process's group and
 * every ancestor, of cgroup v2 and of v1's cpu controller (mounted as "cpu,cpuacct" or "cpu");
 * 0 when no quota is set or none can be read.
 */
inline int cgroup_cpus(const char* proc_cgroup, const char* hierarchies) {
    std::FILE* file = std::fopen(proc_cgroup, "r");
    if (!file) {
        return 0;
    }
    int cpus = 0;
    char line[4096];
    char mount[512];
    while (std::fgets(line, sizeof line, file)) {
        // "hierarchy-id:controllers:path"; v2's line has no controllers.
        line[std::strcspn(line, "\n")] = '\0';
        char* controllers = std::strchr(line, ':');
        char* group = controllers ? std::strchr(controllers + 1, ':') : nullptr;
        if (!group) {
            continue;
        }
        *group++ = '\0';
        ++controllers;
        int limit = 0;
        if (*controllers == '\0') {
            limit = least_over_ancestors(hierarchies, group, true);
        } else if (has_cpu_controller(controllers)) {
            for (const char* name : {static_cast<const char*>(controllers), "cpu"}) {
                std::snprintf(mount, sizeof mount, "%s/%s", hierarchies, name);
                if (access(mount, F_OK) == 0) {
                    limit = least_over_ancestors(mount, group, false);
                    break;
                }
            }
        }
        if (limit > 0 && (cpus == 0 || limit < cpus)) {
            cpus = limit;
        }
    }
    std::fclose(file);
    return cpus;
}

}  // namespace vexora::core::cpus
