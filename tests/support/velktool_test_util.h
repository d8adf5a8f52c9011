// Helpers for the velktool5 unit tests: a run state reset between tests, a
// temporary working directory (the run creates .velktool-temp in the
// current directory), documents built in memory, the logger threshold and
// a direct DFT to check transforms against.
#ifndef VELK_VELKTOOL_TEST_UTIL_H
#define VELK_VELKTOOL_TEST_UTIL_H

#include <complex>
#include <cmath>
#include <string>
#include <vector>

#include <unistd.h>

#include "archive_test_util.h"
#include "velktool.h"

namespace velktest {

// Releases whatever the previous test left in g and zeroes every field.
inline void resetRunState()
{
    velktool_freeMemory();
    g = velktool_RunState{};
}

inline void setLogLevel(int level)
{
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-zero-length"
    velkio_Log_printf_(VELKIO_LOG_SET_LEVEL, "", level, "test", 0);
#pragma GCC diagnostic pop
}

// Runs the test inside a fresh temporary directory.
class InTempDir {
public:
    InTempDir()
    {
        char *cwd = getcwd(nullptr, 0);
        old_ = cwd != nullptr ? cwd : ".";
        free(cwd);
        if (chdir(dir_.path().c_str()) != 0)
            old_.clear();
    }
    ~InTempDir()
    {
        if (!old_.empty() && chdir(old_.c_str()) != 0)
            perror("chdir");
    }
    std::string file(const std::string &name) const { return dir_.file(name); }

private:
    TempDir dir_;
    std::string old_;
};

// A position list; positions get Cartesian coordinates (id, 2*id, 3*id)
// and the path paths[i] when given.
inline velkio_Positions *makePositions(const char *type,
                                       const std::vector<int> &ids,
                                       const std::vector<std::string> &paths = {})
{
    velkio_Positions *list = velkio_Positions_new(type, 0, 0, 0);
    for (size_t i = 0; i < ids.size(); ++i) {
        float c[3] = {(float)ids[i], 2.0f * ids[i], 3.0f * ids[i]};
        const char *path = i < paths.size() ? paths[i].c_str() : nullptr;
        velkio_Positions_append(list, velkio_Position_new(ids[i], 1, c, path));
    }
    return list;
}

// The unscaled forward DFT of x (double precision), bins 0 .. n/2.
inline std::vector<std::complex<double>> directDft(const float *x, int n)
{
    std::vector<std::complex<double>> out(n / 2 + 1);
    for (int k = 0; k <= n / 2; ++k) {
        std::complex<double> sum = 0;
        for (int t = 0; t < n; ++t)
            sum += (double)x[t] * std::polar(1.0, -2.0 * M_PI * k * t / n);
        out[k] = sum;
    }
    return out;
}

} // namespace velktest

#endif /* VELK_VELKTOOL_TEST_UTIL_H */
