// The real program run as a process: console texts, exit statuses, what happens to the
// files on the way, and input and output through pipes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "coder.h"
#include "lzw.h"
#include "roundtrip.h"

extern char** environ;

namespace lzw::testing {
namespace {

namespace fs = std::filesystem;

struct Mode {
    std::string name;
    std::string banner;
};

const std::vector<Mode> kModes = {
    {"c1", "KOMPRESJA LZW"},
    {"d1", "DEKOMPRESJA LZW"},
    {"c2", "KOMPRESJA LZW + usuwanie najrzadziej wystepujacych fraz"},
    {"d2", "DEKOMPRESJA LZW + usuwanie najrzadziej wystepujacych fraz"},
    {"c3", "KOMPRESJA LZW + czyszczenie slownika po jego zapelnieniu"},
    {"d3", "DEKOMPRESJA LZW + czyszczenie slownika po jego zapelnieniu"},
};

const std::string kUsageLine = "uzycie: lzw c1|d1|c2|d2|c3|d3 WEJSCIE WYJSCIE\n";

const std::regex kTimeLine("Czas trwania obliczen:-?[0-9]+ ms\\.\n\n");

bool isTimeLine(const std::string& text) {
    return std::regex_match(text, kTimeLine);
}

std::string bannerLine(const std::string& mode) {
    for (const Mode& m : kModes) {
        if (m.name == mode) return m.banner + "\n";
    }
    return "?";
}

struct Outcome {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
};

int lineCount(const std::string& text) {
    int n = 0;
    for (char ch : text) n += ch == '\n';
    return n;
}

// Every test gets a fresh directory; the program runs inside it, so messages name the
// short relative paths given on the command line.
class Cli : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { setenv("LZW", LZW_BINARY, 1); }

    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "lzw-cli-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
        work_ = root_ / "work";
        fs::create_directory(work_);
    }
    void TearDown() override { fs::remove_all(root_); }

    // Runs `argv` in the work directory with stdin from /dev/null.
    Outcome spawn(const std::vector<std::string>& args) {
        const std::string outPath = (root_ / "stdout").string();
        const std::string errPath = (root_ / "stderr").string();
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_addchdir_np(&actions, work_.c_str());
        std::vector<char*> argv;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        pid_t pid;
        int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        EXPECT_EQ(rc, 0) << "cannot start " << args[0];
        return collect(rc == 0 ? pid : -1, outPath, errPath);
    }
    // The status of `pid` (none when it is not positive) and what it wrote, its files removed.
    static Outcome collect(pid_t pid, const std::string& outPath, const std::string& errPath) {
        Outcome r;
        int wstatus = 0;
        if (pid > 0 && waitpid(pid, &wstatus, 0) == pid) {
            r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
        }
        r.out = slurp(outPath);
        r.err = slurp(errPath);
        fs::remove(outPath);
        fs::remove(errPath);
        return r;
    }
    Outcome lzw(std::vector<std::string> args) {
        args.insert(args.begin(), LZW_BINARY);
        return spawn(args);
    }
    // The program is "$LZW" inside the script.
    Outcome shell(const std::string& script) { return spawn({"/bin/sh", "-c", script}); }

    // shell(), on a system where no unnamed file (O_TMPFILE) can be made, as on a file system
    // without them: open() fails with EOPNOTSUPP. Status -1 where calls cannot be filtered.
    Outcome shellWithoutUnnamedFiles(const std::string& script) {
#if (defined(__x86_64__) || defined(__aarch64__)) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#if defined(__x86_64__)
        constexpr uint32_t kArch = AUDIT_ARCH_X86_64;
#else
        constexpr uint32_t kArch = AUDIT_ARCH_AARCH64;
#endif
        constexpr uint32_t kUnnamed = O_TMPFILE & ~O_DIRECTORY;
        sock_filter filter[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kArch, 1, 0),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat, 1, 0),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
            // The low half of the flags.
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[2])),
            BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, kUnnamed, 0, 1),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EOPNOTSUPP),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        };
        sock_fprog program = {static_cast<unsigned short>(std::size(filter)), filter};
        const std::string outPath = (root_ / "stdout").string();
        const std::string errPath = (root_ / "stderr").string();
        const char* argv[] = {"/bin/sh", "-c", script.c_str(), nullptr};
        pid_t pid = fork();
        if (pid == 0) {
            // Only calls that are safe after fork().
            int in = open("/dev/null", O_RDONLY);
            int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 ||
                dup2(err, 2) < 0 || chdir(work_.c_str()) != 0 ||
                prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
                prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
                _exit(126);
            }
            execve(argv[0], const_cast<char**>(argv), environ);
            _exit(127);
        }
        return collect(pid, outPath, errPath);
#else
        (void)script;
        return Outcome{};
#endif
    }

    static std::string slurp(const fs::path& p) {
        std::ifstream f(p, std::ios::binary);
        return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
    }
    std::string read(const std::string& name) {
        return slurp(work_ / name);
    }
    Bytes readBytes(const std::string& name) {
        std::string s = read(name);
        return Bytes(s.begin(), s.end());
    }
    void write(const std::string& name, const std::string& data) {
        std::ofstream(work_ / name, std::ios::binary) << data;
    }
    void write(const std::string& name, const Bytes& data) {
        write(name, std::string(data.begin(), data.end()));
    }
    bool exists(const std::string& name) {
        return fs::exists(fs::symlink_status(work_ / name));
    }
    std::set<std::string> listing() {
        std::set<std::string> names;
        for (const auto& e : fs::directory_iterator(work_)) names.insert(e.path().filename());
        return names;
    }
    // A fitting input for `mode`: text for a compressor, its compressed form for a decompressor.
    void writeInputFor(const std::string& mode, const std::string& name, const Bytes& text) {
        write(name, mode[0] == 'c' ? text : encode(mode[1], text));
    }

    fs::path root_;
    fs::path work_;
};

const Bytes kText = pseudoText(21, 150000);  // more than one 64 KiB buffer, fills the dictionary

// A frame of `data` in blocks of up to `block` bytes, as lzw -F c2 -B writes it (a seek table
// after it unless `checksums` leaves it out), with the content's size in its header when
// `sized`.
Bytes frameOf(const Bytes& data, unsigned block = LZW_FRAME_BLOCK_DEFAULT,
              unsigned checksums = LZW_FRAME_CONTENT_CHECKSUM | LZW_FRAME_BLOCK_CHECKSUMS |
                                   LZW_FRAME_SEEK_TABLE,
              bool sized = false) {
    lzw_frame_params params = LZW_FRAME_PARAMS_INIT(LZW_EVICT);
    params.block_size = block;
    params.checksums = checksums;
    if (sized) params.content_size = static_cast<long long>(data.size());
    Bytes frame(lzw_frame_compress_bound(&params, data.size()));
    size_t n = 0;
    EXPECT_EQ(lzw_frame_compress(nullptr, &params, data.data(), data.size(), frame.data(),
                                 frame.size(), &n),
              LZW_OK);
    frame.resize(n);
    return frame;
}

// A skippable frame holding `data`, which every reader passes by.
Bytes skippableFrame(const Bytes& data) {
    Bytes frame = {0x8A, 0x4C, 0x5A, 0x57};
    for (int i = 0; i < 4; ++i) frame.push_back(static_cast<uint8_t>(data.size() >> (8 * i)));
    frame.insert(frame.end(), data.begin(), data.end());
    return frame;
}

// Success: banner, time line, nothing more; every pair restores its input.
TEST_F(Cli, EveryModePrintsItsBannerAndTheTimeLine) {
    write("in", kText);
    for (size_t i = 0; i < kModes.size(); i += 2) {
        const Mode& c = kModes[i];
        const Mode& d = kModes[i + 1];
        Outcome rc = lzw({c.name, "in", "packed"});
        EXPECT_EQ(rc.status, 0) << c.name;
        EXPECT_EQ(rc.err, "") << c.name;
        ASSERT_EQ(rc.out.rfind(c.banner + "\n", 0), 0u) << rc.out;
        EXPECT_TRUE(isTimeLine(rc.out.substr(c.banner.size() + 1))) << rc.out;
        EXPECT_TRUE(readBytes("packed") == encode(c.name[1], kText)) << c.name;

        Outcome rd = lzw({d.name, "packed", "back"});
        EXPECT_EQ(rd.status, 0) << d.name;
        EXPECT_EQ(rd.err, "") << d.name;
        ASSERT_EQ(rd.out.rfind(d.banner + "\n", 0), 0u) << rd.out;
        EXPECT_TRUE(isTimeLine(rd.out.substr(d.banner.size() + 1))) << rd.out;
        EXPECT_TRUE(readBytes("back") == kText) << d.name;
    }
    // -v: the sizes after the time line, on standard error.
    Outcome r = shell("\"$LZW\" -v c1 in packed 2>&1");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(std::regex_match(
        r.out, std::regex(bannerLine("c1") + "Czas trwania obliczen:[0-9]+ "
                                             "ms\\.\n\n150000 bajtow -> [0-9]+ bajtow, "
                                             "[0-9]+\\.[0-9]% wejscia\n")))
        << r.out;
}

