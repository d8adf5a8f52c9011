// velkzipbench: the cost of the archive's member compression, measured on
// a real archive (a developer program of the benchmarks, not installed).
// Reads every member of ARCHIVE into memory, then writes them again into a
// new zip, once per compression setting (stored; deflate at levels 1, 3, 6
// and 9; the MAT members stored and the texts deflated at level 1 or 6,
// "mixed"), and prints for each the size of the written file and the time that
// writing it took (the best of REPEAT runs).
//
//   velkzipbench ARCHIVE [REPEAT]     (scratch file: ARCHIVE.zipbench)
#include <zip.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

struct Member {
    std::string name;
    std::vector<char> data;
    bool isDir;
};

int readMembers(const char *path, std::vector<Member> *members)
{
    int code = 0;
    zip_t *za = zip_open(path, ZIP_RDONLY, &code);
    if (za == nullptr) {
        fprintf(stderr, "velkzipbench: can not open [%s]\n", path);
        return 1;
    }
    zip_int64_t n = zip_get_num_entries(za, 0);
    for (zip_int64_t i = 0; i < n; i++) {
        zip_stat_t st;
        zip_stat_index(za, (zip_uint64_t)i, 0, &st);
        Member m{st.name, std::vector<char>((size_t)st.size), st.name[strlen(st.name) - 1] == '/'};
        zip_file_t *f = zip_fopen_index(za, (zip_uint64_t)i, 0);
        if (f == nullptr || zip_fread(f, m.data.data(), st.size) != (zip_int64_t)st.size) {
            fprintf(stderr, "velkzipbench: can not read [%s]\n", st.name);
            zip_discard(za);
            return 1;
        }
        zip_fclose(f);
        members->push_back(std::move(m));
    }
    zip_discard(za);
    return 0;
}

// Seconds to write all members with one setting; the file size in *size.
double writeOnce(const std::vector<Member> &members, const std::string &out, zip_int32_t method,
                 zip_uint32_t level, long long *size)
{
    auto t0 = std::chrono::steady_clock::now();
    int code = 0;
    zip_t *za = zip_open(out.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &code);
    if (za == nullptr)
        return -1.0;
    for (const Member &m : members) {
        zip_int64_t idx;
        if (m.isDir) {
            idx = zip_dir_add(za, m.name.c_str(), ZIP_FL_ENC_UTF_8);
        } else {
            zip_source_t *src = zip_source_buffer(za, m.data.data(), m.data.size(), 0);
            idx = zip_file_add(za, m.name.c_str(), src, ZIP_FL_ENC_UTF_8);
        }
        // "mixed" (method -1): the MAT members stored, the texts deflated.
        bool isMat = m.name.size() > 4 && m.name.compare(m.name.size() - 4, 4, ".mat") == 0;
        zip_int32_t use = method >= 0 ? method : isMat ? ZIP_CM_STORE : ZIP_CM_DEFLATE;
        if (idx < 0 || (!m.isDir && zip_set_file_compression(za, (zip_uint64_t)idx, use, level) != 0)) {
            zip_discard(za);
            return -1.0;
        }
    }
    if (zip_close(za) != 0) {
        zip_discard(za);
        return -1.0;
    }
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    struct stat st;
    *size = stat(out.c_str(), &st) == 0 ? (long long)st.st_size : -1;
    return secs;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2 || argc > 3) {
        fprintf(stderr, "usage: velkzipbench ARCHIVE [REPEAT]\n");
        return 1;
    }
    int repeat = argc == 3 ? atoi(argv[2]) : 3;
    if (repeat < 1)
        repeat = 1;
    std::vector<Member> members;
    if (readMembers(argv[1], &members) != 0)
        return 1;
    long long raw = 0;
    for (const Member &m : members)
        raw += (long long)m.data.size();
    printf("%s: %zu members, %lld bytes uncompressed\n", argv[1], members.size(), raw);
    printf("%-12s %12s %8s %10s\n", "setting", "size", "size %", "write s");
    struct Setting {
        const char *label;
        zip_int32_t method;
        zip_uint32_t level;
    } settings[] = {{"stored", ZIP_CM_STORE, 0},   {"deflate 1", ZIP_CM_DEFLATE, 1},
                    {"deflate 3", ZIP_CM_DEFLATE, 3}, {"deflate 6", ZIP_CM_DEFLATE, 6},
                    {"deflate 9", ZIP_CM_DEFLATE, 9}, {"mixed 1", -1, 1},
                    {"mixed 6", -1, 6}};
    std::string out = std::string(argv[1]) + ".zipbench";
    int status = 0;
    for (const Setting &s : settings) {
        double best = -1.0;
        long long size = 0;
        for (int r = 0; r < repeat; r++) {
            double t = writeOnce(members, out, s.method, s.level, &size);
            if (t < 0) {
                fprintf(stderr, "velkzipbench: writing with %s failed\n", s.label);
                status = 1;
                break;
            }
            if (best < 0 || t < best)
                best = t;
        }
        if (status != 0)
            break;
        printf("%-12s %12lld %7.1f%% %10.3f\n", s.label, size, 100.0 * (double)size / (double)raw, best);
    }
    remove(out.c_str());
    return status;
}
