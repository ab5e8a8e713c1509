#pragma once

#include <QDialog>

class QListWidget;
class QListWidgetItem;
class QPushButton;
class QStackedWidget;

// The settings dialog: a list of page icons beside the selected page. The pages edit a
// working copy read from config.dat; Apply, shown while that copy differs from the
// settings in force, puts it in force.
class ConfigDialog : public QDialog
{
    Q_OBJECT

public:
    // Runs the dialog modally and returns once it has been closed. page is the row to
    // show (0 access, 1 server, 2 DNS, 3 folder), or -1 for the one the dialog was last
    // closed on.
    ConfigDialog(QWidget *parent, int page);

    // Turns the open dialog to a page (0 to 3).
    void showPage(int page);

public Q_SLOTS:
    void changePage(QListWidgetItem *current, QListWidgetItem *previous);
    // Shows Apply exactly while the working copy differs from the settings in force.
    void configChanged();
    // Tells the owner when config.dat cannot be written; the edits stay, to be applied again.
    void apply();
    // Remembers the page for the next opening, then closes. Closing through the window
    // or Escape leaves the remembered page as it was.
    bool close();

private:
    QPushButton *applyButton;
    QListWidget *pageList;
    QStackedWidget *pageStack;
};
