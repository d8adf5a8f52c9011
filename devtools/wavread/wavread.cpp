// velkwavread: the reading floor of the benchmarks. Reads every WAV file
// named on the command line completely with libsndfile, in blocks of at most
// 64 Ki frames, as floats, and does nothing with the samples (it adds up the
// first and last sample of each block, to print something that depends on
// them). A block never asks for more frames than the file has left: the
// library zero-fills the part of the buffer a read cannot fill, which would
// add a memset of the whole block per file to the floor.
#include <sndfile.h>

#include <cstdio>
#include <cstring>
#include <vector>

int main(int argc, char **argv)
{
    const sf_count_t block = 65536;
    std::vector<float> buf;
    double sum = 0.0;
    long long frames = 0;
    int status = 0;
    for (int i = 1; i < argc && status == 0; i++) {
        SF_INFO info;
        memset(&info, 0, sizeof info);
        SNDFILE *f = sf_open(argv[i], SFM_READ, &info);
        if (f == nullptr) {
            fprintf(stderr, "velkwavread: can not open [%s]\n", argv[i]);
            status = 1;
            break;
        }
        buf.resize((size_t)(block * info.channels));
        sf_count_t got, total = 0;
        while (total < info.frames &&
               (got = sf_readf_float(f, buf.data(),
                                     info.frames - total < block ? info.frames - total
                                                                 : block)) > 0) {
            sum += buf[0] + buf[(size_t)(got * info.channels - 1)];
            total += got;
        }
        sf_close(f);
        if (total != info.frames) {
            fprintf(stderr, "velkwavread: short read of [%s]\n", argv[i]);
            status = 1;
        }
        frames += total;
    }
    if (status == 0)
        printf("velkwavread: %d files, %lld frames, sum %.6g\n", argc - 1, frames, sum);
    return status;
}
