// Every feature of every catalogue model, run once through the camera model,
// once through the window and once through lumora-cli against the simulated
// kernel: the three agree on whether the feature is offered, send the same
// transfers for it and read the same value back. It starts hundreds of CLI
// processes, so it stays out of the sanitizer repeat stages; the window's
// threads are covered by its own worker tests.
#include "cameras.h"
#include "control/pagerig.h"

#include "camera/camera.h"
#include "device/v4l2controlnode.h"
#include "support/testsupport.h"

#include <QCheckBox>
#include <QComboBox>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QSlider>
#include <QtTest>

#include <functional>

using lumora::camera::Availability;
using lumora::camera::Camera;
using lumora::camera::Feature;

namespace {

struct Cell {
    Feature feature;
    QJsonObject features; // the camera's vendor state before the change
    int value;            // what the model is asked to set
    QString word;         // what lumora-cli is given
    // The window's way to the same change, and whether the window offers it.
    std::function<void(MainWindow &)> act;
    std::function<bool(MainWindow &)> offered;
};

template <typename T>
T *child(MainWindow &w, const char *name)
{
    return w.findChild<T *>(QLatin1String(name));
}

bool enabled(MainWindow &w, const char *name) { return child<QWidget>(w, name)->isEnabled(); }
bool shownAndEnabled(MainWindow &w, const char *name)
{
    QWidget *widget = child<QWidget>(w, name);
    return widget->isEnabled() && !widget->isHidden();
}

std::function<void(MainWindow &)> slider(const char *name, int value)
{
    return [name, value](MainWindow &w) { child<QSlider>(w, name)->setValue(value); };
}
std::function<void(MainWindow &)> combo(const char *name, int index)
{
    return [name, index](MainWindow &w) { child<QComboBox>(w, name)->setCurrentIndex(index); };
}
std::function<void(MainWindow &)> click(const char *name)
{
    return [name](MainWindow &w) { child<QAbstractButton>(w, name)->click(); };
}
std::function<bool(MainWindow &)> when(const char *name)
{
    return [name](MainWindow &w) { return enabled(w, name); };
}

const QJsonObject kPresenter{{"trackMode", 3}};
const QJsonObject kFraming{{"trackMode", 1}, {"trackEffect", 1}, {"trackSpeed", 1}};
const QJsonObject kOff{{"trackMode", 0}};

QVector<Cell> cells()
{
    return {
        {Feature::Hdr, kPresenter, 1, "on", click("btnHDR"), when("btnHDR")},
        {Feature::Hd, kPresenter, 0, "off", click("btnHD"),
         [](MainWindow &w) { return enabled(w, "btnHD") && !child<QWidget>(w, "widgetHD")->isHidden(); }},
        {Feature::AntiFlicker, kPresenter, 2, "60", combo("comboBoxAntiFlicker", 1), when("comboBoxAntiFlicker")},
        {Feature::Mic, kPresenter, 0, "OFF", click("btnMute"), when("btnMute")},
        {Feature::FieldOfView, kOff, 2, "65", click("btn65"),
         [](MainWindow &w) { return !child<QWidget>(w, "widgetAngle")->isHidden(); }},
        {Feature::Tracking, kPresenter, 1, "Auto-Framing", combo("comboBoxTrackMode", 1), when("comboBoxTrackMode")},
        {Feature::TrackingEffect, kFraming, 0, "immediate", combo("comboBoxTrackEffect", 1),
         [](MainWindow &w) { return shownAndEnabled(w, "comboBoxTrackEffect"); }},
        {Feature::TrackingSpeed, kFraming, 2, "fast", combo("comboBoxTrackSpeend", 2),
         [](MainWindow &w) { return shownAndEnabled(w, "comboBoxTrackSpeend"); }},
        {Feature::Pan, kPresenter, -1, "-1", click("btnCameraLeft"), when("btnCameraLeft")},
        {Feature::Tilt, kPresenter, -1, "-1", click("btnCameraDown"), when("btnCameraDown")},
        {Feature::Zoom, kPresenter, 300, "300", slider("sliderZoom", 300), when("sliderZoom")},
        {Feature::Focus, kPresenter, 50, "50", slider("sliderFocus", 50),
         [](MainWindow &w) { return !child<QWidget>(w, "widgetAFocus")->isHidden(); }},
        {Feature::Brightness, kPresenter, 100, "100", slider("sliderBrightness", 100), when("sliderBrightness")},
        {Feature::Contrast, kPresenter, 100, "100", slider("sliderContract", 100), when("sliderContract")},
        {Feature::Hue, kPresenter, -20, "-20", slider("sliderHue", -20), when("sliderHue")},
        {Feature::Saturation, kPresenter, 100, "100", slider("sliderSaturation", 100), when("sliderSaturation")},
        {Feature::Sharpness, kPresenter, 100, "100", slider("sliderSharpness", 100), when("sliderSharpness")},
    };
}

const QJsonObject kZoomedIn{{"zoom", QJsonObject{{"value", 200}}}};

bool restarts(Feature feature) { return feature == Feature::Hd || feature == Feature::Mic; }

struct Outcome {
    bool offered = false;
    QStringList wire;
    int readBack = 0;
};

// The camera model alone.
Outcome throughModel(const QJsonObject &config, const Cell &cell)
{
    controltest::SimRig rig;
    rig.plug(config);
    QVector<CameraDeviceInfo> devices;
    V4l2ControlNode().ListCameraDevices(devices);
    Camera camera;
    QObject::connect(&camera.unit(), &UVCExtensionUnit::reInitUvc, &camera, [&camera] { camera.reopenChannel(); });
    bool padDue = false;
    QObject::connect(&camera, &Camera::padRestoreDue, [&padDue] { padDue = true; });
    camera.setIdentity(devices.value(0).pathId, devices.value(0).friendlyName);
    camera.bindCapture(nullptr);
    camera.openChannel();
    camera.readState();
    if (padDue)
        camera.restorePad();
    Outcome outcome;
    outcome.offered = camera.availability(cell.feature) == Availability::Available;
    if (!outcome.offered)
        return outcome;
    const QString trace = qEnvironmentVariable("LUMORA_TRACE");
    const int before = cameratest::wire(trace).size();
    camera.set(cell.feature, cell.value);
    outcome.wire = cameratest::wire(trace, before);
    if (!restarts(cell.feature))
        camera.read(cell.feature, &outcome.readBack);
    return outcome;
}

// The window, opened on the camera at start-up.
Outcome throughWindow(const QJsonObject &config, int profile, const Cell &cell)
{
    controltest::SimRig rig;
    initLumoraResources();
    QFile::remove(settingsFilePath());
    QSettings(settingsFilePath(), QSettings::IniFormat).setValue("/product_model/main", profile);
    rig.plug(config);
    controltest::BoxAnswerer boxes;
    auto window = std::make_unique<controltest::PageWindow>();
    window->stopCameraPreView();
    window->m_isPreviewing = false;
    // Timers of the start-up (the pad re-apply) only run in the event loop,
    // which the change below does not enter before its own transfers.
    const QString trace = qEnvironmentVariable("LUMORA_TRACE");
    Outcome outcome;
    outcome.offered = window->m_isOpened && cell.offered(*window);
    if (outcome.offered) {
        const int before = cameratest::wire(trace).size();
        cell.act(*window);
        outcome.wire = cameratest::wire(trace, before);
        if (!restarts(cell.feature))
            window->m_camera.read(cell.feature, &outcome.readBack);
    }
    window->close();
    window.reset();
    return outcome;
}

struct CliRun {
    int exitCode = -1;
    QJsonObject json;
    QStringList wire;
    QByteArray err;
};

// lumora-cli in a machine of its own; runs while the test goes on.
class Cli {
public:
    Cli(const QJsonObject &config, int profile, const Cell &cell)
    {
        QFile scenario(m_dir.filePath("scenario.json"));
        if (scenario.open(QIODevice::WriteOnly))
            scenario.write(QJsonDocument(QJsonObject{{"cameras", QJsonArray{config}}}).toJson());
        scenario.close();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("LUMORA_PLATFORM", "sim");
        environment.insert("LUMORA_SIM_SCENARIO", m_dir.filePath("scenario.json"));
        environment.insert("LUMORA_TRACE", m_dir.filePath("trace.log"));
        environment.insert("HOME", m_dir.path());
        m_process.setProcessEnvironment(environment);
        // Names and words in any case; the value after "--" even when negative.
        const QString name = QLatin1String(lumora::camera::featureInfo(cell.feature).name);
        m_process.start(LUMORA_CLI_PATH,
                        {"--profile", QString::number(profile), "set", name.toUpper(), "--json", "--", cell.word});
    }
    CliRun finish()
    {
        CliRun run;
        // It may have ended while the window's event loop ran.
        if (m_process.state() != QProcess::NotRunning && !m_process.waitForFinished(deadlineMs(60000)))
            return run;
        run.exitCode = m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
        run.json = QJsonDocument::fromJson(m_process.readAllStandardOutput()).object();
        run.err = m_process.readAllStandardError();
        run.wire = cameratest::wire(m_dir.filePath("trace.log"));
        return run;
    }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
};

} // namespace

