// Mouth-TSP estimation.  The recording holds the emitted TSP on the voice
// input channel and its responses on the microphone channels; the transfer
// function from the voice input to a channel is the ratio of the summed
// cross spectrum to the summed voice power over Hamming-windowed frames,
// and its inverse transform is the channel's impulse response.
#include <cerrno>
#include <climits>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <sndfile.h>

#include "fft.h"
#include "mouth.h"
#include "textutil.h"
#include "velktool.h"

namespace {

typedef std::complex<double> Cd;

const double twoPi = 6.283185307179586;

// The flagged channels of a 64-flag table, ascending: the place of a
// channel in this list is the number in its file name.
std::vector<int> flaggedChannels(const char *flags)
{
    std::vector<int> list;
    for (int c = 0; c < VELKTOOL_MAX_CHANNELS; c++)
        if (flags != nullptr && flags[c])
            list.push_back(c);
    return list;
}

void logParameters(const char *inFile, const char *outFile, int s, int e,
                   int mch, const char *outputChannels, int fltlen, int nfft,
                   int hop, int headmargin, bool enable_wn, double wn_level,
                   int samplingrate)
{
    char *text = nullptr;
    cat_asprintf(&text, "\nvelktool_mouthTspFD   inFile         [%s]\n", inFile);
    cat_asprintf(&text, "                    , outFile        [%s]\n", outFile);
    cat_asprintf(&text, "                    , s              [%d]\n", s);
    cat_asprintf(&text, "                    , e              [%d]\n", e);
    cat_asprintf(&text, "                    , mch            [%d]\n", mch);
    cat_asprintf(&text, "                    , outputChannels [");
    const char *separator = "";
    for (int c : flaggedChannels(outputChannels)) {
        cat_asprintf(&text, "%s%d", separator, c);
        separator = ",";
    }
    cat_asprintf(&text, "]\n");
    cat_asprintf(&text, "                    , fltlen         [%d]\n", fltlen);
    cat_asprintf(&text, "                    , nfft           [%d]\n", nfft);
    cat_asprintf(&text, "                    , hop            [%d]\n", hop);
    cat_asprintf(&text, "                    , headmargin     [%d]\n", headmargin);
    cat_asprintf(&text, "                    , enable_wn      [%s]\n",
                 enable_wn ? "on" : "off");
    cat_asprintf(&text, "                    , wn_level       [%lf]\n", wn_level);
    cat_asprintf(&text, "                    , samplingrate   [%d]\n", samplingrate);
    VELKIO_LOG(VELKIO_LOG_INFO, "%s", text != nullptr ? text : "");
    free(text);
}

// The segment s .. e-1 must hold at least one frame of a power-of-two
// length, shifted by at least one sample.
int checkSegment(int s, int e, int nfft, int hop)
{
    if (!velk_isFftLength(nfft, 2)) {
        VELKIO_LOG(VELKIO_LOG_ERROR,
                   "mouth TSP: FFT length [%d] is not a power of two of at "
                   "least 2",
                   nfft);
        return 1;
    }
    if (hop < 1) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "mouth TSP: frame shift [%d] is below 1",
                   hop);
        return 1;
    }
    if ((long long)e - s < nfft) {
        VELKIO_LOG(VELKIO_LOG_ERROR,
                   "mouth TSP: segment %d .. %d is shorter than one frame of "
                   "%d samples",
                   s, e, nfft);
        return 1;
    }
    return 0;
}

// Number of frames of the segment s .. e-1 (checkSegment passed).
int frameCount(int s, int e, int nfft, int hop)
{
    return (int)(((long long)e - s - nfft) / hop + 1);
}