// A glob (lzw c2 *.txt) would replace the second file with the first.
TEST_F(Cli, ArgumentsAfterTheThirdAreRefused) {
    write("in", "abababab");
    write("out", "keep me");
    for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
             {"c1", "in", "out", "extra", "more"}, {"-q", "c2", "in", "out", "in"}}) {
        Outcome r = lzw(args);
        EXPECT_EQ(r.status, 2) << ::testing::PrintToString(args);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "oczekiwane 3 argumenty: TRYB WEJSCIE WYJSCIE, a jest ich: " +
                             std::to_string(args.size() - (args[0] == "-q")) + "\n" + kUsageLine);
        EXPECT_EQ(listing(), (std::set<std::string>{"in", "out"}));
        EXPECT_EQ(read("out"), "keep me");
    }
}

// c1 and c2 leave the time line out for an empty input, c3 prints it.
TEST_F(Cli, EmptyInputCompressesToTheHeaderAlone) {
    write("empty", "");
    const std::string header("\xFF\xFF\xFF\xFF", 4);
    for (const Mode& m : kModes) {
        if (m.name[0] != 'c') continue;
        Outcome r = lzw({m.name, "empty", "packed"});
        EXPECT_EQ(r.status, 0) << m.name;
        EXPECT_EQ(r.err, "") << m.name;
        EXPECT_EQ(read("packed"), header) << m.name;
        if (m.name == "c3") {
            ASSERT_EQ(r.out.rfind(m.banner + "\n", 0), 0u) << r.out;
            EXPECT_TRUE(isTimeLine(r.out.substr(m.banner.size() + 1))) << r.out;
        } else {
            EXPECT_EQ(r.out, m.banner + "\n");
        }
    }
    write("packed", header);
    for (const Mode& m : kModes) {
        if (m.name[0] != 'd') continue;
        write("back", "old content");
        Outcome r = lzw({m.name, "packed", "back"});
        EXPECT_EQ(r.status, 0) << m.name;
        EXPECT_EQ(r.err, "") << m.name;
        EXPECT_EQ(read("back"), "") << m.name;
        EXPECT_TRUE(isTimeLine(r.out.substr(m.banner.size() + 1))) << r.out;
    }
}

// A failed open: banner, one message, status 1, no time line, and the output left alone.
TEST_F(Cli, FilesThatCannotBeOpenedAreNamed) {
    write("in", kText);
    for (const Mode& m : kModes) {
        write("out", "keep me");
        Outcome r = lzw({m.name, "missing", "out"});
        EXPECT_EQ(r.status, 1) << m.name;
        EXPECT_EQ(r.out, m.banner + "\n") << m.name;
        EXPECT_EQ(r.err, "blad przy ladowaniu pliku missing\n") << m.name;
        EXPECT_EQ(read("out"), "keep me") << m.name;

        writeInputFor(m.name, "in", kText);
        r = lzw({m.name, "in", "nodir/out"});
        EXPECT_EQ(r.status, 1) << m.name;
        EXPECT_EQ(r.out, m.banner + "\n") << m.name;
        EXPECT_EQ(r.err, "blad przy ladowaniu pliku nodir/out\n") << m.name;
    }
}

TEST_F(Cli, DirectoryInputIsRefused) {
    fs::create_directory(work_ / "dir");
    for (const Mode& m : kModes) {
        Outcome r = lzw({m.name, "dir", "out"});
        EXPECT_EQ(r.status, 1) << m.name;
        EXPECT_EQ(r.out, m.banner + "\n") << m.name;
        EXPECT_EQ(lineCount(r.err), 1) << r.err;
        EXPECT_NE(r.err.find("dir"), std::string::npos) << r.err;
        EXPECT_FALSE(exists("out")) << m.name;
    }
}

// Write errors surface, whether they hit in the middle of the run or only when the
// output is closed.
TEST_F(Cli, FullDeviceFailsTheRun) {
    for (const Mode& m : kModes) {
        for (const Bytes& text : {kText, Bytes{'a', 'b', 'a', 'b'}}) {
            writeInputFor(m.name, "in", text);
            Outcome r = lzw({m.name, "in", "/dev/full"});
            EXPECT_EQ(r.status, 1) << m.name << " " << text.size();
            EXPECT_EQ(r.out, m.banner + "\n") << m.name;
            EXPECT_EQ(lineCount(r.err), 1) << r.err;
            EXPECT_NE(r.err.find("/dev/full"), std::string::npos) << r.err;
        }
    }
    // A file-size limit: the same failed write; a decompression keeps what fitted.
    write("packed", encode('2', randomBytes(4, 300000)));
    Outcome r = shell("ulimit -f 100; \"$LZW\" d2 packed out");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "blad przy zapisie pliku out\n");
    EXPECT_TRUE(exists("out"));
}

// A typo must not pass for success: the user may delete the input next.
TEST_F(Cli, UnknownModePrintsUsage) {
    write("in", "abc");
    for (const char* mode : {"C1", "c4", "d0", "c", "c11", "", "-"}) {
        Outcome r = lzw({mode, "in", "out"});
        EXPECT_EQ(r.status, 2) << mode;
        EXPECT_EQ(r.out, "") << mode;
        EXPECT_EQ(r.err, std::string("nieznany tryb ") + mode +
                             " (c1, c2, c3 kompresja, d1, d2, d3 dekompresja)\n" + kUsageLine)
            << mode;
        EXPECT_EQ(listing(), std::set<std::string>{"in"}) << mode;
    }
}

