// Writes the seed corpora of the fuzz targets into DIR/<target>/: files
// made by the suite's own writers (documents, archives, MAT members, WAV and
// raw float files, legacy files, SOFA files of transfer functions) and
// typical option values and templates.  SOFA files of impulse responses
// come from an independent writer (fuzz/make_corpus.sh).
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "fuzz_util.h"
#include "tfexport.h"
#include "velkio.h"
#include "velktool.h"

namespace {

std::string root;
int failures = 0;

std::string dirFor(const char *target)
{
    std::string d = root + "/" + target;
    mkdir(d.c_str(), 0777);
    return d;
}

void put(const char *target, const char *name, const std::string &bytes)
{
    velkfuzz::writeBytes(dirFor(target) + "/" + name, (const uint8_t *)bytes.data(),
                         bytes.size());
}

std::string fileBytes(const std::string &path)
{
    std::string bytes;
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr) {
        failures++;
        return bytes;
    }
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        bytes.append(buf, n);
    fclose(f);
    return bytes;
}

void putDocument(const char *name, velkio_XML *doc)
{
    int length = 0;
    char *text = velkio_XML_toString(doc, &length);
    if (text == nullptr)
        failures++;
    else
        put("xml_loader", name, std::string(text, (size_t)length));
    free(text);
    velkio_XML_delete(&doc);
}

void xmlSeeds()
{
    velkio_TransferFunction *tf = velktest::legacyRecord(3, 2, 16);
    putDocument("sources.xml",
                velkio_XML_newFromData(velkio_Positions_copy(tf->positions), nullptr, nullptr));
    putDocument("microphones.xml",
                velkio_XML_newFromData(velkio_Positions_copy(tf->microphones), nullptr, nullptr));
    putDocument("config.xml", velkio_XML_newFromData(nullptr, nullptr,
                                                     velkio_Config_copy(tf->config)));
    velkio_Positions *sources = velkio_Positions_copy(tf->positions);
    velkio_Neighbors *nb = velkio_Neighbors_new(sources);
    velkio_Neighbors_calcNeighbors(nb, 1, 2, 3.2f);
    putDocument("merged.xml",
                velkio_XML_newFromData(sources, nb, velkio_Config_copy(tf->config)));
    velkio_TransferFunction_delete(&tf);
}

void archiveAndMatSeeds()
{
    std::string path = velkfuzz::scratchFile("seed.zip");
    velkio_TransferFunction *tf = velktest::legacyRecord(2, 2, 16);
    if (velkio_TransferFunction_write(tf, path.c_str(), nullptr) != 0)
        failures++;
    put("archive_loader", "loc_sep.zip", std::string(1, '\1') + fileBytes(path));
    put("archive_loader", "loc_sep.members", std::string(1, '\0') + velkfuzz::packMembers(path));
    velkio_TransferFunction_setSepTFs(tf, nullptr);
    if (velkio_TransferFunction_write(tf, path.c_str(), nullptr) != 0)
        failures++;
    put("archive_loader", "loc_only.members", std::string(1, '\0') + velkfuzz::packMembers(path));

    size_t size = 0;
    unsigned char *mat = velkio_MatFile_encode(tf->locTFs[0], "tf", &size);
    if (mat == nullptr)
        failures++;
    else
        put("matfile", "tf_2x9.mat", std::string((const char *)mat, size));
    free(mat);
    velkio_Matrix *one = velkio_Matrix_new("complex", 1, 1);
    mat = velkio_MatFile_encode(one, "x", &size);
    if (mat != nullptr)
        put("matfile", "one.mat", std::string((const char *)mat, size));
    free(mat);
    velkio_Matrix_delete(&one);
    velkio_TransferFunction_delete(&tf);
}

