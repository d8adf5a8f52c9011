// Writes the seed corpora of the fuzz targets into DIR/<target>/: files
// made by the suite's own writers (documents, archives, MAT members, WAV and
// raw float files, legacy files) and typical option values and templates.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "fuzz_util.h"
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
    legacySeeds();
    signalSeeds();
    textSeeds();
    if (failures != 0)
        fprintf(stderr, "seedgen: %d seeds could not be made\n", failures);
    return failures != 0 ? 1 : 0;
}
