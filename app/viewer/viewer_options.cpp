// The viewer's command line (see the header), read with QCommandLineParser.
#include "app/viewer/viewer_options.h"

#include "app/glRender/colour_scale.h"
#include "app/glRender/gl_point_cloud_renderer.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>

namespace {

constexpr int exitUsage = 64; // EX_USAGE of sysexits.h
constexpr int defaultScreenshotSeconds = 5;

// QCommandLineParser has no option with an optional value: a bare
// --virtual-device means the demo preset.
QStringList withDefaultPreset(QStringList arguments) {
    for (QString &argument : arguments)
        if (argument == QStringLiteral("--virtual-device"))
            argument = QStringLiteral("--virtual-device=demo");
    return arguments;
}

ViewerCommandLine usageError(const QString &message) {
    ViewerCommandLine out;
    out.exitStatus = exitUsage;
    out.text = QStringLiteral("kestviewer: %1 (see kestviewer --help)\n").arg(message);
    return out;
}

QString description() {
    return QStringLiteral("Shows the live point cloud, camera picture and log of a KestOne and "
                          "records what it sends.\n"
                          "\n"
                          "Virtual KestOne settings (--virtual-set KEY=VALUE):\n"
                          "%1.\n"
                          "\n"
                          "Recordings go under --record-dir (run from its build tree: "
                          "recordData beside\nthe program), else $KEST_DATA_DIR, else "
                          "~/.local/share/kestviewer/recordData.\nThe log goes to "
                          "~/.local/state/kestviewer/logs (run from its build tree: logs\nin "
                          "the working directory). Exit status: 0, or 64 for bad usage.")
        .arg(QString::fromStdString(kest_sim::stream_setting_keys(80, "")));
}

// The value of option among names (any case); none: the option is not given.
// Sets *error for a name not among them.
std::optional<int> chosen(const QCommandLineParser &parser, const QCommandLineOption &option,
                          const std::vector<std::pair<const char *, int>> &names, QString *error) {
    if (!parser.isSet(option))
        return std::nullopt;
    const QString value = parser.value(option).toLower();
    QStringList known;
    for (const auto &[name, number] : names) {
        if (value == QLatin1String(name))
            return number;
        known << QLatin1String(name);
    }
    *error =
        QStringLiteral("unknown --%1 '%2' (%3)")
            .arg(option.names().first(), parser.value(option), known.join(QStringLiteral(", ")));
    return std::nullopt;
}

bool readReplayLimits(const QCommandLineParser &parser, const QCommandLineOption &seconds,
                      const QCommandLineOption &budget, ViewerOptions &options, QString &wrong) {
    bool number = true;
    if (parser.isSet(seconds))
        options.replaySeconds = parser.value(seconds).toDouble(&number);
    if (!number || options.replaySeconds < 0 || options.replaySeconds > 3600) {
        wrong = QStringLiteral("bad --replay-seconds: '%1' (0 to 3600)").arg(parser.value(seconds));
        return false;
    }
    if (parser.isSet(budget))
        options.replayBudgetMB = parser.value(budget).toULongLong(&number);
    if (!number || options.replayBudgetMB < 1 || options.replayBudgetMB > (uint64_t{1} << 20)) {
        wrong =
            QStringLiteral("bad --replay-budget: '%1' (1 MB or more)").arg(parser.value(budget));
        return false;
    }
    return true;
}

} // namespace

