// Export files written where a careless or hostile host points them: paths that hold a NUL, are
// too long or loop, the process's own descriptors, pipes whose reader leaves or never reads, and
// hosts killed in the middle of an export.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstddef>
#include <filesystem>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <string>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <thread>
#include <vector>

#include "bridge/run/files.hpp"
#include "support/expect_error.hpp"
#include "support/file_fixture.hpp"
#include "support/unprivileged.hpp"
#include "support/watchdog.hpp"

namespace {

using test::Bytes;

const std::string cannotWrite = "Cannot write export file.";

// The export's failure, empty on success.
std::string exported(const std::filesystem::path& path, const std::vector<float>& values,
                     const std::atomic<bool>* giveUp = nullptr) {
    try {
        mirel::writeFile(path, values, giveUp);
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "";
}

std::string text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

// Whatever is in the pipe now; the writing end is closed already.
std::string drained(int pipe) {
    std::string all;
    char buffer[4096];
    for (ssize_t n; (n = read(pipe, buffer, sizeof buffer)) > 0;) all.append(buffer, static_cast<std::size_t>(n));
    return all;
}

class FileTargets : public ::testing::Test {
protected:
    test::TempFolder folder{"quellmar-file-targets"};
    const std::vector<float> values = {1.5f, -2.0f, 3.25f};
    const std::string content = text(test::littleEndian(values));
};

// The kernel would read such a path only up to its NUL and write another file.
TEST_F(FileTargets, PathWithANulIsRefused) {
    std::filesystem::create_directory(folder / "dir");
    for (const std::string& leaf : {std::string("keep\0.raw", 9), std::string("dir\0/../elsewhere", 17)}) {
        SCOPED_TRACE(leaf);
        EXPECT_EQ(exported(folder.root.string() + "/" + leaf, values), cannotWrite);
    }
    EXPECT_EQ(test::entries(folder.root), std::vector<std::string>{"dir"});
    EXPECT_TRUE(std::filesystem::is_empty(folder / "dir"));
}

// What the kernel refuses to resolve is refused, and nothing changes: not even a link whose own
// path the kernel finds too long, which a writer that resolved it as text would replace.
TEST_F(FileTargets, PathTheKernelRefusesChangesNothing) {
    const Bytes old(64, 0xAB);
    test::writeBytes(folder / "old.bin", old);
    std::filesystem::create_symlink("loop-b", folder / "loop-a");
    std::filesystem::create_symlink("loop-a", folder / "loop-b");
    const std::filesystem::path deep = test::longestPath(folder.root, "f").parent_path();
    const std::filesystem::path longLink = deep / "link-past-the-limit";
    const int deepFolder = open(deep.c_str(), O_PATH | O_DIRECTORY);
    ASSERT_GE(deepFolder, 0);
    ASSERT_EQ(symlinkat((folder / "old.bin").c_str(), deepFolder, longLink.filename().c_str()), 0);
    ASSERT_GE(longLink.string().size(), static_cast<std::size_t>(PATH_MAX));
    for (const std::filesystem::path& path : {folder / "loop-a", longLink}) {
        SCOPED_TRACE(path.string().substr(0, 80));
        EXPECT_EQ(exported(path, values), cannotWrite);
    }
    EXPECT_EQ(test::readBytes(folder / "old.bin"), old);
    EXPECT_EQ(test::entries(deep), std::vector<std::string>{"link-past-the-limit"});
    struct stat status {};
    EXPECT_EQ(fstatat(deepFolder, "link-past-the-limit", &status, AT_SYMLINK_NOFOLLOW), 0);
    EXPECT_TRUE(S_ISLNK(status.st_mode));
    close(deepFolder);
}

// A path that names one of the process's descriptors is written through it, at its position and
// without truncating, as the host's own writes are: what the host writes before and after lands
// around the export, into a regular file as into a pipe.
TEST_F(FileTargets, OwnDescriptorsAreWrittenWhereTheyStand) {
    const char* const paths[] = {"/dev/stdout", "/dev/fd/1", "/proc/self/fd/1"};
    for (const bool intoPipe : {false, true}) {
        for (const char* path : paths) {
            SCOPED_TRACE(std::string(path) + (intoPipe ? " into a pipe" : " into a file"));
            const std::filesystem::path file = folder / "stdout.txt";
            const std::string outcome = test::inChild([&] {
                int channel[2] = {-1, -1};
                const int target = intoPipe ? (pipe(channel) == 0 ? channel[1] : -1) : open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                if (target < 0 || dup2(target, 1) != 1) return std::string("(no stdout)");
                close(target);
                const std::string failure = write(1, "head", 4) == 4 ? exported(path, values) : "(head lost)";
                if (write(1, "tail", 4) != 4) return std::string("(tail lost)");
                close(1);
                return failure + "|" + (intoPipe ? drained(channel[0]) : text(test::readBytes(file)));
            });
            EXPECT_EQ(outcome, "|head" + content + "tail");
            EXPECT_EQ(test::entries(folder.root), intoPipe ? std::vector<std::string>{} : std::vector<std::string>{"stdout.txt"});
            std::filesystem::remove(file);
        }
    }
}

// The descriptor of a file whose name is gone is written like any other; the kernel's text for
// its link (the old name with " (deleted)") names no file to make.
TEST_F(FileTargets, DescriptorOfADeletedFileIsWrittenThrough) {
    const int gone = open((folder / "gone").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(gone, 0);
    ASSERT_EQ(write(gone, "head", 4), 4);
    std::filesystem::remove(folder / "gone");
    EXPECT_EQ(exported("/proc/self/fd/" + std::to_string(gone), values), "");
    std::string written(4 + content.size() + 1, '\0');
    written.resize(static_cast<std::size_t>(pread(gone, written.data(), written.size(), 0)));
    close(gone);
    EXPECT_EQ(written, "head" + content);
    EXPECT_TRUE(folder.empty());
}

// A reader that leaves after 10 bytes must not end the host with SIGPIPE: the export fails, the
// process lives on, and what the host set for the signal stays as it was, a pending one
// included.
TEST_F(FileTargets, PipeWhoseReaderLeavesFailsTheExportOnly) {
    static std::atomic<int> handled{0};
    struct Case {
        const char* what;
        void (*disposition)(int);
        bool blockedAndPending;
    };
    const Case cases[] = {
        {"default disposition", SIG_DFL, false},
        {"ignored", SIG_IGN, false},
        {"host's handler", [](int) { handled += 1; }, false},
        {"blocked, one pending", SIG_DFL, true},
    };
    const std::filesystem::path fifo = folder / "fifo";
    const std::vector<float> many(100000, 1.0f);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string outcome = test::inChild([&] {
            handled = 0;
            std::signal(SIGPIPE, c.disposition);
            sigset_t pipeSignal;
            sigemptyset(&pipeSignal);
            sigaddset(&pipeSignal, SIGPIPE);
            if (c.blockedAndPending) {
                pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
                raise(SIGPIPE);
            }
            if (mkfifo(fifo.c_str(), 0666) != 0) return std::string("(no FIFO)");
            std::thread leaving(test::readAndLeave, open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC), 10);
            const std::string failure = exported(fifo, many);
            leaving.join();
            struct sigaction now {};
            sigaction(SIGPIPE, nullptr, &now);
            sigset_t pending;
            sigpending(&pending);
            sigset_t mask;
            pthread_sigmask(SIG_BLOCK, nullptr, &mask);
            std::string state = failure;
            state += now.sa_handler == c.disposition ? ", disposition kept" : ", disposition changed";
            state += sigismember(&pending, SIGPIPE) == (c.blockedAndPending ? 1 : 0) ? "" : ", pending changed";
            state += sigismember(&mask, SIGPIPE) == (c.blockedAndPending ? 1 : 0) ? "" : ", mask changed";
            return state;
        });
        EXPECT_EQ(outcome, cannotWrite + ", disposition kept");
        std::filesystem::remove(fifo);
    }
}

// A reader that never reads holds the export for as long as it likes, unless the writer is told
// to give up: then the export fails within a few milliseconds.
TEST_F(FileTargets, ExportIntoAStalledPipeEndsWhenGivenUp) {
    const std::filesystem::path fifo = folder / "fifo";
    const test::FifoReader reader(fifo);
    ASSERT_TRUE(reader.open());
    const test::Watchdog watchdog(30.0, "an export into a FIFO that is never read, given up");
    std::atomic<bool> giveUp{false};
    std::thread closing([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        giveUp = true;
    });
    EXPECT_EQ(exported(fifo, std::vector<float>(100000, 1.0f), &giveUp), cannotWrite);
    closing.join();
}

// A host killed while it writes an export file (here by SIGKILL from inside the write, as the
// file grows past a size limit) leaves the old file as it was and no temporary behind.
TEST_F(FileTargets, HostKilledInTheMiddleOfAnExportLeavesNoTemporary) {
    const Bytes old(64, 0xAB);
    for (const bool replacing : {false, true}) {
        SCOPED_TRACE(replacing ? "replacing a file" : "a new file");
        if (replacing) test::writeBytes(folder / "out.bin", old);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            std::signal(SIGXFSZ, [](int) { kill(getpid(), SIGKILL); });
            const rlimit limit{1 << 20, 1 << 20};
            setrlimit(RLIMIT_FSIZE, &limit);
            (void)exported(folder / "out.bin", std::vector<float>(1 << 20, 1.0f));
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "status " << status;
        EXPECT_EQ(test::entries(folder.root), replacing ? std::vector<std::string>{"out.bin"} : std::vector<std::string>{});
        if (replacing) {
            EXPECT_EQ(test::readBytes(folder / "out.bin"), old);
        }
    }
}

// Makes the kernel refuse unnamed files to this process, as a file system without them would.
bool withoutUnnamedFiles() {
    sock_filter program[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_openat, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[2])),
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, O_TMPFILE & ~O_DIRECTORY, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EOPNOTSUPP),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    const sock_fprog filter{static_cast<unsigned short>(sizeof program / sizeof program[0]), program};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) == 0 &&
           open("/tmp", O_TMPFILE | O_WRONLY, 0600) < 0 && errno == EOPNOTSUPP;
}

