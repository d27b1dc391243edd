#pragma once

// What writing a picture does to the files it meets, the same for each road by which a PNG is
// written; exportTo(path) exports one small picture to path and answers the request's error
// ("" when it succeeded).
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "renderer/png_file.hpp"
#include "support/file_fixture.hpp"
#include "support/watchdog.hpp"

namespace test {

inline void expectPicturesKeepWhatTheUserHad(const std::filesystem::path& folder,
                                             const std::function<std::string(const std::filesystem::path&)>& exportTo) {
    // A picture the file system refuses part-way, as a full disk would, leaves the file it was to
    // replace whole, and a link to it a link.
    const Bytes old(4096, 0xAB);
    std::filesystem::create_directory(folder / "data");
    writeBytes(folder / "data" / "old.png", old);
    std::filesystem::create_symlink("data/old.png", folder / "link.png");
    {
        const FileSizeLimit disk(512);
        for (const char* leaf : {"data/old.png", "link.png"}) {
            SCOPED_TRACE(leaf);
            EXPECT_EQ(exportTo(folder / leaf), std::string("Write PNG: ") + std::strerror(EFBIG));
        }
    }
    EXPECT_EQ(readBytes(folder / "data" / "old.png"), old);
    EXPECT_TRUE(std::filesystem::is_symlink(folder / "link.png"));
    EXPECT_EQ(entries(folder / "data"), std::vector<std::string>{"old.png"});

    using std::filesystem::perms;
    writeBytes(folder / "private.png", old);
    std::filesystem::permissions(folder / "private.png", perms::owner_read | perms::owner_write);
    EXPECT_EQ(exportTo(folder / "private.png"), "");
    EXPECT_EQ(permissions(folder / "private.png"), perms::owner_read | perms::owner_write);
    EXPECT_GT(readPNG(folder / "private.png").width, 0);

    const std::filesystem::path longest = longestPath(folder, "f");
    EXPECT_EQ(exportTo(longest), "");
    EXPECT_GT(readPNG(longest).width, 0);

    // The kernel would take a path only up to a NUL in it, and write another file.
    EXPECT_EQ(exportTo(folder.string() + std::string("/keep\0.png", 10)), std::string("Write PNG: ") + std::strerror(EINVAL));
    EXPECT_FALSE(std::filesystem::exists(folder / "keep"));

    // Without a reader a FIFO is refused at once.
    ASSERT_EQ(mkfifo((folder / "fifo").c_str(), 0666), 0);
    const Watchdog watchdog(30.0, "a picture for a FIFO without a reader");
    EXPECT_EQ(exportTo(folder / "fifo"), std::string("Write PNG: ") + std::strerror(ENXIO));
}

}  // namespace test
