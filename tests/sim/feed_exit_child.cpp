// Streams from a simulated camera and returns from main with the reader still
// connected, so the feed's producer is busy drawing while the application ends.
#include "platform/kernel.h"
#include "sim/sim_camera.h"
#include "sim/sim_kernel.h"
#include "sim_fixtures.h"

#include <QGuiApplication>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    auto sim = std::make_unique<lumora::sim::SimKernel>();
    sim->plug(lumora::sim::makeCamera(simtest::cameraConfig("cam", "1-1")));
    const QString url = lumora::platform::installKernel(std::move(sim)).captureInput("/dev/video0").url;
    if (!url.startsWith("unix:"))
        return 2;

    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    qstrncpy(address.sun_path, url.mid(5).toUtf8().constData(), sizeof address.sun_path);
    const int reader = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (reader < 0 || ::connect(reader, reinterpret_cast<sockaddr *>(&address), sizeof address) < 0)
        return 3;
    // Wait for the first bytes of a frame: the producer is then drawing the next one.
    char buffer[4096];
    if (::recv(reader, buffer, sizeof buffer, 0) <= 0)
        return 4;
    return 0; // the reader stays connected
}
