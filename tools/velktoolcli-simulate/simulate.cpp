// velktoolcli-simulate: simulated measurements, for trying the suite
// without a measurement (the tutorial, the demo) and for its end-to-end
// tests and benchmarks (build/bin also has it under the name velksim).
//
// A circular microphone array stands in a shoebox room and hears a source
// placed, in turn, at every position of a horizontal circle around it. For
// every source position the program writes one multichannel WAV file
// (channel m = microphone m):
//   - default: the impulse responses from the source to each microphone;
//   - --tsp FILE --repeat N: what the array records while the source plays
//     the reference TSP of FILE N times back to back (each period is the
//     steady-state response: the circular convolution of the TSP with the
//     impulse response), after --lead samples of silence;
//   - --make-tsp FILE writes such a reference TSP instead;
//   - with --voice, a TSP recording has one more channel (number M, after
//     the microphones): the emitted TSP itself, as the voice input of a
//     mouth-TSP measurement.
//
// Geometry, in metres, relative to the array centre: microphone m sits at
// azimuth m * 360/M degrees on a circle of --mic-radius, source s at azimuth
// --min-azimuth + s * --azimuth-step (elevation 0) on a circle of
// --source-radius. Azimuth turns counter-clockwise from the x axis as in the
// suite's position lists, and the azimuths are stepped in single precision
// like velktoolcli-genposxml steps them, so a `circle` list generated with the
// same radii and steps holds the same points, and the file names follow the
// same path template ({AZIMUTH:FMT}, {ELEVATION:FMT}, {RADIUS:FMT}).
//
// Room: the image sources of a room [0,X] x [0,Y] x [0,Z] up to --order
// reflections; each path has the amplitude gain * beta^reflections / distance
// and the delay distance / 343 m/s, placed with a Hann-windowed sinc (16
// samples on either side), so the direct sound of microphone m peaks at the
// sample nearest to its distance * rate / 343. Noise: white Gaussian of
// standard deviation --noise from a generator of the program's own, seeded
// with --seed and the source index: the files are the same on every machine.
#include <sndfile.h>
#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "options.h"
#include "velkio.h"

namespace {

const double speedOfSound = 343.0;
const int sincHalfWidth = 16;
const long maxFrames = 1L << 26;
const long maxSamples = 1L << 28; // per file, all channels (1 GiB of floats)

struct Sim {
    int mics = 8;
    double micRadius = 0.05;
    int sources = 72;
    double minAzimuth = 0.0;
    double azimuthStep = 5.0;
    double sourceRadius = 1.5;
    const char *room = "6,5,3";
    const char *center = "3,2.5,1.2";
    double beta = 0.7;
    int order = 1;
    double gain = 1.0;
    int rate = 16000;
    int length = 4096;
    double noise = 1e-4;
    int seed = 1;
    const char *outputDir = ".";
    const char *name = "imp_D{AZIMUTH:%03.0f}.wav";
    int pcm16 = 0;
    int voice = 0;
    const char *tspFile = nullptr;
    int repeat = 4;
    int lead = 0;
    const char *makeTsp = nullptr;
    int tspLength = 16384;
    double tspPeak = 0.5;
    const char *logLevel = "E";
    const char *micList = nullptr;
    const char *sourceList = nullptr;
    const char *gainError = nullptr;
    const char *invert = nullptr;
    const char *dead = nullptr;
    const char *deadNoise = nullptr;
    const char *swap = nullptr;
    const char *clip = nullptr;
    const char *moveMic = nullptr;
    int lateOffset = 0;
    double roomSize[3] = {0, 0, 0};
    double arrayCenter[3] = {0, 0, 0};
};

// The faults, parsed; -1 where a fault is not asked for.
struct Faults {
    int gainChannel = -1;
    double gain = 1.0;
    int invertChannel = -1;
    int deadChannel = -1;
    int noiseOnlyChannel = -1;
    int swapA = -1, swapB = -1;
    int clipFile = -1;
    double clipGain = 1.0;
    int movedMic = -1;
    double moved[3] = {0, 0, 0};
};

struct Vec3 {
    double x, y, z;
};

// splitmix64: a small generator whose sequence is fixed by its seed alone.
struct Rng {
    uint64_t state;
    bool haveSpare = false;
    double spare = 0.0;

