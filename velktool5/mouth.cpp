// Mouth-TSP estimation.  The recording holds the emitted TSP on the voice
// input channel and its responses on the microphone channels; the transfer
// function from the voice input to a channel is the ratio of the summed
// cross spectrum to the summed voice power over Hamming-windowed frames,
// and its inverse transform is the channel's impulse response.
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

// A channel with a sample that is not a finite number would spread it over
// the whole estimate.
int checkFinite(const char *inFile, const double *x, long long frames,
                int channel)
{
    for (long long i = 0; i < frames; i++) {
        if (!std::isfinite(x[i])) {
            VELKIO_LOG(VELKIO_LOG_ERROR,
                       "mouth TSP: wav channel [%d] of [%s] holds a sample "
                       "that is not a finite number (frame %lld)",
                       channel, inFile, i);
            return 1;
        }
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

// Spectra (bins 0 .. nfft/2) of the windowed frames of x that start at
// start + t * hop, t = 0 .. frames-1, into spectrum[t].
void frameSpectra(const double *x, long long start, int frames, int hop,
                  const std::vector<double> &w, Cd **spectrum)
{
    int n = (int)w.size();
    std::vector<double> buffer((size_t)n);
    for (int t = 0; t < frames; t++) {
        const double *frame = x + start + (long long)t * hop;
        for (int i = 0; i < n; i++)
            buffer[i] = w[i] * frame[i];
        velktool_FFTImpl_dRealFFTHalf(buffer.data(), spectrum[t], n);
    }
}

// H[k] = sum_t Y[t][k] conj(X[t][k]) / sum_t |X[t][k]|^2 for k = 0 .. n/2,
// and the conjugates above n/2, so that H is the spectrum of a real
// response.  A bin without voice power gets 0; the number of such bins is
// returned.
int estimateSpectrum(Cd **X, Cd **Y, int frames, int n, std::vector<Cd> &H)
{
    int empty = 0;
    for (int k = 0; k <= n / 2; k++) {
        double pxx = 0;
        Cd pyx = 0;
        for (int t = 0; t < frames; t++) {
            pxx += (X[t][k] * std::conj(X[t][k])).real();
            pyx += Y[t][k] * std::conj(X[t][k]);
        }
        double scale = 1.0 / pxx;
        if (pxx == 0 || !std::isfinite(scale)) {
            H[k] = 0;
            empty++;
        } else {
            H[k] = Cd(pyx.real() * scale, pyx.imag() * scale);
        }
    }
    for (int k = n / 2 + 1; k < n; k++)
        H[k] = std::conj(H[n - k]);
    return empty;
}

// Writes values[0 .. count-1] as 32-bit floats.
int writeResponse(const char *name, const std::vector<float> &values,
                  int count)
{
    FILE *fp = fopen(name, "wb");
    if (fp == nullptr) {
        velkio_Log_FileOpenFailed(name);
        return 1;
    }
    size_t written = fwrite(values.data(), sizeof(float), (size_t)count, fp);
    if (fclose(fp) != 0 || written != (size_t)count) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "write error on [%s]", name);
        return 1;
    }
    return 0;
}

// The impulse response of one output channel into its file.
int estimateChannel(const char *inFile, const char *outFile, int j, int c,
                    const double *x, long long start, int frames, int hop,
                    const std::vector<double> &w, Cd **X, int fltlen)
{
    int n = (int)w.size();
    Cd **Y = velktool_newComplexDoubleTwoDim(frames, n / 2 + 1);
    frameSpectra(x, start, frames, hop, w, Y);
    std::vector<Cd> H((size_t)n);
    int empty = estimateSpectrum(X, Y, frames, n, H);
    velktool_freeComplexDoubleTwoDim(Y);
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
    if (snprintf(name, sizeof name, "%s_ch%d.flt", outFile, j) >=
        (int)sizeof name) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "output path too long [%s]", outFile);
        return 1;
    }
    return writeResponse(name, out, fltlen);
}

// Every recorded channel the estimate reads must hold finite samples.
int checkChannelsFinite(const char *inFile, double **data, long long frames,
                        int mch, const std::vector<int> &channels)
{
    if (checkFinite(inFile, data[mch], frames, mch) != 0)
        return 1;
    for (int c : channels)
        if (checkFinite(inFile, data[c], frames, c) != 0)
            return 1;
    return 0;
}

// Reads all frames and channels of inFile as doubles.
int readRecording(const char *inFile, double ***data, SF_INFO *info)
{
    memset(info, 0, sizeof *info);
    SNDFILE *file = sf_open(inFile, SFM_READ, info);
    if (file == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "wavefile(%s) is not found.", inFile);
        return 1;
    }
    int result = readwave(file, info, info->frames, data);
    sf_close(file);
    if (result != 1) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "wavefile(%s) is not found.", inFile);
        return 1;
    }
    return 0;
}

// The estimate of every flagged channel, from a recording that passed the
// checks.
int estimateAll(const char *inFile, const char *outFile, double **data,
                int s, int e, int mch, const std::vector<int> &channels,
                int fltlen, int nfft, int hop, int headmargin)
{
    int frames = frameCount(s, e, nfft, hop);
    VELKIO_LOG(VELKIO_LOG_DEBUG, "mouth TSP frames=%d (segment %d .. %d)",
               frames, s, e);
    std::vector<double> w = hammingWindow(nfft);
    Cd **X = velktool_newComplexDoubleTwoDim(frames, nfft / 2 + 1);
    frameSpectra(data[mch], s, frames, hop, w, X);
    int result = 0;
    for (size_t j = 0; j < channels.size() && result == 0; j++)
        result = estimateChannel(inFile, outFile, (int)j, channels[j],
                                 data[channels[j]], (long long)s - headmargin,
                                 frames, hop, w, X, fltlen);
    velktool_freeComplexDoubleTwoDim(X);
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
            return 1;
        }
    }
    if (checkSegment(s, e, nfft, hop) != 0)
        return 1;
    return checkFrameExtent(inFile, frames, s, e, nfft, hop, headmargin);
}

int velktool_mouthTspFD(const char *inFile, const char *outFile, int s, int e,
                        int mch, const char *outputChannels, int fltlen,
                        int nfft, int hop, int headmargin, bool enable_wn,
                        double wn_level, int samplingrate)
{
    logParameters(inFile, outFile, s, e, mch, outputChannels, fltlen, nfft,
                  hop, headmargin, enable_wn, wn_level, samplingrate);
    if (checkSegment(s, e, nfft, hop) != 0)
        return 1;
    if (fltlen < 0 || fltlen > nfft) {
        VELKIO_LOG(VELKIO_LOG_ERROR,
                   "mouth TSP: %d samples to write, but the FFT length is %d",
                   fltlen, nfft);
        return 1;
    }

    double **data = nullptr;
    SF_INFO info;
    if (readRecording(inFile, &data, &info) != 0)
        return 1;
    std::vector<int> channels = flaggedChannels(outputChannels);
    int result = velktool_mouthCheckRecording(
        inFile, info.frames, info.channels, info.samplerate, s, e, mch,
        outputChannels, nfft, hop, headmargin, samplingrate);
    if (result == 0)
        result = checkChannelsFinite(inFile, data, info.frames, mch, channels);
    if (result == 0 && !channels.empty())
        result = estimateAll(inFile, outFile, data, s, e, mch, channels,
                             fltlen, nfft, hop, headmargin);
    velktool_freeWaveData(data);
    return result;
}
