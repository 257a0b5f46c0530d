// keyscour-cli search over a large hive against a bare hivex walk of it
// that reads what a search must read, nothing more, in one run.

#include "bench/hive_bench.h"

#include <fcntl.h>
#include <sched.h>
#include <hivex.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/utf16.h"
#include "bench/synthetic_tree.h"
#include "tests/support/blank_hive.h"
#include "tests/support/hive_log_writer.h"
#include "registry/hive/hive_registry.h"

extern char** environ;

namespace keyscour::bench {

namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The runs compared on the one core this process is on, the searches
// inheriting it: the cores of a shared machine can differ by half as much again.
void PinToOneCore() {
    cpu_set_t core;
    CPU_ZERO(&core);
    CPU_SET(sched_getcpu(), &core);
    sched_setaffinity(0, sizeof core, &core);
}

// A folder of this run's own in $TMPDIR (else /tmp); not yet made.
std::string BenchFolder(const char* name) {
    return std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + "/" + name + "-" +
           std::to_string(getpid());
}

// Every node once: its children, their names, its values, and each
// value's name and data.
std::uint64_t HivexWalk(const std::string& path) {
    hive_h* hive = hivex_open(path.c_str(), 0);
    if (!hive) return 0;
    std::uint64_t nodes = 0;
    std::vector<hive_node_h> stack{hivex_root(hive)};
    while (!stack.empty()) {
        const hive_node_h node = stack.back();
        stack.pop_back();
        ++nodes;
        if (hive_value_h* values = hivex_node_values(hive, node)) {
            for (hive_value_h* value = values; *value; ++value) {
                std::free(hivex_value_key(hive, *value));
                hive_type type;
                std::size_t length = 0;
                std::free(hivex_value_value(hive, *value, &type, &length));
            }
            std::free(values);
        }
        if (hive_node_h* children = hivex_node_children(hive, node)) {
            for (hive_node_h* child = children; *child; ++child) {
                std::free(hivex_node_name(hive, *child));
                stack.push_back(*child);
            }
            std::free(children);
        }
    }
    hivex_close(hive);
    return nodes;
}

// The child's time, and its peak resident memory in MB.
struct ChildRun {
    double ms = -1;
    double peakMb = 0;
};

ChildRun RunToFile(std::vector<std::string> argv, const std::string& output) {
    std::vector<char*> args;
    for (auto& arg : argv) args.push_back(arg.data());
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ChildRun run;
    pid_t child = 0;
    const auto start = Clock::now();
    if (posix_spawn(&child, args[0], &actions, nullptr, args.data(), environ) == 0) {
        int status = 0;
        rusage usage{};
        wait4(child, &status, 0, &usage);
        run.ms = MsSince(start);
        run.peakMb = usage.ru_maxrss / 1024.0;
        if (!WIFEXITED(status) || WEXITSTATUS(status) > 1) run.ms = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    return run;
}

// Runs the search on request, from a process forked while this one was
// small: a child counts the memory of the process it was started from
// until it starts its own program, so a search started from here, once the
// hive is built, would be charged with the build's memory.
class Starter {
public:
    Starter(std::vector<std::string> argv, std::string output) {
        int requests[2], results[2];
        if (pipe(requests) != 0 || pipe(results) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            close(requests[1]);
            close(results[0]);
            for (char request; read(requests[0], &request, 1) == 1;) {
                const ChildRun run = RunToFile(argv, output);
                if (write(results[1], &run, sizeof run) != sizeof run) break;
            }
            _exit(0);
        }
        close(requests[0]);
        close(results[1]);
        request_ = requests[1];
        result_ = results[0];
    }
    ~Starter() {
        if (request_ >= 0) close(request_);
        if (result_ >= 0) close(result_);
        if (pid_ > 0) waitpid(pid_, nullptr, 0);
    }
    Starter(const Starter&) = delete;
    Starter& operator=(const Starter&) = delete;

    ChildRun Run() {
        ChildRun run;
        const char request = 'r';
        if (request_ < 0 || write(request_, &request, 1) != 1 || read(result_, &run, sizeof run) != sizeof run)
            return {};
        return run;
    }

private:
    pid_t pid_ = -1;
    int request_ = -1, result_ = -1;
};

std::string CliNextToThisProgram() {
    char self[4096] = {};
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string path(self, length > 0 ? static_cast<std::size_t>(length) : 0);
    path.resize(path.rfind('/'));  // bench
    path.resize(path.rfind('/'));  // the build
    return path + "/cli/keyscour-cli";
}

}  // namespace

namespace {

// A hive of the tree's shape at path, through the project's hive registry.
void BuildHive(const std::string& path, const TreeShape& shape) {
    std::fprintf(stderr, "building a hive of %llu keys, %u values each...\n", static_cast<unsigned long long>(shape.keys),
                 shape.values);
    WriteFileBytes(path, BlankHive());
    HiveRegistry registry(path, true);
    BuildTree(registry, HiveRegistry::kRoot, L"", shape);
    registry.Commit();
}

double FileMb(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? info.st_size / (1024.0 * 1024.0) : 0;
}

// The one file in folder, or empty.
std::string OnlyFileIn(const std::string& folder) {
    std::string found;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ignored)) found = entry.path().string();
    return found;
}

}  // namespace

