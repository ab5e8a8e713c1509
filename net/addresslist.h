#pragma once

#include <QWidget>

class Configuration;
class QTableWidget;

// The table of addresses at the top of the window, where browsers reach the server.
//
// For now a stand-in with the final interface: one row, "None" while the server is
// stopped and the loopback address while it runs, next to the port. Listing the
// machine's own addresses and the reachability check come later.
class AddressList : public QWidget
{
    Q_OBJECT

public:
    explicit AddressList(QWidget *parent = nullptr);

    // The network came up (true) or went down (false).
    void setOnLine(bool online);
    // The server runs: show where it listens.
    void updateAll();
    // The server stopped: the single row "None" with the port.
    void showStopped();
    // New settings while the server runs.
    void configurationChanged(Configuration *next);
    // The address of the selected row, or of the first row when none is selected.
    QString getSelectedItemName() const;

private:
    void showRow(const QString &address, Qt::GlobalColor colour);

    bool onLine = true;
    QTableWidget *table;
};
