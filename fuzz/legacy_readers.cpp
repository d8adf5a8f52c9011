// Fuzz target: the readers of legacy files.  The first byte picks the
// reader: a localization file, a separation file, the same file as both,
// or a separation-matrix file checked against a fixed archive (two
// sources, two microphones, nfft 16, the shape of the seeds).
#include <cstdint>
#include <cstdlib>

#include "fuzz_util.h"
#include "velkio.h"

namespace {

const std::string &fixedArchive()
{
    static std::string path;
    if (path.empty()) {
        path = velkfuzz::scratchFile("fixed.zip");
        velkio_TransferFunction *tf = velktest::legacyRecord(2, 2, 16);
        if (velkio_TransferFunction_write(tf, path.c_str(), nullptr) != 0)
            abort();
        velkio_TransferFunction_delete(&tf);
    }
    return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0 || size > (1u << 20))
        return 0;
    static const std::string path = velkfuzz::scratchFile("legacy.bin");
    static const std::string &archive = fixedArchive();
    velkfuzz::writeBytes(path, data + 1, size - 1);
    const char *file = path.c_str();
    velkio_TransferFunction *tf = nullptr;
    switch (data[0] % 4) {
    case 0: tf = velkio_Compat_TransferFunction_readlibvelkio2(file, nullptr); break;
    case 1: tf = velkio_Compat_TransferFunction_readlibvelkio2(nullptr, file); break;
    case 2: tf = velkio_Compat_TransferFunction_readlibvelkio2(file, file); break;
    default: tf = velkio_Compat_SeparationMatrix_readlibvelkio2(file, archive.c_str()); break;
    }
    if (tf != nullptr) {
        // What was read must be writable as the same kind of file again.
        static const std::string out = velkfuzz::scratchFile("legacy.out");
        int rc = data[0] % 4 == 3
                     ? velkio_Compat_SeparationMatrix_writelibvelkio2(tf, out.c_str())
                     : velkio_Compat_TransferFunction_writelibvelkio2(
                           tf, tf->nLocTFs > 0 ? VELKIO_COMPAT_LOCALIZATION
                                               : VELKIO_COMPAT_SEPARATION,
                           out.c_str());
        (void)rc;
    }
    velkio_TransferFunction_delete(&tf);
    return 0;
}
