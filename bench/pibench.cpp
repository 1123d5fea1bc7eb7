// pibench: measures the installer and the tools against what the machine
// itself takes for the same bytes (cp, md5sum, zlib, pigz), side by side in
// one run, and prints a table. bench/run.sh builds and starts it. With
// --compression it measures only how small mkpatch's payload gets (zlib's
// level 9, zopfli's level 11) against 7-Zip and pigz at their best.
//
//   pibench --scratch DIR [--quick] [--size-mib N] [--runs N] [--warm] [--compression]
#include "bench_data.h"
#include "bench_process.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <sys/utsname.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using namespace bench;

namespace {

struct Options {
    std::string scratch;
    u32 sizeMiB = 1024;
    int runs = 5;
    bool warm = false;
    bool compression = false;
    u32 manyCount = 100000;
};

// The programs of the build that this pibench belongs to.
struct Programs {
    std::string orv, paktool, mkpatch, inflate, index, open, nosync;
};

Programs FindPrograms() {
    const fs::path bin = fs::read_symlink("/proc/self/exe").parent_path();
    const fs::path root = bin.parent_path();
    return {(root / "src/cli/orv").string(),
            (root / "tools/paktool/paktool").string(),
            (root / "tools/mkpatch/mkpatch").string(),
            (bin / "bench_inflate").string(),
            (bin / "bench_index").string(),
            (bin / "bench_open").string(),
            (bin / "libbench_nosync.so").string()};
}

[[noreturn]] void Usage(const std::string& problem) {
    std::fprintf(stderr,
                 "pibench: %s\nusage: pibench --scratch DIR [--quick] [--size-mib N] "
                 "[--runs N] [--warm] [--compression]\n",
                 problem.c_str());
    std::exit(2);
}

Options ParseOptions(int argc, char** argv) {
    Options options;
    bool runsGiven = false, sizeGiven = false, quick = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                Usage(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--scratch")
            options.scratch = value();
        else if (arg == "--quick")
            quick = true;
        else if (arg == "--warm")
            options.warm = true;
        else if (arg == "--compression")
            options.compression = true;
        else if (arg == "--size-mib")
            options.sizeMiB = static_cast<u32>(std::atoi(value().c_str())), sizeGiven = true;
        else if (arg == "--runs")
            options.runs = std::atoi(value().c_str()), runsGiven = true;
        else
            Usage("unknown argument " + arg);
    }
    if (options.scratch.empty())
        Usage("--scratch is required");
    if (quick && !sizeGiven)
        options.sizeMiB = 64;
    if (quick && !runsGiven)
        options.runs = 3;
    // zopfli takes minutes where zlib takes seconds: one run unless asked.
    if (options.compression && !runsGiven)
        options.runs = 1;
    if (options.sizeMiB < 16 || options.sizeMiB > 3000 || options.runs < 1)
        Usage("--size-mib takes 16 to 3000, --runs at least 1");
    return options;
}

double MiB(u64 bytes) {
    return bytes / 1048576.0;
}

u64 FileSize(const std::string& path) {
    return fs::file_size(path);
}

std::string LoadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string first;
    in >> first;
    return first.empty() ? "unknown" : first;
}

// The file system that holds `path`, from the longest mount point above it.
std::string FileSystemOf(const std::string& path) {
    const std::string absolute = fs::absolute(path).string();
    std::ifstream mounts("/proc/mounts");
    std::string device, point, type, best = "unknown file system";
    size_t bestLength = 0;
    while (mounts >> device >> point >> type) {
        std::string rest;
        std::getline(mounts, rest);
        const bool above =
            absolute.compare(0, point.size(), point) == 0 &&
            (point == "/" || absolute.size() == point.size() || absolute[point.size()] == '/');
        if (above && point.size() >= bestLength) {
            bestLength = point.size();
            best = type + " on " + device;
        }
    }
    return best;
}

std::string Machine(const std::string& scratch) {
    std::string cpu = "unknown CPU";
    std::ifstream info("/proc/cpuinfo");
    for (std::string line; std::getline(info, line);) {
        if (line.rfind("model name", 0) == 0) {
            cpu = line.substr(line.find(':') + 2);
            break;
        }
    }
    const long cores = sysconf(_SC_NPROCESSORS_ONLN);
    const double memory = sysconf(_SC_PHYS_PAGES) * static_cast<double>(sysconf(_SC_PAGESIZE));
    utsname name;
    uname(&name);
    char text[512];
    std::snprintf(text, sizeof text, "%s, %ld cores, %.1f GiB memory, %s, Linux %s", cpu.c_str(),
                  cores, memory / (1 << 30), FileSystemOf(scratch).c_str(), name.release);
    return text;
}

