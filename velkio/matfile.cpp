// MAT-files, Level 5, little-endian.  The members of the transfer-function
// archive hold one complex single-precision 2-D array; the export writes
// files of several arrays (double, single or int32, real or complex, of
// any rank from 2 up) with the same element code.
//
// Layout written (byte offsets from the start of the member):
//   0   116 bytes descriptive text, blank-padded
//   116 8 bytes subsystem data offset (zero: none)
//   124 version 0x0100 (uint16), 126 endian indicator "IM"
//   128 miMATRIX tag (type 14, size of what follows)
//   136 array flags  : miUINT32 tag, 8 bytes: class mxSINGLE_CLASS | complex
//       dimensions   : miINT32 tag, rows, cols
//       array name   : miINT8 tag, name bytes, zero padding to 8
//       real part    : miSINGLE tag, rows*cols floats, column-major, padding
//       imaginary    : miSINGLE tag, likewise
// The reader accepts exactly this, plus the 4-byte "small data element"
// form of any sub-element (other writers use it for short names and for
// 1 x 1 arrays).  It checks every length against the bytes that remain.
#include "velkio.h"

#include <bit>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

enum : uint32_t {
    miINT8 = 1,
    miINT32 = 5,
    miUINT32 = 6,
    miSINGLE = 7,
    miDOUBLE = 9,
    miMATRIX = 14,
    miCOMPRESSED = 15,
};

const uint32_t mxSINGLE_CLASS = 7;
const uint32_t flagComplex = 0x0800; // bit 3 of the flags byte (byte 1 of the word)
const uint32_t flagLogical = 0x0200;

const size_t headerSize = 128;
const size_t tagSize = 8;
const size_t maxNameLength = 63;
const char headerText[] = "MATLAB 5.0 MAT-file, Platform: velkio, "
                          "Created by: velkio transfer-function archive";

uint64_t padded8(uint64_t n)
{
    return (n + 7) & ~(uint64_t)7;
}

// ---- writing -------------------------------------------------------

void put16(unsigned char *p, uint16_t v)
{
    p[0] = (unsigned char)(v & 0xff);
    p[1] = (unsigned char)(v >> 8);
}

void put32(unsigned char *p, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        p[i] = (unsigned char)((v >> (8 * i)) & 0xff);
}

void putFloat(unsigned char *p, float f)
{
    // A little-endian host stores the float as the file does.
    if constexpr (std::endian::native == std::endian::little) {
        memcpy(p, &f, sizeof f);
        return;
    }
    uint32_t bits;
    memcpy(&bits, &f, sizeof bits);
    put32(p, bits);
}

// A tag of the long form; returns the position after the tag.
size_t putTag(unsigned char *out, size_t at, uint32_t type, uint32_t bytes)
{
    put32(out + at, type);
    put32(out + at + 4, bytes);
    return at + tagSize;
}

bool validName(const char *name)
{
    size_t len = strlen(name);
    if (len == 0 || len > maxNameLength || !isalpha((unsigned char)name[0]))
        return false;
    for (size_t i = 0; i < len; i++)
        if (!isalnum((unsigned char)name[i]) && name[i] != '_')
            return false;
    return true;
}

// One part (real or imaginary) of the matrix in column-major order,
// followed by its zero padding.
size_t putPart(unsigned char *out, size_t at, const velkio_Matrix *m,
               bool imaginary)
{
    uint32_t bytes = (uint32_t)((uint64_t)m->rows * (uint64_t)m->cols * 4);
    at = putTag(out, at, miSINGLE, bytes);
    const float *values = reinterpret_cast<const float *>(m->data) + (imaginary ? 1 : 0);
    const size_t cols = (size_t)m->cols;
    for (size_t c = 0; c < cols; c++) {
        for (int r = 0; r < m->rows; r++) {
            putFloat(out + at, values[2 * ((size_t)r * cols + c)]);
            at += 4;
        }
    }
    size_t end = (size_t)padded8(at);
    memset(out + at, 0, end - at);
    return end;
}

// ---- reading -------------------------------------------------------