// A wrong command line: the line of what is wrong (the option, the value and its limits, or
// the count), then the usage line, status 2, and no file touched.
TEST_F(Cli, TooFewArgumentsPrintUsage) {
    write("in", "abc");
    const std::string count = "oczekiwane 3 argumenty: TRYB WEJSCIE WYJSCIE, a jest ich: ";
    const std::string unknown = "nieznana opcja ";
    const std::string rangeOutside =
        "opcja -R wybiera zakres przy dekompresji (d1, d2 lub d3), nie przy kompresji, -t ani -l";
    for (const auto& [args, reason] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{}, count + "0"},
             {{"c1"}, count + "1"},
             {{"c1", "in"}, count + "2"},
             {{"d1", "in"}, count + "2"},
             {{"-h", "in"}, "opcja -h stoi sama, bez trybu i plikow"},
             {{"-q"}, count + "0"},
             {{"-q", "c1", "in"}, count + "2"},
             // Options: only those of -h, and only before the mode.
             {{"-x", "c1", "in", "out"}, unknown + "-x"},
             {{"--quiet", "c1", "in", "out"}, unknown + "--quiet"},
             {{"-qq", "c1", "in", "out"}, unknown + "-qq"},
             {{"-q", "-v", "-x", "c1", "in", "out"}, unknown + "-x"},
             {{"-f", "c1", "-f", "in", "out"}, "opcja -f po trybie: opcje stoja przed trybem"},
             {{"--version", "c1", "in", "out"}, "opcja --version stoi sama, bez trybu i plikow"},
             {{"-q", "-h", "c1", "in", "out"}, "opcja -h stoi sama, bez trybu i plikow"},
             {{"--", "-q", "c1", "in", "out"}, count + "4"},
             // Values: 1K to 1G bytes a block, 0 to 256 threads, each bound exactly.
             {{"-F", "-B", "1.5M", "c1", "in", "out"},
              "opcja -B: 1.5M to nie rozmiar bloku (liczba bajtow, moze byc z K, M lub G)"},
             {{"-F", "-B2G", "c1", "in", "out"},
              "opcja -B: rozmiar bloku 2G poza zakresem od 1K do 1G"},
             {{"-F", "-B", "1073741825", "c1", "in", "out"},
              "opcja -B: rozmiar bloku 1073741825 poza zakresem od 1K do 1G"},
             {{"-F", "-B", "1023", "c1", "in", "out"},
              "opcja -B: rozmiar bloku 1023 poza zakresem od 1K do 1G"},
             {{"-F", "-B"}, "opcja -B wymaga wartosci"},
             {{"-T", "257", "d1", "in", "out"},
              "opcja -T: liczba watkow 257 poza zakresem od 0 do 256"},
             {{"-T", "-1", "d1", "in", "out"}, "opcja -T: -1 to nie liczba watkow"},
             {{"-T2", "c1", "in", "out"},
              "opcja -T dzieli na watki bloki ramki: kompresja bez -F nie ma blokow"},
             {{"-R", "1:", "d1", "in", "out"},
              "opcja -R: 1: to nie zakres (POCZ[:DL], liczby bajtow, moga byc z K, M, G lub T)"},
             {{"-R", "1:20000000000000000000", "d1", "in", "out"},
              "opcja -R: 1:20000000000000000000 poza zakresem, liczby najwyzej 2^64 - 1"},
             {{"-R", "5", "c1", "in", "out"}, rangeOutside},
             {{"-R5", "-l", "in"}, rangeOutside},
             // -t [dN] FILE and -l FILE.
             {{"-l", "in", "out"}, "po -l oczekiwany jeden PLIK, a argumentow jest: 2"},
             {{"-t", "-l", "in"}, "opcje -t i -l wykluczaja sie"},
             {{"-t", "c1", "in"}, "po -t tryb c1 nie jest trybem dekompresji (d1, d2 lub d3)"},
             {{"-t"},
              "po -t oczekiwany PLIK albo tryb d1, d2 lub d3 i PLIK, a argumentow jest: 0"}}) {
        Outcome r = lzw(args);
        EXPECT_EQ(r.status, 2) << ::testing::PrintToString(args);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, reason + "\n" + kUsageLine) << ::testing::PrintToString(args);
        EXPECT_EQ(listing(), std::set<std::string>{"in"});
        EXPECT_EQ(read("in"), "abc");
    }
    for (std::vector<std::string> args :
         std::vector<std::vector<std::string>>{{"-h"}, {"--help"}, {"-q", "-h"}, {"--", "-h"}}) {
        Outcome r = lzw(args);
        if (args[0] == "--") {
            EXPECT_EQ(r.status, 2);  // "--" ends the options: "-h" is then a mode
            continue;
        }
        EXPECT_EQ(r.status, 0) << args.back();
        EXPECT_EQ(r.err, "") << args.back();
        EXPECT_EQ(r.out.rfind("uzycie: lzw c1|d1|c2|d2|c3|d3 WEJSCIE WYJSCIE\n", 0), 0u) << r.out;
        for (const Mode& m : kModes) EXPECT_NE(r.out.find(m.name), std::string::npos) << r.out;
        // Every option, long forms and limits included.
        for (const char* more : {"\n  -q ", "\n  -v ", "\n  -f ", "\n  -  ", "\n  -F, --frame ",
                                 "\n  -B ", "od 1K do 1G", "\n  -T ", "od 0 do 256", "\n  -t ",
                                 "\n  -l ", "\n  -h, --help ", "--version ", "\n  --  "}) {
            EXPECT_NE(r.out.find(more), std::string::npos) << r.out;
        }
    }
    for (std::vector<std::string> args :
         std::vector<std::vector<std::string>>{{"--version"}, {"-q", "--version"}}) {
        Outcome r = lzw(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out, std::string("lzw ") + lzw_version() + "\n");
    }
}

// Opening the output would truncate the input before it is read.
TEST_F(Cli, InputAndOutputNamingOneFileAreRefused) {
    fs::create_directory(work_ / "dir");
    for (const char* mode : {"c1", "d2", "c3"}) {
        writeInputFor(mode, "file", kText);
        const std::string before = read("file");
        fs::remove(work_ / "hard");
        fs::remove(work_ / "soft");
        fs::create_hard_link(work_ / "file", work_ / "hard");
        fs::create_symlink("file", work_ / "soft");
        for (const auto& [in, out] :
             std::vector<std::pair<std::string, std::string>>{{"file", "file"},
                                                              {"file", "hard"},
                                                              {"file", "soft"},
                                                              {"soft", "file"},
                                                              {"file", "./dir/../file"}}) {
            Outcome r = lzw({mode, in, out});
            EXPECT_EQ(r.status, 1) << mode << " " << in << " " << out;
            EXPECT_EQ(lineCount(r.err), 1) << r.err;
            EXPECT_NE(r.err.find(out), std::string::npos) << r.err;
            EXPECT_EQ(r.out, bannerLine(mode));
            EXPECT_EQ(read("file"), before) << mode << " " << in << " " << out;
        }
        for (const char* standardInput : {"/dev/stdin", "-"}) {
            Outcome r =
                shell(std::string("\"$LZW\" ") + mode + " " + standardInput + " file < file");
            EXPECT_EQ(r.status, 1) << mode << " " << standardInput;
            EXPECT_EQ(lineCount(r.err), 1) << r.err;
            EXPECT_EQ(read("file"), before) << mode << " " << standardInput;
        }
    }
}

// The header holds size - 1 as a signed 32-bit number; a larger input cannot be described.
TEST_F(Cli, InputsOverTwoGibibytesAreRefused) {
    for (const auto& [name, size] : std::vector<std::pair<std::string, off_t>>{
             {"big", off_t{3} << 30}, {"edge", (off_t{1} << 31) + 1}}) {
        int fd = open((work_ / name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, size), 0);  // sparse: costs no disk space
        close(fd);
        for (const char* mode : {"c1", "c2", "c3"}) {
            Outcome r = lzw({mode, name, "out"});
            EXPECT_EQ(r.status, 1) << mode << " " << name;
            EXPECT_EQ(lineCount(r.err), 1) << r.err;
            EXPECT_NE(r.err.find(name), std::string::npos) << r.err;
            EXPECT_FALSE(exists("out")) << mode << " " << name;
        }
        write("out", "keep me");
        EXPECT_EQ(lzw({"c1", name, "out"}).status, 1);
        EXPECT_EQ(read("out"), "keep me");
        fs::remove(work_ / "out");
        fs::remove(work_ / name);
    }
    // Exactly 2 GiB is taken: the run fails on the write, not on the size. Its first window,
    // random, fills the output buffer at once; the rest is a hole.
    write("exact", randomBytes(8, 65536));
    fs::resize_file(work_ / "exact", uintmax_t{1} << 31);
    for (const char* mode : {"c1", "c2", "c3"}) {
        Outcome r = lzw({mode, "exact", "/dev/full"});
        EXPECT_EQ(r.status, 1) << mode;
        EXPECT_EQ(r.err, "blad przy zapisie pliku /dev/full\n") << mode;
    }
}

// A pipe has no size up front: the header is rewritten once the input has ended.
TEST_F(Cli, InputThroughAPipeRoundTrips) {
    write("in", kText);
    write("empty", "");
    for (const auto& [policy, stdinName, stdoutName] :
         std::vector<std::tuple<char, std::string, std::string>>{{'1', "/dev/stdin", "/dev/stdout"},
                                                                 {'2', "/dev/stdin", "/dev/stdout"},
                                                                 {'3', "/dev/stdin", "/dev/stdout"},
                                                                 {'1', "-", "-"},
                                                                 {'2', "-", "/dev/stdout"},
                                                                 {'3', "/dev/stdin", "-"}}) {
        const std::string c = std::string("c") + policy, d = std::string("d") + policy;
        const std::string from = " " + stdinName + " ", to = " " + stdoutName;
        Outcome r = shell("cat in | \"$LZW\" " + c + from + "packed");
        EXPECT_EQ(r.status, 0) << c << r.err;
        Bytes packed = readBytes("packed");
        ASSERT_GE(packed.size(), 4u);
        EXPECT_EQ(loadHeader(packed.data()), static_cast<int32_t>(kText.size() - 1)) << c;
        EXPECT_TRUE(packed == encode(policy, kText)) << c;

        r = shell("cat packed | \"$LZW\" " + d + from + "back");
        EXPECT_EQ(r.status, 0) << d << r.err;
        EXPECT_TRUE(readBytes("back") == kText) << d;

        r = shell("cat empty | \"$LZW\" " + c + from + "packed");
        EXPECT_EQ(r.status, 0) << c;
        EXPECT_EQ(read("packed"), std::string("\xFF\xFF\xFF\xFF", 4)) << c;

        // Pipe to pipe: the input is held back until its size is known.
        r = shell("cat in | \"$LZW\" " + c + from + to + " | \"$LZW\" " + d + from + to +
                  " | cmp - in");
        EXPECT_EQ(r.status, 0) << c << r.err;
        EXPECT_EQ(r.out, "") << c;
        // Only the data went through the pipes: the banners and time lines are on standard error.
        EXPECT_EQ(lineCount(r.err), 6) << r.err;
    }
    // Where no unnamed file can be made, the input is spooled to a named one, removed at
    // once: the directory is left empty.
    fs::create_directory(root_ / "tmp");
    Outcome r = shellWithoutUnnamedFiles("cat in | TMPDIR='" + (root_ / "tmp").string() +
                                         "' \"$LZW\" -q c2 - - > packed");
    if (r.status >= 0 && r.status != 126) {  // else calls cannot be filtered here
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(readBytes("packed") == encode('2', kText));
        EXPECT_TRUE(fs::is_empty(root_ / "tmp"));
    }
    EXPECT_EQ(listing(), (std::set<std::string>{"in", "empty", "packed", "back"}));
}