struct Row {
    std::string figure;
    Sample project;
    Sample baseline;
    std::string baselineNote;
    std::string goal;
};

class Bench {
  public:
    Bench(const Options& options, const Programs& programs)
        : m_options(options), m_programs(programs), m_work(options.scratch + "/work") {}

    void Run() {
        m_loadBefore = LoadAverage();
        m_set = PrepareData(m_options.scratch, m_options.sizeMiB, m_options.manyCount);
        fs::remove_all(m_work);
        fs::create_directories(m_work);
        m_cold = !m_options.warm && DropCaches();
        if (m_options.compression) {
            MeasureCompression();
            m_loadAfter = LoadAverage();
            PrintCompression();
            fs::remove_all(m_work);
            return;
        }
        MeasureBuild();
        MeasureApply();
        MeasureFlatApply();
        MeasureVerify();
        MeasureOpen();
        m_loadAfter = LoadAverage();
        Print();
        fs::remove_all(m_work);
    }

  private:
    std::string Work(const std::string& name) const { return m_work + "/" + name; }
    std::string Installer() const { return Work("installer"); }

    Sample Timed(const std::vector<std::string>& argv, const std::string& out = "/dev/null") {
        if (m_cold)
            DropCaches();
        Command command;
        command.argv = argv;
        command.stdoutPath = out;
        command.stderrPath = Work("stderr.txt");
        return bench::Run(command);
    }

    Sample Apply(const std::string& game) {
        return Timed({Installer(), game}, Work("installer.out"));
    }

    // The same run with every flush made a no-op: what the installer costs
    // apart from making its files durable, which cp does not do.
    Sample ApplyWithoutFlushes(const std::string& game) {
        return Timed({"env", "LD_PRELOAD=" + m_programs.nosync, Installer(), game},
                     Work("installer.out"));
    }

    void Fresh(const std::string& from, const std::string& to) {
        fs::remove_all(to);
        RunQuietly({"cp", "-a", from, to});
    }

    void MeasureBuild() {
        std::vector<Sample> project, baseline;
        for (int run = 0; run < m_options.runs; ++run) {
            project.push_back(Timed({m_programs.mkpatch, "build", "--stub", m_programs.orv, "-o",
                                     Installer(), "--pak", "data/main.pak=" + m_set.patchMain,
                                     "--pak", "data/new.pak=" + m_set.patchNew, "--files",
                                     m_set.patchLoose, "--level", "6"}));
            baseline.push_back(
                Timed({"pigz", "-p", "1", "-6", "-c", m_set.concat}, Work("concat.gz")));
        }
        m_payloadBytes = FileSize(Installer()) - FileSize(m_programs.orv) - 8;
        m_rows.push_back({"mkpatch build --level 6", Median(project), Median(baseline),
                          "pigz -p 1 -6 of the same bytes", "-"});
    }

    std::vector<std::string> BuildCommand(const std::string& level) const {
        return {m_programs.mkpatch,
                "build",
                "--stub",
                m_programs.orv,
                "-o",
                Installer(),
                "--pak",
                "data/main.pak=" + m_set.patchMain,
                "--pak",
                "data/new.pak=" + m_set.patchNew,
                "--files",
                m_set.patchLoose,
                "--level",
                level};
    }

    // What follows the stub, less the trailer: the raw-deflate stream and
    // at most 7 bytes of padding.
    u64 PayloadBytes() const { return FileSize(Installer()) - FileSize(m_programs.orv) - 8; }

    // The raw-deflate stream of a gzip file: less its header (with the file
    // name 7-Zip stores) and its 8-byte trailer.
    static u64 GzipDeflateBytes(const std::string& path) {
        const std::string gz = ReadText(path);
        if (gz.size() < 18 || static_cast<u8>(gz[0]) != 0x1F || static_cast<u8>(gz[1]) != 0x8B)
            throw std::runtime_error(path + " is no gzip file");
        const u8 flags = static_cast<u8>(gz[3]);
        size_t at = 10;
        if (flags & 0x04)
            at += 2 + (static_cast<u8>(gz[10]) | static_cast<u8>(gz[11]) << 8);
        for (u8 field : {0x08, 0x10}) // name, comment
            if (flags & field)
                at = gz.find('\0', at) + 1;
        if (flags & 0x02)
            at += 2;
        return gz.size() - at - 8;
    }