    uint64_t next()
    {
        uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    // Uniform in the open interval (0, 1).
    double uniform() { return ((double)(next() >> 11) + 0.5) * 0x1.0p-53; }
    // Standard normal (Box-Muller, both values used).
    double gauss()
    {
        if (haveSpare) {
            haveSpare = false;
            return spare;
        }
        double r = std::sqrt(-2.0 * std::log(uniform()));
        double t = 2.0 * M_PI * uniform();
        spare = r * std::sin(t);
        haveSpare = true;
        return r * std::cos(t);
    }
};

Rng rngFor(int seed, int source)
{
    Rng r;
    r.state = (uint64_t)(uint32_t)seed * 0x100000001B3ULL ^
              (uint64_t)(source + 1) * 0xD1B54A32D192ED03ULL;
    return r;
}

void helpForVelksim(poptContext ctx, int status)
{
    velkopt_usage(ctx, status, "NAME:\n", "  velktoolcli-simulate\n",
                  "  Simulate a microphone-array measurement in a shoebox room:\n"
                  "  impulse-response or TSP-recording WAV files, one per source position\n",
                  nullptr);
}

// "a,b,...": exactly n numbers; 0 on success.
int parseNumbers(const char *text, int n, double *out)
{
    const char *p = text;
    for (int i = 0; i < n; i++) {
        char *end = nullptr;
        errno = 0;
        out[i] = strtod(p, &end);
        if (end == p || errno != 0 || !std::isfinite(out[i]))
            return 1;
        p = end;
        if (i < n - 1) {
            if (*p != ',')
                return 1;
            p++;
        }
    }
    return *p == '\0' ? 0 : 1;
}

int parseTriple(const char *text, double out[3])
{
    return parseNumbers(text, 3, out);
}

// A channel number 0 .. channels-1 given as a whole number.
bool isChannel(double v, int channels)
{
    return v >= 0 && v < channels && v == std::floor(v);
}

// The fault options into f; every bad one is reported. 0 when all pass.
int parseFaults(const Sim &p, int channels, Faults *f)
{
    int bad = 0;
    double v[4];
    auto fail = [&bad](const char *what) {
        VELKIO_LOG(0, "%s", what);
        bad = 1;
    };
    if (p.gainError != nullptr) {
        if (parseNumbers(p.gainError, 2, v) != 0 || !isChannel(v[0], channels) ||
            std::fabs(v[1]) > 60)
            fail("--gain-error must be CHANNEL,DB with a channel of the array and |DB| <= 60");
        else {
            f->gainChannel = (int)v[0];
            f->gain = std::pow(10.0, v[1] / 20.0);
        }
    }
    if (p.invert != nullptr) {
        if (parseNumbers(p.invert, 1, v) != 0 || !isChannel(v[0], channels))
            fail("--invert must name a channel of the array");
        else
            f->invertChannel = (int)v[0];
    }
    if (p.dead != nullptr) {
        if (parseNumbers(p.dead, 1, v) != 0 || !isChannel(v[0], channels))
            fail("--dead must name a channel of the array");
        else
            f->deadChannel = (int)v[0];
    }
    if (p.deadNoise != nullptr) {
        if (parseNumbers(p.deadNoise, 1, v) != 0 || !isChannel(v[0], channels))
            fail("--dead-noise must name a channel of the array");
        else
            f->noiseOnlyChannel = (int)v[0];
    }
    if (p.swap != nullptr) {
        if (parseNumbers(p.swap, 2, v) != 0 || !isChannel(v[0], channels) ||
            !isChannel(v[1], channels) || v[0] == v[1])
            fail("--swap must be A,B: two different channels of the array");
        else {
            f->swapA = (int)v[0];
            f->swapB = (int)v[1];
        }
    }
    if (p.clip != nullptr) {
        if (parseNumbers(p.clip, 2, v) != 0 || !isChannel(v[0], 100000) || !(v[1] >= 1) ||
            v[1] > 1e6)
            fail("--clip must be FILE,GAIN: a file number from 0 and a gain of at least 1");
        else {
            f->clipFile = (int)v[0];
            f->clipGain = v[1];
        }
    }
    if (p.moveMic != nullptr) {
        if (parseNumbers(p.moveMic, 4, v) != 0 || !isChannel(v[0], channels))
            fail("--move-mic must be CHANNEL,X,Y,Z with a channel of the array");
        else {
            f->movedMic = (int)v[0];
            for (int i = 0; i < 3; i++)
                f->moved[i] = v[i + 1];
        }
    }
    return bad;
}

int isPowerOfTwo(long n)
{
    return n > 0 && (n & (n - 1)) == 0;
}

// Range checks after parsing; every violation is reported. 0 when all pass.
int checkParameters(Sim *p)
{
    int bad = 0;
    auto need = [&bad](bool ok, const char *what) {
        if (!ok) {
            VELKIO_LOG(0, "%s", what);
            bad = 1;
        }
    };
    need(p->mics >= 1 && p->mics <= 64, "--mics must be 1 .. 64");
    need(p->micRadius >= 0, "--mic-radius must not be negative");
    need(p->sources >= 1 && p->sources <= 100000, "--sources must be 1 .. 100000");
    need(p->sourceRadius > p->micRadius, "--source-radius must exceed --mic-radius");
    need(std::isfinite(p->minAzimuth) && std::isfinite(p->azimuthStep),
         "--min-azimuth and --azimuth-step must be finite");
    need(parseTriple(p->room, p->roomSize) == 0 && p->roomSize[0] > 0 &&
             p->roomSize[1] > 0 && p->roomSize[2] > 0,
         "--room must be X,Y,Z with positive sizes");
    need(parseTriple(p->center, p->arrayCenter) == 0, "--center must be X,Y,Z");
    need(p->beta >= 0 && p->beta <= 1, "--beta must be 0 .. 1");
    need(p->order >= 0 && p->order <= 4, "--order must be 0 .. 4");
    need(p->gain > 0 && std::isfinite(p->gain), "--gain must be positive");
    need(p->rate >= 1000 && p->rate <= 384000, "--rate must be 1000 .. 384000");
    need(p->length >= 1 && p->length <= maxFrames, "--length must be 1 .. 2^26");
    need(p->noise >= 0 && std::isfinite(p->noise), "--noise must not be negative");
    need(p->repeat >= 1 && p->repeat <= 1024, "--repeat must be 1 .. 1024");
    need(p->lead >= 0 && p->lead <= maxFrames, "--lead must be 0 .. 2^26");
    need(isPowerOfTwo(p->tspLength) && p->tspLength >= 16 && p->tspLength <= (1 << 17),
         "--tsp-length must be a power of two, 16 .. 131072");
    need(p->tspPeak > 0 && p->tspPeak < 1, "--tsp-peak must lie between 0 and 1");
    need(!p->voice || p->tspFile != nullptr, "--voice needs --tsp");
    need(p->lateOffset >= 0 && p->lateOffset <= (1 << 20), "--late-offset must be 0 .. 2^20");
    need(p->lateOffset == 0 || p->tspFile != nullptr, "--late-offset needs --tsp");
    // Every source and microphone inside the room (the corners of the two
    // circles' bounding square are a sufficient test).
    double reach = p->sourceRadius;
    for (int i = 0; i < 3 && !bad && p->sourceList == nullptr; i++) {
        double r = i < 2 ? reach : 0.0;
        need(p->arrayCenter[i] - r > 0 && p->arrayCenter[i] + r < p->roomSize[i],
             "the source circle does not fit into the room (--room, --center, --source-radius)");
    }
    return bad;
}

// popt hands every string option over as a malloc'd copy that the program
// owns: the copies are kept here, released when the option comes again and
// when the program ends.
struct OwnedStrings {
    std::vector<std::pair<const char **, char *>> held;