// An output that cannot seek gets a header that is right from its first byte.
TEST_F(Cli, OutputToAPipe) {
    write("in", kText);
    write("empty", "");
    ASSERT_EQ(mkfifo((work_ / "fifo").c_str(), 0644), 0);
    // Opening the FIFO both ways never blocks and frees a reader the program never met.
    const std::string drain = "cat fifo > got & ";
    const std::string finish = "; s=$?; exec 3<>fifo; exec 3>&-; wait; exit $s";

    // Known size: the header is right from the start.
    Outcome r = shell(drain + "\"$LZW\" c1 in fifo" + finish);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(readBytes("got") == encode('1', kText));

    // Unknown size and no way back to the header: the header waits for the whole input.
    r = shell(drain + "cat in | \"$LZW\" c2 /dev/stdin fifo" + finish);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(readBytes("got") == encode('2', kText));

    // Unknown size, and empty.
    r = shell(drain + "cat empty | \"$LZW\" c3 /dev/stdin fifo" + finish);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read("got"), std::string("\xFF\xFF\xFF\xFF", 4));

    // Decompression never seeks.
    write("packed", encode('3', kText));
    r = shell(drain + "\"$LZW\" d3 packed fifo" + finish);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(readBytes("got") == kText);
}

// Standard output named as the output, by any path: the banner and the time line go to
// standard error, out of the data.
TEST_F(Cli, StandardOutputAsOutputGetsOnlyTheData) {
    const std::vector<std::string> paths = {"/dev/stdout", "/dev/fd/1", "got", "-"};
    for (size_t i = 0; i < kModes.size(); ++i) {
        const Mode& m = kModes[i];
        writeInputFor(m.name, "in", kText);
        const std::string& path = paths[i % paths.size()];
        Outcome r = shell("\"$LZW\" " + m.name + " in " + path + " > got");
        EXPECT_EQ(r.status, 0) << m.name << " " << path << r.err;
        EXPECT_EQ(r.out, "");
        ASSERT_EQ(r.err.rfind(m.banner + "\n", 0), 0u) << r.err;
        EXPECT_TRUE(isTimeLine(r.err.substr(m.banner.size() + 1))) << r.err;
        EXPECT_TRUE(readBytes("got") == (m.name[0] == 'c' ? encode(m.name[1], kText) : kText))
            << m.name << " " << path;
    }
    // Appended to, the file keeps what it held; a pipe's unknown size is spooled, as
    // standard output is never sought back to a header.
    write("got", "kept");
    Outcome r = shell("cat in | \"$LZW\" d3 - - >> got");
    EXPECT_EQ(r.status, 0) << r.err;
    std::string kept = "kept";
    EXPECT_TRUE(readBytes("got") == concat({Bytes(kept.begin(), kept.end()), kText}));
    write("in", kText);
    write("got", "kept");
    r = shell("cat in | \"$LZW\" c3 /dev/stdin /dev/stdout >> got");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(readBytes("got") == concat({Bytes(kept.begin(), kept.end()), encode('3', kText)}));

    // Sizes that cannot be trusted, after bytes of others in the same file: /proc reports 0
    // and is copied first; /sys reports 4096 for a few bytes, and a header that cannot be put
    // right fails the run. Either way the bytes before the run's stay as they were.
    const std::string before = "PRECIOUS-DATA\n";
    std::string version = slurp("/proc/version");
    const std::string sys = "/sys/devices/system/cpu/online";
    for (const auto& [script, packed, status] :
         std::vector<std::tuple<std::string, std::string, int>>{
             {"{ printf 'PRECIOUS-DATA\\n'; \"$LZW\" c1 /proc/version /dev/stdout; } > got", "1",
              0},
             {"printf 'PRECIOUS-DATA\\n' > got; \"$LZW\" c2 /proc/version /dev/stdout >> got", "2",
              0},
             // The output named by its path, when it is standard output's file: written
             // through descriptor 1, where the bytes before it end.
             {"{ printf 'PRECIOUS-DATA\\n'; \"$LZW\" c1 /proc/version got; } > got", "1", 0},
             {"{ printf 'PRECIOUS-DATA\\n'; \"$LZW\" c3 " + sys + " /dev/stdout; } > got", "",
              1}}) {
        if (packed.empty() && !fs::exists(sys)) continue;
        r = shell(script);
        EXPECT_EQ(r.status, status) << script << r.err;
        std::string got = read("got");
        if (status == 0) {
            Bytes stream = encode(packed[0], Bytes(version.begin(), version.end()));
            EXPECT_EQ(got, before + std::string(stream.begin(), stream.end())) << script;
        } else {
            EXPECT_EQ(got.substr(0, before.size()), before) << script;
            EXPECT_NE(r.err.find("nie mozna poprawic naglowka pliku /dev/stdout"),
                      std::string::npos)
                << r.err;
        }
    }
}

// A failed compression removes the output it created or truncated: what is left of it
// could pass for a whole file.
TEST_F(Cli, FailedCompressionLeavesNoOutput) {
    const std::string tooLarge = ": naglowek opisuje najwyzej 2147483648 bajtow\n";
    const std::string framed =
        "nie kompresuje ponownie ramki lzw framed: rozpakuj ja trybem d1, "
        "d2 lub d3 (wymus opcja -f)\n";
    write("in", randomBytes(3, 300000));
    write("framed", concat({skippableFrame(Bytes{'x'}), frameOf(kText)}));
    // `kept`: a fault found in the input's first window, before the output is opened, which
    // then keeps what it held.
    for (const auto& [limit, mode, input, message, kept] : std::vector<std::array<std::string, 5>>{
             {"", "c1", "/proc/self/mem", "blad przy czytaniu pliku /proc/self/mem\n", "old"},
             {"", "c2", "/proc/self/mem", "blad przy czytaniu pliku /proc/self/mem\n", "old"},
             // Endless: refused as soon as it passes the limit (c1: the fastest on zeros,
             // which matters under the sanitizers).
             {"", "c1", "/dev/zero", "plik /dev/zero jest za duzy" + tooLarge, ""},
             // A file-size limit is a failed write like a full disk.
             {"ulimit -f 100; ", "c1", "in", "blad przy zapisie pliku out\n", ""},
             {"ulimit -f 100; ", "c3", "in", "blad przy zapisie pliku out\n", ""},
             {"ulimit -f 100; ", "-F c3", "in", "blad przy zapisie pliku out\n", ""},
             // A frame (here after a skippable one) is not compressed again without -f, raw
             // or framed, from a file or a pipe: c for d is the likely typo.
             {"", "c2", "framed", framed, "old"},
             {"", "-F -T2 c1", "framed", framed, "old"},
             {"cat framed | ", "-q c3", "-",
              std::regex_replace(framed, std::regex("framed:"), "/dev/stdin:"), "old"}}) {
        write("out", "old");
        Outcome r = shell(limit + "timeout 300 \"$LZW\" " + mode + " " + input + " out");
        EXPECT_EQ(r.status, 1) << mode << " " << input;
        const std::string banner = bannerLine(mode.substr(mode.size() - 2));
        EXPECT_EQ(r.out, mode.find("-q") == std::string::npos ? banner : "") << mode;
        EXPECT_EQ(r.err, message);
        EXPECT_EQ(exists("out") ? read("out") : "", kept) << mode << " " << input;
    }
    // -f compresses it all the same.
    EXPECT_EQ(lzw({"-q", "-f", "c2", "framed", "out"}).status, 0);
    EXPECT_TRUE(readBytes("out") == encode('2', readBytes("framed")));
}