// Replaces one member of the archive at `path` by `content`, deflated.
// 0 on success.
int replaceMember(const std::string &path, const char *name, const std::string &content)
{
    zip_t *z = zip_open(path.c_str(), 0, nullptr);
    zip_int64_t index = z != nullptr ? zip_name_locate(z, name, 0) : -1;
    void *copy = malloc(content.size());
    if (copy != nullptr)
        memcpy(copy, content.data(), content.size());
    zip_source_t *src = index >= 0 && copy != nullptr
                            ? zip_source_buffer(z, copy, content.size(), 1)
                            : nullptr;
    if (src == nullptr || zip_file_replace(z, (zip_uint64_t)index, src, 0) != 0 ||
        zip_set_file_compression(z, (zip_uint64_t)index, ZIP_CM_DEFLATE, 9) != 0 ||
        zip_close(z) != 0) {
        if (src == nullptr)
            free(copy);
        if (z != nullptr)
            zip_discard(z);
        return 1;
    }
    return 0;
}

// Writes `size` as the uncompressed size of member `name` into both of
// its headers (local and central), so that the member claims less than it
// holds.
void patchDeclaredSize(std::string *bytes, const std::string &name, uint32_t size)
{
    const unsigned char local[] = {'P', 'K', 3, 4}, central[] = {'P', 'K', 1, 2};
    for (size_t at = bytes->find(name); at != std::string::npos; at = bytes->find(name, at + 1)) {
        size_t field = 0;
        if (at >= 30 && bytes->compare(at - 30, 4, (const char *)local, 4) == 0)
            field = at - 30 + 22;
        else if (at >= 46 && bytes->compare(at - 46, 4, (const char *)central, 4) == 0)
            field = at - 46 + 24;
        else
            continue;
        for (int k = 0; k < 4; k++)
            (*bytes)[field + k] = (char)((size >> (8 * k)) & 0xff);
    }
}

// Archives that reach the readers' size limits: a whatisthis.txt that
// inflates beyond its limit, a source.xml that inflates beyond the size
// it declares, a MAT member longer than its header calls for and one
// holding a NaN.
void limitSeeds()
{
    std::string path = velkfuzz::scratchFile("limits.zip");
    velkio_TransferFunction *tf = velktest::legacyRecord(2, 2, 16);
    std::string label = "transfer function\n";
    if (velkio_TransferFunction_write(tf, path.c_str(), nullptr) != 0 ||
        replaceMember(path, "transferFunction/whatisthis.txt",
                      label + std::string(VELKIO_MAX_LABEL_BYTES * 8, '\0')) != 0)
        failures++;
    put("archive_loader", "bomb_whatisthis.zip", std::string(1, '\1') + fileBytes(path));

    const char *source = "transferFunction/source.xml";
    int length = 0;
    velkio_XML doc = {tf->positions, tf->neighbors, tf->config};
    char *xml = velkio_XML_toString(&doc, &length);
    if (xml == nullptr || velkio_TransferFunction_write(tf, path.c_str(), nullptr) != 0 ||
        replaceMember(path, source, std::string(xml, (size_t)length) + std::string(1 << 20, ' ')) != 0)
        failures++;
    std::string lying = fileBytes(path);
    patchDeclaredSize(&lying, source, (uint32_t)length);
    put("archive_loader", "lying_source.zip", std::string(1, '\1') + lying);
    free(xml);

    if (velkio_TransferFunction_write(tf, path.c_str(), nullptr) != 0)
        failures++;
    std::string packed = velkfuzz::packMembers(path);
    const std::string member = std::string("transferFunction/localization/tf00010.mat\n");
    size_t at = packed.find(member);
    size_t end = at != std::string::npos ? packed.find(velkfuzz::kMemberSeparator, at) : at;
    if (end == std::string::npos)
        failures++;
    else
        put("archive_loader", "mat_padded.members",
            std::string(1, '\0') + packed.substr(0, end) + std::string(64, '\0') + packed.substr(end));

    tf->locTFs[1]->data[3] = velkio_Complex(NAN, 0);
    size_t size = 0;
    unsigned char *mat = velkio_MatFile_encode(tf->locTFs[1], "tf", &size);
    if (mat == nullptr || at == std::string::npos) {
        failures++;
    } else {
        const std::string next = std::string("transferFunction/localization/tf00011.mat\n");
        size_t from = packed.find(next);
        size_t to = from != std::string::npos ? packed.find(velkfuzz::kMemberSeparator, from) : from;
        if (to == std::string::npos)
            to = packed.size();
        if (from == std::string::npos)
            failures++;
        else
            put("archive_loader", "mat_nan.members",
                std::string(1, '\0') + packed.substr(0, from) + next +
                    std::string((const char *)mat, size) + packed.substr(to));
    }
    free(mat);
    velkio_TransferFunction_delete(&tf);
}