int RunHiveGrowthBench(TreeShape shape, int cycles) {
    const std::string folder = BenchFolder("keyscour-growth-bench");
    const std::string hive = folder + "/SOFTWARE", undo = folder + "/undo", output = folder + "/records.out";
    std::filesystem::create_directories(undo);
    const std::string cli = CliNextToThisProgram();
    const std::string needle(kNeedle.begin(), kNeedle.end());
    // Forked while small, so that its peak is the replace's own.
    Starter replace({cli, "replace", "--hive", hive, needle, "--with", needle + "1234", "--yes", "--undo-dir", undo,
                     "--quiet", "--format", "jsonl"},
                    output);
    // Every value of the hive replaced at once (each holds "Data"), then
    // every value grown tenfold: the change records and the undo data must
    // not all be held in memory.
    Starter every({cli, "replace", "--hive", hive, "Data", "--with", "Data1234", "--yes", "--undo-dir", undo, "--quiet",
                   "--format", "jsonl"},
                  output);
    Starter tenfold({cli, "replace", "--hive", hive, "Data1234", "--with", std::string(400, 'D'), "--yes", "--undo-dir",
                     undo, "--quiet", "--format", "jsonl"},
                    output);
    shape.hits = 0.01;  // one key in a hundred, spread evenly
    BuildHive(hive, shape);
    const double startMb = FileMb(hive);
    double cycle1Mb = 0, replaceMs = 1e300, peakMb = 0;
    for (int cycle = 1; cycle <= cycles; ++cycle) {
        const ChildRun replaced = replace.Run();
        const std::string undoFile = OnlyFileIn(undo);
        if (replaced.ms < 0 || undoFile.empty()) {
            std::fprintf(stderr, "the replace of cycle %d failed\n", cycle);
            return 1;
        }
        const ChildRun undone = RunToFile({cli, "undo", "--hive", hive, undoFile}, output);
        if (undone.ms < 0) {
            std::fprintf(stderr, "the undo of cycle %d failed\n", cycle);
            return 1;
        }
        unlink(undoFile.c_str());
        replaceMs = std::min(replaceMs, replaced.ms);
        peakMb = std::max(peakMb, replaced.peakMb);
        if (cycle == 1) cycle1Mb = FileMb(hive);
        std::fprintf(stderr, "cycle %d: replace %.0f ms, %.1f MB; undo %.0f ms; hive %.2f MB\n", cycle, replaced.ms,
                     replaced.peakMb, undone.ms, FileMb(hive));
    }
    const double endMb = FileMb(hive);

    double everyMb = 0, everyHiveMb = 0, tenfoldMb = 0, tenfoldHiveMb = 0;
    for (Starter* starter : {&every, &tenfold}) {
        const bool grown = starter == &tenfold;
        const double beforeMb = FileMb(hive);
        const ChildRun run = starter->Run();
        if (run.ms < 0) {
            std::fprintf(stderr, "the replace of every value failed\n");
            return 1;
        }
        (grown ? tenfoldMb : everyMb) = run.peakMb;
        (grown ? tenfoldHiveMb : everyHiveMb) = std::max(beforeMb, FileMb(hive));
        std::fprintf(stderr, "%s: %.0f ms, %.1f MB, hive %.1f -> %.1f MB (target %.1f MB)\n",
                     grown ? "every value grown tenfold" : "every value", run.ms, run.peakMb, beforeMb, FileMb(hive),
                     2 * std::max(beforeMb, FileMb(hive)) + 100);
    }
    unlink(hive.c_str());
    unlink(output.c_str());
    std::filesystem::remove_all(folder);
    std::fprintf(stderr, "targets: growth <= 1.01, peak_rss_mb <= %.1f; every value: peak <= 2 x hive + 100 MB\n",
                 1.2 * startMb + 50);
    std::printf("keys=%llu start_mb=%.2f cycle1_mb=%.2f end_mb=%.2f growth=%.3f replace_ms=%.0f peak_rss_mb=%.1f "
                "every_value_peak_mb=%.1f every_value_hive_mb=%.1f tenfold_peak_mb=%.1f tenfold_hive_mb=%.1f\n",
                static_cast<unsigned long long>(shape.keys), startMb, cycle1Mb, endMb, endMb / cycle1Mb, replaceMs, peakMb,
                everyMb, everyHiveMb, tenfoldMb, tenfoldHiveMb);
    return 0;
}