uint32_t get32(const unsigned char *p)
{
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) |
           ((uint32_t)p[3] << 24);
}

float getFloat(const unsigned char *p)
{
    uint32_t bits = get32(p);
    float f;
    memcpy(&f, &bits, sizeof f);
    return f;
}

// A data element inside [at, end): its type, its byte count and where
// its data start; `next` is where the following element starts.
struct Element {
    uint32_t type;
    uint32_t bytes;
    size_t data;
    size_t next;
    bool small; // the data are inside the tag
};

// Reads one element tag at `at` (inside [at, end)); its data may lie
// beyond `end`.  0 on success, else a reason in *why.
int readTag(const unsigned char *buf, size_t at, size_t end, Element *e, const char **why)
{
    if (at > end || end - at < tagSize) {
        *why = "truncated element tag";
        return 1;
    }
    uint32_t first = get32(buf + at);
    if ((first >> 16) != 0) {
        // Small data element: type and size share the first word and up
        // to four data bytes follow in the tag itself.
        e->type = first & 0xffff;
        e->bytes = first >> 16;
        if (e->bytes > 4) {
            *why = "small data element larger than 4 bytes";
            return 1;
        }
        e->data = at + 4;
        e->next = at + tagSize;
        e->small = true;
        return 0;
    }
    e->small = false;
    e->type = first;
    e->bytes = get32(buf + at + 4);
    e->data = at + tagSize;
    e->next = e->data + (size_t)padded8(e->bytes);
    return 0;
}

// Reads one element whose data and padding lie inside [at, end); 0 on
// success, else a reason in *why.
int readElement(const unsigned char *buf, size_t at, size_t end, Element *e,
                const char **why)
{
    if (readTag(buf, at, end, e, why) != 0)
        return 1;
    if (e->small)
        return 0;
    uint64_t room = end - e->data;
    if ((uint64_t)e->bytes > room) {
        *why = "element data run past the end (truncated)";
        return 1;
    }
    if (padded8(e->bytes) > room) {
        *why = "element padding runs past the end (truncated)";
        return 1;
    }
    return 0;
}

struct Decoded {
    int rows = 0;
    int cols = 0;
    Element real{}, imag{};
};

// Checks the array flags and dimensions that start at `at` (the first
// element inside the miMATRIX); *next is where the array name starts.
int readFlagsAndDims(const unsigned char *buf, size_t at, size_t end, int *rows,
                     int *cols, size_t *next, const char **why)
{
    Element flags, dims;
    if (readElement(buf, at, end, &flags, why) != 0)
        return 1;
    if (flags.type != miUINT32 || flags.bytes != 8) {
        *why = "array flags are not an 8-byte miUINT32 element";
        return 1;
    }
    uint32_t word = get32(buf + flags.data);
    if ((word & 0xff) != mxSINGLE_CLASS) {
        *why = "array class is not single precision (mxSINGLE_CLASS)";
        return 1;
    }
    if ((word & flagComplex) == 0) {
        *why = "array is not complex (real-only data)";
        return 1;
    }
    if ((word & flagLogical) != 0) {
        *why = "array is marked logical";
        return 1;
    }

    if (readElement(buf, flags.next, end, &dims, why) != 0)
        return 1;
    if (dims.type != miINT32 || dims.bytes % 4 != 0) {
        *why = "dimensions are not a miINT32 element";
        return 1;
    }
    if (dims.bytes != 8) {
        *why = "array is not 2-D";
        return 1;
    }
    int32_t r = (int32_t)get32(buf + dims.data);
    int32_t c = (int32_t)get32(buf + dims.data + 4);
    if (r <= 0 || c <= 0) {
        *why = "array dimensions are not positive";
        return 1;
    }
    *rows = r;
    *cols = c;
    *next = dims.next;
    return 0;
}

