// SOFA files in memory: the checks and readers of sofaread.h.
#include "sofaread.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstring>
#include <initializer_list>

#include <netcdf.h>
#include <netcdf_filter.h>
#include <netcdf_mem.h>
#include <csignal>
#include <cstdio>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

/* ------------------------------------------------------------------ */
/* The libraries in a child process                                    */
/* ------------------------------------------------------------------ */

unsigned sofa_librarySeconds = 20;

namespace {

bool isolated = false;

// Limits the time of the calls into the libraries made during its life,
// inside sofa_isolate.
struct LibraryGuard {
    LibraryGuard()
    {
        if (isolated && sofa_librarySeconds > 0)
            alarm(sofa_librarySeconds);
    }
    ~LibraryGuard()
    {
        if (isolated)
            alarm(0);
    }
};

} // namespace

int sofa_isolate(const char *name, int (*fn)(void *), void *arg)
{
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid < 0) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "%s: can not start the reader: %s", name, strerror(errno));
        return 1;
    }
    if (pid == 0) {
        isolated = true;
        signal(SIGALRM, SIG_DFL);
        int result = fn(arg);
        fflush(stdout);
        fflush(stderr);
        _exit(result == 0 ? 0 : 1);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            VELKIO_LOG(VELKIO_LOG_ERROR, "%s: the reader was lost: %s", name, strerror(errno));
            return 1;
        }
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status) == 0 ? 0 : 1;
    int sig = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    // Ended from outside (kill, Ctrl-C, a hang-up, the out-of-memory
    // killer), not by the file: the program ends by the same signal, as it
    // would without a reader process, instead of calling the file damaged.
    if (sig == SIGKILL || sig == SIGTERM || sig == SIGINT || sig == SIGHUP) {
        signal(sig, SIG_DFL);
        raise(sig);
    }
    if (sig == SIGALRM)
        VELKIO_LOG(VELKIO_LOG_ERROR, "%s: the netCDF-4 library took more than %u s on one step "
                   "of reading this file: the file is damaged", name, sofa_librarySeconds);
    else
        VELKIO_LOG(VELKIO_LOG_ERROR, "%s: the netCDF-4 library failed on this file (%s): the "
                   "file is damaged", name, sig != 0 ? strsignal(sig) : "stopped");
    return 1;
}

/* ------------------------------------------------------------------ */
/* The file                                                            */
/* ------------------------------------------------------------------ */

int sofa_readFile(const char *path, std::vector<unsigned char> *bytes)
{
    int fd = velkio_File_openRegular(path);
    if (fd < 0) {
        if (errno != EINVAL) // a file that is not regular was reported
            velkio_Log_FileOpenFailed(path);
        return 1;
    }
    struct stat st;
    int result = 0;
    if (fstat(fd, &st) != 0 || st.st_size < 0 || (unsigned long long)st.st_size > SOFA_MAX_FILE_BYTES) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "%s: %lld bytes; SOFA files of up to %zu bytes are read",
                   path, (long long)st.st_size, SOFA_MAX_FILE_BYTES);
        result = 1;
    } else {
        // One byte more than the size, to see a file that grows meanwhile.
        size_t want = (size_t)st.st_size + 1, have = 0;
        bytes->assign(want, 0);
        for (;;) {
            ssize_t got = read(fd, bytes->data() + have, want - have);
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0) {
                VELKIO_LOG(VELKIO_LOG_ERROR, "%s: read error: %s", path, strerror(errno));
                result = 1;
            }
            if (got <= 0)
                break;
            have += (size_t)got;
            if (have == want) {
                VELKIO_LOG(VELKIO_LOG_ERROR, "%s: the file grows while it is read", path);
                result = 1;
                break;
            }
        }
        bytes->resize(have);
    }
    close(fd);
    return result;
}

/* ------------------------------------------------------------------ */
/* Dimensions, variables and attributes                                */
/* ------------------------------------------------------------------ */