int RunHiveRenameBench(TreeShape shape, int cycles) {
    const std::string folder = BenchFolder("keyscour-rename-bench");
    const std::string hive = folder + "/SOFTWARE", undo = folder + "/undo", output = folder + "/records.out";
    std::filesystem::create_directories(undo);
    const std::string cli = CliNextToThisProgram();
    const std::string needle(kNeedle.begin(), kNeedle.end());
    // 1% of the keys (leaves) and 1% of the values renamed in one replace;
    // a data replace touching as many values (2%) to weigh it against.
    Starter rename({cli, "replace", "--hive", hive, needle, "--with", "needlf", "--in", "names,keys", "--yes",
                    "--undo-dir", undo, "--quiet", "--format", "jsonl"},
                   output);
    Starter data({cli, "replace", "--hive", hive, needle, "--with", "needlf", "--in", "data", "--yes", "--undo-dir",
                  undo, "--quiet", "--format", "jsonl"},
                 output);
    shape.hits = 0.02;
    shape.leafNameHits = 0.01 * static_cast<double>(shape.keys) /
                         static_cast<double>(shape.keys - (shape.keys - 1) / shape.fanout);
    shape.valueNameHits = 0.01;
    BuildHive(hive, shape);
    double cycle1Mb = 0, renameMs = 1e300, dataMs = 1e300;
    unsigned long long renamedKeys = 0, renamedValues = 0, changed = 0;
    // Alternating, each undone at once, so that both meet the same hive.
    for (int cycle = 1; cycle <= cycles; ++cycle) {
        for (Starter* starter : {&rename, &data}) {
            const ChildRun replaced = starter->Run();
            const std::string undoFile = OnlyFileIn(undo);
            if (replaced.ms < 0 || undoFile.empty()) {
                std::fprintf(stderr, "the replace of cycle %d failed\n", cycle);
                return 1;
            }
            // What the replace's records count, so that a run that found nothing cannot pass.
            std::ifstream records(output);
            const std::string text((std::istreambuf_iterator<char>(records)), std::istreambuf_iterator<char>());
            const auto count = [&text](const std::string& what) {
                unsigned long long found = 0;
                for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++found;
                return found;
            };
            if (starter == &rename) {
                renamedKeys = count("\"new_key\":");
                renamedValues = count("\"new_name\":");
            } else {
                changed = count("\"kind\":\"change\"");
            }
            const ChildRun undone = RunToFile({cli, "undo", "--hive", hive, undoFile}, output);
            unlink(undoFile.c_str());
            if (undone.ms < 0) {
                std::fprintf(stderr, "the undo of cycle %d failed\n", cycle);
                return 1;
            }
            (starter == &rename ? renameMs : dataMs) = std::min(starter == &rename ? renameMs : dataMs, replaced.ms);
            std::fprintf(stderr, "cycle %d: %s %.0f ms, undo %.0f ms, hive %.2f MB\n", cycle,
                         starter == &rename ? "rename" : "data", replaced.ms, undone.ms, FileMb(hive));
        }
        if (cycle == 1) cycle1Mb = FileMb(hive);
    }
    const double endMb = FileMb(hive);
    std::filesystem::remove_all(folder);
    std::fprintf(stderr, "targets: growth <= 1.01, rename_ms <= 1.5 x data_ms\n");
    std::printf("keys=%llu renamed_keys=%llu renamed_values=%llu changed=%llu cycle1_mb=%.2f end_mb=%.2f growth=%.4f "
                "rename_ms=%.0f data_ms=%.0f ratio=%.2f\n",
                static_cast<unsigned long long>(shape.keys), renamedKeys, renamedValues, changed, cycle1Mb, endMb,
                endMb / cycle1Mb, renameMs, dataMs, renameMs / dataMs);
    return 0;
}