// SIGINT, SIGTERM and SIGHUP remove the unfinished output and end the run by the same
// signal. A run killed outright leaves a header that no decoder takes for an empty file.
TEST_F(Cli, SignalsRemoveTheUnfinishedOutput) {
    ASSERT_EQ(mkfifo((work_ / "fifo").c_str(), 0644), 0);
    // `replaced`: the output is renamed during the run and another file takes its name; the
    // signal leaves that file alone.
    struct Row {
        std::string mode;
        int sig;
        bool replaced;
    };
    for (const auto& [mode, sig, replaced] : std::vector<Row>{{"c1", SIGINT, false},
                                                              {"d1", SIGTERM, false},
                                                              {"c2", SIGHUP, false},
                                                              {"d2", SIGINT, false},
                                                              {"c3", SIGTERM, false},
                                                              {"d3", SIGHUP, false},
                                                              {"c2", SIGKILL, false},
                                                              {"c2", SIGTERM, true},
                                                              {"d3", SIGINT, true}}) {
        // Some 64 KiB reads, enough for the output to be written out once; the FIFO stays
        // open, so the run then waits for more.
        Bytes feed = randomBytes(5, 200000);
        if (mode[0] == 'd') feed = encode(mode[1], feed);  // the first 200000 of 300000 bytes
        feed.resize(200000);
        int fifo = open((work_ / "fifo").c_str(), O_RDWR);
        ASSERT_GE(fifo, 0);
        ASSERT_GE(fcntl(fifo, F_SETPIPE_SZ, 1 << 18), static_cast<int>(feed.size()));
        ASSERT_EQ(::write(fifo, feed.data(), feed.size()), static_cast<ssize_t>(feed.size()));
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        sigset_t defaults;
        sigemptyset(&defaults);
        for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&defaults, s);
        posix_spawnattr_setsigdefault(&attr, &defaults);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addchdir_np(&actions, work_.c_str());
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        std::vector<std::string> args = {LZW_BINARY, mode, "fifo", "out"};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_t pid;
        ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
        for (int i = 0; i < 6000 && !(exists("out") && fs::file_size(work_ / "out") > 0); ++i) {
            usleep(10000);
        }
        EXPECT_TRUE(exists("out")) << mode;
        // Unfinished, it is readable by its owner alone.
        EXPECT_EQ(fs::status(work_ / "out").permissions() & fs::perms::all,
                  fs::perms::owner_read | fs::perms::owner_write)
            << mode;
        if (replaced) {
            fs::rename(work_ / "out", work_ / "moved");
            write("out", "IMPORTANT\n");
        }
        kill(pid, sig);
        int wstatus = 0;
        ASSERT_EQ(waitpid(pid, &wstatus, 0), pid);
        close(fifo);
        EXPECT_TRUE(WIFSIGNALED(wstatus) && WTERMSIG(wstatus) == sig) << mode << " " << wstatus;
        if (replaced) {
            EXPECT_EQ(read("out"), "IMPORTANT\n") << mode;
            fs::remove(work_ / "out");
            fs::remove(work_ / "moved");
            continue;
        }
        if (sig != SIGKILL) {
            EXPECT_FALSE(exists("out")) << mode << " " << sig;
            continue;
        }
        Outcome r = lzw({"d2", "out", "back"});
        EXPECT_EQ(r.err, "uszkodzony plik out: ujemna dlugosc w naglowku\n");
    }
}

// A closed standard stream stays closed for the run: the files it opens never take its place
// (the message of a failed run would go into the output), and its names do not open.
TEST_F(Cli, ClosedStandardStreamsStayClosed) {
    write("in", kText);
    const Bytes packed = encode('1', kText);
    write("packed", packed);
    const Bytes cut(packed.begin(), packed.begin() + 1000);
    write("cut", cut);
    const Bytes kept = decode('1', cut).bytes;
    for (const auto& [script, status, err, out] :
         std::vector<std::tuple<std::string, int, std::string, Bytes>>{
             {"\"$LZW\" d1 cut out >&- 2>&-", 1, "", kept},
             {"\"$LZW\" c1 in out <&- >&- 2>&-", 0, "", packed},
             {"\"$LZW\" c1 /dev/stdin out <&-", 1, "blad przy ladowaniu pliku /dev/stdin\n", {}},
             // A closed stream blocks its own names only.
             {"\"$LZW\" c1 /dev/stdin out < in >&-", 0, "", packed},
             {"\"$LZW\" c1 in /dev/stdout >&-", 1, "blad przy ladowaniu pliku /dev/stdout\n", {}},
             {"\"$LZW\" d1 packed /dev/null >&-", 0, "", {}}}) {
        fs::remove(work_ / "out");
        Outcome r = shell(script);
        EXPECT_EQ(r.status, status) << script;
        EXPECT_EQ(r.err, err) << script;
        EXPECT_TRUE(readBytes("out") == out) << script;
    }
}

// A new output gets the permission bits of a regular input, without set-user-ID, set-group-ID
// and sticky; an output that existed keeps its own; piped input gives the default.
TEST_F(Cli, NewOutputTakesTheInputsPermissions) {
    write("in", kText);
    using P = fs::perms;
    for (const auto& [before, script, output, after] :
         std::vector<std::tuple<P, std::string, std::string, P>>{
             {P::owner_read | P::owner_write, "\"$LZW\" c1 in new", "new",
              P::owner_read | P::owner_write},
             {P::owner_read | P::owner_write, "\"$LZW\" c1 in packed && \"$LZW\" d1 packed new",
              "new", P::owner_read | P::owner_write},
             {P::owner_all | P::group_read | P::set_uid | P::sticky_bit, "\"$LZW\" c2 in new",
              "new", P::owner_all | P::group_read},
             {P::owner_read | P::owner_write,
              "printf old > new && chmod 604 new && \"$LZW\" c3 in new", "new",
              P::owner_read | P::owner_write | P::others_read},
             {P::owner_read | P::owner_write, "umask 027; cat in | \"$LZW\" c3 /dev/stdin new",
              "new", P::owner_read | P::owner_write | P::group_read}}) {
        fs::remove(work_ / "new");
        fs::remove(work_ / "packed");
        fs::permissions(work_ / "in", before);
        Outcome r = shell(script);
        EXPECT_EQ(r.status, 0) << script << r.err;
        EXPECT_EQ(fs::status(work_ / output).permissions(), after) << script;
    }
}

// Every way a stream can be damaged ends in one message naming the file and status 1.
TEST_F(Cli, DamagedStreamsAreReported) {
    for (const Mode& m : kModes) {
        if (m.name[0] != 'd') continue;
        Bytes packed = encode(m.name[1], kText);
        const std::vector<std::pair<std::string, std::string>> damaged = {
            {"shorter_than_header", std::string("\x00\x00\x00", 3)},
            {"header_only", std::string("\x00\x00\x00\x00", 4)},
            {"negative_length", std::string("\x80\x00\x00\x00\x06\x10\x62", 7)},
            {"first_code_a_phrase", std::string("\x00\x00\x00\x01\x10\x00\x61", 7)},
            {"code_beyond_dictionary", std::string("\x00\x00\x00\x05\x06\x12\x00", 7)},
            {"more_data_than_header", std::string("\x00\x00\x00\x01\x06\x11\x00", 7)},
            {"ends_early", std::string("\x00\x00\x00\x10\x06\x10\x62", 7)},
            {"cut_short", std::string(packed.begin(), packed.end() - 100)},
            {"cut_in_last_code", std::string(packed.begin(), packed.end() - 1)},
            {"trailing_byte", std::string(packed.begin(), packed.end()) + '\0'},
        };
        for (const auto& [name, bytes] : damaged) {
            write(name, bytes);
            fs::permissions(work_ / name, fs::perms::owner_read | fs::perms::owner_write |
                                              fs::perms::group_read | fs::perms::others_read);
            fs::remove(work_ / "out");
            Outcome r = lzw({m.name, name, "out"});
            EXPECT_EQ(r.status, 1) << m.name << " " << name;
            EXPECT_EQ(r.out, m.banner + "\n") << m.name << " " << name;
            EXPECT_EQ(lineCount(r.err), 1) << r.err;
            EXPECT_NE(r.err.find(name), std::string::npos) << r.err;
            // What a failed run decoded stays private, whatever the input's bits.
            if (exists("out")) {
                EXPECT_EQ(fs::status(work_ / "out").permissions(),
                          fs::perms::owner_read | fs::perms::owner_write)
                    << m.name << " " << name;
            }
        }
        // Damage in the header or the first code is found before the output is opened: a
        // file named by mistake survives.
        write("notlzw", "not a stream\n");
        for (const char* name : {"notlzw", "shorter_than_header", "header_only", "negative_length",
                                 "first_code_a_phrase"}) {
            write("keep", "precious\n");
            Outcome r = lzw({"-q", m.name, name, "keep"});
            EXPECT_EQ(r.status, 1) << m.name << " " << name;
            EXPECT_EQ(lineCount(r.err), 1) << r.err;
            EXPECT_EQ(read("keep"), "precious\n") << m.name << " " << name;
        }
        // Everything before the extra byte was a whole stream, and is kept.
        EXPECT_TRUE(readBytes("out") == kText) << m.name;
        EXPECT_EQ(lzw({m.name, "trailing_byte", "out"}).err,
                  "uszkodzony plik trailing_byte: dane za koncem strumienia\n");
    }
}