    static std::string SevenZip() {
        for (const char* name : {"7zz", "7z"})
            for (const char* dir : {"/usr/bin/", "/usr/local/bin/", "/bin/"})
                if (access((std::string(dir) + name).c_str(), X_OK) == 0)
                    return std::string(dir) + name;
        throw std::runtime_error("no 7zz or 7z (scripts/setup.sh installs 7zip)");
    }

    void MeasureCompression() {
        m_inflatedBytes = FileSize(m_set.concat);
        const std::string gz = Work("concat.gz");
        const std::string sevenZip = SevenZip();
        struct Way {
            std::string name;
            std::function<std::vector<std::string>()> command;
            std::function<u64()> size;
            std::string out = "/dev/null";
        };
        const std::vector<Way> ways = {
            {"mkpatch build --level 9", [&] { return BuildCommand("9"); },
             [&] { return PayloadBytes(); }},
            {"mkpatch build --level 11", [&] { return BuildCommand("11"); },
             [&] { return PayloadBytes(); }},
            {"7z -tgzip -mx=9",
             [&] {
                 fs::remove(gz);
                 return std::vector<std::string>{sevenZip, "a", "-tgzip",
                                                 "-mx=9",  gz,  m_set.concat};
             },
             [&] { return GzipDeflateBytes(gz); }},
            {"pigz -11 (zopfli, 128 KiB blocks)",
             [&] {
                 return std::vector<std::string>{"pigz", "-11", "-c", m_set.concat};
             },
             [&] { return GzipDeflateBytes(gz); }, gz},
            {"pigz -9",
             [&] {
                 return std::vector<std::string>{"pigz", "-9", "-c", m_set.concat};
             },
             [&] { return GzipDeflateBytes(gz); }, gz},
        };
        for (const Way& way : ways) {
            std::vector<Sample> samples;
            for (int run = 0; run < m_options.runs; ++run)
                samples.push_back(Timed(way.command(), way.out));
            m_squeezed.push_back({way.name, Median(samples), way.size()});
        }
    }

    void PrintCompression() const {
        std::printf("\nmachine: %s\n", Machine(m_options.scratch).c_str());
        std::printf("data: the patch of an archive of %.1f MiB: %.1f MiB in %u records (%.1f MiB "
                    "back to back, which the other programs compress)\n",
                    MiB(m_set.archiveBytes), MiB(m_set.patchBytes), m_set.patchRecords,
                    MiB(m_inflatedBytes));
        std::printf("runs: %d each, medians; every program may use both cores; load average (1 "
                    "min) before %s, after %s\n\n",
                    m_options.runs, m_loadBefore.c_str(), m_loadAfter.c_str());
        std::printf("%-36s %9s %9s %12s %9s\n", "compressor", "wall s", "cpu s", "deflate bytes",
                    "vs lvl 9");
        const double level9 = static_cast<double>(m_squeezed.front().bytes);
        for (const Squeezed& row : m_squeezed)
            std::printf("%-36s %9.2f %9.2f %12llu %+8.2f%%\n", row.name.c_str(), row.sample.wall,
                        row.sample.cpu, static_cast<unsigned long long>(row.bytes),
                        (row.bytes / level9 - 1) * 100);
        std::printf(
            "\nmkpatch's payload also holds the package's record tables (and up to 7 bytes "
            "of\npadding); 7-Zip's and pigz's streams are counted without their gzip header "
            "and trailer.\n");
    }

