/*
 * velktoolcli-tfexport: the transfer functions of one kind of an archive,
 * with their positions, as one file for other software: a SOFA file of
 * the GeneralTF convention, one MAT-file, or a NumPy .npz file.
 *
 * The three formats hold the same values (docs/formats.md): the transfer
 * function from every source position to every microphone channel the
 * archive's matrices have rows for, over the bins 0 .. nfft/2, as the
 * forward FFT (sign e^(-2 pi i k t / nfft)) of an impulse-response window;
 * the separation kind is stored conjugated in the archive and exported
 * conjugated back.  Positions are Cartesian, in metres.
 */
#ifndef VELK_TFEXPORT_H
#define VELK_TFEXPORT_H

#include <string>
#include <vector>

#include "options.h"
#include "velkio.h"

enum { TFEXPORT_LOC = 0, TFEXPORT_SEP = 1 };
enum { TFEXPORT_SOFA = 0, TFEXPORT_MAT = 1, TFEXPORT_NPZ = 2 };

/* What every format holds. */
struct tfexport_Set {
    int kind = TFEXPORT_LOC;
    int nfft = 0;
    int samplingRate = 0;
    size_t sources = 0, mics = 0, bins = 0;
    std::vector<int> sourceIds;           /* archive list order */
    std::vector<int> micIds;              /* channel numbers, TF row order */
    std::vector<double> sourcePositions;  /* sources x 3, x y z in metres */
    std::vector<double> micPositions;     /* mics x 3 */
    std::vector<double> frequencies;      /* bins, k * rate / nfft in hertz */
    std::vector<velkio_Complex> values;   /* sources x mics x bins, last fastest */
    std::string title;                    /* the configuration's comment, or "" */
};

/* The keyword values of --format and --kind; -1 for anything else. */
int tfexport_parseFormat(const char *text);
int tfexport_parseKind(const char *text);

/* Loads the archive (labelled "transfer function") and takes the
 * transfer functions of `kind` out of it.  0, or 1 with a level-0 message
 * (unreadable archive, kind absent, no sampling rate, a TF row without a
 * microphone position). */
int tfexport_load(const char *archive, int kind, tfexport_Set *set);

/* The file of one format as bytes; 0, or 1 with a level-0 message. */
int tfexport_encodeSofa(const tfexport_Set &set, std::vector<unsigned char> *out);
int tfexport_encodeMat(const tfexport_Set &set, std::vector<unsigned char> *out);
int tfexport_encodeNpz(const tfexport_Set &set, std::vector<unsigned char> *out);

/* The whole program on its command line; the exit status (0 or 1). */
int tfexport_main(int argc, const char **argv);

/* The command line of the program (its option table). */
extern const velkopt_Program tfexport_commandLine;

#endif /* VELK_TFEXPORT_H */
