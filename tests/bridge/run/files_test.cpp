// Run options and the raw files that need no solver: the defaults of a run, reading the initial
// vorticity file and writing export files byte for byte, whole or not at all, keeping what the
// user had: links, permission bits, and files the writer may not change.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <climits>
#include <cmath>
#include <filesystem>
#include <limits>
#include <stdexcept>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <system_error>
#include <thread>
#include <vector>

#include "bridge/run/files.hpp"
#include "bridge/run/options.hpp"
#include "support/expect_error.hpp"
#include "support/file_fixture.hpp"
#include "support/unprivileged.hpp"
#include "support/watchdog.hpp"

namespace {

using test::Bytes;

const std::string wrongSize = "Initial file must contain exactly N\xC2\xB2 Float32 samples.";

mirel::Options run(int n, const std::filesystem::path& initial) {
    mirel::Options options;
    options.config.resolution = n;
    options.initial = initial;
    return options;
}

std::string failure(const mirel::Options& options) {
    try {
        mirel::loadInitial(options);
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "no failure";
}

TEST(Options, Defaults) {
    const mirel::Options o;
    const mirel::Config c;
    EXPECT_EQ(o.config.resolution, c.resolution);
    EXPECT_EQ(o.config.seed, c.seed);
    EXPECT_EQ(o.config.reynolds, c.reynolds);
    EXPECT_EQ(o.config.method, c.method);
    EXPECT_EQ(o.display.field, mirel::Field::vorticity);
    EXPECT_EQ(o.display.palette, mirel::Palette::ember);
    EXPECT_EQ(o.display.colorRange, mirel::ColorRange::sigma);
    EXPECT_EQ(o.display.exposure, 1.2f);
    EXPECT_EQ(o.display.sigma, 2.5f);
    EXPECT_FALSE(o.display.flow);
    EXPECT_FALSE(o.stepLimited);
    EXPECT_FALSE(o.paused);
    EXPECT_TRUE(o.regulated);
    EXPECT_EQ(o.stepLimit, 200);
    EXPECT_EQ(o.batch, 8);
    EXPECT_FALSE(o.fixedBatch);
    EXPECT_EQ(o.wallSeconds, 0.0);
    EXPECT_FALSE(o.until.has_value());
    EXPECT_FALSE(o.untilTurnovers.has_value());
    EXPECT_TRUE(o.initial.empty());
    EXPECT_TRUE(o.spectrum.empty());
    EXPECT_TRUE(o.fields.empty());
    EXPECT_TRUE(o.velocityPath.empty());
}

class Files : public ::testing::Test {
protected:
    test::TempFolder folder{"quellmar-files"};
};

TEST_F(Files, InitialFileIsReadAsLittleEndianSamples) {
    std::vector<float> samples(256);
    for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<float>(i) * 0.5f - 17.25f;
    samples[5] = std::numeric_limits<float>::quiet_NaN();
    samples[6] = -std::numeric_limits<float>::infinity();
    samples[7] = std::numeric_limits<float>::denorm_min();
    const Bytes bytes = test::littleEndian(samples);
    test::writeBytes(folder / "initial.bin", bytes);
    const std::vector<float> loaded = mirel::loadInitial(run(16, folder / "initial.bin"));
    ASSERT_EQ(loaded.size(), 256u);
    EXPECT_EQ(test::littleEndian(loaded), bytes);
    EXPECT_TRUE(std::isnan(loaded[5]));
}

TEST_F(Files, NoInitialFileGivesNoSamples) {
    EXPECT_TRUE(mirel::loadInitial(run(16, "")).empty());
    EXPECT_TRUE(folder.empty());
}

TEST_F(Files, InitialFileOfAnotherSizeIsRefused) {
    struct Case {
        int n;
        std::size_t bytes;
    };
    const Case cases[] = {{16, 1020}, {16, 1028}, {16, 0}, {16, 4096}, {32, 1024}, {32, 4095}, {32, 8192}};
    for (const Case& test : cases) {
        SCOPED_TRACE(testing::Message() << "N=" << test.n << ", " << test.bytes << " bytes");
        test::writeBytes(folder / "initial.bin", Bytes(test.bytes, 0));
        EXPECT_EQ(failure(run(test.n, folder / "initial.bin")), wrongSize);
    }
}

TEST_F(Files, InitialFileWithoutASizeGivesTheFileSystemError) {
    std::filesystem::create_directory(folder / "folder");
    struct Case {
        const char* leaf;
        std::errc code;
    };
    const Case cases[] = {{"missing.bin", std::errc::no_such_file_or_directory}, {"folder", std::errc::is_a_directory}};
    for (const Case& test : cases) {
        SCOPED_TRACE(test.leaf);
        try {
            mirel::loadInitial(run(16, folder / test.leaf));
            ADD_FAILURE() << "no failure";
        } catch (const std::filesystem::filesystem_error& error) {
            EXPECT_EQ(error.code(), std::make_error_code(test.code));
            EXPECT_EQ(error.path1(), folder / test.leaf);
        }
    }
}

// The kernel would stop at the NUL and read "initial.bin", which has the right size.
TEST_F(Files, InitialPathHoldingANulIsNotRead) {
    test::writeBytes(folder / "initial.bin", Bytes(4 * 16 * 16, 0));
    for (const std::string& tail : {std::string("\0junk", 5), std::string("\0", 1)})
        EXPECT_EQ(failure(run(16, (folder / "initial.bin").string() + tail)), "Cannot read initial file.");
}

TEST(InitialFile, ShortReadIsACannotRead) {
    // A sysfs attribute claims a size of one page but reads back far fewer bytes.
    const std::filesystem::path attribute = "/sys/devices/system/cpu/online";
    std::error_code error;
    if (std::filesystem::file_size(attribute, error) != 4096 || error)
        GTEST_SKIP() << "no sysfs attribute of one page";
    EXPECT_EQ(failure(run(32, attribute)), "Cannot read initial file.");
}

TEST_F(Files, ExportFileHoldsTheBytesOfTheVector) {
    const std::vector<float> values = {1.0f, -0.0f, 3.5e-42f, std::numeric_limits<float>::infinity(), 0.1f};
    mirel::writeFile(folder / "floats.bin", values);
    EXPECT_EQ(test::readBytes(folder / "floats.bin"), test::littleEndian(values));

    const std::vector<mirel::Complex> pairs = {{1.5f, -2.0f}, {0.0f, 7.25f}};
    mirel::writeFile(folder / "pairs.bin", pairs);
    EXPECT_EQ(test::readBytes(folder / "pairs.bin"), test::littleEndian({1.5f, -2.0f, 0.0f, 7.25f}));
}

TEST_F(Files, ExportFileReplacesALongerFile) {
    test::writeBytes(folder / "out.bin", Bytes(4096, 0xAB));
    const std::vector<float> values = {2.0f, 4.0f};
    mirel::writeFile(folder / "out.bin", values);
    EXPECT_EQ(test::readBytes(folder / "out.bin"), test::littleEndian(values));
    mirel::writeFile(folder / "out.bin", std::vector<float>{});
    EXPECT_TRUE(std::filesystem::exists(folder / "out.bin"));
    EXPECT_EQ(std::filesystem::file_size(folder / "out.bin"), 0u);
}

TEST_F(Files, ExportFileThatCannotBeCreatedFails) {
    std::filesystem::create_directory(folder / "folder");
    for (const std::filesystem::path& path : {folder / "missing" / "out.bin", folder / "folder", folder / "folder" / ""}) {
        SCOPED_TRACE(path.string());
        try {
            mirel::writeFile(path, std::vector<float>{1.0f});
            ADD_FAILURE() << "no failure";
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(), "Cannot write export file.");
        }
    }
    EXPECT_FALSE(std::filesystem::exists(folder / "missing"));
    EXPECT_TRUE(std::filesystem::is_empty(folder / "folder"));
}

// The file system refuses the bytes part-way, as a full disk would: the file that was there stays
// whole, and neither a partial file nor a temporary one is left.
TEST_F(Files, FailedExportKeepsTheFileItWouldReplace) {
    const Bytes kept(4096, 0xAB);
    test::writeBytes(folder / "keep.bin", kept);
    {
        const test::FileSizeLimit limit(1024);
        for (const char* leaf : {"keep.bin", "new.bin"}) {
            SCOPED_TRACE(leaf);
            test::expectError<std::runtime_error>([&] { mirel::writeFile(folder / leaf, std::vector<float>(2048, 1.0f)); },
                                                  "Cannot write export file.");
        }
    }
    EXPECT_EQ(test::readBytes(folder / "keep.bin"), kept);
    EXPECT_EQ(test::entries(folder.root), std::vector<std::string>{"keep.bin"});

    const std::vector<float> values(2048, 1.0f);
    mirel::writeFile(folder / "keep.bin", values);
    EXPECT_EQ(test::readBytes(folder / "keep.bin"), test::littleEndian(values));
    EXPECT_EQ(test::entries(folder.root), std::vector<std::string>{"keep.bin"});
}

// A file system with no file left to give refuses the temporary for want of room, not of
// permission: the old file must not be truncated and rewritten in place, as the bytes would not
// fit there either. Mounting needs a mount namespace of the test's own.
TEST_F(Files, FileSystemWithoutRoomForANewFileKeepsTheOldOne) {
    const std::filesystem::path full = folder / "full";
    std::filesystem::create_directory(full);
    const Bytes old(4096, 0xAB);
    const std::string outcome = test::inChild([&] {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", full.c_str(), "tmpfs", 0, "size=8k,nr_inodes=2") != 0)
            return std::string("(no file system of our own)");
        // The root folder and this file take both inodes, and the file one of the two pages.
        test::writeBytes(full / "out.bin", old);
        std::string failure = "no failure";
        try {
            mirel::writeFile(full / "out.bin", std::vector<float>(4096, 1.0f));
        } catch (const std::runtime_error& error) {
            failure = error.what();
        }
        return failure + (test::readBytes(full / "out.bin") == old ? ", old file kept" : ", old file changed");
    });
    if (outcome == "(no file system of our own)") GTEST_SKIP() << "no tmpfs can be mounted here";
    EXPECT_EQ(outcome, "Cannot write export file., old file kept");
}

TEST_F(Files, ExportFileMayHaveTheLongestName) {
    const std::string name(255, 'x');
    const std::vector<float> values = {1.0f, 2.0f};
    mirel::writeFile(folder / name, values);
    EXPECT_EQ(test::readBytes(folder / name), test::littleEndian(values));
    EXPECT_EQ(test::entries(folder.root), std::vector<std::string>{name});
}

// Links are followed as a truncating open follows them: each link stays, the file at the end of
// the chain gets the content (made there when it is missing), and nothing else appears.
TEST_F(Files, ExportThroughALinkReplacesItsDestination) {
    std::filesystem::create_directory(folder / "data");
    struct Case {
        const char* link;
        std::string destination;  // what the link holds
        const char* written;      // the file in data/ that gets the content
    };
    const Case cases[] = {
        {"relative.bin", "data/out.bin", "out.bin"},
        {"absolute.bin", (folder / "data" / "out.bin").string(), "out.bin"},
        {"chain.bin", "relative.bin", "out.bin"},
        {"dangling.bin", "data/new.bin", "new.bin"},
    };
    const std::vector<float> values = {2.0f, 4.0f};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.link);
        test::writeBytes(folder / "data" / "out.bin", Bytes(64, 0xAB));
        std::filesystem::create_symlink(c.destination, folder / c.link);
        mirel::writeFile(folder / c.link, values);
        EXPECT_EQ(std::filesystem::read_symlink(folder / c.link), c.destination);
        EXPECT_EQ(test::readBytes(folder / "data" / c.written), test::littleEndian(values));
    }
    EXPECT_EQ(test::entries(folder / "data"), (std::vector<std::string>{"new.bin", "out.bin"}));
}