// Checks the array flags, dimensions, name and both parts of a miMATRIX
// element whose contents are [at, end).  0 on success.
int readArray(const unsigned char *buf, size_t at, size_t end, Decoded *d,
              const char **why)
{
    Element name;
    int rows = 0, cols = 0;
    size_t next = 0;
    if (readFlagsAndDims(buf, at, end, &rows, &cols, &next, why) != 0)
        return 1;

    if (readElement(buf, next, end, &name, why) != 0)
        return 1;
    if (name.type != miINT8 || name.bytes == 0) {
        *why = "array name is not a non-empty miINT8 element";
        return 1;
    }

    uint64_t partBytes = (uint64_t)rows * (uint64_t)cols * 4;
    if (readElement(buf, name.next, end, &d->real, why) != 0)
        return 1;
    if (d->real.type != miSINGLE) {
        *why = "real part is not miSINGLE data";
        return 1;
    }
    if (d->real.bytes != partBytes) {
        *why = "real part size does not match rows x cols";
        return 1;
    }
    if (readElement(buf, d->real.next, end, &d->imag, why) != 0) {
        if (d->real.next == end)
            *why = "imaginary part missing (real-only data)";
        return 1;
    }
    if (d->imag.type != miSINGLE) {
        *why = "imaginary part is not miSINGLE data";
        return 1;
    }
    if (d->imag.bytes != partBytes) {
        *why = "imaginary part size does not match rows x cols";
        return 1;
    }
    if (d->imag.next != end) {
        *why = "unexpected data after the imaginary part";
        return 1;
    }
    d->rows = rows;
    d->cols = cols;
    return 0;
}

// Checks the 128-byte file header and the tag of the one top-level
// element, which must be a miMATRIX; `n` bytes are at hand.
int readTop(const unsigned char *bytes, size_t n, Element *top, const char **why)
{
    if (n < headerSize) {
        *why = "shorter than the 128-byte MAT-file header";
        return 1;
    }
    if (bytes[126] == 'M' && bytes[127] == 'I') {
        *why = "big-endian MAT-file (only little-endian is read)";
        return 1;
    }
    if (bytes[126] != 'I' || bytes[127] != 'M') {
        *why = "no MAT-file endian indicator (not a Level 5 MAT-file)";
        return 1;
    }
    if (bytes[124] != 0x00 || bytes[125] != 0x01) {
        *why = "MAT-file version is not 0x0100";
        return 1;
    }
    if (readTag(bytes, headerSize, n, top, why) != 0)
        return 1;
    if (top->type == miCOMPRESSED) {
        *why = "compressed MAT-file data (not read)";
        return 1;
    }
    if (top->type != miMATRIX || top->data != headerSize + tagSize) {
        *why = "first element is not a miMATRIX";
        return 1;
    }
    return 0;
}

// Checks the 128-byte header and the one top-level miMATRIX element;
// on success [*start, *end) are the element's contents.
int readContainer(const unsigned char *bytes, size_t size, size_t *start,
                  size_t *end, const char **why)
{
    Element top;
    if (readTop(bytes, size, &top, why) != 0 ||
        readElement(bytes, headerSize, size, &top, why) != 0)
        return 1;
    if (top.data + top.bytes != size) {
        *why = "unexpected data after the matrix element";
        return 1;
    }
    *start = top.data;
    *end = size;
    return 0;
}

// The first non-finite value (NaN or infinite) of a part of n floats, or
// n when all are finite.  The whole part is scanned without branches
// first, since nearly every member is sound.
size_t firstNonFinite(const unsigned char *part, size_t n)
{
    const uint32_t exponent = 0x7f800000u;
    uint32_t bad = 0;
    for (size_t k = 0; k < n; k++) {
        bad |= (uint32_t)((get32(part + 4 * k) & exponent) == exponent);
    }
    if (bad == 0)
        return n;
    for (size_t k = 0; k < n; k++)
        if ((get32(part + 4 * k) & exponent) == exponent)
            return k;
    return n;
}

} // namespace