// Segment end, voice-input channel and sampling rate; every failure is
// reported.
int checkSegmentChannelRate(const char *inFile, long long frames,
                            int channels, int fileRate, int e, int mch,
                            int samplingrate)
{
    int failed = 0;
    if (e > frames) {
        VELKIO_LOG(VELKIO_LOG_ERROR,
                   "Wav(%s) frames(%d) is less than end of sample (%d)",
                   inFile, (int)(frames > INT_MAX ? INT_MAX : frames), e);
        failed = 1;
    }
    if (mch < 0 || mch >= channels) {
        VELKIO_LOG(VELKIO_LOG_ERROR,
                   "mouth TSP data not found: wav channel [%d] in file [%s]",
                   mch, inFile);
        VELKIO_LOG(VELKIO_LOG_ERROR, "[%s] holds %d channels", inFile, channels);
        failed = 1;
    }
    if (samplingrate != fileRate) {
        VELKIO_LOG(VELKIO_LOG_ERROR,
                   "Config SamplingRate (%d) differ from Wav(%s) SamplingRate (%d)",
                   samplingrate, inFile, fileRate);
        failed = 1;
    }
    return failed;
}

// The frames of the voice input start at s, those of the output channels
// headmargin samples earlier; all of them must lie inside the recording.
int checkFrameExtent(const char *inFile, long long frames, int s, int e,
                     int nfft, int hop, int headmargin)
{
    long long voiceStart = s;
    long long outputStart = (long long)s - headmargin;
    long long first = voiceStart < outputStart ? voiceStart : outputStart;
    long long last = (voiceStart > outputStart ? voiceStart : outputStart) +
                     (long long)(frameCount(s, e, nfft, hop) - 1) * hop + nfft;
    if (first < 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR,
                   "mouth TSP: frames of [%s] would start at sample %lld, "
                   "before the recording (start %d, head margin %d)",
                   inFile, first, s, headmargin);
        return 1;
    }
    if (last > frames) {
        VELKIO_LOG(VELKIO_LOG_ERROR,
                   "mouth TSP: frames of [%s] would reach sample %lld, beyond "
                   "its %lld frames (end %d, head margin %d)",
                   inFile, last, frames, e, headmargin);
        return 1;
    }
    return 0;
}

// Symmetric Hamming window of n points (n >= 2): 0.08 at both ends.
std::vector<double> hammingWindow(int n)
{
    std::vector<double> w((size_t)n);
    for (int i = 0; i < n; i++)
        w[i] = 0.54 - 0.46 * cos(i * (twoPi / (n - 1)));
    return w;
}

// Frames of the recording read per library call, at most READ_SAMPLES
// samples of all channels together.
const long long READ_FRAMES = 4096;
const long long READ_SAMPLES = 65536;

// The frames of one estimate: frame t (t = 0 .. count-1) of the voice
// input starts at sample s + t * hop, that of the output channels
// headmargin samples earlier.  Seen together, frame t covers `span` samples
// from `first` + t * hop on; the voice frame starts voiceLag samples into
// them, the output frames outputLag samples.
struct FramePlan {
    int count;
    int hop;
    long long first;
    long long span;
    long long voiceLag;
    long long outputLag;
};

FramePlan framePlan(int s, int e, int nfft, int hop, int headmargin)
{
    long long voiceStart = s, outputStart = (long long)s - headmargin;
    long long first = voiceStart < outputStart ? voiceStart : outputStart;
    long long lag = voiceStart > outputStart ? headmargin : -(long long)headmargin;
    return {frameCount(s, e, nfft, hop), hop, first, nfft + lag,
            voiceStart - first, outputStart - first};
}

// The running sums of an estimate over the frames, each formed in frame
// order: per bin k the voice power sum_t |X[t][k]|^2, and per output
// channel j the cross spectrum sum_t Y[t][k] conj(X[t][k]).  The spectra
// of a frame are used as soon as they are computed and never kept, so the
// memory does not grow with the number of frames.
struct FrameSums {
    std::vector<double> pxx;
    Cd **pyx; // [output channel][bin]
};