// A file with a second name is replaced under the name given; the other name keeps the old file.
TEST_F(Files, ExportGivesAHardLinkedNameAFileOfItsOwn) {
    const Bytes old(64, 0xAB);
    test::writeBytes(folder / "out.bin", old);
    std::filesystem::create_hard_link(folder / "out.bin", folder / "other.bin");
    const std::vector<float> values = {2.0f, 4.0f};
    mirel::writeFile(folder / "out.bin", values);
    EXPECT_EQ(test::readBytes(folder / "out.bin"), test::littleEndian(values));
    EXPECT_EQ(test::readBytes(folder / "other.bin"), old);
}

TEST_F(Files, ExportKeepsThePermissionBitsOfTheFileItReplaces) {
    using std::filesystem::perms;
    const perms modes[] = {perms::owner_read | perms::owner_write,
                           perms::owner_read | perms::owner_write | perms::group_read,
                           perms::owner_all | perms::group_read | perms::group_exec | perms::others_read,
                           perms::owner_read | perms::owner_write | perms::others_write};
    for (const perms mode : modes) {
        SCOPED_TRACE(static_cast<unsigned>(mode));
        test::writeBytes(folder / "out.bin", Bytes(64, 0xAB));
        std::filesystem::permissions(folder / "out.bin", mode);
        mirel::writeFile(folder / "out.bin", std::vector<float>{1.0f});
        EXPECT_EQ(test::permissions(folder / "out.bin"), mode);
        EXPECT_EQ(test::readBytes(folder / "out.bin"), test::littleEndian({1.0f}));
    }
    // A new file gets what the umask leaves, as any new file does.
    const mode_t mask = umask(027);
    mirel::writeFile(folder / "new.bin", std::vector<float>{1.0f});
    umask(mask);
    EXPECT_EQ(test::permissions(folder / "new.bin"), perms::owner_read | perms::owner_write | perms::group_read);
}

