#include "addresslist.h"

#include "config/configuration.h"
#include "net/hostaddresses.h"
#include "net/outsideservices.h"
#include "server/tarnwicksocket.h"

#include <QDesktopServices>
#include <QHeaderView>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QTableWidget>
#include <QVBoxLayout>

namespace {
constexpr int MinimumHeight = 100;
constexpr int MaximumHeight = 130;

bool dnsSettingsDiffer(const Configuration *a, const Configuration *b)
{
    return a->getParam(ParamDnsEnabled, ReadDefault::DnsEnabled)
        != b->getParam(ParamDnsEnabled, ReadDefault::DnsEnabled)
        || a->getParam(ParamDnsUser) != b->getParam(ParamDnsUser)
        || a->getParam(ParamDnsPass) != b->getParam(ParamDnsPass);
}

int currentPort()
{
    return Configuration::getCurrentConfig()->getParam(ParamPort, ReadDefault::Port);
}

// The row colours, in shades of their hues that read at 4.5:1 or better on the light gray
// of the cells.
QColor textColour(Qt::GlobalColor hue)
{
    switch (hue) {
    case Qt::yellow:
        return QColor(0x50, 0x50, 0x00);
    case Qt::gray:
        return QColor(0x4a, 0x4a, 0x4a);
    case Qt::darkCyan:
        return QColor(0x00, 0x55, 0x55);
    case Qt::darkGreen:
        return QColor(0x00, 0x58, 0x00);
    default:
        return QColor(hue);
    }
}
} // namespace

// The settings are always read from the current configuration: configurationChanged()
// runs inside Configuration::apply(), whose argument is the caller's copy and may be
// gone later, while the current configuration holds the new values once apply() returns.
AddressList::AddressList(QWidget *parent)
    : QWidget(parent)
    , table(new QTableWidget(0, 2))
    , network(new QNetworkAccessManager(this))
{
    table->setHorizontalHeaderLabels({tr("Listen Address"), QStringLiteral(" Port ")});
    table->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Stretch);
    table->verticalHeader()->hide();
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::SingleSelection);
    // Tab leaves the table for the next control; the arrow keys move between the cells.
    table->setTabKeyNavigation(false);
    showStopped();
    table->resizeColumnsToContents();
    table->resizeRowsToContents();

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(table);
    setMinimumHeight(MinimumHeight);
    setMaximumHeight(MaximumHeight);
}

void AddressList::setOnLine(bool online)
{
    onLine = online;
}

void AddressList::updateAll()
{
    reachability = Qt::lightGray;
    if (lastError != QNetworkReply::NoError)
        Q_EMIT status(QString());
    updateAddresses();
    if (!onLine)
        return;

    const Configuration *settings = Configuration::getCurrentConfig();
    sendRequest(OutsideServices::portCheckUrl(currentPort()));
    const QString user = settings->getParam(ParamDnsUser);
    const QString password = settings->getParam(ParamDnsPass);
    if (settings->getParam(ParamDnsEnabled, ReadDefault::DnsEnabled) == 1 && !user.isEmpty()
        && !password.isEmpty())
        sendRequest(OutsideServices::dnsUpdateUrl(user, password));
}

void AddressList::showStopped()
{
    // Their answers belong to a run that is over.
    const QList<QNetworkReply *> cancelled = std::exchange(pending, {});
    for (QNetworkReply *reply : cancelled) {
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
    }
    removeAll();
    addItem(tr("None"), Qt::yellow);
    // The port can be changed while stopped too.
    connect(table, &QTableWidget::cellChanged, this, &AddressList::setPort);
}

void AddressList::configurationChanged(Configuration *next)
{
    if (dnsSettingsDiffer(Configuration::getCurrentConfig(), next) && table->rowCount() > 0) {
        // Refresh once apply() has taken the new values.
        QMetaObject::invokeMethod(this, &AddressList::updateAll, Qt::QueuedConnection);
    }
}

QString AddressList::getSelectedItemName() const
{
    const QList<QTableWidgetItem *> selected = table->selectedItems();
    const int row = selected.isEmpty() ? 0 : selected.first()->row();
    const QTableWidgetItem *item = table->item(row, 0);
    return item ? item->text() : QString();
}

void AddressList::setPort(int row, int column)
{
    if (column != 1)
        return;
    QTableWidgetItem *item = table->item(row, column);
    if (!item)
        return;
    bool number = false;
    const int port = item->text().toInt(&number);
    Configuration *settings = Configuration::getCurrentConfig();
    const int inForce = settings->getParam(ParamPort, ReadDefault::Port);
    if (port == inForce)
        return;
    if (number && port >= Range::MinPort && port <= Range::MaxPort) {
        // Only the port changes: the rest comes from the saved file, as the dialog does it.
        Configuration next("config.dat");
        next.setParam(ParamPort, port);
        if (settings->apply(&next))
            return;
    }
    // Not a port, or not saved: the cell shows the port in force again.
    const QSignalBlocker blocker(table);
    item->setText(QString::number(inForce));
}