class TestFeatureMatrix : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void sameOnEveryPath_data()
    {
        QTest::addColumn<int>("model");
        QTest::addColumn<int>("cell");
        for (const ModelEntry &entry : modelDisplayTable) {
            const QVector<Cell> all = cells();
            for (int i = 0; i < all.size(); ++i)
                QTest::addRow("%s %s", entry.name, lumora::camera::featureInfo(all[i].feature).name) << entry.model << i;
        }
    }

    void sameOnEveryPath()
    {
        QFETCH(int, model);
        QFETCH(int, cell);
        const Cell c = cells().at(cell);
        QJsonObject config = cameratest::catalogueCamera(model, c.features, kZoomedIn);
        // Each path waits for a restarting camera; how long it stays away is not what this table checks.
        config.insert("restartMs", 50);
        const int profile = cameratest::profileOf(model);

        Cli cli(config, profile, c);
        const Outcome viaModel = throughModel(config, c);
        const Outcome viaWindow = throughWindow(config, profile, c);
        const CliRun viaCli = cli.finish();
        QCOMPARE(viaWindow.offered, viaModel.offered);
        if (!viaModel.offered) {
            QCOMPARE(viaCli.exitCode, 1);
            QVERIFY2(viaCli.err.contains(lumora::camera::featureInfo(c.feature).name), viaCli.err.constData());
            QVERIFY2(!viaCli.err.contains("0 to 0"), viaCli.err.constData());
            return;
        }
        QVERIFY(!viaModel.wire.isEmpty());
        // The window may go on (a restart notice, a timer); it starts with the same transfers.
        QCOMPARE(viaWindow.wire.mid(0, viaModel.wire.size()), viaModel.wire);
        QVERIFY2(viaCli.exitCode == 0, qPrintable(QStringLiteral("exit %1: %2").arg(viaCli.exitCode).arg(QString::fromUtf8(viaCli.err))));
        QVERIFY2(cameratest::containsRun(viaCli.wire, viaModel.wire), qPrintable(viaCli.wire.join('\n')));
        if (restarts(c.feature))
            return;
        QCOMPARE(viaWindow.readBack, viaModel.readBack);
        const QJsonValue value = viaCli.json.value("value");
        if (lumora::camera::isNumber(c.feature))
            QCOMPARE(value.toInt(), viaModel.readBack);
        else
            QCOMPARE(value.toString(), lumora::camera::choiceText(lumora::camera::featureInfo(c.feature), viaModel.readBack));
    }
};

QTEST_MAIN(TestFeatureMatrix)
#include "test_feature_matrix.moc"
