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

    auto *phone = new QCheckBox(tr("Listing for phones"));
    phone->setObjectName(QStringLiteral("phoneBox"));
    phone->setChecked(conf->getParam(ParamPhoneListing, ReadDefault::PhoneListing) != 0);
    connect(phone, &QCheckBox::stateChanged, this, &ConfigPageFolder::phoneListingChanged);

    auto *shown = new QCheckBox(tr("Open files in the browser, resume and seek"));
    shown->setObjectName(QStringLiteral("inlineBox"));
    shown->setChecked(conf->getParam(ParamInline, ReadDefault::Inline) != 0);
    connect(shown, &QCheckBox::stateChanged, this, &ConfigPageFolder::inlineChanged);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(helpLabel(tr("Folder View Configuration"), QStringLiteral("folder")));
    layout->addWidget(thumbnails);
    layout->addWidget(phone);
    layout->addWidget(shown);
    layout->addStretch();
}

void ConfigPageFolder::viewChanged(int state)
{
    conf->setParam(ParamThumbnailView, state != Qt::Unchecked ? 1 : 0);
    Q_EMIT configChanged();
}

void ConfigPageFolder::phoneListingChanged(int state)
{
    setOptIn(ParamPhoneListing, state);
}

void ConfigPageFolder::inlineChanged(int state)
{
    setOptIn(ParamInline, state);
}

void ConfigPageFolder::setOptIn(int id, int state)
{
    if (state != Qt::Unchecked)
        conf->setParam(id, 1);
    else
        conf->removeParam(id);
    Q_EMIT configChanged();
}
