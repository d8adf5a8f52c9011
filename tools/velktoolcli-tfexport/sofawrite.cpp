// The SOFA file (AES69) of an export: a netCDF-4 file of the convention
// GeneralTF 2.0, made in memory with the netCDF library and handed back
// as bytes, so that the output file is written completely or not at all.
//
// Dimensions: I = 1, C = 3, R microphones, E = 1 emitter, N bins,
// M source positions.  Variables: the positions of listener (the array's
// origin), receivers (microphones), sources and emitter, the listener's
// orientation, N (the bins' frequencies), Data.Real and Data.Imag
// [M R N], and SourceId [M] and ReceiverId [R], the archive's ids.
#include "tfexport.h"

#include <ctime>

#include <netcdf.h>
#include <netcdf_mem.h>

#ifndef VELK_VERSION
#define VELK_VERSION "0"
#endif

namespace {

const char APPLICATION[] = "velktoolcli-tfexport";

struct Writer {
    int nc = -1;
    int failed = 0;
    const char *what = "";
    int status = NC_NOERR;

    // Records the first failure; later calls are skipped.
    bool ok(int rc, const char *step)
    {
        if (failed == 0 && rc != NC_NOERR) {
            failed = 1;
            status = rc;
            what = step;
        }
        return failed == 0;
    }
};

void text(Writer &w, int var, const char *name, const std::string &value)
{
    if (w.failed == 0)
        w.ok(nc_put_att_text(w.nc, var, name, value.size(), value.data()), name);
}

int defineVar(Writer &w, const char *name, nc_type type, std::initializer_list<int> dims)
{
    int var = -1;
    std::vector<int> ids(dims);
    if (w.failed == 0)
        w.ok(nc_def_var(w.nc, name, type, (int)ids.size(), ids.data(), &var), name);
    return var;
}

// A position variable with its Type and Units.
int positionVar(Writer &w, const char *name, std::initializer_list<int> dims)
{
    int var = defineVar(w, name, NC_DOUBLE, dims);
    text(w, var, "Type", "cartesian");
    text(w, var, "Units", "metre");
    return var;
}

std::string now()
{
    time_t t = time(nullptr);
    struct tm utc;
    char buf[32] = "";
    if (gmtime_r(&t, &utc) != nullptr)
        strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &utc);
    return buf;
}

void globalAttributes(Writer &w, const tfexport_Set &set)
{
    const bool sep = set.kind == TFEXPORT_SEP;
    const std::string date = now();
    text(w, NC_GLOBAL, "Conventions", "SOFA");
    text(w, NC_GLOBAL, "Version", "2.1");
    text(w, NC_GLOBAL, "SOFAConventions", "GeneralTF");
    text(w, NC_GLOBAL, "SOFAConventionsVersion", "2.0");
    text(w, NC_GLOBAL, "DataType", "TF");
    // The localization window holds the direct sound only; the separation
    // window holds the room's reverberation as well.
    text(w, NC_GLOBAL, "RoomType", sep ? "reverberant" : "free field");
    text(w, NC_GLOBAL, "Title", set.title.empty() ? "velk transfer-function archive" : set.title);
    text(w, NC_GLOBAL, "DateCreated", date);
    text(w, NC_GLOBAL, "DateModified", date);
    text(w, NC_GLOBAL, "APIName", "velk netCDF writer");
    text(w, NC_GLOBAL, "APIVersion", VELK_VERSION);
    text(w, NC_GLOBAL, "AuthorContact", "");
    text(w, NC_GLOBAL, "Organization", "");
    text(w, NC_GLOBAL, "License", "No license provided, ask the author for permission");
    text(w, NC_GLOBAL, "ApplicationName", APPLICATION);
    text(w, NC_GLOBAL, "ApplicationVersion", VELK_VERSION);
    text(w, NC_GLOBAL, "Comment",
         sep ? "Separation transfer functions of a velk archive, from each source position "
               "to each microphone: bins 0 .. nfft/2 of a forward FFT (sign e^(-2 pi i k t / "
               "nfft)) of the impulse responses cut with their reverberation, each source's "
               "responses divided by their total energy, bin nfft/2 set to 0. The archive "
               "stores their complex conjugates."
             : "Localization transfer functions of a velk archive, from each source position "
               "to each microphone: bins 0 .. nfft/2 of a forward FFT (sign e^(-2 pi i k t / "
               "nfft)) of the impulse responses cut to the direct sound.");
}

struct Vars {
    int listener = -1, view = -1, up = -1, receiver = -1, source = -1, emitter = -1, n = -1;
    int real = -1, imag = -1, sourceId = -1, receiverId = -1;
};

