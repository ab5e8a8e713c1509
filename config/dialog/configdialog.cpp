#include "configdialog.h"

#include "config/configuration.h"
#include "config/session.h"
#include "configpageaut.h"
#include "configpagedns.h"
#include "configpagefolder.h"
#include "configpageserver.h"

#include <QHBoxLayout>
#include <QIcon>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QStackedWidget>
#include <QStyle>
#include <QVBoxLayout>

#include <iterator>

namespace {

constexpr QSize PageListGrid(70, 90);
constexpr int PageListMinWidth = 70;

// Configuration::apply() copies the values, and no listener of configurationChanged keeps
// the pointer it is handed, so the old working copy can go, applied or not.
void replaceWorkingCopy()
{
    delete ConfigPage::conf;
    ConfigPage::conf = new Configuration("config.dat");
}

struct PageItem
{
    const char *icon;
    const char *text;
};

// In row order, the order of the pages in the stack.
constexpr PageItem PageItems[] = {
    {":/res/img/kgpg.png", QT_TRANSLATE_NOOP("ConfigDialog", "Aut.")},
    {":/res/img/preferences-network.png", QT_TRANSLATE_NOOP("ConfigDialog", "Server")},
    {":/res/img/dns.png", QT_TRANSLATE_NOOP("ConfigDialog", "DNS")},
    {":/res/img/folder.png", QT_TRANSLATE_NOOP("ConfigDialog", "Folder")},
};

} // namespace

ConfigDialog::ConfigDialog(QWidget *parent, int page)
    : QDialog(parent)
{
    // Read from disk, not copied from the settings in force.
    replaceWorkingCopy();

    pageList = new QListWidget;
    pageList->setObjectName(QStringLiteral("pageList"));
    pageList->setViewMode(QListView::IconMode);
    pageList->setMovement(QListView::Static);
    pageList->setGridSize(PageListGrid);
    pageList->setMinimumWidth(PageListMinWidth);
    // One column with every icon in view; the scroll area around the dialog takes over
    // on a screen too small for it.
    pageList->setFlow(QListView::TopToBottom);
    pageList->setWrapping(false);
    const int frame = 2 * pageList->frameWidth();
    pageList->setMaximumWidth(PageListGrid.width() + frame
                              + style()->pixelMetric(QStyle::PM_ScrollBarExtent));
    pageList->setMinimumHeight(int(std::size(PageItems)) * PageListGrid.height() + frame);
    // The style marks the focused page only faintly under its selection; the frame shows it.
    pageList->setStyleSheet(QStringLiteral("#pageList:focus { border: %1px solid palette(highlight); }")
                                .arg(pageList->frameWidth()));

    pageStack = new QStackedWidget;
    pageStack->setObjectName(QStringLiteral("pageStack"));
    pageStack->addWidget(new ConfigPageAut(this));
    pageStack->addWidget(new ConfigPageServer(this));
    pageStack->addWidget(new ConfigPageDNS(this));
    pageStack->addWidget(new ConfigPageFolder(this));

    auto *closeButton = new QPushButton(tr("&Close"));
    applyButton = new QPushButton(tr("&Apply"));
    applyButton->setObjectName(QStringLiteral("applyButton"));
    applyButton->hide();

    for (const PageItem &entry : PageItems) {
        auto *item = new QListWidgetItem(QIcon(QLatin1String(entry.icon)), tr(entry.text), pageList);
        item->setTextAlignment(Qt::AlignHCenter);
        item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
    }
    connect(pageList, &QListWidget::currentItemChanged, this, &ConfigDialog::changePage);

    if (page == -1)
        page = Session::getSession()->getParam(ParamConfigPage, ReadDefault::ConfigPage);
    // A row outside the list leaves no row current, and the first page shows.
    pageList->setCurrentRow(page);

    connect(closeButton, &QPushButton::clicked, this, &ConfigDialog::close);
    connect(applyButton, &QPushButton::clicked, this, &ConfigDialog::apply);

    auto *pages = new QHBoxLayout;
    pages->addWidget(pageList, 0);
    pages->addWidget(pageStack, 1);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(applyButton);
    buttons->addWidget(closeButton);

    // The scroll area lets the dialog fit a small screen.
    auto *inner = new QWidget;
    auto *innerLayout = new QVBoxLayout(inner);
    innerLayout->addLayout(pages);
    innerLayout->addLayout(buttons);
    auto *scroll = new QScrollArea;
    scroll->setWidget(inner);
    scroll->setWidgetResizable(true);
    // Tab goes from control to control, never to the area around them.
    scroll->setFocusPolicy(Qt::NoFocus);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(scroll);
    // Open showing everything, as far as the screen allows.
    const QMargins margins = layout->contentsMargins();
    const int border = 2 * scroll->frameWidth();
    const QSize whole = inner->sizeHint()
        + QSize(margins.left() + margins.right() + border, margins.top() + margins.bottom() + border);
    resize(whole.boundedTo(screen()->availableGeometry().size()));

    setWindowTitle(tr("Tarnwick Server Options"));
    exec();
}

void ConfigDialog::changePage(QListWidgetItem *current, QListWidgetItem *previous)
{
    QListWidgetItem *item = current ? current : previous;
    pageStack->setCurrentIndex(pageList->row(item));
}

void ConfigDialog::configChanged()
{
    applyButton->setVisible(!ConfigPage::conf->equals(Configuration::getCurrentConfig()));
}

void ConfigDialog::showPage(int page)
{
    pageList->setCurrentRow(page);
    raise();
    activateWindow();
}

void ConfigDialog::apply()
{
    QString error;
    if (Configuration::getCurrentConfig()->apply(ConfigPage::conf, &error)) {
        applyButton->hide();
        return;
    }
    // The working copy keeps what the controls show, so that Apply can be tried again once
    // the file can be written. The path is shown as it is, whatever it holds.
    QMessageBox box(QMessageBox::Warning, tr("Settings not saved"),
                    tr("The settings could not be saved.") + QLatin1Char('\n') + error, QMessageBox::Ok,
                    this);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

bool ConfigDialog::close()
{
    Session::getSession()->setParam(ParamConfigPage, pageList->currentRow());
    return QDialog::close();
}
