#include "configpage.h"

#include "app/linklabel.h"
#include "app/messagedialog.h"
#include "config/configuration.h"

#include <QFile>

Configuration *ConfigPage::conf = nullptr;

ConfigPage::ConfigPage(QWidget *parent)
    : QWidget(parent)
{
    // A page knows the dialog only as its parent widget, so the dialog takes the change
    // by the slot's name.
    connect(this, SIGNAL(configChanged()), parent, SLOT(configChanged()));
}

void ConfigPage::help(const QString &name)
{
    QFile file(QString::fromLocal8Bit(*Configuration::LangPath) + QLatin1String("help/") + name
               + QLatin1String(".html"));
    QString text;
    if (file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        // The help pages are Latin-1 text; a zero byte ends them.
        const QByteArray bytes = file.readAll();
        text = QString::fromLatin1(bytes.constData());
    } else {
        text = tr("Can't read file:") + file.fileName();
    }
    MessageDialog dialog(QT_TRANSLATE_NOOP("MessageDialog", "Help"), text, this);
}

LinkLabel *ConfigPage::helpLabel(const QString &text, const QString &name)
{
    auto *label = new LinkLabel(text, name);
    connect(label, &QLabel::linkActivated, this, &ConfigPage::help);
    return label;
}