// Adds frame t: voice and outputs[j] point at the frame's first samples.
// X and Y receive half spectra (bins 0 .. n/2), frame the windowed samples.
void addFrame(const double *voice, const std::vector<const double *> &outputs,
              const std::vector<double> &w, std::vector<Cd> &X,
              std::vector<Cd> &Y, std::vector<double> &frame, FrameSums &sums)
{
    int n = (int)w.size();
    for (int i = 0; i < n; i++)
        frame[i] = w[i] * voice[i];
    velktool_FFTImpl_dRealFFTHalf(frame.data(), X.data(), n);
    for (int k = 0; k <= n / 2; k++)
        sums.pxx[k] += (X[k] * std::conj(X[k])).real();
    for (size_t j = 0; j < outputs.size(); j++) {
        const double *y = outputs[j];
        for (int i = 0; i < n; i++)
            frame[i] = w[i] * y[i];
        velktool_FFTImpl_dRealFFTHalf(frame.data(), Y.data(), n);
        Cd *pyx = sums.pyx[j];
        for (int k = 0; k <= n / 2; k++)
            pyx[k] += Y[k] * std::conj(X[k]);
    }
}

// The channels the estimate reads, as a stretch of the recording that
// slides with the frames: row r holds channel channel[r] from file frame
// `start` on, `length` samples, up to the next frame to read.  Only what
// the frames still to come need is kept.  Every sample read is checked:
// firstNonFinite[r] is the first frame of row r that is not a finite
// number (-1 for none).
struct Stretch {
    std::vector<int> channel;
    std::vector<std::vector<double>> row;
    std::vector<long long> firstNonFinite;
    long long start = 0;
    long long length = 0;
};

// Row of channel c in the stretch, added when it is not there yet.
size_t rowOf(Stretch &st, int c, size_t capacity)
{
    for (size_t r = 0; r < st.channel.size(); r++)
        if (st.channel[r] == c)
            return r;
    st.channel.push_back(c);
    st.row.emplace_back(capacity);
    st.firstNonFinite.push_back(-1);
    return st.channel.size() - 1;
}

// Drops the samples before file frame `from`.
void dropBefore(Stretch &st, long long from)
{
    long long n = from - st.start;
    if (n <= 0)
        return;
    if (n > st.length)
        n = st.length;
    for (std::vector<double> &row : st.row)
        std::copy(row.begin() + n, row.begin() + st.length, row.begin());
    st.start += n;
    st.length -= n;
}

// Appends `got` interleaved frames of `channels` channels to the rows.
void append(Stretch &st, const double *block, long long got, int channels)
{
    for (size_t r = 0; r < st.row.size(); r++) {
        double *row = st.row[r].data() + st.length;
        const double *x = block + st.channel[r];
        for (long long i = 0; i < got; i++) {
            row[i] = x[i * channels];
            if (st.firstNonFinite[r] < 0 && !std::isfinite(row[i]))
                st.firstNonFinite[r] = st.start + st.length + i;
        }
    }
    st.length += got;
}

// A channel with a sample that is not a finite number would spread it over
// the whole estimate: the voice input is reported first, then the output
// channels in their order.
int checkFinite(const char *inFile, const Stretch &st)
{
    for (size_t r = 0; r < st.channel.size(); r++) {
        if (st.firstNonFinite[r] >= 0) {
            VELKIO_LOG(VELKIO_LOG_ERROR,
                       "mouth TSP: wav channel [%d] of [%s] holds a sample "
                       "that is not a finite number (frame %lld)",
                       st.channel[r], inFile, st.firstNonFinite[r]);
            return 1;
        }
    }
    return 0;
}

