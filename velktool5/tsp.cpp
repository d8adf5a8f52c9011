// TSP deconvolution: synchronous addition of the repetitions of a recorded
// TSP, division of its spectrum by the spectrum of the reference TSP, and
// the optional search of the start of the repetitions by cross-correlation.
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "fft.h"
#include "textutil.h"
#include "tsp.h"

namespace {

// A message of the deconvolution, under the routine and line that issue it.
#define SYSIMP_LOG(level, fmt, ...) \
    velkio_Log_printf_((level), (fmt), 0, __func__, __LINE__, ##__VA_ARGS__)

// The raw float reference TSP is only defined at this rate.
const int RAW_TSP_RATE = 16000;

// Correlation peaks this much earlier than the strongest one are preferred
// when they are more than half as strong; the synchronous addition starts
// this many samples before the detected start.
const int EARLIER_PEAK_DISTANCE = 12288;
const int START_MARGIN = 50;
enum { PEAK_HISTORY = 10 };

const char *text(const char *s)
{
    return s != nullptr ? s : "(null)";
}

// A zero-filled heap block of n elements released at the end of the scope;
// null when memory runs out.
template <typename T> class Buffer {
public:
    explicit Buffer(long long n)
        : p_(n >= 0 && (unsigned long long)n <= SIZE_MAX / sizeof(T)
                 ? (T *)calloc(n > 0 ? (size_t)n : 1, sizeof(T))
                 : nullptr)
    {
    }
    ~Buffer() { free(p_); }
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;
    T *get() const { return p_; }
    T &operator[](long long i) const { return p_[i]; }

private:
    T *p_;
};

// Channels of a recording that the channel flags can select.
int flaggedChannels(int channels)
{
    return channels < VELKTOOL_MAX_CHANNELS ? channels : VELKTOOL_MAX_CHANNELS;
}

bool allChannelsFlagged(const char *flags)
{
    for (int c = 0; c < VELKTOOL_MAX_CHANNELS; c++)
        if (!flags[c])
            return false;
    return true;
}

bool anyChannelFlagged(const char *flags, int channels)
{
    for (int c = 0; c < flaggedChannels(channels); c++)
        if (flags[c])
            return true;
    return false;
}

// Raw float reference: only at 16 kHz; scaled by signalMax, or by its own
// largest absolute sample when signalMax is below 1.
int readRawReference(const char *path, int signalMax, int samplingRate,
                     int tspLength, velktool_TspReference *ref)
{
    if (samplingRate != RAW_TSP_RATE) {
        SYSIMP_LOG(VELKIO_LOG_ERROR, "Config SamplingRate shuold be 16000Hz. (%d)",
                   samplingRate);
        return 1;
    }
    long long size = get_flt_size(path);
    long long count = size / 4;
    if (size < 0 || size % 4 != 0 || count > INT_MAX) {
        SYSIMP_LOG(VELKIO_LOG_ERROR, "tsp origin file is not read.");
        return 1;
    }
    ref->signal = (double *)calloc(count > 0 ? (size_t)count : 1, sizeof(double));
    double absMax = 0.0;
    if (ref->signal == nullptr ||
        read_flt(path, ref->signal, size, &absMax) != 0) {
        SYSIMP_LOG(VELKIO_LOG_ERROR, "tsp origin file is not read.");
        return 1;
    }
    ref->length = (int)count;
    if (count < tspLength) {
        SYSIMP_LOG(VELKIO_LOG_ERROR,
                   "tsp origin file (%s) holds %lld samples, fewer than "
                   "tspLength (%d).",
                   path, count, tspLength);
        return 1;
    }
    // The whole file is scaled, so that a reference longer than one period
    // correlates with the recording as one signal.
    double divisor = signalMax >= 1 ? (double)signalMax : absMax;
    if (divisor > 0.0)
        for (long long i = 0; i < count; i++)
            ref->signal[i] /= divisor;
    return 0;
}

// WAV reference: channel `channel` unscaled, at the expected rate.
int readWavReference(const char *path, int channel, int samplingRate,
                     int tspLength, velktool_TspReference *ref)
{
    double **data = nullptr;
    int frames = 0, channels = 0, rate = 0;
    if (path == nullptr ||
        readwavfile(path, &data, &frames, &channels, &rate) != 1) {
        SYSIMP_LOG(VELKIO_LOG_ERROR, "wavefile(%s) is not found.", text(path));
        return 1;
    }
    int status = 1;
    if (samplingRate != rate) {
        SYSIMP_LOG(VELKIO_LOG_ERROR,
                   "Config SamplingRate (%d) differ from Wav(%s) SamplingRate (%d)",
                   samplingRate, path, rate);
    } else if (channel < 0 || channel >= channels) {
        SYSIMP_LOG(VELKIO_LOG_ERROR,
                   "tsp origin file (%s) has no channel %d: it has %d "
                   "channel(s).",
                   path, channel, channels);
    } else if (frames < tspLength) {
        SYSIMP_LOG(VELKIO_LOG_ERROR,
                   "tsp origin file (%s) holds %d samples, fewer than "
                   "tspLength (%d).",
                   path, frames, tspLength);
    } else {
        ref->signal = (double *)malloc((size_t)frames * sizeof(double));
        if (ref->signal == nullptr) {
            SYSIMP_LOG(VELKIO_LOG_ERROR, "can not allocated memory");
        } else {
            memcpy(ref->signal, data[channel], (size_t)frames * sizeof(double));
            ref->length = frames;
            status = 0;
        }
    }
    velktool_freeWaveData(data);
    return status;
}

// conj(T) / |T|^2 of the spectrum T of the first tspLength samples.  A
// bin without energy cannot be divided by: such a reference is refused.
int invertReferenceSpectrum(const char *path, velktool_TspReference *ref)
{
    const int n = ref->tspLength;
    ref->inverse = (velktool_ComplexDouble *)malloc((size_t)n * sizeof *ref->inverse);
    if (ref->inverse == nullptr) {
        SYSIMP_LOG(VELKIO_LOG_ERROR, "can not allocated memory");
        return 1;
    }
    velktool_FFTImpl_dRealFFT(ref->signal, ref->inverse, n);
    for (int k = 0; k < n; k++) {
        velktool_ComplexDouble t = ref->inverse[k];
        double norm = t.real() * t.real() + t.imag() * t.imag();
        if (!(norm > 0.0) || !std::isfinite(norm)) {
            SYSIMP_LOG(VELKIO_LOG_ERROR,
                       "the reference TSP (%s) has no usable energy at "
                       "frequency bin %d.",
                       text(path), k);
            return 1;
        }
        ref->inverse[k] = std::conj(t) / norm;
    }
    return 0;
}

// 1 (logged) unless the recording of `frames` frames holds syncAddFreq
// periods of tspLength samples from `offset` on.
int checkRecordingLength(int frames, int tspLength, int syncAddFreq, int offset)
{
    if (offset < 0 ||
        (long long)tspLength * syncAddFreq + offset > (long long)frames) {
        SYSIMP_LOG(VELKIO_LOG_ERROR,
                   "Wave length(%d) is short when syncAddFreq = %d.", frames,
                   syncAddFreq);
        return 1;
    }
    return 0;
}

// A search window shorter than the reference is widened by the reference
// length: towards the start when there is room, else towards the end.
int widenSearchWindow(int frames, int refLength, int *from, int *to)
{
    if (*to > frames)
        *to = frames;
    if ((long long)*to - *from >= refLength)
        return 0;
    if ((long long)*from - refLength >= 0) {
        *from -= refLength;
        SYSIMP_LOG(VELKIO_LOG_INFO,
                   "Search length is under tsp size. So changing search start "
                   "pos = %d.",
                   *from);
        return 0;
    }
    long long end = (long long)*to + refLength;
    if (end > frames) {
        SYSIMP_LOG(VELKIO_LOG_ERROR,
                   "Search length is under tsp size. But there is not enough "
                   "area on impulse.");
        return 1;
    }
    *to = (int)end;
    SYSIMP_LOG(VELKIO_LOG_INFO,
               "Search length is under tsp size. So changing search end pos = %d.",
               *to);
    return 0;
}

// The start of the repetitions: the earliest suggestion of the selected
// channels (the window end when no channel is selected).
int searchOffset(const velktool_TspReference *ref, double *const *x, int frames,
                 int channels, const char *flags, int from, int to, int *offset)
{
    SYSIMP_LOG(VELKIO_LOG_INFO, "search_offset...");
    const int refLength = ref->length;
    int best = to;
    if (anyChannelFlagged(flags, channels) &&
        widenSearchWindow(frames, refLength, &from, &to) != 0)
        return 1;
    for (int c = 0; c < flaggedChannels(channels); c++) {
        if (!flags[c])
            continue;
        int r = corr_on_fft(x[c], ref->signal, refLength, from, to);
        if (r < best)
            best = r;
    }
    *offset = best;
    SYSIMP_LOG(VELKIO_LOG_INFO, "calculated_first_offset=%d.", best);
    return 0;
}

// The channels the flags select among the first 64 of the recording,
// ascending; their count.
int selectedChannels(const char *flags, int channels, int *selected)
{
    int count = 0;
    for (int c = 0; c < flaggedChannels(channels); c++)
        if (flags[c])
            selected[count++] = c;
    return count;
}

// to[j] += from[j], j < n: 16-bit samples into 32-bit sums, eight per step
// (each sample widened by interleaving it with its sign).
void addSamples(int32_t *to, const int16_t *from, long long n)
{
    typedef int16_t Short8 __attribute__((vector_size(16)));
    typedef int32_t Int4 __attribute__((vector_size(16)));
    long long j = 0;
    for (; j + 8 <= n; j += 8) {
        Short8 s;
        Int4 low, high;
        memcpy(&s, from + j, sizeof s);
        memcpy(&low, to + j, sizeof low);
        memcpy(&high, to + j + 4, sizeof high);
        Short8 sign = s >> 15;
        low += (Int4)__builtin_shufflevector(s, sign, 0, 8, 1, 9, 2, 10, 3, 11);
        high += (Int4)__builtin_shufflevector(s, sign, 4, 12, 5, 13, 6, 14, 7, 15);
        memcpy(to + j, &low, sizeof low);
        memcpy(to + j + 4, &high, sizeof high);
    }
    for (; j < n; j++)
        to[j] += from[j];
}

// Two doubles side by side, the compiler's portable vector.
typedef double Pair __attribute__((vector_size(16)));

// to[j] += from[j], j < n: float samples into double sums, two per step.
void addSamples(double *to, const float *from, long long n)
{
    long long j = 0;
    for (; j + 4 <= n; j += 4) {
        Pair a, b;
        memcpy(&a, to + j, sizeof a);
        memcpy(&b, to + j + 2, sizeof b);
        a += Pair{from[j], from[j + 1]};
        b += Pair{from[j + 2], from[j + 3]};
        memcpy(to + j, &a, sizeof a);
        memcpy(to + j + 2, &b, sizeof b);
    }
    for (; j < n; j++)
        to[j] += from[j];
}

sf_count_t readFrames(SNDFILE *file, int16_t *block, sf_count_t frames)
{
    return sf_readf_short(file, block, frames);
}

sf_count_t readFrames(SNDFILE *file, float *block, sf_count_t frames)
{
    return sf_readf_float(file, block, frames);
}

// A heap block kept from one use to the next and replaced by a larger one
// when more is asked for (the contents are not kept then).
template <typename T> class Scratch {
public:
    Scratch() = default;
    ~Scratch() { free(p_); }
    Scratch(const Scratch &) = delete;
    Scratch &operator=(const Scratch &) = delete;
    // At least n elements; null when memory runs out.
    T *get(long long n)
    {
        if (p_ != nullptr && n >= 0 && (unsigned long long)n <= size_)
            return p_;
        free(p_);
        p_ = nullptr;
        size_ = 0;
        if (n >= 0 && (unsigned long long)n <= SIZE_MAX / sizeof(T)) {
            p_ = (T *)malloc(n > 0 ? (size_t)n * sizeof(T) : 1);
            size_ = p_ != nullptr ? (size_t)n : 0;
        }
        return p_;
    }

private:
    T *p_ = nullptr;
    size_t size_ = 0;
};

// Samples per read of the recording: the block stays small enough to be
// added while it is still in the cache.
const long long BLOCK_SAMPLES = 128 * 1024;

long long blockFrames(int channels)
{
    long long frames = BLOCK_SAMPLES / channels;
    return frames > 0 ? frames : 1;
}

} // namespace

// The work buffers of the deconvolution: one period of interleaved sums
// (32-bit integers for 16-bit recordings, doubles otherwise), a block of
// the recording, the signal of a channel pair and its spectrum (the
// transforms run from one into the other) and its two impulse responses.
struct velktool_TspWork {
    Scratch<int32_t> intSums;
    Scratch<int16_t> shortBlock;
    Scratch<double> sums;
    Scratch<float> floatBlock;
    Scratch<velktool_ComplexDouble> signal, spectrum;
    Scratch<double> irA, irB;
};

namespace {

// Synchronous addition straight from the open recording, all channels at
// once in the recording's own interleaved layout: sums[i * channels + c] =
// the sum over the syncAddFreq periods from frame `offset` on of sample i
// of channel c (i < tspLength), each sample as readFrames gives it.  Only
// the frames added are read.  0, or 1 when they cannot be read.
template <typename Sample, typename Sum>
int sumRepetitions(SNDFILE *file, int channels, int tspLength, int syncAddFreq,
                   int offset, Sample *block, Sum *sums)
{
    if (sf_seek(file, offset, SEEK_SET) != offset)
        return 1;
    memset(sums, 0, (size_t)tspLength * channels * sizeof(Sum));
    const long long frames = blockFrames(channels);
    const long long total = (long long)tspLength * syncAddFreq;
    long long pos = 0;   // frame index within the period
    for (long long done = 0; done < total;) {
        long long want = total - done < frames ? total - done : frames;
        sf_count_t got = readFrames(file, block, want);
        if (got <= 0)
            return 1;
        // Stretches that do not cross the end of a period.
        for (sf_count_t i = 0; i < got;) {
            long long run = got - i < tspLength - pos ? got - i : tspLength - pos;
            addSamples(sums + pos * channels, block + i * channels, run * channels);
            i += run;
            pos = (pos + run) % tspLength;
        }
        done += got;
    }
    return 0;
}

// x[k] *= y[k], k < n, as (ac - bd, ad + bc) on one complex value per
// vector; the values are finite, so nothing is lost by leaving out the
// library's recovery of infinite products.
void multiplySpectra(velktool_ComplexDouble *x, const velktool_ComplexDouble *y,
                     int n)
{
    typedef long long Mask __attribute__((vector_size(16)));
    for (int k = 0; k < n; k++) {
        Pair a = {x[k].real(), x[k].imag()};
        Pair swapped = __builtin_shuffle(a, Mask{1, 0});
        Pair re = {y[k].real(), y[k].real()}, im = {-y[k].imag(), y[k].imag()};
        a = a * re + swapped * im;
        x[k] = velktool_ComplexDouble(a[0], a[1]);
    }
}

// x[i] = (a[i * channels], b[i * channels]) * unit / syncAddFreq, i < n:
// the averages of two channels of the interleaved sums as one complex
// signal (imaginary parts 0 without b).  A power-of-two count is divided
// by multiplying with its inverse, which gives the same values.
template <typename Sum>
void averagePair(velktool_ComplexDouble *x, const Sum *a, const Sum *b,
                 int channels, int n, double unit, int syncAddFreq)
{
    const Pair scale = {unit, unit};
    const Pair count = {(double)syncAddFreq, (double)syncAddFreq};
    const bool powerOfTwo = (syncAddFreq & (syncAddFreq - 1)) == 0;
    const Pair factor = scale / count;
    for (long long i = 0; i < n; i++) {
        Pair v = {(double)a[i * channels],
                  b != nullptr ? (double)b[i * channels] : 0.0};
        v = powerOfTwo ? v * factor : v * scale / count;
        x[i] = velktool_ComplexDouble(v[0], v[1]);
    }
}

std::string outputName(const char *outputPath, long long number)
{
    char suffix[48];
    snprintf(suffix, sizeof suffix, "_ch%lld.flt", number);
    return std::string(text(outputPath)) + suffix;
}

int writeImpulseResponse(const velktool_FltOutput &output, long long number,
                         const double *ir)
{
    std::string name = outputName(output.path, number);
    if (velktool_writeFlt(output, name.c_str(), ir, VELKTOOL_SYSIMP_LENGTH) != 0) {
        SYSIMP_LOG(VELKIO_LOG_ERROR, "File open failed: %s", name.c_str());
        return 1;
    }
    return 0;
}

// Deconvolves the averages of the selected channels of the interleaved
// sums (see sumRepetitions; a sum times `unit` is the sum of the samples
// on the full scale of 1.0) and writes the first 4096 samples of each.
// The averages are real signals and the inverse spectrum is that of a
// real signal, so two channels go through one complex transform pair: the
// first in the real parts, the second in the imaginary parts.
template <typename Sum>
int writeImpulseResponses(const velktool_TspReference *ref, const Sum *sums,
                          double unit, int channels, const int *selected,
                          int count, int syncAddFreq, int channelOrigin,
                          const velktool_FltOutput &output)
{
    const int n = ref->tspLength;
    velktool_ComplexDouble *x = ref->work->signal.get(n);
    velktool_ComplexDouble *spectrum = ref->work->spectrum.get(n);
    double *irA = ref->work->irA.get(VELKTOOL_SYSIMP_LENGTH);
    double *irB = ref->work->irB.get(VELKTOOL_SYSIMP_LENGTH);
    if (x == nullptr || spectrum == nullptr || irA == nullptr || irB == nullptr) {
        SYSIMP_LOG(VELKIO_LOG_ERROR, "can not allocated memory");
        return 1;
    }
    for (int k = 0; k < count; k += 2) {
        const Sum *a = sums + selected[k];
        const Sum *b = k + 1 < count ? sums + selected[k + 1] : nullptr;
        averagePair(x, a, b, channels, n, unit, syncAddFreq);
        velktool_FFTImpl_dFFT(x, spectrum, n);
        multiplySpectra(spectrum, ref->inverse, n);
        velktool_FFTImpl_dFFTInv(spectrum, x, n);
        // n is a power of two: multiplying by 1/n divides exactly as well.
        const double invN = 1.0 / n;
        for (int i = 0; i < VELKTOOL_SYSIMP_LENGTH; i++) {
            irA[i] = x[i].real() * invN;
            irB[i] = x[i].imag() * invN;
        }
        if (writeImpulseResponse(output, (long long)channelOrigin + k, irA) != 0 ||
            (b != nullptr &&
             writeImpulseResponse(output, (long long)channelOrigin + k + 1,
                                  irB) != 0))
            return 1;
    }
    return 0;
}

// The offset search over the whole of the open recording, then the length
// check again: the searched offset may lie anywhere, even before the
// recording.  The addition seeks to its own start afterwards.
int searchInRecording(const velktool_TspReference *ref, SNDFILE *file,
                      const SF_INFO *info, const char *inputWav,
                      int syncAddFreq, const char *flags, int from, int to,
                      int *offset)
{
    double **x = nullptr;
    const int frames = info->frames > INT_MAX ? INT_MAX : (int)info->frames;
    if (sf_seek(file, 0, SEEK_SET) != 0 || readwave(file, info, frames, &x) != 1) {
        SYSIMP_LOG(VELKIO_LOG_ERROR, "wavefile(%s) is not found.", inputWav);
        return 1;
    }
    int status = searchOffset(ref, x, frames, info->channels, flags, from, to,
                              offset);
    velktool_freeWaveData(x);
    if (status == 0)
        status = checkRecordingLength(frames, ref->tspLength, syncAddFreq, *offset);
    return status;
}

// Adds the repetitions in the given sample and sum types and deconvolves
// the selected channels.
template <typename Sample, typename Sum>
int addAndDeconvolve(velktool_TspReference *ref, Scratch<Sample> &blockBuffer,
                     Scratch<Sum> &sumBuffer, double unit, SNDFILE *file,
                     int channels, const char *inputWav, int syncAddFreq,
                     int offset, const int *selected, int count,
                     int channelOrigin, const velktool_FltOutput &output)
{
    Sample *block = blockBuffer.get(blockFrames(channels) * channels);
    Sum *sums = sumBuffer.get((long long)ref->tspLength * channels);
    if (block == nullptr || sums == nullptr) {
        SYSIMP_LOG(VELKIO_LOG_ERROR, "can not allocated memory");
        return 1;
    }
    if (sumRepetitions(file, channels, ref->tspLength, syncAddFreq, offset,
                       block, sums) != 0) {
        SYSIMP_LOG(VELKIO_LOG_ERROR, "wavefile(%s) is not found.", inputWav);
        return 1;
    }
    return writeImpulseResponses(ref, sums, unit, channels, selected, count,
                                 syncAddFreq, channelOrigin, output);
}

// 16-bit samples are added as integers, exactly (libsndfile gives them as
// floats divided by 32768, whose sums in doubles are exact as well, so
// both ways give the same averages); 65536 of them fit into a 32-bit sum.
bool addsAsIntegers(const SF_INFO *info, int syncAddFreq)
{
    return (info->format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16 &&
           syncAddFreq <= 65536;
}

// Synchronous addition and deconvolution of the open recording.
int deconvolveRecording(velktool_TspReference *ref, SNDFILE *file,
                        const SF_INFO *info, const char *inputWav,
                        int syncAddFreq, int offset, const char *flags,
                        int channelOrigin, const velktool_FltOutput &output)
{
    int selected[VELKTOOL_MAX_CHANNELS];
    const int channels = info->channels;
    int count = selectedChannels(flags, channels, selected);
    if (count == 0)
        return 0;
    if (ref->work == nullptr)
        ref->work = new (std::nothrow) velktool_TspWork;
    if (ref->work == nullptr) {
        SYSIMP_LOG(VELKIO_LOG_ERROR, "can not allocated memory");
        return 1;
    }
    velktool_TspWork &w = *ref->work;
    if (addsAsIntegers(info, syncAddFreq))
        return addAndDeconvolve(ref, w.shortBlock, w.intSums, 1.0 / 32768.0,
                                file, channels, inputWav, syncAddFreq, offset,
                                selected, count, channelOrigin, output);
    return addAndDeconvolve(ref, w.floatBlock, w.sums, 1.0, file, channels,
                            inputWav, syncAddFreq, offset, selected, count,
                            channelOrigin, output);
}
} // namespace

void velktool_logSysImpSummary(int tspOrgType, const char *tspOrigWav,
                               int tspOrigChannel, int signalMax,
                               int samplingRate, int tspLength,
                               int syncAddFreq, int syncAddOffset,
                               int searchOffsetFrom, int searchOffsetTo,
                               const char *outChannelList, int channelOrigin,
                               const char *inputWav, const char *outputPath)
{
    const char *pad = "                    , ";
    char *s = nullptr;
    cat_asprintf(&s, "\nvelktool_calcSysImp   tspOrgType       [%s]\n",
                 tspOrgType == VELKTOOL_TSP_RAW ? "RAW" : "WAV");
    cat_asprintf(&s, "%stspOrigWav       [%s]\n", pad, text(tspOrigWav));
    cat_asprintf(&s, "%stspOrigChannel   [%d]\n", pad, tspOrigChannel);
    cat_asprintf(&s, "%ssignalMax        [%d]\n", pad, signalMax);
    cat_asprintf(&s, "%ssamplingRate     [%d]\n", pad, samplingRate);
    cat_asprintf(&s, "%stspLength        [%d]\n", pad, tspLength);
    cat_asprintf(&s, "%ssyncAddFreq      [%d]\n", pad, syncAddFreq);
    cat_asprintf(&s, "%ssyncAddOffset    [%d]\n", pad, syncAddOffset);
    cat_asprintf(&s, "%ssearchOffsetFrom [%d]\n", pad, searchOffsetFrom);
    cat_asprintf(&s, "%ssearchOffsetTo   [%d]\n", pad, searchOffsetTo);
    cat_asprintf(&s, "%soutChannelList   [", pad);
    const char *sep = "";
    for (int c = 0; c < VELKTOOL_MAX_CHANNELS; c++) {
        if (outChannelList[c]) {
            cat_asprintf(&s, "%s%d", sep, c);
            sep = ",";
        }
    }
    cat_asprintf(&s, "]\n");
    cat_asprintf(&s, "%schannelOrigin    [%d]\n", pad, channelOrigin);
    cat_asprintf(&s, "%sinputWav         [%s]\n", pad, text(inputWav));
    cat_asprintf(&s, "%soutputPath       [%s]\n", pad, text(outputPath));
    SYSIMP_LOG(VELKIO_LOG_INFO, "%s", text(s));
    free(s);
}

int velktool_checkTspParameters(int tspLength, int syncAddFreq,
                                int syncAddOffset)
{
    if (!velk_isFftLength(tspLength, VELKTOOL_SYSIMP_LENGTH)) {
        SYSIMP_LOG(VELKIO_LOG_ERROR,
                   "tspLength (%d) should be a power of two of at least %d.",
                   tspLength, VELKTOOL_SYSIMP_LENGTH);
        return 1;
    }
    if (syncAddFreq < 1) {
        SYSIMP_LOG(VELKIO_LOG_ERROR, "syncAddFreq (%d) should be at least 1.",
                   syncAddFreq);
        return 1;
    }
    if (syncAddOffset < 0) {
        SYSIMP_LOG(VELKIO_LOG_ERROR, "syncAddOffset (%d) should not be negative.",
                   syncAddOffset);
        return 1;
    }
    return 0;
}

int velktool_readTspReference(int tspOrgType, const char *path, int channel,
                              int signalMax, int samplingRate, int tspLength,
                              velktool_TspReference *ref)
{
    velktool_freeTspReference(ref);
    ref->tspLength = tspLength;
    int status;
    if (tspOrgType == VELKTOOL_TSP_RAW) {
        status = readRawReference(path, signalMax, samplingRate, tspLength, ref);
    } else if (tspOrgType == VELKTOOL_TSP_WAV) {
        status = readWavReference(path, channel, samplingRate, tspLength, ref);
    } else {
        SYSIMP_LOG(VELKIO_LOG_ERROR, "Error: incorrect tsp_org_type.");
        status = 1;
    }
    if (status == 0)
        status = invertReferenceSpectrum(path, ref);
    if (status != 0)
        velktool_freeTspReference(ref);
    return status;
}

void velktool_freeTspReference(velktool_TspReference *ref)
{
    free(ref->signal);
    free(ref->inverse);
    delete ref->work;
    *ref = velktool_TspReference{};
}

int velktool_deconvolveTsp(velktool_TspReference *ref, int syncAddFreq,
                           int syncAddOffset, int searchOffsetFrom,
                           int searchOffsetTo, const char *outChannelList,
                           int channelOrigin, const char *inputWav,
                           velktool_FltOutput output)
{
    SF_INFO info;
    memset(&info, 0, sizeof info);
    // The recording is opened once and read only through this handle.
    velktool_SoundFile file;
    if (inputWav == nullptr || velktool_openSoundFile(inputWav, &info, &file) != 0) {
        SYSIMP_LOG(VELKIO_LOG_ERROR, "wavefile(%s) is not found.", text(inputWav));
        return 1;
    }
    const int frames = info.frames > INT_MAX ? INT_MAX : (int)info.frames;
    int status = checkRecordingLength(frames, ref->tspLength, syncAddFreq,
                                      syncAddOffset);
    if (status == 0) {
        SYSIMP_LOG(VELKIO_LOG_INFO, "calc_impulse...");
        if (searchOffsetFrom >= 0)
            status = searchInRecording(ref, file.handle, &info, inputWav,
                                       syncAddFreq, outChannelList,
                                       searchOffsetFrom, searchOffsetTo,
                                       &syncAddOffset);
    }
    if (status == 0)
        status = deconvolveRecording(ref, file.handle, &info, inputWav,
                                     syncAddFreq, syncAddOffset, outChannelList,
                                     channelOrigin, output);
    velktool_closeSoundFile(&file);
    if (status == 0)
        SYSIMP_LOG(VELKIO_LOG_INFO, "calc_impulse done.");
    return status;
}

int velktool_calcSysImp(int tspOrgType, const char *tspOrigWav,
                        int tspOrigChannel, int signalMax, int samplingRate,
                        int tspLength, int syncAddFreq, int syncAddOffset,
                        int searchOffsetFrom, int searchOffsetTo,
                        const char *outChannelList, int channelOrigin,
                        const char *inputWav, const char *outputPath)
{
    velktool_logSysImpSummary(tspOrgType, tspOrigWav, tspOrigChannel,
                              signalMax, samplingRate, tspLength, syncAddFreq,
                              syncAddOffset, searchOffsetFrom, searchOffsetTo,
                              outChannelList, channelOrigin, inputWav,
                              outputPath);
    if (searchOffsetFrom >= 0 && allChannelsFlagged(outChannelList))
        SYSIMP_LOG(VELKIO_LOG_ERROR,
                   "searchOffset needs outChannels for calculation.");
    if (velktool_checkTspParameters(tspLength, syncAddFreq, syncAddOffset) != 0)
        return 1;
    velktool_TspReference ref{};
    if (velktool_readTspReference(tspOrgType, tspOrigWav, tspOrigChannel,
                                  signalMax, samplingRate, tspLength, &ref) != 0)
        return 1;
    int status = velktool_deconvolveTsp(&ref, syncAddFreq, syncAddOffset,
                                        searchOffsetFrom, searchOffsetTo,
                                        outChannelList, channelOrigin,
                                        inputWav, {outputPath, AT_FDCWD});
    velktool_freeTspReference(&ref);
    return status;
}

int corr_on_fft(const double *recording, const double *reference,
                int referenceLength, int searchFrom, int searchTo)
{
    long long window = (long long)searchTo - searchFrom;
    long long longest = window > referenceLength ? window : referenceLength;
    if (recording == nullptr || reference == nullptr || searchFrom < 0 ||
        longest < 1)
        return 0;
    // The largest power of two not above the longer of window and reference.
    int n = 1;
    while ((long long)n * 2 <= longest && n < (1 << 30))
        n *= 2;

    Buffer<velktool_ComplexDouble> s(n), u(n);
    Buffer<double> m(n);
    if (s.get() == nullptr || u.get() == nullptr || m.get() == nullptr) {
        fprintf(stderr, "Can't_allocate_memory.\n");
        return 0;
    }
    for (int i = 0; i < n; i++) {
        s[i] = i < window ? recording[searchFrom + i] : 0.0;
        u[i] = i < referenceLength ? reference[i] : 0.0;
    }
    velktool_FFTImpl_dFFT(s.get(), s.get(), n);
    velktool_FFTImpl_dFFT(u.get(), u.get(), n);
    for (int k = 0; k < n; k++)
        s[k] *= std::conj(u[k]);
    velktool_FFTImpl_dFFTInv(s.get(), s.get(), n);
    for (int j = 0; j < n; j++)
        m[j] = std::abs(s[j]);

    // Positions where the running maximum rose, newest first.
    int history[PEAK_HISTORY] = {0};
    double runningMax = 0.0;
    int pick = 0;
    for (int j = 0; j < n; j++) {
        if (m[j] > runningMax) {
            runningMax = m[j];
            pick = j;
            memmove(history + 1, history, (PEAK_HISTORY - 1) * sizeof history[0]);
            history[0] = j;
        }
    }
    for (int e = 0; e < PEAK_HISTORY; e++) {
        int at = history[e];
        if (at < pick - EARLIER_PEAK_DISTANCE && m[at] > 0.5 * m[pick])
            pick = at;
        if (at == 0)
            return 0;   // the maximum rose fewer than ten times: unreliable
    }
    long long start = (long long)pick + searchFrom;
    if (start - START_MARGIN > INT_MAX)
        return 0;
    printf("searched offset = %lld\n", start);
    printf("suggest start offset = %lld\n", start - START_MARGIN);
    return (int)(start - START_MARGIN);
}

void CalcHammingWindow(double *window, int n)
{
    if (n == 1) {
        window[0] = 1.0;
        return;
    }
    for (int i = 0; i < n; i++)
        window[i] = 0.54 - 0.46 * cos(i * 6.283185307179586 / (n - 1));
}

int velktool_deconvolvePeriod(const velktool_TspReference *ref,
                              const double *average, double *ir)
{
    const int n = ref->tspLength;
    std::vector<velktool_ComplexDouble> spectrum, signal;
    try {
        spectrum.resize((size_t)n);
        signal.resize((size_t)n);
    } catch (const std::bad_alloc &) {
        SYSIMP_LOG(VELKIO_LOG_ERROR, "can not allocated memory");
        return 1;
    }
    velktool_FFTImpl_dRealFFT(average, spectrum.data(), n);
    multiplySpectra(spectrum.data(), ref->inverse, n);
    velktool_FFTImpl_dFFTInv(spectrum.data(), signal.data(), n);
    const double invN = 1.0 / n;
    for (int i = 0; i < n; i++)
        ir[i] = signal[(size_t)i].real() * invN;
    return 0;
}
