// Fuzz target: the archive loaders.  The first byte picks the form of the
// rest: even, packed members that become a well-formed zip file (see
// fuzz_util.h); odd, the bytes of the file itself.  The file is read by
// the library's full loader and by the checker's loader and summaries.
#include <cstdint>
#include <cstdio>

#include "fuzz_util.h"
#include "validtf.h"
#include "velkio.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > (1u << 20))
        return 0;
    static const std::string path = velkfuzz::scratchFile("archive.zip");
    static FILE *sink = fopen("/dev/null", "w");
    if (size == 0)
        return 0;
    if (data[0] % 2 != 0)
        velkfuzz::writeBytes(path, data + 1, size - 1);
    else if (!velkfuzz::writeMembers(path, data + 1, size - 1))
        return 0;

    velkio_TransferFunction *tf = velkio_TransferFunction_fromFile(path.c_str(), nullptr);
    velkio_TransferFunction_delete(&tf);

    tf = velkio_TransferFunction_fromFile_withoutLoadingMatrix(path.c_str(), nullptr);
    if (tf != nullptr && sink != nullptr) {
        validtf_printText(sink, tf);
        validtf_printJson(sink, tf);
    }
    velkio_TransferFunction_delete(&tf);
    validtf_checkArchive(path.c_str(), 0, 0);
    return 0;
}
