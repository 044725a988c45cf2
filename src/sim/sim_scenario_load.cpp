#include "sim/sim_camera.h"
#include "sim/sim_kernel.h"
#include "sim/sim_machine_store.h"
#include "sim/sim_scenario.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QJsonArray>

namespace lumora::sim {

namespace {

QJsonObject camera(const char *id, const char *vendor, const char *product, const char *name, const char *serial,
                   const char *port, const char *firmware)
{
    return {{"id", id},         {"vendorId", vendor}, {"productId", product}, {"manufacturer", QString(name).section(' ', 0, 0)},
            {"product", name},  {"serial", serial},   {"port", port},         {"firmware", firmware}};
}

struct Timeline {
    SimKernel *kernel;
    QVector<ScenarioEvent> events;
    QElapsedTimer clock;
};

// Runs the due events in order, then waits for the next one.
void runTimeline(const std::shared_ptr<Timeline> &timeline, int next)
{
    for (; next < timeline->events.size(); ++next) {
        const ScenarioEvent &event = timeline->events[next];
        const qint64 wait = event.atMs - timeline->clock.elapsed();
        if (wait > 0) {
            timeline->kernel->after(int(wait), [timeline, next] { runTimeline(timeline, next); });
            return;
        }
        switch (event.action) {
        case ScenarioEvent::Action::Plug:
            if (!timeline->kernel->replug(event.device))
                qWarning().noquote() << "sim: timeline cannot plug" << event.device << "- it is plugged or unknown";
            break;
        case ScenarioEvent::Action::Unplug:
            timeline->kernel->unplug(event.device);
            break;
        case ScenarioEvent::Action::Restart:
            timeline->kernel->restart(event.device, event.delayMs);
            break;
        case ScenarioEvent::Action::Release:
            if (auto camera = timeline->kernel->find<SimCamera>(event.device))
                camera->release();
            else
                qWarning().noquote() << "sim: timeline cannot release" << event.device << "- it is not a plugged camera";
            break;
        }
    }
}

} // namespace

bool SimKernel::loadScenario(const QJsonObject &json)
{
    Scenario scenario;
    QString error;
    if (!parseScenario(json, &scenario, &error)) {
        qWarning().noquote() << "sim: scenario refused:" << error;
        return false;
    }
    setPrivileged(scenario.privileged);
    setUdevRuleFolder(scenario.udevRuleFolder);
    auto add = [this](const QJsonObject &config, std::shared_ptr<SimDevice> device) {
        if (!device)
            qWarning().noquote() << "sim: device" << config.value("id").toString() << "could not be built";
        else if (startsPlugged(config))
            plug(std::move(device));
        else
            keepUnplugged(std::move(device));
    };
    for (const QJsonObject &config : qAsConst(scenario.cameras))
        add(config, makeCamera(config));
    for (const QJsonObject &config : qAsConst(scenario.drives))
        add(config, makeUpdateDrive(config));
    if (!scenario.timeline.isEmpty()) {
        auto timeline = std::make_shared<Timeline>(Timeline{this, scenario.timeline, {}});
        timeline->clock.start();
        after(0, [timeline] { runTimeline(timeline, 0); });
    }
    return true;
}

QJsonObject SimKernel::defaultScenario()
{
    QJsonObject webcam = camera("webcam", "0x3f1c", "0x0a21", "HD USB Webcam", "WC0001", "1-5", "2.0.1");
    webcam.insert("manufacturer", "Generic");
    webcam.insert("extensionUnit", false);
    QJsonObject fourK = camera("qx-4k", "0x1d6b", "0xff01", "QX NV-Optica-4K-AI", "QX4K00017", "1-1", "1.4.2");
    fourK.insert("frameSizes", QJsonArray{"640x480", "1280x720", "1920x1080", "3840x2160"});
    return {{"cameras", QJsonArray{
                 fourK,
                 camera("qx-1080", "0x1d6b", "0xff13", "QX NV-Optica-1080-AI", "QX1080042", "1-2", "1.3.9"),
                 camera("orbit-160a", "0x5a17", "0x0307", "ORBIT 160A", "OR160A0311", "1-3", "2.1.0"),
                 camera("orbit-400", "0x5a17", "0x0305", "ORBIT 400", "OR4000127", "1-4.2", "2.0.6"),
                 webcam}}};
}

std::unique_ptr<platform::Kernel> createKernelFromEnvironment()
{
    auto kernel = std::make_unique<SimKernel>();
    const QString path = qEnvironmentVariable("LUMORA_SIM_SCENARIO");
    QJsonObject json;
    QString error;
    Scenario checked;
    if (path.isEmpty()) {
        json = SimKernel::defaultScenario();
    } else if (!readScenarioFile(path, &json, &error) || !parseScenario(json, &checked, &error)) {
        qWarning().noquote() << "sim: scenario not used, loading the default one instead:" << error;
        json = SimKernel::defaultScenario();
    }
    // One machine per session and scenario: what another run changed is still there.
    const std::shared_ptr<SimMachineStore> store = SimMachineStore::open(
        SimMachineStore::defaultFolder(), json, qEnvironmentVariable("LUMORA_SIM_FRESH") == QLatin1String("1"));
    kernel->loadScenario(store ? withSavedState(json, *store) : json);
    kernel->setStore(store);
    return kernel;
}

} // namespace lumora::sim
