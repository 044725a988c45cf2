// Streams from a simulated camera and returns from main with the stream on,
// so the feed's producer is busy drawing while the application ends.
#include "capture_stream.h"
#include "platform/kernel.h"
#include "sim/sim_camera.h"
#include "sim/sim_kernel.h"
#include "sim_fixtures.h"

#include <QGuiApplication>

#include <fcntl.h>
#include <poll.h>

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    auto sim = std::make_unique<lumora::sim::SimKernel>();
    sim->plug(lumora::sim::makeCamera(simtest::cameraConfig("cam", "1-1")));
    lumora::platform::Kernel &kernel = lumora::platform::installKernel(std::move(sim));
    // Static: the buffers outlive main, as the kernel's release runs after it.
    static simtest::CaptureStream stream{kernel, kernel.open("/dev/video0", O_RDWR | O_NONBLOCK), {}};
    if (stream.fd < 0 || stream.request(2) != 0 || stream.queue(0) != 0 || stream.queue(1) != 0 || stream.stream(true) != 0)
        return 2;
    // Wait for the first frame: the producer is then drawing the next one.
    v4l2_buffer buffer{};
    if (!(kernel.poll(stream.fd, POLLIN, 10000) & POLLIN) || stream.dequeue(&buffer) != 0 || stream.queue(int(buffer.index)) != 0)
        return 3;
    return 0; // the stream stays on
}
