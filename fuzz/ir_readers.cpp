// Fuzz target: the impulse-response readers.  The bytes are stored as a
// file and read as a WAV recording and as a raw float file, both by the
// main program's readers and by the raw-to-WAV converter's.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include <sndfile.h>

#include "flt2multiwav.h"
#include "fuzz_util.h"
#include "velktool.h"

namespace {

void readAsWave(const char *path)
{
    double **data = nullptr;
    int frames = 0, channels = 0, rate = 0;
    if (readwavfile(path, &data, &frames, &channels, &rate) == 1) {
        // Touch every sample the reader says it delivered.
        volatile double sum = 0;
        for (int c = 0; c < channels; c++)
            for (int f = 0; f < frames; f++)
                sum = sum + data[c][f];
    }
    velktool_freeWaveData(data);
}

void readAsRaw(const char *path, size_t size)
{
    long long bytes = get_flt_size(path);
    if (bytes != (long long)size)
        abort(); // the size must be the file's
    std::vector<double> values(size / 4 + 1);
    double absMax = -1;
    int rc = read_flt(path, values.data(), bytes, &absMax);
    if (rc == 0 && !(absMax >= 0 || std::isnan(absMax)))
        abort();

    int64_t count = -1;
    float *samples = readRaw(path, &count);
    if (samples != nullptr && count != (int64_t)(size / 4))
        abort();
    free(samples);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > (1u << 20))
        return 0;
    static const std::string path = velkfuzz::scratchFile("signal");
    velkfuzz::writeBytes(path, data, size);
    readAsWave(path.c_str());
    readAsRaw(path.c_str(), size);
    return 0;
}