namespace {

// Bytes of the array flags, dimensions and name elements of an array.
uint64_t arrayHeadBytes(int rank, size_t nameBytes)
{
    return (tagSize + 8) + (tagSize + padded8(4 * (uint64_t)rank)) +
           (tagSize + padded8(nameBytes));
}

// Checks what the encoder needs and gives the size of the array element
// (everything after its tag); 0 after a level-0 message when the matrix
// or the name cannot be written.
uint64_t arrayBytesOf(const velkio_Matrix *m, const char *name)
{
    if (m == nullptr || m->data == nullptr || m->rows <= 0 || m->cols <= 0 ||
        m->type == nullptr || strcmp(m->type, "complex") != 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "not a complex matrix: can not write it as MAT-file");
        return 0;
    }
    if (!validName(name)) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "invalid MAT-file variable name [%s]", name);
        return 0;
    }
    uint64_t partBytes = (uint64_t)m->rows * (uint64_t)m->cols * 4;
    uint64_t nameBytes = strlen(name);
    uint64_t arrayBytes = arrayHeadBytes(2, nameBytes) + 2 * (tagSize + padded8(partBytes));
    if (arrayBytes > UINT32_MAX) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "matrix %d x %d is too large for a MAT-file",
                   m->rows, m->cols);
        return 0;
    }
    return arrayBytes;
}

// The 128-byte file header.
void putFileHeader(unsigned char *out)
{
    memset(out, ' ', 116);
    memcpy(out, headerText, sizeof headerText - 1);
    memset(out + 116, 0, 8); // no subsystem data
    put16(out + 124, 0x0100);
    out[126] = 'I';
    out[127] = 'M';
}

// The miMATRIX tag (arrayBytes: everything after it), the array flags, the
// dimensions and the name of an array; returns the position after the
// name, where its data parts follow.
size_t putArrayHead(unsigned char *out, size_t at, uint64_t arrayBytes, uint32_t flags,
                    const uint64_t *dims, int rank, const char *name)
{
    size_t nameBytes = strlen(name);
    at = putTag(out, at, miMATRIX, (uint32_t)arrayBytes);
    at = putTag(out, at, miUINT32, 8);
    put32(out + at, flags);
    put32(out + at + 4, 0); // nzmax
    at += 8;
    at = putTag(out, at, miINT32, (uint32_t)(4 * rank));
    size_t dimsEnd = at + (size_t)padded8(4 * (uint64_t)rank);
    memset(out + at, 0, dimsEnd - at);
    for (int d = 0; d < rank; d++)
        put32(out + at + 4 * (size_t)d, (uint32_t)dims[d]);
    at = putTag(out, dimsEnd, miINT8, (uint32_t)nameBytes);
    memset(out + at, 0, (size_t)padded8(nameBytes));
    memcpy(out + at, name, nameBytes);
    return at + (size_t)padded8(nameBytes);
}

// Writes the whole member into out, which holds exactly its size
// (headerSize + tagSize + arrayBytes); every byte is written, padding
// included.
void encodeInto(const velkio_Matrix *m, const char *name, uint64_t arrayBytes,
                unsigned char *out)
{
    putFileHeader(out);
    const uint64_t dims[2] = {(uint64_t)m->rows, (uint64_t)m->cols};
    size_t at = putArrayHead(out, headerSize, arrayBytes, mxSINGLE_CLASS | flagComplex,
                             dims, 2, name);
    at = putPart(out, at, m, false);
    putPart(out, at, m, true);
}

// ---- files of several arrays -----------------------------------------

// The data type and element size of a class; 0 for a class not written.
uint32_t dataTypeOf(int mxClass, size_t *elementBytes)
{
    switch (mxClass) {
    case VELKIO_MAT_DOUBLE:
        *elementBytes = 8;
        return miDOUBLE;
    case VELKIO_MAT_SINGLE:
        *elementBytes = 4;
        return miSINGLE;
    case VELKIO_MAT_INT32:
        *elementBytes = 4;
        return miINT32;
    default:
        *elementBytes = 0;
        return 0;
    }
}

