// The viewer's command line (see the header), read with QCommandLineParser.
#include "app/viewer_options.h"

#include <QCommandLineParser>
#include <QCoreApplication>

namespace {

constexpr int exitUsage = 64; // EX_USAGE of sysexits.h
constexpr int defaultScreenshotSeconds = 5;

const QStringList presets = {QStringLiteral("demo"), QStringLiteral("full"),
                             QStringLiteral("flood")};

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

const char *description =
    "Shows the live point cloud, camera picture and log of a KestOne and records "
    "what it sends.\n"
    "\n"
    "Virtual KestOne settings (--virtual-set KEY=VALUE): cloud_hz, cloud_points,\n"
    "hf_odometry_hz, imu_hz, info_hz, dtof_hz, dtof_cols, dtof_rows, dtof_form (3|4),\n"
    "image_hz, image_width, image_height, image_format (jpeg|nv12), jpeg_quality,\n"
    "queue_capacity.\n"
    "\n"
    "Recordings go under --record-dir or recordData beside the program, else\n"
    "$KEST_DATA_DIR, else "
    "~/.local/share/kestviewer/recordData. Exit status: 0, or 64 for bad usage.";

} // namespace

ViewerCommandLine parseViewerCommandLine(const QStringList &arguments) {
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(description));
    QCommandLineOption help = parser.addHelpOption();
    QCommandLineOption version = parser.addVersionOption();
    QCommandLineOption virtualDevice(
        QStringLiteral("virtual-device"),
        QStringLiteral("Use the virtual KestOne instead of a device on USB (PRESET: demo, full, "
                       "flood; a bare --virtual-device means demo)."),
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
    QCommandLineOption quitAfter(QStringLiteral("quit-after"),
                                 QStringLiteral("Quit after SECONDS (a recording is stopped and "
                                                "its files closed first)."),
                                 QStringLiteral("SECONDS"));
    QCommandLineOption stats(QStringLiteral("stats"),
                             QStringLiteral("Print the status bar's figures (device, view, data "
                                            "rate, drops, recording) on standard output once a "
                                            "second."));
    parser.addOptions({virtualDevice, virtualSet, record, recordDir, screenshot, quitAfter, stats});

    if (!parser.parse(withDefaultPreset(arguments)))
        return usageError(parser.errorText());
    ViewerCommandLine out;
    if (parser.isSet(help)) {
        out.text = parser.helpText();
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
    const QString preset = parser.value(virtualDevice);
    if (options.virtualDevice && !presets.contains(preset))
        return usageError(QStringLiteral("unknown preset '%1'").arg(preset));
    options.streams =
        kest_sim::stream_preset(options.virtualDevice ? preset.toStdString() : "demo");
    if (parser.isSet(virtualSet) && !options.virtualDevice)
        return usageError(QStringLiteral("--virtual-set needs --virtual-device"));
    for (const QString &assignment : parser.values(virtualSet)) {
        std::string error;
        if (!kest_sim::set_stream_setting(options.streams, assignment.toStdString(), error))
            return usageError(QString::fromStdString(error));
    }
    options.record = parser.isSet(record);
    options.recordDir = parser.value(recordDir);
    options.screenshot = parser.value(screenshot);
    options.printStats = parser.isSet(stats);
    if (parser.isSet(quitAfter)) {
        bool number = false;
        options.quitAfterSeconds = parser.value(quitAfter).toInt(&number);
        if (!number || options.quitAfterSeconds < 0)
            return usageError(
                QStringLiteral("bad --quit-after: '%1'").arg(parser.value(quitAfter)));
    } else if (!options.screenshot.isEmpty()) {
        options.quitAfterSeconds = defaultScreenshotSeconds;
    }
    out.options = options;
    return out;
}