int RunHiveDirtyBench(const TreeShape& shape, int rounds, int percent) {
    // Not held to one core: a replay copies the hive on a thread of its own,
    // as it would on the machine of someone repairing a Windows.
    const std::string folder = BenchFolder("keyscour-dirty-bench");
    const std::string dirty = folder + "/dirty/SOFTWARE", clean = folder + "/clean/SOFTWARE";
    const std::string output = folder + "/search.out";
    std::filesystem::create_directories(folder + "/dirty");
    std::filesystem::create_directories(folder + "/clean");
    const std::string cli = CliNextToThisProgram(), needle(kNeedle.begin(), kNeedle.end());
    Starter searchDirty({cli, "search", "--hive", dirty, needle, "--quiet", "--format", "jsonl"}, output);
    Starter searchClean({cli, "search", "--hive", clean, needle, "--quiet", "--format", "jsonl"}, output);

    BuildHive(dirty, shape);
    std::filesystem::copy_file(dirty, clean, std::filesystem::copy_options::overwrite_existing);
    const auto readAll = [](const std::string& path) {
        std::vector<std::uint8_t> bytes(std::filesystem::file_size(path));
        std::FILE* file = std::fopen(path.c_str(), "rb");
        if (file && std::fread(bytes.data(), 1, bytes.size(), file) != bytes.size()) bytes.clear();
        if (file) std::fclose(file);
        return bytes;
    };
    std::vector<std::uint8_t> primary = readAll(dirty);
    // The changes for real, in the clean copy: one value of keys spread
    // evenly over the hive, enough to touch the share of pages asked for
    // (each touches two: its data's and its key's, for the key's time).
    const std::uint64_t pages = testing::Get32(primary, 0x28) / 4096;
    const std::uint64_t wanted = std::max<std::uint64_t>(1, pages * static_cast<std::uint64_t>(percent) / 200);
    {
        HiveRegistry registry(clean, true);
        for (std::uint64_t k = 0; k < wanted; ++k) {
            const std::uint64_t i = 1 + k * shape.keys / wanted;
            std::wstring path;
            for (std::uint64_t at = i; at > 0; at = (at - 1) / shape.fanout)
                path = L"Key " + std::to_wstring(at) + (path.empty() ? L"" : L"\\" + path);
            KeyHandle key = 0;
            if (registry.CreateKey(HiveRegistry::kRoot, path, key) != 0) continue;
            auto data = EncodeUtf16Le(L"C:\\Data\\nothim\\" + std::to_wstring(i) + L"\\file0.txt");
            data.insert(data.end(), {0, 0});
            registry.SetValue(key, L"Value 0", 1, data.data(), static_cast<std::uint32_t>(data.size()));
            registry.CloseKey(key);
        }
        registry.Commit();
    }
    const std::vector<std::uint8_t> changed = readAll(clean);
    const std::vector<testing::LogPage> dirtyPages = testing::ChangedPages(primary, changed);
    // The primary left as it was when the write began; its entries after it.
    const std::uint32_t sequence = testing::Get32(primary, 4) + 1;
    testing::Put32(primary, 4, sequence);
    testing::Seal(primary);
    std::vector<testing::LogEntry> entries;
    for (std::size_t at = 0; at < dirtyPages.size(); at += 1024) {
        entries.push_back({sequence + static_cast<std::uint32_t>(entries.size()), testing::Get32(changed, 0x28), {}});
        const auto end = dirtyPages.begin() + static_cast<std::ptrdiff_t>(std::min(dirtyPages.size(), at + 1024));
        entries.back().pages.assign(dirtyPages.begin() + static_cast<std::ptrdiff_t>(at), end);
    }
    WriteFileBytes(dirty, primary);
    WriteFileBytes(dirty + ".LOG1", testing::NewFormatLog(changed, sequence, entries));
    WriteFileBytes(dirty + ".LOG2", {});
    // On the disk, as a hive to be repaired is: nothing of the build left
    // for the kernel to write back while the searches run.
    ::sync();
    const double hiveMb = FileMb(dirty);
    std::fprintf(stderr, "hive %.1f MB, %zu of %llu pages (%.1f%%) in %zu log entries (%.1f MB of log)\n", hiveMb,
                 dirtyPages.size(), static_cast<unsigned long long>(pages), 100.0 * dirtyPages.size() / pages,
                 entries.size(), FileMb(dirty + ".LOG1"));

    double dirtyMs = 1e300, cleanMs = 1e300, peakMb = 0;
    for (int round = 0; round < rounds; ++round) {
        const ChildRun fromLogs = searchDirty.Run(), asWritten = searchClean.Run();
        if (fromLogs.ms < 0 || asWritten.ms < 0) {
            std::fprintf(stderr, "keyscour-cli failed\n");
            return 1;
        }
        dirtyMs = std::min(dirtyMs, fromLogs.ms);
        cleanMs = std::min(cleanMs, asWritten.ms);
        peakMb = std::max(peakMb, fromLogs.peakMb);
        std::fprintf(stderr, "round %d: dirty %.1f ms, %.1f MB; clean %.1f ms\n", round + 1, fromLogs.ms, fromLogs.peakMb,
                     asWritten.ms);
    }
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    std::fprintf(stderr, "targets: ratio <= 1.3, peak_rss_mb <= %.1f\n", 1.5 * hiveMb + 50);
    std::printf("keys=%llu dirty_ms=%.1f clean_ms=%.1f ratio=%.2f peak_rss_mb=%.1f hive_mb=%.1f\n",
                static_cast<unsigned long long>(shape.keys), dirtyMs, cleanMs, dirtyMs / cleanMs, peakMb, hiveMb);
    return 0;
}