// What a writer without root's privileges may do: a file it may not open for writing is refused
// and stays as it was; where the folder takes no new file but the file is writable, the file is
// written in place (the same file, new content), as a truncating open would.
TEST_F(Files, ExportAsAnUnprivilegedWriter) {
    using std::filesystem::perms;
    const perms open = perms::all;
    const perms closed = perms::owner_read | perms::owner_exec | perms::group_read | perms::group_exec |
                         perms::others_read | perms::others_exec;
    const perms readOnly = perms::owner_read | perms::group_read | perms::others_read;
    const perms writable = readOnly | perms::owner_write | perms::group_write | perms::others_write;
    struct Case {
        const char* what;
        perms folderMode;
        bool exists;
        perms fileMode;
        const char* failure;  // empty where the write succeeds
        bool sameFile;        // written in place rather than replaced
        bool foreign;         // folder and file belong to another user (only root can arrange it)
    };
    const Case cases[] = {
        {"write-protected file", open, true, readOnly, "Cannot write export file.", true, false},
        {"closed folder, writable file", closed, true, writable, "", true, false},
        {"closed folder, no file", closed, false, writable, "Cannot write export file.", false, false},
        {"open folder, writable file", open, true, writable, "", false, false},
        // A sticky folder lets only the owner replace a file.
        {"another user's sticky folder and file", open | perms::sticky_bit, true, writable, "", true, true},
    };
    const std::filesystem::path box = folder / "box";
    const Bytes old(64, 0xAB);
    const std::vector<float> values = {2.0f, 4.0f};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.foreign && geteuid() != 0) continue;
        std::filesystem::create_directory(box);
        std::filesystem::permissions(box, perms::all);
        if (c.exists) {
            test::writeBytes(box / "out.bin", old);
            std::filesystem::permissions(box / "out.bin", c.fileMode);
        }
        if (c.foreign) {
            ASSERT_EQ(chown((box / "out.bin").c_str(), 65534, 65534), 0);
            ASSERT_EQ(chown(box.c_str(), 65534, 65534), 0);
        }
        std::filesystem::permissions(box, c.folderMode);
        struct stat before {};
        stat((box / "out.bin").c_str(), &before);
        const std::string failure = test::unprivileged([&] {
            try {
                mirel::writeFile(box / "out.bin", values);
            } catch (const std::runtime_error& error) {
                return std::string(error.what());
            }
            return std::string();
        });
        EXPECT_EQ(failure, c.failure);
        std::filesystem::permissions(box, perms::all);
        if (c.exists) {
            EXPECT_EQ(test::readBytes(box / "out.bin"), *c.failure == '\0' ? test::littleEndian(values) : old);
            EXPECT_EQ(test::permissions(box / "out.bin"), c.fileMode);
            struct stat after {};
            stat((box / "out.bin").c_str(), &after);
            EXPECT_EQ(after.st_ino == before.st_ino, c.sameFile);
        }
        EXPECT_EQ(test::entries(box), c.exists ? std::vector<std::string>{"out.bin"} : std::vector<std::string>{});
        std::filesystem::remove_all(box);
    }
}