void legacySeeds()
{
    std::string path = velkfuzz::scratchFile("seed.legacy");
    velkio_TransferFunction *tf = velktest::legacyRecord(2, 2, 16);
    const char mode[][2] = {{0, 0}, {1, 0}, {2, 0}, {3, 0}};
    if (velkio_Compat_TransferFunction_writelibvelkio2(tf, VELKIO_COMPAT_LOCALIZATION,
                                                       path.c_str()) != 0)
        failures++;
    std::string loc = fileBytes(path);
    put("legacy_readers", "loc.tff", std::string(mode[0], 1) + loc);
    put("legacy_readers", "both.tff", std::string(mode[2], 1) + loc);
    if (velkio_Compat_TransferFunction_writelibvelkio2(tf, VELKIO_COMPAT_SEPARATION,
                                                       path.c_str()) != 0)
        failures++;
    put("legacy_readers", "sep.tff", std::string(mode[1], 1) + fileBytes(path));
    if (velkio_Compat_SeparationMatrix_writelibvelkio2(tf, path.c_str()) != 0)
        failures++;
    put("legacy_readers", "sm.smf", std::string(mode[3], 1) + fileBytes(path));
    velkio_TransferFunction_delete(&tf);
}

void signalSeeds()
{
    std::string path = velkfuzz::scratchFile("seed.wav");
    std::vector<double> a(64), b(64);
    for (int i = 0; i < 64; i++) {
        a[i] = (i == 5) ? 20000.0 : 100.0 * (i % 7) - 300.0;
        b[i] = (i == 9) ? -15000.0 : 50.0 * (i % 3);
    }
    double *two[2] = {a.data(), b.data()};
    if (writewavfile(path.c_str(), two, 64, 2, 16000) != 1)
        failures++;
    put("ir_readers", "two_channels.wav", fileBytes(path));
    if (writewavfile(path.c_str(), two, 16, 1, 48000) != 1)
        failures++;
    put("ir_readers", "one_channel.wav", fileBytes(path));
    for (double &v : a)
        v /= 32768.0;
    if (write_flt(path.c_str(), a.data(), 32) != 0)
        failures++;
    put("ir_readers", "impulse.flt", fileBytes(path));
}

void textSeeds()
{
    const char *templates[] = {
        "/rec/tsp_{AZIMUTH:%.0f}_{ELEVATION:%+.1f}.wav",
        "{X_AXIS:%05.2f}/{Y_AXIS:%g}/{Z_AXIS:%E}.flt",
        "h{HEIGHT:% .3e}r{RADIUS:%#G}",
        "plain/path.wav",
        "{AZIMUTH:%f",
    };
    int i = 0;
    for (const char *t : templates) {
        std::string name = "template" + std::to_string(i);
        put("path_template", name.c_str(), std::string(1, (char)(i % 5)) + t);
        i++;
    }
    const char *values[][2] = {
        {"\x00", "100,200"},     {"\x00", "0,16383,9"}, {"\x01", "0,1,2 3"},
        {"\x01", "63"},          {"\x02", "0, 5,63"},   {"\x02", ""},
        {"\x03", "0,0"},         {"\x03", "1,,2000"},
    };
    i = 0;
    for (const auto &v : values) {
        std::string name = "value" + std::to_string(i++);
        put("option_lists", name.c_str(), std::string(1, v[0][0]) + v[1]);
    }
}

} // namespace