int RunHiveBench(const TreeShape& shape, int rounds, const std::string& hiveFile) {
    PinToOneCore();
    const std::string folder = BenchFolder("keyscour-hive-bench");
    mkdir(folder.c_str(), 0700);
    const bool keep = !hiveFile.empty();
    const std::string hive = keep ? hiveFile : folder + "/SOFTWARE";
    const std::string output = folder + "/search.out";

    Starter search({CliNextToThisProgram(), "search", "--hive", hive + "=HKLM\\SOFTWARE",
                    std::string(kNeedle.begin(), kNeedle.end()), "--quiet", "--format", "jsonl"},
                   output);
    struct stat info {};
    auto start = Clock::now();
    double buildMs = 0;
    if (keep && stat(hive.c_str(), &info) == 0) {
        std::fprintf(stderr, "searching %s as it is\n", hive.c_str());
    } else {
        std::error_code ignored;
        std::filesystem::create_directories(std::filesystem::path(hive).parent_path(), ignored);
        BuildHive(hive, shape);
        buildMs = MsSince(start);
    }
    stat(hive.c_str(), &info);
    const double hiveMb = info.st_size / (1024.0 * 1024.0);
    std::fprintf(stderr, "built in %.0f ms: %.1f MB\n", buildMs, hiveMb);

    double floorMs = 1e300, searchMs = 1e300, peakMb = 0;
    std::uint64_t nodes = 0;
    for (int round = 0; round < rounds; ++round) {
        start = Clock::now();
        nodes = HivexWalk(hive);
        floorMs = std::min(floorMs, MsSince(start));
        const ChildRun run = search.Run();
        if (run.ms < 0) {
            std::fprintf(stderr, "keyscour-cli failed\n");
            return 1;
        }
        searchMs = std::min(searchMs, run.ms);
        peakMb = std::max(peakMb, run.peakMb);
        std::fprintf(stderr, "round %d: hivex walk %.1f ms (%llu keys), keyscour-cli %.1f ms, %.1f MB\n", round + 1,
                     floorMs, static_cast<unsigned long long>(nodes), run.ms, run.peakMb);
    }
    unlink(output.c_str());
    if (!keep) unlink(hive.c_str());
    rmdir(folder.c_str());
    std::printf("keys=%llu floor_ms=%.1f search_ms=%.1f ratio=%.2f peak_rss_mb=%.1f\n",
                static_cast<unsigned long long>(nodes ? nodes - 1 : 0), floorMs, searchMs, searchMs / floorMs, peakMb);
    std::fprintf(stderr, "hive_mb=%.1f build_ms=%.0f peak target %.1f MB\n", hiveMb, buildMs, 3 * hiveMb + 50);
    return 0;
}