TEST_F(Files, ExportMayUseTheLongestPath) {
    const std::filesystem::path path = test::longestPath(folder.root, "f");
    ASSERT_EQ(path.string().size(), static_cast<std::size_t>(PATH_MAX - 1));
    const std::vector<float> values = {1.0f, 2.0f};
    mirel::writeFile(path, values);
    EXPECT_EQ(test::readBytes(path), test::littleEndian(values));
    EXPECT_EQ(test::entries(path.parent_path()), std::vector<std::string>{"f"});
}

// A FIFO is written into like a device. Without a reader it is refused at once instead of waiting
// for one; with a reader, more bytes than the pipe holds arrive whole.
TEST_F(Files, ExportToAFifo) {
    const std::filesystem::path fifo = folder / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
    {
        const test::Watchdog watchdog(30.0, "an export to a FIFO without a reader");
        test::expectError<std::runtime_error>([&] { mirel::writeFile(fifo, std::vector<float>{1.0f}); },
                                              "Cannot write export file.");
    }
    std::filesystem::remove(fifo);

    const test::FifoReader reader(fifo);
    ASSERT_TRUE(reader.open());
    std::vector<float> values(100000);
    for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<float>(i);
    std::string failure = "not written";
    std::thread writer([&] {
        try {
            mirel::writeFile(fifo, values);
            failure.clear();
        } catch (const std::runtime_error& error) {
            failure = error.what();
        }
    });
    const Bytes arrived = reader.take(4 * values.size());
    writer.join();
    EXPECT_EQ(failure, "");
    EXPECT_EQ(arrived, test::littleEndian(values));
    EXPECT_TRUE(std::filesystem::is_fifo(fifo));
    EXPECT_EQ(test::entries(folder.root), std::vector<std::string>{"fifo"});
}

// A device keeps no content to lose: it is written into, never replaced by a regular file. The
// memory devices null (1, 3) and full (1, 7) are made in the test's own folder.
TEST_F(Files, ExportToADeviceWritesIntoIt) {
    struct Case {
        const char* name;
        unsigned minor;
        const char* failure;  // empty where the write succeeds
    };
    const Case cases[] = {{"null", 3, ""}, {"full", 7, "Cannot write export file."}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::filesystem::path device = folder / c.name;
        if (mknod(device.c_str(), S_IFCHR | 0666, makedev(1, c.minor)) != 0) GTEST_SKIP() << "no device nodes here";
        const int probe = open(device.c_str(), O_WRONLY);
        if (probe < 0) GTEST_SKIP() << "devices cannot be opened on this file system";
        close(probe);
        const auto write = [&] { mirel::writeFile(device, std::vector<float>{1.0f, 2.0f}); };
        if (*c.failure == '\0')
            write();
        else
            test::expectError<std::runtime_error>(write, c.failure);
        EXPECT_TRUE(std::filesystem::is_character_file(device));
    }
    EXPECT_EQ(test::entries(folder.root), (std::vector<std::string>{"full", "null"}));
}

}  // namespace