    void MeasureApply() {
        const std::string game = Work("game");
        const std::string pristineArchive = m_set.pristine + "/data/main.pak";
        std::vector<Sample> first, second, unflushed, copy, hash, inflate, index;
        for (int run = 0; run < m_options.runs; ++run) {
            Fresh(m_set.pristine, game);
            unflushed.push_back(ApplyWithoutFlushes(game));
            Fresh(m_set.pristine, game);
            first.push_back(Apply(game));
            if (run == 0)
                CheckPatchedGame(game);
            second.push_back(Apply(game));
            index.push_back(
                Timed({m_programs.index, game + "/data/main.pak", game + "/data/new.pak"}));
            fs::remove(Work("copy.pak"));
            copy.push_back(Timed({"cp", pristineArchive, Work("copy.pak")}));
            hash.push_back(Timed({"md5sum", pristineArchive}));
            inflate.push_back(Timed({m_programs.inflate, Installer(), Work("payload.bin")}));
        }
        m_inflatedBytes = FileSize(Work("payload.bin"));
        m_copy = Median(copy);
        m_hash = Median(hash);
        m_inflate = Median(inflate);
        Sample sum;
        sum.wall = m_copy.wall + m_hash.wall + m_inflate.wall;
        sum.cpu = m_copy.cpu + m_hash.cpu + m_inflate.cpu;
        sum.peakKiB = std::max({m_copy.peakKiB, m_hash.peakKiB, m_inflate.peakKiB});
        m_first = Median(first);
        m_rows.push_back({"apply, first run", m_first, sum, "cp + md5sum + inflate", "<= 1.15"});
        m_rows.push_back({"  the same without flushes", Median(unflushed), sum,
                          "cp + md5sum + inflate (fsync a no-op)", "-"});
        const Sample indexRead = Median(index);
        m_rows.push_back({"apply, second run (nothing to do)", Median(second), indexRead,
                          "read the archives' header and index", "-"});
        // Even with nothing to do the whole payload is inflated: it is checked
        // before the game directory is touched.
        Sample unpackAndIndex;
        unpackAndIndex.wall = m_inflate.wall + indexRead.wall;
        unpackAndIndex.cpu = m_inflate.cpu + indexRead.cpu;
        unpackAndIndex.peakKiB = std::max(m_inflate.peakKiB, indexRead.peakKiB);
        m_rows.push_back({"  the same", Median(second), unpackAndIndex,
                          "inflate the payload + read the index", "-"});
    }

    // The patched archives must be whole; their digest shows whether two
    // builds wrote the same bytes.
    void CheckPatchedGame(const std::string& game) {
        const std::string main = game + "/data/main.pak";
        Command verify;
        verify.argv = {m_programs.paktool, "verify", main, game + "/data/new.pak"};
        verify.stdoutPath = Work("verify.out");
        verify.stderrPath = Work("stderr.txt");
        bench::Run(verify);
        Command digest;
        digest.argv = {"md5sum", main};
        digest.stdoutPath = Work("digest.out");
        bench::Run(digest);
        m_patchedDigest = ReadText(Work("digest.out")).substr(0, 32);
        m_patchedBytes = FileSize(main);
    }

    void MeasureFlatApply() {
        const std::string game = Work("game-flat");
        Fresh(m_set.flat, game);
        m_flat = Apply(game);
        fs::remove_all(game);
        m_floor = Timed({Installer(), "--help"});
    }

    void MeasureVerify() {
        const std::string archive = m_set.pristine + "/data/main.pak";
        std::vector<Sample> project, baseline;
        for (int run = 0; run < m_options.runs; ++run) {
            project.push_back(Timed({m_programs.paktool, "verify", archive}));
            baseline.push_back(Timed({"md5sum", archive}));
        }
        m_rows.push_back(
            {"paktool verify", Median(project), Median(baseline), "md5sum", "<= 1.10"});
    }

    void MeasureOpen() {
        const std::string out = Work("open.out");
        m_openProcess =
            Timed({m_programs.open, m_set.manyEntries, std::to_string(m_options.runs * 3)}, out);
        const std::string text = ReadText(out);
        if (std::sscanf(text.c_str(), "%lf %lf %lf %zu", &m_openMs, &m_readMs, &m_decipherMs,
                        &m_openEntries) != 4)
            throw std::runtime_error("bench_open printed: " + text);
    }

    void PrintRow(const Row& row) const {
        const double ratio = row.project.wall / row.baseline.wall;
        const double cpuRatio = row.baseline.cpu > 0 ? row.project.cpu / row.baseline.cpu : 0;
        std::printf("%-34s %8.3f %8.3f %7.2f %7.2f  %-8s %s\n", row.figure.c_str(),
                    row.project.wall, row.baseline.wall, ratio, cpuRatio, row.goal.c_str(),
                    row.baselineNote.c_str());
    }

