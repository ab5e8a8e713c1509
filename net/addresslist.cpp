#include "addresslist.h"

#include "config/configuration.h"

#include <QHeaderView>
#include <QHostAddress>
#include <QTableWidget>
#include <QVBoxLayout>

namespace {
constexpr int MinimumHeight = 100;
constexpr int MaximumHeight = 130;
} // namespace

AddressList::AddressList(QWidget *parent)
    : QWidget(parent)
    , table(new QTableWidget(0, 2))
{
    table->setHorizontalHeaderLabels({tr("Listen Address"), QStringLiteral(" Port ")});
    table->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Stretch);
    table->verticalHeader()->hide();
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::SingleSelection);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    showStopped();
    table->resizeColumnsToContents();

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
    showRow(QHostAddress(QHostAddress::LocalHost).toString(), Qt::gray);
}

void AddressList::showStopped()
{
    showRow(tr("None"), Qt::yellow);
}

void AddressList::configurationChanged(Configuration *)
{
    // The rows read the current settings whenever they are rebuilt.
}

QString AddressList::getSelectedItemName() const
{
    // Until the machine's own addresses are listed, the browser opens the server here.
    return QHostAddress(QHostAddress::LocalHost).toString();
}

void AddressList::showRow(const QString &address, Qt::GlobalColor colour)
{
    const int port = Configuration::getCurrentConfig()->getParam(ParamPort, ReadDefault::Port);
    table->setRowCount(0);
    table->setRowCount(1);

    auto *addressItem = new QTableWidgetItem(address);
    addressItem->setTextAlignment(Qt::AlignCenter);
    addressItem->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
    addressItem->setBackground(QColor(Qt::lightGray));
    addressItem->setForeground(QColor(colour));
    table->setItem(0, 0, addressItem);

    auto *portItem = new QTableWidgetItem(QString::number(port));
    portItem->setTextAlignment(Qt::AlignCenter);
    portItem->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
    portItem->setBackground(QColor(Qt::lightGray));
    portItem->setForeground(QColor(Qt::darkCyan));
    table->setItem(0, 1, portItem);
    table->resizeRowsToContents();
}
