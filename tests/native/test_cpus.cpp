// Thread counts asked for in variables, and the CPU quotas of cgroups read from a tree laid out
// like /proc/self/cgroup and /sys/fs/cgroup: v2 and v1, quotas on ancestors, and v1 hierarchies
// whose controllers only resemble the cpu controller.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/cpus.hpp"
#include "harness.hpp"

namespace {

namespace cpus = vexora::core::cpus;
using vexora::core::parallel::max_threads;

TEST(thread_counts_read_from_settings) {
    struct Case {
        const char* setting;
        char separator;
        int count;
    };
    const Case cases[] = {
        {"4", '\0', 4},
        {" 2 ", '\0', 2},
        {"02", '\0', 2},
        {"100000", '\0', max_threads},
        {"99999999999999999999999", '\0', max_threads},
        {"0", '\0', 0},
        {"-2", '\0', 0},
        {"1.5", '\0', 0},
        {"", '\0', 0},
        {"3 threads", '\0', 0},
        {"4,2", '\0', 0},
        {"4,2", ',', 4},
        {"4 , 2", ',', 4},
        {",2", ',', 0},
        {"0,2", ',', 0},
    };
    for (const Case& c : cases) {
        CHECK(cpus::parse_thread_count(c.setting, c.separator) == c.count, "\"%s\"", c.setting);
    }
    CHECK(cpus::parse_thread_count(nullptr) == 0);
}

/// A scratch directory tree, removed at the end of the test.
class Tree {
public:
    Tree() {
        char pattern[] = "/tmp/vexora-cgroups-XXXXXX";
        root_ = mkdtemp(pattern) ? pattern : "";
    }
    ~Tree() {
        if (!root_.empty()) {
            std::system(("rm -rf '" + root_ + "'").c_str());
        }
    }
    /// Writes `text` to `relative`, making its directories.
    void write(const std::string& relative, const std::string& text) const {
        for (std::size_t slash = relative.find('/'); slash != std::string::npos;
             slash = relative.find('/', slash + 1)) {
            mkdir((root_ + "/" + relative.substr(0, slash)).c_str(), 0700);
        }
        if (std::FILE* file = std::fopen((root_ + "/" + relative).c_str(), "w")) {
            std::fputs(text.c_str(), file);
            std::fclose(file);
        }
    }
    /// A cgroup v1 group `directory` with `quota` microseconds in every 100000.
    void v1_quota(const std::string& directory, const char* quota) const {
        write(directory + "/cpu.cfs_quota_us", std::string(quota) + "\n");
        write(directory + "/cpu.cfs_period_us", "100000\n");
    }
    int cgroup_cpus() const { return cpus::cgroup_cpus((root_ + "/proc-cgroup").c_str(), (root_ + "/cgroup").c_str()); }

private:
    std::string root_;
};

TEST(cgroup_v2_quotas_cap_over_ancestors) {
    Tree tree;
    tree.write("proc-cgroup", "0::/jobs/job7\n");
    tree.write("cgroup/cpu.max", "max 100000\n");
    tree.write("cgroup/jobs/job7/cpu.max", "max 100000\n");
    CHECK(tree.cgroup_cpus() == 0);
    tree.write("cgroup/jobs/cpu.max", "150000 100000\n");
    CHECK(tree.cgroup_cpus() == 2, "1.5 CPUs on the parent round up to 2");
    tree.write("cgroup/jobs/job7/cpu.max", "400000 100000\n");
    CHECK(tree.cgroup_cpus() == 2, "the parent's quota caps its child's larger one");
    tree.write("cgroup/jobs/job7/cpu.max", "50000 100000\n");
    CHECK(tree.cgroup_cpus() == 1);
    tree.write("cgroup/jobs/cpu.max", "9223372036854775807 1\n");
    tree.write("cgroup/jobs/job7/cpu.max", "9223372036854775807 100000\n");
    CHECK(tree.cgroup_cpus() == 1 << 20, "the largest quotas are capped, not overflowed");
}

TEST(cgroup_v1_quotas_cap_over_ancestors) {
    Tree tree;
    tree.write("proc-cgroup", "5:cpuset:/batch/task\n4:cpu,cpuacct:/batch/task\n2:memory:/batch/task\n");
    tree.v1_quota("cgroup/cpu,cpuacct/batch/task", "-1");
    CHECK(tree.cgroup_cpus() == 0);
    tree.v1_quota("cgroup/cpu,cpuacct/batch", "50000");
    CHECK(tree.cgroup_cpus() == 1, "half a CPU on the parent");
}

TEST(cgroup_v1_reads_the_cpu_controllers_group_only) {
    Tree tree;
    // cpuacct mounted on its own: its group is not the cpu controller's, whose hierarchy holds a
    // namesake group with a quota that this process is not in.
    tree.write("proc-cgroup", "3:cpuacct:/other\n4:cpu:/mine\n");
    tree.v1_quota("cgroup/cpu/other", "100000");
    tree.v1_quota("cgroup/cpu/mine", "-1");
    CHECK(tree.cgroup_cpus() == 0);
    tree.write("cgroup/cpu/mine/cpu.cfs_quota_us", "300000\n");
    CHECK(tree.cgroup_cpus() == 3);
}

TEST(cgroup_quotas_that_cannot_be_read_count_as_none) {
    Tree tree;
    CHECK(tree.cgroup_cpus() == 0, "no /proc file");
    tree.write("proc-cgroup", "garbage\n0::/gone\n7:cpu:/gone\n");
    CHECK(tree.cgroup_cpus() == 0, "no hierarchies");
    tree.write("cgroup/cpu.max", "max\n");
    CHECK(tree.cgroup_cpus() == 0, "no period");
}

}  // namespace