Vars define(Writer &w, const tfexport_Set &set)
{
    int I, C, R, E, N, M;
    w.ok(nc_def_dim(w.nc, "I", 1, &I), "I") && w.ok(nc_def_dim(w.nc, "C", 3, &C), "C") &&
        w.ok(nc_def_dim(w.nc, "R", set.mics, &R), "R") &&
        w.ok(nc_def_dim(w.nc, "E", 1, &E), "E") &&
        w.ok(nc_def_dim(w.nc, "N", set.bins, &N), "N") &&
        w.ok(nc_def_dim(w.nc, "M", set.sources, &M), "M");
    Vars v;
    if (w.failed != 0)
        return v;
    globalAttributes(w, set);
    v.listener = positionVar(w, "ListenerPosition", {I, C});
    v.view = positionVar(w, "ListenerView", {I, C});
    v.up = defineVar(w, "ListenerUp", NC_DOUBLE, {I, C});
    v.receiver = positionVar(w, "ReceiverPosition", {R, C, I});
    v.source = positionVar(w, "SourcePosition", {M, C});
    v.emitter = positionVar(w, "EmitterPosition", {E, C, I});
    v.n = defineVar(w, "N", NC_DOUBLE, {N});
    text(w, v.n, "LongName", "frequency");
    text(w, v.n, "Units", "hertz");
    v.real = defineVar(w, "Data.Real", NC_DOUBLE, {M, R, N});
    v.imag = defineVar(w, "Data.Imag", NC_DOUBLE, {M, R, N});
    // One source position per chunk; the doubles hold float values, whose
    // low bytes the shuffle makes compressible.
    size_t chunk[3] = {1, set.mics, set.bins};
    for (int var : {v.real, v.imag})
        w.failed == 0 && w.ok(nc_def_var_chunking(w.nc, var, NC_CHUNKED, chunk), "chunking") &&
            w.ok(nc_def_var_deflate(w.nc, var, 1, 1, 1), "deflate");
    v.sourceId = defineVar(w, "SourceId", NC_INT, {M});
    text(w, v.sourceId, "LongName", "id of the source position in the velk archive");
    v.receiverId = defineVar(w, "ReceiverId", NC_INT, {R});
    text(w, v.receiverId, "LongName", "channel number of the microphone in the velk archive");
    return v;
}

void putValues(Writer &w, const tfexport_Set &set, const Vars &v)
{
    const double zero[3] = {0, 0, 0}, view[3] = {1, 0, 0}, up[3] = {0, 0, 1};
    w.ok(nc_put_var_double(w.nc, v.listener, zero), "ListenerPosition") &&
        w.ok(nc_put_var_double(w.nc, v.view, view), "ListenerView") &&
        w.ok(nc_put_var_double(w.nc, v.up, up), "ListenerUp") &&
        w.ok(nc_put_var_double(w.nc, v.emitter, zero), "EmitterPosition") &&
        w.ok(nc_put_var_double(w.nc, v.receiver, set.micPositions.data()), "ReceiverPosition") &&
        w.ok(nc_put_var_double(w.nc, v.source, set.sourcePositions.data()), "SourcePosition") &&
        w.ok(nc_put_var_double(w.nc, v.n, set.frequencies.data()), "N") &&
        w.ok(nc_put_var_int(w.nc, v.sourceId, set.sourceIds.data()), "SourceId") &&
        w.ok(nc_put_var_int(w.nc, v.receiverId, set.micIds.data()), "ReceiverId");
    // Data, one source position at a time.
    const size_t n = set.mics * set.bins;
    std::vector<double> re(n), im(n);
    for (size_t s = 0; s < set.sources && w.failed == 0; s++) {
        for (size_t i = 0; i < n; i++) {
            re[i] = set.values[s * n + i].real();
            im[i] = set.values[s * n + i].imag();
        }
        size_t start[3] = {s, 0, 0}, count[3] = {1, set.mics, set.bins};
        w.ok(nc_put_vara_double(w.nc, v.real, start, count, re.data()), "Data.Real") &&
            w.ok(nc_put_vara_double(w.nc, v.imag, start, count, im.data()), "Data.Imag");
    }
}

} // namespace

int tfexport_encodeSofa(const tfexport_Set &set, std::vector<unsigned char> *out)
{
    Writer w;
    // The file grows in steps of this size in memory.
    size_t step = set.values.size() * 16 + (1u << 12);
    if (step > (64u << 20))
        step = 64u << 20;
    if (!w.ok(nc_create_mem("export.sofa", NC_NETCDF4, step, &w.nc), "create")) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "can not make the SOFA file: %s", nc_strerror(w.status));
        return 1;
    }
    Vars v = define(w, set);
    w.ok(nc_enddef(w.nc), "enddef") && (putValues(w, set, v), true);
    if (w.failed != 0) {
        nc_abort(w.nc);
        VELKIO_LOG(VELKIO_LOG_ERROR, "can not make the SOFA file (%s): %s", w.what,
                   nc_strerror(w.status));
        return 1;
    }
    NC_memio memio = {0, nullptr, 0};
    int rc = nc_close_memio(w.nc, &memio);
    if (rc != NC_NOERR || memio.memory == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "can not make the SOFA file: %s", nc_strerror(rc));
        free(memio.memory);
        return 1;
    }
    const unsigned char *bytes = (const unsigned char *)memio.memory;
    out->assign(bytes, bytes + memio.size);
    free(memio.memory);
    return 0;
}