int RunHiveWindowsBench(TreeShape shape, int rounds) {
    PinToOneCore();
    const std::string volume = BenchFolder("keyscour-windows-bench");
    const std::string config = volume + "/Windows/System32/config", profile = volume + "/Users/bench";
    const std::string output = volume + "/search.out";
    std::filesystem::create_directories(config);
    std::filesystem::create_directories(profile);
    struct Hive {
        std::string file, mount;
        double share;
    };
    const std::vector<Hive> hives{{config + "/SOFTWARE", "HKLM\\SOFTWARE", 0.40},
                                  {config + "/SYSTEM", "HKLM\\SYSTEM", 0.25},
                                  {config + "/SAM", "HKLM\\SAM", 0.025},
                                  {config + "/SECURITY", "HKLM\\SECURITY", 0.025},
                                  {config + "/DEFAULT", "HKU\\.DEFAULT", 0.10},
                                  {profile + "/NTUSER.DAT", "HKU\\S-1-5-21-1-2-3-1001", 0.20}};
    const std::string cli = CliNextToThisProgram(), needle(kNeedle.begin(), kNeedle.end());
    // Started while this process is small, as the others are.
    Starter whole({cli, "search", "--windows", volume, needle, "--quiet", "--format", "jsonl"}, output);
    // Each starter's child holds the pipes of those started before it, so
    // they are ended last first.
    struct Starters {
        std::vector<std::unique_ptr<Starter>> all;
        ~Starters() {
            while (!all.empty()) all.pop_back();
        }
    } starters;
    auto& separate = starters.all;
    for (const auto& hive : hives)
        separate.push_back(std::make_unique<Starter>(
            std::vector<std::string>{cli, "search", "--hive", hive.file + "=" + hive.mount, needle, "--quiet", "--format",
                                     "jsonl"},
            output));

    const std::uint64_t total = shape.keys;
    for (const auto& hive : hives) {
        TreeShape part = shape;
        part.keys = static_cast<std::uint64_t>(static_cast<double>(total) * hive.share);
        WriteFileBytes(hive.file, BlankHive());
        HiveRegistry registry(hive.file, true);
        std::fprintf(stderr, "building %s: %llu keys...\n", hive.mount.c_str(), static_cast<unsigned long long>(part.keys));
        BuildTree(registry, HiveRegistry::kRoot, L"", part);
        if (hive.mount == "HKLM\\SOFTWARE") {
            // The one profile, as ProfileList names it.
            KeyHandle key = 0;
            registry.CreateKey(HiveRegistry::kRoot,
                               L"Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\S-1-5-21-1-2-3-1001", key);
            auto path = EncodeUtf16Le(L"C:\\Users\\bench");
            path.insert(path.end(), {0, 0});
            registry.SetValue(key, L"ProfileImagePath", 2, path.data(), static_cast<std::uint32_t>(path.size()));
            registry.CloseKey(key);
        }
        registry.Commit();
    }
    ::sync();

    double wholeMs = 1e300, separateMs = 1e300, peakMb = 0;
    for (int round = 0; round < rounds; ++round) {
        const ChildRun all = whole.Run();
        double sum = 0;
        for (auto& starter : separate) {
            const ChildRun one = starter->Run();
            if (one.ms < 0) sum = -1e300;
            sum += one.ms;
        }
        if (all.ms < 0 || sum < 0) {
            std::fprintf(stderr, "keyscour-cli failed\n");
            return 1;
        }
        wholeMs = std::min(wholeMs, all.ms);
        separateMs = std::min(separateMs, sum);
        peakMb = std::max(peakMb, all.peakMb);
        std::fprintf(stderr, "round %d: --windows %.1f ms, %.1f MB; six --hive runs %.1f ms\n", round + 1, all.ms,
                     all.peakMb, sum);
    }
    std::error_code ignored;
    std::filesystem::remove_all(volume, ignored);
    std::fprintf(stderr, "target: ratio <= 1.1\n");
    std::printf("keys=%llu hives=%zu windows_ms=%.1f separate_ms=%.1f ratio=%.3f peak_rss_mb=%.1f\n",
                static_cast<unsigned long long>(total), hives.size(), wholeMs, separateMs, wholeMs / separateMs, peakMb);
    return 0;
}

