// INQUIRY answers: the vendor and state decoding, directly and through the
// drive search with a simulated drive that answers these bytes.
#include "fuzz_common.h"

#include "platform/kernel.h"
#include "sim/sim_kernel.h"
#include "sim/sim_update_drive.h"
#include "upgrade/updatechannel.h"

#include <QJsonObject>

LUMORA_FUZZ_START

using namespace lumora;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    QByteArray answer = fuzzing::bytes(data, size);
    if (answer.size() < 36)
        answer.append(QByteArray(36 - answer.size(), '\0'));
    const QByteArray vendor = answer.mid(8, 8), product = answer.mid(16, 16);
    for (int code : {0, 1, 2, 255, -1})
        (void)upgrade::acceptsVendor(code, vendor);
    (void)upgrade::stateFromProduct(product);

    static const char *const states[] = {"rom", "updater", "uboot"};
    auto kernel = std::make_unique<sim::SimKernel>();
    sim::SimKernel *sim = kernel.get();
    platform::installKernel(std::move(kernel));
    const QJsonObject drive{{"id", "d"},
                            {"state", states[std::uint8_t(answer.at(0)) % 3]},
                            {"vendorId", "0x5a17"},
                            {"productId", "0x0305"},
                            {"port", "1-4"},
                            {"inquiryVendor", QString::fromLatin1(vendor)},
                            {"inquiryProduct", QString::fromLatin1(product)}};
    sim->plug(sim::makeUpdateDrive(drive));
    int state = 0;
    {
        std::lock_guard<std::mutex> lock(upgrade::channelMutex());
        (void)upgrade::findUpdateDrive(std::uint8_t(answer.at(1)) % 3, &state);
        upgrade::closeUpdateDrive();
    }
    return 0;
}