ViewerCommandLine parseViewerCommandLine(const QStringList &arguments) {
    QCommandLineParser parser;
    parser.setApplicationDescription(description());
    QCommandLineOption help = parser.addHelpOption();
    QCommandLineOption version = parser.addVersionOption();
    QCommandLineOption virtualDevice(
        QStringLiteral("virtual-device"),
        QStringLiteral("Use the virtual KestOne instead of a device on USB (PRESET: %1, or "
                       "play:REC to play the recording in folder REC back; a bare "
                       "--virtual-device means demo).")
            .arg(QString::fromStdString(kest_sim::stream_preset_list())),
        QStringLiteral("PRESET"));
    QCommandLineOption virtualSet(QStringLiteral("virtual-set"),
                                  QStringLiteral("Override one setting of the virtual KestOne's "
                                                 "streams (repeatable; keys below)."),
                                  QStringLiteral("KEY=VALUE"));
    QCommandLineOption record(QStringLiteral("record"),
                              QStringLiteral("Start a recording once the device streams."));
    QCommandLineOption recordDir(QStringLiteral("record-dir"),
                                 QStringLiteral("Put recordings under DIR (falls back as below "
                                                "when it cannot be written)."),
                                 QStringLiteral("DIR"));
    QCommandLineOption screenshot(
        QStringLiteral("screenshot"),
        QStringLiteral("Save a PNG of the whole window to FILE, then quit (after --quit-after "
                       "seconds, 5 by default)."),
        QStringLiteral("FILE"));
    QCommandLineOption viewScreenshot(
        QStringLiteral("view-screenshot"),
        QStringLiteral("Save a PNG of the point cloud view alone to FILE, then quit (as "
                       "--screenshot; both may be given)."),
        QStringLiteral("FILE"));
    QCommandLineOption scanMode(QStringLiteral("scan-mode"),
                                QStringLiteral("Start in scan mode MODE: slam (the default) or "
                                               "dtof."),
                                QStringLiteral("MODE"));
    QCommandLineOption quitAfter(QStringLiteral("quit-after"),
                                 QStringLiteral("Quit after SECONDS (a recording is stopped and "
                                                "its files closed first)."),
                                 QStringLiteral("SECONDS"));
    QCommandLineOption stats(QStringLiteral("stats"),
                             QStringLiteral("Print the status bar's figures (device, view, data "
                                            "rate, drops, recording) on standard output once a "
                                            "second."));
    QCommandLineOption displayMode(
        QStringLiteral("display-mode"),
        QStringLiteral("Colour the points by MODE: rgb, intensity, label, height or range "
                       "(for this run; the panel's stored choice stays)."),
        QStringLiteral("MODE"));
    QCommandLineOption colormap(QStringLiteral("colormap"),
                                QStringLiteral("The colour map of height and range: turbo (the "
                                               "default), viridis or grey (for this run)."),
                                QStringLiteral("MAP"));
    QCommandLineOption view(QStringLiteral("view"),
                            QStringLiteral("Frame the points once they show, and again before a "
                                           "screenshot: fit, top, front or side."),
                            QStringLiteral("VIEW"));
    QCommandLineOption replaySeconds(
        QStringLiteral("replay-seconds"),
        QStringLiteral("Keep the last SECONDS of records in memory for File > Save Last Seconds "
                       "(default 20; 0 turns it off)."),
        QStringLiteral("SECONDS"));
    QCommandLineOption replayBudget(QStringLiteral("replay-budget"),
                                    QStringLiteral("At most MB megabytes of records in that "
                                                   "buffer (default 512)."),
                                    QStringLiteral("MB"));
    parser.addOptions({virtualDevice, virtualSet, record, recordDir, scanMode, screenshot,
                       viewScreenshot, quitAfter, stats, displayMode, colormap, view, replaySeconds,
                       replayBudget});

    if (!parser.parse(withDefaultPreset(arguments)))
        return usageError(parser.errorText());
    ViewerCommandLine out;
    if (parser.isSet(help)) {
        // The program as it was called: without an application object the
        // parser cannot name it.
        out.text = parser.helpText().replace(QRegularExpression(QStringLiteral("^Usage: \\S+")),
                                             QStringLiteral("Usage: ") +
                                                 QFileInfo(arguments.value(0)).fileName());
        return out;
    }
    if (parser.isSet(version)) {
        out.text = QStringLiteral("%1 %2\n").arg(QCoreApplication::applicationName(),
                                                 QCoreApplication::applicationVersion());
        return out;
    }
    if (!parser.positionalArguments().isEmpty())
        return usageError(
            QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first()));

    ViewerOptions options;
    options.virtualDevice = parser.isSet(virtualDevice);
    if (parser.isSet(virtualSet) && !options.virtualDevice)
        return usageError(QStringLiteral("--virtual-set needs --virtual-device"));
    std::vector<std::string> overrides;
    for (const QString &assignment : parser.values(virtualSet))
        overrides.push_back(assignment.toStdString());
    std::string error;
    const QString device =
        options.virtualDevice ? parser.value(virtualDevice) : QStringLiteral("demo");
    if (!kest_sim::virtual_device_settings(device.toStdString(), overrides, options.streams, error))
        return usageError(QString::fromStdString(error));
    options.record = parser.isSet(record);
    options.recordDir = parser.value(recordDir);
    options.screenshot = parser.value(screenshot);
    options.viewScreenshot = parser.value(viewScreenshot);
    if (parser.isSet(scanMode)) {
        const QString mode = parser.value(scanMode).toLower();
        if (mode != QLatin1String("slam") && mode != QLatin1String("dtof"))
            return usageError(QStringLiteral("unknown scan mode '%1' (slam or dtof)")
                                  .arg(parser.value(scanMode)));
        options.scanMode = mode == QLatin1String("slam") ? ScanMode::SLAM : ScanMode::DTOF;
    }
    options.printStats = parser.isSet(stats);
    QString wrong;
    options.displayMode = chosen(parser, displayMode,
                                 {{"rgb", GLPointCloudRenderer::RGB},
                                  {"intensity", GLPointCloudRenderer::Intensity},
                                  {"label", GLPointCloudRenderer::Label},
                                  {"height", GLPointCloudRenderer::Height},
                                  {"range", GLPointCloudRenderer::Range}},
                                 &wrong);
    options.colormap = chosen(parser, colormap,
                              {{"turbo", colour_scale::Turbo},
                               {"viridis", colour_scale::Viridis},
                               {"grey", colour_scale::Grey}},
                              &wrong);
    options.viewPreset = chosen(parser, view,
                                {{"fit", ViewerOptions::fitAll},
                                 {"top", GLPointCloudRenderer::Top},
                                 {"front", GLPointCloudRenderer::Front},
                                 {"side", GLPointCloudRenderer::Side}},
                                &wrong);
    if (!wrong.isEmpty() || !readReplayLimits(parser, replaySeconds, replayBudget, options, wrong))
        return usageError(wrong);
    if (parser.isSet(quitAfter)) {
        bool number = false;
        options.quitAfterSeconds = parser.value(quitAfter).toInt(&number);
        if (!number || options.quitAfterSeconds < 0)
            return usageError(
                QStringLiteral("bad --quit-after: '%1'").arg(parser.value(quitAfter)));
    } else if (!options.screenshot.isEmpty() || !options.viewScreenshot.isEmpty()) {
        options.quitAfterSeconds = defaultScreenshotSeconds;
    }
    out.options = options;
    return out;
}
