/*
 * velktoolcli-zip2coord: the transfer functions of an archive as a CSV
 * table of points for plotting.
 *
 * One line "id , mic , x , y , z" per source position, microphone channel
 * and frequency bin (x in Hz) or, after an inverse FFT, time sample (x in
 * seconds).  y separates the positions (0.2 per position index); z is the
 * amplitude, 10*log10 of the amplitude, the phase in degrees or the real
 * time signal.  The per-position sample offsets that the generators record
 * in source.xml (calcTF annotations) remove the linear phase of the offset
 * from the phase, or shift the time axis of the inverse FFT.
 *
 * The table is written only when everything it needs has been computed; a
 * file that could not be written completely is removed again.
 */
#ifndef VELK_ZIP2COORD_H
#define VELK_ZIP2COORD_H

#include <popt.h>

#include "options.h"
#include "velkio.h"

/* Z kinds of calcZValue. */
enum {
    Z2C_Z_REAL = 1,
    Z2C_Z_AMPLITUDE = 2,
    Z2C_Z_DECIBEL = 3,
    Z2C_Z_PHASE = 4
};

/* TF kinds. */
enum { Z2C_TF_LOC = 0, Z2C_TF_SEP = 1 };

/* Writes the table of the selected kind to `outPath` (null: standard
 * output).  0 on success, 1 on failure (logged; no file left behind). */
int writeCoordinateFromTF(const char *outPath, int zCode, const velkio_TransferFunction *tf,
                          int tfType, int ifft);

/* Writes the table of spectra: for position i of `positions` (one matrix
 * each), each channel and each column k < cols, x = k * xStep + xOffsets[i]
 * and y = i * yStep; the value is first multiplied by
 * e^(-i * phaseOffsets[i] * k).  Either offset array may be null (no
 * offsets).  The channel list is that of the first position when it
 * carries one, else 0 .. rows-1.  0 on success, 1 on failure. */
int writeCoordinateInternal(const char *outPath, int zCode, velkio_Matrix *const *matrices,
                            const velkio_Positions *positions, int rows, int cols,
                            float xStep, float yStep, const float *xOffsets,
                            const float *phaseOffsets);

/* The z value of one complex value; an unknown code logs
 * "z_unit error [%d]" and gives NaN. */
float calcZValue(int zCode, float re, float im);

/* Fills offsets[i] with the calcTF offset (in samples) of source position i
 * for the kind, 0 where there is none.  0 on success, 1 on failure. */
int getOffset(int tfType, const velkio_TransferFunction *tf, float *offsets);

/* result[p] row m := the unscaled inverse real FFT (length nfft) of row m
 * of tf[p] (bins 0 .. nfft/2), as complex values with imaginary part 0.
 * 0 on success, 1 when a matrix is too small or nfft is not a power of two
 * of at least 4. */
int calcIFFTMatrixData(velkio_Matrix *const *tf, velkio_Matrix **result, int nPositions,
                       int nMic, int nfft);

/* The usage printer: prints the usage and ends the process with `status`,
 * unless an option has already been parsed. */
void help(poptContext ctx, int status);

/* The command line of the program (its option table), and the program:
 * returns its exit status. */
extern const velkopt_Program zip2coord_commandLine;
int zip2coord_main(int argc, const char **argv);

#endif /* VELK_ZIP2COORD_H */
