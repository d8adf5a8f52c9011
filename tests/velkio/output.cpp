// Output files written through velkio_Output: the target is replaced by a
// whole new file or left as it was.  A disk that fills up is played by the
// file-size limit (RLIMIT_FSIZE: writes beyond it fail with EFBIG).
#include "velkio.h"

#include "archive_test_util.h"
#include "tf_records.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using velktest::TempDir;

std::vector<std::string> entries(const std::string &dir)
{
    std::vector<std::string> names;
    DIR *d = opendir(dir.c_str());
    while (struct dirent *e = d ? readdir(d) : nullptr)
        if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
            names.push_back(e->d_name);
    if (d)
        closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

std::string text(const std::string &path)
{
    std::vector<unsigned char> bytes = velktest::readFile(path);
    return std::string(bytes.begin(), bytes.end());
}

// Files may grow to `bytes` only while it lives.
struct FileSizeLimit {
    struct rlimit old;
    FileSizeLimit(rlim_t bytes)
    {
        signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &old);
        struct rlimit lim = {bytes, old.rlim_max};
        setrlimit(RLIMIT_FSIZE, &lim);
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &old); }
};

TEST(Output, FailedWriteLeavesTheTargetAndNoTemporaryFile)
{
    TempDir dir;
    const std::string target = dir.file("out.dat");
    ASSERT_TRUE(velktest::writeFile(target, "previous output\n"));
    const std::vector<char> big(65536, 'x');
    FileSizeLimit limit(16384);

    // Through the descriptor, through the stream, and through the legacy
    // writer of the library.
    velkio_Output *out = velkio_Output_open(target.c_str());
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(velkio_Output_write(out, big.data(), big.size()), 1);
    EXPECT_EQ(velkio_Output_commit(out), 1);
    EXPECT_EQ(errno, EFBIG);

    out = velkio_Output_open(target.c_str());
    ASSERT_NE(out, nullptr);
    FILE *stream = velkio_Output_stream(out);
    ASSERT_NE(stream, nullptr);
    fwrite(big.data(), 1, big.size(), stream);
    EXPECT_EQ(velkio_Output_commit(out), 1);

    velkio_TransferFunction *tf = velktest::legacyRecord(40, 8, 64);
    testing::internal::CaptureStderr();
    EXPECT_EQ(velkio_Compat_TransferFunction_writelibvelkio2(tf, VELKIO_COMPAT_LOCALIZATION,
                                                             target.c_str()),
              1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("can not write [" + target + "]: File too large"), std::string::npos)
        << err;
    velkio_TransferFunction_delete(&tf);

    EXPECT_EQ(text(target), "previous output\n");
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"out.dat"});
}

TEST(Output, ModesLinksAndTargetsThatAreNoRegularFile)
{
    TempDir dir;
    auto write = [](const std::string &path, const std::string &content) {
        velkio_Output *out = velkio_Output_open(path.c_str());
        if (out == nullptr)
            return 1;
        velkio_Output_write(out, content.data(), content.size());
        return velkio_Output_commit(out);
    };
    struct stat st;
    // A new file: 0666 less the umask; a replaced one keeps its mode.
    mode_t mask = umask(027);
    EXPECT_EQ(write(dir.file("new"), "new\n"), 0);
    ASSERT_EQ(stat(dir.file("new").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    chmod(dir.file("new").c_str(), 0604);
    EXPECT_EQ(write(dir.file("new"), "newer\n"), 0);
    ASSERT_EQ(stat(dir.file("new").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0604u);
    EXPECT_EQ(text(dir.file("new")), "newer\n");
    umask(mask);

    // A link to a regular file: the file is replaced, the link stays.
    ASSERT_EQ(symlink("new", dir.file("link").c_str()), 0);
    EXPECT_EQ(write(dir.file("link"), "through the link\n"), 0);
    EXPECT_EQ(lstat(dir.file("link").c_str(), &st) == 0 && S_ISLNK(st.st_mode), true);
    EXPECT_EQ(text(dir.file("new")), "through the link\n");

    // A directory, a FIFO and a link to nothing are refused, by the check
    // and at the open.
    ASSERT_EQ(mkdir(dir.file("dir").c_str(), 0755), 0);
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0644), 0);
    ASSERT_EQ(symlink("nothing", dir.file("dangling").c_str()), 0);
    for (const char *name : {"dir", "fifo", "dangling"}) {
        const std::string path = dir.file(name);
        testing::internal::CaptureStderr();
        EXPECT_EQ(velkio_Output_check(path.c_str()), 1) << name;
        EXPECT_EQ(velkio_Output_open(path.c_str()), nullptr) << name;
        EXPECT_EQ(errno, EINVAL) << name;
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find("output file [" + path + "] is not a regular file"),
                  std::string::npos)
            << err;
    }
    EXPECT_EQ(velkio_Output_check(dir.file("absent").c_str()), 0);
    EXPECT_EQ(velkio_Output_check(nullptr), 0);
    EXPECT_EQ(entries(dir.path()),
              (std::vector<std::string>{"dangling", "dir", "fifo", "link", "new"}));
}

// An exit before the commit (a run that ends on an error while it writes)
// removes the temporary file; the signals are the command-line tests'.
TEST(Output, ExitBeforeTheCommitRemovesTheTemporaryFile)
{
    TempDir dir;
    const std::string target = dir.file("out.dat");
    ASSERT_TRUE(velktest::writeFile(target, "previous output\n"));
    pid_t pid = fork();
    if (pid == 0) {
        velkio_Output *out = velkio_Output_open(target.c_str());
        if (out == nullptr || velkio_Output_write(out, "partial", 7) != 0)
            _exit(9);
        exit(3);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3) << status;
    EXPECT_EQ(text(target), "previous output\n");
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"out.dat"});
}

} // namespace
