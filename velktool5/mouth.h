/*
 * Mouth-TSP estimation: impulse responses from one multichannel recording
 * of a TSP played through a mouth loudspeaker.  One channel (the voice
 * input) carries the emitted TSP; for every requested output channel the
 * transfer function from the voice input is estimated frame by frame in
 * the frequency domain (summed cross spectrum over summed voice power) and
 * written back in the time domain as a raw float file.
 */
#ifndef VELKTOOL5_MOUTH_H
#define VELKTOOL5_MOUTH_H

#include "velktool.h"

/* Impulse responses of the channels flagged in outputChannels (64 flags)
 * of the WAV file inFile, estimated from the segment s .. e-1 of the
 * voice input mch with FFT length nfft (a power of two), frame shift hop
 * and the output channels analysed headmargin samples earlier.  The j-th
 * flagged channel (ascending) goes to "<output.path>_ch<j>.flt" (as
 * velktool_FltOutput says), fltlen samples.  enable_wn and wn_level are recorded in the parameter log only.
 * The recording is read once, block by block, and the frames are summed
 * as they come in: the memory used grows with nfft and the number of
 * channels, not with the recording or the number of frames.
 * Returns 0, or 1 after a level-0 message (files written before a failure
 * stay; a refused input writes none). */
int velktool_mouthTspFD(const char *inFile, velktool_FltOutput output, int s, int e,
                        int mch, const char *outputChannels, int fltlen,
                        int nfft, int hop, int headmargin, bool enable_wn,
                        double wn_level, int samplingrate);

/* The checks of a recording of `frames` frames, `channels` channels and
 * sampling rate fileRate against the estimator's parameters, as
 * velktool_mouthTspFD makes them once it has read the file: segment end,
 * voice-input channel and sampling rate (every failure reported, in that
 * order), then the output channels, then the frames of both the voice
 * input and the output channels lying inside the recording.  0 when the
 * recording fits, else 1 after level-0 messages. */
int velktool_mouthCheckRecording(const char *inFile, long long frames,
                                 int channels, int fileRate, int s, int e,
                                 int mch, const char *outputChannels,
                                 int nfft, int hop, int headmargin,
                                 int samplingrate);

#endif /* VELKTOOL5_MOUTH_H */