// -R decodes only the blocks of a range, across concatenated frames, found by their seek
// tables, which -l reports and -t checks; a damaged table fails -t but no decoder: they skip
// it, and the reader walks the block headers instead.
TEST_F(Cli, RangesListsAndChecksReadTheSeekTables) {
    write("text", kText);
    ASSERT_EQ(lzw({"-q", "-F", "-B", "16K", "c2", "text", "one.lzw"}).status, 0);
    const std::string one = read("one.lzw");
    write("two.lzw", one + one);
    const std::string twice = read("text") + read("text");
    const std::pair<std::string, std::string> ranges[] = {
        {"20000:40000", twice.substr(20000, 40000)},
        {"140000:20000", twice.substr(140000, 20000)},  // across the two frames
        {"299990", twice.substr(299990)},
        {"400000:1K", ""},
    };
    for (const auto& [range, expected] : ranges) {
        Outcome r = lzw({"-q", "-R", range, "d1", "two.lzw", "part"});
        EXPECT_EQ(r.status, 0) << range << r.err;
        EXPECT_EQ(read("part"), expected) << range;
    }
    Outcome l = lzw({"-l", "two.lzw"});
    EXPECT_NE(l.out.find("ramki: 2, bloki: 20"), std::string::npos) << l.out;
    EXPECT_NE(l.out.find("indeks: za kazda ramka"), std::string::npos) << l.out;
    EXPECT_EQ(lzw({"-t", "two.lzw"}).status, 0);

    std::string damaged = one + one;
    damaged[one.size() - 40] ^= 1;  // an entry of the first table
    write("damaged.lzw", damaged);
    Outcome t = lzw({"-t", "damaged.lzw"});
    EXPECT_EQ(t.status, 1);
    EXPECT_NE(t.err.find("uszkodzony plik damaged.lzw: indeks (bajt"), std::string::npos) << t.err;
    EXPECT_EQ(lzw({"-q", "d3", "damaged.lzw", "back"}).status, 0);
    EXPECT_EQ(read("back"), twice);
    EXPECT_EQ(lzw({"-q", "-R", "150000:10", "d3", "damaged.lzw", "part"}).status, 0);
    EXPECT_EQ(read("part"), twice.substr(150000, 10));
    EXPECT_NE(lzw({"-l", "damaged.lzw"}).out.find("indeks: za 1 z 2 ramek"), std::string::npos);

    ASSERT_EQ(lzw({"-q", "-F", "--no-seek-table", "c3", "text", "bare.lzw"}).status, 0);
    EXPECT_NE(lzw({"-l", "bare.lzw"}).out.find("indeks: brak"), std::string::npos);

    write("raw", encode('1', kText));
    Outcome raw = lzw({"-q", "-R", "5", "d1", "raw", "part"});
    EXPECT_EQ(raw.status, 1);
    EXPECT_EQ(raw.err, "plik raw to surowy strumien bez ramki: zakres (-R) czyta tylko ramki\n");
    Outcome pipe = shell("cat two.lzw | \"$LZW\" -q -R 5 d1 - part");
    EXPECT_EQ(pipe.status, 1);
    EXPECT_EQ(lineCount(pipe.err), 1) << pipe.err;
    for (const char* bad : {"1:", ":5", "5x", "1:2:3"}) {
        EXPECT_EQ(lzw({"-R", bad, "d1", "two.lzw", "part"}).status, 2) << bad;
    }
    EXPECT_EQ(lzw({"-R", "5", "c1", "text", "part"}).status, 2);
}