void AddressList::slotError(QNetworkReply::NetworkError code)
{
    lastError = code;
    replyFinished(nullptr);
}

void AddressList::replyFinished(QNetworkReply *reply)
{
    if (lastError != QNetworkReply::NoError)
        Q_EMIT status(tr("No internet connection"));
    if (!reply || !pending.removeOne(reply))
        return;
    reply->deleteLater();

    // A reply that failed or timed out is closed and has nothing to read.
    const QByteArray body = reply->isOpen() ? reply->readAll() : QByteArray();
    TarnwickSocket::Received.fetch_add(body.size());
    switch (OutsideServices::replyKind(body)) {
    case OutsideServices::ReplyKind::DnsUpdate:
        showDnsUpdate(body, reply->url());
        break;
    case OutsideServices::ReplyKind::PortCheck:
        showPortCheck(body);
        break;
    case OutsideServices::ReplyKind::Ignored:
        break;
    }
}

void AddressList::showPortCheck(const QByteArray &body)
{
    const OutsideServices::PortCheckResult result = OutsideServices::parsePortCheck(body);
    reachability = result.reachable ? Qt::darkGreen : Qt::darkRed;
    if (hostNameItem)
        hostNameItem->setForeground(textColour(reachability));
    addItem(result.publicAddress, reachability);

    if (!result.reachable
        && Configuration::getCurrentConfig()->getParam(ParamWarningMode, ReadDefault::WarningMode)) {
        QMessageBox::information(this, tr("The red public IP address not accessible."),
                                 tr("The server not accessible from intrenet read help pages."),
                                 QMessageBox::Ok);
    }
}

void AddressList::showDnsUpdate(const QByteArray &body, const QUrl &url)
{
    if (OutsideServices::dnsUpdated(body)) {
        const QString user = Configuration::getCurrentConfig()->getParam(ParamDnsUser);
        hostNameItem = addItem(OutsideServices::dnsHostName(user), reachability);
    } else {
        // The provider's own page says what went wrong.
        QDesktopServices::openUrl(url);
    }
}

void AddressList::updateAddresses()
{
    removeAll();
    const QStringList addresses = listenAddresses(interfaceEntries());
    for (const QString &address : addresses)
        addItem(address, Qt::gray);
    connect(table, &QTableWidget::cellChanged, this, &AddressList::setPort);
}

QTableWidgetItem *AddressList::addItem(const QString &text, Qt::GlobalColor colour)
{
    for (int row = 0; row < table->rowCount(); ++row) {
        QTableWidgetItem *item = table->item(row, 0);
        if (item && item->text() == text) {
            item->setForeground(textColour(colour));
            return item;
        }
    }

    QTableWidgetItem *portItem;
    if (table->rowCount() > 0 && table->item(0, 1)) {
        portItem = table->item(0, 1)->clone();
    } else {
        portItem = new QTableWidgetItem(QString::number(currentPort()));
        portItem->setTextAlignment(Qt::AlignCenter);
        portItem->setForeground(textColour(Qt::darkCyan));
        portItem->setBackground(QColor(Qt::lightGray));
    }

    auto *addressItem = new QTableWidgetItem(text);
    addressItem->setTextAlignment(Qt::AlignCenter);
    addressItem->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
    addressItem->setBackground(QColor(Qt::lightGray));
    addressItem->setForeground(textColour(colour));

    const QSignalBlocker blocker(table);
    const int row = table->rowCount();
    table->insertRow(row);
    table->setItem(row, 0, addressItem);
    table->setItem(row, 1, portItem);
    table->resizeRowToContents(row);
    // A longer port must not be cut short.
    table->resizeColumnToContents(1);
    return addressItem;
}

void AddressList::removeAll()
{
    hostNameItem = nullptr;
    disconnect(table, &QTableWidget::cellChanged, this, &AddressList::setPort);
    table->setRowCount(0);
}

void AddressList::sendRequest(const QUrl &url)
{
    lastError = QNetworkReply::NoError;
    QNetworkReply *reply = network->get(OutsideServices::request(url));
    pending.append(reply);
    connect(reply, &QNetworkReply::errorOccurred, this, &AddressList::slotError);
    connect(reply, &QNetworkReply::finished, this, [this, reply] { replyFinished(reply); });
}