    void Print() const {
        std::printf("\nmachine: %s\n", Machine(m_options.scratch).c_str());
        std::printf("data: archive %.1f MiB, %u sub-files, largest %.1f MiB; patch %.1f MiB in %u "
                    "records, installer payload %.1f MiB deflated, %.1f MiB inflated\n",
                    MiB(m_set.archiveBytes), m_set.archiveEntries, MiB(m_set.largestSubFile),
                    MiB(m_set.patchBytes), m_set.patchRecords, MiB(m_payloadBytes),
                    MiB(m_inflatedBytes));
        std::printf("runs: %d each, medians; page cache %s\n", m_options.runs,
                    m_cold ? "dropped before every timed run (cold)"
                           : "kept (warm: every run after the first reads from memory)");
        std::printf("load average (1 min) before %s, after %s\n\n", m_loadBefore.c_str(),
                    m_loadAfter.c_str());
        std::printf("%-34s %8s %8s %7s %7s  %-8s %s\n", "figure", "proj s", "base s", "ratio",
                    "cpu", "goal", "baseline");
        for (const Row& row : m_rows)
            PrintRow(row);
        std::printf("  (apply baseline parts: cp %.3f s, md5sum %.3f s, inflate %.3f s)\n",
                    m_copy.wall, m_hash.wall, m_inflate.wall);
        std::printf("%-34s %8.1f %8.1f %7.1f %7s  %-8s %s\n",
                    ("open " + std::to_string(m_openEntries) + " sub-files (ms)").c_str(), m_openMs,
                    m_readMs, m_openMs / m_readMs, "-", "< 50 ms", "read header and index bytes");
        std::printf("  (of the open: 3DES over the %.1f MiB index %.1f ms)\n",
                    MiB(m_set.manyIndexBytes), m_decipherMs);

        std::printf("\n%-34s %8s %8s\n", "peak resident memory (MiB)", "proj", "base");
        for (const Row& row : m_rows) {
            if (row.figure[0] == ' ')
                continue;
            std::printf("%-34s %8.1f %8.1f", row.figure.c_str(), row.project.peakKiB / 1024.0,
                        row.baseline.peakKiB / 1024.0);
            if (row.figure == "apply, first run")
                std::printf("   largest sub-file %.1f MiB, payload %.1f MiB inflated",
                            MiB(m_set.largestSubFile), MiB(m_inflatedBytes));
            std::printf("\n");
        }
        std::printf("%-34s %8.1f %8s   largest sub-file %.1f MiB\n",
                    "apply, archive of 1 MiB sub-files", m_flat.peakKiB / 1024.0, "",
                    MiB(m_set.flatLargest));
        std::printf("%-34s %8.1f %8s   the program and its libraries, no work\n",
                    "installer --help", m_floor.peakKiB / 1024.0, "");
        std::printf("%-34s %8.1f %8s   the whole bench_open process\n",
                    ("open " + std::to_string(m_openEntries) + " sub-files").c_str(),
                    m_openProcess.peakKiB / 1024.0, "");
        std::printf("\npatched data/main.pak: %.1f MiB, md5 %s\n", MiB(m_patchedBytes),
                    m_patchedDigest.c_str());
    }

    Options m_options;
    Programs m_programs;
    std::string m_work;
    DataSet m_set;
    bool m_cold = false;
    std::vector<Row> m_rows;
    struct Squeezed {
        std::string name;
        Sample sample;
        u64 bytes;
    };
    std::vector<Squeezed> m_squeezed;
    Sample m_first, m_flat, m_floor, m_copy, m_hash, m_inflate, m_openProcess;
    u64 m_payloadBytes = 0, m_inflatedBytes = 0, m_patchedBytes = 0;
    std::string m_patchedDigest;
    std::string m_loadBefore, m_loadAfter;
    double m_openMs = 0, m_readMs = 0, m_decipherMs = 0;
    size_t m_openEntries = 0;
};

} // namespace

int main(int argc, char** argv) {
    const Options options = ParseOptions(argc, argv);
    try {
        SetSpawner((fs::read_symlink("/proc/self/exe").parent_path() / "bench_spawn").string());
        Bench bench(options, FindPrograms());
        bench.Run();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "pibench: %s\n", error.what());
        return 1;
    }
    return 0;
}
