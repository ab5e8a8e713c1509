#include "configpagefolder.h"

#include "app/linklabel.h"
#include "config/configuration.h"

#include <QCheckBox>
#include <QVBoxLayout>

ConfigPageFolder::ConfigPageFolder(QWidget *parent)
    : ConfigPage(parent)
{
    auto *thumbnails = new QCheckBox(tr("Enable thumbnail view"));
    thumbnails->setObjectName(QStringLiteral("thumbnailBox"));
    thumbnails->setChecked(conf->getParam(ParamThumbnailView, ReadDefault::ThumbnailView) != 0);
    connect(thumbnails, &QCheckBox::stateChanged, this, &ConfigPageFolder::viewChanged);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(helpLabel(tr("Folder View Configuration"), QStringLiteral("folder")));
    layout->addWidget(thumbnails);
    layout->addStretch();
}

void ConfigPageFolder::viewChanged(int state)
{
    conf->setParam(ParamThumbnailView, state != Qt::Unchecked ? 1 : 0);
    Q_EMIT configChanged();
}