// The size of one array element after its tag (its "array bytes"), or 0
// after a level-0 message when it cannot be written.
uint64_t arrayElementBytes(const velkio_MatArray &a)
{
    size_t elementBytes = 0;
    const char *name = a.name != nullptr ? a.name : "";
    if (dataTypeOf(a.mxClass, &elementBytes) == 0 || a.rank < 2 ||
        a.rank > VELKIO_MAT_MAX_RANK || a.real == nullptr || !validName(name)) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "MAT-file array [%s] can not be written", name);
        return 0;
    }
    uint64_t count = 1;
    for (int d = 0; d < a.rank; d++) {
        if (a.dims[d] < 1 || a.dims[d] > INT32_MAX || count > UINT32_MAX / a.dims[d]) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "MAT-file array [%s] is too large", name);
            return 0;
        }
        count *= a.dims[d];
    }
    uint64_t part = tagSize + padded8(count * elementBytes);
    uint64_t bytes = arrayHeadBytes(a.rank, strlen(name)) + (a.imag != nullptr ? 2 : 1) * part;
    if (bytes > UINT32_MAX) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "MAT-file array [%s] is too large", name);
        return 0;
    }
    return bytes;
}

// One data part of an array: its tag, the elements as stored (column-
// major), zero padding.
size_t putValues(unsigned char *out, size_t at, const velkio_MatArray &a, const void *values)
{
    size_t elementBytes = 0;
    uint32_t type = dataTypeOf(a.mxClass, &elementBytes);
    size_t count = 1;
    for (int d = 0; d < a.rank; d++)
        count *= (size_t)a.dims[d];
    at = putTag(out, at, type, (uint32_t)(count * elementBytes));
    const unsigned char *in = (const unsigned char *)values;
    for (size_t i = 0; i < count; i++, at += elementBytes, in += elementBytes) {
        if (elementBytes == 8) {
            uint64_t bits;
            memcpy(&bits, in, 8);
            put32(out + at, (uint32_t)(bits & 0xffffffffu));
            put32(out + at + 4, (uint32_t)(bits >> 32));
        } else {
            uint32_t bits;
            memcpy(&bits, in, 4);
            put32(out + at, bits);
        }
    }
    size_t end = (size_t)padded8(at);
    memset(out + at, 0, end - at);
    return end;
}

} // namespace

size_t velkio_MatFile_encodedSize(const velkio_Matrix *m, const char *name)
{
    uint64_t arrayBytes = arrayBytesOf(m, name != nullptr ? name : "tf");
    return arrayBytes == 0 ? 0 : headerSize + tagSize + (size_t)arrayBytes;
}

int velkio_MatFile_encodeTo(const velkio_Matrix *m, const char *name,
                            unsigned char *out, size_t size)
{
    if (name == nullptr)
        name = "tf";
    uint64_t arrayBytes = arrayBytesOf(m, name);
    if (arrayBytes == 0)
        return 1;
    if (out == nullptr || size != headerSize + tagSize + arrayBytes) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "MAT-file buffer of %zu bytes for a %d x %d matrix",
                   size, m->rows, m->cols);
        return 1;
    }
    encodeInto(m, name, arrayBytes, out);
    return 0;
}

unsigned char *velkio_MatFile_encode(const velkio_Matrix *m, const char *name,
                                     size_t *size)
{
    if (name == nullptr)
        name = "tf";
    uint64_t arrayBytes = arrayBytesOf(m, name);
    if (arrayBytes == 0)
        return nullptr;
    size_t total = headerSize + tagSize + (size_t)arrayBytes;
    unsigned char *out = (unsigned char *)malloc(total);
    if (out == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "can not allocate %zu bytes", total);
        return nullptr;
    }
    encodeInto(m, name, arrayBytes, out);
    if (size != nullptr)
        *size = total;
    return out;
}

velkio_Matrix *velkio_MatFile_decode(const unsigned char *bytes, size_t size,
                                     const char *what)
{
    if (what == nullptr)
        what = "MAT-file";
    const char *why = "no data";
    size_t start = 0, end = 0;
    Decoded d;
    if (bytes == nullptr || readContainer(bytes, size, &start, &end, &why) != 0 ||
        readArray(bytes, start, end, &d, &why) != 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "%s: %s", what, why);
        return nullptr;
    }
    velkio_Matrix *m = velkio_Matrix_newUncleared("complex", d.rows, d.cols);
    if (m == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "%s: can not hold a %d x %d matrix", what,
                   d.rows, d.cols);
        return nullptr;
    }
    // The file holds the columns one after the other; the matrix holds the
    // rows.  Written in the matrix's order, read across the columns.
    const unsigned char *re = bytes + d.real.data, *im = bytes + d.imag.data;
    const size_t stride = (size_t)d.rows * 4;
    velkio_Complex *out = m->data;
    for (int r = 0; r < d.rows; r++) {
        size_t k = (size_t)r * 4;
        for (int c = 0; c < d.cols; c++, k += stride)
            *out++ = velkio_Complex(getFloat(re + k), getFloat(im + k));
    }
    return m;
}