// Nobody can make exports fail by creating the names of their temporaries first, as another
// user of a shared sticky folder could when the names followed from the process id and a count:
// with unnamed files as without them.
TEST_F(FileTargets, FilesInTheWayOfTemporariesDoNotMatter) {
    for (const bool unnamed : {true, false}) {
        SCOPED_TRACE(unnamed ? "unnamed temporaries" : "named temporaries");
        test::writeBytes(folder / "out.bin", Bytes(64, 0xAB));
        const std::string outcome = test::inChild([&] {
            if (!unnamed && !withoutUnnamedFiles()) return std::string("(unnamed files stay)");
            for (int count = 0; count < 2000; ++count)
                test::writeBytes(folder / (".quellmar-" + std::to_string(getpid()) + "-" + std::to_string(count) + ".tmp"), {});
            const std::string failure = exported(folder / "out.bin", values);
            return failure + "|" + text(test::readBytes(folder / "out.bin"));
        });
        EXPECT_EQ(outcome, "|" + content);
        for (const std::string& name : test::entries(folder.root))
            if (name != "out.bin") std::filesystem::remove(folder / name);
    }
}

// Where the file system makes no unnamed files, a named temporary stands in, and is gone again
// once the export is done or has failed.
TEST_F(FileTargets, NamedTemporariesAreRemoved) {
    const std::string outcome = test::inChild([&] {
        if (!withoutUnnamedFiles()) return std::string("(unnamed files stay)");
        std::string failures = exported(folder / "new.bin", values) + "|";
        failures += exported(folder / "new.bin", values) + "|";
        const test::FileSizeLimit limit(8);
        failures += exported(folder / "new.bin", std::vector<float>(64, 1.0f));
        return failures + "|" + text(test::readBytes(folder / "new.bin"));
    });
    EXPECT_EQ(outcome, "||" + cannotWrite + "|" + content);
    EXPECT_EQ(test::entries(folder.root), std::vector<std::string>{"new.bin"});
}

}  // namespace
