// The package verdicts: the archive listing check and the model search.
#include "fuzz_common.h"

#include "upgrade/firmwarepackage.h"
#include "upgrade/zip7z.h"

#include <algorithm>
#include <cstring>
#include <vector>

LUMORA_FUZZ_START

using namespace lumora::upgrade;

// The first byte picks what the rest is: a listing (even), or a model file
// placed at the start (odd, bit 1 clear) or at the very end of the model
// buffer, where a pattern may only just begin. The search always scans the
// whole buffer, so it gets the smaller share of the runs.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::uint8_t kind = data[0];
    ++data;
    --size;
    if (!(kind & 1) || (kind & 0xF0)) {
        (void)Zip7z::listingRefusal(QString::fromLocal8Bit(fuzzing::bytes(data, size)));
        return 0;
    }
    static std::vector<unsigned char> buffer(kModelBufferSize, 0);
    const std::size_t n = std::min<std::size_t>(size, buffer.size());
    const std::size_t at = (kind & 2) ? buffer.size() - n : 0;
    int model = -1;
    std::memcpy(buffer.data() + at, data, n);
    (void)findModelInBuffer(buffer.data(), &model);
    std::memset(buffer.data() + at, 0, n);
    return 0;
}
