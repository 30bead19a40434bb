// The log panel's level filter (see the header).
#include "app/viewer/log_panel_filter.h"

#include "app/log_queue.h"

#include <QComboBox>
#include <QPlainTextEdit>
#include <QSettings>

namespace {

const char *const shownKey = "log/shown";

struct Tagged {
    const char *tag;
    const char *colour;
    LogPanelFilter::Level level;
};
// In the order that decides: a WARN line that quotes an "<ERROR>" is red.
constexpr Tagged tags[] = {
    {"<ERROR>", "#CC0000", LogPanelFilter::Errors},
    {"<BUG>", "#CC0000", LogPanelFilter::Errors},
    {"<WARN>", "#CC8400", LogPanelFilter::Warnings},
    {"<INFO>", "#008000", LogPanelFilter::Info},
    {"<DEBUG>", "#404040", LogPanelFilter::Everything},
};

} // namespace

LogPanelFilter::Style LogPanelFilter::styleOf(const QString &line) {
    for (const Tagged &each : tags)
        if (line.contains(QLatin1String(each.tag)))
            return {each.colour, each.level};
    return {"#808080", Info};
}

LogPanelFilter::LogPanelFilter(QPlainTextEdit *panel, QComboBox *choice, QObject *parent)
    : QObject(parent), panel(panel), choice(choice) {
    choice->addItem(tr("Errors"), Errors);
    choice->addItem(tr("Warnings"), Warnings);
    choice->addItem(tr("Info"), Info);
    choice->addItem(tr("Everything"), Everything);
    const int stored = QSettings().value(shownKey, Everything).toInt();
    current = stored >= Errors && stored <= Everything ? static_cast<Level>(stored) : Everything;
    choice->setCurrentIndex(choice->findData(current));
    connect(choice, &QComboBox::currentIndexChanged, this, [this](int index) {
        setShown(static_cast<Level>(this->choice->itemData(index).toInt()));
    });
}

void LogPanelFilter::append(const QString &html, Level level) {
    kept.push_back({html, level});
    if (kept.size() > LogQueue::CAPACITY)
        kept.pop_front();
    if (level <= current)
        panel->appendHtml(html);
}

void LogPanelFilter::setShown(Level level) {
    if (level == current)
        return;
    current = level;
    choice->setCurrentIndex(choice->findData(level));
    QSettings().setValue(shownKey, static_cast<int>(level));
    panel->clear();
    for (const Kept &line : kept)
        if (line.level <= current)
            panel->appendHtml(line.html);
}