namespace {

// Every message names the file.
#define SOFA_FAIL(in, fmt, ...) \
    (VELKIO_LOG(VELKIO_LOG_ERROR, "%s: " fmt, (in).name.c_str(), ##__VA_ARGS__), 1)

const size_t MAX_TEXT = 65536; // the longest attribute text taken

std::string lower(std::string s)
{
    for (char &c : s)
        c = (char)tolower((unsigned char)c);
    return s;
}

// The length of a dimension; *len 0 and 0 returned when it is absent.
int dimLength(const sofa_Input &in, const char *name, size_t *len, bool *present)
{
    int dim = -1;
    *len = 0;
    *present = nc_inq_dimid(in.ncid, name, &dim) == NC_NOERR;
    if (*present && nc_inq_dimlen(in.ncid, dim, len) != NC_NOERR)
        return SOFA_FAIL(in, "dimension %s can not be read", name);
    return 0;
}

// A variable: its id, type and the names of its dimensions.
struct Var {
    const char *name = "";
    int id = -1;
    nc_type type = NC_NAT;
    std::vector<std::string> dims;
    size_t count = 1; // number of values
};

bool numeric(nc_type t)
{
    return t >= NC_BYTE && t <= NC_UINT64 && t != NC_CHAR;
}

template <class Names> std::string shapeText(const Names &dims)
{
    std::string s = "[";
    for (const auto &d : dims)
        s += std::string(s.size() > 1 ? " " : "") + d;
    return s + "]";
}

// Looks up a variable.  Absent: 0 with v->id -1 (a failure when
// required).  Present: numeric, stored with the filters of netCDF's own
// (deflate, shuffle, checksum) only, in chunks of at most
// SOFA_MAX_CHUNK_BYTES.
int findVar(const sofa_Input &in, const char *name, bool required, Var *v)
{
    v->name = name;
    if (nc_inq_varid(in.ncid, name, &v->id) != NC_NOERR) {
        v->id = -1;
        return required ? SOFA_FAIL(in, "variable %s is missing", name) : 0;
    }
    int ndims = 0;
    int dimids[NC_MAX_VAR_DIMS];
    if (nc_inq_varndims(in.ncid, v->id, &ndims) != NC_NOERR || ndims < 0 ||
        ndims > NC_MAX_VAR_DIMS || nc_inq_var(in.ncid, v->id, nullptr, &v->type, &ndims, dimids,
                                              nullptr) != NC_NOERR)
        return SOFA_FAIL(in, "variable %s can not be read", name);
    if (!numeric(v->type))
        return SOFA_FAIL(in, "variable %s does not hold numbers", name);
    size_t elementBytes = 0;
    if (nc_inq_type(in.ncid, v->type, nullptr, &elementBytes) != NC_NOERR || elementBytes == 0)
        return SOFA_FAIL(in, "variable %s has an unknown type", name);
    for (int d = 0; d < ndims; d++) {
        char dimName[NC_MAX_NAME + 1] = "";
        if (nc_inq_dimname(in.ncid, dimids[d], dimName) != NC_NOERR)
            return SOFA_FAIL(in, "variable %s: its dimensions can not be read", name);
        v->dims.push_back(dimName);
    }
    size_t filters = 0;
    unsigned int ids[8];
    if (nc_inq_var_filter_ids(in.ncid, v->id, &filters, nullptr) != NC_NOERR || filters > 8 ||
        (filters > 0 && nc_inq_var_filter_ids(in.ncid, v->id, &filters, ids) != NC_NOERR))
        return SOFA_FAIL(in, "variable %s: its filters can not be read", name);
    for (size_t f = 0; f < filters; f++)
        if (ids[f] != H5Z_FILTER_DEFLATE && ids[f] != H5Z_FILTER_SHUFFLE &&
            ids[f] != H5Z_FILTER_FLETCHER32)
            return SOFA_FAIL(in, "variable %s is stored with filter %u, which is not read",
                             name, ids[f]);
    int storage = 0;
    size_t chunks[NC_MAX_VAR_DIMS];
    if (nc_inq_var_chunking(in.ncid, v->id, &storage, chunks) != NC_NOERR)
        return SOFA_FAIL(in, "variable %s: its storage can not be read", name);
    if (storage == NC_CHUNKED) {
        size_t bytes = elementBytes;
        for (int d = 0; d < ndims; d++) {
            if (chunks[d] == 0 || bytes > SOFA_MAX_CHUNK_BYTES / chunks[d])
                return SOFA_FAIL(in, "variable %s is stored in chunks of more than %zu bytes",
                                 name, SOFA_MAX_CHUNK_BYTES);
            bytes *= chunks[d];
        }
    }
    return 0;
}

// The variable has exactly these dimensions; *count is set to the number
// of its values, which the dimensions' checked lengths bound.
bool hasShape(const sofa_Input &in, Var *v, std::initializer_list<const char *> names)
{
    if (v->dims.size() != names.size())
        return false;
    size_t i = 0, count = 1;
    for (const char *n : names) {
        if (v->dims[i++] != n)
            return false;
        int dim = -1;
        size_t len = 0;
        if (nc_inq_dimid(in.ncid, n, &dim) != NC_NOERR ||
            nc_inq_dimlen(in.ncid, dim, &len) != NC_NOERR)
            return false;
        count *= len;
    }
    v->count = count;
    return true;
}

// A text attribute (NC_CHAR, or one NC_STRING).  Absent: 0 with *present
// false (a failure when required).
int textAttr(const sofa_Input &in, int var, const char *varName, const char *name,
             bool required, std::string *out, bool *present = nullptr)
{
    nc_type type = NC_NAT;
    size_t len = 0;
    out->clear();
    bool here = nc_inq_att(in.ncid, var, name, &type, &len) == NC_NOERR;
    if (present != nullptr)
        *present = here;
    if (!here) {
        if (!required)
            return 0;
        return var == NC_GLOBAL ? SOFA_FAIL(in, "global attribute %s is missing", name)
                                : SOFA_FAIL(in, "attribute %s of %s is missing", name, varName);
    }
    if (type == NC_CHAR && len <= MAX_TEXT) {
        out->assign(len, '\0');
        if (len > 0 && nc_get_att_text(in.ncid, var, name, out->data()) != NC_NOERR)
            return SOFA_FAIL(in, "attribute %s can not be read", name);
    } else if (type == NC_STRING && len == 1) {
        char *s = nullptr;
        if (nc_get_att_string(in.ncid, var, name, &s) != NC_NOERR)
            return SOFA_FAIL(in, "attribute %s can not be read", name);
        if (s != nullptr)
            out->assign(s, strnlen(s, MAX_TEXT + 1));
        nc_free_string(1, &s);
        if (out->size() > MAX_TEXT)
            return SOFA_FAIL(in, "attribute %s is longer than %zu bytes", name, MAX_TEXT);
    } else {
        return SOFA_FAIL(in, "attribute %s%s%s is not a text of at most %zu bytes", varName,
                         var == NC_GLOBAL ? "" : ":", name, MAX_TEXT);
    }
    while (!out->empty() && out->back() == '\0')
        out->pop_back();
    return 0;
}

// All values of a (small) variable, whose count hasShape has set.
int readAll(const sofa_Input &in, const Var &v, std::vector<double> *values)
{
    values->assign(v.count, 0);
    if (v.count > 0 && nc_get_var_double(in.ncid, v.id, values->data()) != NC_NOERR)
        return SOFA_FAIL(in, "variable %s can not be read", v.name);
    for (double x : *values)
        if (!std::isfinite(x))
            return SOFA_FAIL(in, "variable %s holds a value that is not a finite number",
                             v.name);
    return 0;
}

/* ------------------------------------------------------------------ */
/* Convention and dimensions                                           */
/* ------------------------------------------------------------------ */

int checkConvention(sofa_Input *in)
{
    std::string conventions, dataType, version;
    if (textAttr(*in, NC_GLOBAL, "", "Conventions", true, &conventions) != 0 ||
        textAttr(*in, NC_GLOBAL, "", "SOFAConventions", true, &in->conventions) != 0 ||
        textAttr(*in, NC_GLOBAL, "", "DataType", true, &dataType) != 0 ||
        textAttr(*in, NC_GLOBAL, "", "SOFAConventionsVersion", false,
                 &in->conventionsVersion) != 0 ||
        textAttr(*in, NC_GLOBAL, "", "Version", false, &version) != 0)
        return 1;
    if (conventions != "SOFA")
        return SOFA_FAIL(*in, "Conventions is [%.64s], not [SOFA]", conventions.c_str());
    if (dataType == "FIR-E" || dataType == "TF-E")
        return SOFA_FAIL(*in, "DataType %s: several emitters per measurement, while an archive "
                         "holds one source per transfer function", dataType.c_str());
    const std::string &c = in->conventions;
    bool fir = c == "SimpleFreeFieldHRIR" || c == "GeneralFIR" || c == "SingleRoomSRIR";
    bool tf = c == "GeneralTF";
    if (!fir && !tf)
        return SOFA_FAIL(*in, "convention [%.64s] is not read (SimpleFreeFieldHRIR, GeneralFIR, "
                         "SingleRoomSRIR, GeneralTF are)", c.c_str());
    if ((fir && dataType != "FIR") || (tf && dataType != "TF"))
        return SOFA_FAIL(*in, "convention %s with DataType [%.64s]; expected %s", c.c_str(),
                         dataType.c_str(), fir ? "FIR" : "TF");
    in->transferFunctions = tf;
    VELKIO_LOG(VELKIO_LOG_INFO, "%s: SOFA %.16s, %s %.16s", in->name.c_str(), version.c_str(),
               c.c_str(), in->conventionsVersion.c_str());
    return 0;
}

int checkDimensions(sofa_Input *in)
{
    size_t I = 0, C = 0, E = 0;
    bool hasI, hasC, hasE, hasM, hasR, hasN;
    if (dimLength(*in, "I", &I, &hasI) || dimLength(*in, "C", &C, &hasC) ||
        dimLength(*in, "E", &E, &hasE) || dimLength(*in, "M", &in->measurements, &hasM) ||
        dimLength(*in, "R", &in->receivers, &hasR) || dimLength(*in, "N", &in->length, &hasN))
        return 1;
    if (!hasI || !hasC || !hasM || !hasR || !hasN)
        return SOFA_FAIL(*in, "one of the dimensions I, C, M, R, N is missing");
    if (I != 1 || C != 3)
        return SOFA_FAIL(*in, "dimension I is %zu and C is %zu; they must be 1 and 3", I, C);
    if (hasE && E != 1)
        return SOFA_FAIL(*in, "%zu emitters (dimension E): an archive holds one source per "
                         "transfer function", E);
    const size_t M = in->measurements, R = in->receivers, N = in->length;
    if (M < 1 || M > SOFA_MAX_MEASUREMENTS)
        return SOFA_FAIL(*in, "%zu measurements (dimension M); 1 to %zu are taken", M,
                         SOFA_MAX_MEASUREMENTS);
    if (R < 1 || R > SOFA_MAX_RECEIVERS)
        return SOFA_FAIL(*in, "%zu receivers (dimension R); an archive holds 1 to %zu "
                         "microphones", R, SOFA_MAX_RECEIVERS);
    if (N < 1 || N > SOFA_MAX_MEASUREMENT_VALUES / R)
        return SOFA_FAIL(*in, "%zu %s (dimension N) for %zu receivers: more than %zu values "
                         "per measurement", N, in->transferFunctions ? "bins" : "samples", R,
                         SOFA_MAX_MEASUREMENT_VALUES);
    return 0;
}

/* ------------------------------------------------------------------ */
/* Data                                                                */
/* ------------------------------------------------------------------ */

// Value `i` of a variable that holds one value per measurement or one
// for all (count 1): all must be equal.
int sameForAll(const sofa_Input &in, const Var &v, const std::vector<double> &values,
               size_t width, const char *what)
{
    for (size_t i = width; i < values.size(); i++)
        if (fabs(values[i] - values[i % width]) > 1e-9 * (1 + fabs(values[i % width])))
            return SOFA_FAIL(in, "%s differs between measurements (%s): an archive holds one",
                             what, v.name);
    return 0;
}

bool wholeNumber(double x)
{
    return std::isfinite(x) && fabs(x - std::round(x)) <= 1e-6 * (1 + fabs(x));
}

int checkSamplingRate(sofa_Input *in)
{
    Var v;
    std::vector<double> rates;
    std::string units;
    bool hasUnits = false;
    if (findVar(*in, "Data.SamplingRate", true, &v) != 0)
        return 1;
    if (!hasShape(*in, &v, {"I"}) && !hasShape(*in, &v, {"M"}))
        return SOFA_FAIL(*in, "Data.SamplingRate has dimensions %s; expected [I] or [M]",
                         shapeText(v.dims).c_str());
    if (textAttr(*in, v.id, v.name, "Units", false, &units, &hasUnits) != 0 ||
        readAll(*in, v, &rates) != 0 || sameForAll(*in, v, rates, 1, "the sampling rate") != 0)
        return 1;
    if (hasUnits && lower(units) != "hertz")
        return SOFA_FAIL(*in, "Data.SamplingRate is in [%.32s], not hertz", units.c_str());
    double rate = rates[0];
    if (!wholeNumber(rate) || rate < 1 || rate > INT_MAX)
        return SOFA_FAIL(*in, "sampling rate %g Hz: an archive holds a whole number of hertz "
                         "from 1 to %d", rate, INT_MAX);
    in->samplingRate = (int)std::round(rate);
    return 0;
}

int checkDelays(sofa_Input *in)
{
    Var v;
    if (findVar(*in, "Data.Delay", false, &v) != 0)
        return 1;
    if (v.id < 0) {
        in->delays.assign(in->receivers, 0);
        return 0;
    }
    in->delayPerMeasurement = hasShape(*in, &v, {"M", "R"});
    if (!in->delayPerMeasurement && !hasShape(*in, &v, {"I", "R"}))
        return SOFA_FAIL(*in, "Data.Delay has dimensions %s; expected [I R] or [M R]",
                         shapeText(v.dims).c_str());
    std::vector<double> values;
    if (readAll(*in, v, &values) != 0)
        return 1;
    for (double d : values) {
        if (!wholeNumber(d) || d < 0 || d > SOFA_MAX_DELAY)
            return SOFA_FAIL(*in, "Data.Delay holds %g: delays of 0 to %d whole samples are "
                             "taken", d, SOFA_MAX_DELAY);
        in->delays.push_back((int)std::round(d));
        in->maxDelay = std::max(in->maxDelay, in->delays.back());
    }
    if (in->receivers * (in->length + (size_t)in->maxDelay) > SOFA_MAX_MEASUREMENT_VALUES)
        return SOFA_FAIL(*in, "impulse responses of %zu samples delayed by up to %d: more "
                         "than %zu values per measurement", in->length, in->maxDelay,
                         SOFA_MAX_MEASUREMENT_VALUES);
    return 0;
}

// N of a transfer-function file: the frequencies k * rate / nfft of the
// bins 0 .. nfft/2, which give nfft and the sampling rate.
int checkFrequencies(sofa_Input *in)
{
    Var v;
    std::string units;
    std::vector<double> f;
    if (findVar(*in, "N", true, &v) != 0)
        return 1;
    if (!hasShape(*in, &v, {"N"}))
        return SOFA_FAIL(*in, "N has dimensions %s; expected [N]", shapeText(v.dims).c_str());
    if (textAttr(*in, v.id, "N", "Units", true, &units) != 0 || readAll(*in, v, &f) != 0)
        return 1;
    if (lower(units) != "hertz")
        return SOFA_FAIL(*in, "N is in [%.32s], not hertz", units.c_str());
    size_t bins = in->length;
    size_t nfft = 2 * (bins - 1);
    if (bins < 3 || nfft > (size_t)SOFA_MAX_NFFT || (nfft & (nfft - 1)) != 0)
        return SOFA_FAIL(*in, "%zu frequencies: the bins 0 .. nfft/2 of a power of two nfft "
                         "from 4 to %d are taken", bins, SOFA_MAX_NFFT);
    double rate = 2 * f[bins - 1];
    if (!wholeNumber(rate) || rate < 1 || rate > INT_MAX)
        return SOFA_FAIL(*in, "the last frequency %g Hz is not half a whole sampling rate",
                         f[bins - 1]);
    rate = std::round(rate);
    for (size_t k = 0; k < bins; k++)
        if (fabs(f[k] - (double)k * rate / (double)nfft) > 1e-6 * rate)
            return SOFA_FAIL(*in, "frequency %zu is %g Hz; the bins of nfft %zu at %g Hz are "
                             "%g Hz apart", k, f[k], nfft, rate, rate / (double)nfft);
    in->nfft = (int)nfft;
    in->samplingRate = (int)rate;
    return 0;
}

// A data variable is read one measurement at a time.  Its chunks that
// hold one measurement also hold the measurements that follow, which the
// next reads need: the chunk cache is made large enough to keep them all
// (within SOFA_MAX_CHUNK_BYTES), so that each chunk is inflated once.
void cacheMeasurementChunks(const sofa_Input &in, int var)
{
    int storage = 0;
    size_t chunks[3] = {0, 0, 0}, elementBytes = 0;
    nc_type type = NC_NAT;
    if (nc_inq_var_chunking(in.ncid, var, &storage, chunks) != NC_NOERR ||
        storage != NC_CHUNKED || nc_inq_vartype(in.ncid, var, &type) != NC_NOERR ||
        nc_inq_type(in.ncid, type, nullptr, &elementBytes) != NC_NOERR)
        return;
    // Chunks that one measurement touches, and their bytes (each chunk is
    // at most SOFA_MAX_CHUNK_BYTES, and the counts are bounded by R and N).
    double touched = std::ceil((double)in.receivers / (double)chunks[1]) *
                     std::ceil((double)in.length / (double)chunks[2]);
    double bytes = touched * (double)elementBytes * (double)chunks[0] * (double)chunks[1] *
                   (double)chunks[2];
    if (bytes > (double)SOFA_MAX_CHUNK_BYTES)
        bytes = (double)SOFA_MAX_CHUNK_BYTES;
    size_t slots = touched * 10 < 1e6 ? (size_t)(touched * 10) + 1009 : 1000003;
    nc_set_var_chunk_cache(in.ncid, var, (size_t)bytes + 4096, slots, 0.75f);
}

int checkData(sofa_Input *in)
{
    Var data, imag;
    const char *name = in->transferFunctions ? "Data.Real" : "Data.IR";
    if (findVar(*in, name, true, &data) != 0)
        return 1;
    if (!hasShape(*in, &data, {"M", "R", "N"}))
        return SOFA_FAIL(*in, "%s has dimensions %s; expected [M R N]", name,
                         shapeText(data.dims).c_str());
    in->dataVar = data.id;
    cacheMeasurementChunks(*in, data.id);
    if (!in->transferFunctions)
        return checkSamplingRate(in) || checkDelays(in);
    if (findVar(*in, "Data.Imag", true, &imag) != 0)
        return 1;
    if (!hasShape(*in, &imag, {"M", "R", "N"}))
        return SOFA_FAIL(*in, "Data.Imag has dimensions %s; expected [M R N]",
                         shapeText(imag.dims).c_str());
    in->imagVar = imag.id;
    cacheMeasurementChunks(*in, imag.id);
    return checkFrequencies(in);
}

/* ------------------------------------------------------------------ */
/* Positions                                                           */
/* ------------------------------------------------------------------ */

struct Position {
    bool cartesian = true;
    double v[3] = {0, 0, 0};
};

bool metres(const std::string &unit)
{
    return unit == "metre" || unit == "meter" || unit == "metres" || unit == "meters" ||
           unit == "m";
}

bool degrees(const std::string &unit)
{
    return unit == "degree" || unit == "degrees";
}

// The comma-separated units, lower case, blanks trimmed.
std::vector<std::string> unitList(const std::string &text)
{
    std::vector<std::string> out;
    std::string item;
    for (size_t i = 0; i <= text.size(); i++) {
        if (i == text.size() || text[i] == ',') {
            size_t a = item.find_first_not_of(' '), b = item.find_last_not_of(' ');
            out.push_back(a == std::string::npos ? "" : lower(item.substr(a, b - a + 1)));
            item.clear();
        } else {
            item += text[i];
        }
    }
    return out;
}

// Type and Units of a position variable: *cartesian is set.
int positionKind(const sofa_Input &in, const Var &v, const char *typeOf, bool *cartesian)
{
    std::string type, units;
    int var = v.id;
    // A variable without a Type of its own shares that of `typeOf`.
    if (typeOf != nullptr && nc_inq_atttype(in.ncid, v.id, "Type", nullptr) != NC_NOERR &&
        nc_inq_varid(in.ncid, typeOf, &var) != NC_NOERR)
        var = v.id;
    if (textAttr(in, var, v.name, "Type", true, &type) != 0 ||
        textAttr(in, var, v.name, "Units", true, &units) != 0)
        return 1;
    std::vector<std::string> u = unitList(units);
    type = lower(type);
    if (type == "cartesian" &&
        ((u.size() == 1 && metres(u[0])) ||
         (u.size() == 3 && metres(u[0]) && metres(u[1]) && metres(u[2])))) {
        *cartesian = true;
        return 0;
    }
    if (type == "spherical" && u.size() == 3 && degrees(u[0]) && degrees(u[1]) &&
        metres(u[2])) {
        *cartesian = false;
        return 0;
    }
    return SOFA_FAIL(in, "%s is of Type [%.32s] in [%.64s]; cartesian in metre or spherical in "
                     "degree, degree, metre are read", v.name, type.c_str(), units.c_str());
}

Position at(const std::vector<double> &values, size_t row, bool cartesian)
{
    Position p;
    p.cartesian = cartesian;
    for (int c = 0; c < 3; c++)
        p.v[c] = values[row * 3 + c];
    return p;
}

void toCartesian(const Position &p, double out[3])
{
    if (p.cartesian) {
        memcpy(out, p.v, sizeof p.v);
        return;
    }
    double az = p.v[0] * M_PI / 180, el = p.v[1] * M_PI / 180, r = p.v[2];
    out[0] = r * cos(el) * cos(az);
    out[1] = r * cos(el) * sin(az);
    out[2] = r * sin(el);
}

// A position variable of the given shapes (the first with one row for
// all, the second with one per measurement, M, when `perMeasurement`),
// with its Type and Units; rows that must not vary are checked.  *values
// holds rows x 3.
int positionVar(const sofa_Input &in, const char *name, bool required,
                std::initializer_list<const char *> shared,
                std::initializer_list<const char *> perMeasurement, const char *what,
                const char *typeOf, Var *v, std::vector<double> *values, bool *cartesian,
                bool mayVary = false)
{
    if (findVar(in, name, required, v) != 0)
        return 1;
    if (v->id < 0)
        return 0;
    bool varies = hasShape(in, v, perMeasurement);
    if (!varies && !hasShape(in, v, shared))
        return SOFA_FAIL(in, "%s has dimensions %s; expected %s or %s", name,
                         shapeText(v->dims).c_str(), shapeText(shared).c_str(),
                         shapeText(perMeasurement).c_str());
    if (positionKind(in, *v, typeOf, cartesian) != 0 || readAll(in, *v, values) != 0)
        return 1;
    if (varies && !mayVary) {
        // M first ([M C]): value i belongs to the row i / (count / M);
        // M last ([R C M]): to measurement i % M.  Each value is compared
        // with the same value of measurement 0.
        const size_t M = in.measurements, rowValues = v->count / M;
        const bool last = v->dims.back() == "M";
        for (size_t i = 0; i < values->size(); i++) {
            size_t first = last ? i - i % M : i % rowValues;
            if (fabs((*values)[i] - (*values)[first]) > 1e-9)
                return SOFA_FAIL(in, "%s changes between measurements: %s that moves is not "
                                 "taken", name, what);
        }
    }
    return 0;
}

double dot(const double a[3], const double b[3])
{
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

// The listener's place and frame: origin, view (x), left (y), up (z).
struct Frame {
    double origin[3] = {0, 0, 0};
    double x[3] = {1, 0, 0}, y[3] = {0, 1, 0}, z[3] = {0, 0, 1};
    bool identity = true;
};

int listenerFrame(const sofa_Input &in, Frame *f)
{
    Var pos, view, up;
    std::vector<double> p, vv, uu;
    bool cart = true, viewCart = true, upCart = true;
    if (positionVar(in, "ListenerPosition", true, {"I", "C"}, {"M", "C"}, "a listener", nullptr,
                    &pos, &p, &cart) != 0 ||
        positionVar(in, "ListenerView", false, {"I", "C"}, {"M", "C"}, "a listener that turns",
                    nullptr, &view, &vv, &viewCart) != 0 ||
        positionVar(in, "ListenerUp", false, {"I", "C"}, {"M", "C"}, "a listener that turns",
                    "ListenerView", &up, &uu, &upCart) != 0)
        return 1;
    toCartesian(at(p, 0, cart), f->origin);
    double v[3] = {1, 0, 0}, u[3] = {0, 0, 1};
    if (view.id >= 0) {
        Position d = at(vv, 0, viewCart);
        if (!viewCart)
            d.v[2] = 1; // a direction: the radius does not matter
        toCartesian(d, v);
    }
    if (up.id >= 0) {
        Position d = at(uu, 0, upCart);
        if (!upCart)
            d.v[2] = 1;
        toCartesian(d, u);
    }
    double nv = sqrt(dot(v, v));
    if (!(nv > 1e-12))
        return SOFA_FAIL(in, "ListenerView has no direction");
    for (int c = 0; c < 3; c++)
        f->x[c] = v[c] / nv;
    double along = dot(u, f->x);
    for (int c = 0; c < 3; c++)
        f->z[c] = u[c] - along * f->x[c];
    double nu = sqrt(dot(f->z, f->z));
    if (!(nu > 1e-9 * (1 + sqrt(dot(u, u)))))
        return SOFA_FAIL(in, "ListenerUp is parallel to ListenerView: the listener's frame is "
                         "undefined");
    for (int c = 0; c < 3; c++)
        f->z[c] /= nu;
    // y = z x x (right-handed: x forward, y left, z up).
    f->y[0] = f->z[1] * f->x[2] - f->z[2] * f->x[1];
    f->y[1] = f->z[2] * f->x[0] - f->z[0] * f->x[2];
    f->y[2] = f->z[0] * f->x[1] - f->z[1] * f->x[0];
    const double tol = 1e-12;
    f->identity = dot(f->origin, f->origin) <= tol && fabs(f->x[0] - 1) <= tol &&
                  fabs(f->z[2] - 1) <= tol;
    return 0;
}

// Single-precision coordinates of a position; a value beyond single
// precision is refused.
int storeFloat(const sofa_Input &in, const char *name, const double v[3], std::vector<float> *out)
{
    for (int c = 0; c < 3; c++) {
        if (!(fabs(v[c]) <= FLT_MAX))
            return SOFA_FAIL(in, "%s holds %g, beyond single precision", name, v[c]);
        out->push_back((float)v[c]);
    }
    return 0;
}

int checkEmitter(const sofa_Input &in)
{
    Var v;
    std::vector<double> values;
    bool cart = true;
    if (positionVar(in, "EmitterPosition", false, {"E", "C", "I"}, {"E", "C", "M"},
                    "an emitter", nullptr, &v, &values, &cart, true) != 0)
        return 1;
    for (double x : values)
        if (fabs(x) > 1e-9)
            return SOFA_FAIL(in, "EmitterPosition is not 0 0 0: an emitter away from its "
                             "source position is not taken");
    return 0;
}

int checkReceivers(sofa_Input *in)
{
    Var v;
    std::vector<double> values;
    bool cart = true;
    if (positionVar(*in, "ReceiverPosition", true, {"R", "C", "I"}, {"R", "C", "M"},
                    "a receiver", nullptr, &v, &values, &cart) != 0)
        return 1;
    // [R C I] or [R C M]: coordinate c of receiver r is value (r * 3 + c) * K.
    size_t K = v.count / (in->receivers * 3);
    in->receiversCartesian = cart;
    for (size_t r = 0; r < in->receivers; r++) {
        double xyz[3];
        for (int c = 0; c < 3; c++)
            xyz[c] = values[(r * 3 + c) * K];
        if (storeFloat(*in, "ReceiverPosition", xyz, &in->receiverPositions) != 0)
            return 1;
    }
    return 0;
}

int checkSources(sofa_Input *in, const Frame &f)
{
    Var v;
    std::vector<double> values;
    bool cart = true;
    if (positionVar(*in, "SourcePosition", true, {"I", "C"}, {"M", "C"}, "", nullptr, &v,
                    &values, &cart, true) != 0)
        return 1;
    size_t rows = v.count / 3;
    // Sources as the file stores them when the listener is the origin
    // with the usual frame; else Cartesian in the listener's frame.
    in->sourcesCartesian = cart || !f.identity;
    for (size_t m = 0; m < in->measurements; m++) {
        Position p = at(values, rows == 1 ? 0 : m, cart);
        double out[3];
        if (f.identity) {
            memcpy(out, p.v, sizeof out);
        } else {
            double g[3], d[3];
            toCartesian(p, g);
            for (int c = 0; c < 3; c++)
                d[c] = g[c] - f.origin[c];
            out[0] = dot(d, f.x);
            out[1] = dot(d, f.y);
            out[2] = dot(d, f.z);
        }
        if (storeFloat(*in, "SourcePosition", out, &in->sources) != 0)
            return 1;
    }
    return 0;
}

// SourceId [M] and ReceiverId [R] (written by velktoolcli-tfexport): the
// archive's ids; 0 .. M-1 and 0 .. R-1 without them.
int readIds(const sofa_Input &in, const char *name, const char *dim, size_t n, double most,
            std::vector<int> *ids)
{
    Var v;
    std::vector<double> values;
    ids->clear();
    if (findVar(in, name, false, &v) != 0)
        return 1;
    if (v.id < 0) {
        for (size_t i = 0; i < n; i++)
            ids->push_back((int)i);
        return 0;
    }
    if (!hasShape(in, &v, {dim}))
        return SOFA_FAIL(in, "%s has dimensions %s; expected [%s]", name,
                         shapeText(v.dims).c_str(), dim);
    if (readAll(in, v, &values) != 0)
        return 1;
    for (double x : values) {
        if (!wholeNumber(x) || x < 0 || x > most)
            return SOFA_FAIL(in, "%s holds %g; ids from 0 to %g are taken", name, x, most);
        ids->push_back((int)std::round(x));
    }
    std::vector<int> sorted(*ids);
    std::sort(sorted.begin(), sorted.end());
    auto twice = std::adjacent_find(sorted.begin(), sorted.end());
    if (twice != sorted.end())
        return SOFA_FAIL(in, "%s holds the id %d twice", name, *twice);
    return 0;
}

int checkPositions(sofa_Input *in)
{
    Frame f;
    if (listenerFrame(*in, &f) != 0 || checkEmitter(*in) != 0 || checkReceivers(in) != 0 ||
        checkSources(in, f) != 0)
        return 1;
    return readIds(*in, "SourceId", "M", in->measurements, INT_MAX, &in->sourceIds) ||
           readIds(*in, "ReceiverId", "R", in->receivers, SOFA_MAX_RECEIVERS - 1,
                   &in->receiverIds);
}

const unsigned char HDF5_SIGNATURE[8] = {0x89, 'H', 'D', 'F', '\r', '\n', 0x1a, '\n'};

} // namespace

int sofa_open(const unsigned char *bytes, size_t size, const char *name, sofa_Input *in)
{
    LibraryGuard guard;
    *in = sofa_Input();
    in->name = name != nullptr ? name : "SOFA file";
    if (bytes == nullptr || size < sizeof HDF5_SIGNATURE ||
        memcmp(bytes, HDF5_SIGNATURE, sizeof HDF5_SIGNATURE) != 0)
        return SOFA_FAIL(*in, "not a netCDF-4 (HDF5) file, as SOFA files are");
    int rc = nc_open_mem(in->name.c_str(), NC_NOWRITE, size,
                         const_cast<unsigned char *>(bytes), &in->ncid);
    if (rc != NC_NOERR) {
        in->ncid = -1;
        return SOFA_FAIL(*in, "not a readable netCDF-4 file (%s)", nc_strerror(rc));
    }
    if (checkConvention(in) != 0 || checkDimensions(in) != 0 || checkData(in) != 0 ||
        checkPositions(in) != 0) {
        sofa_close(in);
        return 1;
    }
    return 0;
}

namespace {

// One measurement of a data variable as floats, every value finite.
int readRows(const sofa_Input &in, int var, const char *name, size_t m, float *rows)
{
    size_t start[3] = {m, 0, 0}, count[3] = {1, in.receivers, in.length};
    int rc = nc_get_vara_float(in.ncid, var, start, count, rows);
    if (rc == NC_ERANGE)
        return SOFA_FAIL(in, "%s of measurement %zu holds a value beyond single precision",
                         name, m);
    if (rc != NC_NOERR)
        return SOFA_FAIL(in, "%s of measurement %zu can not be read (%s)", name, m,
                         nc_strerror(rc));
    size_t n = in.receivers * in.length;
    for (size_t i = 0; i < n; i++)
        if (!std::isfinite(rows[i]))
            return SOFA_FAIL(in, "%s of measurement %zu, receiver %zu, index %zu is not a "
                             "finite number", name, m, i / in.length, i % in.length);
    return 0;
}

} // namespace

int sofa_readImpulseResponses(const sofa_Input &in, size_t m, float *rows)
{
    LibraryGuard guard;
    return readRows(in, in.dataVar, "Data.IR", m, rows);
}

int sofa_readTransferFunctions(const sofa_Input &in, size_t m, velkio_Complex *rows)
{
    LibraryGuard guard;
    size_t n = in.receivers * in.length;
    std::vector<float> re(n), im(n);
    if (readRows(in, in.dataVar, "Data.Real", m, re.data()) != 0 ||
        readRows(in, in.imagVar, "Data.Imag", m, im.data()) != 0)
        return 1;
    for (size_t i = 0; i < n; i++)
        rows[i] = velkio_Complex(re[i], im[i]);
    return 0;
}

void sofa_close(sofa_Input *in)
{
    LibraryGuard guard;
    if (in->ncid >= 0)
        nc_close(in->ncid);
    in->ncid = -1;
}