namespace {

// Every key node's time in a hive file set: old, and every hundredth one
// recent. Cells are walked bin by bin; nothing else of the hive changes.
std::uint64_t SetKeyTimes(const std::string& path, std::uint64_t oldTime, std::uint64_t recentTime) {
    std::vector<std::uint8_t> hive(std::filesystem::file_size(path));
    std::FILE* file = std::fopen(path.c_str(), "r+b");
    if (!file || std::fread(hive.data(), 1, hive.size(), file) != hive.size()) {
        if (file) std::fclose(file);
        return 0;
    }
    std::uint64_t keys = 0, recent = 0;
    for (std::size_t bin = 4096; bin + 32 <= hive.size();) {
        const std::uint32_t binSize = testing::Get32(hive, bin + 8);
        if (std::memcmp(hive.data() + bin, "hbin", 4) != 0 || binSize == 0) break;
        for (std::size_t cell = bin + 32; cell + 4 < bin + binSize;) {
            const std::int32_t size = static_cast<std::int32_t>(testing::Get32(hive, cell));
            const std::size_t length = static_cast<std::size_t>(size < 0 ? -size : size);
            if (length < 8) break;
            if (size < 0 && hive[cell + 4] == 'n' && hive[cell + 5] == 'k') {
                const std::uint64_t time = ++keys % 100 == 0 ? (++recent, recentTime) : oldTime;
                testing::Put32(hive, cell + 8, static_cast<std::uint32_t>(time));
                testing::Put32(hive, cell + 12, static_cast<std::uint32_t>(time >> 32));
            }
            cell += length;
        }
        bin += binSize;
    }
    std::fseek(file, 0, SEEK_SET);
    std::fwrite(hive.data(), 1, hive.size(), file);
    std::fclose(file);
    return recent;
}

double Median(std::vector<double> times) {
    std::sort(times.begin(), times.end());
    return times.empty() ? 0 : times[times.size() / 2];
}

}  // namespace

