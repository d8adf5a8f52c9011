// Helpers for the archive and MAT-file tests: a self-removing temporary
// directory, whole-file reading and writing, running shell commands, and
// the member names of an archive.
#ifndef VELK_ARCHIVE_TEST_UTIL_H
#define VELK_ARCHIVE_TEST_UTIL_H

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>
#include <zip.h>

namespace velktest {

class TempDir {
public:
    TempDir()
    {
        char tmpl[] = "/tmp/velk-test-XXXXXX";
        const char *p = mkdtemp(tmpl);
        path_ = p ? p : "";
    }
    ~TempDir()
    {
        if (!path_.empty())
            std::system(("chmod -R u+rwx '" + path_ + "' 2>/dev/null; rm -rf '" + path_ + "'").c_str());
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// The member names of the archive at `path`, in their order (none when it
// cannot be opened or fails libzip's consistency check).
inline std::vector<std::string> memberNames(const std::string &path)
{
    std::vector<std::string> names;
    zip_t *za = zip_open(path.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, nullptr);
    if (za == nullptr)
        return names;
    for (zip_int64_t i = 0; i < zip_get_num_entries(za, 0); i++)
        names.push_back(zip_get_name(za, (zip_uint64_t)i, 0));
    zip_discard(za);
    return names;
}

inline std::vector<unsigned char> readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in),
                                      std::istreambuf_iterator<char>());
}

inline bool writeFile(const std::string &path, const void *data, size_t size)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char *>(data), (std::streamsize)size);
    return static_cast<bool>(out);
}

inline bool writeFile(const std::string &path, const std::string &text)
{
    return writeFile(path, text.data(), text.size());
}

// Runs a shell command; its standard output goes to *out; the exit status
// is returned (-1 when it could not run).
inline int runCommand(const std::string &command, std::string *out = nullptr)
{
    FILE *p = popen(command.c_str(), "r");
    if (p == nullptr)
        return -1;
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        text.append(buf, n);
    int status = pclose(p);
    if (out != nullptr)
        *out = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline bool haveScipy()
{
    return runCommand("/usr/bin/python3 -c 'import scipy.io, numpy' >/dev/null 2>&1") == 0;
}

} // namespace velktest

#endif