    void adopt(const char **var)
    {
        for (auto &h : held)
            if (h.first == var) {
                if (h.second != *var)
                    free(h.second);
                h.second = const_cast<char *>(*var);
                return;
            }
        held.push_back({var, const_cast<char *>(*var)});
    }
    ~OwnedStrings()
    {
        for (auto &h : held)
            free(h.second);
    }
};

// Return values of the string options (the others return 0).
enum {
    OPT_ROOM = 1000,
    OPT_CENTER,
    OPT_OUTPUT_DIR,
    OPT_NAME,
    OPT_TSP,
    OPT_MAKE_TSP,
    OPT_MIC_LIST,
    OPT_SOURCE_LIST,
    OPT_GAIN_ERROR,
    OPT_INVERT,
    OPT_DEAD,
    OPT_DEAD_NOISE,
    OPT_SWAP,
    OPT_CLIP,
    OPT_MOVE_MIC
};

// The string options' variables, in the order of their return values.
struct StringOptions {
    OwnedStrings *owned;
    const char **vars[OPT_MOVE_MIC - OPT_ROOM + 1];
};

// Takes over popt's copy of a string option's value.
int adoptStringOption(poptContext, int rc, void *data)
{
    StringOptions *strings = static_cast<StringOptions *>(data);
    if (rc >= OPT_ROOM && rc <= OPT_MOVE_MIC)
        strings->owned->adopt(strings->vars[rc - OPT_ROOM]);
    return rc;
}

int parseOptions(int argc, const char **argv, Sim *p, OwnedStrings *owned)
{
    struct poptOption table[] = {
        {"mics", '\0', POPT_ARG_INT | POPT_ARGFLAG_SHOW_DEFAULT, &p->mics, 0,
         "Number of microphones on the array circle", nullptr},
        {"mic-radius", '\0', POPT_ARG_DOUBLE | POPT_ARGFLAG_SHOW_DEFAULT, &p->micRadius, 0,
         "Radius of the array (m)", nullptr},
        {"sources", '\0', POPT_ARG_INT | POPT_ARGFLAG_SHOW_DEFAULT, &p->sources, 0,
         "Number of source positions", nullptr},
        {"min-azimuth", '\0', POPT_ARG_DOUBLE | POPT_ARGFLAG_SHOW_DEFAULT, &p->minAzimuth, 0,
         "Azimuth of the first source (degrees)", nullptr},
        {"azimuth-step", '\0', POPT_ARG_DOUBLE | POPT_ARGFLAG_SHOW_DEFAULT, &p->azimuthStep, 0,
         "Azimuth step between sources (degrees)", nullptr},
        {"source-radius", '\0', POPT_ARG_DOUBLE | POPT_ARGFLAG_SHOW_DEFAULT, &p->sourceRadius, 0,
         "Distance of the sources from the array centre (m)", nullptr},
        {"room", '\0', POPT_ARG_STRING | POPT_ARGFLAG_SHOW_DEFAULT, &p->room, OPT_ROOM,
         "Room size (m)", "X,Y,Z"},
        {"center", '\0', POPT_ARG_STRING | POPT_ARGFLAG_SHOW_DEFAULT, &p->center, OPT_CENTER,
         "Array centre in the room (m)", "X,Y,Z"},
        {"beta", '\0', POPT_ARG_DOUBLE | POPT_ARGFLAG_SHOW_DEFAULT, &p->beta, 0,
         "Reflection coefficient of the walls", nullptr},
        {"order", '\0', POPT_ARG_INT | POPT_ARGFLAG_SHOW_DEFAULT, &p->order, 0,
         "Highest reflection order of the image sources", nullptr},
        {"gain", '\0', POPT_ARG_DOUBLE | POPT_ARGFLAG_SHOW_DEFAULT, &p->gain, 0,
         "Amplitude of a path at 1 m", nullptr},
        {"rate", '\0', POPT_ARG_INT | POPT_ARGFLAG_SHOW_DEFAULT, &p->rate, 0,
         "Sampling rate (Hz)", nullptr},
        {"length", '\0', POPT_ARG_INT | POPT_ARGFLAG_SHOW_DEFAULT, &p->length, 0,
         "Impulse-response length (samples)", nullptr},
        {"noise", '\0', POPT_ARG_DOUBLE | POPT_ARGFLAG_SHOW_DEFAULT, &p->noise, 0,
         "Standard deviation of the added white noise", nullptr},
        {"seed", '\0', POPT_ARG_INT | POPT_ARGFLAG_SHOW_DEFAULT, &p->seed, 0,
         "Seed of the noise", nullptr},
        {"output-dir", '\0', POPT_ARG_STRING | POPT_ARGFLAG_SHOW_DEFAULT, &p->outputDir, OPT_OUTPUT_DIR,
         "Directory of the WAV files (created if missing)", nullptr},
        {"name", '\0', POPT_ARG_STRING | POPT_ARGFLAG_SHOW_DEFAULT, &p->name, OPT_NAME,
         "File-name template ({AZIMUTH:FMT}, {ELEVATION:FMT}, {RADIUS:FMT})", nullptr},
        {"pcm16", '\0', POPT_ARG_NONE, &p->pcm16, 0,
         "Write 16-bit PCM instead of 32-bit float", nullptr},
        {"voice", '\0', POPT_ARG_NONE, &p->voice, 0,
         "TSP recordings get one more channel carrying the emitted TSP", nullptr},
        {"tsp", '\0', POPT_ARG_STRING, &p->tspFile, OPT_TSP,
         "Write TSP recordings made with this reference TSP (WAV, channel 0)", "FILE"},
        {"repeat", '\0', POPT_ARG_INT | POPT_ARGFLAG_SHOW_DEFAULT, &p->repeat, 0,
         "Number of TSP periods per recording", nullptr},
        {"lead", '\0', POPT_ARG_INT | POPT_ARGFLAG_SHOW_DEFAULT, &p->lead, 0,
         "Samples of silence before the first TSP period", nullptr},
        {"make-tsp", '\0', POPT_ARG_STRING, &p->makeTsp, OPT_MAKE_TSP,
         "Only write a reference TSP to this WAV file", "FILE"},
        {"tsp-length", '\0', POPT_ARG_INT | POPT_ARGFLAG_SHOW_DEFAULT, &p->tspLength, 0,
         "Length of the reference TSP (power of two)", nullptr},
        {"tsp-peak", '\0', POPT_ARG_DOUBLE | POPT_ARGFLAG_SHOW_DEFAULT, &p->tspPeak, 0,
         "Largest absolute sample of the reference TSP", nullptr},
        {"mic-list", '\0', POPT_ARG_STRING, &p->micList, OPT_MIC_LIST,
         "Microphones from this microphone list (channel c = id c) instead of the circle",
         "FILE"},
        {"source-list", '\0', POPT_ARG_STRING, &p->sourceList, OPT_SOURCE_LIST,
         "Sources and file paths from this position list instead of the circle", "FILE"},
        {"gain-error", '\0', POPT_ARG_STRING, &p->gainError, OPT_GAIN_ERROR,
         "Fault: channel C recorded DB louder", "C,DB"},
        {"invert", '\0', POPT_ARG_STRING, &p->invert, OPT_INVERT,
         "Fault: channel C inverted in polarity", "C"},
        {"dead", '\0', POPT_ARG_STRING, &p->dead, OPT_DEAD, "Fault: channel C silent", "C"},
        {"dead-noise", '\0', POPT_ARG_STRING, &p->deadNoise, OPT_DEAD_NOISE,
         "Fault: microphone C picks up nothing, its channel holds only the noise", "C"},
        {"swap", '\0', POPT_ARG_STRING, &p->swap, OPT_SWAP,
         "Fault: channels A and B exchanged", "A,B"},
        {"clip", '\0', POPT_ARG_STRING, &p->clip, OPT_CLIP,
         "Fault: file N (from 0) amplified by GAIN and limited to full scale", "N,GAIN"},
        {"late-offset", '\0', POPT_ARG_INT, &p->lateOffset, 0,
         "Fault: TSP periods start N samples before --lead says", "N"},
        {"move-mic", '\0', POPT_ARG_STRING, &p->moveMic, OPT_MOVE_MIC,
         "Fault: microphone C actually at X,Y,Z (m, from the array centre)", "C,X,Y,Z"},
        VELKOPT_COMMON_ENTRIES(p->logLevel),
        POPT_TABLEEND};
    StringOptions strings = {owned, {&p->room, &p->center, &p->outputDir, &p->name,
                                     &p->tspFile, &p->makeTsp, &p->micList, &p->sourceList,
                                     &p->gainError, &p->invert, &p->dead, &p->deadNoise,
                                     &p->swap, &p->clip, &p->moveMic}};
    const velkopt_Program program = {"velktoolcli-simulate", table, "[OPTIONS]*", helpForVelksim,
                                     adoptStringOption, &strings, 0};
    poptContext ctx = velkopt_getContext(&program, argc, argv);
    int status = 0;
    if (velkopt_parse(ctx, &program) != 0) {
        status = 1;
    } else if (poptPeekArg(ctx) != nullptr) {
        VELKIO_LOG(0, "unexpected argument [%s]", poptPeekArg(ctx));
        status = 1;
    }
    poptFreeContext(ctx);
    if (status == 0)
        status = checkParameters(p);
    return status;
}

// A placeholder format as velktoolcli-genposxml accepts it:
// "%", then characters of "0123456789-. +#", then one of "feEgG" at the end.
int formatIsValid(const std::string &fmt)
{
    if (fmt.size() < 2 || fmt[0] != '%' || strchr("feEgG", fmt.back()) == nullptr)
        return 0;
    for (size_t i = 1; i + 1 < fmt.size(); i++)
        if (strchr("0123456789-. +#", fmt[i]) == nullptr)
            return 0;
    return 1;
}

// The file name of one position: {AZIMUTH:FMT}, {ELEVATION:FMT} and
// {RADIUS:FMT} replaced by the value (as a double) printed with FMT; other
// keys are kept unchanged, as the position-list generator keeps them.
int expandName(const char *tmpl, float azimuth, float elevation, float radius,
               std::string *out)
{
    std::string t = tmpl;
    out->clear();
    size_t at = 0;
    while (at < t.size()) {
        size_t open = t.find('{', at);
        if (open == std::string::npos) {
            out->append(t, at, std::string::npos);
            break;
        }
        size_t colon = t.find(':', open);
        size_t close = t.find('}', open);
        if (colon == std::string::npos || close == std::string::npos || close < colon) {
            VELKIO_LOG(0, "bad file-name template [%s]", tmpl);
            return 1;
        }
        std::string key = t.substr(open + 1, colon - open - 1);
        std::string fmt = t.substr(colon + 1, close - colon - 1);
        if (!formatIsValid(fmt)) {
            VELKIO_LOG(0, "bad format [%s] in the file-name template", fmt.c_str());
            return 1;
        }
        out->append(t, at, open - at);
        const float *value = key == "AZIMUTH"     ? &azimuth
                             : key == "ELEVATION" ? &elevation
                             : key == "RADIUS"    ? &radius
                                                  : nullptr;
        if (value == nullptr) {
            out->append(t, open, close - open + 1);
        } else {
            char buf[512];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
            snprintf(buf, sizeof buf, fmt.c_str(), (double)*value);
#pragma GCC diagnostic pop
            out->append(buf);
        }
        at = close + 1;
    }
    return 0;
}

// Point on a horizontal circle around the array centre.
Vec3 onCircle(const Sim &p, double radius, float azimuthDeg)
{
    double a = (double)azimuthDeg * M_PI / 180.0;
    return {p.arrayCenter[0] + radius * std::cos(a), p.arrayCenter[1] + radius * std::sin(a),
            p.arrayCenter[2]};
}

// Adds one path: `amp` arriving `delay` samples after sample 0, spread over
// the samples within sincHalfWidth of it by a Hann-windowed sinc. Samples
// outside 0 .. n-1 are dropped.
void addPath(double *h, long n, double delay, double amp)
{
    long first = (long)std::ceil(delay - sincHalfWidth);
    long last = (long)std::floor(delay + sincHalfWidth);
    for (long i = first < 0 ? 0 : first; i <= last && i < n; i++) {
        double t = (double)i - delay;
        double sinc = t == 0.0 ? 1.0 : std::sin(M_PI * t) / (M_PI * t);
        double window = 0.5 * (1.0 + std::cos(M_PI * t / sincHalfWidth));
        h[i] += amp * sinc * window;
    }
}

// Coordinate of an image source along one axis and its number of wall
// reflections: the source mirrored `mirror` (0 or 1) times about the wall at
// 0, then shifted by 2 * shift room lengths.
double imageCoordinate(double s, double size, int shift, int mirror, int *reflections)
{
    *reflections = std::abs(shift) + std::abs(shift - mirror);
    return (mirror ? -s : s) + 2.0 * shift * size;
}

// The impulse response from `src` to `mic` (room coordinates) added into
// h[0 .. n-1].
void roomResponse(const Sim &p, Vec3 src, Vec3 mic, double *h, long n)
{
    const int N = p.order;
    for (int sx = -N; sx <= N; sx++)
        for (int mx = 0; mx < 2; mx++)
            for (int sy = -N; sy <= N; sy++)
                for (int my = 0; my < 2; my++)
                    for (int sz = -N; sz <= N; sz++)
                        for (int mz = 0; mz < 2; mz++) {
                            int rx, ry, rz;
                            double x = imageCoordinate(src.x, p.roomSize[0], sx, mx, &rx);
                            double y = imageCoordinate(src.y, p.roomSize[1], sy, my, &ry);
                            double z = imageCoordinate(src.z, p.roomSize[2], sz, mz, &rz);
                            if (rx + ry + rz > N)
                                continue;
                            double d = std::sqrt((x - mic.x) * (x - mic.x) +
                                                 (y - mic.y) * (y - mic.y) +
                                                 (z - mic.z) * (z - mic.z));
                            double amp = p.gain * std::pow(p.beta, rx + ry + rz) / d;
                            addPath(h, n, d / speedOfSound * p.rate, amp);
                        }
}

// Reads channel 0 of a WAV file completely; 0 on success.
int readReference(const char *path, int rate, std::vector<double> *tsp)
{
    SF_INFO info;
    memset(&info, 0, sizeof info);
    SNDFILE *f = sf_open(path, SFM_READ, &info);
    if (f == nullptr) {
        VELKIO_LOG(0, "can not open wave file [%s] (%s)", path, sf_strerror(nullptr));
        return 1;
    }
    int status = 0;
    if (info.samplerate != rate) {
        VELKIO_LOG(0, "[%s] has %d Hz, the simulation runs at %d Hz (--rate)", path,
                   info.samplerate, rate);
        status = 1;
    } else if (info.frames < 1 || info.frames > maxFrames || info.channels < 1) {
        VELKIO_LOG(0, "[%s] holds no usable signal", path);
        status = 1;
    } else {
        std::vector<double> all((size_t)info.frames * info.channels);
        sf_count_t got = sf_readf_double(f, all.data(), info.frames);
        if (got != info.frames) {
            VELKIO_LOG(0, "[%s]: read %lld of %lld frames", path, (long long)got,
                       (long long)info.frames);
            status = 1;
        } else {
            tsp->resize((size_t)info.frames);
            for (sf_count_t i = 0; i < info.frames; i++)
                (*tsp)[(size_t)i] = all[(size_t)(i * info.channels)];
        }
    }
    sf_close(f);
    return status;
}

// Writes interleaved frames through the suite's output files: the file
// appears complete or not at all, and a target that is not a regular file
// is refused. 0 on success.
int writeWav(const std::string &path, const std::vector<float> &data, int channels,
             int rate, int pcm16)
{
    SF_INFO info;
    memset(&info, 0, sizeof info);
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | (pcm16 ? SF_FORMAT_PCM_16 : SF_FORMAT_FLOAT);
    velkio_Output *out = velkio_Output_open(path.c_str());
    SNDFILE *f = out != nullptr ? sf_open_fd(velkio_Output_fd(out), SFM_WRITE, &info, SF_FALSE)
                                : nullptr;
    if (f == nullptr) {
        VELKIO_LOG(0, "can not create [%s] (%s)", path.c_str(),
                   out != nullptr ? sf_strerror(nullptr) : strerror(errno));
        velkio_Output_abort(out);
        return 1;
    }
    // No PEAK chunk: it carries the time of writing, and the files of one
    // seed must be the same byte for byte.
    sf_command(f, SFC_SET_ADD_PEAK_CHUNK, nullptr, SF_FALSE);
    sf_command(f, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    sf_count_t frames = (sf_count_t)(data.size() / channels);
    sf_count_t put = sf_writef_float(f, data.data(), frames);
    int closed = sf_close(f);
    if (put != frames || closed != 0) {
        VELKIO_LOG(0, "can not write [%s]", path.c_str());
        velkio_Output_abort(out);
        return 1;
    }
    if (velkio_Output_commit(out) != 0) {
        VELKIO_LOG(0, "can not write [%s]: %s", path.c_str(), strerror(errno));
        return 1;
    }
    return 0;
}

// A 16-bit file cannot hold |x| >= 1: refuse rather than clip silently.
int checkRange(const std::vector<float> &data, const std::string &path)
{
    for (float v : data)
        if (!(std::fabs(v) < 1.0f)) {
            VELKIO_LOG(0, "[%s] would clip in 16 bits (sample %g); lower --gain",
                       path.c_str(), (double)v);
            return 1;
        }
    return 0;
}

// One period of the steady-state response to the periodic reference:
// y[n] = sum_k h[k] tsp[(n - k) mod L], with h folded onto the period.
// Only the non-zero taps are visited (the response is sparse).
void periodicResponse(const std::vector<double> &h, const std::vector<double> &tsp,
                      std::vector<double> *y)
{
    const long L = (long)tsp.size();
    std::vector<double> folded((size_t)L, 0.0);
    for (size_t i = 0; i < h.size(); i++)
        folded[i % (size_t)L] += h[i];
    y->assign((size_t)L, 0.0);
    double *out = y->data();
    const double *x = tsp.data();
    for (long k = 0; k < L; k++) {
        double v = folded[(size_t)k];
        if (v == 0.0)
            continue;
        for (long n = k; n < L; n++)
            out[n] += v * x[n - k];
        for (long n = 0; n < k; n++)
            out[n] += v * x[n - k + L];
    }
}

// The WAV content of one source position, interleaved.
void simulateSource(const Sim &p, int s, Vec3 src, const std::vector<Vec3> &mics,
                    const std::vector<double> &tsp, int noiseOnly, std::vector<float> *data)
{
    const int nMics = (int)mics.size();
    const long irLength = p.length;
    const long frames = tsp.empty() ? irLength : p.lead + (long)p.repeat * (long)tsp.size();
    const int M = nMics + (tsp.empty() ? 0 : p.voice);
    data->assign((size_t)(frames * M), 0.0f);
    Rng rng = rngFor(p.seed, s);
    std::vector<double> h, y;
    for (int m = 0; m < nMics; m++) {
        // A microphone that picks up nothing: its channel gets the noise alone.
        if (m == noiseOnly)
            continue;
        h.assign((size_t)irLength, 0.0);
        roomResponse(p, src, mics[(size_t)m], h.data(), irLength);
        if (tsp.empty()) {
            for (long i = 0; i < irLength; i++)
                (*data)[(size_t)(i * M + m)] = (float)h[(size_t)i];
            continue;
        }
        periodicResponse(h, tsp, &y);
        const long L = (long)tsp.size();
        for (long i = p.lead; i < frames; i++)
            (*data)[(size_t)(i * M + m)] = (float)y[(size_t)((i - p.lead + p.lateOffset) % L)];
    }
    if (M > nMics)
        for (long i = p.lead; i < frames; i++)
            (*data)[(size_t)(i * M + nMics)] =
                (float)tsp[(size_t)((i - p.lead + p.lateOffset) % (long)tsp.size())];
    if (p.noise > 0)
        for (float &v : *data)
            v = (float)(v + p.noise * rng.gauss());
}

// The channel faults on one file of M interleaved channels (file number s).
void applyFaults(const Faults &f, int s, int M, int pcm16, std::vector<float> *data)
{
    const size_t frames = data->size() / (size_t)M;
    float *d = data->data();
    for (size_t i = 0; i < frames; i++) {
        float *frame = d + i * (size_t)M;
        if (f.gainChannel >= 0)
            frame[f.gainChannel] = (float)(frame[f.gainChannel] * f.gain);
        if (f.invertChannel >= 0)
            frame[f.invertChannel] = -frame[f.invertChannel];
        if (f.deadChannel >= 0)
            frame[f.deadChannel] = 0.0f;
        if (f.swapA >= 0)
            std::swap(frame[f.swapA], frame[f.swapB]);
    }
    if (s != f.clipFile)
        return;
    // Full scale: 1.0, or the largest 16-bit sample.
    const double top = pcm16 ? 32767.0 / 32768.0 : 1.0;
    for (float &v : *data)
        v = (float)std::max(-top, std::min(top, v * f.clipGain));
}

int makeDirectory(const char *dir)
{
    struct stat st;
    if (stat(dir, &st) == 0 && S_ISDIR(st.st_mode))
        return 0;
    if (mkdir(dir, 0755) != 0) {
        VELKIO_LOG(0, "can not create directory [%s]: %s", dir, strerror(errno));
        return 1;
    }
    return 0;
}

// The directories leading to a file, created where missing.
int makeParents(const std::string &path)
{
    for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1))
        if (makeDirectory(path.substr(0, at).c_str()) != 0)
            return 1;
    return 0;
}

// The file of every source position, checked before anything is written:
// the template must expand, and no two positions may share a file.
int sourceFiles(const Sim &p, std::vector<std::string> *paths, std::vector<Vec3> *sources)
{
    std::set<std::string> seen;
    float azimuth = (float)p.minAzimuth;
    const float step = (float)p.azimuthStep;
    for (int s = 0; s < p.sources; s++, azimuth += step) {
        std::string name;
        if (expandName(p.name, azimuth, 0.0f, (float)p.sourceRadius, &name) != 0)
            return 1;
        std::string path = std::string(p.outputDir) + "/" + name;
        if (!seen.insert(path).second) {
            VELKIO_LOG(0, "two source positions give the same file [%s]; change --name",
                       path.c_str());
            return 1;
        }
        paths->push_back(path);
        sources->push_back(onCircle(p, p.sourceRadius, azimuth));
    }
    return 0;
}

// Room coordinates of a listed position (relative to the array centre).
int listedPoint(const Sim &p, const velkio_Position *pos, Vec3 *out)
{
    float c[3] = {pos->coords[0], pos->coords[1], pos->coords[2]};
    if (!pos->isCartesian && velkio_Position_Convert(pos, c, 1) != 0)
        return 1;
    *out = {p.arrayCenter[0] + c[0], p.arrayCenter[1] + c[1], p.arrayCenter[2] + c[2]};
    return std::isfinite(out->x) && std::isfinite(out->y) && std::isfinite(out->z) ? 0 : 1;
}

// The sources of --source-list, each with the path of its position.
int listedSources(const Sim &p, std::vector<std::string> *paths, std::vector<Vec3> *sources)
{
    velkio_XML *doc = velkio_XML_newFromXML(p.sourceList, "");
    if (doc == nullptr) {
        velkio_Log_FileOpenFailed(p.sourceList);
        return 1;
    }
    int status = velkio_Positions_getSize(doc->poses) > 0 ? 0 : 1;
    if (status != 0)
        VELKIO_LOG(0, "[%s] holds no positions", p.sourceList);
    std::set<std::string> seen;
    for (int i = 0; status == 0 && i < doc->poses->count; i++) {
        const velkio_Position *pos = doc->poses->list[i];
        Vec3 v;
        if (pos->path == nullptr || pos->path[0] == '\0' || listedPoint(p, pos, &v) != 0) {
            VELKIO_LOG(0, "position %d of [%s] needs coordinates and a path", pos->id,
                       p.sourceList);
            status = 1;
            break;
        }
        std::string path = std::string(p.outputDir) + "/" + pos->path;
        if (!seen.insert(path).second) {
            VELKIO_LOG(0, "two positions of [%s] give the same file [%s]", p.sourceList,
                       path.c_str());
            status = 1;
        }
        paths->push_back(path);
        sources->push_back(v);
    }
    velkio_XML_delete(&doc);
    return status;
}

// The microphones of --mic-list: channel c is the position with id c.
int listedMics(const Sim &p, std::vector<Vec3> *mics)
{
    velkio_XML *doc = velkio_XML_newFromXML(p.micList, "");
    if (doc == nullptr) {
        velkio_Log_FileOpenFailed(p.micList);
        return 1;
    }
    int n = velkio_Positions_getSize(doc->poses), status = n >= 1 && n <= 64 ? 0 : 1;
    if (status != 0)
        VELKIO_LOG(0, "[%s] must hold 1 .. 64 microphones", p.micList);
    for (int c = 0; status == 0 && c < n; c++) {
        const velkio_Position *pos = velkio_Positions_getById(doc->poses, c);
        Vec3 v;
        if (pos == nullptr || listedPoint(p, pos, &v) != 0) {
            VELKIO_LOG(0, "[%s] has no usable position with id %d (ids must be 0 .. %d)",
                       p.micList, c, n - 1);
            status = 1;
        }
        mics->push_back(v);
    }
    velkio_XML_delete(&doc);
    return status;
}

int insideRoom(const Sim &p, const std::vector<Vec3> &points)
{
    for (const Vec3 &v : points)
        if (!(v.x > 0 && v.x < p.roomSize[0] && v.y > 0 && v.y < p.roomSize[1] && v.z > 0 &&
              v.z < p.roomSize[2])) {
            VELKIO_LOG(0, "a source or microphone lies outside the room (--room, --center)");
            return 0;
        }
    return 1;
}

int simulate(const Sim &p)
{
    std::vector<double> tsp;
    if (p.tspFile != nullptr && readReference(p.tspFile, p.rate, &tsp) != 0)
        return 1;
    std::vector<Vec3> mics;
    if (p.micList != nullptr) {
        if (listedMics(p, &mics) != 0)
            return 1;
    } else {
        float micAz = 0.0f;
        const float micStep = 360.0f / (float)p.mics;
        for (int m = 0; m < p.mics; m++, micAz += micStep)
            mics.push_back(onCircle(p, p.micRadius, micAz));
    }
    const int nMics = (int)mics.size();
    Faults faults;
    if (parseFaults(p, nMics, &faults) != 0)
        return 1;
    if (faults.movedMic >= 0)
        mics[(size_t)faults.movedMic] = {p.arrayCenter[0] + faults.moved[0],
                                         p.arrayCenter[1] + faults.moved[1],
                                         p.arrayCenter[2] + faults.moved[2]};
    long frames = tsp.empty() ? p.length : p.lead + (long)p.repeat * (long)tsp.size();
    const int channels = nMics + (tsp.empty() ? 0 : p.voice);
    if (frames > maxFrames || frames * channels > maxSamples) {
        VELKIO_LOG(0, "a file of %ld frames x %d channels is too large for the simulator",
                   frames, channels);
        return 1;
    }
    std::vector<std::string> paths;
    std::vector<Vec3> sources;
    if ((p.sourceList != nullptr ? listedSources(p, &paths, &sources)
                                 : sourceFiles(p, &paths, &sources)) != 0 ||
        !insideRoom(p, mics) || !insideRoom(p, sources) || makeDirectory(p.outputDir) != 0)
        return 1;
    // A file name that leads to a device or a directory ends the run before
    // any file is written.
    for (const std::string &path : paths)
        if (velkio_Output_check(path.c_str()) != 0)
            return 1;
    const int nSources = (int)sources.size();
    std::vector<float> data;
    for (int s = 0; s < nSources; s++) {
        const std::string &path = paths[(size_t)s];
        simulateSource(p, s, sources[(size_t)s], mics, tsp, faults.noiseOnlyChannel, &data);
        applyFaults(faults, s, channels, p.pcm16, &data);
        if ((p.sourceList != nullptr && makeParents(path) != 0) ||
            (p.pcm16 && checkRange(data, path) != 0) ||
            writeWav(path, data, channels, p.rate, p.pcm16) != 0)
            return 1;
    }
    printf("velktoolcli-simulate: %d %s files of %d channels x %ld frames at %d Hz in %s\n", nSources,
           tsp.empty() ? "impulse-response" : "TSP-recording", channels,
           (long)(data.size() / (size_t)channels), p.rate, p.outputDir);
    return 0;
}

// The reference TSP of N samples: the spectrum H(k) = exp(-j 4 m pi k^2 / N^2)
// for k <= N/2 (Hermitian above), m = N/4, transformed back and shifted by
// N/4 so that its sweep lies in the middle of the period; scaled to the
// requested peak. With m = N/4 the phase is -pi k^2 / N, so every term of the
// inverse DFT is cos(pi q / N) with the integer q = (2 k n - k^2) mod 2N.
int writeReferenceTsp(const Sim &p)
{
    if (velkio_Output_check(p.makeTsp) != 0)
        return 1;
    const long N = p.tspLength;
    const long twoN = 2 * N;
    std::vector<double> cosTable((size_t)twoN), x((size_t)N, 0.0);
    for (long q = 0; q < twoN; q++)
        cosTable[(size_t)q] = std::cos(M_PI * (double)q / (double)N);
    for (long k = 0; k <= N / 2; k++) {
        double weight = (k == 0 || k == N / 2) ? 1.0 : 2.0;
        long q = (twoN - (k * k) % twoN) % twoN;
        long stepQ = (2 * k) % twoN;
        for (long n = 0; n < N; n++) {
            x[(size_t)n] += weight * cosTable[(size_t)q];
            q = (q + stepQ) & (twoN - 1);
        }
    }
    double peak = 0.0;
    for (double v : x)
        peak = std::fmax(peak, std::fabs(v));
    std::vector<float> out((size_t)N);
    for (long n = 0; n < N; n++)
        out[(size_t)n] = (float)(x[(size_t)((n - N / 4 + N) % N)] * p.tspPeak / peak);
    if (writeWav(p.makeTsp, out, 1, p.rate, p.pcm16) != 0)
        return 1;
    printf("velktoolcli-simulate: reference TSP of %ld samples at %d Hz in %s\n", N, p.rate, p.makeTsp);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    Sim p;
    OwnedStrings owned;
    int status = parseOptions(argc, (const char **)argv, &p, &owned);
    if (status == 0)
        status = p.makeTsp != nullptr ? writeReferenceTsp(p) : simulate(p);
    return status;
}
