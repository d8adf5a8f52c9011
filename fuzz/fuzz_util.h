// Helpers shared by the fuzz targets and the seed generator: a per-process
// scratch file for readers that take a path, and a small transfer-function
// record whose archive and legacy files make good seeds.
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

// A record of nSources source positions (ids 10, 11, ...) and nMics
// microphones (ids 0, 1, ...) with localization and separation matrices
// of nfft/2+1 bins.
inline velkio_TransferFunction *smallRecord(int nSources, int nMics, int nfft)
{
    velkio_Positions *src = velkio_Positions_new("tsp", 0, 0, 0);
    for (int s = 0; s < nSources; s++) {
        float c[3] = {1.5f, 0.25f * (float)s, -0.5f};
        velkio_Positions_append(src, velkio_Position_new(10 + s, 1, c, "rec.wav"));
    }
    velkio_Positions *mic = velkio_Positions_new("microphone", 0, 0, 0);
    for (int m = 0; m < nMics; m++) {
        float c[3] = {0.05f * (float)m, -0.0625f, 0.125f};
        velkio_Positions_append(mic, velkio_Position_new(m, 1, c, nullptr));
    }
    velkio_Config *cfg = velkio_Config_new();
    velkio_Config_setNfft(cfg, nfft);
    velkio_Config_setSamplingRate(cfg, 16000);
    velkio_Config_setSynchronousAverage(cfg, 16);
    velkio_Config_setTSPlength(cfg, 16384);
    velkio_Config_setTSPoffset(cfg, 3);
    velkio_Config_setPeakSearchFrom(cfg, 1);
    velkio_Config_setPeakSearchTo(cfg, 200);
    velkio_Config_setSignalMax(cfg, 32768);
    velkio_TransferFunction *tf = velkio_TransferFunction_fromData(src, mic, cfg, nullptr);
    velkio_Matrix **kinds[2];
    for (int k = 0; k < 2; k++) {
        kinds[k] = (velkio_Matrix **)calloc((size_t)nSources, sizeof(velkio_Matrix *));
        for (int s = 0; s < nSources; s++) {
            kinds[k][s] = velkio_Matrix_new("complex", nMics, nfft / 2 + 1);
            for (int m = 0; m < nMics; m++)
                for (int b = 0; b <= nfft / 2; b++)
                    velkio_Matrix_setValueComplex(
                        kinds[k][s], m, b,
                        velkio_Complex(0.5f * (float)(k + s + m + b), 0.125f * (float)(s - b)));
        }
    }
    velkio_TransferFunction_setLocTFs(tf, kinds[0]);
    velkio_TransferFunction_setSepTFs(tf, kinds[1]);
    return tf;
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