// A GeneralTF file of each kind, as velktoolcli-tfexport writes them.
void sofaSeeds()
{
    std::string path = velkfuzz::scratchFile("seed.zip");
    velkio_TransferFunction *tf = velktest::legacyRecord(2, 2, 16);
    if (velkio_TransferFunction_write(tf, path.c_str(), nullptr) != 0)
        failures++;
    velkio_TransferFunction_delete(&tf);
    for (int kind : {TFEXPORT_LOC, TFEXPORT_SEP}) {
        tfexport_Set set;
        std::vector<unsigned char> bytes;
        if (tfexport_load(path.c_str(), kind, &set) != 0 || tfexport_encodeSofa(set, &bytes) != 0) {
            failures++;
            continue;
        }
        // An odd first byte: the rest is a file.
        put("sofa_reader", kind == TFEXPORT_LOC ? "general_tf_loc.sofa" : "general_tf_sep.sofa",
            "\x01" + std::string(bytes.begin(), bytes.end()));
    }
    // An even first byte: the description of a file (fuzz/sofa_reader.cpp):
    // dimensions I C M R N E, three global attributes, then per variable
    // its shape (7: absent), type, storage and attributes, then values.
    const std::vector<unsigned char> positions = {
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, // listener position, view, up
        0, 0, 0, 0, 0,                               // receivers [R C I]
        0, 0, 0, 1, 1,                               // sources [M C], spherical
        0, 0, 0, 0, 0};                              // emitter [E C I]
    const std::vector<unsigned char> positionValues = {
        0, 0, 0, 1, 0, 0, 0, 0, 1, // listener at 0, looking along x, z up
        0, 18, 0, 0, 0, 0,         // receivers
        0, 0, 8, 6, 0, 8,          // sources (0, 0, 1.4), (90, 0, 1.4)
        0, 0, 0};                  // emitter
    std::vector<unsigned char> fir = {0, 0, 1, 2, 2, 11, 0, 0, 0, 0, 0, 0, 0};
    fir.insert(fir.end(), positions.begin(), positions.end());
    const std::vector<unsigned char> firVars = {0, 0, 1, 5, 8, 7, 7, 0, 0, 0, 5, 4,
                                                0, 0, 0, 5, 8, 7, 7, 7};
    fir.insert(fir.end(), firVars.begin(), firVars.end());
    fir.insert(fir.end(), positionValues.begin(), positionValues.end());
    for (int i = 0; i < 64; i++) // Data.IR [2 2 16]: a peak at sample 3 or 4
        fir.push_back(i % 16 == 3 + i / 32 ? 1 : 0);
    fir.insert(fir.end(), {10, 0, 0}); // 16000 Hz, no delays
    put("sofa_reader", "described_fir", std::string(fir.begin(), fir.end()));

    std::vector<unsigned char> bins = {0, 0, 1, 2, 2, 1, 0, 0, 0, 3, 0, 1, 0};
    bins.insert(bins.end(), positions.begin(), positions.end());
    const std::vector<unsigned char> tfVars = {7, 0, 0, 1, 5, 8, 0, 0, 0, 5, 8, 7, 7,
                                               0, 0, 0, 5, 4, 7, 7};
    bins.insert(bins.end(), tfVars.begin(), tfVars.end());
    bins.insert(bins.end(), positionValues.begin(), positionValues.end());
    for (int i = 0; i < 24; i++) // Data.Real, Data.Imag [2 2 3]
        bins.push_back((unsigned char)(i % 5));
    bins.insert(bins.end(), {0, 20, 21}); // N: 0, 4000, 8000 Hz
    put("sofa_reader", "described_tf", std::string(bins.begin(), bins.end()));
}

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 1;
    }
    root = argv[1];
    mkdir(root.c_str(), 0777);
    xmlSeeds();
    archiveAndMatSeeds();
    limitSeeds();
    legacySeeds();
    sofaSeeds();
    signalSeeds();
    textSeeds();
    if (failures != 0)
        fprintf(stderr, "seedgen: %d seeds could not be made\n", failures);
    return failures != 0 ? 1 : 0;
}
