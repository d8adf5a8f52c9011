/*
 * velkio: the audio-data library of the velk suite.
 *
 * XML documents (position lists, configuration, neighbour lists), complex
 * matrices, transfer-function archives (zip files holding MAT-file members),
 * legacy binary readers and the logger.  Plain C-style interface: records
 * are created by the library's calls and released by its delete calls,
 * which take the address of the owning pointer and null it.
 *
 * Ownership rules that callers rely on:
 *  - Every string and every channel list hanging on a record is allocated
 *    with malloc and released with free by the record's delete call.  A
 *    caller that stores its own list into a record (for example
 *    Position.channels) must allocate it with malloc and hands it over.
 *  - A record passed to a "new from", "from data" or "set" call belongs to
 *    the receiving record afterwards (the receiver frees any record it held
 *    before).  The one exception is Neighbors.positions, a reference that is
 *    never owned.
 *  - Matrix vectors given to velkio_TransferFunction_setLocTFs/SepTFs are
 *    malloc'd vectors of malloc'd matrices; the transfer-function record owns
 *    vector and matrices afterwards.
 *
 * The XML layout, the archive layout and the MAT-file members are described
 * in docs/formats.md.
 */
#ifndef VELKIO_H
#define VELKIO_H

#include <complex>
#include <cstdio>

struct zip;

/* ------------------------------------------------------------------ */
/* Logger                                                              */
/* ------------------------------------------------------------------ */

enum {
    VELKIO_LOG_SET_LEVEL = -1, /* with format "": threshold := third argument */
    VELKIO_LOG_ERROR = 0,
    VELKIO_LOG_WARNING = 1,
    VELKIO_LOG_INFO = 2,
    VELKIO_LOG_DEBUG = 3,
    VELKIO_LOG_TRACE = 4 /* function entry, "@ %s" */
};

/* Writes one line to standard error when level <= the threshold (0 at
 * start): "[E] function(line): message".  The message is the format filled
 * with the arguments that follow `line`.  Level -1 with an empty format
 * sets the threshold to `arg` instead. */
void velkio_Log_printf_(int level, const char *format, int arg,
                        const char *function, int line, ...)
    __attribute__((format(printf, 2, 6)));

/* The current threshold (0 error .. 4 trace). */
int velkio_Log_getLevel(void);

/* Level-0 message naming the path and the system's reason (errno). */
void velkio_Log_FileOpenFailed(const char *path);