int velkio_MatFile_readHeader(const unsigned char *bytes, size_t n, int *rows, int *cols,
                              size_t *size, const char **why)
{
    Element top, name;
    size_t next = 0;
    if (bytes == nullptr) {
        *why = "no data";
        return 1;
    }
    if (readTop(bytes, n, &top, why) != 0 ||
        readFlagsAndDims(bytes, top.data, n, rows, cols, &next, why) != 0 ||
        readTag(bytes, next, n, &name, why) != 0)
        return 1;
    if (name.type != miINT8 || name.bytes == 0) {
        *why = "array name is not a non-empty miINT8 element";
        return 1;
    }
    // The most the dimensions call for: both parts in the long form.
    uint64_t part = tagSize + padded8((uint64_t)*rows * (uint64_t)*cols * 4);
    uint64_t most = (uint64_t)name.next + 2 * part;
    uint64_t total = (uint64_t)top.data + top.bytes;
    if (total > most) {
        *why = "matrix element is larger than its dimensions call for";
        return 1;
    }
    *size = (size_t)total;
    return 0;
}

int velkio_MatFile_check(const unsigned char *bytes, size_t size, const char *what)
{
    if (what == nullptr)
        what = "MAT-file";
    const char *why = "no data";
    size_t start = 0, end = 0;
    Decoded d;
    if (bytes == nullptr || readContainer(bytes, size, &start, &end, &why) != 0 ||
        readArray(bytes, start, end, &d, &why) != 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "%s: %s", what, why);
        return 1;
    }
    size_t n = (size_t)d.rows * (size_t)d.cols;
    const Element *parts[2] = {&d.real, &d.imag};
    for (int p = 0; p < 2; p++) {
        size_t k = firstNonFinite(bytes + parts[p]->data, n);
        if (k < n) {
            VELKIO_LOG(VELKIO_LOG_ERROR,
                       "%s: the %s part of row %zu, column %zu is not a finite number", what,
                       p == 0 ? "real" : "imaginary", k % (size_t)d.rows, k / (size_t)d.rows);
            return 1;
        }
    }
    return 0;
}

size_t velkio_MatFile_arraysSize(const velkio_MatArray *arrays, int count)
{
    if (arrays == nullptr || count < 1)
        return 0;
    uint64_t total = headerSize;
    for (int i = 0; i < count; i++) {
        uint64_t bytes = arrayElementBytes(arrays[i]);
        if (bytes == 0)
            return 0;
        total += tagSize + bytes;
    }
    if (total > SIZE_MAX)
        return 0;
    return (size_t)total;
}

int velkio_MatFile_encodeArrays(const velkio_MatArray *arrays, int count, unsigned char *out,
                                size_t size)
{
    if (out == nullptr || size == 0 || velkio_MatFile_arraysSize(arrays, count) != size) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "MAT-file buffer of %zu bytes does not fit the arrays",
                   size);
        return 1;
    }
    putFileHeader(out);
    size_t at = headerSize;
    for (int i = 0; i < count; i++) {
        const velkio_MatArray &a = arrays[i];
        uint32_t flags = (uint32_t)a.mxClass | (a.imag != nullptr ? flagComplex : 0);
        at = putArrayHead(out, at, arrayElementBytes(a), flags, a.dims, a.rank, a.name);
        at = putValues(out, at, a, a.real);
        if (a.imag != nullptr)
            at = putValues(out, at, a, a.imag);
    }
    return 0;
}
