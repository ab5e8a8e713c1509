#include "tarnwickwebserver.h"

#include "config/configuration.h"

#include <QApplication>
#include <QIcon>

namespace {
constexpr int MinimumWidth = 790;
constexpr int MinimumHeight = 460;
} // namespace

TarnwickWebServer::TarnwickWebServer(const char *argument)
{
    Configuration::RootMode = qstrcmp(argument ? argument : "", "root") == 0;
    config = Configuration::getCurrentConfig();

    QApplication::setWindowIcon(QIcon(QStringLiteral(":/res/img/TarnwickServer.png")));
    setWindowTitle(QStringLiteral("Tarnwick Web Server"));
    setMinimumSize(MinimumWidth, MinimumHeight);
    show();
}

TarnwickWebServer::~TarnwickWebServer() = default;

void TarnwickWebServer::OffLine() { }

void TarnwickWebServer::OnLine() { }

int TarnwickWebServer::top_application()
{
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
    return 0;
}
