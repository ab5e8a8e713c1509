#pragma once

#include <QWidget>

class Configuration;
class LinkLabel;

// Base of the settings dialog's pages. The pages of the open dialog all edit one
// working copy of the settings and announce every change through configChanged().
class ConfigPage : public QWidget
{
    Q_OBJECT

public:
    // parent is the settings dialog; configChanged() reaches its slot of that name.
    explicit ConfigPage(QWidget *parent);

    // The working copy of the open dialog, read from config.dat when it opened.
    static Configuration *conf;

Q_SIGNALS:
    void configChanged();

protected Q_SLOTS:
    // Shows the help page "help/<name>.html" of the language folder in a message dialog
    // and returns when it has been closed.
    void help(const QString &name);

protected:
    // A label whose link opens the help page name.
    LinkLabel *helpLabel(const QString &text, const QString &name);
};
