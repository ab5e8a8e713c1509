#pragma once

#include "config/configuration.h"
#include "config/dialog/configpage.h"
#include "support/scratchhome.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QTemporaryDir>
#include <QTest>
#include <QTextDocument>
#include <QWidget>

// Stands in for the settings dialog around one page: the page's parent, which takes the
// changes the page announces by the slot's name, and the owner of the working copy the
// page edits, read in a home folder of its own. Set the copy up before building the page.
class PageHost : public QWidget
{
    Q_OBJECT

public:
    PageHost()
        : work("config.dat")
    {
        ConfigPage::conf = &work;
    }
    ~PageHost() override { ConfigPage::conf = nullptr; }

    ScratchHome home;
    Configuration work;
    int changes = 0;

public Q_SLOTS:
    void configChanged() { ++changes; }
};

// A data folder of the test's own with help pages in it; the program's language folder
// points into it while the object lives.
class HelpFolder
{
public:
    HelpFolder()
    {
        QDir(m_dir.path()).mkpath(QStringLiteral("lang/C/help"));
        Configuration::setDataDir(m_dir.path());
    }
    ~HelpFolder() { Configuration::setDataDir(Configuration::defaultDataDir()); }

    QString pagePath(const QString &name) const
    {
        return m_dir.filePath(QLatin1String("lang/C/help/") + name + QLatin1String(".html"));
    }

    void write(const QString &name, const QByteArray &bytes) const
    {
        QFile file(pagePath(name));
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            qFatal("cannot write the help page %s", qPrintable(name));
    }

private:
    QTemporaryDir m_dir;
};

// What a label shows, without its markup.
inline QString visibleText(const QLabel *label)
{
    QTextDocument document;
    document.setHtml(label->text());
    return document.toPlainText();
}

inline QLabel *labelShowing(const QWidget *parent, const QString &text)
{
    for (QLabel *label : parent->findChildren<QLabel *>()) {
        if (visibleText(label) == text)
            return label;
    }
    return nullptr;
}

// Clicks the start of a label's text, where a link label has its link; the label must
// be on screen.
inline void clickText(QLabel *label)
{
    QTest::mouseClick(label, Qt::LeftButton, {},
                      QPoint(label->fontMetrics().averageCharWidth(), label->height() / 2));
}
