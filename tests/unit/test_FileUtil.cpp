// Files in folders that others may write: replaced whole or not at all, never written through
// a planted link.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>

#include "FileUtil.h"
#include "SettingData.h"
#include "TestUtil.h"

namespace {
// What stands at `path` (a link is not followed) and what a reader gets there.
std::string shown(const std::string& path) {
    struct stat st {};
    const bool regular = ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    return (regular ? "file:" : "other:") + testutil::readFile(path);
}
size_t entries(const std::string& dir) {
    const std::filesystem::directory_iterator it(dir);
    return static_cast<size_t>(std::distance(begin(it), end(it)));
}
}  // namespace

TEST(FileUtil, FilesInFoldersOthersMayWrite) {
    testutil::TempDir dir;
    const std::string target = dir.file("target"), path = dir.file("result");
    testutil::writeFile(target, "secret");
    ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0);
    EXPECT_TRUE(zorcommon::replaceFile(path, "new"));
    EXPECT_EQ(shown(path), "file:new");
    ::unlink(path.c_str());
    ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0);
    errno = EEXIST;  // an error number left from before must not count
    EXPECT_TRUE(zorcommon::createFreshFile(path));
    EXPECT_EQ(shown(path), "file:");
    EXPECT_EQ(testutil::readFile(target), "secret");
    EXPECT_EQ(entries(dir.path()), 2u);  // no temporary file left

    // A write that fails (here at the file size limit) leaves the old file as it was.
    testutil::writeFile(path, "old");
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{16, 16};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        ::_exit(zorcommon::replaceFile(path, std::string(100, 'x')) ? 1 : 0);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0) << "the failed write was reported as done";
    EXPECT_EQ(shown(path), "file:old");
    EXPECT_EQ(entries(dir.path()), 2u);

    // The agent's group file lies in a folder every user may write: only a small regular file
    // is read; a FIFO, a device, a link or a big file gives the group "all" without blocking.
    testutil::writeFile(dir.file("group"), "# GROUP=west\nGROUP=east\n");
    testutil::writeFile(dir.file("big"), "GROUP=east\n" + std::string(4096, '#'));
    ASSERT_EQ(::symlink(dir.file("group").c_str(), dir.file("link").c_str()), 0);
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {dir.file("group"), "east"}, {dir.file("missing"), "all"}, {dir.file("big"), "all"},
        {dir.file("link"), "all"},   {dir.file("fifo"), "all"},    {"/dev/zero", "all"}};
    for (const auto& c : cases) {
        EXPECT_EQ(zorcee::data::SettingData::readGroupName(c.first), c.second) << c.first;
    }
}
