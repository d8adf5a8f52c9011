// Helpers shared by the fuzz targets and the seed generator: a per-process
// scratch file for readers that take a path, and archives in the form the
// fuzzer mutates.  Seeds are made from the tests' records (tf_records.h).
#ifndef VELK_FUZZ_UTIL_H
#define VELK_FUZZ_UTIL_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>
#include <zip.h>

#include "tf_records.h"
#include "velkio.h"

namespace velkfuzz {

// A directory of its own under $TMPDIR (or /tmp), removed at exit.
inline const std::string &scratchDir()
{
    static std::string dir;
    if (dir.empty()) {
        const char *base = getenv("TMPDIR");
        std::string tmpl = std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") +
                           "/velk-fuzz-XXXXXX";
        if (mkdtemp(tmpl.data()) == nullptr) {
            perror("mkdtemp");
            abort();
        }
        dir = tmpl;
        atexit([] { std::system(("rm -rf '" + dir + "'").c_str()); });
    }
    return dir;
}

inline std::string scratchFile(const char *name)
{
    return scratchDir() + "/" + name;
}

// Replaces the file at `path` with the bytes; aborts when it cannot, since
// every later result would be meaningless.
inline void writeBytes(const std::string &path, const uint8_t *data, size_t size)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr || (size > 0 && fwrite(data, 1, size, f) != size) || fclose(f) != 0) {
        perror(path.c_str());
        abort();
    }
}

// Archives as the fuzzer sees them: members separated by kMemberSeparator,
// each one a name line followed by the member's bytes.  Mutating this form
// keeps the zip container intact (and its checksums right), so that the
// loaders' handling of members is reached instead of the zip parser's.
constexpr const char kMemberSeparator[] = "\n@@member@@\n";

// Writes the members packed in data[0 .. size) as a zip file at `path`
// (stored, not compressed); false when libzip refuses.
inline bool writeMembers(const std::string &path, const uint8_t *data, size_t size)
{
    int err = 0;
    zip_t *z = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
    if (z == nullptr)
        return false;
    std::string all((const char *)data, size);
    const std::string sep = kMemberSeparator;
    size_t at = 0;
    bool ok = true;
    while (ok && at <= all.size()) {
        size_t end = all.find(sep, at);
        if (end == std::string::npos)
            end = all.size();
        std::string part = all.substr(at, end - at);
        size_t nl = part.find('\n');
        std::string name = part.substr(0, nl);
        std::string body = nl == std::string::npos ? std::string() : part.substr(nl + 1);
        if (!name.empty() && name.find('\0') == std::string::npos) {
            // libzip takes over the copy, except for an empty member.
            void *copy = body.empty() ? nullptr : malloc(body.size());
            if (copy != nullptr)
                memcpy(copy, body.data(), body.size());
            zip_source_t *src = zip_source_buffer(z, copy, body.size(), copy != nullptr);
            zip_int64_t index = src != nullptr
                                    ? zip_file_add(z, name.c_str(), src, ZIP_FL_OVERWRITE)
                                    : -1;
            if (index < 0) {
                zip_source_free(src);
                ok = false;
            } else {
                zip_set_file_compression(z, (zip_uint64_t)index, ZIP_CM_STORE, 0);
            }
        }
        at = end + sep.size();
    }
    if (!ok || zip_close(z) != 0) {
        zip_discard(z);
        return false;
    }
    return true;
}

// The members of the zip file at `path` in the packed form above.
inline std::string packMembers(const std::string &path)
{
    std::string packed;
    int err = 0;
    zip_t *z = zip_open(path.c_str(), ZIP_RDONLY, &err);
    if (z == nullptr)
        return packed;
    zip_int64_t n = zip_get_num_entries(z, 0);
    for (zip_int64_t i = 0; i < n; i++) {
        zip_stat_t st;
        zip_file_t *f = zip_stat_index(z, (zip_uint64_t)i, 0, &st) == 0
                            ? zip_fopen_index(z, (zip_uint64_t)i, 0)
                            : nullptr;
        if (f == nullptr)
            continue;
        std::string body(st.size, '\0');
        zip_int64_t got = zip_fread(f, body.data(), st.size);
        zip_fclose(f);
        if (got != (zip_int64_t)st.size)
            continue;
        if (!packed.empty())
            packed += kMemberSeparator;
        packed += std::string(st.name) + "\n" + body;
    }
    zip_discard(z);
    return packed;
}

} // namespace velkfuzz

#endif