// The framed runs: -F writes the library's frame, d1-d3 decode it whatever the digit, -t
// checks without writing, -l lists what a file says about itself; a frame damaged in its
// header leaves the output alone, one damaged in a block keeps the blocks before it.
TEST_F(Cli, FramesAreWrittenTestedAndListed) {
    // Two blocks of text, coded, and one of random bytes, stored.
    const Bytes data = concat({pseudoText(1, 2048), randomBytes(2, 1024)});
    write("in", data);
    const Bytes framed = frameOf(data, 1024);
    for (const auto& [args, status, out, err] :
         std::vector<std::tuple<std::vector<std::string>, int, std::string, std::string>>{
             {{"-q", "-F", "-B", "1K", "c2", "in", "packed"}, 0, "", ""},
             {{"-q", "--frame", "-B1G", "-T", "256", "c2", "in", "big"}, 0, "", ""},
             {{"-q", "-T", "256", "d3", "big", "back"}, 0, "", ""},
             {{"-t", "packed"}, 0, "", ""},
             {{"-T2", "-t", "d1", "big"}, 0, "", ""},
             {{"-l", "packed"},
              0,
              "plik: packed\nformat: ramka lzw, wersja 2, tryb 2, blok 1024 B\n"
              "ramki: 1, bloki: 3 (zapisane bez kompresji: 1)\nrozmiar: 3072 B -> " +
                  std::to_string(framed.size()) + " B (" +
                  std::to_string((framed.size() * 1000 + 1536) / 3072 / 10) + "." +
                  std::to_string((framed.size() * 1000 + 1536) / 3072 % 10) +
                  "%)\nsumy kontrolne: XXH64 blokow i calosci\nindeks: za kazda ramka\n",
              ""},
             {{"-q", "c2", "in", "raw"}, 0, "", ""},
             {{"-t", "d2", "raw"}, 0, "", ""},
             {{"-t", "raw"},
              1,
              "",
              "plik raw to surowy strumien bez ramki: podaj tryb, np. lzw -t d1 raw\n"},
             {{"-l", "in"},
              1,
              "",
              "plik in nie jest plikiem lzw: ani ramka, ani surowy strumien tej dlugosci\n"}}) {
        Outcome r = lzw(args);
        EXPECT_EQ(r.status, status) << ::testing::PrintToString(args);
        EXPECT_EQ(r.out, out) << ::testing::PrintToString(args);
        EXPECT_EQ(r.err, err) << ::testing::PrintToString(args);
    }
    EXPECT_TRUE(readBytes("packed") == framed);
    EXPECT_TRUE(readBytes("big") == frameOf(data, LZW_FRAME_BLOCK_MAX));
    EXPECT_TRUE(readBytes("back") == data);
    Outcome r = lzw({"-l", "raw"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("plik: raw\nformat: surowy strumien bez ramki; zapisuje tylko rozmiar "
                          "danych (bez trybu i sum kontrolnych)\nrozmiar: 3072 B -> " +
                              std::to_string(fs::file_size(work_ / "raw")) + " B (",
                          0),
              0u)
        << r.out;

    // Two frames, listed from their seek tables in a file, from their headers in a pipe.
    write("two", concat({framed, framed}));
    for (const char* script : {"\"$LZW\" -l two", "cat two | \"$LZW\" -l -"}) {
        r = shell(script);
        EXPECT_EQ(r.status, 0) << script;
        EXPECT_NE(r.out.find("ramki: 2"), std::string::npos) << script << "\n" << r.out;
        EXPECT_NE(r.out.find("bloki: 6 (zapisane bez kompresji: 2)\nrozmiar: 6144 B -> " +
                             std::to_string(2 * framed.size()) + " B"),
                  std::string::npos)
            << script << "\n"
            << r.out;
    }

    // A frame with a content checksum but none per block, on threads.
    write("summed", frameOf(data, 1024, LZW_FRAME_CONTENT_CHECKSUM));
    EXPECT_EQ(lzw({"-q", "-T2", "d2", "summed", "back"}).status, 0);
    EXPECT_TRUE(readBytes("back") == data);

    // Cut inside its 21-byte header: refused before the output is opened. Damaged in its
    // third block (stored): the two blocks before it are written, and the line names it; so
    // it does in the checksum of the first.
    size_t second = 21 + 8 + (framed[21] | framed[22] << 8) + 4;
    size_t third = second + 8 + (framed[second] | framed[second + 1] << 8) + 4;
    Bytes bad = framed, first = framed;
    bad[third + 8 + 100] ^= 0x10;
    first[second - 2] ^= 0x01;
    for (const auto& [name, bytes, err, kept] :
         std::vector<std::tuple<std::string, Bytes, std::string, Bytes>>{
             {"cut", Bytes(framed.begin(), framed.begin() + 20),
              "uszkodzony plik cut: strumien konczy sie przed koncem danych\n",
              Bytes{'o', 'l', 'd'}},
             {"first", first,
              "uszkodzony plik first: blok 1 (bajt 21): suma kontrolna sie nie zgadza\n", Bytes{}},
             {"bad", bad,
              "uszkodzony plik bad: blok 3 (bajt " + std::to_string(third) +
                  "): suma kontrolna sie nie zgadza\n",
              Bytes(data.begin(), data.begin() + 2048)}}) {
        write(name, bytes);
        write("out", "old");
        r = lzw({"-q", "-T2", "d1", name, "out"});
        EXPECT_EQ(r.status, 1) << name;
        EXPECT_EQ(r.err, err) << name;
        EXPECT_TRUE(readBytes("out") == kept) << name;
    }

    // A raw header against the file's length: after it, 3 bytes hold 2 codes, 2 bytes the
    // odd last one, and each code gives 1 to 4096 bytes. -l and d1 refuse what no stream of
    // that length can say, d1 before it opens the output.
    const std::string over = "uszkodzony plik raw: strumien konczy sie przed koncem danych\n";
    const std::string under = "uszkodzony plik raw: dane za koncem strumienia\n";
    for (const auto& [length, codes, err] :
         std::vector<std::tuple<int32_t, std::vector<int32_t>, std::string>>{
             {2 * 4096 - 1, {'a', 'b'}, ""},
             {2 * 4096, {'a', 'b'}, over},
             {3 * 4096 - 1, {'a', 'b', 'c'}, ""},
             {3 * 4096, {'a', 'b', 'c'}, over},
             {1, {'a', 'b'}, ""},
             {0, {'a', 'b'}, under},
             {1, {'a', 'b', 'c'}, under},
             // Longer than the first window read: the bound is the whole file's.
             {250000000 - 1, std::vector<int32_t>(66667, 'a'), ""}}) {
        write("raw", packCodes(length, codes));
        r = lzw({"-l", "raw"});
        EXPECT_EQ(r.status, err.empty() ? 0 : 1) << length << " " << r.out << r.err;
        if (err.empty()) continue;
        write("out", "old");
        r = lzw({"-q", "d2", "raw", "out"});
        EXPECT_EQ(r.err, err) << length;
        EXPECT_EQ(read("out"), "old") << length;
    }
}

// "-" names standard input or output; a file named "-" is reached as "./-".
TEST_F(Cli, DashIsStandardInputOrOutput) {
    write("in", kText);
    const Bytes packedBytes = encode('3', kText);
    const std::string packed(packedBytes.begin(), packedBytes.end());
    const std::string text(kText.begin(), kText.end());
    // The script, the file it leaves in "got", and the files that must exist after it.
    for (const auto& [script, got, files] :
         std::vector<std::tuple<std::string, std::string, std::set<std::string>>>{
             {"\"$LZW\" c3 in - > got", packed, {"in", "got"}},
             {"\"$LZW\" c3 - got < in", packed, {"in", "got"}},
             {"cat in | \"$LZW\" c3 - - > got", packed, {"in", "got"}},
             {"\"$LZW\" c3 in ./- && mv ./- got", packed, {"in", "got"}},
             {"cp in ./- && \"$LZW\" c3 ./- got && rm ./-", packed, {"in", "got"}},
             {"\"$LZW\" c3 in packed && \"$LZW\" d3 - - < packed > got",
              text,
              {"in", "packed", "got"}},
             // Read where the shell left standard input, past the line read consumed.
             {"{ echo line; cat in; } > lined && { read -r line; \"$LZW\" -q c3 - -; } < lined "
              "> got && rm lined",
              packed,
              {"in", "got"}},
             // Written where the descriptor stands, the log kept.
             {"echo IMPORTANT > got && \"$LZW\" -q c3 in /dev/stderr 2>> got",
              "IMPORTANT\n" + packed,
              {"in", "got"}},
             {"\"$LZW\" -q c3 /proc/self/fd/3 /dev/fd/4 3< in 4> got", packed, {"in", "got"}},
             // The console's reader goes away (after the banner, before the time line): the
             // run whose output is whole still succeeds.
             {"{ head -c 1000 in; sleep 0.3; tail -c +1001 in; } | { \"$LZW\" c3 - got; "
              "echo $? > status; } | head -c 1 > /dev/null; test \"$(cat status)\" = 0 && rm "
              "status",
              packed,
              {"in", "got"}}}) {
        for (const auto& name : listing()) {
            if (name != "in") fs::remove(work_ / name);
        }
        Outcome r = shell(script);
        EXPECT_EQ(r.status, 0) << script << "\n" << r.err;
        EXPECT_TRUE(read("got") == got) << script;
        EXPECT_EQ(listing(), files) << script;
    }
    // Messages name the standard streams by their paths.
    Outcome r = shell("printf 'abc' | \"$LZW\" d1 - out");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "uszkodzony plik /dev/stdin: plik krotszy niz naglowek\n");
    r = shell("\"$LZW\" c1 in - > /dev/full");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, bannerLine("c1") + "blad przy zapisie pliku /dev/stdout\n");
}

// -q: nothing but error lines, with the statuses of a run without it.
TEST_F(Cli, QuietPrintsOnlyErrorLines) {
    write("in", kText);
    const Bytes packed = encode('2', kText);
    write("packed", packed);
    write("cut", Bytes(packed.begin(), packed.end() - 100));
    write("empty", "");
    for (const auto& [args, status, err] :
         std::vector<std::tuple<std::vector<std::string>, int, std::string>>{
             {{"-q", "c2", "in", "out"}, 0, ""},
             {{"-q", "d2", "packed", "out"}, 0, ""},
             {{"-q", "c3", "empty", "out"}, 0, ""},
             {{"-q", "-q", "d2", "packed", "out"}, 0, ""},
             {{"-q", "--", "d2", "packed", "out"}, 0, ""},
             {{"-q", "d2", "packed", "/dev/stdout"}, 0, ""},
             {{"-q", "c1", "missing", "out"}, 1, "blad przy ladowaniu pliku missing\n"},
             {{"-q", "d2", "cut", "out"},
              1,
              "uszkodzony plik cut: strumien konczy sie przed koncem danych\n"},
             {{"-q", "c1", "in", "/dev/full"}, 1, "blad przy zapisie pliku /dev/full\n"},
             {{"-q", "c1", "in", "in"}, 1, "plik wejsciowy i wyjsciowy to ten sam plik: in\n"},
             {{"-q", "x1", "in", "out"},
              2,
              "nieznany tryb x1 (c1, c2, c3 kompresja, d1, d2, d3 dekompresja)\n" + kUsageLine},
             // -v: the sizes alone; a compression's output as a percentage of its input.
             {{"-q", "-v", "c2", "in", "out"},
              0,
              "150000 bajtow -> " + std::to_string(packed.size()) + " bajtow, " +
                  std::to_string((packed.size() * 1000 + 75000) / 150000 / 10) + "." +
                  std::to_string((packed.size() * 1000 + 75000) / 150000 % 10) + "% wejscia\n"},
             {{"-v", "-q", "d2", "packed", "out"},
              0,
              std::to_string(packed.size()) + " bajtow -> 150000 bajtow\n"},
             {{"-q", "-v", "c3", "empty", "out"}, 0, "0 bajtow -> 4 bajtow\n"},
             {{"-q", "-v", "d2", "cut", "out"},
              1,
              "uszkodzony plik cut: strumien konczy sie przed koncem danych\n"}}) {
        Outcome r = lzw(args);
        const std::string line = ::testing::PrintToString(args);
        EXPECT_EQ(r.status, status) << line;
        EXPECT_EQ(r.err, err) << line;
        if (args.back() == "/dev/stdout") {
            EXPECT_TRUE(Bytes(r.out.begin(), r.out.end()) == kText) << line;
        } else {
            EXPECT_EQ(r.out, "") << line;
        }
    }
}

// Escapes the characters a regular expression gives a meaning to.
std::string literal(const std::string& text) {
    std::string quoted;
    for (char ch : text) {
        if (std::string("\\^$.|?*+()[]{}").find(ch) != std::string::npos) quoted += '\\';
        quoted += ch;
    }
    return quoted;
}

