// The package verdicts: the archive listing check and the model search.
#include "fuzz_common.h"

#include "upgrade/firmwarepackage.h"
#include "upgrade/zip7z.h"

#include <algorithm>
#include <cstring>
#include <vector>

LUMORA_FUZZ_START

using namespace lumora::upgrade;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    (void)Zip7z::listingRefusal(QString::fromLocal8Bit(fuzzing::bytes(data, size)));

    // The same bytes at the start and at the very end of the model buffer,
    // where a pattern may only just begin.
    static std::vector<unsigned char> buffer(kModelBufferSize, 0);
    const std::size_t n = std::min<std::size_t>(size, buffer.size());
    int model = -1;
    std::memcpy(buffer.data(), data, n);
    (void)findModelInBuffer(buffer.data(), &model);
    std::memset(buffer.data(), 0, n);
    std::memcpy(buffer.data() + buffer.size() - n, data, n);
    (void)findModelInBuffer(buffer.data(), &model);
    std::memset(buffer.data() + buffer.size() - n, 0, n);
    return 0;
}
