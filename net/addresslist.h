#pragma once

#include <QList>
#include <QNetworkReply>
#include <QWidget>

class Configuration;
class QNetworkAccessManager;
class QTableWidget;
class QTableWidgetItem;

// The table of addresses at the top of the window, where browsers reach the server.
//
// While the server is stopped it holds the single row "None". While it runs it lists the
// machine's IPv4 addresses, asks the port-check service whether the port is reachable
// from the internet and shows the public address it reports (green when reachable, red
// when not), and, when enabled, updates the owner's dynamic host name and lists it too.
// Editing the port cell moves the server to the new port.
class AddressList : public QWidget
{
    Q_OBJECT

public:
    explicit AddressList(QWidget *parent = nullptr);

    // The network came up (true) or went down (false). Off-line, nothing is sent out.
    void setOnLine(bool online);
    // The server runs: list the addresses and ask the outside services again.
    void updateAll();
    // The server stopped: cancel what is pending and show the single row "None".
    void showStopped();
    // New settings while the server runs; refreshes when the dynamic-DNS ones differ.
    void configurationChanged(Configuration *next);
    // The address of the selected row, or of the first row when none is selected.
    QString getSelectedItemName() const;

Q_SIGNALS:
    // A line for the window's status line; empty to clear the last one.
    void status(const QString &text);

private:
    void setPort(int row, int column);
    void replyFinished(QNetworkReply *reply);
    void slotError(QNetworkReply::NetworkError code);

    void updateAddresses();
    QTableWidgetItem *addItem(const QString &text, Qt::GlobalColor colour);
    void removeAll();
    void sendRequest(const QUrl &url);
    void showPortCheck(const QByteArray &body);
    void showDnsUpdate(const QByteArray &body, const QUrl &url);

    bool onLine = true;
    QTableWidget *table;
    QNetworkAccessManager *network;
    QNetworkReply::NetworkError lastError = QNetworkReply::NoError;
    Qt::GlobalColor reachability = Qt::lightGray;
    QTableWidgetItem *hostNameItem = nullptr;
    QList<QNetworkReply *> pending;
};
