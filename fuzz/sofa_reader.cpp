// Fuzz target: the SOFA reader of velktoolcli-sofa2tf.  The first byte
// picks the form of the rest:
//  - even: a description of a SOFA file (dimensions, global attributes,
//    variables with their shapes, types, attributes and values), which is
//    written as a netCDF-4 file with the netCDF library and read back in
//    this process.  The HDF5 layer then only sees well-formed files, and
//    the fuzzer explores the reader's own checks with coverage.
//  - odd: the bytes of a file, read as the program reads one: inside
//    sofa_isolate, where a fault of the HDF5 library on damaged bytes ends
//    the child process only (quietly).  This process must survive every
//    file.
// A file that passes the checks has its measurements read (the first 64).
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include <csignal>
#include <netcdf.h>
#include <netcdf_mem.h>
#include <sanitizer/common_interface_defs.h>
#include <unistd.h>

#include "sofaread.h"

namespace {

struct Input {
    const uint8_t *p;
    size_t n;
    uint8_t next()
    {
        if (n == 0)
            return 0;
        n--;
        return *p++;
    }
};

template <size_t K> const char *pick(Input &in, const char *const (&list)[K])
{
    return list[in.next() % K];
}

const size_t LENGTHS[] = {1, 3, 2, 0, 4, 7, 64, 65, 5, 100001, (size_t)1 << 20, 16};
const char *const DIMS[] = {"I", "C", "M", "R", "N", "E"};
const double VALUES[] = {0, 1, -1, 0.5, 3, 7, 90, -45, 1.4, 44100, 16000, 22050,
                         1e40, -1e-3, 2.5, std::numeric_limits<double>::quiet_NaN(),
                         std::numeric_limits<double>::infinity(), 1e9, 0.09, 64, 4000, 8000};
const char *const CONVENTIONS[] = {"GeneralFIR", "SimpleFreeFieldHRIR", "SingleRoomSRIR",
                                   "GeneralTF", "SimpleFreeFieldSOS", "", nullptr};
const char *const DATATYPES[] = {"FIR", "TF", "FIR-E", "TF-E", "SOS", nullptr};
const char *const SOFA[] = {"SOFA", "sofa", "", nullptr};
const char *const TYPES[] = {"cartesian", "spherical", "Spherical", "spherical harmonics", "",
                             nullptr};
const char *const UNITS[] = {"metre", "degree, degree, metre", "meter", "degrees,degrees,meters",
                             "hertz", "Hz", "metre, metre, metre", "", nullptr};

struct VarSpec {
    const char *name;
    std::vector<std::vector<const char *>> shapes;
};

const VarSpec VARIABLES[] = {
    {"ListenerPosition", {{"I", "C"}, {"M", "C"}, {"C", "I"}}},
    {"ListenerView", {{"I", "C"}, {"M", "C"}, {"C"}}},
    {"ListenerUp", {{"I", "C"}, {"M", "C"}}},
    {"ReceiverPosition", {{"R", "C", "I"}, {"R", "C", "M"}, {"R", "C"}}},
    {"SourcePosition", {{"M", "C"}, {"I", "C"}, {"R", "C"}}},
    {"EmitterPosition", {{"E", "C", "I"}, {"E", "C", "M"}, {"E", "C"}}},
    {"Data.IR", {{"M", "R", "N"}, {"R", "M", "N"}}},
    {"Data.Real", {{"M", "R", "N"}, {"M", "N", "R"}}},
    {"Data.Imag", {{"M", "R", "N"}, {"M", "R"}}},
    {"Data.SamplingRate", {{"I"}, {"M"}, {"R"}}},
    {"Data.Delay", {{"I", "R"}, {"M", "R"}, {"R"}}},
    {"N", {{"N"}, {"M"}}},
    {"SourceId", {{"M"}, {"R"}}},
    {"ReceiverId", {{"R"}, {"M"}}},
};
const nc_type NUMBER_TYPES[] = {NC_DOUBLE, NC_FLOAT, NC_INT, NC_SHORT, NC_CHAR, NC_INT64};

void textAttribute(int nc, int var, const char *name, const char *value, uint8_t how)
{
    if (value == nullptr)
        return;
    if (how % 4 == 3) {
        nc_put_att_string(nc, var, name, 1, &value);
    } else if (how % 4 == 2) {
        int number = 1;
        nc_put_att_int(nc, var, name, NC_INT, 1, &number);
    } else {
        nc_put_att_text(nc, var, name, strlen(value), value);
    }
}

// The file a description calls for, or an empty vector when the netCDF
// library refuses it.
std::vector<unsigned char> describedFile(Input in)
{
    std::vector<unsigned char> bytes;
    int nc = -1;
    if (nc_create_mem("fuzz.sofa", NC_NETCDF4, 4096, &nc) != NC_NOERR)
        return bytes;
    for (const char *d : DIMS) {
        uint8_t b = in.next();
        int id;
        if (b < 0xf0)
            nc_def_dim(nc, d, LENGTHS[b % (sizeof LENGTHS / sizeof *LENGTHS)], &id);
    }
    textAttribute(nc, NC_GLOBAL, "Conventions", pick(in, SOFA), in.next());
    textAttribute(nc, NC_GLOBAL, "SOFAConventions", pick(in, CONVENTIONS), in.next());
    textAttribute(nc, NC_GLOBAL, "DataType", pick(in, DATATYPES), in.next());
    struct Defined {
        int id;
        size_t count;
    };
    std::vector<Defined> defined;
    for (const VarSpec &v : VARIABLES) {
        uint8_t b = in.next();
        if (b % 8 == 7)
            continue;
        const std::vector<const char *> &shape = v.shapes[b % v.shapes.size()];
        std::vector<int> dims;
        size_t count = 1;
        for (const char *d : shape) {
            int id = -1;
            size_t len = 0;
            if (nc_inq_dimid(nc, d, &id) != NC_NOERR || nc_inq_dimlen(nc, id, &len) != NC_NOERR)
                break;
            dims.push_back(id);
            count = len == 0 || count > (1u << 20) / (len + 1) ? (size_t)1 << 21 : count * len;
        }
        if (dims.size() != shape.size())
            continue;
        nc_type type = NUMBER_TYPES[in.next() % (sizeof NUMBER_TYPES / sizeof *NUMBER_TYPES)];
        int var = -1;
        if (nc_def_var(nc, v.name, type, (int)dims.size(), dims.data(), &var) != NC_NOERR)
            continue;
        uint8_t how = in.next();
        if (how & 1)
            nc_def_var_deflate(nc, var, 1, 1, 1);
        textAttribute(nc, var, "Type", pick(in, TYPES), how >> 1);
        textAttribute(nc, var, "Units", pick(in, UNITS), how >> 3);
        defined.push_back({var, count});
    }
    if (nc_enddef(nc) == NC_NOERR) {
        // Values for the variables of at most 4096 values (the others keep
        // the fill value); NC_CHAR variables refuse numbers, which is fine.
        for (const Defined &d : defined) {
            if (d.count == 0 || d.count > 4096)
                continue;
            std::vector<double> values(d.count);
            for (size_t i = 0; i < d.count; i++) {
                uint8_t b = in.next();
                values[i] = b < 0xe0 ? VALUES[b % (sizeof VALUES / sizeof *VALUES)]
                                     : (double)(int8_t)in.next() / 8;
            }
            nc_put_var_double(nc, d.id, values.data());
        }
    }
    NC_memio memio = {0, nullptr, 0};
    if (nc_close_memio(nc, &memio) == NC_NOERR && memio.memory != nullptr)
        bytes.assign((unsigned char *)memio.memory, (unsigned char *)memio.memory + memio.size);
    free(memio.memory);
    return bytes;
}

struct Raw {
    const uint8_t *data;
    size_t size;
};

int readAll(const uint8_t *data, size_t size)
{
    sofa_Input in;
    if (sofa_open(data, size, "fuzz.sofa", &in) != 0)
        return 1;
    const size_t n = in.receivers * in.length;
    std::vector<float> samples(in.transferFunctions ? 0 : n);
    std::vector<velkio_Complex> bins(in.transferFunctions ? n : 0);
    int failed = 0;
    for (size_t m = 0; m < in.measurements && m < 64 && failed == 0; m++)
        failed = in.transferFunctions ? sofa_readTransferFunctions(in, m, bins.data())
                                      : sofa_readImpulseResponses(in, m, samples.data());
    sofa_close(&in);
    return failed;
}

void quietDeath()
{
    _exit(1);
}

// In the reader's process: a fault of the libraries ends it quietly, as it
// would end the program's reader, instead of being reported as a finding
// (the faults of our own code are found with the descriptions).
int readRaw(void *arg)
{
    __sanitizer_set_death_callback(quietDeath);
    for (int sig : {SIGSEGV, SIGBUS, SIGABRT, SIGILL, SIGFPE})
        signal(sig, SIG_DFL);
    const Raw &raw = *(const Raw *)arg;
    return readAll(raw.data, raw.size);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    if (data[0] % 2 == 0) {
        std::vector<unsigned char> file = describedFile(Input{data + 1, size - 1});
        if (!file.empty())
            readAll(file.data(), file.size());
        return 0;
    }
    // Damaged files that make the libraries loop are ended within the
    // fuzzer's time limit.
    sofa_librarySeconds = 2;
    Raw raw = {data + 1, size - 1};
    sofa_isolate("fuzz.sofa", readRaw, &raw);
    return 0;
}