// The progress line: only on a terminal (run here under script(1), which gives the program a
// pseudo-terminal and copies what it shows to standard output), only for a run that lasts
// more than a second, erased before the time line or an error line. Off a terminal, and with
// -q, every byte is what it was before there was a progress line.
TEST_F(Cli, ProgressShowsOnlyOnATerminal) {
    ASSERT_EQ(shell("command -v script").status, 0) << "script(1) is missing: "
                                                       "bash scripts/install-deps.sh";
    Bytes big;
    for (int i = 0; i < 14; ++i) big = concat({big, kText});  // about 2 MB
    write("big", big);
    write("big.c2", encode('2', big));
    Bytes packed = encode('1', big);
    write("cut.c1", Bytes(packed.begin(), packed.end() - 100));
    write("small", "abababab");
    write("small.c1", encode('1', Bytes{'a', 'b', 'a', 'b', 'a', 'b', 'a', 'b'}));
    // A reader that stops after the first byte holds the program up for 1.2 s, and the
    // program then has many buffers left to fill. A slow writer does the same: head cannot
    // write its 100000 bytes before the program has started to read. The status goes to a
    // file, as a pipe's status is the last command's.
    auto slowReader = [](const std::string& run) {
        return "{ " + run +
               "; echo $? > status; } | (head -c 1 > /dev/null; sleep 1.2; cat > /dev/null)";
    };
    const std::string slowWriter = "{ head -c 100000 big; sleep 1.2; cat big; } | ";
    const std::string time = "Czas trwania obliczen:[0-9]+ ms\\.\n\n";
    const std::string damaged =
        "uszkodzony plik cut\\.c1: strumien konczy sie przed koncem danych\n";
    enum Shows { nothing, percent, bytes };
    struct Row {
        std::string script;
        bool terminal;
        Shows shows;
        std::string rest;  // what the program printed besides its progress line, a regex
        int status;
    };
    for (const Row& row : std::vector<Row>{
             // Known size: percent of the input, its bytes and the speed.
             {slowReader("\"$LZW\" c2 big -"), true, percent, literal(bannerLine("c2")) + time, 0},
             {slowReader("\"$LZW\" d2 big.c2 -"), true, percent, literal(bannerLine("d2")) + time,
              0},
             // Unknown size: the bytes read and the speed.
             {slowWriter + "\"$LZW\" c3 - packed; echo $? > status", true, bytes,
              literal(bannerLine("c3")) + time, 0},
             // Erased before an error line too.
             {slowReader("\"$LZW\" d1 cut.c1 -"), true, percent,
              literal(bannerLine("d1")) + damaged, 1},
             // A short run shows nothing.
             {"\"$LZW\" c1 small packed; echo $? > status", true, nothing,
              literal(bannerLine("c1")) + time, 0},
             // Compressed data goes to a terminal only with -f; decompressed data always.
             {"\"$LZW\" c1 small -; echo $? > status", true, nothing,
              literal(bannerLine("c1")) +
                  "nie zapisuje skompresowanych danych na terminal /dev/stdout \\(wymus opcja "
                  "-f\\)\n",
              1},
             {"\"$LZW\" -f c1 small -; echo $? > status", true, nothing,
              literal(bannerLine("c1")) + "[^]{12}" + time, 0},
             {"\"$LZW\" d1 small.c1 -; echo $? > status", true, nothing,
              literal(bannerLine("d1")) + "abababab" + time, 0},
             // A line that gets shorter (97.7 KiB   81.4 KiB/s, then 2.1 MiB   1.3 MiB/s).
             {"{ head -c 100000 big; sleep 1.2; cat big; sleep 0.3; cat big; } | \"$LZW\" c3 - "
              "packed; echo $? > status",
              true, bytes, literal(bannerLine("c3")) + time, 0},
             // -q: nothing at all, not even on a terminal.
             {slowReader("\"$LZW\" -q c2 big -"), true, nothing, "", 0},
             {"\"$LZW\" -q d1 cut.c1 out; echo $? > status", true, nothing, damaged, 1},
             // Off a terminal: the same runs print what they always did.
             {slowReader("\"$LZW\" c2 big -"), false, nothing, literal(bannerLine("c2")) + time, 0},
             {slowWriter + "\"$LZW\" c3 - packed; echo $? > status", false, nothing,
              literal(bannerLine("c3")) + time, 0},
             {slowReader("\"$LZW\" d1 cut.c1 -"), false, nothing,
              literal(bannerLine("d1")) + damaged, 1},
         }) {
        fs::remove(work_ / "status");
        std::string shown;
        if (row.terminal) {
            Outcome r = shell("script -q -e -c '" + row.script + "' /dev/null");
            EXPECT_EQ(r.err, "") << row.script;
            // The terminal turns every "\n" into "\r\n".
            shown = std::regex_replace(r.out, std::regex("\r\n"), "\n");
        } else {
            Outcome r = shell(row.script);
            shown = r.out + r.err;
        }
        EXPECT_EQ(read("status"), std::to_string(row.status) + "\n") << row.script;
        // The progress line: from the first carriage return to the last.
        size_t from = shown.find('\r'), to = shown.rfind('\r');
        std::string progress, rest = shown;
        if (from != std::string::npos) {
            progress = shown.substr(from, to + 1 - from);
            rest = shown.substr(0, from) + shown.substr(to + 1);
        }
        EXPECT_TRUE(std::regex_match(rest, std::regex(row.rest)))
            << row.script << "\n"
            << ::testing::PrintToString(shown);
        switch (row.shows) {
            case nothing:
                EXPECT_EQ(progress, "") << row.script << "\n" << ::testing::PrintToString(shown);
                break;
            case percent:
            case bytes:
                // Drawn, then blanked out: it ends in spaces between two carriage returns.
                EXPECT_TRUE(std::regex_search(progress, std::regex("[0-9] (B|KiB|MiB|GiB)/s")))
                    << row.script << "\n"
                    << ::testing::PrintToString(shown);
                EXPECT_EQ(progress.find('%') != std::string::npos, row.shows == percent)
                    << ::testing::PrintToString(progress);
                EXPECT_TRUE(std::regex_search(progress, std::regex("\r +\r$")))
                    << ::testing::PrintToString(progress);
                // Each drawing covers the longest before it: a shorter text is followed by
                // blanks over the rest of the old one.
                for (size_t at = 1, widest = 0; at < progress.size();) {
                    size_t end = progress.find('\r', at);
                    std::string drawn = progress.substr(at, end - at);
                    EXPECT_GE(drawn.size(), widest) << ::testing::PrintToString(progress);
                    widest = std::max(widest, drawn.find_last_not_of(' ') + 1);
                    at = end + 1;
                }
                break;
        }
    }
}

// The bash completion: options before the mode, the modes, then file names or "-" for the
// input and the output, and nothing after them.
TEST_F(Cli, CompletionOffersOptionsModesAndFiles) {
    write("notes.txt", "x");
    write("notes.lzw", "x");
    fs::create_directory(work_ / "dir");
    for (const auto& [line, offered] : std::vector<std::pair<std::string, std::string>>{
             {"lzw ", "c1 c2 c3 d1 d2 d3"},
             {"lzw c", "c1 c2 c3"},
             {"lzw -", "-- --frame --help --no-seek-table --version -B -F -R -T -f -h -l -q -t -v"},
             {"lzw -R ", ""},
             {"lzw -R 1G:4M d", "d1 d2 d3"},
             {"lzw --frame c", "c1 c2 c3"},
             {"lzw -F -B ", "16M 1M 256K 4M 64K"},
             {"lzw -T ", "0 1 2 4 8"},
             {"lzw -T 2 -F c", "c1 c2 c3"},
             {"lzw -F -B 4M c", "c1 c2 c3"},
             {"lzw -t d", "d1 d2 d3 dir"},
             {"lzw -t d1 notes.l", "notes.lzw"},
             {"lzw -l notes.lzw ", ""},
             {"lzw --v", "--version"},
             {"lzw -q ", "c1 c2 c3 d1 d2 d3"},
             {"lzw -q d", "d1 d2 d3"},
             {"lzw -- -", ""},
             {"lzw c1 notes.", "notes.lzw notes.txt"},
             {"lzw c1 ", "- dir notes.lzw notes.txt"},
             {"lzw -q d2 notes.lzw -", "-"},
             {"lzw d2 notes.lzw d", "dir"},
             {"lzw c1 a b ", ""}}) {
        // The words of the line; the last one is being completed (empty after a space). What
        // is offered comes back sorted.
        const std::string script =
            std::string("source '") + LZW_COMPLETION +
            "'; read -ra COMP_WORDS <<< \"$1\"; "
            "[[ $1 == *' ' ]] && COMP_WORDS+=(''); "
            "COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _lzw; "
            "printf '%s\\n' \"${COMPREPLY[@]}\" | LC_ALL=C sort | paste -sd ' '";
        Outcome r = spawn({"/bin/bash", "-c", script, "bash", line});
        EXPECT_EQ(r.status, 0) << line << r.err;
        EXPECT_EQ(r.out, offered + "\n") << line;
    }
}
}  // namespace
}  // namespace lzw::testing