// Reads the whole recording once, block by block, and adds every frame to
// the sums as soon as its samples are in.  The recording passed the checks
// of velktool_mouthCheckRecording, so every frame lies inside it.
int sumFrames(SNDFILE *file, const SF_INFO &info, const char *inFile, int mch,
              const std::vector<int> &channels, const FramePlan &plan,
              const std::vector<double> &w, FrameSums &sums)
{
    const int n = (int)w.size();
    long long perRead = READ_SAMPLES / info.channels;
    perRead = perRead < 1 ? 1 : perRead > READ_FRAMES ? READ_FRAMES : perRead;
    const size_t capacity = (size_t)(plan.span + perRead);
    Stretch st;
    size_t voiceRow = rowOf(st, mch, capacity);
    std::vector<size_t> outputRow;
    for (int c : channels)
        outputRow.push_back(rowOf(st, c, capacity));
    std::vector<double> block((size_t)(perRead * info.channels));
    std::vector<Cd> X((size_t)n / 2 + 1), Y((size_t)n / 2 + 1);
    std::vector<double> frame((size_t)n);
    std::vector<const double *> outputs(channels.size());

    int t = 0;
    for (long long next = 0; next < info.frames;) {
        dropBefore(st, t < plan.count ? plan.first + (long long)t * plan.hop : next);
        long long want = (long long)capacity - st.length;
        if (want > perRead)
            want = perRead;
        if (want > info.frames - next)
            want = info.frames - next;
        sf_count_t got = sf_readf_double(file, block.data(), want);
        if (got <= 0) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "wavefile(%s) is not found.", inFile);
            return 1;
        }
        append(st, block.data(), got, info.channels);
        next += got;
        for (; t < plan.count && plan.first + (long long)t * plan.hop + plan.span <= next; t++) {
            const long long at = plan.first + (long long)t * plan.hop - st.start;
            for (size_t j = 0; j < channels.size(); j++)
                outputs[j] = st.row[outputRow[j]].data() + at + plan.outputLag;
            addFrame(st.row[voiceRow].data() + at + plan.voiceLag, outputs, w, X,
                     Y, frame, sums);
        }
    }
    return checkFinite(inFile, st);
}

// H[k] = pyx[k] / pxx[k] for k = 0 .. n/2, and the conjugates above n/2,
// so that H is the spectrum of a real response.  A bin without voice power
// gets 0; the number of such bins is returned.
int estimateSpectrum(const std::vector<double> &pxx, const Cd *pyx, int n,
                     std::vector<Cd> &H)
{
    int empty = 0;
    for (int k = 0; k <= n / 2; k++) {
        double scale = 1.0 / pxx[k];
        if (pxx[k] == 0 || !std::isfinite(scale)) {
            H[k] = 0;
            empty++;
        } else {
            H[k] = Cd(pyx[k].real() * scale, pyx[k].imag() * scale);
        }
    }
    for (int k = n / 2 + 1; k < n; k++)
        H[k] = std::conj(H[n - k]);
    return empty;
}

// Writes values[0 .. count-1] as 32-bit floats.
int writeResponse(velktool_FltOutput output, const char *name,
                  const std::vector<float> &values, int count)
{
    if (velktool_writeFlt(output, name, values.data(), count) != 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "write error on [%s]: %s", name, strerror(errno));
        return 1;
    }
    return 0;
}

// The impulse response of output channel j (WAV channel c) into its file.
int writeChannel(const char *inFile, velktool_FltOutput output, int j, int c,
                 const FrameSums &sums, int n, int fltlen)
{
    std::vector<Cd> H((size_t)n);
    int empty = estimateSpectrum(sums.pxx, sums.pyx[j], n, H);
    if (empty > 0)
        VELKIO_LOG(VELKIO_LOG_WARNING,
                   "mouth TSP: %d of %d frequency bins of wav channel [%d] in "
                   "[%s] have no voice-input power; their estimate is 0",
                   empty, n / 2 + 1, c, inFile);

    velktool_FFTImpl_dFFTInv(H.data(), H.data(), n);
    std::vector<float> out((size_t)n);
    for (int i = 0; i < n; i++)
        out[i] = (float)(H[i].real() / n);

    char name[VELKTOOL_PATH_LEN + 32];
    if (snprintf(name, sizeof name, "%s_ch%d.flt", output.path, j) >=
        (int)sizeof name) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "output path too long [%s]", output.path);
        return 1;
    }
    return writeResponse(output, name, out, fltlen);
}

