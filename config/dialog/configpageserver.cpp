#include "configpageserver.h"

#include "app/linklabel.h"
#include "config/configuration.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

namespace {

constexpr int MinConnections = 1;
constexpr int PathEditChars = 36;

QSpinBox *spinBox(const char *name, int minimum, int maximum, int value)
{
    auto *box = new QSpinBox;
    box->setObjectName(QLatin1String(name));
    box->setRange(minimum, maximum);
    box->setValue(value);
    return box;
}

QHBoxLayout *row(std::initializer_list<QWidget *> widgets)
{
    auto *layout = new QHBoxLayout;
    for (QWidget *widget : widgets)
        layout->addWidget(widget);
    return layout;
}

} // namespace

ConfigPageServer::ConfigPageServer(QWidget *parent)
    : ConfigPage(parent)
    , pathEdit(new QLineEdit(conf->getParam(ParamDownloadPath)))
{
    // Every control shows the working copy before it is connected, so building the page
    // changes nothing.
    auto *warnings = new QCheckBox(tr("Show warning messages"));
    warnings->setObjectName(QStringLiteral("warningBox"));
    warnings->setChecked(conf->getParam(ParamWarningMode, ReadDefault::WarningMode) != 0);

    QSpinBox *port
        = spinBox("portBox", Range::MinPort, Range::MaxPort, conf->getParam(ParamPort, ReadDefault::Port));
    // The spin box keeps its own maximum of 99.
    auto *maxConn = new QSpinBox;
    maxConn->setObjectName(QStringLiteral("maxConnBox"));
    maxConn->setMinimum(MinConnections);
    maxConn->setValue(conf->getParam(ParamMaxConn, ReadDefault::MaxConn));
    QSpinBox *dataLimit = spinBox("dataLimitBox", 0, Range::MaxDataLimit,
                                  conf->getParam(ParamDataLimit, ReadDefault::DataLimit));
    QSpinBox *lifetime = spinBox("lifetimeBox", Range::MinLifetime, Range::MaxLifetime,
                                 conf->getParam(ParamLifetime, ReadDefault::Lifetime));

    pathEdit->setObjectName(QStringLiteral("pathEdit"));
    // Wide enough for the usual download folder.
    pathEdit->setMinimumWidth(pathEdit->fontMetrics().averageCharWidth() * PathEditChars);
    auto *browse = new QPushButton(QIcon(QStringLiteral(":/res/img/find.png")), QString());
    browse->setObjectName(QStringLiteral("browseButton"));

    connect(warnings, &QCheckBox::stateChanged, this, &ConfigPageServer::warningModeChanged);
    connect(port, &QSpinBox::valueChanged, this, &ConfigPageServer::portChanged);
    connect(maxConn, &QSpinBox::valueChanged, this, &ConfigPageServer::maxConnChanged);
    connect(dataLimit, &QSpinBox::valueChanged, this, &ConfigPageServer::dataLimitChanged);
    connect(lifetime, &QSpinBox::valueChanged, this, &ConfigPageServer::lifetimeChanged);
    connect(pathEdit, &QLineEdit::textChanged, this, &ConfigPageServer::pathChanged);
    connect(browse, &QPushButton::pressed, this, &ConfigPageServer::browsePath);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(tr("Server configuration")));
    layout->addWidget(warnings);
    // The range in this label is the same in every language.
    layout->addLayout(row({helpLabel(QStringLiteral("Port [1 - 65535]:"), QStringLiteral("port")), port}));
    layout->addLayout(row({helpLabel(tr("Max. Connections:"), QStringLiteral("connections")), maxConn}));
    layout->addLayout(row({helpLabel(tr("Data limit [KB]:"), QStringLiteral("limit")), dataLimit}));
    layout->addLayout(row({helpLabel(tr("Session lifetime [s]:"), QStringLiteral("lifetime")), lifetime}));
    layout->addLayout(row({helpLabel(tr("Download path:"), QStringLiteral("path")), pathEdit, browse}));
    layout->addStretch();
}

void ConfigPageServer::warningModeChanged(int state)
{
    conf->setParam(ParamWarningMode, state != Qt::Unchecked ? 1 : 0);
    Q_EMIT configChanged();
}

void ConfigPageServer::portChanged(int port)
{
    conf->setParam(ParamPort, port);
    Q_EMIT configChanged();
}

void ConfigPageServer::maxConnChanged(int count)
{
    conf->setParam(ParamMaxConn, count);
    Q_EMIT configChanged();
}

void ConfigPageServer::dataLimitChanged(int kilobytes)
{
    conf->setParam(ParamDataLimit, kilobytes);
    Q_EMIT configChanged();
}

void ConfigPageServer::lifetimeChanged(int seconds)
{
    conf->setParam(ParamLifetime, seconds);
    Q_EMIT configChanged();
}

void ConfigPageServer::pathChanged(const QString &path)
{
    conf->setParam(ParamDownloadPath, path);
    Q_EMIT configChanged();
}

void ConfigPageServer::browsePath()
{
    const QString dir = QFileDialog::getExistingDirectory(this, QString(), conf->getParam(ParamDownloadPath),
                                                          QFileDialog::ShowDirsOnly);
    // Through pathChanged, like typing.
    if (!dir.isEmpty())
        pathEdit->setText(dir);
}