int RunHiveOptionsBench(TreeShape shape, int rounds) {
    PinToOneCore();
    const std::string folder = BenchFolder("keyscour-options-bench");
    std::filesystem::create_directories(folder);
    const std::string hive = folder + "/SOFTWARE", output = folder + "/search.out";
    const std::string cli = CliNextToThisProgram(), needle(kNeedle.begin(), kNeedle.end());
    const auto searchWith = [&](std::vector<std::string> more) {
        std::vector<std::string> argv{cli, "search", "--hive", hive, "--quiet", "--format", "jsonl"};
        argv.insert(argv.end(), more.begin(), more.end());
        return std::make_unique<Starter>(argv, output);
    };
    // Started while this process is small; ended last first (each child
    // holds the pipes of those started before it).
    struct Starters {
        std::vector<std::unique_ptr<Starter>> all;
        ~Starters() {
            while (!all.empty()) all.pop_back();
        }
    } starters;
    enum { kPlain, kSince, kOnePair, kFiftyPairs, kOpen, kExcluded, kCount };
    starters.all.push_back(searchWith({needle}));
    starters.all.push_back(searchWith({needle, "--since", "2026-01-01"}));
    starters.all.push_back(searchWith({"--pairs", folder + "/one.txt"}));
    starters.all.push_back(searchWith({"--pairs", folder + "/fifty.txt"}));
    starters.all.push_back(searchWith({needle, "--exclude", "SOFTWARE\\*"}));
    starters.all.push_back(searchWith({needle, "--exclude", "SOFTWARE\\Half A"}));

    // Two branches of half the keys each, the text in 5% of their values.
    std::fprintf(stderr, "building a hive of %llu keys in two halves...\n", static_cast<unsigned long long>(shape.keys));
    WriteFileBytes(hive, BlankHive());
    {
        HiveRegistry registry(hive, true);
        TreeShape half = shape;
        half.keys = shape.keys / 2;
        BuildTree(registry, HiveRegistry::kRoot, L"Half A", half);
        BuildTree(registry, HiveRegistry::kRoot, L"Half B", half);
        registry.Commit();
    }
    // 2020-01-01 and 2026-06-01, as FILETIMEs.
    const std::uint64_t recent = SetKeyTimes(hive, 132223104000000000ull, 133616160000000000ull);
    std::ofstream(folder + "/one.txt") << needle << "\tpin\n";
    {
        std::ofstream fifty(folder + "/fifty.txt");
        fifty << needle << "\tpin\n";
        for (int i = 1; i < 50; ++i) fifty << "absent text " << i << "\tx" << i << "\n";
    }
    ::sync();

    std::vector<std::vector<double>> times(kCount);
    for (int round = 0; round < rounds; ++round) {
        for (int i = 0; i < kCount; ++i) {
            const ChildRun run = starters.all[static_cast<std::size_t>(i)]->Run();
            if (run.ms < 0) {
                std::fprintf(stderr, "keyscour-cli failed (search %d)\n", i);
                return 1;
            }
            times[static_cast<std::size_t>(i)].push_back(run.ms);
        }
        std::fprintf(stderr, "round %d: plain %.0f, since %.0f, one pair %.0f, fifty pairs %.0f, open %.0f, half excluded %.0f ms\n",
                     round + 1, times[kPlain].back(), times[kSince].back(), times[kOnePair].back(),
                     times[kFiftyPairs].back(), times[kOpen].back(), times[kExcluded].back());
    }
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    const double plain = Median(times[kPlain]), since = Median(times[kSince]);
    const double one = Median(times[kOnePair]), fifty = Median(times[kFiftyPairs]);
    const double open = Median(times[kOpen]), excluded = Median(times[kExcluded]);
    // Each ratio is taken within its round, where the searches it compares
    // ran side by side, and then the median of those: a machine that slows
    // down halfway moves the times, not the ratios.
    const auto ratio = [&](auto of) {
        std::vector<double> ratios;
        for (int round = 0; round < rounds; ++round) ratios.push_back(of(static_cast<std::size_t>(round)));
        return Median(ratios);
    };
    const double sinceRatio = ratio([&](std::size_t r) { return times[kSince][r] / times[kPlain][r]; });
    const double pairsRatio = ratio([&](std::size_t r) { return times[kFiftyPairs][r] / times[kOnePair][r]; });
    const double excludeRatio = ratio([&](std::size_t r) {
        return (times[kExcluded][r] - times[kOpen][r]) / (times[kPlain][r] - times[kOpen][r]);
    });
    std::fprintf(stderr, "medians of %d rounds, ratios within each round; targets: since_ratio <= 1.05, "
                         "pairs_ratio <= 1.5, exclude_ratio <= 0.6\n",
                 rounds);
    std::printf("keys=%llu recent_keys=%llu plain_ms=%.1f since_ms=%.1f since_ratio=%.3f one_pair_ms=%.1f "
                "fifty_pairs_ms=%.1f pairs_ratio=%.3f open_ms=%.1f walk_ms=%.1f half_excluded_walk_ms=%.1f "
                "exclude_ratio=%.3f\n",
                static_cast<unsigned long long>(shape.keys), static_cast<unsigned long long>(recent), plain, since,
                sinceRatio, one, fifty, pairsRatio, open, plain - open, excluded - open, excludeRatio);
    return 0;
}

}  // namespace keyscour::bench