// The estimate of every flagged channel, from a recording that passed the
// checks; nothing is written unless the whole recording reads and holds
// finite samples in the channels used.
int estimateAll(SNDFILE *file, const SF_INFO &info, const char *inFile,
                velktool_FltOutput output, int s, int e, int mch,
                const std::vector<int> &channels, int fltlen, int nfft, int hop,
                int headmargin)
{
    FramePlan plan = framePlan(s, e, nfft, hop, headmargin);
    VELKIO_LOG(VELKIO_LOG_DEBUG, "mouth TSP frames=%d (segment %d .. %d)",
               plan.count, s, e);
    std::vector<double> w = hammingWindow(nfft);
    FrameSums sums = {std::vector<double>((size_t)(nfft / 2 + 1), 0.0),
                      velktool_newComplexDoubleTwoDim((int)channels.size(),
                                                      nfft / 2 + 1)};
    int result = sumFrames(file, info, inFile, mch, channels, plan, w, sums);
    for (size_t j = 0; j < channels.size() && result == 0; j++)
        result = writeChannel(inFile, output, (int)j, channels[j], sums, nfft,
                              fltlen);
    velktool_freeComplexDoubleTwoDim(sums.pyx);
    return result;
}

} // namespace

int velktool_mouthCheckRecording(const char *inFile, long long frames,
                                 int channels, int fileRate, int s, int e,
                                 int mch, const char *outputChannels,
                                 int nfft, int hop, int headmargin,
                                 int samplingrate)
{
    if (checkSegmentChannelRate(inFile, frames, channels, fileRate, e, mch,
                                samplingrate) != 0)
        return 1;
    for (int c : flaggedChannels(outputChannels)) {
        if (c >= channels) {
            VELKIO_LOG(VELKIO_LOG_ERROR,
                       "mouth TSP data not found: wav channel [%d] in file [%s]",
                       c, inFile);
            VELKIO_LOG(VELKIO_LOG_ERROR, "[%s] holds %d channels", inFile,
                       channels);
            return 1;
        }
    }
    if (checkSegment(s, e, nfft, hop) != 0)
        return 1;
    return checkFrameExtent(inFile, frames, s, e, nfft, hop, headmargin);
}

int velktool_mouthTspFD(const char *inFile, velktool_FltOutput output, int s, int e,
                        int mch, const char *outputChannels, int fltlen,
                        int nfft, int hop, int headmargin, bool enable_wn,
                        double wn_level, int samplingrate)
{
    logParameters(inFile, output.path, s, e, mch, outputChannels, fltlen, nfft,
                  hop, headmargin, enable_wn, wn_level, samplingrate);
    if (checkSegment(s, e, nfft, hop) != 0)
        return 1;
    if (fltlen < 0 || fltlen > nfft) {
        VELKIO_LOG(VELKIO_LOG_ERROR,
                   "mouth TSP: %d samples to write, but the FFT length is %d",
                   fltlen, nfft);
        return 1;
    }

    SF_INFO info;
    memset(&info, 0, sizeof info);
    velktool_SoundFile file;
    if (velktool_openSoundFile(inFile, &info, &file) != 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "wavefile(%s) is not found.", inFile);
        return 1;
    }
    std::vector<int> channels = flaggedChannels(outputChannels);
    int result = velktool_mouthCheckRecording(
        inFile, info.frames, info.channels, info.samplerate, s, e, mch,
        outputChannels, nfft, hop, headmargin, samplingrate);
    if (result == 0)
        result = estimateAll(file.handle, info, inFile, output, s, e, mch,
                             channels, fltlen, nfft, hop, headmargin);
    velktool_closeSoundFile(&file);
    return result;
}