/* Shorthand: a message logged under the calling function and line. */
#define VELKIO_LOG(level, fmt, ...) \
    velkio_Log_printf_((level), (fmt), 0, __func__, __LINE__, ##__VA_ARGS__)

/* ------------------------------------------------------------------ */
/* Input files                                                         */
/* ------------------------------------------------------------------ */

/* Opens `path` for reading when it names a regular file: one open that
 * never waits (a FIFO without a writer), checked with fstat on the same
 * descriptor.  Returns the descriptor (blocking, close-on-exec), or -1
 * with errno set; a path that exists but is not a regular file (FIFO,
 * device, directory, socket) is also reported at level 0 as
 * "[path] is not a regular file" (errno EINVAL; callers report other
 * failures themselves). */
int velkio_File_openRegular(const char *path);
/* The same as a stdio stream opened "rb"; null with errno set. */
FILE *velkio_File_fopenRegular(const char *path);

/* ------------------------------------------------------------------ */
/* Output files                                                        */
/* ------------------------------------------------------------------ */

/* Every file the programs write is complete or absent: it is written to a
 * temporary file beside its target ("<name>.tmp.XXXXXX" in the same
 * directory, created exclusively, never through a symbolic link) that is
 * renamed onto the target only once all of it was written and closed
 * without error.  A failure, an exit or SIGINT, SIGTERM or SIGHUP before
 * that removes the temporary file and leaves an existing target as it was
 * (the signal then ends the process as it would have).  A target that is
 * a symbolic link to a regular file is replaced where the link leads; the
 * new file gets the permission bits (and, where the user may, the owner)
 * of the file it replaces, or 0666 less the umask.  Standard output is not
 * an output file: programs write to it directly. */
typedef struct velkio_Output velkio_Output;

/* The check a program makes on every output path before any work: 1 when
 * the path exists and is not a regular file (a device, FIFO, socket or
 * directory, or a symbolic link that does not lead to a regular file),
 * logged at level 0 as "output file [path] is not a regular file"; else 0
 * (a missing path, or one that cannot be looked at, is left to
 * velkio_Output_open). */
int velkio_Output_check(const char *path);

/* Opens an output for `path`: checks the target again as
 * velkio_Output_check does, refuses an existing file the user may not
 * write, and creates the temporary file.  Null with errno set on failure
 * (EINVAL for a target that is not a regular file, after the message);
 * callers report other failures in their own words. */
velkio_Output *velkio_Output_open(const char *path);
/* The temporary file's descriptor, for writers that take one. */
int velkio_Output_fd(const velkio_Output *out);
/* A stdio stream on it, made on the first call; afterwards write through
 * the stream only. */
FILE *velkio_Output_stream(velkio_Output *out);
/* The temporary file's name, for a library that writes only to a file it
 * opens by name (it must open this existing file, as with O_TRUNC, and
 * close it before the commit). */
const char *velkio_Output_tempPath(const velkio_Output *out);
/* Writes all `size` bytes (through the stream once there is one); 0, or 1
 * with errno set.  A failed write makes the commit fail. */
int velkio_Output_write(velkio_Output *out, const void *data, size_t size);
/* Completes the output: flushes and closes the file, and renames it onto
 * the target unless a write, the stream, the close or the rename failed.
 * 0 when the target holds the new file; 1 with errno set otherwise, and
 * then the temporary file is removed and the target is untouched.  The
 * record is released either way.  Nothing is logged. */
int velkio_Output_commit(velkio_Output *out);
/* Removes the temporary file and releases the record (null is fine). */
void velkio_Output_abort(velkio_Output *out);

/* What the document reader accepts: files of at most VELKIO_XML_MAX_BYTES
 * bytes holding at most VELKIO_XML_MAX_ITEMS elements and attributes in
 * all.  Larger documents are refused unread, which bounds the memory of the
 * parsed tree; programs that write documents keep within these limits. */
enum { VELKIO_XML_MAX_BYTES = 256 << 20, VELKIO_XML_MAX_ITEMS = 2000000 };

/* The largest XML document the library reads, as a file or as an archive
 * member (VELKIO_XML_MAX_BYTES, 256 MiB); larger ones are refused
 * before anything is read. */
#define VELKIO_MAX_DOCUMENT_BYTES ((size_t)VELKIO_XML_MAX_BYTES)
/* The largest identification text (whatisthis.txt) of an archive. */
#define VELKIO_MAX_LABEL_BYTES ((size_t)1 << 20)

/* ------------------------------------------------------------------ */
/* Records                                                             */
/* ------------------------------------------------------------------ */

typedef std::complex<float> velkio_Complex;

/* One position of a list. */
typedef struct velkio_Position {
    int id;
    int isCartesian;   /* non-zero: coords are x, y, z in metres;
                          0: azimuth, elevation (degrees), radius (metres) */
    float coords[3];
    char *path;        /* recording path, may be null */
    int useChannels;   /* 1: numChannels/channels are valid */
    int numChannels;
    int *channels;     /* malloc'd, owned */
} velkio_Position;

/* A position list of one type. */
typedef struct velkio_Positions {
    int count;
    char *type;        /* "tsp", "impulse", "microphone", "soundsource",
                          "noise"; may be null or another text as read */
    velkio_Position **list; /* count entries, document order, owned */
    int capacity;
} velkio_Positions;

/* Measurement configuration.  Absent texts are null, absent numbers 0. */
typedef struct velkio_Config {
    char *comment;
    int synchronousAverage;
    char *tspPath;
    int tspOffset;
    int tspLength;
    int peakSearchFrom;
    int peakSearchTo;
    int nfft;
    int samplingRate;
    int signalMax;
} velkio_Config;

/* The neighbours of one position. */
typedef struct velkio_NeighborList {
    int id;            /* the position the list belongs to */
    int count;
    int *ids;          /* neighbour ids, nearest first; malloc'd, owned */
} velkio_NeighborList;

typedef struct velkio_Neighbors {
    int count;                   /* number of lists */
    velkio_Positions *positions; /* reference used by calcNeighbors; not owned */
    velkio_NeighborList *lists;  /* count entries, owned */
} velkio_Neighbors;

/* An XML document: each member may be null. */
typedef struct velkio_XML {
    velkio_Positions *poses;
    velkio_Neighbors *nbrs;
    velkio_Config *cfg;
} velkio_XML;

/* A dense complex matrix, row-major. */
typedef struct velkio_Matrix {
    char *type;        /* "complex" */
    int rows;
    int cols;
    velkio_Complex *data; /* rows * cols values */
} velkio_Matrix;

/* Transfer-function matrices of one kind made while the archive is
 * written, instead of being held: when the archive writes the member of
 * the index-th source position, fill(context, index, matrix) sets every
 * value of `matrix` (rows x cols; it holds the previous call's values on
 * entry) and returns 0, or 1 to fail the write.  One matrix exists at a
 * time, whatever the number of positions. */
typedef struct velkio_MatrixSource {
    int rows;
    int cols;
    int (*fill)(void *context, int index, velkio_Matrix *matrix);
    void *context;
} velkio_MatrixSource;

/* A transfer-function archive in memory. */
typedef struct velkio_TransferFunction {
    struct zip *archive;         /* open archive after fromFile, else null */
    velkio_Positions *positions; /* source positions */
    velkio_Positions *microphones;
    velkio_Config *config;
    velkio_Neighbors *neighbors;
    velkio_Matrix **locTFs;      /* one matrix per source position, or null */
    velkio_Matrix **sepTFs;
    int nLocTFs;
    int nSepTFs;
    velkio_MatrixSource locSource; /* matrices made while writing, fill null: none */
    velkio_MatrixSource sepSource;
} velkio_TransferFunction;

/* ------------------------------------------------------------------ */
/* XML documents                                                       */
/* ------------------------------------------------------------------ */


velkio_XML *velkio_XML_new(void);
/* Reads a document from a file.  `root` names the expected root element;
 * null or "" selects "velk_xml".  Null with a level-0 message on a missing
 * file, malformed XML, a DOCTYPE, a wrong root element or a value that is
 * not a number where a number belongs. */
velkio_XML *velkio_XML_newFromXML(const char *path, const char *root);
/* The same from a buffer of `length` bytes. */
velkio_XML *velkio_XML_newFromXMLbuffer(const char *text, int length,
                                        const char *root);
/* Takes ownership of the three members (each may be null). */
velkio_XML *velkio_XML_newFromData(velkio_Positions *positions,
                                   velkio_Neighbors *neighbors,
                                   velkio_Config *config);
/* Writes the document as UTF-8 XML to the stream; 0 on success, 1 on
 * failure. */
int velkio_XML_write(const velkio_XML *doc, FILE *stream);
/* The document as a malloc'd, NUL-terminated text (length in *length when
 * not null); null on failure. */
char *velkio_XML_toString(const velkio_XML *doc, int *length);
/* How the transfer function of one source position was cut out of its
 * impulse responses: a calcTF element of that position in the source
 * document of an archive. */
typedef struct velkio_CalcTF {
    int positionId;
    const char *type; /* "localization" or "separation" */
    float offset;     /* first sample of the window, written as "%f" */
    int cutIndexFrom; /* window [from, to); both written only when both */
    int cutIndexTo;   /* are above 0 */
} velkio_CalcTF;
/* velkio_XML_toString with calcTF elements: each position whose id one of
 * the `count` annotations names gets them, in the order given, after its
 * own children (see docs/formats.md for the layout). */
char *velkio_XML_toStringWithCalcTF(const velkio_XML *doc, const velkio_CalcTF *calcTFs,
                                    int count, int *length);
void velkio_XML_delete(velkio_XML **doc);

/* ------------------------------------------------------------------ */
/* Positions                                                           */
/* ------------------------------------------------------------------ */

/* A new empty list of the given type (the three further arguments are
 * reserved and must be null/0). */
velkio_Positions *velkio_Positions_new(const char *type, int reserved1,
                                       int reserved2, int reserved3);
/* Appends (and takes ownership of) a position; 0 on success, 1 on
 * failure. */
int velkio_Positions_append(velkio_Positions *list, velkio_Position *position);
int velkio_Positions_getSize(const velkio_Positions *list); /* 0 for null */
/* The first position with that id, or null. */
velkio_Position *velkio_Positions_getById(const velkio_Positions *list, int id);
/* Removes and frees every position with that id; 0 when one was removed,
 * 1 otherwise. */
int velkio_Positions_removeById(velkio_Positions *list, int id);
velkio_Positions *velkio_Positions_copy(const velkio_Positions *list);
void velkio_Positions_delete(velkio_Positions **list);

/* A new position; isCartesian as in the record, coords may be null (0,0,0),
 * path may be null. */
velkio_Position *velkio_Position_new(int id, int isCartesian,
                                     const float *coords, const char *path);
velkio_Position *velkio_Position_copy(const velkio_Position *position);
void velkio_Position_delete(velkio_Position **position);
/* Coordinate conversion of the stored coordinates.  toCartesian 1: the
 * coordinates are read as azimuth, elevation (degrees), radius and out
 * receives x = r cos(el) cos(az), y = r cos(el) sin(az), z = r sin(el);
 * toCartesian 0: the coordinates are read as x, y, z and out receives
 * azimuth, elevation (degrees) and radius.  Returns 0, or 1 on a null
 * argument or another mode. */
int velkio_Position_Convert(const velkio_Position *position, float out[3],
                            int toCartesian);
float velkio_Position_convToRadian(float degrees);
/* Sets the use-channels flag; 0 also drops the channel list. */
void velkio_Position_setChannelsUse(velkio_Position *position, int use);
/* Replaces the channel list by a copy of `channels`; 0 on success. */
int velkio_Position_setChannels(velkio_Position *position, const int *channels,
                                int count);

/* ------------------------------------------------------------------ */
/* Configuration                                                       */
/* ------------------------------------------------------------------ */

velkio_Config *velkio_Config_new(void);
velkio_Config *velkio_Config_copy(const velkio_Config *config);
void velkio_Config_delete(velkio_Config **config);
/* Prints every member through the logger at level 2 (standard error). */
void velkio_Config_print(const velkio_Config *config);

const char *velkio_Config_getComment(const velkio_Config *config);
int velkio_Config_getSynchronousAverage(const velkio_Config *config);
const char *velkio_Config_getTSPpath(const velkio_Config *config);
int velkio_Config_getTSPoffset(const velkio_Config *config);
int velkio_Config_getTSPLength(const velkio_Config *config);
int velkio_Config_getPeakSearchFrom(const velkio_Config *config);
int velkio_Config_getPeakSearchTo(const velkio_Config *config);
int velkio_Config_getNfft(const velkio_Config *config);
int velkio_Config_getSamplingRate(const velkio_Config *config);
int velkio_Config_getSignalMax(const velkio_Config *config);

/* Setters return 0, or 1 for a null record (texts: or no memory). */
int velkio_Config_setComment(velkio_Config *config, const char *comment);
int velkio_Config_setSynchronousAverage(velkio_Config *config, int value);
int velkio_Config_setTSPpath(velkio_Config *config, const char *path);
int velkio_Config_setTSPoffset(velkio_Config *config, int value);
int velkio_Config_setTSPlength(velkio_Config *config, int value);
int velkio_Config_setPeakSearchFrom(velkio_Config *config, int value);
int velkio_Config_setPeakSearchTo(velkio_Config *config, int value);
int velkio_Config_setNfft(velkio_Config *config, int value);
int velkio_Config_setSamplingRate(velkio_Config *config, int value);
int velkio_Config_setSignalMax(velkio_Config *config, int value);

/* ------------------------------------------------------------------ */
/* Neighbours                                                          */
/* ------------------------------------------------------------------ */

/* An empty neighbour record referring to `positions` (not owned). */
velkio_Neighbors *velkio_Neighbors_new(velkio_Positions *positions);
/* Algorithm 1 (nearest neighbours): for each position, up to `maximum`
 * other positions, nearest first (ties by lower id), whose direction seen
 * from the origin differs from its own by at most `threshold` radians.
 * Returns 0, or 1 for another algorithm, a null record or no positions. */
int velkio_Neighbors_calcNeighbors(velkio_Neighbors *neighbors, int algorithm,
                                   int maximum, double threshold);
/* A deep copy of the lists; the copy's positions reference is null. */
velkio_Neighbors *velkio_Neighbors_copy(const velkio_Neighbors *neighbors);
void velkio_Neighbors_delete(velkio_Neighbors **neighbors);

/* ------------------------------------------------------------------ */
/* Matrices                                                            */
/* ------------------------------------------------------------------ */

/* Type "complex" only; null for another type or a non-positive size.
 * The data are zero-filled. */
velkio_Matrix *velkio_Matrix_new(const char *type, int rows, int cols);
/* As velkio_Matrix_new, with the values left unset: for a caller that
 * writes every one of them. */
velkio_Matrix *velkio_Matrix_newUncleared(const char *type, int rows, int cols);
/* Readies the heap for about `bytes` of matrices made one after the other
 * (a run's or an archive's TFs, small blocks each): the heap is grown to
 * hold them all, in blocks below the allocator's mapping threshold so that
 * they lie side by side, that memory is advised as huge pages and given
 * back to the allocator, which keeps it for the matrices.  Page faults
 * are a large part of making or loading many matrices; this divides them
 * by up to 512.  Only advice: nothing changes where the system ignores it. */
void velkio_Matrix_prepareHeap(size_t bytes);
/* 0 on success, 1 for a null matrix or an index outside it. */
int velkio_Matrix_setValueComplex(velkio_Matrix *m, int row, int col,
                                  velkio_Complex value);
int velkio_Matrix_getValueComplex(const velkio_Matrix *m, int row, int col,
                                  velkio_Complex *out);
void velkio_Matrix_delete(velkio_Matrix **m);

/* ------------------------------------------------------------------ */
/* Transfer-function archives                                          */
/* ------------------------------------------------------------------ */

velkio_TransferFunction *velkio_TransferFunction_new(void);
/* Takes ownership of what it is given (each may be null). */
velkio_TransferFunction *velkio_TransferFunction_fromData(
    velkio_Positions *sources, velkio_Positions *microphones,
    velkio_Config *config, velkio_Neighbors *neighbors);
/* Loads an archive, matrices included, and keeps it open (read only) in
 * `archive`.  `label` is the expected beginning of whatisthis.txt; null
 * accepts any label.  Null with a level-0 message on any inconsistency. */
velkio_TransferFunction *velkio_TransferFunction_fromFile(const char *path,
                                                          const char *label);
/* Which TF kinds a load holds in the record. */
enum {
    VELKIO_TF_KEEP_LOC = 1,
    VELKIO_TF_KEEP_SEP = 2,
    VELKIO_TF_KEEP_ONE = 4 /* the localization TFs, or the separation TFs when
                              the archive holds no localization TFs */
};
enum { VELKIO_TF_LOC = 0, VELKIO_TF_SEP = 1 };
/* Sees every TF matrix of a load as soon as it is decoded: `kind` is
 * VELKIO_TF_LOC or VELKIO_TF_SEP, `source` the index of its position.
 * Non-zero fails the load. */
typedef int (*velkio_TFVisitor)(int kind, int source, const velkio_Matrix *m,
                                void *context);
/* As velkio_TransferFunction_fromFile, but only the kinds `keep` names are
 * held; the members of the others are still read to their end, checked
 * and decoded, handed to `visit` (may be null) one at a time and
 * released, and count as absent in the record.  A reader that needs one
 * kind holds half the memory. */
velkio_TransferFunction *velkio_TransferFunction_fromFileKeeping(const char *path,
                                                                 const char *label, int keep,
                                                                 velkio_TFVisitor visit,
                                                                 void *context);
/* Matrix vectors: one matrix per source position (positions->count of
 * them); the record takes ownership.  A null vector only clears. */
void velkio_TransferFunction_setLocTFs(velkio_TransferFunction *tf,
                                       velkio_Matrix **matrices);
void velkio_TransferFunction_setSepTFs(velkio_TransferFunction *tf,
                                       velkio_Matrix **matrices);
/* The matrices of a kind as made by `source` while the archive is written
 * (velkio_MatrixSource; copied, its context must outlive the write); held
 * matrices of the kind are released.  A null source, or setting matrix
 * vectors, only clears it. */
void velkio_TransferFunction_setLocTFSource(velkio_TransferFunction *tf,
                                            const velkio_MatrixSource *source);
void velkio_TransferFunction_setSepTFSource(velkio_TransferFunction *tf,
                                            const velkio_MatrixSource *source);
void velkio_TransferFunction_setPositions(velkio_TransferFunction *tf,
                                          velkio_Positions *positions);
void velkio_TransferFunction_setMicrophones(velkio_TransferFunction *tf,
                                            velkio_Positions *microphones);
void velkio_TransferFunction_setConfig(velkio_TransferFunction *tf,
                                       velkio_Config *config);
void velkio_TransferFunction_setNeighbors(velkio_TransferFunction *tf,
                                          velkio_Neighbors *neighbors);
/* Writes the archive; the label starts whatisthis.txt ("transfer function"
 * when null).  Members are stored with mode 0644, directories 0755.  A
 * TF matrix holding a value that is not finite (NaN, infinity) is refused
 * with a message naming its source position.  The file at `path` is
 * replaced only when the whole archive was written.  0 on success, 1 on
 * failure. */
int velkio_TransferFunction_write(const velkio_TransferFunction *tf,
                                  const char *path, const char *label);
/* A member the caller adds to the archive: `size` bytes at `data`, only
 * read during the call. */
typedef struct velkio_ArchiveMember {
    const char *name;
    const void *data;
    size_t size;
} velkio_ArchiveMember;
/* velkio_TransferFunction_write with members of the caller's: one whose
 * name is that of a text member the library writes ("whatisthis.txt",
 * "source.xml", "microphones.xml" under "transferFunction/") replaces that
 * member's content in its place; the others follow the library's members,
 * in the given order.  A name given twice, that of a directory or
 * transfer-function member, or a member larger than the readers take
 * (VELKIO_MAX_LABEL_BYTES for whatisthis.txt, VELKIO_MAX_DOCUMENT_BYTES
 * for the others) is refused.  The archive is written once, as a whole or
 * not at all. */
int velkio_TransferFunction_writeWithMembers(const velkio_TransferFunction *tf,
                                             const char *path, const char *label,
                                             const velkio_ArchiveMember *members,
                                             int count);
/* velkio_TransferFunction_writeWithMembers whose source.xml carries the
 * calcTF annotations of velkio_XML_toStringWithCalcTF (a caller's
 * source.xml member takes precedence). */
int velkio_TransferFunction_writeAnnotated(const velkio_TransferFunction *tf,
                                           const char *path, const char *label,
                                           const velkio_ArchiveMember *members,
                                           int count, const velkio_CalcTF *calcTFs,
                                           int calcTFCount);
void velkio_TransferFunction_delete(velkio_TransferFunction **tf);
/* The channel numbers (microphone ids) that the rows of the record's TF
 * matrices stand for, in row order: the first source position's channel
 * list when it carries one, else the ids of the microphone list in list
 * order.  A new malloc'd vector of *count ids; null with *count 0 when
 * there are none (or no memory). */
int *velkio_TransferFunction_rowIds(const velkio_TransferFunction *tf, int *count);
/* The shape every TF matrix of the record must have: rows, the length of
 * the first source position's channel list when it carries one (only
 * those channels were measured), else the number of microphone
 * positions; cols, nfft/2+1.  0, or 1 when the configuration gives no
 * positive nfft. */
int velkio_TransferFunction_tfShape(const velkio_TransferFunction *tf, int *rows,
                                    int *cols);

/* ------------------------------------------------------------------ */
/* Archive members                                                     */
/* ------------------------------------------------------------------ */

/* Opens the zip archive at `path` read only, with libzip's consistency
 * check, from one descriptor of velkio_File_openRegular (anything but a
 * regular file is refused).  Null on failure, with the libzip error code
 * in *code (ZIP_ER_OPEN when the file could not be opened; errno then
 * tells why); the caller reports it. */
struct zip *velkio_Archive_open(const char *path, int *code);

/* Kinds of members, each read under a limit of its own. */
enum {
    VELKIO_MEMBER_LABEL = 0, /* whatisthis.txt: VELKIO_MAX_LABEL_BYTES */
    VELKIO_MEMBER_XML = 1,   /* the documents: VELKIO_MAX_DOCUMENT_BYTES */
    VELKIO_MEMBER_OTHER = 2  /* README and anything else: as documents,
                                and the bytes are not kept */
};

/* Reads the member `name` to its end, so that libzip verifies its
 * checksum.  The size its directory entry declares is checked against
 * the kind's limit before anything is allocated, and the bytes that
 * really come out of the decompressor are counted against it while they
 * are read.  On success *data (when `data` is not null and the kind is
 * not OTHER) is a new malloc'd buffer of the member's bytes plus a zero
 * byte, and *size its length.  1, with a level-0 message naming `path`
 * (may be null) and the member, when the member is missing, too large,
 * damaged (a bad checksum) or longer than declared. */
int velkio_Archive_readMember(struct zip *archive, const char *path, const char *name,
                              int kind, unsigned char **data, size_t *size);

/* Reads a MAT-file member that must hold a rows x cols matrix: its
 * header is decoded first, and class, complexity and shape are checked
 * before the rest is read; the member may be no larger than its header
 * calls for (velkio_MatFile_readHeader).  Otherwise as
 * velkio_Archive_readMember; the buffer holds exactly the member. */
int velkio_Archive_readMatMember(struct zip *archive, const char *path, const char *name,
                                 int rows, int cols, unsigned char **data, size_t *size);

/* ------------------------------------------------------------------ */
/* MAT-file members (Level 5, one complex single-precision matrix)     */
/* ------------------------------------------------------------------ */

/* Serialises a matrix into a malloc'd buffer; null on failure. */
unsigned char *velkio_MatFile_encode(const velkio_Matrix *m, const char *name,
                                     size_t *size);
/* Size in bytes of the member velkio_MatFile_encode would make; 0 with a
 * level-0 message when the matrix or the name cannot be written.  A null
 * name stands for "tf", as in the encoder. */
size_t velkio_MatFile_encodedSize(const velkio_Matrix *m, const char *name);
/* The same member written into a caller's buffer of exactly that size;
 * 0 on success, 1 with a level-0 message otherwise. */
int velkio_MatFile_encodeTo(const velkio_Matrix *m, const char *name,
                            unsigned char *out, size_t size);
/* Parses such a buffer; null with a level-0 message naming `what` for
 * anything else. */
velkio_Matrix *velkio_MatFile_decode(const unsigned char *bytes, size_t size,
                                     const char *what);
/* The bytes a member needs before velkio_MatFile_readHeader can judge it. */
#define VELKIO_MATFILE_HEADER_BYTES 176
/* Decodes the first `n` bytes of a member as far as its array name: the
 * file header, class, complexity and dimensions.  On success *rows and
 * *cols are the dimensions and *size the length the whole member has by
 * its header, which is no more than such a matrix calls for.  0, or 1
 * with the reason in *why (a static text); nothing is logged. */
int velkio_MatFile_readHeader(const unsigned char *bytes, size_t n, int *rows, int *cols,
                              size_t *size, const char **why);
/* Checks a whole member as velkio_MatFile_decode reads it, without
 * building the matrix, and every value: 0 when it is a complex single-
 * precision matrix all of whose values are finite; 1 with a level-0
 * message naming `what` otherwise. */
int velkio_MatFile_check(const unsigned char *bytes, size_t size, const char *what);

/* MAT-files of several arrays (the export's files).  Classes written: */
enum { VELKIO_MAT_DOUBLE = 6, VELKIO_MAT_SINGLE = 7, VELKIO_MAT_INT32 = 12 };
#define VELKIO_MAT_MAX_RANK 4
/* One array: `rank` (2 .. VELKIO_MAT_MAX_RANK) dimensions of at least 1
 * each; `real` (and `imag` for a complex array, else null) hold the
 * elements in column-major order (the first index varies fastest) as
 * doubles, floats or 32-bit ints by class.  Only read during the call. */
typedef struct velkio_MatArray {
    const char *name;
    int mxClass;
    int rank;
    size_t dims[VELKIO_MAT_MAX_RANK];
    const void *real;
    const void *imag;
} velkio_MatArray;
/* The size of a MAT-file holding the arrays in this order; 0 with a
 * level-0 message for an array that cannot be written (a name that is
 * not a variable name, another class or rank, an array of 4 GiB or more). */
size_t velkio_MatFile_arraysSize(const velkio_MatArray *arrays, int count);
/* Writes that file into a caller's buffer of exactly that size; 0 on
 * success, 1 with a level-0 message otherwise. */
int velkio_MatFile_encodeArrays(const velkio_MatArray *arrays, int count, unsigned char *out,
                                size_t size);

/* ------------------------------------------------------------------ */
/* Legacy binary files (previous library generation)                   */
/* ------------------------------------------------------------------ */

/* Which transfer functions of a record a legacy transfer-function file
 * holds. */
enum { VELKIO_COMPAT_LOCALIZATION = 0, VELKIO_COMPAT_SEPARATION = 1 };

/* Reads a legacy localization file, a legacy separation file or both (a
 * missing one is a null path) into a new record: the files' source
 * positions (type "soundsource"), microphones, configuration and
 * matrices as localization and separation TFs.  Both files must describe
 * the same measurement (counts, configuration, positions).  Null with a
 * level-0 message on any malformed or inconsistent input. */
velkio_TransferFunction *velkio_Compat_TransferFunction_readlibvelkio2(
    const char *locPath, const char *sepPath);
/* Reads a legacy separation-matrix file and the transfer-function archive
 * it belongs to.  The matrix must fit the archive (source positions,
 * channels, nfft and sampling rate).  The new record holds the archive's
 * positions, microphones, configuration and neighbours and the matrices
 * as its separation TFs (no localization TFs, no open archive).  Null
 * with a level-0 message on any failure. */
velkio_TransferFunction *velkio_Compat_SeparationMatrix_readlibvelkio2(
    const char *matrixPath, const char *archivePath);
/* Writes the record's localization or separation TFs (kind
 * VELKIO_COMPAT_LOCALIZATION or VELKIO_COMPAT_SEPARATION) as a legacy
 * transfer-function file, or its separation TFs as a legacy
 * separation-matrix file.  The microphones written are those of the first
 * source position's channel list when it carries one, else the whole
 * list; polar coordinates are converted to Cartesian.  The file at `path`
 * is replaced only when the whole file was written.  0 on success, 1 with
 * a level-0 message for a record that no legacy file can hold. */
int velkio_Compat_TransferFunction_writelibvelkio2(const velkio_TransferFunction *tf,
                                                   int kind, const char *path);
int velkio_Compat_SeparationMatrix_writelibvelkio2(const velkio_TransferFunction *tf,
                                                   const char *path);

#endif /* VELKIO_H */
